#pragma once

namespace zibel {

// The command line as the system's entry point took it.
struct Arguments {
  // How many arguments there are, the program name included.
  int count = 0;
  // The first of them, as many as the tool uses (kUsedArguments) or fewer:
  // the program name, the command word, the target path and the two strings.
  // Later ones are ignored and need not be given.
  const char* const* values = nullptr;
  // Bit n set: values[n] holds a character that has no exact form in the
  // bytes the strings are matched as (on Windows, the ANSI code page). Never
  // set on POSIX, where the operands are bytes already.
  unsigned unrepresentable = 0;
};

inline constexpr int kUsedArguments = 5;

// The tool's entry routine: checks the command line, runs the edit, prints
// what there is to say and returns the exit status.
int run_command_line(const Arguments& arguments);

// The same for a command line of bytes, as POSIX gives it.
int run_command_line(int argc, const char* const* argv);

// What a program does once the system's entry point has taken its command
// line. The entry point (entry_posix.cpp or entry_win32.cpp, picked by CMake)
// calls it; each program defines it: frontend/main.cpp for the tool,
// tests/faulty_main.cpp for its test build.
int program(const Arguments& arguments);

}  // namespace zibel
