#include "support/open_beneath.hpp"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quarnix {

UniqueFd open_beneath(int directory, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  // The C library of this platform has no wrapper for openat2.
  return UniqueFd(
      static_cast<int>(::syscall(SYS_openat2, directory, path.c_str(), &how, sizeof how)));
}

}  // namespace quarnix
