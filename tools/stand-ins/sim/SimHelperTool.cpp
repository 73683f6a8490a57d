#include "sim/SimHelperTool.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "HelperStandIn.h"
#include "common/util/CommandLine.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "platform/Domain.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::standins {
namespace {

namespace platform = tamber::platform;
using common::windows::UniqueHandle;

constexpr const wchar_t* kHelperPath = L"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin\\tqaprep.exe";
constexpr const wchar_t* kConfigurationKey = L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration";
// What setup runs at specialize when nobody intercepts it; the helper runs it after its own work.
constexpr const wchar_t* kSetupDeployCommand = L"oobe\\windeploy.exe";

// The program's report of the pool it put the template in, written where the sibling agent keeps it.
void WritePoolId(const std::string& poolId) {
  platform::HKey key = nullptr;
  if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kConfigurationKey, platform::kRegOptionNonVolatile,
                               platform::kKeyAllAccess, &key, nullptr) != platform::kErrorSuccess) {
    return;
  }
  auto bytes = common::util::ToUtf16LeBytes(platform::sim::WidenUtf8(poolId));
  platform::RegSetValueEx(key, L"PoolID", platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
  platform::RegFlushKey(key);
  platform::RegCloseKey(key);
}

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
      } else if (line.rfind("pool-id ", 0) == 0) {
        WritePoolId(line.substr(8));
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

// Names the clone in setup's cached answer file, so that the specialize pass gives it that name too.
bool NameInAnswerFile(const std::string& name) {
  const std::filesystem::path file = platform::sim::HostPath(L"C:\\Windows\\Panther\\unattend.xml");
  if (file.empty()) return false;
  std::string text;
  {
    std::ifstream in(file, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string open = "<ComputerName>";
  const std::string close = "</ComputerName>";
  const size_t begin = text.find(open);
  const size_t end = begin == std::string::npos ? std::string::npos : text.find(close, begin);
  if (end == std::string::npos) {
    text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">"
        "<settings pass=\"specialize\"><component name=\"Microsoft-Windows-Shell-Setup\"><ComputerName>" +
        name + "</ComputerName></component></settings></unattend>\n";
  } else {
    text.replace(begin + open.size(), end - begin - open.size(), name);
  }
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// The helper's work when setup runs it at a clone's specialize pass in place of setup's own command:
// the clone gets its own name and its own account in the machine's domain (the answer the management
// side gave it, the guest variable "hostName"), then setup goes on with its own command. On failure
// setup is left where generalize put it.
uint32_t PreSpecialize(platform::sim::ToolContext& context) {
  if (platform::sim::FaultPlan::IsSet("helper.prespecialize-fails")) {
    context.Err("tqaprep: pre-specialize failed\n");
    return 1;
  }
  platform::guestrpc::SimHypervisor hypervisor(platform::sim::Machine::Directory() / "hypervisor");
  const auto name = hypervisor.GetVariable("hostName");
  if (!name || !NameInAnswerFile(*name) ||
      platform::SetComputerNameExA(platform::kComputerNamePhysicalDnsHostname, name->c_str()) !=
          platform::kErrorSuccess) {
    context.Err("tqaprep: the clone has no valid name\n");
    return 2;
  }
  auto view = platform::sim::BootedMachineDomain();
  if (!view) {
    context.Err("tqaprep: the clone is on no domain's network\n");
    return 3;
  }
  std::wstring password = platform::sim::WidenUtf8(platform::sim::NewMachinePassword());
  const uint32_t joined = platform::NetJoinDomain(
      nullptr, platform::sim::WidenUtf8(view->domain.Name()).c_str(), nullptr, nullptr, password.c_str(),
      platform::kNetsetupJoinDomain | platform::kNetsetupDomainJoinIfJoined | platform::kNetsetupMachinePwdPassed |
          platform::kNetsetupJoinWithNewName);
  std::fill(password.begin(), password.end(), L'\0');
  if (joined != platform::kErrorSuccess) {
    context.Err("tqaprep: the domain join failed\n");
    return joined;
  }
  // The clone's node manager talks to the pool through KTQ from now on.
  platform::HKey nodeManager = nullptr;
  if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel\\Node Manager",
                               platform::kRegOptionNonVolatile, platform::kKeyAllAccess, &nodeManager,
                               nullptr) == platform::kErrorSuccess) {
    const uint8_t one[4] = {1, 0, 0, 0};
    platform::RegSetValueEx(nodeManager, L"Use KTQ", platform::kRegDword, one, sizeof one);
    platform::RegCloseKey(nodeManager);
  }
  platform::ProcessInformation info;
  if (!platform::CreateProcess(kSetupDeployCommand, /*inheritHandles=*/false, 0, platform::StartupInfo{}, &info)) {
    return platform::GetLastError();
  }
  UniqueHandle process(info.process), thread(info.thread);
  platform::WaitForSingleObject(process.get(), platform::kInfinite);
  uint32_t exitCode = 1;
  platform::GetExitCodeProcess(process.get(), &exitCode);
  return exitCode;
}

uint32_t RunTool(const std::filesystem::path& hostProgram, platform::sim::ToolContext& context) {
  for (const auto& argument : context.Argv()) {
    if (argument == L"/prespecialize") return PreSpecialize(context);
  }
  return RunHelper(hostProgram, context);
}

}  // namespace

void RegisterSimHelperTool(const std::filesystem::path& hostProgram) {
  platform::sim::RegisterTool(
      kHelperPath, [hostProgram](platform::sim::ToolContext& context) { return RunTool(hostProgram, context); });
}

void UnregisterSimHelperTool() { platform::sim::UnregisterTool(kHelperPath); }

}  // namespace tamber::standins
