// Device installer and configuration manager: the calls themselves. The seam's structures are the SDK's,
// byte for byte, so they pass straight through.
#include "platform/Devices.h"

#include <cstddef>
#include <vector>

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Out.h"

// After windows.h.
#include <cfgmgr32.h>
#include <setupapi.h>

namespace tamber::platform {

static_assert(sizeof(GUID) == sizeof(Guid));
static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(SpDevinfoData));
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == offsetof(SpDevinfoData, devInst));
static_assert(offsetof(SP_DEVINFO_DATA, Reserved) == offsetof(SpDevinfoData, reserved));
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == sizeof(SpClassInstallHeader));
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == sizeof(SpPropChangeParams));
static_assert(offsetof(SP_PROPCHANGE_PARAMS, HwProfile) == offsetof(SpPropChangeParams, hwProfile));
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == sizeof(SpDevinstallParamsW));
static_assert(offsetof(SP_DEVINSTALL_PARAMS_W, Flags) == offsetof(SpDevinstallParamsW, flags));
static_assert(offsetof(SP_DEVINSTALL_PARAMS_W, DriverPath) == offsetof(SpDevinstallParamsW, driverPath));
static_assert(sizeof(DEVINST) == sizeof(DevInst));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(SpDeviceInterfaceData));
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == offsetof(SpDeviceInterfaceData, flags));
static_assert(SPDRP_LOCATION_INFORMATION == kSpdrpLocationInformation &&
              SPDRP_PHYSICAL_DEVICE_OBJECT_NAME == kSpdrpPhysicalDeviceObjectName);
static_assert(DN_NEED_RESTART == kDnNeedRestart && CR_BUFFER_SMALL == kCrBufferSmall);
static_assert(DIGCF_PRESENT == kDigcfPresent && DIGCF_ALLCLASSES == kDigcfAllClasses &&
              DIGCF_DEVICEINTERFACE == kDigcfDeviceInterface);
static_assert(DIF_PROPERTYCHANGE == kDifPropertyChange);
static_assert(DICS_ENABLE == kDicsEnable && DICS_DISABLE == kDicsDisable && DICS_FLAG_GLOBAL == kDicsFlagGlobal);
static_assert(DIREG_DEV == kDiregDev && DIREG_DRV == kDiregDrv);
static_assert(DI_NEEDRESTART == kDiNeedRestart && DI_NEEDREBOOT == kDiNeedReboot);
static_assert(ERROR_IN_WOW64 == kErrorInWow64 && ERROR_KEY_DOES_NOT_EXIST == kErrorKeyDoesNotExist &&
              ERROR_NO_SUCH_DEVINST == kErrorNoSuchDevinst &&
              ERROR_NO_CLASSINSTALL_PARAMS == kErrorNoClassInstallParams);
static_assert(ERROR_INVALID_USER_BUFFER == kErrorInvalidUserBuffer);
static_assert(CR_SUCCESS == kCrSuccess && CR_INVALID_POINTER == kCrInvalidPointer &&
              CR_NO_SUCH_DEVNODE == kCrNoSuchDevnode);
static_assert(DN_HAS_PROBLEM == kDnHasProblem && CM_PROB_DISABLED == kCmProbDisabled);

namespace {

const GUID* ToGuid(const Guid* guid) { return reinterpret_cast<const GUID*>(guid); }
SP_DEVINFO_DATA* ToData(SpDevinfoData* data) { return reinterpret_cast<SP_DEVINFO_DATA*>(data); }

}  // namespace

HDevInfo SetupDiGetClassDevsW(const Guid* classGuid, const wchar_t* enumerator, void* hwndParent, uint32_t flags) {
  return ::SetupDiGetClassDevsW(ToGuid(classGuid), enumerator, static_cast<HWND>(hwndParent), flags);
}

bool SetupDiEnumDeviceInfo(HDevInfo deviceInfoSet, uint32_t memberIndex, SpDevinfoData* deviceInfoData) {
  return ::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, ToData(deviceInfoData)) != FALSE;
}

HKey SetupDiOpenDevRegKey(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t scope, uint32_t hwProfile,
                          uint32_t keyType, uint32_t samDesired) {
  return win32::FromHkey(
      ::SetupDiOpenDevRegKey(deviceInfoSet, ToData(deviceInfoData), scope, hwProfile, keyType, samDesired));
}

