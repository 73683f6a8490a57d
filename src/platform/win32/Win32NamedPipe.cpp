// Named pipes on Windows. Handles are opened for overlapped I/O so that a blocked call can be ended
// from another thread (CancelNamedPipe); each call still completes before it returns, as the seam's
// synchronous semantics promise.
#include <mutex>
#include <set>

#include "platform/NamedPipe.h"
#include "platform/win32/Win32Api.h"

// After <windows.h>, which it needs.
#include <sddl.h>

// The seam keeps the plain name; the wide function is called by its W name.
#undef CreateNamedPipe

namespace tamber::platform {
namespace {

constexpr DWORD kPollSliceMs = 50;
constexpr DWORD kPipeBufferSize = 64 * 1024;
// Full control for LocalSystem and the Administrators group, nobody else; no inherited entries.
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

std::mutex g_cancelLock;
std::set<HANDLE> g_cancelled;

bool IsCancelled(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_cancelLock);
  return g_cancelled.count(handle) > 0;
}

// A handle value can come back after CloseHandle: a new pipe handle starts uncancelled.
void Forget(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_cancelLock);
  g_cancelled.erase(handle);
}

class Overlapped {
 public:
  Overlapped() {
    ZeroMemory(&ov_, sizeof(ov_));
    ov_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Overlapped() {
    if (ov_.hEvent != nullptr) ::CloseHandle(ov_.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool valid() const { return ov_.hEvent != nullptr; }
  OVERLAPPED* get() { return &ov_; }

  // Waits for the pending operation, in slices so that a cancellation is seen.
  bool Complete(HANDLE handle, DWORD* transferred) {
    for (;;) {
      DWORD wait = ::WaitForSingleObject(ov_.hEvent, kPollSliceMs);
      if (wait == WAIT_OBJECT_0) break;
      if (wait != WAIT_TIMEOUT || IsCancelled(handle)) {
        ::CancelIoEx(handle, &ov_);
        ::GetOverlappedResult(handle, &ov_, transferred, TRUE);
        ::SetLastError(ERROR_OPERATION_ABORTED);
        return false;
      }
    }
    return ::GetOverlappedResult(handle, &ov_, transferred, FALSE) != FALSE;
  }

 private:
  OVERLAPPED ov_;
};

bool Fail(DWORD error) {
  ::SetLastError(error);
  return false;
}

}  // namespace

Handle CreateNamedPipe(const wchar_t* name, bool firstInstance) {
  // FILE_FLAG_FIRST_PIPE_INSTANCE is the guarantee; asking whether anyone serves the name first
  // also holds where the flag is not enforced (Wine).
  if (firstInstance && (::WaitNamedPipeW(name, 1) || ::GetLastError() == ERROR_SEM_TIMEOUT)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return InvalidHandleValue();
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
    return InvalidHandleValue();
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  HANDLE pipe = ::CreateNamedPipeW(
      name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES,
      kPipeBufferSize, kPipeBufferSize, 0, &attributes);
  DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  if (pipe == INVALID_HANDLE_VALUE) {
    ::SetLastError(error);
    return InvalidHandleValue();
  }
  Forget(pipe);
  return pipe;
}

bool ConnectNamedPipe(Handle pipe) {
  HANDLE handle = static_cast<HANDLE>(pipe);
  if (IsCancelled(handle)) return Fail(ERROR_OPERATION_ABORTED);
  Overlapped ov;
  if (!ov.valid()) return false;
  if (::ConnectNamedPipe(handle, ov.get())) return true;
  DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return Fail(error);
  DWORD ignored = 0;
  return ov.Complete(handle, &ignored);
}

bool DisconnectNamedPipe(Handle pipe) { return ::DisconnectNamedPipe(static_cast<HANDLE>(pipe)) != FALSE; }

Handle OpenNamedPipe(const wchar_t* name, uint32_t timeoutMs) {
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    HANDLE pipe = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      Forget(pipe);
      return pipe;
    }
    if (::GetLastError() != ERROR_PIPE_BUSY) return InvalidHandleValue();
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    if (timeoutMs != kInfinite && elapsed >= timeoutMs) return InvalidHandleValue();
    const DWORD left = timeoutMs == kInfinite ? NMPWAIT_WAIT_FOREVER : static_cast<DWORD>(timeoutMs - elapsed);
    if (!::WaitNamedPipeW(name, left) && ::GetLastError() != ERROR_PIPE_BUSY) {
      // The last instance went away while we waited; try once more and report what CreateFile says.
      continue;
    }
  }
}

bool ReadNamedPipe(Handle pipe, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) {
  uint32_t ignored = 0;
  if (bytesRead == nullptr) bytesRead = &ignored;
  *bytesRead = 0;
  HANDLE handle = static_cast<HANDLE>(pipe);
  if (IsCancelled(handle)) return Fail(ERROR_OPERATION_ABORTED);
  if (bytesToRead == 0) return true;
  Overlapped ov;
  if (!ov.valid()) return false;
  DWORD count = 0;
  if (!::ReadFile(handle, buffer, bytesToRead, nullptr, ov.get())) {
    DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return Fail(error == ERROR_PIPE_NOT_CONNECTED ? ERROR_BROKEN_PIPE : error);
  }
  if (!ov.Complete(handle, &count)) {
    DWORD error = ::GetLastError();
    return Fail(error == ERROR_PIPE_NOT_CONNECTED ? ERROR_BROKEN_PIPE : error);
  }
  *bytesRead = count;
  return true;
}

bool WriteNamedPipe(Handle pipe, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
  uint32_t ignored = 0;
  if (bytesWritten == nullptr) bytesWritten = &ignored;
  *bytesWritten = 0;
  HANDLE handle = static_cast<HANDLE>(pipe);
  const auto* data = static_cast<const uint8_t*>(buffer);
  while (*bytesWritten < bytesToWrite) {
    if (IsCancelled(handle)) return Fail(ERROR_OPERATION_ABORTED);
    Overlapped ov;
    if (!ov.valid()) return false;
    DWORD count = 0;
    if (!::WriteFile(handle, data + *bytesWritten, bytesToWrite - *bytesWritten, nullptr, ov.get())) {
      DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) return Fail(error == ERROR_NO_DATA ? ERROR_BROKEN_PIPE : error);
    }
    if (!ov.Complete(handle, &count)) {
      DWORD error = ::GetLastError();
      return Fail(error == ERROR_NO_DATA ? ERROR_BROKEN_PIPE : error);
    }
    *bytesWritten += count;
  }
  return true;
}

bool CancelNamedPipe(Handle pipe) {
  HANDLE handle = static_cast<HANDLE>(pipe);
  {
    std::lock_guard<std::mutex> lock(g_cancelLock);
    g_cancelled.insert(handle);
  }
  ::CancelIoEx(handle, nullptr);
  return true;
}

}  // namespace tamber::platform
