// Kernel objects of the simulated guest: one handle table, one lock and one condition variable for
// every waitable object, so that wait-any has exactly the Win32 ordering rules.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Types.h"

namespace tamber::platform::sim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called with the kernel lock held.
  virtual bool IsSignaled() const { return false; }
  // Called with the kernel lock held when a wait is satisfied by this object (auto-reset events).
  virtual void Acquire() {}
  virtual bool IsWaitable() const { return true; }
  // Called (kernel lock not held) when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
};

// The lock that guards every object's signal state, and the condition every waiter sleeps on.
std::mutex& KernelLock();
// Wakes every waiter; call after changing any object's signal state (lock held or not).
void NotifyKernelChange();
void WaitKernelChange(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline);

Handle InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(Handle handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(Handle handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes every handle and named object (between in-process boots).
void ResetKernel();

// Machine time. Durations handed to the seam are machine milliseconds; the host sleeps them divided
// by the scale.
void SetTimeScale(double scale);
double TimeScale();
std::chrono::steady_clock::time_point HostDeadline(uint32_t machineMilliseconds);
uint64_t MachineMillisecondsSinceBoot();
// Absolute machine-time deadlines, for waits that must see machine time jump (see SimTimeJumps.h).
constexpr uint64_t kNoMachineDeadline = UINT64_MAX;
uint64_t MachineDeadline(uint32_t machineMilliseconds);  // kInfinite: kNoMachineDeadline
bool MachineDeadlinePassed(uint64_t machineDeadline);
// The host time a waiter for the deadline sleeps until before it looks again: when machine time may jump
// it looks at least every few host milliseconds, so a missed wake-up costs no more than that.
std::chrono::steady_clock::time_point HostWakeFor(uint64_t machineDeadline);
// Sleeps for machine time as Sleep does, but ends early once stop() returns true; false then. stop is
// called without the kernel lock, after every kernel change and at least every few host milliseconds:
// whoever makes it true calls NotifyKernelChange afterwards so the sleeper ends at once. One wait for
// the whole span, so machine time may jump over it in one step. kInfinite: until stopped.
bool SleepUnlessStopped(uint32_t machineMilliseconds, const std::function<bool()>& stop);
// Moves machine time forward (the jump) and how far it has been moved since the boot began.
void AdvanceMachineTime(uint64_t milliseconds);
uint64_t MachineTimeAdvanced();
// Restarts the tick count (a new boot).
void ResetBootClock(uint64_t initialTickMilliseconds);
// Restarts the wall clock from the host's time plus an offset (a new boot).
void ResetWallClock(int64_t wallOffsetMs);

}  // namespace tamber::platform::sim
