// The table of changed blocks against the output as the pass writes it.
#include "rewrite/changed_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zibel {
namespace {

// The output written in pieces of the pass's buffer size, each change noted
// before the piece that holds it: every changed byte is handed out to be
// written, whether blocks are smaller or larger than the pieces (NFS reports
// 1 MiB), and past a full table.
TEST(ChangedBlocks, EveryChangedByteIsHandedOutWhateverTheBlockSize) {
  constexpr std::uint64_t kPiece = 128 << 10;
  constexpr std::uint64_t kMiB = 1 << 20;
  std::vector<std::uint64_t> overflowing;
  for (std::uint64_t at = 3; overflowing.size() <= ChangedBlocks::kCapacity + 50; at += 8193) {
    overflowing.push_back(at);
  }
  const std::vector<std::vector<std::uint64_t>> cases = {
      {0, kMiB + kMiB / 2},
      {kPiece - 1, kPiece, kMiB - 1, kMiB, 3 * kMiB - 1},
      overflowing,
  };
  for (const std::uint64_t block : {std::uint64_t{4096}, std::uint64_t{64} << 10, kMiB}) {
    for (const std::vector<std::uint64_t>& changes : cases) {
      SCOPED_TRACE("block " + std::to_string(block) + ", first change at " +
                   std::to_string(changes[0]) + " of " + std::to_string(changes.size()));
      ChangedBlocks table(block);
      const std::uint64_t length = changes.back() + kMiB;
      std::vector<bool> handed_out(static_cast<std::size_t>(length));
      std::size_t noted = 0;
      for (std::uint64_t piece = 0; piece < length; piece += kPiece) {
        const std::uint64_t end = piece + kPiece < length ? piece + kPiece : length;
        for (; noted < changes.size() && changes[noted] < end; ++noted) {
          table.add(changes[noted], 1);
        }
        ASSERT_TRUE(table.each_changed(piece, end, [&](std::uint64_t from, std::uint64_t to) {
          EXPECT_TRUE(piece <= from && from < to && to <= end);
          for (std::uint64_t at = from; at < to; ++at)
            handed_out[static_cast<std::size_t>(at)] = true;
          return true;
        }));
      }
      for (const std::uint64_t at : changes) {
        EXPECT_TRUE(handed_out[static_cast<std::size_t>(at)]) << at;
      }
    }
  }
}

}  // namespace
}  // namespace zibel
