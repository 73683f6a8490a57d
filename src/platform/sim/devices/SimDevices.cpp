// The device installer and configuration manager of the simulated guest, over the adapter model
// (SimAdapters.h). The network class holds one device per adapter, in model order; the device's devnode
// number is its driver instance + 1, so the configuration manager finds the adapter again without a table.
//
// Driver keys. Each device has its driver key HKLM\SYSTEM\CurrentControlSet\Control\Class\{net class}\000N
// (N the adapter's driver instance). The keys are seeded in the booted machine's registry whenever a set of
// the network class is made (SetupDiGetClassDevsW), before any device of it can be enumerated: a missing key
// is created with "NetCfgInstanceId" (the adapter's GUID); the subkey "Ndi\Params\NetworkAddress" is then
// made or removed to match the model's networkAddressParam. A key that already exists keeps its values, so
// a test may remove or change them to stage a broken driver key.
//
// The class installer (DIF_PROPERTYCHANGE) changes the model: DICS_DISABLE disables the device (problem 22,
// no adapter record); DICS_ENABLE enables it, and the adapter takes the hypervisor-assigned MAC if one is
// pending; DICS_PROPCHANGE restarts an enabled device the same way.
//
// Faults (machine fault plan), each value optionally followed by "@{adapter GUID}" to hit one adapter only:
//   NicDisableFails=<error>      the class installer's DICS_DISABLE fails with this last error
//   NicEnableFails=<error>       the same for DICS_ENABLE (and DICS_PROPCHANGE)
//   NicDisableNeedsReboot=1      DICS_DISABLE succeeds but changes nothing and sets DI_NEEDREBOOT
//   NicEnableNeedsReboot=1       the same for DICS_ENABLE
//   NicSetParamsFails=<error>    SetupDiSetClassInstallParamsW fails
//   NicInstallParamsFails=<error>  SetupDiGetDeviceInstallParamsW fails
//   NicDriverKeyFails=<error>    SetupDiOpenDevRegKey fails
// Errors are decimal or 0x-hexadecimal.
//
// Disks and volumes: a set of the disk or volume interface class (DIGCF_DEVICEINTERFACE) holds the
// interfaces of the storage model (SimStorage.h), one device each; their properties, device instance ids
// and devnode status come from there too.
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Devices.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/storage/SimStorage.h"

