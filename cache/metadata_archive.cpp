#include "cache/metadata_archive.hpp"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_binary_iarchive.ipp>
#include <boost/archive/impl/basic_binary_iprimitive.ipp>

namespace quarnix {

namespace {

[[noreturn]] void ended_early() {
  throw boost::archive::archive_exception(boost::archive::archive_exception::input_stream_error);
}

}  // namespace

MetadataBytes::int_type MetadataBytes::underflow() {
  const int_type next = std::stringbuf::underflow();
  if (traits_type::eq_int_type(next, traits_type::eof())) ended_early();
  return next;
}

MetadataArchive::MetadataArchive(MetadataBytes& bytes) : Base(bytes, 0), bytes(bytes) {
  // After the members: reading the header already checks lengths.
  init(0);
}

// Every element of a collection takes at least one byte of the file.
void MetadataArchive::load_override(boost::serialization::collection_size_type& count) {
  Base::load_override(count);
  if (static_cast<uint64_t>(count) > bytes.remaining()) ended_early();
}

void MetadataArchive::load(std::string& text) {
  std::size_t length = 0;
  load(length);
  if (length > bytes.remaining()) ended_early();
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
