#include "frontend/command_line.h"

#include <cstring>
#include <optional>
#include <span>

#include "frontend/console_texts.h"
#include "platform/names.h"
#include "platform/process.h"
#include "rewrite/argument_field.h"
#include "rewrite/edit.h"

namespace zibel {
namespace {

// A failed print is not reported: standard output is the only channel there
// is, and the exit status already tells the outcome.
void print(std::string_view text) {
  (void)platform::print(text.data(), text.size());
}

int say(std::span<const std::string_view> rows, int status) {
  for (const std::string_view row : rows) print(row);
  return status;
}

// Compares the whole of both texts, folding only ASCII A-Z onto a-z.
bool is_command_word(const char* word) {
  const std::size_t length = std::strlen(word);
  if (length != kCommandWord.size()) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kCommandWord[i]) return false;
  }
  return true;
}

int report_incomplete_update(const ArgumentField& temporary_path) {
  say(kUpdateIncomplete, kStatusUpdateIncomplete);
  // The last row names the file; it is gathered in fixed storage and printed whole.
  const std::string_view path = temporary_path.view();
  char row[kNewContentKeptIn.size() + ArgumentField::kArgumentFieldSize];
  std::memcpy(row, kNewContentKeptIn.data(), kNewContentKeptIn.size());
  std::memcpy(row + kNewContentKeptIn.size(), path.data(), path.size());
  row[kNewContentKeptIn.size() + path.size()] = '\n';
  // The path is shown exactly, whatever characters it holds.
  (void)platform::print_with_path(row, kNewContentKeptIn.size() + path.size() + 1);
  return kStatusUpdateIncomplete;
}

int report(Outcome outcome, const Request& request) {
  switch (outcome) {
    case Outcome::unchanged:
    case Outcome::replaced:
      return kStatusDone;
    case Outcome::cannot_open:
      return say(kCannotOpen, kStatusFailed);
    case Outcome::cannot_read:
      return say(kCannotRead, kStatusFailed);
    case Outcome::cannot_write_temporary:
      return say(kCannotWriteTemporary, kStatusFailed);
    case Outcome::cannot_update:
      return say(kCannotUpdate, kStatusFailed);
    case Outcome::update_incomplete:
      return report_incomplete_update(request.temporary_path);
  }
  return kStatusFailed;
}

}  // namespace

int run_command_line(const Arguments& arguments) {
  const char* const* argv = arguments.values;
  // The count is tested before the command word.
  if (arguments.count < kUsedArguments || !is_command_word(argv[1])) {
    return say(kUsageBanner, kStatusRejected);
  }

  Request request;
  if (!request.target_path.assign(argv[2], kMaxTargetPathLength) ||
      !request.old_string.assign(argv[3]) || !request.new_string.assign(argv[4])) {
    return say(kArgumentTooLong, kStatusRejected);
  }
  // A string with a character that has no exact form would be matched as some
  // other bytes, a look-alike: refused before anything is touched.
  constexpr unsigned kStrings = 1u << 3 | 1u << 4;
  if ((arguments.unrepresentable & kStrings) != 0) {
    return say(kArgumentNotRepresentable, kStatusRejected);
  }
  if (request.old_string.empty()) return say(kEmptyOldString, kStatusRejected);
  // Only a name that surely does not exist is "not found"; when that cannot be
  // told, the open says what is wrong.
  if (platform::surely_missing(request.target_path.c_str())) {
    return say(kNotFound, kStatusNotFound);
  }

  Edit edit(request);
  if (const std::optional<Outcome> ended = edit.prepare()) return report(*ended, request);
  // A signal that would end the run waits from the start of the commit until
  // its outcome has been told: it never tears the target, and the user learns
  // what became of the file. It takes effect when the signals are unblocked.
  const platform::InterruptHold blocked;
  return report(edit.commit(blocked), request);
}

int run_command_line(int argc, const char* const* argv) {
  return run_command_line(Arguments{argc, argv, 0});
}

}  // namespace zibel
