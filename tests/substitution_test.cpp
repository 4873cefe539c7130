// The substitution pass over data in memory. Every case runs with many buffer
// and read sizes, from the smallest the pass accepts to the real ones, so that
// occurrences fall across every buffer boundary.
#include "rewrite/substitution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "memory_streams.h"

namespace zibel {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

struct Sizes {
  std::size_t work;
  std::size_t read;
  std::size_t output;
};

PassResult run(MemoryStreams& streams, const std::string& old_string, const std::string& new_string,
               Sizes sizes) {
  std::vector<char> work(sizes.work);
  std::vector<char> output(sizes.output);
  return substitute(streams, old_string, new_string, work, output);
}

std::vector<Sizes> all_sizes(std::size_t old_length) {
  std::vector<Sizes> sizes;
  const std::size_t smallest = minimum_work_buffer(old_length);
  for (std::size_t work :
       {smallest, smallest + 1, 2 * smallest + 3, std::size_t{4096}, std::size_t{1} << 20}) {
    for (std::size_t read : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
      for (std::size_t output : {std::size_t{1}, std::size_t{5}, std::size_t{1} << 16}) {
        sizes.push_back({std::max(work, smallest), read, output});
      }
    }
  }
  return sizes;
}

// Checks the pass against `expected` (nothing: no output may be made) for
// every buffer and read size.
void expect_substitution(const std::string& data, const std::string& old_string,
                         const std::string& new_string,
                         const std::optional<std::string>& expected) {
  for (const Sizes& sizes : all_sizes(old_string.size())) {
    SCOPED_TRACE("work " + std::to_string(sizes.work) + ", read " + std::to_string(sizes.read) +
                 ", output " + std::to_string(sizes.output));
    MemoryStreams streams(data, sizes.read);
    const PassResult result = run(streams, old_string, new_string, sizes);
    EXPECT_EQ(result, expected ? PassResult::replaced : PassResult::no_occurrence);
    EXPECT_FALSE(streams.misuse);
    ASSERT_EQ(streams.output, expected);
    if (expected && old_string.size() == new_string.size()) {
      // Outside what the pass said it replaced, the output is the input; and
      // what it said starts and ends with an occurrence.
      std::string output = *expected;
      std::string input = data;
      for (const auto& [offset, length] : streams.replaced_ranges) {
        const auto begin = static_cast<std::size_t>(offset);
        EXPECT_EQ(data.substr(begin, old_string.size()), old_string);
        EXPECT_EQ(data.substr(begin + length - old_string.size(), old_string.size()), old_string);
        output.replace(static_cast<std::size_t>(offset), length, length, '?');
        input.replace(static_cast<std::size_t>(offset), length, length, '?');
      }
      EXPECT_TRUE(output == input);
    }
  }
}

TEST(Substitution, ReplacesEveryOccurrenceLeftmostFirst) {
  expect_substitution("a cat, a cat", "cat", "dog", "a dog, a dog");
  expect_substitution("cat at the start", "cat", "dog", "dog at the start");
  expect_substitution("ends with cat", "cat", "dog", "ends with dog");
  expect_substitution("catcat", "cat", "dog", "dogdog");
  expect_substitution("cat", "cat", "cat", "cat");
}

TEST(Substitution, OccurrencesNeverOverlapAndNewTextIsNotSearchedAgain) {
  expect_substitution("aaa", "aa", "b", "ba");
  expect_substitution("aaaaa", "aa", "a", "aaa");
  expect_substitution("aba", "a", "aa", "aabaa");
  expect_substitution("xaab", "ab", "b", "xab");
}

TEST(Substitution, EmptyNewStringRemovesEachOccurrence) {
  expect_substitution("a cat, a cat.", "cat", "", "a , a .");
  expect_substitution("catcat", "cat", "", "");
}

TEST(Substitution, MakesNoOutputWithoutAnOccurrence) {
  expect_substitution("", "cat", "dog", std::nullopt);
  expect_substitution("a Cat, a CAT", "cat", "dog", std::nullopt);
  expect_substitution("ca", "cat", "dog", std::nullopt);
  expect_substitution("cacacaca", "cat", "dog", std::nullopt);
}

TEST(Substitution, SearchingEndsAtTheFirstNulByte) {
  // Everything from the end of the last occurrence on, NUL included, is kept.
  expect_substitution("cat\0cat\0cat"s, "cat", "dog", "dog\0cat\0cat"s);
  expect_substitution("ca\0t cat"s, "cat", "dog", std::nullopt);
  expect_substitution("\0cat"s, "cat", "dog", std::nullopt);
  expect_substitution("x cat\0"s, "cat", "", "x \0"s);
}

TEST(Substitution, PassesEveryOtherByteThrough) {
  const std::string bytes = "\r\n\x1a\x7f\x80\xff line\r\n"s;
  expect_substitution(bytes + "\xe4" + bytes, "\xe4", "\r\n\x1a", bytes + "\r\n\x1a" + bytes);
}

TEST(Substitution, TranslatesOneByteForAnotherUpToTheFirstNul) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += "here every e is seen\r\n";
  data += "e\0e"s + data;
  expect_substitution(data, "e", "E", reference(data, "e", "E"));
  expect_substitution(data, "e", "EE", reference(data, "e", "EE"));
}