namespace tamber::platform::sim {
namespace {

constexpr const wchar_t* kNetClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kNetworkAddressSubkey = L"Ndi\\Params\\NetworkAddress";

struct Member {
  DevInst devInst = 0;
  Guid classGuid = kGuidDevClassNet;
  std::wstring interfacePath;  // storage interfaces only
  std::optional<SpPropChangeParams> classInstallParams;
  uint32_t installFlags = 0;
};

struct DeviceInfoSet {
  std::vector<Member> members;
  std::optional<SpPropChangeParams> classInstallParams;  // for calls without device data
  uint32_t installFlags = 0;
};

struct DevicesState {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<DeviceInfoSet>> sets;
  uintptr_t next = 0x7D000000;  // far from the kernel's handle numbers
};

DevicesState& State() {
  static auto* state = new DevicesState;
  return *state;
}

uint32_t DriverInstance(const SimAdapter& adapter, size_t position) {
  return adapter.driverInstance.value_or(static_cast<uint32_t>(position));
}

std::wstring DriverKeyPath(uint32_t instance) {
  wchar_t number[16];
  std::swprintf(number, 16, L"%04u", instance);
  return std::wstring(kNetClassKey) + L"\\" + number;
}

std::vector<uint8_t> Utf16Bytes(const std::string& ascii) {
  std::vector<uint8_t> bytes;
  for (char c : ascii) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

void SeedDriverKeys(const std::vector<SimAdapter>& adapters) {
  for (size_t i = 0; i < adapters.size(); ++i) {
    const SimAdapter& adapter = adapters[i];
    HKey key = nullptr;
    uint32_t disposition = 0;
    std::wstring path = DriverKeyPath(DriverInstance(adapter, i));
    if (RegCreateKeyEx(HKeyLocalMachine(), path.c_str(), kRegOptionNonVolatile, kKeyAllAccess, &key, &disposition) !=
        kErrorSuccess) {
      continue;
    }
    if (disposition == kRegCreatedNewKey) {
      auto id = Utf16Bytes(adapter.name);
      RegSetValueEx(key, L"NetCfgInstanceId", kRegSz, id.data(), static_cast<uint32_t>(id.size()));
    }
    if (adapter.hasNetworkAddressParam) {
      HKey param = nullptr;
      if (RegCreateKeyEx(key, kNetworkAddressSubkey, kRegOptionNonVolatile, kKeyAllAccess, &param, &disposition) ==
          kErrorSuccess) {
        RegCloseKey(param);
      }
    } else {
      RegDeleteTree(key, kNetworkAddressSubkey);
    }
    RegCloseKey(key);
  }
}

// The adapter behind a devnode, with its position in the model.
std::optional<std::pair<SimAdapter, size_t>> FindDevice(DevInst devInst) {
  auto adapters = LoadAdapters(Machine::Directory());
  for (size_t i = 0; i < adapters.size(); ++i) {
    if (DriverInstance(adapters[i], i) + 1 == devInst) return std::make_pair(adapters[i], i);
  }
  return std::nullopt;
}

std::shared_ptr<DeviceInfoSet> FindSetLocked(HDevInfo handle) {
  auto& sets = State().sets;
  auto it = sets.find(reinterpret_cast<uintptr_t>(handle));
  return it == sets.end() ? nullptr : it->second;
}

// The set and, for non-null data, its member; false with the last error set when either is wrong.
bool ResolveLocked(HDevInfo handle, const SpDevinfoData* data, std::shared_ptr<DeviceInfoSet>* set, Member** member) {
  *set = FindSetLocked(handle);
  *member = nullptr;
  if (!*set) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (data == nullptr) return true;
  if (data->cbSize != sizeof(SpDevinfoData)) {
    SetLastError(kErrorInvalidUserBuffer);
    return false;
  }
  for (auto& candidate : (*set)->members) {
    if (candidate.devInst == data->devInst) {
      *member = &candidate;
      return true;
    }
  }
  SetLastError(kErrorInvalidParameter);
  return false;
}

// The value of a fault that applies to this adapter ("value" or "value@{GUID}").
std::optional<std::string> FaultFor(const char* name, const std::string& adapterName) {
  auto value = FaultPlan::Get(name);
  if (!value) return std::nullopt;
  auto at = value->find('@');
  if (at == std::string::npos) return value;
  if (value->substr(at + 1) != adapterName) return std::nullopt;
  return value->substr(0, at);
}

uint32_t ErrorOf(const std::string& text) {
  try {
    return static_cast<uint32_t>(std::stoul(text, nullptr, 0));
  } catch (...) {
    return kErrorInvalidFunction;
  }
}

std::string AdapterNameOf(DevInst devInst) {
  auto device = FindDevice(devInst);
  return device ? device->first.name : std::string();
}

bool PropertyChange(const SpPropChangeParams& params, DevInst devInst, uint32_t* installFlags) {
  auto device = FindDevice(devInst);
  if (!device) {
    SetLastError(kErrorNoSuchDevinst);
    return false;
  }
  const std::string& name = device->first.name;
  bool disable = params.stateChange == kDicsDisable;
  if (!disable && params.stateChange != kDicsEnable && params.stateChange != kDicsPropChange) {
    SetLastError(kErrorInvalidParameter);  // start and stop are not simulated
    return false;
  }
  if (auto error = FaultFor(disable ? "NicDisableFails" : "NicEnableFails", name)) {
    SetLastError(ErrorOf(*error));
    return false;
  }
  if (params.stateChange != kDicsPropChange &&
      FaultFor(disable ? "NicDisableNeedsReboot" : "NicEnableNeedsReboot", name)) {
    *installFlags |= kDiNeedReboot;  // the change waits for a reboot that the simulation never applies
    return true;
  }
  size_t position = device->second;
  UpdateAdapters(Machine::Directory(), [&](std::vector<SimAdapter>& adapters) {
    if (position >= adapters.size() || adapters[position].name != name) return;  // changed under us
    SimAdapter& adapter = adapters[position];
    if (params.stateChange == kDicsPropChange && !adapter.deviceEnabled) return;
    adapter.deviceEnabled = !disable;
    if (disable) return;
    if (adapter.problemCode == kCmProbDisabled) adapter.problemCode = 0;
    if (!adapter.assignedMac.empty()) {
      adapter.physicalAddress = adapter.assignedMac;
      adapter.assignedMac.clear();
    }
  });
  return true;
}

}  // namespace
}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::DeviceInfoSet;
using sim::Member;

HDevInfo SetupDiGetClassDevsW(const Guid* classGuid, const wchar_t* enumerator, void* hwndParent, uint32_t flags) {
  (void)hwndParent;
  if ((classGuid == nullptr && (flags & kDigcfAllClasses) == 0) || !sim::Machine::IsBooted()) {
    SetLastError(kErrorInvalidParameter);
    return InvalidHandleValue();
  }
  // Fault plan: "SetupDiGetClassDevsFails" = the error the device installer reports (e.g. 0xE0000209).
  if (auto code = sim::FaultPlan::Get("SetupDiGetClassDevsFails")) {
    SetLastError(sim::ErrorOf(*code));
    return InvalidHandleValue();
  }
  auto set = std::make_shared<DeviceInfoSet>();
  // Only the network class has devices here; interface sets and enumerator-filtered sets of the
  // network class are empty.
  bool netClass = (flags & kDigcfAllClasses) != 0 || *classGuid == kGuidDevClassNet;
  bool byEnumerator = enumerator != nullptr && *enumerator != L'\0';
  if (classGuid != nullptr && (flags & kDigcfDeviceInterface) != 0 && !byEnumerator &&
      (*classGuid == kGuidDevInterfaceDisk || *classGuid == kGuidDevInterfaceVolume)) {
    for (const auto& device : sim::StorageDevices(*classGuid)) {
      Member member;
      member.devInst = device.devInst;
      member.classGuid = *classGuid;
      member.interfacePath = device.interfacePath;
      set->members.push_back(member);
    }
    netClass = false;
  }
  if (netClass && (flags & kDigcfDeviceInterface) == 0 && !byEnumerator) {
    auto adapters = sim::LoadAdapters(sim::Machine::Directory());
    sim::SeedDriverKeys(adapters);
    for (size_t i = 0; i < adapters.size(); ++i) {
      Member member;
      member.devInst = sim::DriverInstance(adapters[i], i) + 1;
      set->members.push_back(member);
    }
  }
  auto& state = sim::State();
  std::lock_guard<std::mutex> guard(state.mutex);
  uintptr_t handle = state.next;
  state.next += 0x10;
  state.sets[handle] = std::move(set);
  return reinterpret_cast<HDevInfo>(handle);
}

bool SetupDiEnumDeviceInfo(HDevInfo deviceInfoSet, uint32_t memberIndex, SpDevinfoData* deviceInfoData) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  auto set = sim::FindSetLocked(deviceInfoSet);
  if (!set) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (deviceInfoData == nullptr || deviceInfoData->cbSize != sizeof(SpDevinfoData)) {
    SetLastError(kErrorInvalidUserBuffer);
    return false;
  }
  if (memberIndex >= set->members.size()) {
    SetLastError(kErrorNoMoreItems);
    return false;
  }
  // Disks and volumes belong to their own setup classes; the interface class stands in for them here.
  deviceInfoData->classGuid = set->members[memberIndex].classGuid;
  deviceInfoData->devInst = set->members[memberIndex].devInst;
  deviceInfoData->reserved = memberIndex + 1;
  return true;
}

