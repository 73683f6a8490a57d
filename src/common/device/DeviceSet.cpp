#include "common/device/DeviceSet.h"

#include "framework/log/Log.h"

namespace tamber::common::windows::device {

DeviceSet::DeviceSet(const platform::Guid& classGuid, uint32_t flags, bool& ok)
    : set_(platform::SetupDiGetClassDevsW(&classGuid, nullptr, nullptr, flags)) {
  ok = static_cast<bool>(set_);
  if (!ok) {
    set_.release();  // INVALID_HANDLE_VALUE: nothing to destroy
    Log(LogLevel::Error,
        L"tamber::common::windows::device::DeviceSet::DeviceSet(): Failed to execute SetupDiGetClassDevs: 0x%X",
        static_cast<uint32_t>(HResultFromWin32(platform::GetLastError())));
  }
}

DeviceSet::~DeviceSet() = default;

}  // namespace tamber::common::windows::device
