// Process seam: child processes with inherited pipe handles.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace tamber::platform {

constexpr uint32_t kCreateNoWindow = 0x08000000;
constexpr uint32_t kCreateSuspended = 0x00000004;

// Job object limit: closing the last handle to the job ends every process in it.
constexpr uint32_t kJobObjectLimitKillOnJobClose = 0x00002000;

struct ProcessInformation {
  Handle process = nullptr;
  Handle thread = nullptr;
  uint32_t processId = 0;
  uint32_t threadId = 0;
};

// STARTUPINFO reduced to what the agent sets.
struct StartupInfo {
  bool useStdHandles = false;  // STARTF_USESTDHANDLES
  Handle stdInput = nullptr;
  Handle stdOutput = nullptr;
  Handle stdError = nullptr;
};

// CreatePipe with SECURITY_ATTRIBUTES{no descriptor, bInheritHandle}; size 0 is the default.
bool CreatePipe(Handle* readPipe, Handle* writePipe, bool inheritHandles, uint32_t size);
// CreateProcessW with no application name: the first token of commandLine (Windows splitting
// rules) is the program. The current directory and environment are the caller's.
bool CreateProcess(const std::wstring& commandLine, bool inheritHandles, uint32_t creationFlags,
                   const StartupInfo& startup, ProcessInformation* info);
// Bytes available in the pipe without reading; fails with ERROR_BROKEN_PIPE once the writers are
// gone and the pipe is empty.
bool PeekNamedPipe(Handle pipe, uint32_t* totalBytesAvailable);
bool ReadFile(Handle file, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead);
bool WriteFile(Handle file, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten);
// STILL_ACTIVE while the process runs.
bool GetExitCodeProcess(Handle process, uint32_t* exitCode);
bool TerminateProcess(Handle process, uint32_t exitCode);
// Lets a thread started with CREATE_SUSPENDED run; the previous suspend count, 0xFFFFFFFF on failure.
uint32_t ResumeThread(Handle thread);

// Job objects: a process assigned to a job takes the processes it starts into the job, so a job ends a
// whole process tree. CreateJobObjectW without a name or descriptor; null on failure.
Handle CreateJobObject();
// SetInformationJobObject with JobObjectExtendedLimitInformation holding only these limit flags.
bool SetJobObjectLimitFlags(Handle job, uint32_t limitFlags);
bool AssignProcessToJobObject(Handle job, Handle process);
// Ends every process in the job with the exit code.
bool TerminateJobObject(Handle job, uint32_t exitCode);

}  // namespace tamber::platform
