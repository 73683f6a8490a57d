#include "core/windows/Disk.h"

#include <cstring>
#include <cwchar>
#include <regex>

#include "common/util/Utf16.h"
#include "common/util/Util.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationState.h"
#include "framework/log/Log.h"
#include "platform/Crypto.h"
#include "platform/Files.h"

namespace tamber::core::windows {

using common::windows::HResultFromWin32;
using common::windows::kEFail;
using common::windows::UniqueFile;
using platform::DriveLayoutInformationEx;
using platform::PartitionInformationEx;

namespace {

constexpr uint32_t kLocationBufferSize = 2048;
constexpr uint32_t kQueryDosDeviceChars = 1024;
constexpr uint32_t kVolumeNameChars = 260;
constexpr uint32_t kVolumePathChars = 261;
constexpr uint32_t kBcryptUseSystemPreferredRng = 0x2;
constexpr uint32_t kMaxPartitionCount = 128;

uint32_t LastErrorHr() { return static_cast<uint32_t>(HResultFromWin32(platform::GetLastError())); }

// The layout's header and its entries, read only as far as the buffer reaches.
const DriveLayoutInformationEx* Layout(const std::vector<uint8_t>& buffer) {
  if (buffer.size() < platform::DriveLayoutSize(0)) return nullptr;
  return reinterpret_cast<const DriveLayoutInformationEx*>(buffer.data());
}

uint32_t EntryCount(const std::vector<uint8_t>& buffer) {
  const auto* layout = Layout(buffer);
  if (layout == nullptr) return 0;
  const uint32_t room =
      static_cast<uint32_t>((buffer.size() - platform::DriveLayoutSize(0)) / sizeof(PartitionInformationEx));
  return layout->partitionCount < room ? layout->partitionCount : room;
}

const PartitionInformationEx& Entry(const std::vector<uint8_t>& buffer, uint32_t index) {
  return Layout(buffer)->partitionEntry[index];
}

bool IsZero(const platform::Guid& guid) { return guid == platform::kPartitionEntryUnusedGuid; }

// Opens the disk by its interface path, sharing everything, as the disk must stay usable by others.
UniqueFile OpenDisk(const std::wstring& path, uint32_t access) {
  return UniqueFile(platform::CreateFile(
      path.c_str(), access, platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
      platform::kOpenExisting, 0));
}

// Reads the layout into a zeroed buffer of the fixed size.
bool ReadLayout(platform::Handle disk, std::vector<uint8_t>* buffer) {
  buffer->assign(Disk::kLayoutBufferSize, 0);
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(disk, platform::kIoctlDiskGetDriveLayoutEx, nullptr, 0, buffer->data(),
                                 Disk::kLayoutBufferSize, &returned)) {
    return false;
  }
  return true;
}

}  // namespace

Disk::Disk(util::CustomizationState* state) : state_(state) {}

Disk::~Disk() = default;

std::wstring Disk::Normalize(const std::wstring& mountPoint) {
  std::wstring text = mountPoint;
  auto backslash = text.find(L'\\');
  if (backslash != std::wstring::npos) text.erase(backslash, 1);
  if (text.empty() || text == L"*") return text;
  if (text.size() >= 2 && text[1] == L':') return text;
  return text + L":";
}

std::wstring Disk::GuidString(const platform::Guid& guid) {
  wchar_t text[40];
  std::swprintf(text, 40, L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1, guid.data2, guid.data3,
                guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6],
                guid.data4[7]);
  return text;
}

void Disk::SetErrorStatus(uint32_t code) {
  if (state_ != nullptr) state_->SetCustomizationState(util::status::kError, code, kPersistentDisksCategory, kEFail);
}

// ---- disk description -----------------------------------------------------------------------------

bool Disk::SetDiskSpec(const std::wstring& spec) {
  SetDiskSpecString(spec);
  return ParseDiskSpec(spec);
}

void Disk::SetUsageFromString(const std::wstring& text) {
  SetUsage(text == L"1" ? usage::kPrimary : text == L"2" ? usage::kSecondary : usage::kUnknown);
}

bool Disk::ParseDiskSpec(const std::wstring& spec) {
  static const std::wregex kPattern(L"\\[mountPoint=[A-Za-z*];usage=[0-9];loc=[0-9]:[0-9];\\]", std::regex::ECMAScript);
  if (!std::regex_match(spec, kPattern)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::ParseDiskSpec(): Disk Spec Is Invalid: %ws", spec.c_str());
    return false;
  }
  std::wstring key;
  std::wstring value;
  bool inValue = false;
  for (wchar_t c : spec) {
    if (c == L'[' || c == L']') continue;
    if (c == L'=' && !inValue) {
      inValue = true;
    } else if (c == L';') {
      if (key == L"mountPoint") {
        SetTargetMountPoint(value);
      } else if (key == L"usage") {
        SetUsageFromString(value);
      } else if (key == L"loc") {
        ParseAndSetScsiId(value);
      }
      key.clear();
      value.clear();
      inValue = false;
    } else {
      (inValue ? value : key).push_back(c);
    }
  }
  return true;
}

bool Disk::ParseAndSetScsiId(const std::wstring& text) {
  if (text.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::ParseAndSetScsiId(): SCSI Id Is Empty");
    return false;
  }
  static const std::wregex kPattern(L"[0-9]:[0-9]", std::regex::ECMAScript);
  if (!std::regex_match(text, kPattern)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::ParseAndSetScsiId(): Scsi Id Has Invalid Format: %ws",
        text.c_str());
    return false;
  }
  auto colon = text.find(L':');
  if (colon == std::wstring::npos) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::ParseAndSetScsiId(): Invalid SCSI ID: %ws", text.c_str());
    return false;
  }
  SetScsiBus(text.substr(0, colon));
  SetScsiTargetId(text.substr(colon + 1));
  BuildScsiString();
  return true;
}

void Disk::BuildScsiString() { scsiString_ = L"Bus Number " + scsiBus_ + L", Target Id " + scsiTargetId_ + L", LUN 0"; }

// ---- names -------------------------------------------------------------------------------------

std::wstring Disk::PartitionTypeName(int32_t partitionType) const {
  if (partitionType == kPartitionTypeQx) return L"PARTITION_TYPE_QX";
  if (partitionType == kPartitionTypeCorlett) return L"PARTITION_TYPE_CORLETT";
  return L"PARTITION_TYPE_UNKNOWN";
}

