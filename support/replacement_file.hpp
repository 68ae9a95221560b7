// A file written beside its target and renamed over it only once complete,
// so that a failed write never leaves a truncated file in the target's place.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quarnix {

class ReplacementFile {
 public:
  // Creates the temporary file in the target's directory, with `mode` less
  // the umask (the default lets the umask decide, as for any new file). Every
  // failure of this object throws RuntimeError(failure_message, errno).
  ReplacementFile(const std::string& target, std::string failure_message, mode_t mode = 0666);
  // Removes the temporary file unless it was committed.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void write(std::string_view bytes);
  // Flushes the contents to the disk, closes the file and renames it over the target.
  void commit();

 private:
  [[noreturn]] void fail(int error_number) const;
  void close_descriptor();

  std::string target;
  std::string temporary;
  std::string failure_message;
  int descriptor = -1;
  bool committed = false;
};

}  // namespace quarnix
