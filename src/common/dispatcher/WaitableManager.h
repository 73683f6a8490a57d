// Waits on many waitables at once and runs the callbacks of the one that fired.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "common/dispatcher/Waitable.h"

namespace tamber::common::dispatcher {

class WaitableManager {
 public:
  virtual ~WaitableManager() = default;
  virtual void AddWaitableHandle(std::shared_ptr<WaitableHandle> waitable) = 0;
  virtual void Remove(std::shared_ptr<Waitable> waitable) = 0;
  virtual bool WaitAndDispatch(uint32_t milliseconds) = 0;
  virtual bool WaitAndDispatch() = 0;
};

class WaitableManagerWin32 : public WaitableManager, public std::enable_shared_from_this<WaitableManagerWin32> {
 public:
  WaitableManagerWin32();

  void AddWaitableHandle(std::shared_ptr<WaitableHandle> waitable) override;
  void Remove(std::shared_ptr<Waitable> waitable) override;
  // True when one waitable was dispatched; false on time-out or failure.
  bool WaitAndDispatch(uint32_t milliseconds) override;
  bool WaitAndDispatch() override;

  // Keeps the wait set in step with the waitable's callback list: a waitable whose only callback is
  // this one is not waited on.
  void UpdateCallback(const boost::signals2::connection& connection, std::shared_ptr<WaitableHandle> waitable);

  size_t SizeForTest() const;

 private:
  // Position i of the set is index i of the wait array; insertion order is kept.
  std::vector<std::shared_ptr<WaitableHandle>>::iterator Find(platform::Handle handle);
  void Connect(const std::shared_ptr<WaitableHandle>& waitable);

  mutable std::shared_mutex lock_;
  std::vector<std::shared_ptr<WaitableHandle>> set_;
  // The manager's own slot on each added waitable, so that Remove can take it off again: a removed
  // waitable must not be put back by its next dispatch, nor count the old slot as a user's callback.
  std::map<const Waitable*, boost::signals2::connection> slots_;
  std::shared_ptr<EventWrapperWin32> internal_;
};

}  // namespace tamber::common::dispatcher
