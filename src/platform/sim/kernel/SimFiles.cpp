// Files of the simulated guest: C:\ is the machine directory's drive_c. Writes go straight to the
// host file, so a file is durable once written (a power cut of the guest does not undo file data).
// Share modes are not enforced.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/Files.h"
#include "platform/sim/kernel/SimStreams.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/security/SimFileSecurity.h"
#include "platform/sim/storage/SimStorage.h"

namespace tamber::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFileAttributeArchive = 0x20;
constexpr uint32_t kMoveFileReplaceExisting = 0x1;
constexpr uint32_t kMoveFileCopyAllowed = 0x2;
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
const wchar_t kModulePath[] = L"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe";

uint32_t ErrnoToWin32(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return kErrorAccessDenied;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    default:
      return kErrorInvalidFunction;
  }
}

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

// Characters NTFS refuses in a name.
bool HasInvalidNameChars(const std::wstring& path) {
  size_t start = path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
  for (size_t i = start; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*') return true;
    if (c == L':' && i != start + 1) return true;
  }
  return false;
}

// Maps a path for an operation on it: empty with the last error set when it cannot exist.
fs::path MapPath(const wchar_t* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return {};
  }
  std::wstring text(path);
  if (HasInvalidNameChars(text)) {
    SetLastError(kErrorInvalidName);
    return {};
  }
  fs::path host = sim::HostPath(text);
  if (host.empty()) SetLastError(kErrorPathNotFound);
  return host;
}

bool IsDirectory(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// A missing parent directory is ERROR_PATH_NOT_FOUND, a missing leaf ERROR_FILE_NOT_FOUND.
uint32_t MissingError(const fs::path& path) {
  return IsDirectory(path.parent_path()) ? kErrorFileNotFound : kErrorPathNotFound;
}

uint64_t FileTimeOf(const struct stat& info) {
  return kFileTimeUnixEpoch + static_cast<uint64_t>(info.st_mtim.tv_sec) * 10000000ULL +
         static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100;
}

class FileObject : public sim::StreamObject {
 public:
  FileObject(int fd, bool canRead, bool canWrite) : fd_(fd), canRead_(canRead), canWrite_(canWrite) {}
  ~FileObject() override { Close(); }

  void OnLastHandleClosed() override { Close(); }

  bool Read(void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (bytesRead != nullptr) *bytesRead = 0;
    if (fd_ < 0) return Fail(kErrorInvalidHandle);
    if (!canRead_) return Fail(kErrorAccessDenied);
    uint32_t done = 0;
    while (done < bytesToRead) {
      ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, bytesToRead - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(ErrnoToWin32(errno));
      if (n == 0) break;  // end of file: success with fewer bytes
      done += static_cast<uint32_t>(n);
    }
    if (bytesRead != nullptr) *bytesRead = done;
    return true;
  }

  bool Write(const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (bytesWritten != nullptr) *bytesWritten = 0;
    if (fd_ < 0) return Fail(kErrorInvalidHandle);
    if (!canWrite_) return Fail(kErrorAccessDenied);
    uint32_t done = 0;
    while (done < bytesToWrite) {
      ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, bytesToWrite - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (bytesWritten != nullptr) *bytesWritten = done;
        return Fail(ErrnoToWin32(errno));
      }
      done += static_cast<uint32_t>(n);
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return true;
  }

  bool Seek(int64_t distance, int64_t* newPosition, uint32_t method) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0) return Fail(kErrorInvalidHandle);
    int whence = method == kFileBegin     ? SEEK_SET
                 : method == kFileCurrent ? SEEK_CUR
                 : method == kFileEnd     ? SEEK_END
                                          : -1;
    if (whence < 0) return Fail(kErrorInvalidParameter);
    off_t base = whence == SEEK_SET ? 0 : ::lseek(fd_, 0, whence);
    if (base < 0) return Fail(ErrnoToWin32(errno));
    if (static_cast<int64_t>(base) + distance < 0) return Fail(kErrorNegativeSeek);
    off_t result = ::lseek(fd_, static_cast<off_t>(base + distance), SEEK_SET);
    if (result < 0) return Fail(ErrnoToWin32(errno));
    if (newPosition != nullptr) *newPosition = result;
    return true;
  }

  bool Size(int64_t* size) {
    std::lock_guard<std::mutex> guard(mutex_);
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return Fail(kErrorInvalidHandle);
    if (size != nullptr) *size = info.st_size;
    return true;
  }

  bool Flush() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ < 0) return Fail(kErrorInvalidHandle);
    if (!canWrite_) return Fail(kErrorAccessDenied);
    if (::fdatasync(fd_) != 0) return Fail(ErrnoToWin32(errno));
    return true;
  }

 private:
  void Close() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  int fd_;
  bool canRead_;
  bool canWrite_;
};

