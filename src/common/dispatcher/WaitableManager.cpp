#include "common/dispatcher/WaitableManager.h"

#include <algorithm>
#include <mutex>

#include "common/diagnostics/Assert.h"
#include "framework/log/Log.h"
#include "platform/Sync.h"

namespace tamber::common::dispatcher {

using diagnostics::Assert;

WaitableManagerWin32::WaitableManagerWin32()
    : internal_(std::make_shared<EventWrapperWin32>(L"WaitableManagerInternal", /*manualReset=*/false,
                                                    /*initialState=*/false)) {
  set_.push_back(internal_);
}

std::vector<std::shared_ptr<WaitableHandle>>::iterator WaitableManagerWin32::Find(platform::Handle handle) {
  return std::find_if(set_.begin(), set_.end(), [handle](const auto& entry) { return entry->GetHandle() == handle; });
}

void WaitableManagerWin32::Connect(const std::shared_ptr<WaitableHandle>& waitable) {
  // The manager's slot holds it weakly: a waitable must not keep its manager alive.
  std::weak_ptr<WaitableManagerWin32> weakSelf = weak_from_this();
  std::weak_ptr<WaitableHandle> weakWaitable = waitable;
  slots_[waitable.get()] = waitable->Callbacks().connect_extended(
      [weakSelf, weakWaitable](const boost::signals2::connection& connection, std::shared_ptr<Waitable>) {
        auto self = weakSelf.lock();
        auto target = weakWaitable.lock();
        if (!self) {
          connection.disconnect();
          return;
        }
        if (target) self->UpdateCallback(connection, target);
      });
}

void WaitableManagerWin32::AddWaitableHandle(std::shared_ptr<WaitableHandle> waitable) {
  {
    std::unique_lock<std::shared_mutex> guard(lock_);
    if (Find(waitable->GetHandle()) != set_.end()) {
      Log(LogLevel::Debug,
          L"tamber::common::dispatcher::WaitableManagerWin32::AddWaitableHandle(): Duplicate waitable for event %ws found",
          waitable->GetName());
      return;
    }
    set_.push_back(waitable);
    Connect(waitable);
  }
  // Wake a running wait so that the next one includes the new handle.
  internal_->SetEvent();
}

void WaitableManagerWin32::UpdateCallback(const boost::signals2::connection& /*connection*/,
                                          std::shared_ptr<WaitableHandle> waitable) {
  std::unique_lock<std::shared_mutex> guard(lock_);
  Log(LogLevel::Debug,
      L"tamber::common::dispatcher::WaitableManagerWin32::UpdateCallback(): Updating callback for event %ws",
      waitable->GetName());
  // The manager's own slot is one of the connected slots; anything beyond it is a user's callback.
  bool hasUserCallbacks = waitable->Callbacks().num_slots() > 1;
  auto entry = Find(waitable->GetHandle());
  if (!hasUserCallbacks && entry != set_.end()) {
    set_.erase(entry);
    Log(LogLevel::Debug,
        L"tamber::common::dispatcher::WaitableManagerWin32::UpdateCallback(): Removing callback for event %ws",
        waitable->GetName());
  } else if (hasUserCallbacks && entry == set_.end()) {
    set_.push_back(waitable);
    Log(LogLevel::Debug,
        L"tamber::common::dispatcher::WaitableManagerWin32::UpdateCallback(): adding callback for event %ws",
        waitable->GetName());
  }
}

void WaitableManagerWin32::Remove(std::shared_ptr<Waitable> waitable) {
  std::unique_lock<std::shared_mutex> guard(lock_);
  auto entry = std::find_if(set_.begin(), set_.end(), [&](const auto& e) { return e.get() == waitable.get(); });
  if (entry == set_.end()) {
    Log(LogLevel::Debug,
        L"tamber::common::dispatcher::WaitableManagerWin32::Remove(): Could not remove waitable 0x%X, not found",
        reinterpret_cast<uintptr_t>(waitable.get()));
    return;
  }
  auto slot = slots_.find(waitable.get());
  if (slot != slots_.end()) {
    slot->second.disconnect();
    slots_.erase(slot);
  }
  set_.erase(entry);
}

bool WaitableManagerWin32::WaitAndDispatch(uint32_t milliseconds) {
  // The wait runs on a snapshot of the set, outside the lock: holding the lock through a long wait would
  // block every add and remove (and so the internal event that is meant to interrupt the wait).
  std::vector<std::shared_ptr<WaitableHandle>> snapshot;
  {
    std::shared_lock<std::shared_mutex> guard(lock_);
    Assert::DoAssert(!set_.empty(), L"");
    snapshot = set_;
  }
  std::vector<platform::Handle> handles;
  handles.reserve(snapshot.size());
  for (const auto& entry : snapshot) handles.push_back(entry->GetHandle());
  uint32_t result =
      platform::WaitForMultipleObjects(static_cast<uint32_t>(handles.size()), handles.data(), milliseconds);
  if (result == platform::kWaitFailed) {
    Log(LogLevel::Error, L"tamber::common::dispatcher::WaitableManagerWin32::WaitAndDispatch(): Failed");
    return false;
  }
  if (result == platform::kWaitTimeout) return false;
  auto index = static_cast<int64_t>(result) - static_cast<int64_t>(platform::kWaitObject0);
  Assert::DoAssert(index >= 0, L"WaitForMultipleObjects returned -ve index");
  Assert::DoAssert(index < static_cast<int64_t>(handles.size()), L"WaitForMultipleObjects return index out of range");
  auto fired = snapshot[static_cast<size_t>(index)];
  snapshot.clear();
  // Callbacks run without the lock so that they may add or remove waitables.
  fired->Dispatch(fired);
  Log(LogLevel::Debug,
      L"tamber::common::dispatcher::WaitableManagerWin32::WaitAndDispatch(): Dispatching callback for event %ws",
      fired->GetName());
  return true;
}

bool WaitableManagerWin32::WaitAndDispatch() { return WaitAndDispatch(platform::kInfinite); }

size_t WaitableManagerWin32::SizeForTest() const {
  std::shared_lock<std::shared_mutex> guard(lock_);
  return set_.size();
}

}  // namespace tamber::common::dispatcher