HKey SetupDiOpenDevRegKey(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t scope, uint32_t hwProfile,
                          uint32_t keyType, uint32_t samDesired) {
  (void)scope;
  (void)hwProfile;
  DevInst devInst = 0;
  {
    std::lock_guard<std::mutex> guard(sim::State().mutex);
    std::shared_ptr<DeviceInfoSet> set;
    Member* member = nullptr;
    if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member)) return InvalidHandleValue();
    if (member == nullptr) {
      SetLastError(kErrorInvalidParameter);
      return InvalidHandleValue();
    }
    devInst = member->devInst;
  }
  if (keyType != kDiregDrv && keyType != kDiregDev) {
    SetLastError(kErrorInvalidFlags);
    return InvalidHandleValue();
  }
  auto device = sim::FindDevice(devInst);
  if (keyType == kDiregDev || !device) {  // hardware keys are not simulated
    SetLastError(kErrorKeyDoesNotExist);
    return InvalidHandleValue();
  }
  if (auto error = sim::FaultFor("NicDriverKeyFails", device->first.name)) {
    SetLastError(sim::ErrorOf(*error));
    return InvalidHandleValue();
  }
  HKey key = nullptr;
  std::wstring path = sim::DriverKeyPath(devInst - 1);
  uint32_t error = RegOpenKeyEx(HKeyLocalMachine(), path.c_str(), 0, samDesired, &key);
  if (error != kErrorSuccess) {
    SetLastError(error == kErrorFileNotFound ? kErrorKeyDoesNotExist : error);
    return InvalidHandleValue();
  }
  return key;
}

