// One persistent data disk of a clone, found by its SCSI location: partitioned (GPT: a reserved partition
// and one data partition without a drive letter of its own) and formatted NTFS when it is blank, then
// mounted at the drive letter its disk description asks for, moving a CD-ROM drive out of the way.
//
// A disk that holds partitions is never partitioned or formatted again, whatever its disk description says:
// a layout that is not the one this class writes is refused rather than overwritten, and the format
// command only ever runs on the volume this object has just created (or on its own data volume that was
// left without a file system by an interrupted earlier run).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Devices.h"
#include "platform/Storage.h"
#include "platform/Types.h"

namespace tamber::core::util {
class CustomizationState;
}  // namespace tamber::core::util

namespace tamber::core::windows {

// What the disk's usage says about it.
namespace usage {
constexpr uint32_t kUnknown = 0;
constexpr uint32_t kPrimary = 1;
constexpr uint32_t kSecondary = 2;
}  // namespace usage

// The partition types InitializeDisk knows; only kPartitionTypeQx can be made on a blank disk.
constexpr int32_t kPartitionTypeQx = 0;
constexpr int32_t kPartitionTypeCorlett = 1;

// The error statuses of a disk, under the category "Persistent Disks".
constexpr uint32_t kErrorDiskNotFound = 12;
constexpr uint32_t kErrorMountSecondaryDisk = 21;
constexpr uint32_t kErrorMountPrimaryDisk = 22;
inline constexpr const char* kPersistentDisksCategory = "Persistent Disks";

// The disk's layout as read, with the id (lower-case text, no braces) of its data partition.
struct PartitionInfo {
  std::vector<uint8_t> layout;  // DRIVE_LAYOUT_INFORMATION_EX and its entries
  std::wstring partitionId;
};

class Disk {
 public:
  static constexpr uint32_t kLayoutBufferSize = 6144;
  static constexpr int64_t kMiB = 0x100000;

  // Error statuses go to state (not owned; null in tests that do not look at them).
  explicit Disk(util::CustomizationState* state);
  virtual ~Disk();

