// The operations log: "<base>.csv" with one line per logged operation and
// "<base>_files.csv" with one line per inode the log refers to.
#pragma once

#include <time.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace quarnix {

struct OperationsLog {
  bool enabled = false;
  bool log_all = false;
  timespec start{};
  std::mutex mutex;
  std::fstream csv;
  std::fstream files;

  // Creates both files in the working directory under a base name of the
  // current UTC time that no earlier log uses.
  void open(bool log_all_operations);

  bool logs_all() const { return enabled && log_all; }

  // One line "<seconds>\t<name>\t<field>\t<field>..." in the operations log.
  template <typename... Fields>
  void write(const char* name, const Fields&... fields) {
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

  void write_file(uint64_t id, const std::string& path);

 private:
  void write_line(const char* name, const std::string& fields);
};

}  // namespace quarnix
