// Faults on purpose: a test arms one fault, and the n-th call of one kind of
// system operation then fails, is interrupted, transfers a single byte, or
// raises a signal. Unarmed, as in every normal run, nothing changes.
//
// Both system files count their calls here, so a test can walk every call of
// every kind that an edit makes.
#pragma once

namespace zibel::platform::faults {

enum class Operation { open, create, read, write, copy, truncate, flush, close, remove, lock };
inline constexpr int kOperationCount = 10;

enum class Effect {
  none,
  fail,            // the call fails with the error `value` and does nothing
  interrupt,       // the call is interrupted before it does anything (EINTR)
  short_transfer,  // a read, write or copy moves at most one byte
  raise_signal,    // the signal `value` is raised, then the call is made
};

struct Fault {
  Operation operation;
  unsigned call;  // 1 for the first call of that kind
  Effect effect;
  int value;
};

void arm(const Fault& fault);

// Counts a call of this kind and tells what the armed fault does to it.
struct Hit {
  Effect effect = Effect::none;
  int value = 0;
};
Hit next(Operation operation);

// How many calls of this kind were counted so far.
unsigned calls(Operation operation);

}  // namespace zibel::platform::faults
