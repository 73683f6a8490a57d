// Files on Windows paths: the Win32 calls themselves.
#include "platform/Files.h"

#include "platform/win32/Win32Api.h"

namespace tamber::platform {

namespace {

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

void CopyFindData(const WIN32_FIND_DATAW& from, FindData* to) {
  to->attributes = from.dwFileAttributes;
  to->lastWriteTime = Join(from.ftLastWriteTime.dwHighDateTime, from.ftLastWriteTime.dwLowDateTime);
  to->size = Join(from.nFileSizeHigh, from.nFileSizeLow);
  to->fileName = from.cFileName;
}

}  // namespace

Handle CreateFile(const wchar_t* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                  uint32_t flagsAndAttributes) {
  return ::CreateFileW(path, access, shareMode, nullptr, disposition, flagsAndAttributes, nullptr);
}

bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition, uint32_t moveMethod) {
  LARGE_INTEGER move{};
  move.QuadPart = distance;
  LARGE_INTEGER position{};
  if (!::SetFilePointerEx(file, move, &position, moveMethod)) return false;
  if (newPosition != nullptr) *newPosition = position.QuadPart;
  return true;
}

bool GetFileSizeEx(Handle file, int64_t* size) {
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file, &length)) return false;
  if (size != nullptr) *size = length.QuadPart;
  return true;
}

bool FlushFileBuffers(Handle file) { return ::FlushFileBuffers(file) != FALSE; }
bool DeleteFile(const wchar_t* path) { return ::DeleteFileW(path) != FALSE; }
bool CreateDirectory(const wchar_t* path) { return ::CreateDirectoryW(path, nullptr) != FALSE; }
bool RemoveDirectory(const wchar_t* path) { return ::RemoveDirectoryW(path) != FALSE; }
bool MoveFileEx(const wchar_t* from, const wchar_t* to, uint32_t flags) {
  return ::MoveFileExW(from, to, flags) != FALSE;
}
uint32_t GetFileAttributes(const wchar_t* path) { return ::GetFileAttributesW(path); }
bool CopyFile(const wchar_t* from, const wchar_t* to, bool failIfExists) {
  return ::CopyFileW(from, to, win32::ToBool(failIfExists)) != FALSE;
}

Handle FindFirstFile(const wchar_t* pattern, FindData* data) {
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileW(pattern, &found);
  if (find != INVALID_HANDLE_VALUE && data != nullptr) CopyFindData(found, data);
  return find;
}

bool FindNextFile(Handle find, FindData* data) {
  WIN32_FIND_DATAW found{};
  if (!::FindNextFileW(find, &found)) return false;
  if (data != nullptr) CopyFindData(found, data);
  return true;
}

bool FindClose(Handle find) { return ::FindClose(find) != FALSE; }

bool GetDiskFreeSpaceEx(const wchar_t* directory, uint64_t* freeBytesAvailableToCaller, uint64_t* totalBytes,
                        uint64_t* totalFreeBytes) {
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  if (!::GetDiskFreeSpaceExW(directory, &available, &total, &free)) return false;
  if (freeBytesAvailableToCaller != nullptr) *freeBytesAvailableToCaller = available.QuadPart;
  if (totalBytes != nullptr) *totalBytes = total.QuadPart;
  if (totalFreeBytes != nullptr) *totalFreeBytes = free.QuadPart;
  return true;
}

std::wstring GetModuleFileName() {
  // The call truncates silently (ERROR_INSUFFICIENT_BUFFER) when the buffer is short: grow and retry.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};  // longer than any Windows path
    path.resize(path.size() * 2);
  }
}

}  // namespace tamber::platform
