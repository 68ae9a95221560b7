// The binary input archive of the files that the programs read back (cache
// metadata, read-ahead profiles). It reads the same bytes as Boost's
// binary_iarchive, but refuses a length or element count larger than the
// bytes left: such a file comes from outside, and the archive would otherwise
// allocate what a damaged or hostile file claims before it finds out that the
// data is not there.
#pragma once

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/binary_iarchive_impl.hpp>
#include <boost/archive/detail/register_archive.hpp>
#include <boost/serialization/array_optimization.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>

namespace quarnix {

// A length or count beyond the end of the bytes; its text is Boost's own for
// bytes that end early.
class ArchiveSizeError : public boost::archive::archive_exception {
 public:
  ArchiveSizeError() : archive_exception(input_stream_error) {}
};

class BoundedBinaryArchive
    : public boost::archive::binary_iarchive_impl<BoundedBinaryArchive, std::istream::char_type,
                                                  std::istream::traits_type> {
  using Base = boost::archive::binary_iarchive_impl<BoundedBinaryArchive, std::istream::char_type,
                                                    std::istream::traits_type>;
  using Primitive =
      boost::archive::basic_binary_iprimitive<BoundedBinaryArchive, std::istream::char_type,
                                              std::istream::traits_type>;

 public:
  // Reads the header from the current position of `buffer`, which must be
  // seekable (a file or bytes in memory). Bytes that end inside the header
  // throw Boost's archive_exception for a stream error.
  explicit BoundedBinaryArchive(std::streambuf& buffer);

  // Called by the archive machinery for every item and every primitive.
  template <class T>
  void load_override(T& item) {
    Base::load_override(item);
  }
  void load_override(boost::serialization::collection_size_type& count);
  using Primitive::load;
  void load(std::string& text);

  // The bytes not read yet.
  uint64_t remaining();

 private:
  void check_size(uint64_t size);

  std::streambuf& buffer;
  std::streamoff end;
};

}  // namespace quarnix

// As for Boost's binary_iarchive: vectors of primitives are one block of bytes.
BOOST_SERIALIZATION_REGISTER_ARCHIVE(quarnix::BoundedBinaryArchive)
BOOST_SERIALIZATION_USE_ARRAY_OPTIMIZATION(quarnix::BoundedBinaryArchive)