std::wstring Disk::UsageName(uint32_t value) const {
  if (value == usage::kPrimary) return L"Primary";
  if (value == usage::kSecondary) return L"Secondary";
  return L"Unknown";
}

std::wstring Disk::PartitionStyleName(uint32_t style) const {
  if (style == platform::kPartitionStyleMbr) return L"PARTITION_STYLE_MBR";
  if (style == platform::kPartitionStyleGpt) return L"PARTITION_STYLE_GPT";
  if (style == platform::kPartitionStyleRaw) return L"PARTITION_STYLE_RAW";
  return L"UNKNOWN";
}

std::wstring Disk::GptPartitionTypeName(const platform::Guid& type) const {
  if (type == platform::kPartitionBasicDataGuid) return L"PARTITION_BASIC_DATA";
  if (type == platform::kPartitionMsftReservedGuid) return L"PARTITION_MSFT_RESERVED";
  if (type == platform::kPartitionSystemGuid) return L"PARTITION_SYSTEM";
  if (type == platform::kPartitionMsftRecoveryGuid) return L"PARTITION_MSFT_RECOVERY";
  if (type == platform::kPartitionLdmMetadataGuid) return L"PARTITION_LDM_METADATA";
  if (type == platform::kPartitionLdmDataGuid) return L"PARTITION_LDM_DATA";
  if (type == platform::kPartitionEntryUnusedGuid) return L"PARTITION_ENTRY_UNUSED";
  return L"UNKNOWN";
}

std::wstring Disk::MbrPartitionTypeName(uint8_t type) const {
  switch (type) {
    case platform::kPartitionEntryUnused:
      return L"PARTITION_ENTRY_UNUSED";
    case platform::kPartitionFat12:
      return L"PARTITION_FAT_12";
    case platform::kPartitionFat16:
      return L"PARTITION_FAT_16";
    case platform::kPartitionExtended:
      return L"PARTITION_EXTENDED";
    case platform::kPartitionHuge:
      return L"PARTITION_HUGE";
    case platform::kPartitionIfs:
      return L"PARTITION_IFS";
    case platform::kPartitionFat32:
      return L"PARTITION_FAT32";
    case platform::kPartitionFat32Xint13:
      return L"PARTITION_FAT32_XINT13";
    case platform::kPartitionXint13:
      return L"PARTITION_XINT13";
    case platform::kPartitionXint13Extended:
      return L"PARTITION_XINT13_EXTENDED";
    case platform::kPartitionLdm:
      return L"PARTITION_LDM";
    case platform::kPartitionGpt:
      return L"PARTITION_GPT";
    default:
      return L"UNKNOWN";
  }
}

std::wstring Disk::GptAttributesName(uint64_t attributes) const {
  static const std::pair<uint64_t, const wchar_t*> kNames[] = {
      {platform::kGptAttributePlatformRequired, L"GPT_ATTRIBUTE_PLATFORM_REQUIRED"},
      {platform::kGptBasicDataAttributeNoDriveLetter, L"GPT_BASIC_DATA_ATTRIBUTE_NO_DRIVE_LETTER"},
      {platform::kGptBasicDataAttributeHidden, L"GPT_BASIC_DATA_ATTRIBUTE_HIDDEN"},
      {platform::kGptBasicDataAttributeShadowCopy, L"GPT_BASIC_DATA_ATTRIBUTE_SHADOW_COPY"},
      {platform::kGptBasicDataAttributeReadOnly, L"GPT_BASIC_DATA_ATTRIBUTE_READ_ONLY"},
  };
  std::wstring names;
  for (const auto& [bit, name] : kNames) {
    if ((attributes & bit) == 0) continue;
    if (!names.empty()) names += L" | ";
    names += name;
  }
  return names.empty() ? L"NONE" : names;
}

std::wstring Disk::DriveTypeName(uint32_t driveType) const {
  static const wchar_t* const kNames[] = {L"DRIVE_UNKNOWN", L"DRIVE_NO_ROOT_DIR", L"DRIVE_REMOVABLE", L"DRIVE_FIXED",
                                          L"DRIVE_REMOTE",  L"DRIVE_CDROM",       L"DRIVE_RAMDISK"};
  return driveType < 7 ? kNames[driveType] : kNames[0];
}

// ---- the whole preparation ---------------------------------------------------------------------

bool Disk::InitializeDisk(int32_t partitionType) {
  if (!FindTargetDisk()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Target Disk Not Found");
    SetErrorStatus(kErrorDiskNotFound);
    return false;
  }
  PartitionInfo info;
  if (!GetPartitionInfo(&info)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Getting Partition Info");
    return false;
  }
  bool partitioned = false;
  if (!IsDiskPartitioned(&partitioned)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::InitializeDisk(): Unable To Determine If Disk Is Partitioned.  Cannot Continue");
    return false;
  }
  const uint32_t mountError = usage_ == usage::kPrimary ? kErrorMountPrimaryDisk : kErrorMountSecondaryDisk;
  if (partitioned) {
    Log(LogLevel::Warn, L"tamber::core::windows::Disk::InitializeDisk(): Disk Is Already Partitioned");
    std::wstring mountPoint;
    if (!GetCurrentMountPoint(&info, &mountPoint)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Getting Current Mount Point");
      return false;
    }
    SetCurrentMountPoint(mountPoint);
    if (!SetGPTFlags()) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Updating GPT Flags");
      return false;
    }
    if (!MountDisk(currentMountPoint_)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Mounting Disk");
      SetErrorStatus(mountError);
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::InitializeDisk(): Volume Name: %ws, Current Mount Point: %ws",
        volumeName_.c_str(), currentMountPoint_.c_str());
    bool formatted = false;
    if (!FormatIfNoFileSystem(info, partitionType, &formatted)) return false;
    // A disk whose data volume was only formatted now holds no profiles to restore.
    if (usage_ == usage::kPrimary && !formatted) SetExistingDisk(true);
  } else {
    Log(LogLevel::Warn, L"tamber::core::windows::Disk::InitializeDisk(): Disk Is Not Partitioned");
    if (HoldsPartitions(info)) {
      // Partitions in a layout this class does not recognise may hold anyone's data: never overwrite them.
      Log(LogLevel::Error,
          L"tamber::core::windows::Disk::InitializeDisk(): Disk %ws Holds Partitions, Refusing To Repartition It",
          devicePath_.c_str());
      return false;
    }
    if (partitionType != kPartitionTypeQx) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Unknown Partition Type, Cannot Proceed");
      return false;
    }
    if (!CreatePartition()) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Creating QX Partition");
      return false;
    }
    if (!GetPartitionInfo(&info)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Getting Partition Info");
      return false;
    }
    std::wstring mountPoint;
    if (!GetCurrentMountPoint(&info, &mountPoint)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): GetCurrentMountPoint Failed");
      return false;
    }
    SetCurrentMountPoint(mountPoint);
    if (!MountDisk(currentMountPoint_)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Mounting Disk");
      SetErrorStatus(mountError);
      return false;
    }
    if (!FormatDisk(kPartitionTypeQx)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Formatting Disk");
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::InitializeDisk(): Format %ws Succeeded",
        currentMountPoint_.c_str());
  }
  if (!SetDeviceId(currentMountPoint_)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::InitializeDisk(): Failed Setting Device Id");
    return false;
  }
  if (NeedsReboot(deviceId_)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::InitializeDisk(): Volume Needs Reboot");
  }
  return true;
}

