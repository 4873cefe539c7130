#include "platform/process.h"

namespace zibel::platform {

bool print(const char* text, std::size_t length) {
  // While signals are blocked the outcome has been decided and is being told:
  // should the output not take it (a pipe nobody reads), a signal that would
  // end the run acts while it waits, so the run can still be ended.
  const OutputWait wait;
  return write_output(text, length);
}

}  // namespace zibel::platform
