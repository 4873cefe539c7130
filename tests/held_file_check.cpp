// A Windows program for the tests: another program holds the target while
// zibel.exe, beside this program, edits it. Windows refuses to shorten a file
// while another program has a view of it mapped (a search indexer, a virus
// scanner, an editor), and a range another program has locked makes a write
// into it fail: either would stop the commit part way. The edit must ask both
// before its first byte, refuse with "Cannot update file!" and leave the
// target byte for byte as it was, and no file beside it.
//
// Wine refuses to shorten a mapped file, and keeps range locks (two locks on
// one range conflict), though it does not stop reads and writes for them: a
// write stopped part way is shown on Windows only.
//
// Runs every case in a directory of its own under the current directory,
// prints what each gave, and ends with status 0 when all gave what they must.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

enum class Hold {
  view,         // a view of the whole file mapped for reading
  shared_lock,  // one byte locked for reading, as a reader that keeps writers out
};

struct Case {
  const char* what;
  Hold hold;
  DWORD locked_byte;  // for a lock
  const wchar_t* arguments;
  DWORD status;
  const char* out;
  const char* after;
};

const char kContent[] = "a cat sat on the mat\n";
const char kCannotUpdate[] = "\r\nCannot update file!\r\n";
constexpr DWORD kStatusCannotUpdate = 0xFFFFFFFD;  // -3

// The first change is at byte 2; byte 10 lies in the range the commit rewrites.
const Case kCases[] = {
    {"a mapped file cut shorter", Hold::view, 0, L"/rt notes.txt cat c", kStatusCannotUpdate,
     kCannotUpdate, kContent},
    {"a mapped file made longer", Hold::view, 0, L"/rt notes.txt cat tiger", 0, "",
     "a tiger sat on the mat\n"},
    {"a byte of the rewritten range locked", Hold::shared_lock, 10, L"/rt notes.txt cat dog",
     kStatusCannotUpdate, kCannotUpdate, kContent},
    {"a byte before the first change locked", Hold::shared_lock, 0, L"/rt notes.txt cat dog", 0, "",
     "a dog sat on the mat\n"},
};

const wchar_t kDirectory[] = L"held-file-check";
const wchar_t kTarget[] = L"held-file-check\\notes.txt";
const wchar_t kOutput[] = L"held-file-check.out";

bool write_file(const wchar_t* path, const char* content) {
  const HANDLE file =
      ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const auto length = static_cast<DWORD>(std::char_traits<char>::length(content));
  const bool whole = ::WriteFile(file, content, length, &written, nullptr) && written == length;
  return ::CloseHandle(file) && whole;
}

std::string read_file(const wchar_t* path) {
  const HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD count = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    content.append(buffer, count);
  }
  (void)::CloseHandle(file);
  return content;
}

// The names in the case's directory, one per line.
std::string names() {
  std::string listed;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(L"held-file-check\\*", &found);
  if (search == INVALID_HANDLE_VALUE) return listed;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    for (const wchar_t unit : name) listed += static_cast<char>(unit);  // ASCII names only
    listed += "\n";
  } while (::FindNextFileW(search, &found));
  (void)::FindClose(search);
  return listed;
}

std::wstring program_beside_this_one() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring program(path, length);
  return program.substr(0, program.find_last_of(L"\\/") + 1) + L"zibel.exe";
}

// Runs zibel.exe in the case's directory, its output to a file; its exit
// status, or -1 when it could not be run.
long long run_tool(const std::wstring& program, const wchar_t* arguments) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE out = ::CreateFileW(kOutput, GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = out;
  start.hStdError = out;
  std::wstring command_line = L"zibel.exe " + std::wstring(arguments);
  PROCESS_INFORMATION process{};
  const bool started = ::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, kDirectory, &start, &process);
  (void)::CloseHandle(out);
  if (!started) return -1;
  DWORD status = 0;
  const bool ended = ::WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     ::GetExitCodeProcess(process.hProcess, &status);
  (void)::CloseHandle(process.hThread);
  (void)::CloseHandle(process.hProcess);
  return ended ? static_cast<long long>(status) : -1;
}

// Runs one case: the target written afresh, held as the case says while the
// tool runs, then compared. True when all is as it must be.
bool check(const Case& one, const std::wstring& program) {
  (void)::DeleteFileW(L"held-file-check\\notes.txt.tmp");
  if (!write_file(kTarget, kContent)) return false;
  const HANDLE held = ::CreateFileW(kTarget, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE mapping = nullptr;
  const void* view = nullptr;
  OVERLAPPED at{};
  at.Offset = one.locked_byte;
  bool holding = false;
  if (held != INVALID_HANDLE_VALUE && one.hold == Hold::view) {
    mapping = ::CreateFileMappingW(held, nullptr, PAGE_READONLY, 0, 0, nullptr);
    view = mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    holding = view != nullptr;
  } else if (held != INVALID_HANDLE_VALUE) {
    holding = ::LockFileEx(held, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
  }
  const long long status = holding ? run_tool(program, one.arguments) : -1;
  if (view != nullptr) (void)::UnmapViewOfFile(view);
  if (mapping != nullptr) (void)::CloseHandle(mapping);
  if (held != INVALID_HANDLE_VALUE) (void)::CloseHandle(held);

  const std::string out = read_file(kOutput);
  const std::string after = read_file(kTarget);
  const std::string left = names();
  const bool passed =
      status == one.status && out == one.out && after == one.after && left == "notes.txt\n";
  std::printf("%s: %s\n  status %lld, printed \"%s\", the target holds \"%s\", beside it:\n%s",
              passed ? "passed" : "FAILED", one.what, status, out.c_str(), after.c_str(),
              left.c_str());
  return passed;
}

}  // namespace

int main() {
  (void)::CreateDirectoryW(kDirectory, nullptr);
  const std::wstring program = program_beside_this_one();
  bool all = true;
  for (const Case& one : kCases) all = check(one, program) && all;
  (void)::DeleteFileW(kTarget);
  (void)::DeleteFileW(kOutput);
  (void)::RemoveDirectoryW(kDirectory);
  return all ? 0 : 1;
}
