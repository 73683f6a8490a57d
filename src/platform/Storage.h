// Storage seam: the disk control codes (DeviceIoControl on a disk opened with CreateFile on its interface
// path), the volume and mount-point functions, DOS device names and drive letters. Structures are laid out
// byte for byte as on 64-bit Windows; results and last errors are those of the calls they are named after.
#pragma once

#include <cstdint>

#include "platform/Devices.h"
#include "platform/Types.h"

namespace tamber::platform {

// Disk control codes.
constexpr uint32_t kIoctlDiskGetDriveGeometryEx = 0x000700A0;
constexpr uint32_t kIoctlDiskGetLengthInfo = 0x0007405C;
constexpr uint32_t kIoctlDiskCreateDisk = 0x0007C058;
constexpr uint32_t kIoctlDiskUpdateProperties = 0x00070140;
constexpr uint32_t kIoctlDiskGetDriveLayoutEx = 0x00070050;
constexpr uint32_t kIoctlDiskSetDriveLayoutEx = 0x0007C054;
constexpr uint32_t kIoctlDiskAreVolumesReady = 0x0007421C;

// PARTITION_STYLE.
constexpr uint32_t kPartitionStyleMbr = 0;
constexpr uint32_t kPartitionStyleGpt = 1;
constexpr uint32_t kPartitionStyleRaw = 2;

// MBR partition types the agent names.
constexpr uint8_t kPartitionEntryUnused = 0x00;
constexpr uint8_t kPartitionFat12 = 0x01;
constexpr uint8_t kPartitionFat16 = 0x04;
constexpr uint8_t kPartitionExtended = 0x05;
constexpr uint8_t kPartitionHuge = 0x06;
constexpr uint8_t kPartitionIfs = 0x07;
constexpr uint8_t kPartitionFat32 = 0x0B;
constexpr uint8_t kPartitionFat32Xint13 = 0x0C;
constexpr uint8_t kPartitionXint13 = 0x0E;
constexpr uint8_t kPartitionXint13Extended = 0x0F;
constexpr uint8_t kPartitionLdm = 0x42;
constexpr uint8_t kPartitionGpt = 0xEE;

// GPT partition types.
constexpr Guid kPartitionMsftReservedGuid = {
    0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}};
