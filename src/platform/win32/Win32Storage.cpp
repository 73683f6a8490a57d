// Disk control codes, volume functions, DOS devices and drive letters: the calls themselves. The seam's
// structures are the SDK's, byte for byte, so they pass straight through.
#include "platform/Storage.h"

#include <cstddef>

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Out.h"

// After windows.h.
#include <winioctl.h>

#ifndef IOCTL_DISK_ARE_VOLUMES_READY
#define IOCTL_DISK_ARE_VOLUMES_READY CTL_CODE(IOCTL_DISK_BASE, 0x0087, METHOD_BUFFERED, FILE_READ_ACCESS)
#endif

namespace tamber::platform {

static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX == kIoctlDiskGetDriveGeometryEx);
static_assert(IOCTL_DISK_GET_LENGTH_INFO == kIoctlDiskGetLengthInfo);
static_assert(IOCTL_DISK_CREATE_DISK == kIoctlDiskCreateDisk);
static_assert(IOCTL_DISK_UPDATE_PROPERTIES == kIoctlDiskUpdateProperties);
static_assert(IOCTL_DISK_GET_DRIVE_LAYOUT_EX == kIoctlDiskGetDriveLayoutEx);
static_assert(IOCTL_DISK_SET_DRIVE_LAYOUT_EX == kIoctlDiskSetDriveLayoutEx);
static_assert(IOCTL_DISK_ARE_VOLUMES_READY == kIoctlDiskAreVolumesReady);
static_assert(PARTITION_STYLE_MBR == kPartitionStyleMbr && PARTITION_STYLE_GPT == kPartitionStyleGpt &&
              PARTITION_STYLE_RAW == kPartitionStyleRaw);
static_assert(GPT_BASIC_DATA_ATTRIBUTE_NO_DRIVE_LETTER == kGptBasicDataAttributeNoDriveLetter);
static_assert(PARTITION_IFS == kPartitionIfs && PARTITION_LDM == kPartitionLdm);
static_assert(sizeof(DISK_GEOMETRY) == sizeof(DiskGeometry));
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == offsetof(DiskGeometryEx, diskSize));
static_assert(sizeof(GET_LENGTH_INFORMATION) == sizeof(GetLengthInformation));
static_assert(sizeof(CREATE_DISK) == sizeof(CreateDisk));
static_assert(offsetof(CREATE_DISK_GPT, MaxPartitionCount) == offsetof(CreateDiskGpt, maxPartitionCount));
static_assert(sizeof(PARTITION_INFORMATION_EX) == sizeof(PartitionInformationEx));
static_assert(offsetof(PARTITION_INFORMATION_EX, StartingOffset) == offsetof(PartitionInformationEx, startingOffset));
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionNumber) == offsetof(PartitionInformationEx, partitionNumber));
static_assert(offsetof(PARTITION_INFORMATION_EX, RewritePartition) ==
              offsetof(PartitionInformationEx, rewritePartition));
static_assert(offsetof(PARTITION_INFORMATION_EX, Gpt) == offsetof(PartitionInformationEx, gpt));
static_assert(offsetof(PARTITION_INFORMATION_GPT, Attributes) == offsetof(PartitionInformationGpt, attributes));
static_assert(offsetof(PARTITION_INFORMATION_GPT, Name) == offsetof(PartitionInformationGpt, name));
static_assert(offsetof(PARTITION_INFORMATION_MBR, HiddenSectors) == offsetof(PartitionInformationMbr, hiddenSectors));
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_GPT, MaxPartitionCount) ==
              offsetof(DriveLayoutInformationGpt, maxPartitionCount));
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) ==
              offsetof(DriveLayoutInformationEx, partitionEntry));
static_assert(sizeof(DRIVE_LAYOUT_INFORMATION_EX) == sizeof(DriveLayoutInformationEx));
static_assert(DDD_RAW_TARGET_PATH == kDddRawTargetPath && DDD_REMOVE_DEFINITION == kDddRemoveDefinition &&
              DDD_EXACT_MATCH_ON_REMOVE == kDddExactMatchOnRemove);
static_assert(DRIVE_CDROM == kDriveCdrom && DRIVE_FIXED == kDriveFixed && DRIVE_NO_ROOT_DIR == kDriveNoRootDir);

bool DeviceIoControl(Handle device, uint32_t ioControlCode, const void* inBuffer, uint32_t inBufferSize,
                     void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned) {
  win32::Out<DWORD, uint32_t> returned(bytesReturned);
  return ::DeviceIoControl(device, ioControlCode, const_cast<void*>(inBuffer), inBufferSize, outBuffer, outBufferSize,
                           returned.get(), nullptr) != FALSE;
}

bool GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* buffer, uint32_t bufferLength,
                                      uint32_t* returnLength) {
  win32::Out<DWORD, uint32_t> length(returnLength);
  return ::GetVolumePathNamesForVolumeNameW(volumeName, buffer, bufferLength, length.get()) != FALSE;
}

bool GetVolumeNameForVolumeMountPointW(const wchar_t* mountPoint, wchar_t* volumeName, uint32_t bufferLength) {
  return ::GetVolumeNameForVolumeMountPointW(mountPoint, volumeName, bufferLength) != FALSE;
}

bool SetVolumeMountPointW(const wchar_t* mountPoint, const wchar_t* volumeName) {
  return ::SetVolumeMountPointW(mountPoint, volumeName) != FALSE;
}

bool DeleteVolumeMountPointW(const wchar_t* mountPoint) { return ::DeleteVolumeMountPointW(mountPoint) != FALSE; }

Handle FindFirstVolumeW(wchar_t* volumeName, uint32_t bufferLength) {
  return ::FindFirstVolumeW(volumeName, bufferLength);
}

bool FindNextVolumeW(Handle findVolume, wchar_t* volumeName, uint32_t bufferLength) {
  return ::FindNextVolumeW(findVolume, volumeName, bufferLength) != FALSE;
}

bool FindVolumeClose(Handle findVolume) { return ::FindVolumeClose(findVolume) != FALSE; }

bool GetVolumeInformationW(const wchar_t* rootPathName, wchar_t* volumeName, uint32_t volumeNameSize,
                           uint32_t* serialNumber, uint32_t* maximumComponentLength, uint32_t* fileSystemFlags,
                           wchar_t* fileSystemName, uint32_t fileSystemNameSize) {
  win32::Out<DWORD, uint32_t> serial(serialNumber);
  win32::Out<DWORD, uint32_t> component(maximumComponentLength);
  win32::Out<DWORD, uint32_t> flags(fileSystemFlags);
  return ::GetVolumeInformationW(rootPathName, volumeName, volumeNameSize, serial.get(), component.get(), flags.get(),
                                 fileSystemName, fileSystemNameSize) != FALSE;
}

bool DefineDosDeviceW(uint32_t flags, const wchar_t* deviceName, const wchar_t* targetPath) {
  return ::DefineDosDeviceW(flags, deviceName, targetPath) != FALSE;
}

uint32_t QueryDosDeviceW(const wchar_t* deviceName, wchar_t* targetPath, uint32_t max) {
  return ::QueryDosDeviceW(deviceName, targetPath, max);
}

uint32_t GetLogicalDrives() { return ::GetLogicalDrives(); }

uint32_t GetDriveTypeW(const wchar_t* rootPathName) { return ::GetDriveTypeW(rootPathName); }

}  // namespace tamber::platform
