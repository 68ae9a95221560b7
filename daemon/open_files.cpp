#include "daemon/open_files.hpp"

namespace quarnix {

HandedOut<OpenFile>& open_files() {
  static HandedOut<OpenFile> files;
  return files;
}

HandedOut<DirectoryHandle>& open_directories() {
  static HandedOut<DirectoryHandle> directories;
  return directories;
}

}  // namespace quarnix
