// Faults on purpose: a test arms one fault, and the n-th call of one kind of
// system operation then fails, is interrupted, transfers a single byte or
// nothing, raises a signal, or first runs a hook of the test's. Unarmed, as in
// every normal run, nothing changes.
//
// Both system files count their calls here, so a test can walk every call of
// every kind that an edit makes.
#pragma once

#include <iterator>
#include <string_view>

namespace zibel::platform::faults {

// The kinds of calls, in one list: the enumeration, the names that the tests
// use, and the count all come from it.
#define ZIBEL_FAULT_OPERATIONS(X) \
  X(open)                         \
  X(create)                       \
  X(read)                         \
  X(write)                        \
  X(copy)                         \
  X(reserve)                      \
  X(truncate)                     \
  X(flush)                        \
  X(close)                        \
  X(remove)                       \
  X(lock)

#define ZIBEL_FAULT_ENUMERATOR(name) name,
enum class Operation { ZIBEL_FAULT_OPERATIONS(ZIBEL_FAULT_ENUMERATOR) };
#undef ZIBEL_FAULT_ENUMERATOR

#define ZIBEL_FAULT_NAME(name) #name,
inline constexpr std::string_view kOperationNames[] = {ZIBEL_FAULT_OPERATIONS(ZIBEL_FAULT_NAME)};
#undef ZIBEL_FAULT_NAME

inline constexpr int kOperationCount = static_cast<int>(std::size(kOperationNames));

enum class Effect {
  none,
  fail,            // the call fails with the error `value` and does nothing
  interrupt,       // the call is interrupted before it does anything (EINTR)
  short_transfer,  // a read, write or copy moves at most one byte
  zero_transfer,   // the call moves nothing and returns 0, as at the end of a file
  raise_signal,    // the signal `value` is raised, then the call is made
  run_hook,        // the test's hook runs, then the call is made
};

// Their names, in the order of the enumeration.
inline constexpr std::string_view kEffectNames[] = {"none", "fail",   "interrupt", "short",
                                                    "zero", "signal", "hook"};

struct Fault {
  Operation operation;
  unsigned call;  // 1 for the first call of that kind
  Effect effect;
  int value;
};

// Arms the fault; `hook` is what Effect::run_hook runs.
void arm(const Fault& fault, void (*hook)() = nullptr);

// Counts a call of this kind and tells what the armed fault does to it. A
// hook has already run when this returns.
struct Hit {
  Effect effect = Effect::none;
  int value = 0;
};
Hit next(Operation operation);

// How many calls of this kind were counted so far.
unsigned calls(Operation operation);

}  // namespace zibel::platform::faults
