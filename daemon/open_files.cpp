#include "daemon/open_files.hpp"

namespace quarnix {

uint64_t OpenFiles::hand_out(std::unique_ptr<OpenFile> file) {
  OpenFile* const handle = file.get();
  std::lock_guard lock(mutex);
  files.emplace(handle, std::move(file));
  return reinterpret_cast<uint64_t>(handle);
}

std::unique_ptr<OpenFile> OpenFiles::take_back(uint64_t fh) {
  std::lock_guard lock(mutex);
  const auto found = files.find(reinterpret_cast<OpenFile*>(fh));
  if (found == files.end()) return nullptr;
  std::unique_ptr<OpenFile> file = std::move(found->second);
  files.erase(found);
  return file;
}

void OpenFiles::free_all() {
  std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> remaining;
  {
    std::lock_guard lock(mutex);
    remaining.swap(files);
  }
}

OpenFiles& open_files() {
  static OpenFiles files;
  return files;
}

}  // namespace quarnix
