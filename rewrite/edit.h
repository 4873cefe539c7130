// The edit of one target. Its life, and where each of its guarantees lives:
//
//   look     Only a regular file is opened at all: a pipe or a device is
//            refused before an open could have effects on it (platform).
//   open     The target is opened for reading and writing and stays open, at
//   lock     the same inode, to the end. It is locked against other runs of
//            this tool, on a byte only they ask for: runs on one file take
//            turns, other programs are not held up.
//   place    The temporary files go beside the file the target resolves to,
//            in its directory, opened once.
//   recover  What a run cut short in mid-commit left there (the complete new
//            content and its commit record) is completed or removed, before
//            anything else (recovery.h).
//   state    The target's length and its modification and status change times
//            are noted, to tell later whether another program wrote to it.
//   pass     One pass from left to right through fixed buffers
//            (substitution.h); what it writes is hashed as it goes. An edit
//            that keeps the length notes the blocks it changes
//            (changed_blocks.h); where the file system shares blocks (XFS,
//            btrfs), the temporary file is a clone of the target, and only
//            the changed blocks are written to it.
//            Without an occurrence nothing is written.
//   temporary file   Made at the first occurrence with its commit record
//            (commit_record.h), both private to their owner and locked, and
//            with no names yet where the system allows (Linux); elsewhere the
//            record is made first and says `preparing`. A run killed before its
//            commit leaves nothing behind, or what the next run removes. The
//            temporary file's one handle serves from creation to the end of the
//            commit; it is never opened again by name, so only bytes this run
//            wrote can reach the target.
//   durable  The temporary file is flushed; its record says `committing` and is
//            flushed; the record is named, then the temporary file, and the
//            names are flushed. A temporary file under its name always has its
//            record beside it. Any failure up to here removes both and leaves
//            the target as it was.
//   blocked  The front end blocks the signals that end a run from here until
//            it has told the outcome (platform::InterruptHold), which commit()
//            takes as a parameter.
//   check    The target's length and times must be as they were: a write by
//            another program meanwhile gives the edit up.
//   ask first    Whatever could stop the commit part way is asked while the
//            target is untouched, and refuses the edit (overwrite.h).
//   commit   The target is overwritten in place from its first changed byte
//            (an edit that keeps the length: only its changed blocks), cut to
//            length and flushed; only then are the temporary file and its
//            record removed. A failure part way keeps both: the message
//            names the temporary file, and the next run completes the commit.
//   report   The front end prints the outcome; the signals are unblocked, and
//            one that arrived meanwhile takes effect.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/files.h"
#include "platform/process.h"
#include "rewrite/argument_field.h"
#include "rewrite/changed_blocks.h"
#include "rewrite/checksum.h"
#include "rewrite/commit_record.h"
#include "rewrite/substitution.h"

namespace zibel {

// How an edit ended. The front end turns each outcome into its message and
// exit status.
enum class Outcome {
  unchanged,               // no occurrence: nothing was written
  replaced,                // the target holds the new content
  cannot_open,             // the target could not be opened for reading and writing
  cannot_read,             // reading the target failed; the target is unchanged
  cannot_write_temporary,  // the temporary file could not be made or written; target unchanged
  cannot_update,           // the commit could not begin; the target is unchanged
  update_incomplete,       // the commit failed part way (this run's, or one cut short before):
                           // request.temporary_path holds the complete new content
};

// One edit of the target named by `request.target_path`, in two steps:
// prepare, then, when it has not ended the edit, commit.
// `request.temporary_path` is filled when the temporary file is named.
// Whatever is still open or unfinished when the edit ends is closed, and an
// uncommitted temporary file removed.
class Edit final : private PassStreams {
 public:
  explicit Edit(Request& request) : request_(request) {}
  ~Edit();
  Edit(const Edit&) = delete;
  Edit& operator=(const Edit&) = delete;

  // Opens and locks the target, completes what a run cut short left, runs the
  // pass and makes the temporary file durable. The outcome when the edit ends
  // here; nothing when the new content waits in the temporary file, ready to
  // be committed.
  std::optional<Outcome> prepare();

  // Puts the new content in place of the target, under blocked signals that
  // last until the outcome has been told.
  Outcome commit(const platform::InterruptHold& blocked);

 private:
  // A file this run makes: not made, made (unnamed, or deleted should the run
  // end, where the system allows), named, or closed after the commit.
  enum class Made { no, yes, named, closed };

  std::ptrdiff_t read(char* into, std::size_t capacity) override;
  bool start_output(std::uint64_t prefix_length) override;
  void replaced(std::uint64_t offset, std::size_t length) override;
  bool write(const char* bytes, std::size_t length) override;
  bool write_changed(std::uint64_t offset, const char* bytes, std::size_t length);
  bool keeps_length() const {
    return request_.old_string.view().size() == request_.new_string.view().size();
  }

  bool place_temporary_files();
  bool create_record();
  bool write_record();
  bool create_temporary();
  bool make_durable();
  bool publish_temporary();
  const char* name_in_directory(const ArgumentField& path) const;
  Outcome give_up(Outcome outcome);
  void discard_temporary();
  void close_target();

  Request& request_;
  platform::File target_;
  bool target_open_ = false;
  // The target as it was when the edit began, to tell whether another
  // program has written to it since.
  platform::FileState target_state_;
  std::uint64_t input_length_ = 0;  // bytes read from the target
  // The path beside which the temporary files go: the file the target resolves
  // to. Its directory part is `directory_`'s path.
  char beside_[ArgumentField::kArgumentFieldSize] = {};
  bool placed_ = false;
  platform::Directory directory_;
  platform::File temporary_;
  Made temporary_made_ = Made::no;
  int temporary_number_ = 0;  // of its name, request_.temporary_path
  platform::File record_file_;
  Made record_made_ = Made::no;  // never made where its name is taken
  ArgumentField record_path_;
  CommitRecord record_;
  std::uint64_t written_ = 0;  // bytes of new content in the temporary file
  // Where the first occurrence starts: the bytes before it are the same in
  // the target and in the new content.
  std::uint64_t first_change_ = 0;
  Checksum checksum_;  // of the new content written so far, from the first change on
  // For old and new strings of one length (keeps_length()): the blocks the
  // edit changes, and whether the temporary file shares the target's other
  // blocks.
  ChangedBlocks changed_;
  bool shares_blocks_ = false;
};

}  // namespace zibel
