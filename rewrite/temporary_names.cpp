#include "rewrite/temporary_names.h"

#include <cstdio>

#include "platform/names.h"

namespace zibel {
namespace {

// The record's ending: after the temporary file's, so that the two sort
// together, and a name no other program uses.
constexpr std::string_view kRecordSuffix = ".tmp.rec";

bool continues_character(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Steps back from `end` to the start of a UTF-8 character, so that a name cut
// there stays whole characters. Bytes that are not UTF-8 are cut where they are.
std::size_t character_start(std::string_view text, std::size_t end, std::size_t floor) {
  std::size_t start = end;
  for (int back = 0; back < 3 && start > floor && continues_character(text[start]); ++back) {
    --start;
  }
  const bool starts_character = (static_cast<unsigned char>(text[start]) & 0xC0) == 0xC0;
  return start < end && starts_character ? start : end;
}

bool form_path(std::string_view beside, std::string_view ending, ArgumentField& path) {
  const std::size_t name_start = platform::last_name_start(beside);
  std::size_t kept = beside.size();
  while (kept > name_start &&
         (!platform::name_fits(beside.substr(name_start, kept - name_start), ending) ||
          kept + ending.size() > ArgumentField::kMaxLength)) {
    kept = character_start(beside, kept - 1, name_start);
  }
  path.assign("");
  return path.append(beside.substr(0, kept)) && path.append(ending);
}

}  // namespace

bool form_temporary_path(std::string_view beside, int n, ArgumentField& path) {
  char ending[24];
  const int length =
      n == 0 ? std::snprintf(ending, sizeof ending, "%s", kTemporarySuffix.data())
             : std::snprintf(ending, sizeof ending, ".%d%s", n, kTemporarySuffix.data());
  return length > 0 && form_path(beside, {ending, static_cast<std::size_t>(length)}, path);
}

bool form_record_path(std::string_view beside, ArgumentField& path) {
  return form_path(beside, kRecordSuffix, path);
}

}  // namespace zibel