bool Disk::HoldsPartitions(const PartitionInfo& info) {
  const auto* layout = Layout(info.layout);
  if (layout == nullptr) return false;
  const uint32_t count = EntryCount(info.layout);
  for (uint32_t i = 0; i < count; ++i) {
    const auto& entry = Entry(info.layout, i);
    if (entry.partitionLength <= 0) continue;
    if (layout->partitionStyle == platform::kPartitionStyleGpt && !IsZero(entry.gpt.partitionType)) return true;
    if (layout->partitionStyle == platform::kPartitionStyleMbr &&
        entry.mbr.partitionType != platform::kPartitionEntryUnused) {
      return true;
    }
  }
  return false;
}

bool Disk::IsOwnLayout(const PartitionInfo& info) {
  const auto* layout = Layout(info.layout);
  if (layout == nullptr || layout->partitionStyle != platform::kPartitionStyleGpt || EntryCount(info.layout) != 2) {
    return false;
  }
  return Entry(info.layout, 0).gpt.partitionType == platform::kPartitionMsftReservedGuid &&
         Entry(info.layout, 1).gpt.partitionType == platform::kPartitionBasicDataGuid;
}

bool Disk::CurrentMountPointIsOwnVolume() {
  std::wstring volume;
  return !currentMountPoint_.empty() && !volumeName_.empty() &&
         GetVolumeNameFromMountPoint(currentMountPoint_, &volume) && volume == volumeName_;
}

bool Disk::FormatIfNoFileSystem(const PartitionInfo& info, int32_t partitionType, bool* formatted) {
  *formatted = false;
  if (!IsOwnLayout(info) || currentMountPoint_.empty()) return true;
  std::wstring root = currentMountPoint_ + L"\\";
  wchar_t fileSystem[32] = {};
  if (platform::GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 32)) return true;
  if (platform::GetLastError() != platform::kErrorUnrecognizedVolume) return true;  // can't tell: leave it be
  Log(LogLevel::Warn,
      L"tamber::core::windows::Disk::InitializeDisk(): Data Volume %ws Has No File System, Formatting It",
      volumeName_.c_str());
  if (!FormatDisk(partitionType)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::InitializeDisk(): Failed Formatting Disk");
    return false;
  }
  *formatted = true;
  return true;
}

// ---- finding the disk --------------------------------------------------------------------------

bool Disk::FindTargetDisk() {
  platform::HDevInfo set = platform::SetupDiGetClassDevsW(&platform::kGuidDevInterfaceDisk, nullptr, nullptr,
                                                          platform::kDigcfPresent | platform::kDigcfDeviceInterface);
  if (set == platform::InvalidHandleValue()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::FindTargetDisk(): Failed Enumerating Disks");
    return false;
  }
  bool found = false;
  std::vector<uint8_t> location(kLocationBufferSize);
  for (uint32_t index = 0;; ++index) {
    platform::SpDeviceInterfaceData interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!platform::SetupDiEnumDeviceInterfaces(set, nullptr, &platform::kGuidDevInterfaceDisk, index, &interfaceData)) {
      break;
    }
    std::wstring path;
    platform::SpDevinfoData deviceData{};
    deviceData.cbSize = sizeof deviceData;
    if (!platform::SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, &path, nullptr) ||
        !platform::SetupDiEnumDeviceInfo(set, index, &deviceData)) {
      break;
    }
    std::fill(location.begin(), location.end(), 0);
    uint32_t type = 0;
    if (!platform::SetupDiGetDeviceRegistryPropertyW(set, &deviceData, platform::kSpdrpLocationInformation, &type,
                                                     location.data(), kLocationBufferSize, nullptr)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::FindTargetDisk(): Failed Reading LocationInformation: 0x%X",
          LastErrorHr());
      break;
    }
    std::wstring text = common::util::FromUtf16LeBytes(location.data(), location.size());
    if (text == scsiString_) {
      Log(LogLevel::Debug, L"tamber::core::windows::Disk::FindTargetDisk(): Found Target Disk: %ws", text.c_str());
      SetDevicePath(path);
      Log(LogLevel::Debug, L"tamber::core::windows::Disk::FindTargetDisk(): SetDevicePath Returned: Device Path: %ws",
          devicePath_.c_str());
      found = true;
      break;
    }
  }
  platform::SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool Disk::IsDiskPartitioned(bool* partitioned) {
  UniqueFile disk = OpenDisk(devicePath_, platform::kGenericRead | platform::kGenericWrite);
  if (!disk) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::IsDiskPartitioned(): Failed Opening Disk: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  std::vector<uint8_t> buffer;
  if (!ReadLayout(disk.get(), &buffer)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::IsDiskPartitioned(): Get Drive Layout Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  const auto* layout = Layout(buffer);
  const uint32_t count = EntryCount(buffer);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Disk::IsDiskPartitioned(): Device Path: %ws, Partition Count: %d, Partition[0].Length: %I64u",
      devicePath_.c_str(), layout->partitionCount, static_cast<uint64_t>(layout->partitionEntry[0].partitionLength));
  *partitioned = (layout->partitionStyle == platform::kPartitionStyleGpt && count >= 2) ||
                 (layout->partitionStyle == platform::kPartitionStyleMbr && count > 0 &&
                  layout->partitionEntry[0].partitionLength >= 1);
  return true;
}

