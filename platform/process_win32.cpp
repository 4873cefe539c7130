// The process on Windows: Ctrl-C and the console's events, and standard output.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/process.h"
#include "platform/win32.h"
#include "platform/wtf8.h"

namespace zibel::platform {
namespace {

// A text that names a path, on its way to standard output: in UTF-16, with
// CR LF for a console, and in the console's code page.
constexpr std::size_t kMaxPrintedUnits = 4096;
wchar_t printed_units[kMaxPrintedUnits];
wchar_t console_units[2 * kMaxPrintedUnits];
char printed_bytes[4 * kMaxPrintedUnits];

// The largest piece one write to standard output is given.
constexpr unsigned kMaxPiece = 1u << 30;

// The files to delete when an interrupt ends the run, a temporary file and
// its record (or INVALID_HANDLE_VALUE); how many blocks are alive, and whether an interrupt
// arrived meanwhile. The lock makes an interrupt and the start of the commit
// happen one after the other.
SRWLOCK interrupt_guard = SRWLOCK_INIT;
HANDLE interrupted_cleanup[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
int block_depth = 0;
bool interrupt_pending = false;
// Whether the main thread is writing to standard output, which may wait.
bool printing = false;

// Has the open file deleted when its last handle closes. Not through the
// seam: this runs on the console handler's thread.
bool delete_on_close(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// What an event that ends the run does (Ctrl-C, Ctrl-Break, closing the
// console, shutting down): before the commit it deletes the temporary file and
// ends the process as the default handler would; during the commit it is
// noted, and the end of the outermost block ends the process.
//
// Once the console window is closed, or the system shuts down, the process
// has a few seconds, then the system ends it whatever this does. Once the
// commit has begun the temporary file is forgotten here: when the process is
// ended in mid-commit, it stays, holding the whole new content.
void interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  // While the outcome is printed the commit is over: should the output not
  // take the text (a pipe nobody reads), an interrupt still ends the run.
  if (block_depth > 0 && !printing) {
    interrupt_pending = true;
    ::ReleaseSRWLockExclusive(&interrupt_guard);
    return;
  }
  // The handle is closed here, so that the name goes at once and not only
  // once the process has ended.
  for (const HANDLE file : interrupted_cleanup) {
    if (file != INVALID_HANDLE_VALUE && delete_on_close(file)) (void)::CloseHandle(file);
  }
  ::ExitProcess(STATUS_CONTROL_C_EXIT);  // with the lock held: the commit cannot begin now
}

// Runs on a thread of its own. Returning from an event that ends the run would
// let the system end the process at once, so while the commit runs it waits
// for the block to end instead; an event that does not end the run is
// returned from at once.
BOOL WINAPI on_console_event(DWORD event) {
  switch (win32::console_event(event)) {
    case win32::ConsoleEvent::ignored:
      return TRUE;
    case win32::ConsoleEvent::not_ours:
      return FALSE;
    case win32::ConsoleEvent::ends_run:
      break;
  }
  interrupt();
  for (;;) ::Sleep(INFINITE);
}

void set_printing(bool now) {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  printing = now;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

}  // namespace

void start_process() {
  // A 32-bit program on 64-bit Windows has its calls into the system directory
  // sent to SysWOW64, another file of the same name. Every file call is made on
  // this thread, and no library is loaded after this point, so the file the
  // user named is the file edited. Elsewhere the call fails, harmlessly.
  PVOID redirection = nullptr;
  (void)::Wow64DisableWow64FsRedirection(&redirection);
  (void)::SetConsoleCtrlHandler(on_console_event, TRUE);
  // Text mode: each "\n" reaches the console as CR LF.
  (void)::_setmode(1, _O_TEXT);
}

// The file is deleted through its handle; its name is not needed.
void remove_on_interrupt(const Directory&, const char*, File file) {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  for (HANDLE& slot : interrupted_cleanup) {
    if (slot != INVALID_HANDLE_VALUE) continue;
    slot = win32::handle_of(file);
    break;
  }
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

void forget_on_interrupt() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  for (HANDLE& slot : interrupted_cleanup) slot = INVALID_HANDLE_VALUE;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

InterruptHold::InterruptHold() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  ++block_depth;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
}

InterruptHold::~InterruptHold() {
  ::AcquireSRWLockExclusive(&interrupt_guard);
  const bool pending = --block_depth == 0 && interrupt_pending;
  ::ReleaseSRWLockExclusive(&interrupt_guard);
  if (pending) interrupt();  // takes effect now, as it would have on arrival
}

// An interrupt that comes while the main thread writes acts at once.
OutputWait::OutputWait() {
  set_printing(true);
}

OutputWait::~OutputWait() {
  set_printing(false);
}

bool write_output(const char* text, std::size_t length) {
  while (length > 0) {
    const unsigned piece = length < kMaxPiece ? static_cast<unsigned>(length) : kMaxPiece;
    const int count = ::_write(1, text, piece);
    if (count <= 0) return false;
    text += count;
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

bool print_with_path(const char* text, std::size_t length) {
  std::size_t units = 0;
  if (!wtf8::to_utf16(std::string_view(text, length), printed_units, kMaxPrintedUnits, units)) {
    return print(text, length);
  }
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
    // A console shows every character: it is given UTF-16, each "\n" as CR LF.
    std::size_t count = 0;
    for (std::size_t i = 0; i < units; ++i) {
      if (printed_units[i] == L'\n') console_units[count++] = L'\r';
      console_units[count++] = printed_units[i];
    }
    const OutputWait wait;
    for (const wchar_t* rest = console_units; count > 0;) {
      DWORD written = 0;
      const DWORD piece = count < kMaxPiece ? static_cast<DWORD>(count) : kMaxPiece;
      if (!::WriteConsoleW(out, rest, piece, &written, nullptr) || written == 0) return false;
      rest += written;
      count -= written;
    }
    return true;
  }
  // Elsewhere the text is bytes of the console's code page, as every other
  // message is. A code page that takes no flags (UTF-8 among them) is given
  // none.
  UINT code_page = ::GetConsoleOutputCP();
  if (code_page == 0) code_page = CP_ACP;
  const int count = static_cast<int>(units);
  const int capacity = static_cast<int>(sizeof printed_bytes);
  int bytes = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, printed_units, count,
                                    printed_bytes, capacity, "?", nullptr);
  if (bytes <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    bytes = ::WideCharToMultiByte(code_page, 0, printed_units, count, printed_bytes, capacity,
                                  nullptr, nullptr);
  }
  return bytes > 0 && print(printed_bytes, static_cast<std::size_t>(bytes));
}

win32::ConsoleEvent win32::console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return ConsoleEvent::ends_run;
    case CTRL_LOGOFF_EVENT:
      return ConsoleEvent::ignored;
    default:
      return ConsoleEvent::not_ours;
  }
}

// Windows has one kind of interrupt, whatever the signal's number.
void seam::raise_interrupt(int) {
  interrupt();
}

void seam::end_now() {
  (void)::TerminateProcess(::GetCurrentProcess(), 137);
  ::ExitProcess(137);  // not reached
}

}  // namespace zibel::platform
