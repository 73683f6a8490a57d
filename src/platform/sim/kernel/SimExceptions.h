// The simulated guest's exceptions come from POSIX signals. A fault's record carries, as its context,
// the signal's machine context and the return addresses captured on the faulting thread (the stack
// walker of the simulated DbgHelp symbolizes them).
#pragma once

#include <cstddef>
#include <string>

namespace tamber::platform::sim {

struct FaultContext {
  void* machineContext = nullptr;  // the signal's ucontext_t
  void* stackLow = nullptr;        // the faulting thread's stack, as far as known (null: unknown)
  void* stackHigh = nullptr;
  size_t frameCount = 0;
  void* frames[128] = {};
};

// The fault plan's "AgentFault" ("<registry value name>[:null-write|stack-overflow|abort|divide]"): the
// thread that writes a registry value of that name faults there, as an agent with a bug would. Called by
// the simulated RegSetValueEx.
void FaultIfPlanned(const std::string& valueName);
// Faults the calling thread the named way (the kinds above).
[[noreturn]] void RaiseDeliberateFault(const std::string& kind);

// True while the sanitizer owns the fault signals (then no handler of ours is installed).
bool SanitizerOwnsFaultSignals();

}  // namespace tamber::platform::sim
