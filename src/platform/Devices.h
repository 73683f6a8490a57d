// Devices seam: the device installer (SetupAPI) and configuration manager calls the agent uses to
// restart network adapters and to find disks and volumes by their interfaces, with their structures laid
// out byte for byte as on 64-bit Windows.
// Results and last errors are those of the calls they are named after.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace tamber::platform {

// GUID.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "GUID is 16 bytes");

constexpr bool operator==(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.data4[i] != b.data4[i]) return false;
  }
  return true;
}

// GUID_DEVCLASS_NET, the network adapter setup class {4D36E972-E325-11CE-BFC1-08002BE10318}.
constexpr Guid kGuidDevClassNet = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Device interface classes of disks (GUID_DEVINTERFACE_DISK) and volumes (GUID_DEVINTERFACE_VOLUME).
constexpr Guid kGuidDevInterfaceDisk = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr Guid kGuidDevInterfaceVolume = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Device information set (HDEVINFO); INVALID_HANDLE_VALUE when it could not be made.
using HDevInfo = void*;
// Device instance handle of the configuration manager (DEVINST).
using DevInst = uint32_t;

// SetupDiGetClassDevsW flags.
constexpr uint32_t kDigcfDefault = 0x01;
constexpr uint32_t kDigcfPresent = 0x02;
constexpr uint32_t kDigcfAllClasses = 0x04;
constexpr uint32_t kDigcfProfile = 0x08;
constexpr uint32_t kDigcfDeviceInterface = 0x10;

// Install functions (DI_FUNCTION).
constexpr uint32_t kDifPropertyChange = 0x12;

// SP_PROPCHANGE_PARAMS state changes and scopes.
constexpr uint32_t kDicsEnable = 1;
constexpr uint32_t kDicsDisable = 2;
constexpr uint32_t kDicsPropChange = 3;
constexpr uint32_t kDicsStart = 4;
constexpr uint32_t kDicsStop = 5;
constexpr uint32_t kDicsFlagGlobal = 1;
constexpr uint32_t kDicsFlagConfigSpecific = 2;

// SetupDiOpenDevRegKey key types.
constexpr uint32_t kDiregDev = 1;  // the device's hardware key
constexpr uint32_t kDiregDrv = 2;  // the device's driver (software) key

// SP_DEVINSTALL_PARAMS flags.
constexpr uint32_t kDiNeedRestart = 0x80;
constexpr uint32_t kDiNeedReboot = 0x100;

// Errors of the device installer (last error values), and ERROR_INVALID_USER_BUFFER.
constexpr uint32_t kErrorInvalidUserBuffer = 1784;
constexpr uint32_t kErrorInvalidFlags = 1004;
constexpr uint32_t kErrorKeyDoesNotExist = 0xE0000204;
constexpr uint32_t kErrorInvalidClass = 0xE0000206;
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;
constexpr uint32_t kErrorNoClassInstallParams = 0xE0000215;
constexpr uint32_t kErrorNotDisableable = 0xE0000231;
constexpr uint32_t kErrorInWow64 = 0xE0000235;

// Configuration manager results (CONFIGRET), device node status bits and problems.
constexpr uint32_t kCrSuccess = 0x00;
constexpr uint32_t kCrInvalidPointer = 0x03;
constexpr uint32_t kCrInvalidFlag = 0x04;
constexpr uint32_t kCrInvalidDevnode = 0x05;
constexpr uint32_t kCrNoSuchDevnode = 0x0D;
constexpr uint32_t kDnDriverLoaded = 0x00000002;
constexpr uint32_t kDnStarted = 0x00000008;
constexpr uint32_t kDnHasProblem = 0x00000400;
constexpr uint32_t kDnDisableable = 0x00002000;
constexpr uint32_t kDnNtEnumerator = 0x00800000;
constexpr uint32_t kDnNtDriver = 0x01000000;
constexpr uint32_t kDnNeedRestart = 0x00000100;
constexpr uint32_t kCrBufferSmall = 0x1A;
constexpr uint32_t kCmLocateDevnodeNormal = 0;

// SetupDiGetDeviceRegistryPropertyW properties.
constexpr uint32_t kSpdrpLocationInformation = 0x0D;
constexpr uint32_t kSpdrpPhysicalDeviceObjectName = 0x0E;
constexpr uint32_t kCmProbDisabled = 22;

// SP_DEVINFO_DATA.
struct SpDevinfoData {
  uint32_t cbSize;  // sizeof(SpDevinfoData)
  Guid classGuid;
  DevInst devInst;
  uintptr_t reserved;
};
static_assert(sizeof(SpDevinfoData) == 32, "SP_DEVINFO_DATA is 32 bytes on 64-bit Windows");

// SP_DEVICE_INTERFACE_DATA.
struct SpDeviceInterfaceData {
  uint32_t cbSize;  // sizeof(SpDeviceInterfaceData)
  Guid interfaceClassGuid;
  uint32_t flags;
  uintptr_t reserved;
};
static_assert(sizeof(SpDeviceInterfaceData) == 32, "SP_DEVICE_INTERFACE_DATA is 32 bytes on 64-bit Windows");

