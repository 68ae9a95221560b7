// The operations log: "<base>.csv" with one line per logged operation and
// "<base>_files.csv" with one line per inode the log refers to.
#pragma once

#include <time.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "support/descriptor_stream.hpp"
#include "support/read_log_text.hpp"

namespace quarnix {

// Numbers always fit a line; names and paths must pass fits_read_log_line.
template <typename Field>
bool fits_log_line(const Field& field) {
  if constexpr (std::is_convertible_v<const Field&, std::string_view>)
    return fits_read_log_line(field);
  else
    return true;
}

struct OperationsLog {
  // While one lives on a thread, the lines of the operations log that the
  // thread writes are kept, with the time they were written, and go into the
  // log when the outermost one ends. For code that holds an inode's mutex:
  // the log's mutex is taken with no other lock held.
  class Deferral {
   public:
    explicit Deferral(OperationsLog& log);
    ~Deferral();
    Deferral(const Deferral&) = delete;
    Deferral& operator=(const Deferral&) = delete;

   private:
    friend struct OperationsLog;
    OperationsLog& log;
    bool outermost;
    std::vector<std::string> lines;
  };

  bool enabled = false;
  bool log_all = false;
  timespec start{};
  // Innermost: nothing is locked while it is held, and it is taken with
  // neither the state mutex nor an inode's mutex held (see Deferral).
  std::mutex mutex;
  // Open once the log is enabled.
  std::optional<DescriptorStream> csv;
  std::optional<DescriptorStream> files;

  // Creates both files in the working directory under a base name of the
  // current UTC time that nothing else holds, and keeps them open.
  void open(bool log_all_operations);

  bool logs_all() const { return enabled && log_all; }

  // One line "<seconds>\t<name>\t<field>\t<field>..." in the operations log;
  // a line whose text field does not fit a line is left out with a warning.
  template <typename... Fields>
  void write(const char* name, const Fields&... fields) {
    if (!(fits_log_line(fields) && ...)) {
      (warn_if_left_out(name, fields), ...);
      return;
    }
    std::ostringstream line;
    bool first = true;
    ((line << (first ? "" : "\t") << fields, first = false), ...);
    write_line(name, line.str());
  }

  // Lines of operations other than read, written only with --log-all.
  template <typename... Fields>
  void write_if_all(const char* name, const Fields&... fields) {
    if (logs_all()) write(name, fields...);
  }

  // A read of the inode with file-map id `id`; left out when the inode has no
  // file-map line, because the trainer refuses reads of unknown ids.
  void write_read(uint64_t id, int64_t offset, uint64_t size);

  // The file-map line of a new inode; a path that does not fit a line is left
  // out with a warning, and so are the inode's reads.
  void write_file(uint64_t id, const std::string& path);

 private:
  void write_line(const char* name, const std::string& fields);
  void write_csv(const std::string& line);

  template <typename Field>
  static void warn_if_left_out(const char* name, const Field& field) {
    if constexpr (std::is_convertible_v<const Field&, std::string_view>)
      if (!fits_log_line(field)) warn_left_out_of_read_log(name, field);
  }

  // File-map ids without a file-map line; guarded by `mutex`.
  std::unordered_set<uint64_t> unmapped_ids;
};

}  // namespace quarnix
