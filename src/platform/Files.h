// File seam: Windows paths ("C:\..."); in the simulated guest they live in the machine directory.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace tamber::platform {

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kFileAppendData = 0x0004;
constexpr uint32_t kFileShareRead = 0x1;
constexpr uint32_t kFileShareWrite = 0x2;
constexpr uint32_t kFileShareDelete = 0x4;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;
constexpr uint32_t kFileAttributeHidden = 0x2;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kFileAttributeReparsePoint = 0x400;
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kMaxPath = 260;

// CreateFileW; INVALID_HANDLE_VALUE on failure.
Handle CreateFile(const wchar_t* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                  uint32_t flagsAndAttributes);
bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition, uint32_t moveMethod);
bool GetFileSizeEx(Handle file, int64_t* size);
bool FlushFileBuffers(Handle file);
bool DeleteFile(const wchar_t* path);
bool CreateDirectory(const wchar_t* path);
bool RemoveDirectory(const wchar_t* path);
bool MoveFileEx(const wchar_t* from, const wchar_t* to, uint32_t flags);
uint32_t GetFileAttributes(const wchar_t* path);
// CopyFileW: the new file takes the security its directory gives new files, not the source's.
bool CopyFile(const wchar_t* from, const wchar_t* to, bool failIfExists);

struct FindData {
  uint32_t attributes = 0;
  uint64_t lastWriteTime = 0;  // FILETIME as 100 ns intervals since 1601
  uint64_t size = 0;
  std::wstring fileName;  // name only, no directory
};
// FindFirstFileW / FindNextFileW / FindClose; the pattern's last component may hold * and ?.
Handle FindFirstFile(const wchar_t* pattern, FindData* data);
bool FindNextFile(Handle find, FindData* data);
bool FindClose(Handle find);

bool GetDiskFreeSpaceEx(const wchar_t* directory, uint64_t* freeBytesAvailableToCaller, uint64_t* totalBytes,
                        uint64_t* totalFreeBytes);

// Full path of this process's executable (GetModuleFileNameW of the main module).
std::wstring GetModuleFileName();

}  // namespace tamber::platform
