#include "support/CrashChild.h"

#include <windows.h>

#include <filesystem>

namespace tamber::test {

bool CrashChildrenReport(std::string* /*why*/) { return true; }

std::wstring CrashChildProgramName() { return L"velocyn_crash_child"; }

CrashChildResult RunCrashChild(const std::string& mode, bool holdLogLock) {
  CrashChildResult result;
  wchar_t self[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
  std::filesystem::path program =
      std::filesystem::path(std::wstring(self, length)).parent_path() / VELOCYN_CRASH_CHILD_EXECUTABLE;
  std::wstring commandLine = L"\"" + program.wstring() + L"\" " + std::wstring(mode.begin(), mode.end());
  if (holdLogLock) commandLine += L" --hold-log-lock";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No error dialog for the child's fault: the crash handler ends it.
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  BOOL created =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetErrorMode(previous);
  if (!created) return result;
  result.started = true;
  WaitForSingleObject(process.hProcess, 300000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.endedByFault = (code & 0xC0000000u) == 0xC0000000u || code == 0x40000015u || code == 3;
  result.exitCode = static_cast<int>(code);
  return result;
}

}  // namespace tamber::test