// ---- partitioning and formatting ---------------------------------------------------------------

bool Disk::CreatePartition() {
  UniqueFile disk = OpenDisk(devicePath_, platform::kGenericRead | platform::kGenericWrite);
  if (!disk) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Failed Opening Disk: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  platform::DiskGeometryEx geometry{};
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskGetDriveGeometryEx, nullptr, 0, &geometry,
                                 sizeof geometry, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Failed Getting Disk Geometry: 0x%X",
        LastErrorHr());
    return false;
  }
  LogGeometry(geometry);
  platform::GetLengthInformation length{};
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskGetLengthInfo, nullptr, 0, &length, sizeof length,
                                 &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Get Length Info Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::CreatePartition(): Length Info: %I64u",
      static_cast<uint64_t>(length.length));
  // The data partition runs from 16 MiB to 2 MiB before the end; a disk without room for it is refused
  // before anything is written to it.
  if (length.length <= 18 * kMiB) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Disk Too Small: %ws, %I64u",
        devicePath_.c_str(), static_cast<uint64_t>(length.length));
    return false;
  }
  platform::Guid reservedId{};
  platform::Guid dataId{};
  for (platform::Guid* id : {&reservedId, &dataId}) {
    platform::NtStatus status =
        platform::BCryptGenRandom(nullptr, reinterpret_cast<uint8_t*>(id), sizeof *id, kBcryptUseSystemPreferredRng);
    if (!platform::NtSuccess(status)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Failed Creating Partition Id: 0x%X",
          static_cast<uint32_t>(status));
      return false;
    }
    id->data3 = static_cast<uint16_t>((id->data3 & 0x0FFF) | 0x4000);  // a random (version 4) GUID
    id->data4[0] = static_cast<uint8_t>((id->data4[0] & 0x3F) | 0x80);
  }

  platform::CreateDisk create{};
  create.partitionStyle = platform::kPartitionStyleGpt;
  create.gpt.maxPartitionCount = 1;
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskCreateDisk, &create, sizeof create, nullptr, 0,
                                 &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Create Disk Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskUpdateProperties, nullptr, 0, nullptr, 0, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Create Disk Update Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }

  std::vector<uint8_t> buffer(kLayoutBufferSize, 0);
  auto* layout = reinterpret_cast<DriveLayoutInformationEx*>(buffer.data());
  layout->partitionStyle = platform::kPartitionStyleGpt;
  layout->partitionCount = 2;
  layout->gpt.startingUsableOffset = kMiB;
  layout->gpt.usableLength = length.length;
  layout->gpt.maxPartitionCount = kMaxPartitionCount;
  auto name = [](PartitionInformationEx& entry, const wchar_t* text) {
    for (size_t i = 0; text[i] != 0 && i < 35; ++i) entry.gpt.name[i] = static_cast<char16_t>(text[i]);
  };
  PartitionInformationEx& reserved = layout->partitionEntry[0];
  reserved.partitionStyle = platform::kPartitionStyleGpt;
  reserved.startingOffset = kMiB;
  reserved.partitionLength = 15 * kMiB;
  reserved.partitionNumber = 1;
  reserved.rewritePartition = 0;
  reserved.gpt.partitionType = platform::kPartitionMsftReservedGuid;
  reserved.gpt.partitionId = reservedId;
  reserved.gpt.attributes = 0;
  name(reserved, L"Microsoft reserved partition");
  PartitionInformationEx& data =
      reinterpret_cast<PartitionInformationEx*>(buffer.data() + platform::DriveLayoutSize(1))[0];
  data.partitionStyle = platform::kPartitionStyleGpt;
  data.startingOffset = 16 * kMiB;
  data.partitionLength = length.length - 16 * kMiB - 2 * kMiB;
  data.partitionNumber = 2;
  data.rewritePartition = 0;
  data.gpt.partitionType = platform::kPartitionBasicDataGuid;
  data.gpt.partitionId = dataId;
  data.gpt.attributes = platform::kGptBasicDataAttributeNoDriveLetter;
  name(data, L"Basic data partition");
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskSetDriveLayoutEx, buffer.data(), kLayoutBufferSize,
                                 nullptr, 0, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Set Drive Layout Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskUpdateProperties, nullptr, 0, nullptr, 0, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Set Drive Layout Update Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::CreatePartition(): Partition Created Successfully");
  if (!FormatAndSetVolumeName(dataId)) return false;
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::CreatePartition(): VolumeName: %ws", volumeName_.c_str());
  if (!WaitForVolumes(disk.get())) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Failed Waiting For Volumes");
    return false;
  }
  std::wstring mountPoint;
  if (!GetMountPointFromVolumeName(volumeName_, &mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::CreatePartition(): Failed Getting Current Mount Point");
    return false;
  }
  SetCurrentMountPoint(mountPoint);
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::CreatePartition(): Current Mount Point: %ws",
      currentMountPoint_.c_str());
  return true;
}

bool Disk::FormatAndSetVolumeName(const platform::Guid& partitionId) {
  if (IsZero(partitionId)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::FormatAndSetVolumeName(): Partition Id Is NULL");
    return false;
  }
  SetVolumeName(L"\\\\?\\Volume{" + GuidString(partitionId) + L"}\\");
  return true;
}

