// The entry point on Windows. The command line arrives as UTF-16 (wmain,
// linked with -municode), split by the C runtime with its usual quoting rules,
// and is never converted through the ANSI code page by the runtime, whose
// "best fit" would turn characters it lacks into look-alikes: "ł" into "l",
// a fullwidth quote into '"', the name "Ｎotes.txt" into "Notes.txt".
//
// The command word and the target path become WTF-8 (UTF-8 that keeps a lone
// surrogate, see platform/wtf8.h), which holds every name. The two strings become bytes of the ANSI
// code page, the bytes that files written by ANSI programs hold, and are refused when a character
// has no exact form there.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "frontend/command_line.h"
#include "platform/wtf8.h"
#include "rewrite/argument_field.h"

// The C runtime must not expand wildcards in the arguments: "*.txt" names a
// file called "*.txt".
extern "C" {
int _dowildcard = 0;
}

namespace zibel {
namespace {

// An operand of more UTF-16 units than a field holds bytes is too long in any
// encoding (every unit takes at least one byte), so no more than one unit past
// that limit is ever converted: enough for the length check to refuse it.
constexpr std::size_t kMaxUnits = ArgumentField::kArgumentFieldSize;

// Converted operands, up to three bytes for each unit, and their NUL.
char converted[kUsedArguments][3 * kMaxUnits + 1];
const char* values[kUsedArguments];
// A string read back from its bytes, to see that it is the same text.
wchar_t read_back[2 * kMaxUnits];

// Which operands are strings, matched as bytes of the ANSI code page.
bool is_string(int index) {
  return index == 3 || index == 4;
}

// The string in the ANSI code page, without best fit. False when a character
// has no exact form there; `length` is then still about the length the string
// would have, for the length check that comes first.
bool to_ansi(const wchar_t* text, std::size_t units, char* into, std::size_t& length) {
  length = 0;
  if (units == 0) return true;
  const int count = static_cast<int>(units);
  const int capacity = static_cast<int>(3 * kMaxUnits);
  if (::GetACP() == CP_UTF8) {
    // The ANSI code page is UTF-8 ("Beta: Use Unicode UTF-8"), which holds
    // every character: only a lone surrogate has no form. The flags used below
    // are not allowed with it.
    int written = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, count, into, capacity,
                                        nullptr, nullptr);
    const bool exact = written > 0;
    if (!exact) {
      written = ::WideCharToMultiByte(CP_UTF8, 0, text, count, into, capacity, nullptr, nullptr);
    }
    length = written > 0 ? static_cast<std::size_t>(written) : 0;
    return exact;
  }
  BOOL defaulted = FALSE;
  const int written = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, count, into,
                                            capacity, nullptr, &defaulted);
  if (written <= 0) return false;
  length = static_cast<std::size_t>(written);
  if (defaulted) return false;
  // The bytes must read back as the same text: no flag rules out every
  // mapping that is not one to one.
  const int back = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, into, written, read_back,
                                         static_cast<int>(std::size(read_back)));
  return back == count && std::wmemcmp(read_back, text, units) == 0;
}

}  // namespace
}  // namespace zibel

extern "C" int wmain(int argc, wchar_t** argv) {
  using namespace zibel;
  Arguments arguments{argc, values, 0};
  for (int i = 0; i < argc && i < kUsedArguments; ++i) {
    const std::size_t given = std::wcslen(argv[i]);
    const std::size_t units = given < kMaxUnits ? given : kMaxUnits;
    std::size_t length = 0;
    if (is_string(i)) {
      if (!to_ansi(argv[i], units, converted[i], length)) arguments.unrepresentable |= 1u << i;
    } else {
      length = platform::wtf8::from_utf16(argv[i], units, converted[i]);
    }
    converted[i][length] = '\0';
    values[i] = converted[i];
  }
  return program(arguments);
}