bool SetupDiSetClassInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                   SpClassInstallHeader* classInstallParams, uint32_t classInstallParamsSize) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  std::shared_ptr<DeviceInfoSet> set;
  Member* member = nullptr;
  if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member)) return false;
  auto& slot = member != nullptr ? member->classInstallParams : set->classInstallParams;
  if (classInstallParams == nullptr) {
    if (classInstallParamsSize != 0) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    slot.reset();
    return true;
  }
  if (classInstallParams->cbSize != sizeof(SpClassInstallHeader)) {
    SetLastError(kErrorInvalidUserBuffer);
    return false;
  }
  if (classInstallParams->installFunction != kDifPropertyChange ||
      classInstallParamsSize != sizeof(SpPropChangeParams)) {
    SetLastError(kErrorInvalidParameter);  // the only install function simulated
    return false;
  }
  if (member != nullptr) {
    if (auto error = sim::FaultFor("NicSetParamsFails", sim::AdapterNameOf(member->devInst))) {
      SetLastError(sim::ErrorOf(*error));
      return false;
    }
  }
  SpPropChangeParams params;
  std::memcpy(&params, classInstallParams, sizeof params);
  slot = params;
  return true;
}

bool SetupDiCallClassInstaller(uint32_t installFunction, HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData) {
  std::optional<SpPropChangeParams> params;
  DevInst devInst = 0;
  {
    std::lock_guard<std::mutex> guard(sim::State().mutex);
    std::shared_ptr<DeviceInfoSet> set;
    Member* member = nullptr;
    if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member)) return false;
    if (installFunction != kDifPropertyChange || member == nullptr) {
      SetLastError(kErrorInvalidParameter);  // only a property change of one device is simulated
      return false;
    }
    params = member->classInstallParams ? member->classInstallParams : set->classInstallParams;
    devInst = member->devInst;
  }
  if (!params) {
    SetLastError(kErrorNoClassInstallParams);
    return false;
  }
  uint32_t flags = 0;
  bool ok = sim::PropertyChange(*params, devInst, &flags);
  uint32_t error = GetLastError();
  {
    std::lock_guard<std::mutex> guard(sim::State().mutex);
    std::shared_ptr<DeviceInfoSet> set;
    Member* member = nullptr;
    if (sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member) && member != nullptr) {
      member->installFlags |= flags;  // as on Windows, a restart once needed stays needed
    }
  }
  SetLastError(ok ? kErrorSuccess : error);
  return ok;
}

