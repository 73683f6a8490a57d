// The simulated "w32tm": "/resync" asks the time service to synchronise now. The outcome follows the
// machine: the Windows Time service must run; a domain member takes its time from a controller, so with
// controller discovery failing it finds no time data; the fault plan can fail it (SimDomain.h). Texts and
// exit codes are the real tool's for those cases, and the "no time data" case ends with code 0.
#include <exception>
#include <string>

#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kServiceNotActive = 0x80070426;
constexpr uint32_t kRpcServerUnavailable = 0x800706BA;
constexpr uint32_t kInvalidParameter = 0x80070057;
constexpr const char* kSending = "Sending resync command to local computer\r\n";

uint32_t W32tm(ToolContext& context) {
  if (!Machine::IsBooted()) return kRpcServerUnavailable;
  const auto& argv = context.Argv();
  bool resync = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    std::wstring name;
    std::wstring value;
    if (!SplitToolOption(argv[i], &name, &value) || !value.empty()) {
      resync = false;
      break;
    }
    if (name == L"resync") {
      resync = true;
    } else if (name != L"nowait" && name != L"rediscover" && name != L"soft") {
      resync = false;
      break;
    }
  }
  if (!resync) {
    context.Out("The following error occurred: The parameter is incorrect. (0x80070057)\r\n");
    return kInvalidParameter;
  }
  context.Out(kSending);
  if (!IsServiceRunning(L"W32Time")) {
    context.Out("The following error occurred: The service has not been started. (0x80070426)\r\n");
    return kServiceNotActive;
  }
  if (TakeCountedFault("w32tmFails", kRpcServerUnavailable)) {
    context.Out("The following error occurred: The RPC server is unavailable. (0x800706BA)\r\n");
    return kRpcServerUnavailable;
  }
  const bool noController = BootedMachineDomain() && FaultPlan::IsSet("DsGetDcNameFails");
  if (TakeCountedFault("w32tmNoTimeData", 0) || noController) {
    context.Out("The computer did not resync because no time data was available.\r\n");
    return 0;
  }
  context.Out("The command completed successfully.\r\n");
  return 0;
}

}  // namespace

ToolFunction SimW32tmTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return W32tm(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return kRpcServerUnavailable;
    }
  };
}

}  // namespace tamber::platform::sim
