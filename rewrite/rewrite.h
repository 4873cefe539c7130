// The rewrite of one target: the substitution pass into a temporary file beside
// the target, then the commit of that file's content over the target.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "rewrite/argument_field.h"

namespace zibel {

// How a rewrite ended. The front end turns each outcome into its message and
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

// Rewrites the target named by `request.target_path`. Fills
// `request.temporary_path` when a temporary file is made.
Outcome rewrite(Request& request);

// Puts the `length` bytes of the temporary file over the target, open for
// update, in place; closes the target and then deletes the temporary file.
Outcome commit(platform::File target, const char* temporary_path, std::uint64_t length);

}  // namespace zibel
