// The NIC restart: a clone keeps the hardware address of its parent until its adapter is restarted, so
// every adapter whose driver has a configurable network address is disabled and enabled again through
// the device installer, which makes the operating system read the address the hypervisor now gives it.
#include <cstdint>
#include <string>

#include "common/device/DeviceSet.h"
#include "common/device/Util.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Devices.h"
#include "platform/Registry.h"

namespace tamber::common::windows::device {
namespace {

// A device needs at least this long to settle after each half of the restart.
constexpr uint32_t kSettleMs = 2000;
constexpr uint32_t kInstanceIdMaxBytes = 200;
// ERROR_IN_WOW64, raw and as the HRESULT of the device installer's facility.
constexpr uint32_t kErrorInWow64Hresult = 0x800F0235;

platform::SpPropChangeParams PropertyChange(uint32_t stateChange) {
  platform::SpPropChangeParams params{};
  params.classInstallHeader.cbSize = sizeof(platform::SpClassInstallHeader);
  params.classInstallHeader.installFunction = platform::kDifPropertyChange;
  params.stateChange = stateChange;
  params.scope = platform::kDicsFlagGlobal;
  params.hwProfile = 0;
  return params;
}

bool GetInstallParams(platform::HDevInfo set, platform::SpDevinfoData* device, platform::SpDevinstallParamsW* params) {
  *params = platform::SpDevinstallParamsW{};
  params->cbSize = sizeof(platform::SpDevinstallParamsW);
  return platform::SetupDiGetDeviceInstallParamsW(set, device, params);
}

bool NeedsRestart(const platform::SpDevinstallParamsW& params) {
  return (params.flags & (platform::kDiNeedReboot | platform::kDiNeedRestart)) != 0;
}

// The enable half of the restart. A failed class installer call is not the end: what counts is whether
// the install parameters then say that the change waits for a reboot.
bool TamberEnableNic(platform::HDevInfo set, platform::SpDevinfoData* device) {
  auto params = PropertyChange(platform::kDicsEnable);
  if (!platform::SetupDiSetClassInstallParamsW(set, device, &params.classInstallHeader, sizeof params)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberEnableNic(): Failed setting device params to enable: Err: 0x%X",
        platform::GetLastError());
    return false;
  }
  if (!platform::SetupDiCallClassInstaller(platform::kDifPropertyChange, set, device)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberEnableNic(): Failed to enable the device: Err: 0x%X",
        platform::GetLastError());
  }
  platform::SpDevinstallParamsW installParams;
  if (!GetInstallParams(set, device, &installParams)) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberEnableNic(): Cannot get enable status. 0x%X",
        platform::GetLastError());
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberEnableNic(): Ignore this error");
    return true;
  }
  if (NeedsRestart(installParams)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberEnableNic(): Reboot required to disable device.  Abort");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberEnableNic(): Enabled device");
  return true;
}

// The driver key from SetupDiOpenDevRegKey, which reports failure as INVALID_HANDLE_VALUE.
UniqueHKey OpenDriverKey(platform::HDevInfo set, platform::SpDevinfoData* device) {
  platform::HKey key = platform::SetupDiOpenDevRegKey(set, device, platform::kDicsFlagGlobal, 0, platform::kDiregDrv,
                                                      platform::kKeyAllAccess);
  if (key == platform::InvalidHandleValue()) key = nullptr;
  return UniqueHKey(key);
}

}  // namespace

bool Util::RenewMacAddress() {
  uint32_t start = platform::GetTickCount();
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): About To Reset Nic");
  bool reset = TamberResetNic();
  if (reset) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): Succeeded Restting Nic");
  } else {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): Failed Resetting Nic");
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): Total Time To Set Mac: %dms",
      static_cast<int32_t>(platform::GetTickCount() - start));
  return reset;
}

