#include "recorder/translate_trace.hpp"

#include <errno.h>

#include <boost/format.hpp>
#include <fstream>
#include <unordered_set>

#include "support/block_number.hpp"
#include "support/descriptor_stream.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/read_length.hpp"
#include "support/read_log_text.hpp"
#include "tracesession/read_trace.hpp"

namespace quarnix::recorder {

namespace {

double trace_seconds(uint64_t time_ns) {
  return static_cast<double>(time_ns) * 1e-9;
}

// Writes the read log of one trace, line by line, and counts what it met.
class ReadLogWriter {
 public:
  ReadLogWriter(ReadLogOutputs outputs, const ino2path_t& ino2path)
      : ino2path(ino2path), oplog(std::move(outputs.csv)), fmap(std::move(outputs.files)) {}

  void translate(const std::string& line) {
    if (is_trace_noise(line)) return;
    if (const auto read = parse_trace_read(line)) {
      ++processed;
      if (known_path(read->inode) && read->result != 0 && fits_blocks(*read))
        write_oplog(boost::format("%.9f\t%s\t%d\t%d\t%d\n") % trace_seconds(read->time_ns) %
                    "read" % read->inode % read->offset % read->result);
    } else if (const auto mapping = parse_trace_mapping(line)) {
      ++processed;
      if (const std::string* path = known_path(mapping->inode)) {
        mapped = true;
        write_oplog(boost::format("%.9f\t%s\t%d\t#%s\n") % trace_seconds(mapping->time_ns) %
                    "mmap" % mapping->inode % *path);
      }
    } else {
      log_warning(boost::format("Unable to parse: %s") % line);
    }
  }

  // The streams buffer their lines; a write that fails only when they are
  // flushed must not pass for a complete read log.
  void finish() {
    fmap.close();
    if (!fmap) throw RuntimeError("Error writing to fmap", errno);
    oplog.close();
    if (!oplog) throw RuntimeError("Error writing to oplog", errno);
  }

  void report() const {
    log_info(boost::format("Processed %d trace entries") % processed);
    log_info(boost::format("Skipped %d entries for %d inodes not found in mountpoint") % skipped %
             unmapped.size());
    if (mapped) log_warning("Some files were mmap'ed, read logs may be incomplete.");
  }

 private:
  // The file's path, with its file-map line written at its first event; null
  // when the event is not written: for a file that the scan did not find
  // (skipped), or whose path a read-log line cannot hold (left out with one
  // warning, like the daemon's log leaves it out).
  const std::string* known_path(uint64_t inode) {
    const auto entry = ino2path.find(inode);
    if (entry == ino2path.end()) {
      log_debug(2, boost::format("Ino %d not found in mountpoint") % inode);
      unmapped.insert(inode);
      ++skipped;
      return nullptr;
    }
    if (left_out.count(inode) != 0) return nullptr;
    if (written.count(inode) == 0) {
      if (!fits_read_log_line(entry->second)) {
        warn_left_out_of_read_log("file map", entry->second);
        left_out.insert(inode);
        return nullptr;
      }
      written.insert(inode);
      fmap << boost::format("%d\t%s\n") % inode % entry->second;
      if (!fmap) throw RuntimeError("Error writing to fmap", errno);
    }
    return &entry->second;
  }

  // A read that the trainer could not number, or one longer than any read
  // returns, would make it refuse the whole log: it is left out, with a
  // warning.
  static bool fits_blocks(const TraceRead& read) {
    if (static_cast<uint64_t>(read.result) > largest_read_length) {
      log_warning(boost::format("read(ino=%d, off=%d) -> %d is longer than any read returns, %d "
                                "bytes, which the trainer refuses; left out") %
                  read.inode % read.offset % read.result % largest_read_length);
      return false;
    }
    if (fits_read_log_blocks(read.offset, static_cast<uint64_t>(read.result))) return true;
    log_warning(boost::format("read(ino=%d, off=%d) -> %d ends past block %d at %d bytes a "
                              "block, the last that the trainer can number; left out") %
                read.inode % read.offset % read.result % largest_block_number %
                smallest_trained_block_size);
    return false;
  }

  void write_oplog(const boost::format& line) {
    oplog << line;
    if (!oplog) throw RuntimeError("Error writing to oplog", errno);
  }

  const ino2path_t& ino2path;
  DescriptorStream oplog;
  DescriptorStream fmap;
  std::unordered_set<uint64_t> written;
  std::unordered_set<uint64_t> left_out;
  std::unordered_set<uint64_t> unmapped;
  uint64_t processed = 0;
  uint64_t skipped = 0;
  bool mapped = false;
};

}  // namespace

void translate_trace(const std::string& base, const std::string& trace_path, ReadLogOutputs outputs,
                     const ino2path_t& ino2path) {
  std::ifstream trace(trace_path);
  if (!trace) throw RuntimeError(boost::format("Unable to open %s.trace") % base, errno);
  ReadLogWriter writer(std::move(outputs), ino2path);
  std::string line;
  while (std::getline(trace, line))
    writer.translate(line);
  writer.finish();
  writer.report();
}

}  // namespace quarnix::recorder