class FindObject : public sim::KernelObject {
 public:
  bool IsWaitable() const override { return false; }
  std::vector<FindData> entries;
  size_t next = 0;
};

wchar_t FoldChar(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - (L'a' - L'A'));
  if (c < 0x80) return c;
  return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

// Wildcard match without case: '*' any run, '?' any one character.
bool Match(const wchar_t* pattern, size_t patternLength, const std::wstring& name) {
  size_t p = 0, n = 0, starP = SIZE_MAX, starN = 0;
  while (n < name.size()) {
    if (p < patternLength && pattern[p] == L'*') {
      starP = p++;
      starN = n;
    } else if (p < patternLength && (pattern[p] == L'?' || FoldChar(pattern[p]) == FoldChar(name[n]))) {
      ++p, ++n;
    } else if (starP != SIZE_MAX) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < patternLength && pattern[p] == L'*') ++p;
  return p == patternLength;
}

// Windows pattern rules that matter here: "*.*" is everything, and a trailing ".*" may match a name
// without an extension.
bool MatchesPattern(const std::wstring& pattern, const std::wstring& name) {
  if (pattern == L"*.*" || pattern == L"*") return true;
  if (Match(pattern.c_str(), pattern.size(), name)) return true;
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, L".*") == 0) {
    return Match(pattern.c_str(), pattern.size() - 2, name);
  }
  return false;
}

std::wstring UpperName(const std::wstring& name) {
  std::wstring upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), FoldChar);
  return upper;
}

bool FillFindData(const fs::path& path, const std::wstring& name, FindData* data) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  data->fileName = name;
  data->attributes = S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeArchive;
  data->size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
  data->lastWriteTime = FileTimeOf(info);
  return true;
}

}  // namespace

Handle CreateFile(const wchar_t* path, uint32_t access, uint32_t /*shareMode*/, uint32_t disposition,
                  uint32_t /*flagsAndAttributes*/) {
  if (sim::IsDiskDevicePath(path)) return sim::OpenDiskDevice(path, access);  // a disk, by its interface path
  fs::path host = MapPath(path);
  if (host.empty()) return InvalidHandleValue();
  bool canRead = (access & (kGenericRead | kFileReadData)) != 0;
  bool canWrite = (access & (kGenericWrite | kFileWriteData | kFileAppendData)) != 0;
  bool appendOnly = (access & kFileAppendData) != 0 && (access & (kGenericWrite | kFileWriteData)) == 0;

  if (IsDirectory(host)) {
    SetLastError(kErrorAccessDenied);
    return InvalidHandleValue();
  }
  if (!IsDirectory(host.parent_path())) {
    SetLastError(kErrorPathNotFound);
    return InvalidHandleValue();
  }
  bool existed = Exists(host);
  int flags = O_CLOEXEC;
  flags |= canRead && canWrite ? O_RDWR : canWrite ? O_WRONLY : O_RDONLY;
  if (appendOnly) flags |= O_APPEND;
  switch (disposition) {
    case kCreateNew:
      if (existed) {
        SetLastError(kErrorFileExists);
        return InvalidHandleValue();
      }
      flags |= O_CREAT | O_EXCL;
      break;
    case kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case kOpenExisting:
      if (!existed) {
        SetLastError(kErrorFileNotFound);
        return InvalidHandleValue();
      }
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kTruncateExisting:
      if (!canWrite) {
        SetLastError(kErrorInvalidParameter);
        return InvalidHandleValue();
      }
      if (!existed) {
        SetLastError(kErrorFileNotFound);
        return InvalidHandleValue();
      }
      flags |= O_TRUNC;
      break;
    default:
      SetLastError(kErrorInvalidParameter);
      return InvalidHandleValue();
  }
  // The caller's rights: a new entry in the directory, or writing to the file that is there.
  uint32_t denied = existed ? (canWrite || (flags & O_TRUNC) != 0 ? sim::CheckMayWrite(path) : kErrorSuccess)
                            : sim::CheckMayCreate(path, /*directory=*/false);
  if (denied != kErrorSuccess) {
    SetLastError(denied);
    return InvalidHandleValue();
  }
  // A handle without read or write access still needs a descriptor for size queries.
  int fd = ::open(host.c_str(), flags, 0644);
  if (fd < 0) {
    SetLastError(ErrnoToWin32(errno));
    return InvalidHandleValue();
  }
  if (!existed) sim::RecordCreated(path, /*directory=*/false);
  Handle handle = sim::InsertHandle(std::make_shared<FileObject>(fd, canRead, canWrite));
  // CREATE_ALWAYS and OPEN_ALWAYS report an existing file through the last error.
  SetLastError(existed && (disposition == kCreateAlways || disposition == kOpenAlways) ? kErrorAlreadyExists
                                                                                       : kErrorSuccess);
  return handle;
}

bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition, uint32_t moveMethod) {
  auto object = sim::LookupHandleAs<FileObject>(file);
  if (!object) return Fail(kErrorInvalidHandle);
  return object->Seek(distance, newPosition, moveMethod);
}

bool GetFileSizeEx(Handle file, int64_t* size) {
  auto object = sim::LookupHandleAs<FileObject>(file);
  if (!object) return Fail(kErrorInvalidHandle);
  return object->Size(size);
}

bool FlushFileBuffers(Handle file) {
  auto object = sim::LookupHandleAs<FileObject>(file);
  if (!object) return Fail(kErrorInvalidHandle);
  return object->Flush();
}

bool DeleteFile(const wchar_t* path) {
  fs::path host = MapPath(path);
  if (host.empty()) return false;
  if (!Exists(host)) return Fail(MissingError(host));
  if (IsDirectory(host)) return Fail(kErrorAccessDenied);
  if (uint32_t denied = sim::CheckMayDelete(path); denied != kErrorSuccess) return Fail(denied);
  if (::unlink(host.c_str()) != 0) return Fail(ErrnoToWin32(errno));
  sim::RecordDeleted(path);
  return true;
}

bool CreateDirectory(const wchar_t* path) {
  fs::path host = MapPath(path);
  if (host.empty()) return false;
  if (Exists(host)) return Fail(kErrorAlreadyExists);
  if (!IsDirectory(host.parent_path())) return Fail(kErrorPathNotFound);
  if (uint32_t denied = sim::CheckMayCreate(path, /*directory=*/true); denied != kErrorSuccess) return Fail(denied);
  if (::mkdir(host.c_str(), 0755) != 0) return Fail(ErrnoToWin32(errno));
  sim::RecordCreated(path, /*directory=*/true);
  return true;
}

bool RemoveDirectory(const wchar_t* path) {
  fs::path host = MapPath(path);
  if (host.empty()) return false;
  if (!Exists(host)) return Fail(MissingError(host));
  if (!IsDirectory(host)) return Fail(kErrorDirectory);
  if (host == sim::Machine::DriveRoot()) return Fail(kErrorAccessDenied);
  if (::rmdir(host.c_str()) != 0) return Fail(ErrnoToWin32(errno));
  sim::RecordDeleted(path);
  return true;
}

bool MoveFileEx(const wchar_t* from, const wchar_t* to, uint32_t flags) {
  fs::path source = MapPath(from);
  if (source.empty()) return false;
  fs::path target = MapPath(to);
  if (target.empty()) return false;
  if (!Exists(source)) return Fail(MissingError(source));
  if (!IsDirectory(target.parent_path())) return Fail(kErrorPathNotFound);
  if (Exists(target)) {
    // The same file under another case is a rename, not a clash.
    std::error_code ignored;
    bool same = fs::equivalent(source, target, ignored);
    if (!same) {
      if ((flags & kMoveFileReplaceExisting) == 0) return Fail(kErrorAlreadyExists);
      if (IsDirectory(target) || IsDirectory(source)) return Fail(kErrorAccessDenied);
    }
  }
  std::error_code error;
  fs::rename(source, target, error);
  if (error == std::errc::cross_device_link && (flags & kMoveFileCopyAllowed) != 0) {
    error.clear();
    fs::copy(source, target, fs::copy_options::overwrite_existing | fs::copy_options::recursive, error);
    if (!error) fs::remove_all(source, error);
  }
  if (error) return Fail(ErrnoToWin32(error.value()));
  sim::RecordMoved(from, to);
  return true;
}

uint32_t GetFileAttributes(const wchar_t* path) {
  fs::path host = MapPath(path);
  if (host.empty()) return kInvalidFileAttributes;
  struct stat info {};
  if (::stat(host.c_str(), &info) != 0) {
    SetLastError(MissingError(host));
    return kInvalidFileAttributes;
  }
  return S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeArchive;
}