bool Util::TamberResetNic() {
  UniqueDevInfo set(
      platform::SetupDiGetClassDevsW(&platform::kGuidDevClassNet, nullptr, nullptr, platform::kDigcfPresent));
  if (!set) {
    set.release();  // INVALID_HANDLE_VALUE: nothing to destroy
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Failed to get nic list: 0x%X",
        platform::GetLastError());
    return false;
  }

  bool restarted = false;
  platform::SpDevinfoData device{};
  device.cbSize = sizeof device;
  for (uint32_t index = 0; platform::SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Current dev count: %d",
        static_cast<int32_t>(index));

    UniqueHKey driverKey = OpenDriverKey(set.get(), &device);
    if (!driverKey) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::TamberResetNic(): Failed to open device registry key");
      continue;
    }

    // The value need not be terminated; the conversion never reads past what was returned.
    uint8_t instanceId[kInstanceIdMaxBytes] = {};
    uint32_t size = sizeof instanceId;
    if (platform::RegQueryValueEx(driverKey.get(), L"NetCfgInstanceId", nullptr, instanceId, &size) !=
        platform::kErrorSuccess) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::TamberResetNic(): Failed to retrieve instance guid");
      continue;
    }
    std::wstring instance = util::FromUtf16LeBytes(instanceId, size);
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Instance UUID: %ws", instance);

    UniqueHKey paramKey;
    std::wstring paramPath = std::wstring(L"Ndi\\Params\\") + L"NetworkAddress";
    if (platform::RegOpenKeyEx(driverKey.get(), paramPath.c_str(), 0, platform::kKeyAllAccess, paramKey.put()) !=
        platform::kErrorSuccess) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::TamberResetNic(): Failed to retrieve device Network Addr, Ignore");
      continue;
    }

    uint32_t status = 0;
    uint32_t problem = 0;
    if (platform::CM_Get_DevNode_Status(&status, &problem, device.devInst, 0) == platform::kCrSuccess &&
        (status & platform::kDnHasProblem) != 0) {
      if (problem == platform::kCmProbDisabled) {
        Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Device is disabled, skip it");
      } else {
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::Util::TamberResetNic(): Device has status: 0x%X and issue 0x%X, abort restarting it",
            status, problem);
      }
      continue;
    }

    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Resetting Device");
    if (!TamberDisableNic(set.get(), &device)) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Failed Disabling Nic");
      continue;
    }
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Nic Disabled");
    platform::Sleep(kSettleMs);
    if (!TamberEnableNic(set.get(), &device)) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Failed Enabling Nic");
      continue;
    }
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberResetNic(): Nic Enabled");
    restarted = true;
    platform::Sleep(kSettleMs);
  }
  return restarted;
}

bool Util::TamberDisableNic(void* deviceSet, platform::SpDevinfoData* deviceData) {
  auto params = PropertyChange(platform::kDicsDisable);
  if (!platform::SetupDiSetClassInstallParamsW(deviceSet, deviceData, &params.classInstallHeader, sizeof params)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberDisableNic(): Failed setting device params to disable: Err: 0x%X",
        platform::GetLastError());
    return false;
  }
  if (!platform::SetupDiCallClassInstaller(platform::kDifPropertyChange, deviceSet, deviceData)) {
    uint32_t error = platform::GetLastError();
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberDisableNic(): Failed to disable the device: Err: 0x%X", error);
    if (error == kErrorInWow64Hresult || error == platform::kErrorInWow64) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberDisableNic(): 64-bit support failure");
    }
    return false;
  }
  platform::SpDevinstallParamsW installParams;
  if (!GetInstallParams(deviceSet, deviceData, &installParams)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberDisableNic(): Cannot get disable status: Err: 0x%X, Ignore This Error",
        platform::GetLastError());
    return true;
  }
  if (NeedsRestart(installParams)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::TamberDisableNic(): Reboot is required to disable device.  Abort");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::TamberDisableNic(): Disabled device");
  return true;
}

}  // namespace tamber::common::windows::device
