// Writing new content over the target in place: the commit's own steps, shared
// by an edit and by the completion of one that was cut short.
#pragma once

#include <cstdint>
#include <span>

#include "platform/files.h"
#include "rewrite/changed_blocks.h"

namespace zibel {

enum class Overwrite {
  done,     // the target holds the new content, on disk
  refused,  // the target is untouched
  failed,   // the target may hold part of the new content
};

// Writes the new content, `new_length` bytes of `content`, over `target`, now
// `target_length` bytes long, where the two differ only within `regions`
// (ranges in order) and from `first_change` on: what lies before it or past
// the new length in a region is neither locked nor written, so that a region
// rounded out to whole blocks never meets another program's lock on bytes
// the edit does not change. Everything
// that can be asked before the first byte is written is asked first, so that
// it refuses with the target untouched rather than fail part way: disk space
// for what the regions will hold (a longer end, holes, blocks shared with a
// clone), the regions locked against other programs where their locks would
// stop a write, and for a shorter content its new length (Windows refuses to
// shorten a file that another program has mapped).
Overwrite overwrite(platform::File target, std::uint64_t target_length, platform::File content,
                    std::span<const ByteRange> regions, std::uint64_t first_change,
                    std::uint64_t new_length);

}  // namespace zibel
