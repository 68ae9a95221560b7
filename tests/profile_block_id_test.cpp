#include <gtest/gtest.h>

#include <algorithm>
#include <boost/format.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/murmur_hash3.hpp"
#include "support/errors.hpp"

namespace quarnix::testing {
namespace {

std::uint32_t murmur(const std::string& key, std::uint32_t seed) {
  std::uint32_t result = 0;
  MurmurHash3_x86_32(key.data(), static_cast<int>(key.size()), seed, &result);
  return result;
}

struct KnownAnswer {
  std::string key;
  std::uint32_t seed;
  std::uint32_t expected;
};

// Published vectors, cross-checked with an independent implementation; they
// cover the empty key, every tail length, several blocks and non-zero seeds.
TEST(MurmurHash3Test, MatchesKnownAnswers) {
  const std::vector<KnownAnswer> answers = {
      {"", 0, 0},
      {"", 1, 0x514E28B7},
      {"", 0xffffffff, 0x81F16F39},
      {std::string("\0\0\0\0", 4), 0, 0x2362F9DE},
      {"\xff\xff\xff\xff", 0, 0x76293B50},
      {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
      {"\x21\x43\x65", 0, 0x7E4A8634},
      {"\x21\x43", 0, 0xA0F7B07A},
      {"\x21", 0, 0x72661CF4},
      {"abcd", 0x9747b28c, 0xF0478627},
      {"Hello, world!", 0x9747b28c, 0x24884CBA},
      {"hello", 0, 0x248BFA47},
      {"The quick brown fox jumps over the lazy dog", 0, 0x2E4FF723},
  };
  for (const auto& answer : answers)
    EXPECT_EQ(murmur(answer.key, answer.seed), answer.expected)
        << "key of " << answer.key.size() << " bytes, seed " << answer.seed;

  // Keys need not be aligned.
  const std::string buffer = "xThe quick brown fox jumps over the lazy dog";
  std::uint32_t result = 0;
  MurmurHash3_x86_32(buffer.data() + 1, static_cast<int>(buffer.size() - 1), 0, &result);
  EXPECT_EQ(result, 0x2E4FF723u);
}

TEST(HashPathTest, OnlyTheWholeNameTestfileHashesToZero) {
  EXPECT_EQ(hash_path("testfile"), 0u);
  EXPECT_EQ(hash_path("dir/testfile"), 0x1539561Au);
  EXPECT_EQ(hash_path("testfile2"), 0xB5A1BC4Au);
  EXPECT_EQ(hash_path(""), 0u);
  EXPECT_EQ(hash_path("a/b/c.txt"), 0x36471008u);
  EXPECT_EQ(hash_path("hello"), 0x248BFA47u);
  EXPECT_EQ(hash_path("a/b/c.txt"), murmur("a/b/c.txt", 0));
}

TEST(BlockIdTest, PacksHashAndBlock) {
  const block_id_t id(0x12345678, 0x9abcdef0);
  EXPECT_EQ(id.value, 0x123456789abcdef0u);
  EXPECT_EQ(id.hash(), 0x12345678u);
  EXPECT_EQ(id.block(), 0x9abcdef0u);

  const block_id_t from_path("a/b/c.txt", 5);
  EXPECT_EQ(from_path.hash(), 0x36471008u);
  EXPECT_EQ(from_path.block(), 5u);

  EXPECT_EQ(block_id_t().value, 0u);
  EXPECT_EQ(block_id_t(), block_id_t("testfile", 0));

  EXPECT_EQ(std::hash<block_id_t>()(block_id_t(1, 2)), 4294967298u);
}

TEST(BlockIdTest, BlockNumberMustFitInThirtyTwoBits) {
  const block_id_t last(0xffffffff, 0xffffffffu);
  EXPECT_EQ(last.block(), 0xffffffffu);
  EXPECT_EQ(last.hash(), 0xffffffffu);
  try {
    const block_id_t id(7, 0x100000000u);
    FAIL() << "accepted as " << id;
  } catch (const RuntimeError& error) {
    EXPECT_STREQ(error.what(), "block number overflow");
  }
}

TEST(BlockIdTest, OrdersByHashThenBlock) {
  std::vector<block_id_t> ids = {block_id_t(0xffffffff, 0), block_id_t(3, 0xffffffff),
                                 block_id_t(3, 1), block_id_t(0, 9), block_id_t(3, 0)};
  std::sort(ids.begin(), ids.end());
  const std::vector<block_id_t> expected = {block_id_t(0, 9), block_id_t(3, 0), block_id_t(3, 1),
                                            block_id_t(3, 0xffffffff), block_id_t(0xffffffff, 0)};
  EXPECT_EQ(ids, expected);
  EXPECT_FALSE(block_id_t(3, 1) < block_id_t(3, 1));
  EXPECT_FALSE(block_id_t(3, 1) == block_id_t(1, 3));
}

TEST(BlockIdTest, PrintsTheWholeValueInDecimal) {
  std::ostringstream text;
  text << block_id_t(1, 2);
  EXPECT_EQ(text.str(), "4294967298");
  EXPECT_EQ((boost::format("block %d") % block_id_t(0xffffffff, 0xffffffffu)).str(),
            "block 18446744073709551615");
}

}  // namespace
}  // namespace quarnix::testing