bool SetupDiGetDeviceInstallParamsW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData,
                                    SpDevinstallParamsW* deviceInstallParams) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  std::shared_ptr<DeviceInfoSet> set;
  Member* member = nullptr;
  if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member)) return false;
  if (deviceInstallParams == nullptr || deviceInstallParams->cbSize != sizeof(SpDevinstallParamsW)) {
    SetLastError(kErrorInvalidUserBuffer);
    return false;
  }
  if (member != nullptr) {
    if (auto error = sim::FaultFor("NicInstallParamsFails", sim::AdapterNameOf(member->devInst))) {
      SetLastError(sim::ErrorOf(*error));
      return false;
    }
  }
  std::memset(deviceInstallParams, 0, sizeof *deviceInstallParams);
  deviceInstallParams->cbSize = sizeof(SpDevinstallParamsW);
  deviceInstallParams->flags = member != nullptr ? member->installFlags : set->installFlags;
  return true;
}

bool SetupDiDestroyDeviceInfoList(HDevInfo deviceInfoSet) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  if (sim::State().sets.erase(reinterpret_cast<uintptr_t>(deviceInfoSet)) == 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

bool SetupDiEnumDeviceInterfaces(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, const Guid* interfaceClassGuid,
                                 uint32_t memberIndex, SpDeviceInterfaceData* deviceInterfaceData) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  std::shared_ptr<DeviceInfoSet> set;
  Member* only = nullptr;
  if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &only)) return false;
  if (interfaceClassGuid == nullptr || deviceInterfaceData == nullptr ||
      deviceInterfaceData->cbSize != sizeof(SpDeviceInterfaceData)) {
    SetLastError(interfaceClassGuid == nullptr ? kErrorInvalidParameter : kErrorInvalidUserBuffer);
    return false;
  }
  uint32_t index = 0;
  for (size_t i = 0; i < set->members.size(); ++i) {
    const Member& member = set->members[i];
    if (member.interfacePath.empty() || !(member.classGuid == *interfaceClassGuid)) continue;
    if (only != nullptr && only != &member) continue;
    if (index++ != memberIndex) continue;
    deviceInterfaceData->interfaceClassGuid = member.classGuid;
    deviceInterfaceData->flags = 1;  // SPINT_ACTIVE
    deviceInterfaceData->reserved = i + 1;
    return true;
  }
  SetLastError(kErrorNoMoreItems);
  return false;
}

bool SetupDiGetDeviceInterfaceDetailW(HDevInfo deviceInfoSet, SpDeviceInterfaceData* deviceInterfaceData,
                                      std::wstring* devicePath, SpDevinfoData* deviceInfoData) {
  std::lock_guard<std::mutex> guard(sim::State().mutex);
  auto set = sim::FindSetLocked(deviceInfoSet);
  if (!set) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (deviceInterfaceData == nullptr || deviceInterfaceData->cbSize != sizeof(SpDeviceInterfaceData) ||
      (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SpDevinfoData))) {
    SetLastError(kErrorInvalidUserBuffer);
    return false;
  }
  size_t position = deviceInterfaceData->reserved;
  if (position == 0 || position > set->members.size() || set->members[position - 1].interfacePath.empty()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const Member& member = set->members[position - 1];
  if (devicePath != nullptr) *devicePath = member.interfacePath;
  if (deviceInfoData != nullptr) {
    deviceInfoData->classGuid = member.classGuid;
    deviceInfoData->devInst = member.devInst;
    deviceInfoData->reserved = position;
  }
  return true;
}

