// The entry point on POSIX systems: the operands are bytes, taken as they are.
#include "frontend/command_line.h"

int main(int argc, char** argv) {
  return zibel::program({argc, argv, 0});
}
