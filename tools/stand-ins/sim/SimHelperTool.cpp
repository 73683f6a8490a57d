#include "sim/SimHelperTool.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "HelperStandIn.h"
#include "common/util/CommandLine.h"
#include "common/windows/Handles.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::standins {
namespace {

namespace platform = tamber::platform;
using common::windows::UniqueHandle;

constexpr const wchar_t* kHelperPath = L"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin\\tqaprep.exe";

// Reads the program's standard output; the line "ready" sets the ready event.
void ReadReports(platform::Handle output) {
  std::string pending;
  char buffer[256];
  uint32_t count = 0;
  while (platform::ReadFile(output, buffer, sizeof(buffer), &count) && count > 0) {
    pending.append(buffer, count);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line == "ready") {
        UniqueHandle ready(platform::OpenEvent(L"QX_HELPER_TOOL_READY"));
        if (ready) platform::SetEvent(ready.get());
      }
    }
  }
}

uint32_t RunHelper(const std::filesystem::path& hostProgram, platform::sim::ToolContext& context) {
  UniqueHandle shutdown(
      platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, L"QX_HELPER_TOOL_SHUTDOWN"));
  if (!shutdown) return platform::GetLastError();
  // A helper of an earlier start may still hold a signalled event: this start begins clear.
  if (platform::GetLastError() == platform::kErrorAlreadyExists) platform::ResetEvent(shutdown.get());

  platform::Handle inputRead = nullptr, inputWrite = nullptr, outputRead = nullptr, outputWrite = nullptr;
  if (!platform::CreatePipe(&inputRead, &inputWrite, /*inheritHandles=*/true, 0)) return platform::GetLastError();
  UniqueHandle childInput(inputRead), input(inputWrite);
  if (!platform::CreatePipe(&outputRead, &outputWrite, /*inheritHandles=*/true, 0)) return platform::GetLastError();
  UniqueHandle output(outputRead), childOutput(outputWrite);

  std::wstring commandLine = common::util::QuoteCommandLineArgument(hostProgram.wstring()) +
                             L" /service --bridge --machine " +
                             common::util::QuoteCommandLineArgument(platform::sim::Machine::Directory().wstring()) +
                             L" --server-dn " + common::util::QuoteCommandLineArgument(ReadServerDn());
  platform::StartupInfo startup;
  startup.useStdHandles = true;
  startup.stdInput = childInput.get();
  startup.stdOutput = childOutput.get();
  platform::ProcessInformation info;
  if (!platform::CreateProcess(commandLine, /*inheritHandles=*/true, 0, startup, &info)) {
    return platform::GetLastError();
  }
  UniqueHandle process(info.process), thread(info.thread);
  childInput.reset();
  childOutput.reset();
  std::thread reader(ReadReports, output.get());

  bool shutdownPassed = false;
  for (;;) {
    if (context.Terminated()) {
      platform::TerminateProcess(process.get(), 1);
      platform::WaitForSingleObject(process.get(), platform::kInfinite);
      break;
    }
    if (platform::WaitForSingleObject(process.get(), 0) == platform::kWaitObject0) break;
    if (!shutdownPassed && platform::WaitForSingleObject(shutdown.get(), 0) == platform::kWaitObject0) {
      input.reset();  // end of input: the program's shutdown signal
      shutdownPassed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reader.join();
  uint32_t exitCode = 0;
  platform::GetExitCodeProcess(process.get(), &exitCode);
  return exitCode;
}

}  // namespace

void RegisterSimHelperTool(const std::filesystem::path& hostProgram) {
  platform::sim::RegisterTool(
      kHelperPath, [hostProgram](platform::sim::ToolContext& context) { return RunHelper(hostProgram, context); });
}

void UnregisterSimHelperTool() { platform::sim::UnregisterTool(kHelperPath); }

}  // namespace tamber::standins
