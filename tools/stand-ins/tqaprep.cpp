// Stand-in for the sibling desktop agent's helper executable (tqaprep.exe), from its contract with
// the agent: started with "/service", it creates the shutdown event "QX_HELPER_TOOL_SHUTDOWN", serves
// "TemplateHelper", "CloneHelper" and the key vault's "KeyVault" on the machine's message channel,
// sets "QX_HELPER_TOOL_READY" once its handlers are registered, and exits when the shutdown event is
// set.
//
// On the simulated guest a process cannot share named events with the agent's process, so the
// guest's tool at the helper's path starts this program with "--bridge": it then reports ready with
// the line "ready" on standard output and takes the end of standard input as the shutdown signal.
#include <iostream>
#include <string>
#include <thread>

#include "HelperStandIn.h"
#include "StandInHost.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

namespace {

namespace platform = tamber::platform;
namespace standins = tamber::standins;

constexpr const wchar_t* kReadyEventName = L"QX_HELPER_TOOL_READY";
constexpr const wchar_t* kShutdownEventName = L"QX_HELPER_TOOL_SHUTDOWN";

int Usage() {
  std::cerr << "usage: tqaprep /service [--bridge --machine DIR --server-dn DN]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  standins::HostOptions options;
  bool service = false;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "/service") {
      service = true;
    } else if (argument == "--bridge") {
      options.bridge = true;
    } else if (argument == "--machine" && i + 1 < argc) {
      options.machineDir = argv[++i];
    } else if (argument == "--server-dn" && i + 1 < argc) {
      options.serverDn = argv[++i];
      options.serverDnGiven = true;
    } else {
      return Usage();
    }
  }
  if (!service) return Usage();
  if (!standins::PrepareHost(options)) return 3;

  standins::FaultLookup faults = standins::HostFaults(options);
  platform::Handle shutdownEvent = nullptr;
  if (!options.bridge) {
    shutdownEvent = platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, kShutdownEventName);
    if (shutdownEvent == nullptr) return 4;
    // A helper of an earlier start may still hold a signalled event: this start begins clear.
    if (platform::GetLastError() == platform::kErrorAlreadyExists) platform::ResetEvent(shutdownEvent);
  }

  standins::HelperStandIn standIn(standins::HostServerDn(options), standins::HostKeyVaultFile(options), faults);
  standIn.SetPoolReporter(standins::HostPoolReporter(options));
  standIn.SetControllerCheck(standins::HostControllerCheck(options));
  CORE::MessageFrameWork frameWork;
  if (!frameWork.Start()) return 5;
  standIn.Register(frameWork, /*helperQueues=*/!faults("helper.no-handlers"));
  // A helper that was just terminated may still own the channel for a moment: give it time to go.
  bool listening = false;
  for (int attempt = 0; attempt < 50 && !listening; ++attempt) {
    listening = frameWork.Listen(CORE::kLocalChannelName);
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!listening) return 6;

  if (!faults("helper.never-ready")) {
    if (options.bridge) {
      std::cout << "ready" << std::endl;
    } else if (platform::Handle ready = platform::OpenEvent(kReadyEventName)) {
      platform::SetEvent(ready);
      platform::CloseHandle(ready);
    }
  }

  if (options.bridge) {
    std::string line;
    while (std::getline(std::cin, line) && line != "shutdown") {
    }
  } else {
    platform::WaitForSingleObject(shutdownEvent, platform::kInfinite);
  }
  // A helper that hangs on its way out: the agent has to end it.
  while (faults("helper.ignore-shutdown")) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  frameWork.Stop();
  if (shutdownEvent != nullptr) platform::CloseHandle(shutdownEvent);
  return 0;
}
