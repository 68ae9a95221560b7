#include "support/bounded_binary_archive.hpp"

#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_binary_iarchive.ipp>
#include <boost/archive/impl/basic_binary_iprimitive.ipp>
#include <cstring>

namespace quarnix {

namespace {

[[noreturn]] void stream_error() {
  throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
}

std::streamoff stream_end(std::streambuf& buffer) {
  const std::streamoff start = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
  const std::streamoff end = buffer.pubseekoff(0, std::ios::end, std::ios::in);
  if (start < 0 || end < 0 || buffer.pubseekpos(start, std::ios::in) != start) stream_error();
  return end;
}

}  // namespace

BoundedBinaryArchive::BoundedBinaryArchive(std::streambuf& buffer)
    : Base(buffer, 0), buffer(buffer), end(stream_end(buffer)) {
  // Boost would take the end of the bytes for a library version, which its
  // checks (where they are compiled in) refuse by stopping the process.
  const std::size_t signature =
      sizeof(std::size_t) + std::strlen(boost::archive::BOOST_ARCHIVE_SIGNATURE());
  if (remaining() <= signature) stream_error();
  // After the members: reading the header already checks lengths.
  init(0);
}

uint64_t BoundedBinaryArchive::remaining() {
  const std::streamoff position = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
  if (position < 0 || position > end) stream_error();
  return static_cast<uint64_t>(end - position);
}

// Every byte of a string, and every element of a collection, takes at least
// one byte of the file.
void BoundedBinaryArchive::check_size(uint64_t size) {
  if (size > remaining()) throw ArchiveSizeError();
}

void BoundedBinaryArchive::load_override(boost::serialization::collection_size_type& count) {
  Base::load_override(count);
  check_size(count);
}

void BoundedBinaryArchive::load(std::string& text) {
  std::size_t length = 0;
  load(length);
  check_size(length);
  text.resize(length);
  if (length > 0) load_binary(text.data(), length);
}

}  // namespace quarnix

// The archive's members live in Boost's implementation files, compiled for
// Boost's own archives only.
namespace boost::archive {
template class detail::archive_serializer_map<quarnix::BoundedBinaryArchive>;
template class basic_binary_iprimitive<quarnix::BoundedBinaryArchive, std::istream::char_type,
                                       std::istream::traits_type>;
template class basic_binary_iarchive<quarnix::BoundedBinaryArchive>;
template class binary_iarchive_impl<quarnix::BoundedBinaryArchive, std::istream::char_type,
                                    std::istream::traits_type>;
}  // namespace boost::archive
