#include "frontend/command_line.h"
#include "platform/process.h"

int zibel::program(const Arguments& arguments) {
  platform::start_process();
  return run_command_line(arguments);
}
