// The checksum of the new content: what it must tell apart, that the way the
// content is split does not matter, and the values it is pinned to.
#include "rewrite/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

namespace zibel {
namespace {

std::uint64_t checksum_of(const std::string& bytes) {
  Checksum checksum;
  checksum.add(bytes.data(), bytes.size());
  return checksum.value();
}

std::string random_bytes(std::mt19937& random, std::size_t length) {
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Across several scrambles, with the value taken between pieces too: it must
// be that of the bytes added so far, and taking it must change nothing.
TEST(Checksum, DoesNotDependOnHowTheBytesAreSplit) {
  std::mt19937 random(11);
  const std::string bytes = random_bytes(random, 5000);
  const std::uint64_t whole = checksum_of(bytes);
  for (int round = 0; round < 300; ++round) {
    Checksum checksum;
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t piece =
          std::min<std::size_t>(random() % (round % 3 == 0 ? 8 : 1500), bytes.size() - at);
      checksum.add(bytes.data() + at, piece);
      at += piece;
      ASSERT_EQ(checksum.value(), checksum_of(bytes.substr(0, at))) << "round " << round;
    }
    ASSERT_EQ(checksum.value(), whole) << "round " << round;
  }
}

TEST(Checksum, ChangesWithAnyFlippedBit) {
  std::mt19937 random(12);
  std::string bytes = random_bytes(random, 3000);
  const std::uint64_t original = checksum_of(bytes);
  for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << bit % 8));
    ASSERT_NE(checksum_of(bytes), original) << "bit " << bit;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << bit % 8));
  }
}

// A stripe not yet complete is filled up with zero bytes; only the length
// tells a file from the same file with zero bytes appended.
TEST(Checksum, CountsTheLength) {
  std::set<std::uint64_t> values;
  for (std::size_t length = 0; length <= 200; ++length) {
    values.insert(checksum_of(std::string(length, '\0')));
  }
  EXPECT_EQ(values.size(), 201u);
}

// Values pinned when the checksum was written. Commit records carry them from
// one version of the tool to the next, so the algorithm and its constants must
// never change.
TEST(Checksum, KeepsItsPinnedValues) {
  std::string pattern;
  for (std::size_t i = 0; i < 2200; ++i) pattern += static_cast<char>(i * 131 % 251);
  EXPECT_EQ(checksum_of(""), 0x76B0C1DC95EA9F06u);
  EXPECT_EQ(checksum_of("a"), 0x022D3E9FDAF5F5FDu);
  EXPECT_EQ(checksum_of("a cat, a cat\n"), 0x0AD0A2FC31CBFFBBu);
  EXPECT_EQ(checksum_of(pattern.substr(0, 64)), 0x4220C07476CCF4C6u);
  EXPECT_EQ(checksum_of(pattern.substr(0, 1024)), 0x5BB90C601CC39819u);
  EXPECT_EQ(checksum_of(pattern), 0xAE2D91888EDB0331u);
}

}  // namespace
}  // namespace zibel