bool Disk::WaitForVolumes(platform::Handle disk) {
  if (disk == nullptr || disk == platform::InvalidHandleValue()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::WaitForVolumes(): Invalid Disk Handle");
    return false;
  }
  uint32_t returned = 0;
  uint32_t ready = 0;
  if (!platform::DeviceIoControl(disk, platform::kIoctlDiskAreVolumesReady, nullptr, 0, &ready, sizeof ready,
                                 &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::WaitForVolumes(): Are Volumes Ready Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::WaitForVolumes(): Volumes Ready");
  return true;
}

bool Disk::SetGPTFlags() {
  UniqueFile disk = OpenDisk(devicePath_, platform::kGenericRead | platform::kGenericWrite);
  if (!disk) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::SetGPTFlags(): Failed Opening Disk: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  std::vector<uint8_t> buffer;
  uint32_t returned = 0;
  buffer.assign(kLayoutBufferSize, 0);
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskGetDriveLayoutEx, nullptr, 0, buffer.data(),
                                 kLayoutBufferSize, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::SetGPTFlags(): Get Drive Layout Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  auto* layout = reinterpret_cast<DriveLayoutInformationEx*>(buffer.data());
  if (layout->partitionStyle == platform::kPartitionStyleMbr || EntryCount(buffer) < 2) return true;
  PartitionInformationEx& data =
      reinterpret_cast<PartitionInformationEx*>(buffer.data() + platform::DriveLayoutSize(0))[1];
  if ((data.gpt.attributes & platform::kGptBasicDataAttributeNoDriveLetter) != 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::SetGPTFlags(): GPT Flags Already Set");
    return true;
  }
  data.gpt.attributes |= platform::kGptBasicDataAttributeNoDriveLetter;
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskSetDriveLayoutEx, buffer.data(), returned, nullptr, 0,
                                 &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::SetGPTFlags(): Set Drive Layout Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskUpdateProperties, nullptr, 0, nullptr, 0, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::SetGPTFlags(): Set Drive Layout Update Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  return true;
}

bool Disk::FormatDisk(int32_t partitionType) {
  // The format runs only on this disk's own data volume: a mount point that leads anywhere else (another
  // volume took the letter, or the disk was never mounted) would format someone else's data.
  if (!CurrentMountPointIsOwnVolume()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::FormatDisk(): Refusing To Format %ws: It Is Not Volume %ws",
        currentMountPoint_.c_str(), volumeName_.c_str());
    return false;
  }
  std::wstring label = partitionType == kPartitionTypeQx        ? L"Persistent"
                       : partitionType == kPartitionTypeCorlett ? L"Corlett"
                                                                : L"";
  label += usage_ == usage::kPrimary ? L"1" : usage_ == usage::kSecondary ? L"2" : L"0";
  std::wstring command =
      L"C:\\Windows\\System32\\Format.com " + currentMountPoint_ + L" /FS:NTFS /V:" + label + L" /Q /FORCE";
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::FormatDisk(): Format Command: %ws", command.c_str());
  std::string output;
  return common::util::Util::RunScript(command, output, /*logOutput=*/true, platform::kInfinite);
}

// ---- layout -------------------------------------------------------------------------------------

bool Disk::GetPartitionInfo(PartitionInfo* info) {
  UniqueFile disk = OpenDisk(devicePath_, platform::kGenericRead);
  if (!disk) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetPartitionInfo(): Failed Opening Disk: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  platform::DiskGeometryEx geometry{};
  uint32_t returned = 0;
  if (!platform::DeviceIoControl(disk.get(), platform::kIoctlDiskGetDriveGeometryEx, nullptr, 0, &geometry,
                                 sizeof geometry, &returned)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetPartitionInfo(): Failed Getting Disk Geometry: 0x%X",
        LastErrorHr());
    return false;
  }
  if (!ReadLayout(disk.get(), &info->layout)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetPartitionInfo(): DeviceIoControl Failed: %ws, 0x%X",
        devicePath_.c_str(), LastErrorHr());
    return false;
  }
  LogPartitionInfo(*info);
  const auto* layout = Layout(info->layout);
  const uint32_t count = EntryCount(info->layout);
  info->partitionId.clear();
  if (layout->partitionStyle == platform::kPartitionStyleGpt && count >= 2) {
    info->partitionId = GuidString(Entry(info->layout, 1).gpt.partitionId);
  } else if (layout->partitionStyle == platform::kPartitionStyleMbr && count >= 1) {
    info->partitionId = GuidString(Entry(info->layout, 0).mbr.partitionId);
  }
  return true;
}

void Disk::LogGeometry(const platform::DiskGeometryEx& geometry) {
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): geometry.DiskSize: %I64u",
      static_cast<uint64_t>(geometry.diskSize));
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): Cylinders: %I64u",
      static_cast<uint64_t>(geometry.geometry.cylinders));
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): MediaType: %d", geometry.geometry.mediaType);
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): TracksPerCylinder: %u",
      geometry.geometry.tracksPerCylinder);
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): SectorsPerTrack: %u",
      geometry.geometry.sectorsPerTrack);
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogGeometry(): BytesPerSector: %u",
      geometry.geometry.bytesPerSector);
}

void Disk::LogPartitionInfo(const PartitionInfo& info) {
  const auto* layout = Layout(info.layout);
  if (layout == nullptr) return;
  Log(LogLevel::Debug,
      L"tamber::core::windows::Disk::LogPartitionInfo(): ***************************************************");
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): Disk: %ws", devicePath_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Partition Count: %d",
      layout->partitionCount);
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Partition Style: %ws",
      PartitionStyleName(layout->partitionStyle).c_str());
  if (layout->partitionStyle == platform::kPartitionStyleGpt) {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Gpt.DiskId: %ws",
        GuidString(layout->gpt.diskId).c_str());
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Gpt.StartingUsableOffset: %I64u",
        static_cast<uint64_t>(layout->gpt.startingUsableOffset));
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Gpt.UsableLength: %I64u",
        static_cast<uint64_t>(layout->gpt.usableLength));
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Gpt.MaxPartitionCount: %u",
        layout->gpt.maxPartitionCount);
  } else if (layout->partitionStyle == platform::kPartitionStyleMbr) {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogPartitionInfo(): pInfo->Mbr.Signature: 0x%X",
        layout->mbr.signature);
  }
  const uint32_t count = EntryCount(info.layout);
  for (uint32_t i = 0; i < count; ++i) {
    const auto& entry = Entry(info.layout, i);
    Log(LogLevel::Debug,
        L"tamber::core::windows::Disk::LogPartitionInfo(): Partition[%u]: Length: %I64u, Number: %u, Style: %ws, "
        L"Rewrite: %d, StartingOffset: %I64u",
        i, static_cast<uint64_t>(entry.partitionLength), entry.partitionNumber,
        PartitionStyleName(entry.partitionStyle).c_str(), static_cast<int>(entry.rewritePartition),
        static_cast<uint64_t>(entry.startingOffset));
    if (entry.partitionStyle == platform::kPartitionStyleGpt) {
      std::wstring name;
      for (size_t c = 0; c < 36 && entry.gpt.name[c] != 0; ++c) name.push_back(static_cast<wchar_t>(entry.gpt.name[c]));
      Log(LogLevel::Debug,
          L"tamber::core::windows::Disk::LogPartitionInfo(): Partition[%u]: Gpt.Attributes: %I64u (%ws), Gpt.Name: %ws, "
          L"Gpt.PartitionId: %ws, Gpt.PartitionType: %ws",
          i, entry.gpt.attributes, GptAttributesName(entry.gpt.attributes).c_str(), name.c_str(),
          GuidString(entry.gpt.partitionId).c_str(), GptPartitionTypeName(entry.gpt.partitionType).c_str());
    } else if (entry.partitionStyle == platform::kPartitionStyleMbr) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Disk::LogPartitionInfo(): Partition[%u]: Mbr.BootIndicator: %d, Mbr.HiddenSectors: %u, "
          L"Mbr.PartitionId: %ws, Mbr.PartitionType: %ws, Mbr.RecognizedPartition: %d",
          i, static_cast<int>(entry.mbr.bootIndicator), entry.mbr.hiddenSectors,
          GuidString(entry.mbr.partitionId).c_str(), MbrPartitionTypeName(entry.mbr.partitionType).c_str(),
          static_cast<int>(entry.mbr.recognizedPartition));
    }
  }
}

