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
  if (placed_) {
    // Completing a commit cut short is a commit too: a signal waits for it.
    const platform::InterruptHold blocked;
    if (recover(target_, directory_, beside_, request_.temporary_path, work_buffer,
                output_buffer) == Recovery::refused) {
      return give_up(Outcome::update_incomplete);
    }
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

bool Edit::start_output(std::uint64_t prefix_length) {
  if (!create_temporary()) return false;
  written_ = prefix_length;
  first_change_ = prefix_length;
  // An edit that keeps the length changes only some blocks: where the file
  // system can, the temporary file starts as a clone of the target, sharing
  // every block, and only the changed ones are written to it.
  if (keeps_length()) {
    changed_ = ChangedBlocks(platform::block_size(target_));
    switch (platform::clone(target_, temporary_)) {
      case platform::Cloned::cloned:
        shares_blocks_ = true;
        return true;
      case platform::Cloned::not_offered:
        break;
      case platform::Cloned::failed:
        return false;
    }
  }
  return platform::copy(target_, 0, temporary_, 0, prefix_length);
}

void Edit::replaced(std::uint64_t offset, std::size_t length) {
  if (keeps_length()) changed_.add(offset, length);
}

bool Edit::write(const char* bytes, std::size_t length) {
  const std::uint64_t offset = written_;
  written_ += length;
  checksum_.add(bytes, length);
  if (!shares_blocks_) return platform::write_at(temporary_, offset, bytes, length);
  return write_changed(offset, bytes, length);
}

// Writes, of the new content's `length` bytes from `offset` on, only what
// lies in changed blocks, over the target's own in the clone: every changed
// block is noted before the new content that fills it is written.
bool Edit::write_changed(std::uint64_t offset, const char* bytes, std::size_t length) {
  return changed_.each_changed(offset, offset + length, [&](std::uint64_t from, std::uint64_t to) {
    return platform::write_at(temporary_, from, bytes + (from - offset),
                              static_cast<std::size_t>(to - from));
  });
}

// The temporary files go beside the file the target resolves to, on the same
// file system as the data they protect, in its directory, opened once.
bool Edit::place_temporary_files() {
  if (!platform::place_temporary_files(request_.target_path.c_str(), target_, beside_,
                                       sizeof beside_)) {
    return false;
  }
  // The directory is opened by its name, and must then hold the target under
  // its last name: another program may have swapped a directory on the way
  // meanwhile, and every later name is made in the directory opened.
  const std::string_view beside{beside_};
  const std::size_t name_start = platform::last_name_start(beside);
  if (!platform::open_directory(beside.substr(0, name_start), directory_)) return false;
  if (platform::names_file(directory_, beside_ + name_start, target_)) return true;
  platform::close(directory_);
  return false;
}

const char* Edit::name_in_directory(const ArgumentField& path) const {
  return path.c_str() + directory_.path.size();
}

// Makes the commit record. Where its name is taken by another file, the edit
// goes on without one, as on a system that cannot keep one.
bool Edit::create_record() {
  if (!form_record_path(beside_, record_path_)) return false;
  switch (platform::create_private(directory_, name_in_directory(record_path_), record_file_)) {
    case platform::Created::created:
      record_made_ = Made::yes;
      platform::remove_on_interrupt(directory_, name_in_directory(record_path_), record_file_);
      return true;
    case platform::Created::name_taken:
      return true;
    case platform::Created::failed:
      return false;
  }
  return false;
}

// Writes the record as it stands now, over what it said before.
bool Edit::write_record() {
  char bytes[kCommitRecordSize];
  encode(record_, bytes);
  return platform::write_at(record_file_, 0, bytes, sizeof bytes);
}

// Creates the temporary file, and its record first, under the first free
// name. Where they get their names only when they are published (Linux), the
// names are settled then; elsewhere the record has its name at once and says
// `preparing`, naming a name that was free, before the temporary file exists.
// A file that already has one of these names is never touched.
bool Edit::create_temporary() {
  if (!placed_ && !(placed_ = place_temporary_files())) return false;
  record_.state = CommitRecord::State::preparing;
  if (!platform::identity_of(target_, record_.target) || !platform::current_owner(record_.owner)) {
    return false;
  }
  for (temporary_number_ = 0; temporary_number_ <= kNumberedTemporaryNames; ++temporary_number_) {
    if (!form_temporary_path(beside_, temporary_number_, request_.temporary_path)) return false;
    // A name that cannot be told free is passed over: a record must never
    // name a file of someone else's, which the next run would remove.
    if (!platform::surely_missing(request_.temporary_path.c_str())) continue;
    // A target that could not be told from a later file under its number gets
    // no record, which the next run could not prove its own.
    if (record_made_ == Made::no && record_.target.provable() && !create_record()) return false;
    record_.temporary_number = static_cast<std::uint32_t>(temporary_number_);
    if (record_made_ == Made::yes && !record_file_.pending && !write_record()) return false;
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
        // until this edit has ended. A record with a name says which file is
        // its own at once; should that write be lost, the next run leaves the
        // file, as one it cannot prove its own.
        return platform::lock_for_edit(temporary_) &&
               platform::identity_of(temporary_, record_.temporary) &&
               (record_made_ != Made::yes || record_file_.pending || write_record());
      case platform::Created::name_taken:  // made by another program just now
        continue;
      case platform::Created::failed:
        return false;
    }
  }
  return false;
}

