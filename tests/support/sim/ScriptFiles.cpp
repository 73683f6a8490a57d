// Scripts on the simulated guest: shell scripts in the guest's drive, which its process runner starts as
// host processes; the interpreter is a tool of the guest that starts the script it is given.
#include "support/ScriptFiles.h"

#include <sys/stat.h>

#include "common/windows/Handles.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/tools/SimTools.h"
#include "support/LogFiles.h"

namespace tamber::test {
namespace {

constexpr wchar_t kInterpreter[] = L"C:\\Tools\\run-script.exe";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

bool WriteExecutable(const std::wstring& path, const std::string& text) {
  if (!WriteWholeFile(path, text)) return false;
  return ::chmod(platform::sim::HostPath(path).c_str(), 0755) == 0;
}

}  // namespace

std::wstring ScriptExtension() { return L".sh"; }

bool WriteMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode) {
  return WriteExecutable(path, "#!/bin/sh\necho \"ran $1\" > " + Quoted(platform::sim::HostPath(markerPath).string()) +
                                   "\nexit " + std::to_string(exitCode) + "\n");
}

bool WriteWaitingScript(const std::wstring& path, const std::wstring& commandLine) {
  return WriteExecutable(path, "#!/bin/sh\n" + Narrow(commandLine) + "\n");
}

std::wstring InterpreterPath() {
  // The guest's launcher: runs its first argument (a guest path) with the rest, and ends as it does.
  platform::sim::RegisterTool(kInterpreter, [](platform::sim::ToolContext& context) -> uint32_t {
    const auto& argv = context.Argv();
    if (argv.size() < 2) return 2;
    std::wstring commandLine = L"\"" + argv[1] + L"\"";
    for (size_t i = 2; i < argv.size(); ++i) commandLine += L" \"" + argv[i] + L"\"";
    platform::ProcessInformation created;
    if (!platform::CreateProcess(commandLine, false, 0, platform::StartupInfo{}, &created)) return 3;
    common::windows::UniqueHandle process(created.process);
    common::windows::UniqueHandle thread(created.thread);
    platform::WaitForSingleObject(process.get(), platform::kInfinite);
    uint32_t code = 4;
    platform::GetExitCodeProcess(process.get(), &code);
    return code;
  });
  MakeDirectories(L"C:\\Tools");
  WriteWholeFile(kInterpreter, "");
  return kInterpreter;
}

std::wstring InterpretedExtension() { return L".sh"; }

bool WriteInterpretedMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode) {
  return WriteMarkerScript(path, markerPath, exitCode);
}

}  // namespace tamber::test