bool SetupDiGetDeviceRegistryPropertyW(HDevInfo deviceInfoSet, SpDevinfoData* deviceInfoData, uint32_t property,
                                       uint32_t* propertyRegDataType, uint8_t* propertyBuffer,
                                       uint32_t propertyBufferSize, uint32_t* requiredSize) {
  DevInst devInst = 0;
  {
    std::lock_guard<std::mutex> guard(sim::State().mutex);
    std::shared_ptr<DeviceInfoSet> set;
    Member* member = nullptr;
    if (!sim::ResolveLocked(deviceInfoSet, deviceInfoData, &set, &member)) return false;
    if (member == nullptr) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    devInst = member->devInst;
  }
  auto device = sim::StorageDeviceByDevInst(devInst);
  std::wstring text;
  if (device && property == kSpdrpLocationInformation) text = device->location;
  if (device && property == kSpdrpPhysicalDeviceObjectName) text = device->physicalName;
  if (text.empty()) {
    SetLastError(kErrorInvalidData);  // the device has no such property
    return false;
  }
  std::vector<uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(bytes.size());
  if (propertyBuffer == nullptr || propertyBufferSize < bytes.size()) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::memcpy(propertyBuffer, bytes.data(), bytes.size());
  if (propertyRegDataType != nullptr) *propertyRegDataType = kRegSz;
  return true;
}

uint32_t CM_Get_Device_ID_Size(uint32_t* length, DevInst devInst, uint32_t flags) {
  if (length == nullptr) return kCrInvalidPointer;
  if (flags != 0) return kCrInvalidFlag;
  auto device = sim::StorageDeviceByDevInst(devInst);
  if (!device) return kCrNoSuchDevnode;
  *length = static_cast<uint32_t>(device->deviceId.size());
  return kCrSuccess;
}

uint32_t CM_Get_Device_IDW(DevInst devInst, wchar_t* buffer, uint32_t bufferLength, uint32_t flags) {
  if (buffer == nullptr) return kCrInvalidPointer;
  if (flags != 0) return kCrInvalidFlag;
  auto device = sim::StorageDeviceByDevInst(devInst);
  if (!device) return kCrNoSuchDevnode;
  const std::wstring& id = device->deviceId;
  if (bufferLength < id.size()) return kCrBufferSmall;
  std::wmemcpy(buffer, id.data(), id.size());
  if (bufferLength > id.size()) buffer[id.size()] = L'\0';
  return kCrSuccess;
}

uint32_t CM_Locate_DevNodeW(DevInst* devInst, const wchar_t* deviceId, uint32_t flags) {
  if (devInst == nullptr) return kCrInvalidPointer;
  if (flags != kCmLocateDevnodeNormal) return kCrInvalidFlag;
  if (deviceId == nullptr || *deviceId == L'\0') return kCrInvalidPointer;  // the root is not simulated
  auto device = sim::StorageDeviceById(deviceId);
  if (!device) return kCrNoSuchDevnode;
  *devInst = device->devInst;
  return kCrSuccess;
}

uint32_t CM_Get_DevNode_Status(uint32_t* status, uint32_t* problemNumber, DevInst devInst, uint32_t flags) {
  if (status == nullptr || problemNumber == nullptr) return kCrInvalidPointer;
  if (flags != 0) return kCrInvalidFlag;
  if (devInst == 0) return kCrInvalidDevnode;
  if (!sim::Machine::IsBooted()) return kCrNoSuchDevnode;
  if (devInst >= sim::kFirstStorageDevInst) {
    auto storage = sim::StorageDeviceByDevInst(devInst);
    if (!storage) return kCrNoSuchDevnode;
    *status =
        kDnDriverLoaded | kDnStarted | kDnNtEnumerator | kDnNtDriver | (storage->needsRestart ? kDnNeedRestart : 0);
    *problemNumber = 0;
    return kCrSuccess;
  }
  auto device = sim::FindDevice(devInst);
  if (!device) return kCrNoSuchDevnode;
  const sim::SimAdapter& adapter = device->first;
  uint32_t problem = !adapter.deviceEnabled ? kCmProbDisabled : adapter.problemCode;
  *status = kDnDisableable | kDnNtEnumerator | kDnNtDriver;
  if (problem != 0) {
    *status |= kDnHasProblem;
    *problemNumber = problem;
  } else {
    *status |= kDnDriverLoaded | kDnStarted;
    *problemNumber = 0;
  }
  return kCrSuccess;
}

}  // namespace tamber::platform
