// A Windows program for the tests: the decisions of the Windows backends that
// Wine cannot show, asked directly. Wine raises no logoff event, has no
// sparse files and no alternate data streams, so what the console handler
// does with each event, which holes of a sparse file are filled before the
// commit, and which names are streams are proven on Windows only; here the
// decisions themselves are checked.
//
// Prints each decision that is wrong; the exit status is 0 when none is.
#include <cstdio>

#include "platform/win32.h"

namespace {

using zibel::platform::win32::ConsoleEvent;
using zibel::platform::win32::Range;

int wrong = 0;

void expect(bool right, const char* what, long long which) {
  if (right) return;
  std::printf("wrong: %s, case %lld\n", what, which);
  ++wrong;
}

// Only the events that mean "end this program" end it; a program started by a
// service is sent a logoff whenever any user logs off, and goes on.
void console_events() {
  const struct {
    DWORD event;
    ConsoleEvent action;
  } cases[] = {
      {CTRL_C_EVENT, ConsoleEvent::ends_run},     {CTRL_BREAK_EVENT, ConsoleEvent::ends_run},
      {CTRL_CLOSE_EVENT, ConsoleEvent::ends_run}, {CTRL_SHUTDOWN_EVENT, ConsoleEvent::ends_run},
      {CTRL_LOGOFF_EVENT, ConsoleEvent::ignored}, {3, ConsoleEvent::not_ours},
  };
  for (const auto& one : cases) {
    expect(zibel::platform::win32::console_event(one.event) == one.action, "console event",
           one.event);
  }
}

FILE_ALLOCATED_RANGE_BUFFER allocated(long long offset, long long length) {
  FILE_ALLOCATED_RANGE_BUFFER range{};
  range.FileOffset.QuadPart = offset;
  range.Length.QuadPart = length;
  return range;
}

// The holes of [from, end) one answer shows, and where the next question starts.
void holes() {
  const struct {
    std::uint64_t from, end;
    FILE_ALLOCATED_RANGE_BUFFER allocated[2];
    std::size_t count;
    bool more;
    Range holes[3];
    std::size_t found;
    std::uint64_t next;
  } cases[] = {
      // No range allocated: all of it is a hole.
      {5, 40, {}, 0, false, {{5, 40}}, 1, 40},
      // Between the ranges and after the last; a range that starts before is cut.
      {5, 40, {allocated(0, 10), allocated(20, 10)}, 2, false, {{10, 20}, {30, 40}}, 2, 40},
      // All allocated.
      {5, 40, {allocated(0, 100)}, 1, false, {}, 0, 40},
      // A range past the end.
      {5, 40, {allocated(50, 10)}, 1, false, {{5, 40}}, 1, 40},
      // Cut short: what follows the last range is asked again.
      {0, 100, {allocated(0, 10), allocated(20, 10)}, 2, true, {{10, 20}}, 1, 30},
  };
  long long which = 0;
  for (const auto& one : cases) {
    ++which;
    std::uint64_t from = one.from;
    Range found[3];
    const std::size_t count =
        zibel::platform::win32::holes_in(from, one.end, one.allocated, one.count, one.more, found);
    bool same = count == one.found && from == one.next;
    for (std::size_t i = 0; same && i < count; ++i) same = found[i] == one.holes[i];
    expect(same, "holes", which);
  }
}

// A ':' in the last name names a stream of a file; a drive's does not.
void streams() {
  const struct {
    const wchar_t* path;
    bool stream;
  } cases[] = {
      {L"C:\\notes\\notes.txt", false},       {L"C:\\notes\\notes.txt:s", true},
      {L"C:\\notes\\notes.txt::$DATA", true}, {L"\\\\?\\C:\\notes.txt", false},
      {L"\\\\?\\C:\\notes.txt:s", true},      {L"\\\\server\\share\\notes.txt", false},
  };
  long long which = 0;
  for (const auto& one : cases) {
    ++which;
    expect(zibel::platform::win32::names_stream(one.path) == one.stream, "stream", which);
  }
}

}  // namespace

int main() {
  console_events();
  holes();
  streams();
  std::printf("%s\n", wrong == 0 ? "every decision is right" : "some decisions are wrong");
  return wrong == 0 ? 0 : 1;
}
