#include "frontend/command_line.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  zibel::platform::start_process();
  return zibel::run_command_line(argc, argv);
}