// SP_CLASSINSTALL_HEADER.
struct SpClassInstallHeader {
  uint32_t cbSize;  // sizeof(SpClassInstallHeader), whatever the full parameter block
  uint32_t installFunction;
};
static_assert(sizeof(SpClassInstallHeader) == 8);

// SP_PROPCHANGE_PARAMS.
struct SpPropChangeParams {
  SpClassInstallHeader classInstallHeader;
  uint32_t stateChange;
  uint32_t scope;
  uint32_t hwProfile;
};
static_assert(sizeof(SpPropChangeParams) == 20, "SP_PROPCHANGE_PARAMS is 20 bytes");

// SP_DEVINSTALL_PARAMS_W.
struct SpDevinstallParamsW {
  uint32_t cbSize;  // sizeof(SpDevinstallParamsW)
  uint32_t flags;
  uint32_t flagsEx;
  void* hwndParent;
  void* installMsgHandler;
  void* installMsgHandlerContext;
  void* fileQueue;
  uintptr_t classInstallReserved;
  uint32_t reserved;
  char16_t driverPath[260];
};
static_assert(sizeof(SpDevinstallParamsW) == 584, "SP_DEVINSTALL_PARAMS_W is 584 bytes on 64-bit Windows");

// A set of the devices of one setup class (or of every class with DIGCF_ALLCLASSES); the result must be
// destroyed with SetupDiDestroyDeviceInfoList. INVALID_HANDLE_VALUE with the last error on failure.
HDevInfo SetupDiGetClassDevsW(const Guid* classGuid, const wchar_t* enumerator, void* hwndParent, uint32_t flags);
// The memberIndex-th device of the set; false with ERROR_NO_MORE_ITEMS past the end. data->cbSize must be
// sizeof(SpDevinfoData).
bool SetupDiEnumDeviceInfo(HDevInfo deviceInfoSet, uint32_t memberIndex, SpDevinfoData* deviceInfoData);
// Opens the device's hardware or driver key, a key the registry seam can use and must close.
// INVALID_HANDLE_VALUE (not null) with the last error on failure.
HKey SetupDiOpenDevRegKey(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t scope, uint32_t hwProfile,
                          uint32_t keyType, uint32_t samDesired);
// Stores the parameters of the next class installer call for the device (or, with null data, the set).
// params->cbSize is the header's size; classInstallParamsSize the size of the whole block.
bool SetupDiSetClassInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                   SpClassInstallHeader* classInstallParams, uint32_t classInstallParamsSize);
// Runs the class installer (and co-installers) for one install function.
bool SetupDiCallClassInstaller(uint32_t installFunction, HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData);
// The device's install parameters, among them whether a restart or reboot is needed for a change to take
// effect. params->cbSize must be sizeof(SpDevinstallParamsW).
bool SetupDiGetDeviceInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                    SpDevinstallParamsW* deviceInstallParams);
bool SetupDiDestroyDeviceInfoList(HDevInfo deviceInfoSet);

// The memberIndex-th interface of the class in a set made with DIGCF_DEVICEINTERFACE (deviceInfoData null:
// over all its devices); false with ERROR_NO_MORE_ITEMS past the end. data->cbSize must be
// sizeof(SpDeviceInterfaceData).
bool SetupDiEnumDeviceInterfaces(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, const Guid* interfaceClassGuid,
                                 uint32_t memberIndex, SpDeviceInterfaceData* deviceInterfaceData);
// SetupDiGetDeviceInterfaceDetailW: the interface's device path (the variable-length DevicePath of
// SP_DEVICE_INTERFACE_DETAIL_DATA_W, handed over as text) and, when deviceInfoData is not null, its device.
bool SetupDiGetDeviceInterfaceDetailW(HDevInfo deviceInfoSet, SpDeviceInterfaceData* deviceInterfaceData,
                                      std::wstring* devicePath, SpDevinfoData* deviceInfoData);
// A device property (SPDRP_*): string properties are UTF-16LE bytes with their terminating null, as in
// the registry. A buffer that is too small fails with ERROR_INSUFFICIENT_BUFFER and *requiredSize set.
bool SetupDiGetDeviceRegistryPropertyW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t property,
                                       uint32_t* propertyRegDataType, uint8_t* propertyBuffer,
                                       uint32_t propertyBufferSize, uint32_t* requiredSize);

// The device instance id's length in characters, without its terminating null.
uint32_t CM_Get_Device_ID_Size(uint32_t* length, DevInst devInst, uint32_t flags);
// The device instance id into buffer (bufferLength characters; the null is written when it fits).
uint32_t CM_Get_Device_IDW(DevInst devInst, wchar_t* buffer, uint32_t bufferLength, uint32_t flags);
// The device node of a device instance id.
uint32_t CM_Locate_DevNodeW(DevInst* devInst, const wchar_t* deviceId, uint32_t flags);

// The device node's status bits and, when it has DN_HAS_PROBLEM, its problem number. ulFlags must be 0.
uint32_t CM_Get_DevNode_Status(uint32_t* status, uint32_t* problemNumber, DevInst devInst, uint32_t flags);

}  // namespace tamber::platform
