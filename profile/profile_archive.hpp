// The binary input archive of read-ahead profiles. It reads the same bytes as
// Boost's binary_iarchive, but refuses a length or element count larger than
// the bytes left in the file: a profile comes from outside, and the archive
// would otherwise allocate what a damaged or hostile file claims before it
// finds out that the data is not there.
#pragma once

#include <boost/archive/binary_iarchive_impl.hpp>
#include <boost/archive/detail/register_archive.hpp>
#include <boost/serialization/array_optimization.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <cstdint>
#include <istream>
#include <string>

namespace quarnix {

class ProfileArchive
    : public boost::archive::binary_iarchive_impl<ProfileArchive, std::istream::char_type,
                                                  std::istream::traits_type> {
  using Base = boost::archive::binary_iarchive_impl<ProfileArchive, std::istream::char_type,
                                                    std::istream::traits_type>;
  using Primitive = boost::archive::basic_binary_iprimitive<ProfileArchive, std::istream::char_type,
                                                            std::istream::traits_type>;

 public:
  // Reads the header; `stream` must be seekable (a file). A size beyond the
  // end of the file throws std::length_error.
  explicit ProfileArchive(std::istream& stream);

  // Called by the archive machinery for every item and every primitive.
  template <class T>
  void load_override(T& item) {
    Base::load_override(item);
  }
  void load_override(boost::serialization::collection_size_type& count);
  using Primitive::load;
  void load(std::string& text);

 private:
  uint64_t remaining();
  void check_size(uint64_t size);

  std::streambuf& buffer;
  std::streamoff end;
};

}  // namespace quarnix

// As for Boost's binary_iarchive: vectors of primitives are one block of bytes.
BOOST_SERIALIZATION_REGISTER_ARCHIVE(quarnix::ProfileArchive)
BOOST_SERIALIZATION_USE_ARRAY_OPTIMIZATION(quarnix::ProfileArchive)
