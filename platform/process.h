// The process: its start, the signals that would end it (Ctrl-C and the
// console's events on Windows), and standard output. One source file per
// system (process_posix.cpp, process_win32.cpp); print, which both share, is
// in process.cpp.
#pragma once

#include <cstddef>

#include "platform/files.h"

namespace zibel::platform {

// Sets up the process before the first other call. Standard input, output
// and error are open (on the null device when they were closed), so no file
// the tool opens can take their place. A signal that would end the process
// (Ctrl-C, a termination request, a closed terminal, a CPU time limit, ...)
// removes the file named by remove_on_interrupt first; one that was ignored
// stays ignored. A closed standard output or a file size limit end in failed
// calls that the tool reports, not in a killed process.
void start_process();

// Names a file that a signal ending the run removes: `name` in `directory`,
// open as `file`, removed only while the name still leads to that file (a
// file with no name yet is not). Up to two files, removed in the order they
// were named. The directory and the name must stay in place while they are
// named.
void remove_on_interrupt(const Directory& directory, const char* name, File file);

// From now on a signal ending the run removes no file.
void forget_on_interrupt();

// Blocks the signals that would end the run for as long as it lives; one that
// arrives meanwhile takes effect when the outermost block ends. Blocks nest,
// and signals that the caller had blocked stay blocked.
class InterruptHold {
 public:
  InterruptHold();
  ~InterruptHold();
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;
};

// Writes a text to standard output. False when it could not be written whole.
// While signals are blocked, one that arrives as the write waits for a full
// pipe or terminal to take it ends the run all the same: what was to be done
// under the block is done by the time anything is printed.
bool print(const char* text, std::size_t length);

// The same for a text that names a path, which must reach the user exactly:
// a Windows console is given its characters, whatever they are; redirected
// output gets the console's code page, where a character it lacks shows as
// '?' and never as a look-alike that would name another file.
bool print_with_path(const char* text, std::size_t length);

// For print: lets blocked signals act while the output makes the caller wait
// (process_posix.cpp, process_win32.cpp), and writes the bytes to standard
// output as they are.
class OutputWait {
 public:
  OutputWait();
  ~OutputWait();
  OutputWait(const OutputWait&) = delete;
  OutputWait& operator=(const OutputWait&) = delete;
};
bool write_output(const char* text, std::size_t length);

}  // namespace zibel::platform