// ---- mount points -------------------------------------------------------------------------------

bool Disk::GetCurrentMountPoint(const PartitionInfo* info, std::wstring* mountPoint) {
  if (info == nullptr) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetCurrentMountPoint(): PartitionInfo Is NULL");
    return false;
  }
  if (info->partitionId.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetCurrentMountPoint(): Volume Name Is Empty");
    return false;
  }
  SetVolumeName(L"\\\\?\\Volume{" + info->partitionId + L"}\\");
  if (!GetMountPointFromVolumeName(volumeName_, mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetCurrentMountPoint(): Failed Getting Current Mount Point");
    return false;
  }
  return true;
}

bool Disk::GetMountPointFromVolumeName(const std::wstring& volumeName, std::wstring* mountPoint) {
  if (volumeName.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetMountPointFromVolumeName(): Volume Name Is Empty");
    return false;
  }
  if (!GetVolumePaths(volumeName, mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetMountPointFromVolumeName(): GetVolumePaths Failed");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::GetMountPointFromVolumeName(): Mount Point: %ws",
      mountPoint->c_str());
  return true;
}

bool Disk::GetVolumePaths(const std::wstring& volumeName, std::wstring* paths) {
  if (volumeName.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetVolumePaths(): Volume Name Is Empty");
    return false;
  }
  paths->clear();
  std::vector<wchar_t> buffer(kVolumePathChars, 0);
  uint32_t needed = 0;
  bool ok = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ok = platform::GetVolumePathNamesForVolumeNameW(volumeName.c_str(), buffer.data(),
                                                    static_cast<uint32_t>(buffer.size()), &needed);
    if (ok || platform::GetLastError() != platform::kErrorMoreData || needed <= buffer.size()) break;
    buffer.assign(needed, 0);
  }
  if (!ok) {
    uint32_t error = platform::GetLastError();
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::GetVolumePaths(): GetVolumePathNamesforVolumeName Failed: %ws, 0x%X",
        volumeName.c_str(), static_cast<uint32_t>(HResultFromWin32(error)));
    return error == platform::kErrorFileNotFound;
  }
  // A list of strings ended by an empty one, never read past the buffer.
  size_t pos = 0;
  while (pos < buffer.size() && buffer[pos] != L'\0') {
    size_t end = pos;
    while (end < buffer.size() && buffer[end] != L'\0') ++end;
    std::wstring path(buffer.data() + pos, end - pos);
    if (!path.empty()) path.pop_back();
    if (!paths->empty()) *paths += L", ";
    *paths += path;
    pos = end + 1;
  }
  return true;
}

bool Disk::GetVolumeNameFromMountPoint(const std::wstring& mountPoint, std::wstring* volumeName) {
  if (mountPoint.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::GetVolumeNameFromMountPoint(): Mount Point Is Empty");
    return false;
  }
  std::wstring root = mountPoint + L"\\";
  wchar_t name[kVolumeNameChars] = {};
  if (!platform::GetVolumeNameForVolumeMountPointW(root.c_str(), name, kVolumeNameChars)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::GetVolumeNameFromMountPoint(): GetVolumeNameForVolumeMountPoint Failed: Drive Letter: %ws, 0x%X",
        mountPoint.c_str(), LastErrorHr());
    return false;
  }
  name[kVolumeNameChars - 1] = L'\0';
  *volumeName = name;
  return true;
}

uint32_t Disk::GetMountPointIndex(const std::wstring& mountPoint) {
  std::wstring letter = mountPoint;
  if (letter == L"*") {
    letter = GetEmptyMountPoint();
    if (letter.empty()) return 0;
    SetTargetMountPoint(letter);
  }
  if (letter.empty()) return 0;
  const int32_t index = static_cast<int32_t>(letter[0]) - L'A';
  if (index >= 0 && index < 32) return static_cast<uint32_t>(index);
  Log(LogLevel::Error, L"tamber::core::windows::Disk::GetMountPointIndex(): Mount point %ws is illegal.",
      letter.c_str());
  return 0;
}

bool Disk::IsDriveLetterOccupied(uint32_t index) {
  if (index >= 32) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::IsDriveLetterOccupied(): Invalid Index: %d", index);
    return false;
  }
  return (platform::GetLogicalDrives() & (1u << index)) != 0;
}

std::wstring Disk::GetEmptyMountPoint() {
  for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
    if (!IsDriveLetterOccupied(static_cast<uint32_t>(letter - L'A'))) return std::wstring(1, letter) + L":";
  }
  Log(LogLevel::Error,
      L"tamber::core::windows::Disk::GetEmptyMountPoint(): Could not find empty mount point for disk.");
  return L"";
}

