// The line forms that the trainer accepts in read logs, path lists and log
// directory listings. Each matcher accepts exactly the lines that the
// documented pattern, applied with std::regex_search in the ECMAScript grammar,
// accepts; the groups are views into the line. They are written by hand
// because std::regex recurses once per character and a long line would
// overflow the stack.
#pragma once

#include <optional>
#include <string_view>

namespace quarnix::trainer {

// "^[0-9.]+\t([[:alpha:]]+)\t": the operation name.
std::optional<std::string_view> match_operation(std::string_view line);

struct ReadLine {
  std::string_view id;
  std::string_view offset;
  std::string_view size;
};

// "^[0-9.]+\tread\t(\d+)\t(\d+)\t(\d+)$"
std::optional<ReadLine> match_read_line(std::string_view line);

struct MmapLine {
  std::string_view id;
  std::string_view path;
};

// "^[0-9.]+\tmmap\t(\d+)\t(.+)$"
std::optional<MmapLine> match_mmap_line(std::string_view line);

struct PathLine {
  std::string_view id;
  std::string_view path;
};

// "^(\d+)\t(.+)$"
std::optional<PathLine> match_path_line(std::string_view line);

// "^(oplog_[0-9]+_[0-9]+)_files\.csv$", or with `kernel`
// "^(bpf_oplog_[0-9]+_[0-9]+)_files\.csv$": the log's prefix.
std::optional<std::string_view> match_log_prefix(std::string_view file_name, bool kernel);

}  // namespace quarnix::trainer
