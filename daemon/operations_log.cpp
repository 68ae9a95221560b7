#include "daemon/operations_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <iostream>
#include <thread>

#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

std::string base_name_for(time_t now) {
  tm utc{};
  ::gmtime_r(&now, &utc);
  return (boost::format("oplog_%04d%02d%02d_%02d%02d%02d") % (utc.tm_year + 1900) %
          (utc.tm_mon + 1) % utc.tm_mday % utc.tm_hour % utc.tm_min % utc.tm_sec)
      .str();
}

// Claims `name` for this run: false when another log already has it.
bool create_exclusively(const std::string& name, const boost::format& message) {
  UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd) return true;
  if (errno == EEXIST) return false;
  throw RuntimeError(message);
}

// A base name of the current second whose two files did not exist and are
// now ours. Another daemon that started in the same second in this directory
// owns that name, so this one waits for the next second: the names keep the
// form every reader expects, and no log is ever overwritten.
std::string claim_base_name() {
  for (;;) {
    const std::string base = base_name_for(::time(nullptr));
    if (create_exclusively(base + ".csv", boost::format("Unable to open %s.csv") % base)) {
      if (create_exclusively(base + "_files.csv",
                             boost::format("Unable to open %s_files.csv") % base))
        return base;
      ::unlink((base + ".csv").c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void report_bad_stream(const char* what) {
  const int error_number = errno;
  write_line(std::cerr, std::string("ERROR: ") + what + " stream in bad state, errno is" +
                            errno_string(error_number));
}

}  // namespace

void OperationsLog::open(bool log_all_operations) {
  clock_gettime(CLOCK_MONOTONIC, &start);
  enabled = true;
  log_all = log_all_operations;
  const std::string base = claim_base_name();
  csv.open(base + ".csv", std::ios::out | std::ios::trunc);
  if (!csv) throw RuntimeError(boost::format("Unable to open %s.csv") % base);
  std::ios_base::sync_with_stdio(false);
  files.open(base + "_files.csv", std::ios::out | std::ios::trunc);
  if (!files) throw RuntimeError(boost::format("Unable to open %s_files.csv") % base);
  std::ios_base::sync_with_stdio(false);
}

void OperationsLog::write_line(const char* name, const std::string& fields) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double seconds = static_cast<double>(now.tv_sec - start.tv_sec) +
                         1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec);
  std::lock_guard lock(mutex);
  csv << boost::format("%.9f\t%s\t") % seconds % name << fields << std::endl;
  if (csv.fail()) report_bad_stream("operations log");
}

void OperationsLog::write_read(uint64_t id, int64_t offset, uint64_t size) {
  {
    std::lock_guard lock(mutex);
    if (unmapped_ids.count(id) != 0) return;
  }
  write("read", id, offset, size);
}

void OperationsLog::write_file(uint64_t id, const std::string& path) {
  if (!fits_log_line(path)) {
    warn_left_out_of_read_log("file map", path);
    std::lock_guard lock(mutex);
    unmapped_ids.insert(id);
    return;
  }
  std::lock_guard lock(mutex);
  files << id << '\t' << path << std::endl;
  if (files.fail()) report_bad_stream("file map");
}

}  // namespace quarnix
