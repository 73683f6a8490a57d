#include "platform/sim/kernel/SimKernel.h"

#include "platform/sim/kernel/SimTimeJumps.h"

#include <atomic>
#include <deque>
#include <unordered_map>

namespace tamber::platform::sim {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> handles;
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives static destructors of other threads
  return *table;
}

std::condition_variable& KernelCondition() {
  static auto* cv = new std::condition_variable;
  return *cv;
}

std::atomic<double> g_scale{1.0};
std::atomic<int64_t> g_bootHostNs{std::chrono::steady_clock::now().time_since_epoch().count()};
std::atomic<uint64_t> g_initialTick{0};
std::atomic<uint64_t> g_advancedMs{0};  // machine time jumped over since the boot began
// While machine time may jump, a waiter looks again after at most this much host time.
constexpr auto kJumpLookInterval = std::chrono::milliseconds(10);

}  // namespace

std::mutex& KernelLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

void NotifyKernelChange() {
  NoteMachineWake();
  KernelCondition().notify_all();
}

void WaitKernelChange(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline) {
  KernelCondition().wait_until(lock, deadline);
}

Handle InsertHandle(std::shared_ptr<KernelObject> object) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;  // handle values are multiples of four, as on Windows
  table.handles.emplace(value, std::move(object));
  return reinterpret_cast<Handle>(value);
}

std::shared_ptr<KernelObject> LookupHandle(Handle handle) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  auto it = table.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.handles.end() ? nullptr : it->second;
}

void ResetKernel() {
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> dropped;
  {
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    dropped.swap(table.handles);
  }
  for (auto& entry : dropped) {
    if (entry.second.use_count() == 1) entry.second->OnLastHandleClosed();
  }
}

void SetTimeScale(double scale) { g_scale = scale > 0 ? scale : 1.0; }
double TimeScale() { return g_scale; }

std::chrono::steady_clock::time_point HostDeadline(uint32_t machineMilliseconds) {
  auto now = std::chrono::steady_clock::now();
  if (machineMilliseconds == kInfinite) return std::chrono::steady_clock::time_point::max();
  auto hostNs = static_cast<int64_t>(static_cast<double>(machineMilliseconds) * 1e6 / g_scale.load());
  return now + std::chrono::nanoseconds(hostNs);
}

uint64_t MachineMillisecondsSinceBoot() {
  int64_t elapsedNs = std::chrono::steady_clock::now().time_since_epoch().count() - g_bootHostNs.load();
  return g_initialTick + g_advancedMs + static_cast<uint64_t>(static_cast<double>(elapsedNs) * g_scale.load() / 1e6);
}

void ResetBootClock(uint64_t initialTickMilliseconds) {
  g_initialTick = initialTickMilliseconds;
  g_advancedMs = 0;
  g_bootHostNs = std::chrono::steady_clock::now().time_since_epoch().count();
}

uint64_t MachineDeadline(uint32_t machineMilliseconds) {
  if (machineMilliseconds == kInfinite) return kNoMachineDeadline;
  return MachineMillisecondsSinceBoot() + machineMilliseconds;
}

bool MachineDeadlinePassed(uint64_t machineDeadline) {
  return machineDeadline != kNoMachineDeadline && MachineMillisecondsSinceBoot() >= machineDeadline;
}

std::chrono::steady_clock::time_point HostWakeFor(uint64_t machineDeadline) {
  auto now = std::chrono::steady_clock::now();
  auto wake = std::chrono::steady_clock::time_point::max();
  if (machineDeadline != kNoMachineDeadline) {
    uint64_t machineNow = MachineMillisecondsSinceBoot();
    uint64_t left = machineDeadline > machineNow ? machineDeadline - machineNow : 0;
    wake = now + std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(left) * 1e6 / g_scale.load()));
  }
  return TimeJumpsEnabled() ? std::min(wake, now + kJumpLookInterval) : wake;
}

void AdvanceMachineTime(uint64_t milliseconds) { g_advancedMs += milliseconds; }
uint64_t MachineTimeAdvanced() { return g_advancedMs; }

}  // namespace tamber::platform::sim

namespace tamber::platform {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

bool CloseHandle(Handle handle) {
  std::shared_ptr<sim::KernelObject> object;
  {
    auto& table = sim::Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.handles.end()) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    object = std::move(it->second);
    table.handles.erase(it);
  }
  if (object.use_count() == 1) object->OnLastHandleClosed();
  return true;
}

}  // namespace tamber::platform
