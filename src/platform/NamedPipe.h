// Named pipe seam: the local message channel between processes of one machine. Semantics are those
// of the Win32 named pipe calls (byte mode, duplex, unlimited instances), with the blocking calls made
// cancellable so that a framework can stop its own threads.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

constexpr uint32_t kErrorPipeBusy = 231;
constexpr uint32_t kErrorPipeConnected = 535;
constexpr uint32_t kErrorPipeNotConnected = 233;
constexpr uint32_t kErrorOperationAborted = 995;

// CreateNamedPipeW("\\.\pipe\<name>", PIPE_ACCESS_DUPLEX, byte mode, unlimited instances) with a
// security descriptor that lets only SYSTEM and Administrators in, and remote clients refused. One
// call makes one server instance; firstInstance (FILE_FLAG_FIRST_PIPE_INSTANCE) fails with
// ERROR_ACCESS_DENIED when the name is already served, so nobody can sit on our name before us.
// INVALID_HANDLE_VALUE on failure (last error set). On the simulated guest the instances share a
// Unix-domain socket of mode 0600 under "<machine>/pipes/", and another process's name is always taken.
Handle CreateNamedPipe(const wchar_t* name, bool firstInstance);
// ConnectNamedPipe: blocks until a client connects to this instance (ERROR_PIPE_CONNECTED counts as
// success). Fails with ERROR_OPERATION_ABORTED after CancelNamedPipe.
bool ConnectNamedPipe(Handle pipe);
// DisconnectNamedPipe: drops the client so that the instance can be connected again.
bool DisconnectNamedPipe(Handle pipe);
// CreateFileW("\\.\pipe\<name>", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), retried through
// WaitNamedPipe while every instance is busy, for up to timeoutMs. INVALID_HANDLE_VALUE on failure
// (ERROR_FILE_NOT_FOUND when nobody serves the name).
Handle OpenNamedPipe(const wchar_t* name, uint32_t timeoutMs);
// ReadFile / WriteFile on a pipe handle of either end. A read returns what is available (at least one
// byte) and fails with ERROR_BROKEN_PIPE when the other end is gone; a write writes everything.
// Both fail with ERROR_OPERATION_ABORTED after CancelNamedPipe.
bool ReadNamedPipe(Handle pipe, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead);
bool WriteNamedPipe(Handle pipe, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten);
// CancelIoEx for every thread: blocked and later calls on the handle fail with ERROR_OPERATION_ABORTED.
// The handle must still be closed with CloseHandle.
bool CancelNamedPipe(Handle pipe);

}  // namespace tamber::platform
