#include "rewrite/recovery.h"

#include <algorithm>
#include <cstring>

#include "rewrite/checksum.h"
#include "rewrite/commit_record.h"
#include "rewrite/overwrite.h"
#include "rewrite/temporary_names.h"

namespace zibel {
namespace {

// An open candidate file, closed when it goes.
class Candidate {
 public:
  Candidate() = default;
  ~Candidate() {
    if (open_) (void)platform::close(file_);  // only read
  }
  Candidate(const Candidate&) = delete;
  Candidate& operator=(const Candidate&) = delete;

  platform::Candidate open(const platform::Directory& directory, const ArgumentField& path,
                           platform::File target) {
    const platform::Candidate found =
        platform::open_candidate(directory, name(directory, path), target, file_);
    open_ = found == platform::Candidate::opened;
    return found;
  }

  // Removes it, and tells whether it is gone by its name; one that cannot be
  // removed is left, as after any edit.
  bool remove(const platform::Directory& directory, const ArgumentField& path) {
    return platform::remove(directory, name(directory, path), file_) != platform::Removal::failed;
  }

  platform::File file() const { return file_; }

 private:
  static const char* name(const platform::Directory& directory, const ArgumentField& path) {
    return path.c_str() + directory.path.size();
  }

  platform::File file_;
  bool open_ = false;
};

bool read_exactly(platform::File file, std::uint64_t offset, char* into, std::size_t length) {
  while (length > 0) {
    const std::ptrdiff_t count = platform::read_at(file, offset, into, length);
    if (count <= 0) return false;
    offset += static_cast<std::uint64_t>(count);
    into += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool read_record(platform::File file, CommitRecord& record) {
  char bytes[kCommitRecordSize + 1];
  std::size_t length = 0;
  for (std::ptrdiff_t count; length < sizeof bytes; length += static_cast<std::size_t>(count)) {
    count = platform::read_at(file, length, bytes + length, sizeof bytes - length);
    if (count < 0) return false;
    if (count == 0) break;
  }
  return decode(bytes, length, record);
}

// What the temporary file and the target hold, found in one pass over both.
struct Examined {
  // The temporary file is as long as the record says, and its bytes from the
  // first change on are those the record's checksum describes.
  bool intact = false;
  bool prefix_same = false;  // the target's bytes before the first change are its
  bool all_same = false;     // the target is the new content already
};

Examined examine(platform::File target, std::uint64_t target_length, platform::File content,
                 const CommitRecord& record, std::span<char> buffer, std::span<char> other) {
  Examined examined;
  platform::FileState state;
  if (!platform::state_of(content, state) || state.length != record.new_length) return examined;
  bool prefix_same = target_length >= record.first_change;
  bool all_same = target_length == record.new_length;
  Checksum checksum;
  for (std::uint64_t offset = 0; offset < record.new_length;) {
    const std::uint64_t left = record.new_length - offset;
    const std::size_t length =
        left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
    if (!read_exactly(content, offset, buffer.data(), length)) return examined;
    if (offset + length > record.first_change) {
      const std::size_t unchanged =
          offset < record.first_change ? static_cast<std::size_t>(record.first_change - offset) : 0;
      checksum.add(buffer.data() + unchanged, length - unchanged);
    }
    // The target is read where it counts: within the first change, and all
    // of it while it may be the new content already.
    const std::uint64_t prefix_left =
        offset < record.first_change ? record.first_change - offset : 0;
    const std::size_t prefix_part =
        prefix_left < length ? static_cast<std::size_t>(prefix_left) : length;
    const std::size_t compared = all_same ? length : prefix_same ? prefix_part : 0;
    if (compared > 0) {
      if (!read_exactly(target, offset, other.data(), compared)) return examined;
      prefix_same = prefix_same && std::memcmp(buffer.data(), other.data(), prefix_part) == 0;
      all_same = all_same && std::memcmp(buffer.data(), other.data(), length) == 0;
    }
    offset += length;
  }
  examined.intact = checksum.value() == record.checksum;
  examined.prefix_same = prefix_same;
  examined.all_same = all_same;
  return examined;
}

// Whether the record is of this user's run on this target.
bool names_this_run(const CommitRecord& record, platform::File target) {
  platform::FileIdentity identity;
  platform::Owner owner;
  return platform::identity_of(target, identity) && identity.provable() &&
         identity == record.target && platform::current_owner(owner) && owner == record.owner;
}

bool between(std::uint64_t length, std::uint64_t a, std::uint64_t b) {
  return a <= b ? a <= length && length <= b : b <= length && length <= a;
}

}  // namespace

Recovery recover(platform::File target, const platform::Directory& directory,
                 std::string_view beside, ArgumentField& temporary_path, std::span<char> buffer,
                 std::span<char> other) {
  ArgumentField record_path;
  Candidate record_file;
  CommitRecord record;
  if (!form_record_path(beside, record_path) ||
      record_file.open(directory, record_path, target) != platform::Candidate::opened) {
    return Recovery::nothing;
  }
  // An empty file cannot be told from one of the user's own (where files are
  // named as they are made, a run killed just after making its record, before
  // writing it, leaves one).
  if (!read_record(record_file.file(), record)) return Recovery::nothing;
  if (!names_this_run(record, target) || record.temporary_number > kNumberedTemporaryNames ||
      !form_temporary_path(beside, static_cast<int>(record.temporary_number), temporary_path)) {
    return Recovery::nothing;
  }
  Candidate content;
  switch (content.open(directory, temporary_path, target)) {
    case platform::Candidate::absent:
      // The commit never began, or was complete and its temporary file removed:
      // either way the target holds the old or the new content.
      (void)record_file.remove(directory, record_path);
      return Recovery::cleaned;
    case platform::Candidate::untrusted:
      return Recovery::nothing;
    case platform::Candidate::opened:
      break;
  }
  // A file under the name that is not the one the run made is another's: the
  // run was ended before it made its own, or that one has gone since.
  platform::FileIdentity identity;
  const bool its_own = record.temporary.provable() &&
                       platform::identity_of(content.file(), identity) &&
                       identity == record.temporary;
  if (record.state == CommitRecord::State::preparing) {
    // The run was ended before its commit: the target is untouched.
    if (!its_own || content.remove(directory, temporary_path)) {
      (void)record_file.remove(directory, record_path);
    }
    return Recovery::cleaned;
  }
  if (!its_own) return Recovery::nothing;
  platform::FileState state;
  if (!platform::state_of(target, state)) return Recovery::nothing;
  const Examined examined = examine(target, state.length, content.file(), record, buffer, other);
  if (!examined.intact) return Recovery::nothing;
  Recovery recovery = Recovery::cleaned;
  if (!examined.all_same) {
    // Times cannot tell a write of the interrupted commit from a later one: a
    // target that an interrupted commit may have left is completed, anything
    // else is for a person to decide.
    const ByteRange from_first_change[] = {
        {record.first_change, std::max(state.length, record.new_length)}};
    if (!examined.prefix_same || !between(state.length, record.old_length, record.new_length) ||
        overwrite(target, state.length, content.file(), from_first_change, record.first_change,
                  record.new_length) != Overwrite::done) {
      return Recovery::refused;
    }
    recovery = Recovery::completed;
  }
  // The temporary file first, then the record. Should the temporary file
  // stay, the record goes all the same: a completed commit must never be
  // completed again, over what another program writes to the target later.
  // The file is left without a record, which no run touches.
  (void)content.remove(directory, temporary_path);
  (void)record_file.remove(directory, record_path);
  return recovery;
}

}  // namespace zibel
