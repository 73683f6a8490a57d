// Basic types and constants shared by both platform backends.
// Values are those of the Windows SDK so that the win32 backend can pass them straight through.
#pragma once

#include <cstdint>

namespace tamber::platform {

// Kernel object handle (event, process, thread, pipe end, file, find handle).
using Handle = void*;
// Registry key handle.
using HKey = void*;

inline Handle InvalidHandleValue() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

// Predefined registry roots, sign-extended as on 64-bit Windows.
inline HKey HKeyLocalMachine() {
  return reinterpret_cast<HKey>(static_cast<intptr_t>(static_cast<int32_t>(0x80000002)));
}
inline HKey HKeyUsers() { return reinterpret_cast<HKey>(static_cast<intptr_t>(static_cast<int32_t>(0x80000003))); }

// Win32 error codes the agent looks at.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorWriteFault = 29;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorEnvvarNotFound = 203;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
constexpr uint32_t kErrorTimeout = 1460;
constexpr uint32_t kErrorKeyDeleted = 1018;
constexpr uint32_t kErrorBadcommandLine = 1639;
constexpr uint32_t kErrorPrivilegeNotHeld = 1314;
constexpr uint32_t kErrorRegistryCorrupt = 1015;
constexpr uint32_t kErrorShutdownInProgress = 1115;

// NTSTATUS results (CNG, LSA): negative values are failures.
using NtStatus = int32_t;
constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001u);
constexpr NtStatus kStatusNotImplemented = static_cast<NtStatus>(0xC0000002u);
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008u);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017u);
constexpr NtStatus kStatusAccessDenied = static_cast<NtStatus>(0xC0000022u);
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023u);
constexpr NtStatus kStatusObjectNameInvalid = static_cast<NtStatus>(0xC0000033u);
constexpr NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034u);
constexpr NtStatus kStatusInsufficientResources = static_cast<NtStatus>(0xC000009Au);
constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BBu);
constexpr NtStatus kStatusInternalError = static_cast<NtStatus>(0xC00000E5u);
constexpr NtStatus kStatusInvalidBufferSize = static_cast<NtStatus>(0xC0000206u);
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225u);
constexpr NtStatus kStatusInvalidSignature = static_cast<NtStatus>(0xC000A000u);

inline bool NtSuccess(NtStatus status) { return status >= 0; }

// Wait results.
constexpr uint32_t kWaitObject0 = 0x00000000;
constexpr uint32_t kWaitAbandoned0 = 0x00000080;
constexpr uint32_t kWaitIoCompletion = 0x000000C0;
constexpr uint32_t kWaitTimeout = 0x00000102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kMaximumWaitObjects = 64;

// Process exit code of a process that has not ended.
constexpr uint32_t kStillActive = 259;

// Last-error value of the calling thread (GetLastError / SetLastError).
uint32_t GetLastError();
void SetLastError(uint32_t error);

// Closes any kernel handle (CloseHandle). False with ERROR_INVALID_HANDLE for an unknown handle.
bool CloseHandle(Handle handle);

uint32_t GetCurrentProcessId();
uint32_t GetCurrentThreadId();

}  // namespace tamber::platform
