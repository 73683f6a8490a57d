// Storage of the simulated guest: SCSI disks with their partition tables, the volumes on them, drive
// letters, a CD-ROM drive, and the disk and volume devices the device installer lists.
//
// A disk is a disk image: a directory outside or inside the machine holding "disk.conf" (size, partition
// style and table, and per partition its file system and label) and "volumes/{partition id}/", the files
// of each formatted volume. A data disk is thus a thing of its own, as in a data centre: it can be
// detached from a thrown-away clone and attached to its successor with everything on it.
//
// The machine keeps "<machine>/storage.conf" (name=value lines):
//   disk=<bus>:<target>:<image directory>   a SCSI disk (repeatable; a relative path is below the machine)
//   cdrom=0|1                                whether the machine has its CD-ROM drive (default 1)
//   letter=<L>:{volume GUID}                 the mount manager's drive letters (repeatable)
//   known={volume GUID}                      volumes the mount manager has seen (no automatic letter again)
// Without the file the machine has its system disk (C:, SCSI 0:0, files in drive_c) and the CD-ROM on D:.
//
// Volumes: the system volume (C:), the CD-ROM and one per basic data partition of each attached disk,
// named "\\?\Volume{partition id}\". A volume that arrives (a layout is written, a disk is attached) gets
// the first free letter from C upward unless its partition has the no-drive-letter attribute. Only an
// NTFS volume has files; Format.com (SimFormat.cpp) makes one.
//
// Faults (machine fault plan):
//   DiskMissing=<bus>:<target>[@N]   the disk is not in its slot (after N listings of the disk class)
//   DiskLayoutWriteFails=<error>     IOCTL_DISK_CREATE_DISK and IOCTL_DISK_SET_DRIVE_LAYOUT_EX fail
//   FormatFails=<exit code>          Format.com fails without touching the volume
//   MountPointFails=<error>          SetVolumeMountPointW fails
//   VolumesNotReady=<error>          IOCTL_DISK_ARE_VOLUMES_READY fails
//   VolumeNeedsRestart=1             every data volume's devnode has DN_NEED_RESTART
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Devices.h"
#include "platform/Types.h"

namespace tamber::platform::sim {

struct SimPartition {
  uint32_t number = 0;
  int64_t offset = 0;
  int64_t length = 0;
  Guid type{};  // GPT partition type
  Guid id{};    // GPT partition id (MBR: the id Windows makes up for it)
  uint64_t attributes = 0;
  std::wstring name;
  uint8_t mbrType = 0;
  bool boot = false;
  std::string fileSystem;  // "" while raw, "NTFS" once formatted
  std::string label;
};

struct SimDiskImage {
  uint64_t size = 0;
  uint32_t style = 2;  // PARTITION_STYLE_RAW
  Guid diskId{};
  uint32_t signature = 0;
  uint32_t maxPartitionCount = 0;
  std::vector<SimPartition> partitions;
};

struct SimScsiDisk {
  uint32_t bus = 0;
  uint32_t target = 0;
  std::filesystem::path image;  // as written in storage.conf
};

struct SimStorageConfig {
  std::vector<SimScsiDisk> disks;
  bool cdrom = true;
  std::vector<std::pair<wchar_t, std::wstring>> letters;  // letter, volume GUID text "{...}"
  std::vector<std::wstring> known;
};

// GUID text "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, and back (either case, braces optional).
std::wstring GuidText(const Guid& guid);
bool ParseGuid(const std::wstring& text, Guid* guid);

// Disk images (no booted machine needed).
bool CreateDiskImage(const std::filesystem::path& dir, uint64_t size);
bool LoadDiskImage(const std::filesystem::path& dir, SimDiskImage* image);
bool SaveDiskImage(const std::filesystem::path& dir, const SimDiskImage& image);
// The text form of disk.conf, and back; false on a malformed text.
std::string EncodeDiskImage(const SimDiskImage& image);
bool DecodeDiskImage(const std::string& text, SimDiskImage* image);
// Where the files of a partition's volume live.
std::filesystem::path VolumeFilesDirectory(const std::filesystem::path& imageDir, const Guid& partitionId);
// Where the owners and DACLs of a volume's files live (beside its files, so they travel with the disk).
std::filesystem::path VolumeSecurityFile(const std::filesystem::path& volumeFiles);
// Removes a volume's files and their security (a new partition table or a format).
void EraseVolumeFiles(const std::filesystem::path& imageDir, const Guid& partitionId);

// The storage of a machine (booted or not).
SimStorageConfig LoadStorage(const std::filesystem::path& machineDir);
void SaveStorage(const std::filesystem::path& machineDir, const SimStorageConfig& config);
std::filesystem::path ImagePath(const std::filesystem::path& machineDir, const SimScsiDisk& disk);
// Attaches a disk image at a SCSI slot (false when the slot is taken or the image is missing); its data
// volumes arrive and get letters. Detach takes the disk and its volumes' letters away.
bool AttachDisk(const std::filesystem::path& machineDir, uint32_t bus, uint32_t target,
                const std::filesystem::path& image, std::string* error);
bool DetachDisk(const std::filesystem::path& machineDir, uint32_t bus, uint32_t target, std::string* error);

// The volume a drive letter of the booted machine leads to, and the host directory of its files: empty
// when the letter is not mounted or its volume has no file system.
std::filesystem::path VolumeRootForLetter(wchar_t letter);

// Formats the data volume at a drive letter of the booted machine: NTFS with the label, its files gone.
// False with a message for a letter that is no data volume.
// Each format is noted in "<image>.events" ("format files=<n>": n files were lost), so that a
// run can check that no data was formatted away.
bool FormatVolume(wchar_t letter, const std::string& label, std::string* error);
std::vector<std::string> DiskEvents(const std::filesystem::path& image);

// For the device seam: the disk and volume interface devices of the booted machine.
struct SimStorageDevice {
  DevInst devInst = 0;
  std::wstring interfacePath;  // "\\?\scsi#disk&...#{class}"
  std::wstring deviceId;       // device instance id
  std::wstring location;       // SPDRP_LOCATION_INFORMATION (disks)
  std::wstring physicalName;   // SPDRP_PHYSICAL_DEVICE_OBJECT_NAME
  bool needsRestart = false;
};
std::vector<SimStorageDevice> StorageDevices(const Guid& interfaceClass);
std::optional<SimStorageDevice> StorageDeviceByDevInst(DevInst devInst);
std::optional<SimStorageDevice> StorageDeviceById(const std::wstring& deviceId);
constexpr DevInst kFirstStorageDevInst = 0x1000;

// For the file seam: whether a path names a disk device, and opening it.
bool IsDiskDevicePath(const wchar_t* path);
Handle OpenDiskDevice(const wchar_t* path, uint32_t access);

}  // namespace tamber::platform::sim
