// The binary input archive of the metadata file. It reads the same bytes as
// Boost's binary_iarchive, but from the whole file in memory, and refuses a
// length or element count larger than the bytes left: the file comes from
// outside, and the archive would otherwise allocate what a damaged or hostile
// file claims before it finds out that the data is not there.
#pragma once

#include <boost/archive/binary_iarchive_impl.hpp>
#include <boost/archive/detail/register_archive.hpp>
#include <boost/serialization/array_optimization.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <cstdint>
#include <sstream>
#include <string>

namespace quarnix {

// The bytes of a metadata file. Reading past their end throws: Boost takes an
// end of file inside the archive's header for a version number.
class MetadataBytes : public std::stringbuf {
 public:
  explicit MetadataBytes(std::string bytes) : std::stringbuf(std::move(bytes), std::ios::in) {}
  uint64_t remaining() const { return static_cast<uint64_t>(egptr() - gptr()); }

 protected:
  int_type underflow() override;
};

class MetadataArchive
    : public boost::archive::binary_iarchive_impl<MetadataArchive, std::istream::char_type,
                                                  std::istream::traits_type> {
  using Base = boost::archive::binary_iarchive_impl<MetadataArchive, std::istream::char_type,
                                                    std::istream::traits_type>;
  using Primitive =
      boost::archive::basic_binary_iprimitive<MetadataArchive, std::istream::char_type,
                                              std::istream::traits_type>;

 public:
  // Reads the header.
  explicit MetadataArchive(MetadataBytes& bytes);

  // Called by the archive machinery for every item and every primitive.
  template <class T>
  void load_override(T& item) {
    Base::load_override(item);
  }
  void load_override(boost::serialization::collection_size_type& count);
  using Primitive::load;
  void load(std::string& text);

 private:
  MetadataBytes& bytes;
};

}  // namespace quarnix

// As for Boost's binary_iarchive: vectors of primitives are one block of bytes.
BOOST_SERIALIZATION_REGISTER_ARCHIVE(quarnix::MetadataArchive)
BOOST_SERIALIZATION_USE_ARRAY_OPTIMIZATION(quarnix::MetadataArchive)
