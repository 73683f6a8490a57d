// Child processes and pipes: the Win32 calls themselves.
#include "platform/Process.h"

#include <vector>

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Out.h"

namespace tamber::platform {

using win32::Out;
using win32::ToBool;

bool CreatePipe(Handle* readPipe, Handle* writePipe, bool inheritHandles, uint32_t size) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = ToBool(inheritHandles);
  return ::CreatePipe(readPipe, writePipe, &attributes, size) != FALSE;
}

bool CreateProcess(const std::wstring& commandLine, bool inheritHandles, uint32_t creationFlags,
                   const StartupInfo& startup, ProcessInformation* info) {
  // CreateProcessW may write into its command line, so it gets a copy of its own.
  std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
  mutableCommandLine.push_back(L'\0');

  STARTUPINFOW startupInfo{};
  startupInfo.cb = sizeof(startupInfo);
  if (startup.useStdHandles) {
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = startup.stdInput;
    startupInfo.hStdOutput = startup.stdOutput;
    startupInfo.hStdError = startup.stdError;
  }
  PROCESS_INFORMATION created{};
  if (!::CreateProcessW(nullptr, mutableCommandLine.data(), nullptr, nullptr, ToBool(inheritHandles), creationFlags,
                        nullptr, nullptr, &startupInfo, &created)) {
    return false;
  }
  if (info != nullptr) {
    info->process = created.hProcess;
    info->thread = created.hThread;
    info->processId = created.dwProcessId;
    info->threadId = created.dwThreadId;
  } else {
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
  }
  return true;
}

bool PeekNamedPipe(Handle pipe, uint32_t* totalBytesAvailable) {
  Out<DWORD, uint32_t> available(totalBytesAvailable);
  return ::PeekNamedPipe(pipe, nullptr, 0, nullptr, available.get(), nullptr) != FALSE;
}

bool ReadFile(Handle file, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) {
  // Without an OVERLAPPED the count may not be null, whatever the caller passes.
  DWORD count = 0;
  BOOL ok = ::ReadFile(file, buffer, bytesToRead, &count, nullptr);
  if (bytesRead != nullptr) *bytesRead = count;
  return ok != FALSE;
}

bool WriteFile(Handle file, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
  DWORD count = 0;
  BOOL ok = ::WriteFile(file, buffer, bytesToWrite, &count, nullptr);
  if (bytesWritten != nullptr) *bytesWritten = count;
  return ok != FALSE;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
  Out<DWORD, uint32_t> code(exitCode);
  return ::GetExitCodeProcess(process, code.get()) != FALSE;
}

bool TerminateProcess(Handle process, uint32_t exitCode) { return ::TerminateProcess(process, exitCode) != FALSE; }

uint32_t ResumeThread(Handle thread) { return ::ResumeThread(thread); }

Handle CreateJobObject() { return ::CreateJobObjectW(nullptr, nullptr); }

bool SetJobObjectLimitFlags(Handle job, uint32_t limitFlags) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = limitFlags;
  return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) != FALSE;
}

bool AssignProcessToJobObject(Handle job, Handle process) { return ::AssignProcessToJobObject(job, process) != FALSE; }

bool TerminateJobObject(Handle job, uint32_t exitCode) { return ::TerminateJobObject(job, exitCode) != FALSE; }

}  // namespace tamber::platform
