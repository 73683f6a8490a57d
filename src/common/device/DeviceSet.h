// The owner of one device-information set of the device installer.
#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <cstdint>

#include "common/windows/Handles.h"
#include "platform/Devices.h"

namespace tamber::common::windows::device {

inline bool IsValidDevInfo(platform::HDevInfo set) { return set != nullptr && set != platform::InvalidHandleValue(); }
inline void DestroyDevInfo(platform::HDevInfo set) { platform::SetupDiDestroyDeviceInfoList(set); }
// A set that destroys itself; SetupDiGetClassDevsW gives INVALID_HANDLE_VALUE, never null, on failure.
using UniqueDevInfo = UniqueAny<platform::HDevInfo, &DestroyDevInfo, &IsValidDevInfo>;

class DeviceSet : public boost::enable_shared_from_this<DeviceSet> {
 public:
  // Opens the set of the class's devices (SetupDiGetClassDevsW with no enumerator and no window); ok is
  // false, and the failure logged, when it could not be opened.
  DeviceSet(const platform::Guid& classGuid, uint32_t flags, bool& ok);
  virtual ~DeviceSet();
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // The set, or INVALID_HANDLE_VALUE when it could not be opened.
  platform::HDevInfo Get() const { return set_ ? set_.get() : platform::InvalidHandleValue(); }

 private:
  UniqueDevInfo set_;
};

}  // namespace tamber::common::windows::device
