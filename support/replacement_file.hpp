// An output file written so that a failed write never leaves a truncated file
// in the target's place, and so that writing never changes what kind of file
// the target is. A regular file (or a new one) is written beside the target
// and renamed over it only once complete; a device or a FIFO is opened,
// truncated and written through, as any program's output would be; a
// symbolic link leads to its target, which is written in the same way, where
// the kernel would follow it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "support/unique_fd.hpp"

namespace quarnix {

// What the name given to a ReplacementFile stands for.
enum class OutputTarget {
  // Whatever the name leads to, as for any program's output. A symbolic link
  // in a sticky directory that everyone may write is followed only when it
  // belongs to the process's user or to the directory's owner, as the kernel
  // protects such links (whatever fs.protected_symlinks says); another one
  // fails with EACCES. A FIFO without a reader fails with ENXIO at once.
  followed,
  // The name alone, for a file that is the program's own: whatever holds the
  // name, a link or a FIFO included, is replaced by a new regular file, and
  // nothing of the replaced file is taken over.
  own,
};

class ReplacementFile {
 public:
  // Opens the output. A new file gets `mode` less the umask (the default lets
  // the umask decide, as for any new file); a replaced regular file of a
  // followed target keeps its permissions and, where the process may give it
  // away, its owner. Every failure of this object throws
  // RuntimeError(failure_message, errno), after the temporary file is gone.
  ReplacementFile(const std::string& target, std::string failure_message, mode_t mode = 0666,
                  OutputTarget kind = OutputTarget::followed);
  // Removes the temporary file unless it was committed.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void write(std::string_view bytes);
  // Flushes the contents to the disk, closes the file and renames it over the
  // target; a file written through is only closed.
  void commit();

 private:
  void open_followed(mode_t mode);
  void open_written_through();
  void create_temporary(mode_t mode);
  void take_over_attributes(const struct stat& replaced);
  void remove_temporary() noexcept;
  [[noreturn]] void fail(int error_number);
  void close_descriptor();

  std::string target;
  // Empty when the target is written through.
  std::string temporary;
  std::string failure_message;
  UniqueFd descriptor;
  bool committed = false;
};

}  // namespace quarnix
