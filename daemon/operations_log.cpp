#include "daemon/operations_log.hpp"

#include <boost/format.hpp>
#include <iostream>

#include "support/errors.hpp"
#include "support/exclusive_files.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// Another daemon that started in the same second in this directory owns that
// second's name; a name held by anything, also a planted link, is never
// written through.
void open_under_claimed_name(std::optional<DescriptorStream>& csv,
                             std::optional<DescriptorStream>& files) {
  ClaimedBaseName claim = claim_base_name("oplog_", {{".csv", 0644}, {"_files.csv", 0644}});
  if (claim.error != 0) throw RuntimeError(boost::format("Unable to open %s") % claim.failed_path);
  csv.emplace(std::move(claim.files[0]));
  files.emplace(std::move(claim.files[1]));
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
  open_under_claimed_name(csv, files);
  std::ios_base::sync_with_stdio(false);
}

namespace {

thread_local OperationsLog::Deferral* current_deferral = nullptr;

}  // namespace

OperationsLog::Deferral::Deferral(OperationsLog& log) : log(log), outermost(!current_deferral) {
  if (outermost) current_deferral = this;
}

OperationsLog::Deferral::~Deferral() {
  if (!outermost) return;
  current_deferral = nullptr;
  for (const std::string& line : lines)
    log.write_csv(line);
}

void OperationsLog::write_line(const char* name, const std::string& fields) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double seconds = static_cast<double>(now.tv_sec - start.tv_sec) +
                         1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec);
  std::string line = (boost::format("%.9f\t%s\t") % seconds % name).str() + fields;
  if (current_deferral && &current_deferral->log == this)
    current_deferral->lines.push_back(std::move(line));
  else
    write_csv(line);
}

void OperationsLog::write_csv(const std::string& line) {
  std::lock_guard lock(mutex);
  *csv << line << std::endl;
  if (csv->fail()) report_bad_stream("operations log");
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
  *files << id << '\t' << path << std::endl;
  if (files->fail()) report_bad_stream("file map");
}

}  // namespace quarnix
