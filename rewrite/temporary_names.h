// The names of an edit's temporary files, beside the file the target
// resolves to: "<target>.tmp", or the first free of "<target>.1.tmp" to
// "<target>.99.tmp", for the new content; "<target>.tmp.rec" for its commit
// record.
#pragma once

#include <string_view>

#include "rewrite/argument_field.h"

namespace zibel {

// How many numbered names ("<target>.1.tmp" ...) are tried after "<target>.tmp".
inline constexpr int kNumberedTemporaryNames = 99;

// Forms the path of the n-th temporary file beside `beside` in `path`:
// "<beside>.tmp" for 0, then "<beside>.<n>.tmp". When the last name would be
// too long for a directory entry, or the path for its field, the last name is
// cut to fit first (between two UTF-8 characters), so that any file that can
// be opened can be edited. False when even a name cut to nothing does not fit.
bool form_temporary_path(std::string_view beside, int n, ArgumentField& path);

// The same for the commit record, "<beside>.tmp.rec".
bool form_record_path(std::string_view beside, ArgumentField& path);

}  // namespace zibel
