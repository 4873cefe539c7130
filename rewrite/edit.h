// The edit of one target. Its life, and where each of its guarantees lives:
//
//   look     Only a regular file is opened at all: a pipe or a device is
//            refused before an open could have effects on it (platform).
//   open     The target is opened for reading and writing and stays open, at
//   lock     the same inode, to the end. It is locked against other runs of
//            this tool, on a byte only they ask for: runs on one file take
//            turns, other programs are not held up.
//   state    Its length and its modification and status change times are
//            noted, to tell later whether another program wrote to it.
//   pass     One pass from left to right through fixed buffers
//            (substitution.h). Without an occurrence nothing is written.
//   temporary file   Made at the first occurrence beside the file the target
//            resolves to, under a name nothing else has, private to its
//            owner, and locked at once. Its one handle serves from creation
//            to the end of the commit; it is never opened again by name, so
//            only bytes this run wrote can reach the target.
//   durable  The temporary file's data and its name reach the disk before the
//            target is touched. Any failure up to here removes the temporary
//            file and leaves the target as it was.
//   blocked  The front end blocks the signals that end a run from here until
//            it has told the outcome (platform::InterruptHold), which commit()
//            takes as a parameter.
//   check    The target's length and times must be as they were: a write by
//            another program meanwhile gives the edit up.
//   ask first    Whatever could stop the commit part way is asked while the
//            target is untouched, and refuses the edit: disk space for all it
//            will write (a longer end, holes), the range locked against other
//            programs (Windows, where their locks stop writes), and the new
//            length of a shorter content (Windows refuses to shorten a file
//            another program has mapped).
//   commit   The target is overwritten in place from its first changed byte,
//            cut to length and flushed; only then is the temporary file
//            removed. A failure part way keeps it.
//   report   The front end prints the outcome; the signals are unblocked, and
//            one that arrived meanwhile takes effect.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/files.h"
#include "platform/process.h"
#include "rewrite/argument_field.h"
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
  update_incomplete,       // the commit failed part way; the temporary file is kept
};

// One edit of the target named by `request.target_path`, in two steps:
// prepare, then, when it has not ended the edit, commit.
// `request.temporary_path` is filled when the temporary file is made.
// Whatever is still open or unfinished when the edit ends is closed, and an
// uncommitted temporary file removed.
class Edit final : private PassStreams {
 public:
  explicit Edit(Request& request) : request_(request) {}
  ~Edit();
  Edit(const Edit&) = delete;
  Edit& operator=(const Edit&) = delete;

  // Opens and locks the target, runs the pass and makes the temporary file
  // durable. The outcome when the edit ends here; nothing when the new
  // content waits in the temporary file, ready to be committed.
  std::optional<Outcome> prepare();

  // Puts the new content in place of the target, under blocked signals that
  // last until the outcome has been told.
  Outcome commit(const platform::InterruptHold& blocked);

 private:
  // The life of the temporary file: made on the first occurrence, kept open
  // to the end, never reopened.
  enum class TemporaryState { not_made, open, closed };

  std::ptrdiff_t read(char* into, std::size_t capacity) override;
  bool start_output(std::uint64_t prefix_length) override;
  bool write(const char* bytes, std::size_t length) override;

  bool create_temporary();
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
  // The path beside which the temporary file goes: the file the target
  // resolves to. Its directory part is `directory_`'s path.
  char beside_[ArgumentField::kArgumentFieldSize] = {};
  platform::Directory directory_;
  platform::File temporary_;
  TemporaryState temporary_state_ = TemporaryState::not_made;
  const char* temporary_name_ = nullptr;  // its name in the directory, in request_.temporary_path
  std::uint64_t written_ = 0;             // bytes of new content in the temporary file
  // Where the first occurrence starts: the bytes before it are the same in
  // the target and in the new content.
  std::uint64_t first_change_ = 0;
};

}  // namespace zibel
