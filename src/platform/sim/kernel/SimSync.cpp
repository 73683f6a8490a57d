// Events, waits and asynchronous procedure calls of the simulated guest.
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform::sim {
namespace {

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  bool IsSignaled() const override { return signaled_; }
  void Acquire() override {
    if (!manualReset_) signaled_ = false;
  }
  void Set(bool signaled) { signaled_ = signaled; }

 private:
  bool manualReset_;
  bool signaled_;
};

// Named events are shared by name; the map keeps them while any handle is open.
std::map<std::wstring, std::weak_ptr<Event>>& NamedEvents() {
  static auto* events = new std::map<std::wstring, std::weak_ptr<Event>>;
  return *events;
}

class Thread : public KernelObject {
 public:
  explicit Thread(std::thread::id id) : id(id) {}
  bool IsWaitable() const override { return true; }
  std::thread::id id;
  std::deque<std::pair<ApcRoutine, uintptr_t>> apcs;  // guarded by the kernel lock
};

std::map<std::thread::id, std::weak_ptr<Thread>>& Threads() {
  static auto* threads = new std::map<std::thread::id, std::weak_ptr<Thread>>;
  return *threads;
}

std::shared_ptr<Thread> CurrentThreadObject() {
  std::lock_guard<std::mutex> guard(KernelLock());
  auto& threads = Threads();
  auto it = threads.find(std::this_thread::get_id());
  if (it != threads.end()) {
    if (auto existing = it->second.lock()) return existing;
  }
  auto created = std::make_shared<Thread>(std::this_thread::get_id());
  threads[created->id] = created;
  return created;
}

// Runs and removes the queued calls of the calling thread. Returns true if any ran.
bool RunQueuedApcs(std::unique_lock<std::mutex>& lock) {
  auto it = Threads().find(std::this_thread::get_id());
  if (it == Threads().end()) return false;
  auto self = it->second.lock();
  if (!self || self->apcs.empty()) return false;
  auto pending = std::move(self->apcs);
  self->apcs.clear();
  lock.unlock();
  for (auto& call : pending) call.first(call.second);
  lock.lock();
  return true;
}

uint32_t WaitAny(uint32_t count, const Handle* handles, uint32_t milliseconds, bool alertable) {
  if (count == 0 || count > kMaximumWaitObjects || handles == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return kWaitFailed;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  objects.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (!object || !object->IsWaitable()) {
      SetLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    objects.push_back(std::move(object));
  }
  const uint64_t deadline = MachineDeadline(milliseconds);
  MachineTimeWait timed(deadline);
  std::unique_lock<std::mutex> lock(KernelLock());
  for (;;) {
    if (alertable && RunQueuedApcs(lock)) return kWaitIoCompletion;
    for (uint32_t i = 0; i < count; ++i) {
      if (objects[i]->IsSignaled()) {
        objects[i]->Acquire();
        return kWaitObject0 + i;
      }
    }
    if (MachineDeadlinePassed(deadline)) return kWaitTimeout;
    timed.Looked();
    WaitKernelChange(lock, HostWakeFor(deadline));
  }
}

}  // namespace
}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::Event;

Handle CreateEvent(bool manualReset, bool initialState, const wchar_t* name) {
  if (name != nullptr && *name != L'\0') {
    std::lock_guard<std::mutex> guard(sim::KernelLock());
    auto& named = sim::NamedEvents();
    if (auto existing = named[name].lock()) {
      SetLastError(kErrorAlreadyExists);
      return sim::InsertHandle(existing);
    }
    auto event = std::make_shared<Event>(manualReset, initialState);
    named[name] = event;
    SetLastError(kErrorSuccess);
    return sim::InsertHandle(event);
  }
  SetLastError(kErrorSuccess);
  return sim::InsertHandle(std::make_shared<Event>(manualReset, initialState));
}

Handle OpenEvent(const wchar_t* name) {
  std::lock_guard<std::mutex> guard(sim::KernelLock());
  auto& named = sim::NamedEvents();
  auto it = named.find(name ? name : L"");
  auto event = it == named.end() ? nullptr : it->second.lock();
  if (!event) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  return sim::InsertHandle(event);
}

static bool SetEventState(Handle handle, bool signaled) {
  auto event = sim::LookupHandleAs<Event>(handle);
  if (!event) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(sim::KernelLock());
    event->Set(signaled);
  }
  if (signaled) sim::NotifyKernelChange();
  return true;
}

bool SetEvent(Handle event) { return SetEventState(event, true); }
bool ResetEvent(Handle event) { return SetEventState(event, false); }

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds) {
  return sim::WaitAny(1, &handle, milliseconds, false);
}

uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds) {
  return sim::WaitAny(count, handles, milliseconds, false);
}

uint32_t WaitForSingleObjectEx(Handle handle, uint32_t milliseconds, bool alertable) {
  return sim::WaitAny(1, &handle, milliseconds, alertable);
}

uint32_t SleepEx(uint32_t milliseconds, bool alertable) {
  if (!alertable) {
    Sleep(milliseconds);
    return 0;
  }
  const uint64_t deadline = sim::MachineDeadline(milliseconds);
  sim::MachineTimeWait timed(deadline);
  std::unique_lock<std::mutex> lock(sim::KernelLock());
  for (;;) {
    if (sim::RunQueuedApcs(lock)) return kWaitIoCompletion;
    if (sim::MachineDeadlinePassed(deadline)) return 0;
    timed.Looked();
    sim::WaitKernelChange(lock, sim::HostWakeFor(deadline));
  }
}

Handle OpenCurrentThread() { return sim::InsertHandle(sim::CurrentThreadObject()); }

bool QueueUserApc(ApcRoutine routine, Handle thread, uintptr_t parameter) {
  auto target = sim::LookupHandleAs<sim::Thread>(thread);
  if (!target || routine == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(sim::KernelLock());
    target->apcs.emplace_back(routine, parameter);
  }
  sim::NotifyKernelChange();
  return true;
}

}  // namespace tamber::platform
