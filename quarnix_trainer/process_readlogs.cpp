#include "quarnix_trainer/process_readlogs.hpp"

#include <errno.h>

#include <boost/filesystem.hpp>
#include <charconv>
#include <fstream>
#include <limits>
#include <optional>
#include <string_view>

#include "quarnix_trainer/read_log_lines.hpp"
#include "support/block_number.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/read_length.hpp"

namespace quarnix::trainer {

namespace {

// Mapped files listed by name in the warning; the rest only by number.
constexpr std::size_t max_listed_mapped_files = 30;

std::ifstream open_log(const std::string& file) {
  errno = 0;
  std::ifstream in(file);
  if (!in.is_open())
    throw RuntimeError(boost::format("Unable to open %s") % file, errno != 0 ? errno : EIO);
  return in;
}

[[noreturn]] void throw_unparsable(const std::string& line) {
  throw RuntimeError(boost::format("Unable to parse line: %s") % line);
}

// The matchers leave only digits in `digits`; a number beyond 64 bits makes
// the line as unparsable as any other malformed one.
std::uint64_t to_number(std::string_view digits, const std::string& line) {
  std::uint64_t value = 0;
  const char* const end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (error != std::errc() || stop != end) throw_unparsable(line);
  return value;
}

struct BlockRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

// The blocks that bytes [offset, offset + size) touch. A range that reaches
// past the last block number throws before any of its blocks is counted, so
// that one absurd line cannot make the run count billions of windows first.
BlockRange block_range(std::uint64_t offset, std::uint64_t size, unsigned int blocksize) {
  if (size == 0) return {};
  if (size - 1 > std::numeric_limits<std::uint64_t>::max() - offset)
    detail::throw_block_number_overflow();
  const std::uint64_t first = offset / blocksize;
  const std::uint64_t last = (offset + size - 1) / blocksize;
  if (last > largest_block_number) detail::throw_block_number_overflow();
  return {first, last - first + 1};
}

// The last trail_len + 1 blocks of one log, oldest first.
class BlockWindow {
 public:
  explicit BlockWindow(unsigned int trail_len)
      : blocks(std::size_t{trail_len} + 1), warm_up(trail_len) {}

  // Shifts `block` in; true once the window holds trail_len + 1 blocks of the log.
  bool push(block_id_t block) {
    const std::size_t last = blocks.size() - 1;
    for (std::size_t k = 0; k < last; ++k)
      blocks[k] = blocks.at(k + 1);
    blocks[last] = block;
    if (warm_up == 0) return true;
    --warm_up;
    return false;
  }

  const block_sequence_t& sequence() const { return blocks; }

 private:
  block_sequence_t blocks;
  unsigned int warm_up;
};

void warn_about_mapped_files(const std::set<std::string>& mapped) {
  std::string message =
      "Reads from mapped memory are ignored for readahead purposes\n"
      "The following files were mmap'ed:";
  std::size_t listed = 0;
  for (const std::string& path : mapped) {
    if (listed == max_listed_mapped_files) {
      message +=
          (boost::format("\n\t(%s further files omitted)\n") % (mapped.size() - listed)).str();
      break;
    }
    message += "\n\t" + path;
    ++listed;
  }
  log_warning(message);
}

void count_read(const std::string& line, const ReadLine& read, occ_count_t& occ,
                const id2hash_t& id2hash, sizecount_t& sizecount, unsigned int blocksize,
                BlockWindow& window) {
  const std::uint64_t id = to_number(read.id, line);
  const std::uint64_t offset = to_number(read.offset, line);
  const std::uint64_t size = to_number(read.size, line);
  // Each block of a read is a window to count: a length no read can have
  // would make one line cost any amount of time and memory.
  if (size > largest_read_length) throw_unparsable(line);
  const auto hash = id2hash.find(id);
  if (hash == id2hash.end()) throw RuntimeError(boost::format("Unknown inode id: %d") % id);
  sizecount[size] += 1;

  const BlockRange range = block_range(offset, size, blocksize);
  for (std::uint64_t block = range.first; block < range.first + range.count; ++block) {
    if (log_enabled(4))
      log_debug(2,
                boost::format("process_reads: registering read from inode %d, block %d (hash %d)") %
                    id % block % hash->second);
    if (window.push(block_id_t(hash->second, block))) occ[window.sequence()] += 1;
  }
}

}  // namespace

std::set<std::string> find_oplogs(const std::string& directory, bool kernel) {
  std::set<std::string> prefixes;
  for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (const auto prefix = match_log_prefix(name, kernel)) prefixes.emplace(*prefix);
  }
  return prefixes;
}

void read_id2path(const std::string& file, hash2path_t& hash2path, id2hash_t& id2hash) {
  std::ifstream in = open_log(file);
  std::string line;
  while (std::getline(in, line)) {
    const std::optional<PathLine> entry = match_path_line(line);
    if (!entry) throw_unparsable(line);
    const std::uint64_t id = to_number(entry->id, line);
    const std::string path(entry->path);
    const std::uint32_t hash = hash_path(path);
    if (log_enabled(4))
      log_debug(2, boost::format("read_id2path(): adding id %d for path %s with hashes %d") % id %
                       path % hash);
    id2hash[id] = hash;

    const auto known = hash2path.find(hash);
    if (known == hash2path.end()) {
      log_debug(2, boost::format("read_id2path(): path %s is new") % path);
      hash2path.emplace(hash, path);
    } else if (known->second != path) {
      throw RuntimeError(boost::format("Hash collision for %s and %s") % known->second % path);
    }
  }
  if (in.bad()) throw RuntimeError("error reading " + file, errno);
}

void process_reads(const std::string& file, occ_count_t& occ, const id2hash_t& id2hash,
                   sizecount_t& sizecount, unsigned int blocksize, unsigned int trail_len) {
  // Callers refuse a block size of 0 on the command line; it divides the offsets.
  if (blocksize == 0) throw RuntimeError("block size must not be 0");
  BlockWindow window(trail_len);
  std::set<std::string> mapped;

  std::ifstream in = open_log(file);
  std::string line;
  while (std::getline(in, line)) {
    const std::optional<std::string_view> operation = match_operation(line);
    if (!operation) throw_unparsable(line);
    if (*operation == "mmap") {
      const std::optional<MmapLine> mmap = match_mmap_line(line);
      if (!mmap) throw_unparsable(line);
      mapped.emplace(mmap->path);
    } else if (*operation == "read") {
      const std::optional<ReadLine> read = match_read_line(line);
      if (!read) throw_unparsable(line);
      count_read(line, *read, occ, id2hash, sizecount, blocksize, window);
    }
  }
  if (in.bad()) throw RuntimeError(boost::format("Error reading %s") % file, errno);

  if (!mapped.empty()) warn_about_mapped_files(mapped);
}

}  // namespace quarnix::trainer
