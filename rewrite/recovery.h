// The completion of an edit cut short. A run that is killed or loses its power
// in mid-commit leaves the target part old, part new, and beside it the
// complete new content in a temporary file with its commit record
// (commit_record.h). The next run on that target, through the same name,
// looks for them before it does anything else, and finishes the work, as a
// database replays its journal.
//
// Nothing is trusted that is not proven this user's run's, for this target:
// the record and the temporary file must be plain private files of this
// user's that no live run holds (platform::open_candidate), the record must
// name this target and this user, and the temporary file must hold exactly the
// content the record's checksum describes. Anything else is left exactly as
// it is: never written, never removed.
#pragma once

#include <span>
#include <string_view>

#include "platform/files.h"
#include "rewrite/argument_field.h"

namespace zibel {

enum class Recovery {
  nothing,    // no record of this user's run for this target
  cleaned,    // the target held the old or the new content; the files left are removed
  completed,  // the commit was completed, and the files left are removed
  refused,    // the target is not what an interrupted commit leaves, or the
              // completion failed: `temporary_path` names the complete new content
};

// Looks for what an earlier run left for the open, locked `target`, whose
// temporary files go in `directory`, named after `beside`, and completes or
// removes it. `buffer` and `other` are scratch space.
Recovery recover(platform::File target, const platform::Directory& directory,
                 std::string_view beside, ArgumentField& temporary_path, std::span<char> buffer,
                 std::span<char> other);

}  // namespace zibel