bool Disk::SetMountPoint(const std::wstring& mountPoint, const std::wstring& volumeName) {
  if (mountPoint.empty() || volumeName.empty()) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::SetMountPoint(): Invalid Arguments: Mount Point: %ws, Volume: %ws",
        mountPoint.c_str(), volumeName.c_str());
    return false;
  }
  if (!platform::DefineDosDeviceW(platform::kDddRawTargetPath, mountPoint.c_str(), volumeName.c_str())) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::SetMountPoint(): DefineDosDevice Failed: Drive Letter: %ws, Volume Name: %ws, 0x%X",
        mountPoint.c_str(), volumeName.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Disk::SetMountPoint(): DefineDosDevice Succeeded: Drive Letter: %ws, Volume Name: %ws",
      mountPoint.c_str(), volumeName.c_str());
  if (!platform::DefineDosDeviceW(
          platform::kDddRawTargetPath | platform::kDddRemoveDefinition | platform::kDddExactMatchOnRemove,
          mountPoint.c_str(), volumeName.c_str())) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Disk::SetMountPoint(): Failed Deleting Symbolic Link: Drive Letter: %ws, Volume Name: %ws, 0x%X",
        mountPoint.c_str(), volumeName.c_str(), LastErrorHr());
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::SetMountPoint(): Deleted Symbolic Link");
  std::wstring root = mountPoint + L"\\";
  if (!platform::SetVolumeMountPointW(root.c_str(), volumeName.c_str())) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::SetMountPoint(): SetVolumeMountPoint Failed: Drive Letter: %ws, Volume Name: %ws, 0x%X",
        mountPoint.c_str(), volumeName.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::SetMountPoint(): Set Mount Point: %ws", mountPoint.c_str());
  return true;
}

bool Disk::DeleteMountPoint(const std::wstring& mountPoint) {
  if (mountPoint.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::DeleteMountPoint(): Mount Point Is Empty");
    return false;
  }
  std::wstring root = mountPoint + L"\\";
  if (!platform::DeleteVolumeMountPointW(root.c_str())) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::DeleteMountPoint(): Failed Removing %ws, 0x%X",
        mountPoint.c_str(), LastErrorHr());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::DeleteMountPoint(): Deleted Mount Point: %ws",
      mountPoint.c_str());
  return true;
}

bool Disk::MoveToEmptyMountPoint(const std::wstring& currentLetter, const std::wstring& device) {
  if (currentLetter.empty() || device.empty()) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Invalid Arguments: Current Drive Letter: %ws, Device: %ws",
        currentLetter.c_str(), device.c_str());
    return false;
  }
  std::wstring empty = GetEmptyMountPoint();
  if (empty.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Could not find empty mount point");
    return false;
  }
  std::wstring volume;
  if (!GetVolumeNameFromMountPoint(currentLetter, &volume)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Failed Getting Volume Name: %ws",
        currentLetter.c_str());
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Got Volume Name: %ws", volume.c_str());
  if (!DeleteMountPoint(currentLetter)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Failed To Delete Mount Point: %ws",
        currentLetter.c_str());
    return false;
  }
  if (!SetMountPoint(empty, volume)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::MoveToEmptyMountPoint(): Failed Setting Mount Point: %ws, Volume Name %ws",
        empty.c_str(), volume.c_str());
    return false;
  }
  return true;
}

bool Disk::MountDisk(const std::wstring& currentMountPoint) {
  if (targetMountPoint_.empty()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Disk::MountDisk(): Target Mount Point Is Empty");
    return true;
  }
  if (targetMountPoint_ == L"*") {
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::MountDisk(): Using Next Available Mount Point");
  }
  if (currentMountPoint == targetMountPoint_) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Disk::MountDisk(): No need to relocate disk: Current Mount Point: %ws",
        currentMountPoint.c_str());
    return true;
  }
  const uint32_t index = GetMountPointIndex(targetMountPoint_);
  if (index == 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::MountDisk(): Target mount point %ws is illegal.",
        targetMountPoint_.c_str());
    return false;
  }
  if (!currentMountPoint_.empty()) SetCurrentMountPoint(currentMountPoint);
  if (IsDriveLetterOccupied(index)) {
    std::wstring root = targetMountPoint_ + L"\\";
    const uint32_t type = platform::GetDriveTypeW(root.c_str());
    if (type != platform::kDriveCdrom) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Disk::MountDisk(): Target mount point %ws is already taken by a non persistent disk of type %ws",
          targetMountPoint_.c_str(), DriveTypeName(type).c_str());
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::MountDisk(): CDROM at %ws needs to be relocated",
        targetMountPoint_.c_str());
    std::wstring cdrom;
    if (!GetVolumeNameFromMountPoint(targetMountPoint_, &cdrom)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Disk::MountDisk(): Failed Getting CDROM Volume Name: MountPoint: %ws",
          targetMountPoint_.c_str());
      return false;
    }
    if (!MoveToEmptyMountPoint(targetMountPoint_, cdrom)) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Disk::MountDisk(): Failed To Move CDROM From %ws To Empty Mount Point",
          targetMountPoint_.c_str());
      return false;
    }
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::MountDisk(): Creating a new mount %ws for volume %ws (%ws)",
      targetMountPoint_.c_str(), currentMountPoint_.c_str(), volumeName_.c_str());
  if (!currentMountPoint_.empty() && !DeleteMountPoint(currentMountPoint_)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::MountDisk(): Failed Deleting Mount Point: %ws",
        currentMountPoint_.c_str());
    return false;
  }
  if (!SetMountPoint(targetMountPoint_, volumeName_)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::MountDisk(): SetMountPoint Failed: Current: %ws, New: %ws, Device: %ws",
        currentMountPoint_.c_str(), targetMountPoint_.c_str(), volumeName_.c_str());
    return false;
  }
  SetCurrentMountPoint(targetMountPoint_);
  return true;
}

bool Disk::DeleteCurrentMountPoint() {
  if (!FindTargetDisk()) return false;
  PartitionInfo info;
  if (!GetPartitionInfo(&info)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::DeleteCurrentMountPoint(): Failed Getting Partition Info");
    return false;
  }
  bool partitioned = false;
  if (!IsDiskPartitioned(&partitioned)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Disk::DeleteCurrentMountPoint(): Unable To Determine If Disk Is Partitioned.  Cannot Continue");
    return false;
  }
  if (!partitioned) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Disk::DeleteCurrentMountPoint(): Disk Not Partitioned, Nothing To Do");
    return true;
  }
  std::wstring mountPoint;
  if (!GetCurrentMountPoint(&info, &mountPoint)) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::DeleteCurrentMountPoint(): Failed Getting Current Mount Point");
    return false;
  }
  SetCurrentMountPoint(mountPoint);
  if (!currentMountPoint_.empty()) {
    if (!DeleteMountPoint(currentMountPoint_)) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::DeleteCurrentMountPoint(): Failed Deleting Mount Point: %ws",
          currentMountPoint_.c_str());
      return false;
    }
    SetCurrentMountPoint(L"");
  }
  return true;
}

// ---- device identity ----------------------------------------------------------------------------