  virtual bool SetDiskSpec(const std::wstring& spec);
  virtual bool InitializeDisk(int32_t partitionType);
  virtual void SetDiskSpecString(const std::wstring& spec) { diskSpec_ = spec; }
  virtual const std::wstring& DiskSpecString() const { return diskSpec_; }
  virtual bool IsExistingDisk() const { return existingDisk_; }
  virtual void SetExistingDisk(bool existing) { existingDisk_ = existing; }
  virtual uint32_t Usage() const { return usage_; }
  virtual void SetUsage(uint32_t value) { usage_ = value >= 3 ? usage::kUnknown : value; }
  virtual void SetUsageFromString(const std::wstring& text);
  virtual const std::wstring& TargetMountPoint() const { return targetMountPoint_; }
  virtual void SetTargetMountPoint(const std::wstring& mountPoint) { targetMountPoint_ = Normalize(mountPoint); }
  virtual bool GetCurrentMountPoint(const PartitionInfo* info, std::wstring* mountPoint);
  virtual const std::wstring& CurrentMountPoint() const { return currentMountPoint_; }
  virtual void SetCurrentMountPoint(const std::wstring& mountPoint) { currentMountPoint_ = Normalize(mountPoint); }
  virtual const std::wstring& ScsiBus() const { return scsiBus_; }
  virtual void SetScsiBus(const std::wstring& bus) { scsiBus_ = bus; }
  virtual const std::wstring& ScsiTargetId() const { return scsiTargetId_; }
  virtual void SetScsiTargetId(const std::wstring& id) { scsiTargetId_ = id; }
  virtual const std::wstring& DevicePath() const { return devicePath_; }
  virtual void SetDevicePath(const std::wstring& path) { devicePath_ = path; }
  virtual const std::wstring& VolumeName() const { return volumeName_; }
  virtual void SetVolumeName(const std::wstring& name) { volumeName_ = name; }
  virtual const std::wstring& DeviceName() const { return deviceName_; }
  virtual void SetDeviceName(const std::wstring& name) { deviceName_ = name; }
  virtual const std::wstring& DeviceId() const { return deviceId_; }
  virtual bool SetDeviceId(const std::wstring& mountPoint);
  virtual const std::wstring& ScsiString() const { return scsiString_; }
  virtual void BuildScsiString();
  virtual bool NeedsReboot(const std::wstring& deviceId);
  virtual void LogDiskSpec();
  virtual bool EnumVolumes();
  virtual bool DeleteCurrentMountPoint();
  virtual std::wstring PartitionTypeName(int32_t partitionType) const;
  virtual std::wstring UsageName(uint32_t value) const;
  virtual bool ParseDiskSpec(const std::wstring& spec);
  virtual bool ParseAndSetScsiId(const std::wstring& text);
  virtual bool FindTargetDisk();
  virtual bool IsDiskPartitioned(bool* partitioned);
  virtual bool CreatePartition();
  virtual bool FormatDisk(int32_t partitionType);
  virtual bool SetGPTFlags();
  virtual std::wstring PartitionStyleName(uint32_t style) const;
  virtual std::wstring GptPartitionTypeName(const platform::Guid& type) const;
  virtual std::wstring MbrPartitionTypeName(uint8_t type) const;
  virtual std::wstring GptAttributesName(uint64_t attributes) const;
  virtual bool MountDisk(const std::wstring& currentMountPoint);
  virtual bool MoveToEmptyMountPoint(const std::wstring& currentLetter, const std::wstring& device);
  virtual bool SetMountPoint(const std::wstring& mountPoint, const std::wstring& volumeName);
  virtual bool DeleteMountPoint(const std::wstring& mountPoint);
  virtual bool GetMountPointFromVolumeName(const std::wstring& volumeName, std::wstring* mountPoint);
  virtual bool GetVolumeNameFromMountPoint(const std::wstring& mountPoint, std::wstring* volumeName);
  virtual uint32_t GetMountPointIndex(const std::wstring& mountPoint);
  virtual bool IsDriveLetterOccupied(uint32_t index);
  virtual std::wstring GetEmptyMountPoint();
  virtual std::wstring DriveTypeName(uint32_t driveType) const;

  bool GetPartitionInfo(PartitionInfo* info);
  bool WaitForVolumes(platform::Handle disk);
  bool FormatAndSetVolumeName(const platform::Guid& partitionId);
  // All paths of the volume joined by ", ", each without its last character.
  bool GetVolumePaths(const std::wstring& volumeName, std::wstring* paths);
  void LogGeometry(const platform::DiskGeometryEx& geometry);
  void LogPartitionInfo(const PartitionInfo& info);
  void SetErrorStatus(uint32_t code);

  // "E", "E:" and "E:\" all become "E:"; "" and "*" stay as they are.
  static std::wstring Normalize(const std::wstring& mountPoint);
  // Lower-case GUID text without braces.
  static std::wstring GuidString(const platform::Guid& guid);

 private:
  // Whether the layout holds any partition at all (which IsDiskPartitioned alone does not tell).
  static bool HoldsPartitions(const PartitionInfo& info);
  // Whether the layout is the one CreatePartition writes (a reserved and a basic data partition).
  static bool IsOwnLayout(const PartitionInfo& info);
  // For a disk found partitioned: formats its data volume when, and only when, that volume of the
  // disk's own layout has no file system (an earlier run stopped between partitioning and formatting).
  bool FormatIfNoFileSystem(const PartitionInfo& info, int32_t partitionType, bool* formatted);
  // True when the volume at the current mount point is this disk's data volume.
  bool CurrentMountPointIsOwnVolume();

  bool existingDisk_ = false;
  uint32_t usage_ = usage::kUnknown;
  std::wstring currentMountPoint_;
  std::wstring targetMountPoint_;
  std::wstring scsiBus_;
  std::wstring scsiTargetId_;
  std::wstring devicePath_;
  std::wstring volumeName_;
  std::wstring scsiString_;
  std::wstring deviceName_;
  std::wstring deviceId_;
  std::wstring diskSpec_;
  util::CustomizationState* state_;
};

}  // namespace tamber::core::windows
