#include "common/dispatcher/Waitable.h"

#include "framework/log/Format.h"
#include "framework/log/Log.h"
#include "platform/Sync.h"

namespace tamber::common::dispatcher {
namespace {

constexpr size_t kNameBufferChars = 512;

platform::Handle CreateLoggedEvent(bool manualReset, bool initialState) {
  platform::Handle event = platform::CreateEvent(manualReset, initialState, nullptr);
  if (event == nullptr) {
    Log(LogLevel::Error,
        L"tamber::common::dispatcher::WaitableHandleWin32::WaitableHandleWin32(): Couldn't create event");
  }
  return event;
}

}  // namespace

void Waitable::Dispatch(std::shared_ptr<Waitable> self) { callbacks_(std::move(self)); }

std::wstring WaitableHandle::GetName() const {
  const framework::log::FormatArg args[] = {Name(), static_cast<const void*>(GetHandle())};
  // Leave room for the terminator of the fixed-size buffer the name is shown in.
  return framework::log::FormatText(L"%ws (0x%p)", args, 2, kNameBufferChars - 1);
}

WaitableHandleWin32::WaitableHandleWin32(std::wstring name, platform::Handle handle)
    : WaitableHandle(std::move(name)), handle_(handle, windows::HandleDeleter{}) {}

bool WaitableHandleWin32::WaitOnHandle(uint32_t milliseconds) {
  uint32_t result = platform::WaitForSingleObject(handle_.get(), milliseconds);
  if (result == platform::kWaitTimeout) return false;
  // A failed wait is not a signal: running the callbacks for it would report success for a broken handle.
  if (result == platform::kWaitAbandoned0 || result == platform::kWaitFailed) {
    Log(LogLevel::Error, L"tamber::common::dispatcher::WaitableHandleWin32::Wait(): Failed");
    return false;
  }
  return true;
}

bool WaitableHandleWin32::Wait(uint32_t milliseconds) {
  if (!WaitOnHandle(milliseconds)) return false;
  Dispatch(shared_from_this());
  return true;
}

bool WaitableHandleWin32::Wait() { return Wait(platform::kInfinite); }

bool WaitableHandleWin32::IsSignaled() { return WaitOnHandle(0); }

EventWrapperWin32::EventWrapperWin32(std::wstring name, bool manualReset, bool initialState)
    : WaitableHandleWin32(std::move(name), CreateLoggedEvent(manualReset, initialState)) {}

void EventWrapperWin32::SetEvent() {
  if (!platform::SetEvent(GetHandle())) {
    Log(LogLevel::Error, L"tamber::common::dispatcher::EventWrapperWin32::SetEvent(): Couldn't set event");
  }
}

void EventWrapperWin32::ResetEvent() {
  if (!platform::ResetEvent(GetHandle())) {
    Log(LogLevel::Error, L"tamber::common::dispatcher::EventWrapperWin32::ResetEvent(): Couldn't reset event");
  }
}

}  // namespace tamber::common::dispatcher