bool SetupDiSetClassInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                   SpClassInstallHeader* classInstallParams, uint32_t classInstallParamsSize) {
  return ::SetupDiSetClassInstallParamsW(deviceInfoSet, ToData(deviceInfoData),
                                         reinterpret_cast<SP_CLASSINSTALL_HEADER*>(classInstallParams),
                                         classInstallParamsSize) != FALSE;
}

bool SetupDiCallClassInstaller(uint32_t installFunction, HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData) {
  return ::SetupDiCallClassInstaller(installFunction, deviceInfoSet, ToData(deviceInfoData)) != FALSE;
}

bool SetupDiGetDeviceInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                    SpDevinstallParamsW* deviceInstallParams) {
  return ::SetupDiGetDeviceInstallParamsW(deviceInfoSet, ToData(deviceInfoData),
                                          reinterpret_cast<SP_DEVINSTALL_PARAMS_W*>(deviceInstallParams)) != FALSE;
}

bool SetupDiDestroyDeviceInfoList(HDevInfo deviceInfoSet) {
  return ::SetupDiDestroyDeviceInfoList(deviceInfoSet) != FALSE;
}

bool SetupDiEnumDeviceInterfaces(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, const Guid* interfaceClassGuid,
                                 uint32_t memberIndex, SpDeviceInterfaceData* deviceInterfaceData) {
  return ::SetupDiEnumDeviceInterfaces(deviceInfoSet, ToData(deviceInfoData), ToGuid(interfaceClassGuid), memberIndex,
                                       reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(deviceInterfaceData)) != FALSE;
}

bool SetupDiGetDeviceInterfaceDetailW(HDevInfo deviceInfoSet, SpDeviceInterfaceData* deviceInterfaceData,
                                      std::wstring* devicePath, SpDevinfoData* deviceInfoData) {
  auto* data = reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(deviceInterfaceData);
  DWORD required = 0;
  if (!::SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, data, nullptr, 0, &required, nullptr) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  std::vector<uint8_t> buffer(required + sizeof(wchar_t), 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!::SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, data, detail, required, nullptr, ToData(deviceInfoData))) {
    return false;
  }
  if (devicePath != nullptr) *devicePath = detail->DevicePath;
  return true;
}

bool SetupDiGetDeviceRegistryPropertyW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t property,
                                       uint32_t* propertyRegDataType, uint8_t* propertyBuffer,
                                       uint32_t propertyBufferSize, uint32_t* requiredSize) {
  win32::Out<DWORD, uint32_t> type(propertyRegDataType);
  win32::Out<DWORD, uint32_t> required(requiredSize);
  return ::SetupDiGetDeviceRegistryPropertyW(deviceInfoSet, ToData(deviceInfoData), property, type.get(),
                                             propertyBuffer, propertyBufferSize, required.get()) != FALSE;
}

uint32_t CM_Get_Device_ID_Size(uint32_t* length, DevInst devInst, uint32_t flags) {
  win32::Out<ULONG, uint32_t> out(length);
  return ::CM_Get_Device_ID_Size(out.get(), devInst, flags);
}

uint32_t CM_Get_Device_IDW(DevInst devInst, wchar_t* buffer, uint32_t bufferLength, uint32_t flags) {
  return ::CM_Get_Device_IDW(devInst, buffer, bufferLength, flags);
}

uint32_t CM_Locate_DevNodeW(DevInst* devInst, const wchar_t* deviceId, uint32_t flags) {
  win32::Out<DEVINST, DevInst> out(devInst);
  return ::CM_Locate_DevNodeW(out.get(), const_cast<wchar_t*>(deviceId), flags);
}

uint32_t CM_Get_DevNode_Status(uint32_t* status, uint32_t* problemNumber, DevInst devInst, uint32_t flags) {
  win32::Out<ULONG, uint32_t> statusOut(status);
  win32::Out<ULONG, uint32_t> problemOut(problemNumber);
  return ::CM_Get_DevNode_Status(statusOut.get(), problemOut.get(), devInst, flags);
}

}  // namespace tamber::platform
