// Kernel wait objects as shared, named waitables that carry a list of callbacks.
#pragma once

#include <boost/signals2/signal.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "common/windows/Handles.h"
#include "platform/Types.h"

namespace tamber::common::dispatcher {

class Waitable : public std::enable_shared_from_this<Waitable> {
 public:
  using Callback = void(std::shared_ptr<Waitable>);
  using CallbackList = boost::signals2::signal<Callback>;

  explicit Waitable(std::wstring name) : name_(std::move(name)) {}
  virtual ~Waitable() = default;
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;

  virtual std::wstring GetName() const { return name_; }
  // Runs every connected callback, in connection order, on the calling thread.
  virtual void Dispatch(std::shared_ptr<Waitable> self);

  CallbackList& Callbacks() { return callbacks_; }
  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
  CallbackList callbacks_;
};

class WaitableHandle : public Waitable {
 public:
  using Waitable::Waitable;
  // "name (0xHANDLE)"
  std::wstring GetName() const override;
  virtual bool Wait(uint32_t milliseconds) = 0;
  virtual bool Wait() = 0;
  virtual bool IsSignaled() = 0;
  virtual platform::Handle GetHandle() const = 0;
};

class WaitableHandleWin32 : public WaitableHandle {
 public:
  // Takes ownership of the handle (null when it could not be made).
  WaitableHandleWin32(std::wstring name, platform::Handle handle);

  // True when signalled (the callbacks have then run); false on time-out or failure.
  bool Wait(uint32_t milliseconds) override;
  bool Wait() override;
  // Like Wait(0) but never dispatches.
  bool IsSignaled() override;
  platform::Handle GetHandle() const override { return handle_.get(); }

 private:
  // True when the handle was signalled; logs failures.
  bool WaitOnHandle(uint32_t milliseconds);

  std::shared_ptr<void> handle_;
};

class EventWrapperWin32 : public WaitableHandleWin32 {
 public:
  // An unnamed event private to the process; name is only the label used in logs.
  EventWrapperWin32(std::wstring name, bool manualReset, bool initialState);
  void SetEvent();
  void ResetEvent();
};

}  // namespace tamber::common::dispatcher