// Flushes the temporary file, has its record say `committing` with all it
// must, flushes that, and names both, the record first.
bool Edit::make_durable() {
  if (!platform::flush(temporary_)) return false;
  if (record_made_ == Made::yes) {
    record_.state = CommitRecord::State::committing;
    record_.old_length = input_length_;
    record_.new_length = written_;
    record_.first_change = first_change_;
    record_.checksum = checksum_.value();
    if (!write_record() || !platform::flush(record_file_)) return false;
  }
  return publish_temporary() && platform::flush(directory_);
}

bool Edit::publish_temporary() {
  if (record_made_ == Made::yes) {
    switch (platform::publish(directory_, record_file_, name_in_directory(record_path_))) {
      case platform::Created::created:
        record_made_ = Made::named;
        break;
      case platform::Created::name_taken:  // goes without a record, as above
        (void)platform::close(record_file_);
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
    record_.temporary_number = static_cast<std::uint32_t>(temporary_number_);
    if (record_made_ == Made::named && (!write_record() || !platform::flush(record_file_))) {
      return false;
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
  // Only the changed blocks of an edit that keeps the length, where the table
  // holds them all; else everything from the first change on.
  const ByteRange from_first_change[] = {
      {first_change_, input_length_ > written_ ? input_length_ : written_}};
  const bool only_changed = keeps_length() && changed_.unrecorded_from() == ChangedBlocks::kNone;
  const Overwrite result =
      overwrite(target_, input_length_, temporary_,
                only_changed ? changed_.ranges() : std::span<const ByteRange>(from_first_change),
                first_change_, written_);
  if (result == Overwrite::refused) return give_up(Outcome::cannot_update);
  target_open_ = false;
  const bool closed = platform::close(target_);
  temporary_made_ = Made::closed;
  if (result != Overwrite::done || !closed) {
    // Both are on disk already; the next run completes the commit.
    (void)platform::close(temporary_);
    if (record_made_ == Made::named) (void)platform::close(record_file_);
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
    if (removed) {
      (void)platform::remove(directory_, name_in_directory(record_path_), record_file_);
    } else {
      // The commit is complete: the record left with the temporary file says
      // `preparing`, so that the next run removes both and completes nothing
      // over what may be written to the target meanwhile.
      record_.state = CommitRecord::State::preparing;
      (void)(write_record() && platform::flush(record_file_));
    }
    (void)platform::close(record_file_);
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
  const bool recorded = record_made_ == Made::yes || record_made_ == Made::named;
  const bool made = temporary_made_ == Made::yes || temporary_made_ == Made::named;
  if (!recorded && !made) return;
  {
    const platform::InterruptHold blocked;
    // An edit given up must never be completed by the next run: a record that
    // has a name says `preparing` again before anything goes, so that one
    // left behind only has the next run remove what is left. The temporary
    // file goes first, and the record once it has gone, as after a commit.
    // Nothing more can be done when one cannot be removed.
    if (recorded && !record_file_.pending) {
      record_.state = CommitRecord::State::preparing;
      (void)(write_record() && platform::flush(record_file_));
    }
    const bool removed =
        !made || platform::remove(directory_, name_in_directory(request_.temporary_path),
                                  temporary_) != platform::Removal::failed;
    if (recorded && removed) {
      (void)platform::remove(directory_, name_in_directory(record_path_), record_file_);
    }
    platform::forget_on_interrupt();
  }
  if (made) (void)platform::close(temporary_);  // its content is thrown away
  temporary_made_ = Made::no;
  if (recorded) (void)platform::close(record_file_);
  record_made_ = Made::no;
}

void Edit::close_target() {
  if (!target_open_) return;
  target_open_ = false;
  // Only reached when the target was only read: a failing close loses nothing.
  (void)platform::close(target_);
}

}  // namespace zibel
