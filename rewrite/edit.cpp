#include "rewrite/edit.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/names.h"
#include "platform/seam.h"
#include "rewrite/commit_record.h"
#include "rewrite/finder.h"
#include "rewrite/overwrite.h"
#include "rewrite/recovery.h"
#include "rewrite/temporary_names.h"

namespace zibel {
namespace {

// Large enough that system calls are few, small enough that the buffers stay
// in the processor's cache and cost few page faults in a short run.
constexpr std::size_t kWorkBufferSize = std::size_t{128} << 10;
constexpr std::size_t kOutputBufferSize = std::size_t{128} << 10;
static_assert(kWorkBufferSize >= minimum_work_buffer(ArgumentField::kMaxLength));
static_assert(Finder::kMaxPatternLength >= ArgumentField::kMaxLength);

char work_buffer[kWorkBufferSize];
char output_buffer[kOutputBufferSize];

}  // namespace

Edit::~Edit() {
  discard_temporary();
  close_target();
  platform::close(directory_);
}

std::optional<Outcome> Edit::prepare() {
  if (!platform::open_for_update(request_.target_path.c_str(), target_)) {
    return Outcome::cannot_open;
  }
  target_open_ = true;
  if (!platform::lock_for_edit(target_)) return give_up(Outcome::cannot_open);
  // Where the temporary files go, and what a run cut short left there. When
  // that cannot be told (a link that cannot be read), nothing is recovered,
  // and the first occurrence tries again.
  placed_ = place_temporary_files();
  if (placed_ && recover(target_, directory_, beside_, request_.temporary_path, work_buffer,
                         output_buffer) == Recovery::refused) {
    return give_up(Outcome::update_incomplete);
  }
  platform::seam::reach(platform::seam::Point::recovered);
  if (!platform::state_of(target_, target_state_)) return give_up(Outcome::cannot_open);

  const PassResult result = substitute(*this, request_.old_string.view(),
                                       request_.new_string.view(), work_buffer, output_buffer);
  switch (result) {
    case PassResult::no_occurrence:
      return give_up(Outcome::unchanged);
    case PassResult::read_failed:
      return give_up(Outcome::cannot_read);
    case PassResult::write_failed:
      return give_up(Outcome::cannot_write_temporary);
    case PassResult::replaced:
      break;
  }
  if (!make_durable()) return give_up(Outcome::cannot_write_temporary);
  platform::seam::reach(platform::seam::Point::temporary_durable);
  return std::nullopt;
}

std::ptrdiff_t Edit::read(char* into, std::size_t capacity) {
  const std::ptrdiff_t count = platform::read_at(target_, input_length_, into, capacity);
  if (count > 0) input_length_ += static_cast<std::uint64_t>(count);
  return count;
}

// The unchanged bytes before the first occurrence are part of the new content
// too, though the kernel copies them: they are hashed here, as the pass reads
// them.
void Edit::unchanged(const char* bytes, std::size_t length) {
  checksum_.add(bytes, length);
}

bool Edit::start_output(std::uint64_t prefix_length) {
  if (!create_temporary()) return false;
  written_ = prefix_length;
  first_change_ = prefix_length;
  return platform::copy(target_, 0, temporary_, 0, prefix_length);
}

bool Edit::write(const char* bytes, std::size_t length) {
  const std::uint64_t offset = written_;
  written_ += length;
  checksum_.add(bytes, length);
  return platform::write_at(temporary_, offset, bytes, length);
}

// The temporary files go beside the file the target resolves to, on the same
// file system as the data they protect, in its directory, opened once.
bool Edit::place_temporary_files() {
  if (!platform::place_temporary_files(request_.target_path.c_str(), target_, beside_,
                                       sizeof beside_)) {
    return false;
  }
  const std::string_view beside{beside_};
  return platform::open_directory(beside.substr(0, platform::last_name_start(beside)), directory_);
}

const char* Edit::name_in_directory(const ArgumentField& path) const {
  return path.c_str() + directory_.path.size();
}

// Creates the temporary file. Where it gets its name only when it is
// published (Linux), the name is settled then; elsewhere it is the first free
// one. A file that already has one of these names is never touched.
bool Edit::create_temporary() {
  if (!placed_ && !(placed_ = place_temporary_files())) return false;
  for (temporary_number_ = 0; temporary_number_ <= kNumberedTemporaryNames; ++temporary_number_) {
    if (!form_temporary_path(beside_, temporary_number_, request_.temporary_path)) return false;
    platform::Created result;
    {
      // The file and the duty to remove it on a signal come into being together.
      const platform::InterruptHold blocked;
      result = platform::create_private(directory_, name_in_directory(request_.temporary_path),
                                        temporary_);
      if (result == platform::Created::created) {
        temporary_made_ = Made::yes;
        platform::remove_on_interrupt(directory_, name_in_directory(request_.temporary_path),
                                      temporary_);
      }
    }
    switch (result) {
      case platform::Created::created:
        // Locked before anything is written: another run of the tool that
        // opened it by name meanwhile finds it empty, and any later one waits
        // until this edit has ended.
        return platform::lock_for_edit(temporary_);
      case platform::Created::name_taken:
        continue;
      case platform::Created::failed:
        return false;
    }
  }
  return false;
}

// Flushes the temporary file, writes and flushes its commit record, and names
// both, the record first, so that a temporary file under its name always has
// its record. Where the record's name is taken by another file, the edit goes
// on without one, as it would on a system that cannot keep one.
bool Edit::make_durable() {
  if (!platform::flush(temporary_)) return false;
  CommitRecord record;
  record.temporary_number = static_cast<std::uint32_t>(temporary_number_);
  record.old_length = input_length_;
  record.new_length = written_;
  record.first_change = first_change_;
  record.checksum = checksum_.value();
  if (!platform::identity_of(target_, record.target) || !platform::current_owner(record.owner) ||
      !form_record_path(beside_, record_path_)) {
    return false;
  }
  char bytes[kCommitRecordSize];
  encode(record, bytes);
  switch (platform::create_private(directory_, name_in_directory(record_path_), record_)) {
    case platform::Created::created:
      record_made_ = Made::yes;
      platform::remove_on_interrupt(directory_, name_in_directory(record_path_), record_);
      if (!platform::write_at(record_, 0, bytes, sizeof bytes) || !platform::flush(record_)) {
        return false;
      }
      break;
    case platform::Created::name_taken:
      break;
    case platform::Created::failed:
      return false;
  }
  return publish_temporary() && platform::flush(directory_);
}

bool Edit::publish_temporary() {
  if (record_made_ == Made::yes) {
    switch (platform::publish(directory_, record_, name_in_directory(record_path_))) {
      case platform::Created::created:
        record_made_ = Made::named;
        break;
      case platform::Created::name_taken:  // goes without a record, as above
        (void)platform::close(record_);
        record_made_ = Made::no;
        break;
      case platform::Created::failed:
        return false;
    }
  }
  for (;;) {
    switch (platform::publish(directory_, temporary_, name_in_directory(request_.temporary_path))) {
      case platform::Created::created:
        temporary_made_ = Made::named;
        return true;
      case platform::Created::failed:
        return false;
      case platform::Created::name_taken:  // only a file without a name yet
        break;
    }
    if (++temporary_number_ > kNumberedTemporaryNames ||
        !form_temporary_path(beside_, temporary_number_, request_.temporary_path)) {
      return false;
    }
    // The record, named already, says the new name before the file has it.
    if (record_made_ == Made::named) {
      CommitRecord record;
      char bytes[kCommitRecordSize];
      if (platform::read_at(record_, 0, bytes, sizeof bytes) !=
              static_cast<std::ptrdiff_t>(sizeof bytes) ||
          !decode(bytes, sizeof bytes, record)) {
        return false;
      }
      record.temporary_number = static_cast<std::uint32_t>(temporary_number_);
      encode(record, bytes);
      if (!platform::write_at(record_, 0, bytes, sizeof bytes) || !platform::flush(record_)) {
        return false;
      }
    }
  }
}

// The target is overwritten in place, never replaced by a rename, so it keeps
// its inode: mode, owner, hard links and links that name it stay as they were.
// Only the bytes from the first occurrence on are written: those before it are
// the same already. The temporary file still holds the whole new content, and
// is only removed once the target's new content is on disk; until then it is
// the one complete copy of the result, and with its record the next run
// completes the commit should this one be cut short.
Outcome Edit::commit(const platform::InterruptHold&) {
  // From here on a signal must neither tear the target nor remove the
  // temporary file: the blocked signals wait until the outcome has been told.
  platform::forget_on_interrupt();

  // Another program that wrote to the target since the edit began (bytes
  // appended to a log, a line changed) would lose what it wrote, or have it
  // mixed with the new content: the edit is given up instead, the target as
  // that program left it.
  platform::FileState now;
  if (!platform::state_of(target_, now) || now != target_state_ || now.length != input_length_) {
    return give_up(Outcome::cannot_update);
  }
  const Overwrite result = overwrite(target_, input_length_, temporary_, first_change_, written_);
  if (result == Overwrite::refused) return give_up(Outcome::cannot_update);
  target_open_ = false;
  const bool closed = platform::close(target_);
  temporary_made_ = Made::closed;
  if (result != Overwrite::done || !closed) {
    // Both are on disk already; the next run completes the commit.
    (void)platform::close(temporary_);
    if (record_made_ == Made::named) (void)platform::close(record_);
    record_made_ = Made::closed;
    return Outcome::update_incomplete;
  }
  platform::seam::reach(platform::seam::Point::after_commit);

  // Files that cannot be removed are left behind silently: the edit itself is
  // complete, and the next run removes them. The temporary file goes first,
  // and its record only once the temporary file has gone by its name: the
  // next run removes a record left alone, and a temporary file only with its
  // record.
  const bool removed = platform::remove(directory_, name_in_directory(request_.temporary_path),
                                        temporary_) != platform::Removal::failed;
  (void)platform::close(temporary_);  // only read since it was flushed
  if (record_made_ == Made::named) {
    if (removed) (void)platform::remove(directory_, name_in_directory(record_path_), record_);
    (void)platform::close(record_);
  }
  record_made_ = Made::closed;
  return Outcome::replaced;
}

// Ends an edit that will not be committed: the temporary file and its record
// are removed and the target, only read so far, closed.
Outcome Edit::give_up(Outcome outcome) {
  discard_temporary();
  close_target();
  return outcome;
}

void Edit::discard_temporary() {
  if (temporary_made_ == Made::no || temporary_made_ == Made::closed) return;
  {
    const platform::InterruptHold blocked;
    // The record goes first, emptied before it is removed: an edit given up
    // must never be completed by the next run, even where the record cannot
    // be removed. Nothing more can be done when a file cannot be removed.
    if (record_made_ == Made::yes || record_made_ == Made::named) {
      if (!record_.pending) (void)(platform::set_length(record_, 0) && platform::flush(record_));
      (void)platform::remove(directory_, name_in_directory(record_path_), record_);
    }
    (void)platform::remove(directory_, name_in_directory(request_.temporary_path), temporary_);
    platform::forget_on_interrupt();
  }
  (void)platform::close(temporary_);  // its content is thrown away
  temporary_made_ = Made::no;
  if (record_made_ == Made::yes || record_made_ == Made::named) (void)platform::close(record_);
  record_made_ = Made::no;
}

void Edit::close_target() {
  if (!target_open_) return;
  target_open_ = false;
  // Only reached when the target was only read: a failing close loses nothing.
  (void)platform::close(target_);
}

}  // namespace zibel