bool CopyFile(const wchar_t* from, const wchar_t* to, bool failIfExists) {
  fs::path source = MapPath(from);
  if (source.empty()) return false;
  fs::path target = MapPath(to);
  if (target.empty()) return false;
  if (!Exists(source)) return Fail(MissingError(source));
  if (IsDirectory(source) || IsDirectory(target)) return Fail(kErrorAccessDenied);
  if (!IsDirectory(target.parent_path())) return Fail(kErrorPathNotFound);
  const bool existed = Exists(target);
  if (existed && failIfExists) return Fail(kErrorFileExists);
  uint32_t denied = existed ? sim::CheckMayWrite(to) : sim::CheckMayCreate(to, /*directory=*/false);
  if (denied != kErrorSuccess) return Fail(denied);
  std::error_code error;
  fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
  if (error) return Fail(ErrnoToWin32(error.value()));
  if (!existed) sim::RecordCreated(to, /*directory=*/false);
  SetLastError(kErrorSuccess);
  return true;
}

Handle FindFirstFile(const wchar_t* pattern, FindData* data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return InvalidHandleValue();
  }
  std::wstring text(pattern);
  size_t slash = text.find_last_of(L"\\/");
  if (slash == std::wstring::npos) {
    SetLastError(kErrorPathNotFound);
    return InvalidHandleValue();
  }
  std::wstring directory = text.substr(0, slash + 1);
  std::wstring leaf = text.substr(slash + 1);
  if (leaf.empty()) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandleValue();
  }
  fs::path host = MapPath(directory.c_str());
  if (host.empty()) return InvalidHandleValue();
  if (!IsDirectory(host)) {
    SetLastError(kErrorPathNotFound);
    return InvalidHandleValue();
  }
  auto find = std::make_shared<FindObject>();
  bool isRoot = host == sim::Machine::DriveRoot();
  std::vector<std::pair<std::wstring, fs::path>> names;
  if (!isRoot) {
    names.emplace_back(L".", host);
    names.emplace_back(L"..", host.parent_path());
  }
  std::error_code error;
  for (fs::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
    names.emplace_back(sim::WidenUtf8(it->path().filename().string()), it->path());
  }
  // NTFS lists a directory in upper-case name order.
  std::sort(names.begin(), names.end(),
            [](const auto& a, const auto& b) { return UpperName(a.first) < UpperName(b.first); });
  for (const auto& [name, path] : names) {
    if (!MatchesPattern(leaf, name)) continue;
    FindData entry;
    if (FillFindData(path, name, &entry)) find->entries.push_back(std::move(entry));
  }
  if (find->entries.empty()) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandleValue();
  }
  *data = find->entries[0];
  find->next = 1;
  SetLastError(kErrorSuccess);
  return sim::InsertHandle(find);
}

bool FindNextFile(Handle find, FindData* data) {
  auto object = sim::LookupHandleAs<FindObject>(find);
  if (!object || data == nullptr) return Fail(kErrorInvalidHandle);
  if (object->next >= object->entries.size()) return Fail(kErrorNoMoreFiles);
  *data = object->entries[object->next++];
  return true;
}

bool FindClose(Handle find) {
  if (!sim::LookupHandleAs<FindObject>(find)) return Fail(kErrorInvalidHandle);
  return CloseHandle(find);
}

bool GetDiskFreeSpaceEx(const wchar_t* directory, uint64_t* freeBytesAvailableToCaller, uint64_t* totalBytes,
                        uint64_t* totalFreeBytes) {
  fs::path host = directory == nullptr ? sim::HostPath(L"C:\\") : MapPath(directory);
  if (host.empty()) return Fail(kErrorPathNotFound);
  if (!IsDirectory(host)) return Fail(Exists(host) ? kErrorDirectory : kErrorPathNotFound);
  struct statvfs info {};
  if (::statvfs(host.c_str(), &info) != 0) return Fail(ErrnoToWin32(errno));
  uint64_t total = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
  uint64_t available = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  uint64_t free = static_cast<uint64_t>(info.f_bfree) * info.f_frsize;
  uint64_t configured = sim::Machine::Config().freeDiskBytes;
  if (configured != 0) {
    available = free = configured;
    total = std::max(total, configured);
  }
  if (freeBytesAvailableToCaller != nullptr) *freeBytesAvailableToCaller = available;
  if (totalBytes != nullptr) *totalBytes = total;
  if (totalFreeBytes != nullptr) *totalFreeBytes = free;
  return true;
}

std::wstring GetModuleFileName() { return kModulePath; }

}  // namespace tamber::platform