TEST(Substitution, FindsLongOldStringsAcrossBufferBoundaries) {
  std::string old_string(2047, 'x');
  old_string.back() = 'y';
  const std::string data = "ab" + old_string + old_string + std::string(3000, 'x') + old_string;
  expect_substitution(data, old_string, "-", reference(data, old_string, "-"));
}

TEST(Substitution, MatchesAPlainReferenceOnRandomInput) {
  std::mt19937 random(20261207);
  auto text = [&](std::size_t length, std::string_view alphabet) {
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += alphabet[random() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 4000; ++round) {
    // Half the rounds are short data through tiny buffers; the other half
    // span many of the 64-byte steps in which one byte is replaced by a short
    // string, through buffers large enough to hold several.
    const bool long_data = random() % 2 == 0;
    std::string data =
        text(random() % (long_data ? 4000 : 300), random() % 2 ? "ab"sv : "aaaaaaab"sv);
    switch (random() % 3) {  // no NUL, one anywhere, or about one in nine bytes
      case 0:
        break;
      case 1:
        if (!data.empty()) data[random() % data.size()] = '\0';
        break;
      default:
        for (char& byte : data) {
          if (random() % 9 == 0) byte = '\0';
        }
    }
    const std::string old_string = text(random() % 2 ? 1 : 1 + random() % 6, "ab");
    const std::string new_string = text(random() % 20, "abc");
    const std::size_t smallest = minimum_work_buffer(old_string.size());
    const Sizes sizes =
        long_data ? Sizes{smallest + random() % 2000, random() % 2 ? SIZE_MAX : 1 + random() % 1000,
                          1 + random() % 3000}
                  : Sizes{smallest + random() % 20, 1 + random() % 40, 1 + random() % 16};
    MemoryStreams streams(data, sizes.read);
    const PassResult result = run(streams, old_string, new_string, sizes);
    const auto expected = reference(data, old_string, new_string);
    ASSERT_EQ(streams.output, expected) << "round " << round;
    ASSERT_FALSE(streams.misuse) << "round " << round;
    ASSERT_EQ(result, expected ? PassResult::replaced : PassResult::no_occurrence);
  }
}

TEST(Substitution, ReportsFailuresOfItsStreams) {
  const std::string data = "one cat, " + std::string(5000, '.') + " two cats";
  const Sizes sizes{64, SIZE_MAX, 16};

  MemoryStreams read_fails_late(data, sizes.read);
  read_fails_late.fail_read_at = 1000;
  EXPECT_EQ(run(read_fails_late, "cat", "dog", sizes), PassResult::read_failed);

  MemoryStreams read_fails_first(data, sizes.read);
  read_fails_first.fail_read_at = 0;
  EXPECT_EQ(run(read_fails_first, "cat", "dog", sizes), PassResult::read_failed);
  EXPECT_FALSE(read_fails_first.output.has_value());

  MemoryStreams start_fails(data, sizes.read);
  start_fails.fail_start = true;
  EXPECT_EQ(run(start_fails, "cat", "dog", sizes), PassResult::write_failed);

  for (std::size_t writes = 0; writes < 4; ++writes) {
    MemoryStreams write_fails(data, sizes.read);
    write_fails.writes_left = writes;
    EXPECT_EQ(run(write_fails, "cat", "dog", sizes), PassResult::write_failed) << writes;
  }
}

}  // namespace
}  // namespace zibel
