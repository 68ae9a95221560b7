#include "support/exclusive_files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <chrono>
#include <thread>

#include "support/logging.hpp"

namespace quarnix {

namespace {

std::string base_name_for(const std::string& prefix, time_t now) {
  tm utc{};
  ::gmtime_r(&now, &utc);
  return (boost::format("%s%04d%02d%02d_%02d%02d%02d") % prefix % (utc.tm_year + 1900) %
          (utc.tm_mon + 1) % utc.tm_mday % utc.tm_hour % utc.tm_min % utc.tm_sec)
      .str();
}

// Creates every file under `claim.base`; false when one name is taken (then
// in `taken`), after the files created so far are removed again.
bool create_all(ClaimedBaseName& claim, const std::vector<NewFile>& files, std::string& taken) {
  for (const NewFile& file : files) {
    const std::string path = claim.base + file.suffix;
    UniqueFd fd = create_exclusively(path, file.mode);
    if (!fd) {
      const int error = errno;
      for (std::size_t created = 0; created < claim.files.size(); ++created)
        ::unlink((claim.base + files[created].suffix).c_str());
      claim.files.clear();
      if (error == EEXIST) {
        taken = path;
        return false;
      }
      claim.failed_path = path;
      claim.error = error;
      return true;
    }
    claim.files.push_back(std::move(fd));
  }
  return true;
}

}  // namespace

UniqueFd create_exclusively(const std::string& path, mode_t mode) {
  return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

ClaimedBaseName claim_base_name(const std::string& prefix, const std::vector<NewFile>& files,
                                const NameWait& wait) {
  const auto start = std::chrono::steady_clock::now();
  std::string reported;
  for (;;) {
    ClaimedBaseName claim;
    claim.base = base_name_for(prefix, ::time(nullptr));
    std::string taken;
    if (create_all(claim, files, taken)) return claim;
    if ((wait.longest && std::chrono::steady_clock::now() - start >= *wait.longest) ||
        (wait.ended && wait.ended())) {
      claim.failed_path = taken;
      claim.error = EEXIST;
      return claim;
    }
    // The wait for the next name may last a second: said once per taken name.
    if (taken != reported) {
      log_info(boost::format("%s exists, waiting for the next second's name") % taken);
      reported = taken;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace quarnix
