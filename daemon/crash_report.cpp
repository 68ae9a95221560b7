#include "daemon/crash_report.hpp"

#include <fcntl.h>
#include <time.h>

#include <boost/format.hpp>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <mutex>
#include <sstream>

#include "daemon/daemon_state.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

constexpr int max_report_files = 10000;
constexpr time_t core_dump_interval = 60;

int fatal_error_count = 0;
time_t last_core_dump = 0;
std::mutex report_mutex;

// A report for standard error, written as one piece when it ends so that
// it does not interleave with the lines of other threads.
class StandardErrorReport : public std::ostringstream {
 public:
  ~StandardErrorReport() override { write_text(std::cerr, str()); }
};

std::unique_ptr<std::ostream> standard_error_stream() {
  return std::make_unique<StandardErrorReport>();
}

// A report file, owned by the stream from its creation on.
class ReportFile : public std::ostream {
 public:
  explicit ReportFile(UniqueFd fd) : std::ostream(nullptr), buffer(fd.release(), std::ios::out) {
    rdbuf(&buffer);
  }

 private:
  __gnu_cxx::stdio_filebuf<char> buffer;
};

}  // namespace

std::unique_ptr<std::ostream> open_crash_report() {
  std::lock_guard lock(report_mutex);
  if (!state.crashdir) return standard_error_stream();

  const time_t now = ::time(nullptr);
  tm utc{};
  ::gmtime_r(&now, &utc);
  std::string base;
  UniqueFd file;
  for (int counter = 0;; ++counter) {
    if (counter == 99) {
      write_line(std::cerr, "ERROR: No available filename in --crashdir");
      return standard_error_stream();
    }
    base = (boost::format("%s/%04d-%02d-%02d_%02d-%02d-%02d_%02d") % *state.crashdir %
            (utc.tm_year + 1900) % (utc.tm_mon + 1) % utc.tm_mday % utc.tm_hour % utc.tm_min %
            utc.tm_sec % counter)
               .str();
    // Only a name that nothing holds is taken, and a planted link is never
    // followed. Reports describe the daemon's memory: its owner alone reads them.
    file.reset(::open((base + ".txt").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600));
    if (file) break;
  }
  auto report = std::make_unique<ReportFile>(std::move(file));
  if (++fatal_error_count > max_report_files) {
    const char* warning =
        "WARNING: High fatal error count. Further messages will be written  to stderr and not "
        "saved to --crashdir.";
    write_line(std::cerr, warning);
    *report << warning << std::endl;
    state.crashdir.reset();
  }
  if (state.crashdir && now - last_core_dump > core_dump_interval) {
    dump_core(base + ".core");
    last_core_dump = now;
  }
  return report;
}

void write_crash_report_line(const std::string& line) {
  *open_crash_report() << line << std::endl;
}

}  // namespace quarnix