constexpr Guid kPartitionBasicDataGuid = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
constexpr Guid kPartitionSystemGuid = {0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
constexpr Guid kPartitionMsftRecoveryGuid = {
    0xDE94BBA4, 0x06D1, 0x4D40, {0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC}};
constexpr Guid kPartitionLdmMetadataGuid = {
    0x5808C8AA, 0x7E8F, 0x42E0, {0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3}};
constexpr Guid kPartitionLdmDataGuid = {0xAF9B60A0, 0x1431, 0x4F62, {0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD}};
constexpr Guid kPartitionEntryUnusedGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// GPT partition attributes.
constexpr uint64_t kGptAttributePlatformRequired = 0x0000000000000001ull;
constexpr uint64_t kGptBasicDataAttributeNoDriveLetter = 0x8000000000000000ull;
constexpr uint64_t kGptBasicDataAttributeHidden = 0x4000000000000000ull;
constexpr uint64_t kGptBasicDataAttributeShadowCopy = 0x2000000000000000ull;
constexpr uint64_t kGptBasicDataAttributeReadOnly = 0x1000000000000000ull;

// MEDIA_TYPE values the simulated disks report.
constexpr uint32_t kMediaFixedMedia = 12;

// DISK_GEOMETRY.
struct DiskGeometry {
  int64_t cylinders;
  uint32_t mediaType;
  uint32_t tracksPerCylinder;
  uint32_t sectorsPerTrack;
  uint32_t bytesPerSector;
};
static_assert(sizeof(DiskGeometry) == 24);

// DISK_GEOMETRY_EX (the variable-length data after DiskSize is not asked for).
struct DiskGeometryEx {
  DiskGeometry geometry;
  int64_t diskSize;
  uint8_t data[8];
};
static_assert(sizeof(DiskGeometryEx) == 40);

// GET_LENGTH_INFORMATION.
struct GetLengthInformation {
  int64_t length;
};

// CREATE_DISK.
struct CreateDiskMbr {
  uint32_t signature;
};
struct CreateDiskGpt {
  Guid diskId;
  uint32_t maxPartitionCount;
};
struct CreateDisk {
  uint32_t partitionStyle;
  union {
    CreateDiskMbr mbr;
    CreateDiskGpt gpt;
  };
};
static_assert(sizeof(CreateDisk) == 24);

// PARTITION_INFORMATION_MBR / _GPT / _EX.
struct PartitionInformationMbr {
  uint8_t partitionType;
  uint8_t bootIndicator;
  uint8_t recognizedPartition;
  uint32_t hiddenSectors;
  Guid partitionId;
};
static_assert(sizeof(PartitionInformationMbr) == 24);
struct PartitionInformationGpt {
  Guid partitionType;
  Guid partitionId;
  uint64_t attributes;
  char16_t name[36];
};
static_assert(sizeof(PartitionInformationGpt) == 112);
struct PartitionInformationEx {
  uint32_t partitionStyle;
  int64_t startingOffset;
  int64_t partitionLength;
  uint32_t partitionNumber;
  uint8_t rewritePartition;
  uint8_t isServicePartition;
  union {
    PartitionInformationMbr mbr;
    PartitionInformationGpt gpt;
  };
};
static_assert(sizeof(PartitionInformationEx) == 144);

// DRIVE_LAYOUT_INFORMATION_MBR / _GPT / _EX, followed by partitionCount entries.
struct DriveLayoutInformationMbr {
  uint32_t signature;
  uint32_t checkSum;
};
struct DriveLayoutInformationGpt {
  Guid diskId;
  int64_t startingUsableOffset;
  int64_t usableLength;
  uint32_t maxPartitionCount;
};
struct DriveLayoutInformationEx {
  uint32_t partitionStyle;
  uint32_t partitionCount;
  union {
    DriveLayoutInformationMbr mbr;
    DriveLayoutInformationGpt gpt;
  };
  PartitionInformationEx partitionEntry[1];
};
static_assert(sizeof(DriveLayoutInformationEx) == 192);
// The size of a layout with n entries.
constexpr uint32_t DriveLayoutSize(uint32_t entries) {
  return static_cast<uint32_t>(sizeof(DriveLayoutInformationEx) - sizeof(PartitionInformationEx) +
                               entries * sizeof(PartitionInformationEx));
}

// DeviceIoControl without overlapped I/O.
bool DeviceIoControl(Handle device, uint32_t ioControlCode, const void* inBuffer, uint32_t inBufferSize,
                     void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned);

// DefineDosDeviceW flags.
constexpr uint32_t kDddRawTargetPath = 0x1;
constexpr uint32_t kDddRemoveDefinition = 0x2;
constexpr uint32_t kDddExactMatchOnRemove = 0x4;

// GetDriveTypeW results.
constexpr uint32_t kDriveUnknown = 0;
constexpr uint32_t kDriveNoRootDir = 1;
constexpr uint32_t kDriveRemovable = 2;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kDriveRemote = 4;
constexpr uint32_t kDriveCdrom = 5;
constexpr uint32_t kDriveRamdisk = 6;

// Errors of the volume functions.
constexpr uint32_t kErrorNotAReparsePoint = 4390;
constexpr uint32_t kErrorUnrecognizedVolume = 1005;
constexpr uint32_t kErrorDirNotRoot = 144;
constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorBadLength = 24;

// Every path of a volume ("E:\", "C:\mnt\data\") as a list of null-terminated strings ended by an empty
// one; ERROR_MORE_DATA with *returnLength set when bufferLength (characters) is too small.
bool GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* buffer, uint32_t bufferLength,
                                      uint32_t* returnLength);
// The "\\?\Volume{GUID}\" name of the volume mounted at a root ("E:\") or mounted folder.
bool GetVolumeNameForVolumeMountPointW(const wchar_t* mountPoint, wchar_t* volumeName, uint32_t bufferLength);
bool SetVolumeMountPointW(const wchar_t* mountPoint, const wchar_t* volumeName);
bool DeleteVolumeMountPointW(const wchar_t* mountPoint);
// FindFirstVolumeW / FindNextVolumeW / FindVolumeClose; ERROR_NO_MORE_FILES at the end.
Handle FindFirstVolumeW(wchar_t* volumeName, uint32_t bufferLength);
bool FindNextVolumeW(Handle findVolume, wchar_t* volumeName, uint32_t bufferLength);
bool FindVolumeClose(Handle findVolume);
// The volume's label and file system name ("NTFS"); ERROR_UNRECOGNIZED_VOLUME for a volume without one.
bool GetVolumeInformationW(const wchar_t* rootPathName, wchar_t* volumeName, uint32_t volumeNameSize,
                           uint32_t* serialNumber, uint32_t* maximumComponentLength, uint32_t* fileSystemFlags,
                           wchar_t* fileSystemName, uint32_t fileSystemNameSize);

bool DefineDosDeviceW(uint32_t flags, const wchar_t* deviceName, const wchar_t* targetPath);
// The targets of a DOS device name ("E:" gives "\Device\HarddiskVolume5"), as a list of null-terminated
// strings ended by an empty one; the number of characters stored, 0 on failure.
uint32_t QueryDosDeviceW(const wchar_t* deviceName, wchar_t* targetPath, uint32_t max);
// Bit n set when drive letter 'A' + n exists.
uint32_t GetLogicalDrives();
uint32_t GetDriveTypeW(const wchar_t* rootPathName);

}  // namespace tamber::platform
