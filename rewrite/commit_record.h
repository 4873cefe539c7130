// The commit record: a small file beside the temporary file, never inside it,
// that says an edit's new content is complete in that file and may be
// written over the target. A run that is killed, or loses its power, in
// mid-commit leaves the two behind, and the next run on the target completes
// the commit from them (recovery.h), much as a database replays its journal.
//
// A temporary file under its name always has its record beside it. Where new
// files have no name until they are published (Linux), the record is written
// once the temporary file is complete and on disk, and named before it. Where
// they are named as they are made (Windows), the record is made first and
// says `preparing` before the temporary file is made, and `committing` once it
// is complete and on disk. Its bytes carry a checksum of their own, so that a
// record torn by a power cut is never taken for one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace zibel {

struct CommitRecord {
  // The temporary file is being written, and the target untouched; or it is
  // complete and on disk, and the commit may have begun. Only the state, the
  // number, the target, the owner and, once it is made, the temporary file are
  // said while preparing.
  enum class State : std::uint32_t { preparing = 1, committing = 2 };
  State state = State::committing;
  // The number of the temporary name that holds the new content ("<target>.tmp"
  // is 0, "<target>.<n>.tmp" is n).
  std::uint32_t temporary_number = 0;
  platform::FileIdentity target;
  // The temporary file's, once it is made: the next run removes a file under
  // its name only when it is this one, as another file's run may have made
  // one there since ("<target>.1.tmp" is also the first name "<target>.1"
  // gives its temporary file).
  platform::FileIdentity temporary;
  platform::Owner owner;         // the user whose run wrote it
  std::uint64_t old_length = 0;  // the target's length before the edit
  std::uint64_t new_length = 0;  // the new content's, the temporary file's
  // Where the first change starts: the bytes before it are the same in the
  // old content and the new one, and the commit writes the target from here.
  std::uint64_t first_change = 0;
  // Of the new content from the first change on (checksum.h). The bytes before
  // it are the target's own, and are compared with the target's instead.
  std::uint64_t checksum = 0;
  bool operator==(const CommitRecord&) const = default;
};

inline constexpr std::size_t kCommitRecordSize = 200;

void encode(const CommitRecord& record, char (&bytes)[kCommitRecordSize]);

// False unless `bytes` are a whole record of this version, untorn.
bool decode(const char* bytes, std::size_t length, CommitRecord& record);

}  // namespace zibel
