#pragma once

namespace zibel {

// The tool's entry routine: checks the command line, runs the edit, prints
// what there is to say and returns the exit status.
int run_command_line(int argc, const char* const* argv);

}  // namespace zibel