bool Disk::SetDeviceId(const std::wstring& mountPoint) {
  platform::HDevInfo set = platform::SetupDiGetClassDevsW(&platform::kGuidDevInterfaceVolume, nullptr, nullptr,
                                                          platform::kDigcfPresent | platform::kDigcfDeviceInterface);
  if (set == platform::InvalidHandleValue()) return false;
  std::vector<wchar_t> target(kQueryDosDeviceChars, 0);
  if (platform::QueryDosDeviceW(mountPoint.c_str(), target.data(), kQueryDosDeviceChars) == 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::SetDeviceId(): QueryDosDevice Failed: %ws, 0x%X",
        mountPoint.c_str(), LastErrorHr());
    platform::SetupDiDestroyDeviceInfoList(set);
    return false;
  }
  target.back() = L'\0';
  SetDeviceName(target.data());
  bool found = false;
  std::vector<uint8_t> name(kLocationBufferSize);
  for (uint32_t index = 0; !found; ++index) {
    platform::SpDevinfoData deviceData{};
    deviceData.cbSize = sizeof deviceData;
    if (!platform::SetupDiEnumDeviceInfo(set, index, &deviceData)) break;
    std::fill(name.begin(), name.end(), 0);
    if (!platform::SetupDiGetDeviceRegistryPropertyW(set, &deviceData, platform::kSpdrpPhysicalDeviceObjectName,
                                                     nullptr, name.data(), kLocationBufferSize, nullptr)) {
      continue;
    }
    if (common::util::FromUtf16LeBytes(name.data(), name.size()) != deviceName_) continue;
    uint32_t length = 0;
    uint32_t result = platform::CM_Get_Device_ID_Size(&length, deviceData.devInst, 0);
    if (result != platform::kCrSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::SetDeviceId(): CM_Get_Device_ID_Size Failed: 0x%X", result);
      break;
    }
    std::vector<wchar_t> id(length + 1, 0);
    result = platform::CM_Get_Device_IDW(deviceData.devInst, id.data(), length + 1, 0);
    if (result != platform::kCrSuccess) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::SetDeviceId(): CM_Get_Device_ID Failed: 0x%X", result);
      break;
    }
    deviceId_ = id.data();
    found = true;
  }
  platform::SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool Disk::NeedsReboot(const std::wstring& deviceId) {
  if (deviceId.empty()) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::NeedsReboot(): Device Id Is Empty");
    return false;
  }
  platform::DevInst devInst = 0;
  uint32_t result = platform::CM_Locate_DevNodeW(&devInst, deviceId.c_str(), platform::kCmLocateDevnodeNormal);
  if (result != platform::kCrSuccess) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::NeedsReboot(): Could not get CM devnode for %ws, Error: 0x%X",
        deviceId.c_str(), result);
    return false;
  }
  uint32_t status = 0;
  uint32_t problem = 0;
  result = platform::CM_Get_DevNode_Status(&status, &problem, devInst, 0);
  if (result != platform::kCrSuccess) {
    Log(LogLevel::Error, L"tamber::core::windows::Disk::NeedsReboot(): Could not get CM status for %ws. Error: 0x%X",
        deviceId.c_str(), result);
    return false;
  }
  return (status & platform::kDnNeedRestart) != 0;
}

// ---- logging ------------------------------------------------------------------------------------

bool Disk::EnumVolumes() {
  constexpr uint32_t kBadPath = 0x800700A1;
  wchar_t name[kVolumeNameChars] = {};
  platform::Handle find = platform::FindFirstVolumeW(name, kVolumeNameChars);
  if (find == platform::InvalidHandleValue()) {
    uint32_t error = platform::GetLastError();
    if (error != platform::kErrorNoMoreFiles) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::EnumVolumes(): FindFirstVolume failed with error code 0x%X",
          static_cast<uint32_t>(HResultFromWin32(error)));
    }
    return false;
  }
  bool ok = true;
  for (;;) {
    name[kVolumeNameChars - 1] = L'\0';
    std::wstring volume = name;
    if (volume.size() < 5 || volume.compare(0, 4, L"\\\\?\\") != 0 || volume.back() != L'\\') {
      Log(LogLevel::Error,
          L"tamber::core::windows::Disk::EnumVolumes(): FindFirstVolume/FindNextVolume returned a bad path: %ws, 0x%X",
          volume.c_str(), kBadPath);
      ok = false;
      break;
    }
    std::wstring dosName = volume.substr(4, volume.size() - 5);
    std::vector<wchar_t> device(kQueryDosDeviceChars, 0);
    if (platform::QueryDosDeviceW(dosName.c_str(), device.data(), kQueryDosDeviceChars) == 0) {
      Log(LogLevel::Error, L"tamber::core::windows::Disk::EnumVolumes(): QueryDosDevice failed with error code 0x%X",
          LastErrorHr());
      ok = false;
      break;
    }
    device.back() = L'\0';
    std::wstring paths;
    GetVolumePaths(volume, &paths);
    Log(LogLevel::Debug, L"tamber::core::windows::Disk::EnumVolumes(): Device: %ws, Volume: %ws, Paths: %ws",
        device.data(), volume.c_str(), paths.empty() ? L"Empty" : paths.c_str());
    if (!platform::FindNextVolumeW(find, name, kVolumeNameChars)) {
      uint32_t error = platform::GetLastError();
      if (error != platform::kErrorNoMoreFiles) {
        Log(LogLevel::Error, L"tamber::core::windows::Disk::EnumVolumes(): FindNextVolume failed with error code 0x%X",
            static_cast<uint32_t>(HResultFromWin32(error)));
        ok = false;
      }
      break;
    }
  }
  platform::FindVolumeClose(find);
  return ok;
}

void Disk::LogDiskSpec() {
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Disk Usage: %d, %ws", usage_,
      UsageName(usage_).c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Current Mount Point: %ws",
      currentMountPoint_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Target Mount Point: %ws",
      targetMountPoint_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): SCSI Bus: %ws", scsiBus_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Disk Id: %ws", scsiTargetId_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): SCSI String: %ws", scsiString_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Device Path: %ws", devicePath_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Volume Name: %ws", volumeName_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Device Name: %ws", deviceName_.c_str());
  Log(LogLevel::Debug, L"tamber::core::windows::Disk::LogDiskSpec(): Device Id: %ws", deviceId_.c_str());
}

}  // namespace tamber::core::windows
