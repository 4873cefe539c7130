#include "platform/seam.h"

namespace zibel::platform::seam {
namespace {

unsigned counted[kPointCount] = {};
Fault armed{Point::open, 0, Effect::none, 0};
void (*armed_hook)() = nullptr;
void (*observer)(const Call&, std::int64_t, int) = nullptr;
Failure last{};

// Counts one more call or moment of this kind: true when the armed fault is
// for this one.
bool turn_of(Point point) {
  const unsigned n = ++counted[static_cast<int>(point)];
  return armed.effect != Effect::none && armed.point == point && armed.count == n;
}

// What the armed fault does, now that it is its turn: a signal, a kill or a
// hook happen here; the rest is for the backend to carry out (and means
// nothing at a moment, which is no call).
Decision strike() {
  Decision decision;
  switch (armed.effect) {
    case Effect::fail:
      decision.fail = true;
      decision.error = armed.value;
      break;
    case Effect::interrupt:
      decision.interrupt = true;
      break;
    case Effect::short_transfer:
      decision.limit = 1;
      break;
    case Effect::zero_transfer:
      decision.limit = 0;
      break;
    case Effect::raise_signal:
      raise_interrupt(armed.value);
      break;
    case Effect::kill:
      end_now();
    case Effect::run_hook:
      if (armed_hook != nullptr) armed_hook();
      break;
    case Effect::none:
      break;
  }
  return decision;
}

}  // namespace

Decision enter(const Call& call) {
  return turn_of(call.point) ? strike() : Decision{};
}

void leave(const Call& call, std::int64_t result, int error) {
  if (result < 0) last = {call.point, error};
  if (observer != nullptr) observer(call, result, error);
}

void reach(Point moment) {
  if (turn_of(moment)) (void)strike();
  if (observer != nullptr) observer(Call{moment}, 0, 0);
}

Failure last_failure() {
  return last;
}

void arm(const Fault& fault, void (*hook)()) {
  armed = fault;
  armed_hook = hook;
}

unsigned count(Point point) {
  return counted[static_cast<int>(point)];
}

void observe(void (*seen)(const Call&, std::int64_t, int)) {
  observer = seen;
}

}  // namespace zibel::platform::seam
