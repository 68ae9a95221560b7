#include "cache/metadata_archive.hpp"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_binary_iarchive.ipp>
#include <boost/archive/impl/basic_binary_iprimitive.ipp>

namespace quarnix {

namespace {

std::streamoff stream_end(std::streambuf& buffer) {
  const std::streamoff start = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
  const std::streamoff end = buffer.pubseekoff(0, std::ios::end, std::ios::in);
  if (start < 0 || end < 0 || buffer.pubseekpos(start, std::ios::in) != start)
    throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
  return end;
}

}  // namespace

MetadataArchive::MetadataArchive(std::istream& stream)
    : Base(stream, 0), buffer(*stream.rdbuf()), end(stream_end(buffer)) {
  // After the members: reading the header already checks lengths.
  init(0);
}

uint64_t MetadataArchive::remaining() {
  const std::streamoff position = buffer.pubseekoff(0, std::ios::cur, std::ios::in);
  if (position < 0 || position > end)
    throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
  return static_cast<uint64_t>(end - position);
}

// Every element of a collection takes at least one byte of the file.
void MetadataArchive::load_override(boost::serialization::collection_size_type& count) {
  Base::load_override(count);
  if (static_cast<uint64_t>(count) > remaining())
    throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
}

void MetadataArchive::load(std::string& text) {
  std::size_t length = 0;
  load(length);
  if (length > remaining())
    throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
  text.resize(length);
  if (length > 0) load_binary(text.data(), length);
}

}  // namespace quarnix

// The archive's members live in Boost's implementation files, compiled for
// Boost's own archives only.
namespace boost::archive {
template class detail::archive_serializer_map<quarnix::MetadataArchive>;
template class basic_binary_iprimitive<quarnix::MetadataArchive, std::istream::char_type,
                                       std::istream::traits_type>;
template class basic_binary_iarchive<quarnix::MetadataArchive>;
template class binary_iarchive_impl<quarnix::MetadataArchive, std::istream::char_type,
                                    std::istream::traits_type>;
}  // namespace boost::archive
