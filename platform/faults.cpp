#include "platform/faults.h"

namespace zibel::platform::faults {
namespace {

unsigned counted[kOperationCount] = {};
Fault armed{Operation::open, 0, Effect::none, 0};
void (*armed_hook)() = nullptr;

}  // namespace

void arm(const Fault& fault, void (*hook)()) {
  armed = fault;
  armed_hook = hook;
}

Hit next(Operation operation) {
  const unsigned call = ++counted[static_cast<int>(operation)];
  if (armed.effect == Effect::none || armed.operation != operation || armed.call != call) return {};
  if (armed.effect == Effect::run_hook) {
    if (armed_hook != nullptr) armed_hook();
    return {};
  }
  return {armed.effect, armed.value};
}

unsigned calls(Operation operation) {
  return counted[static_cast<int>(operation)];
}

}  // namespace zibel::platform::faults
