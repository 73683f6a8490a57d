// The simulated "gpupdate": refreshes computer (and user) policy. A domain member needs a controller to
// read its policies from, so with controller discovery failing the refresh fails; the fault plan can fail
// it too (SimDomain.h). Texts and exit codes are the real tool's for those cases.
#include <exception>
#include <string>

#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kFailed = 1;
constexpr const char* kUpdating = "Updating policy...\r\n\r\n";
constexpr const char* kNoController =
    "The processing of Group Policy failed because of lack of network connectivity to a domain controller. This "
    "may be a transient condition. A success message would be generated once the machine gets connected to the "
    "domain controller and Group Policy has successfully processed. If you do not see a success message for "
    "several hours, then contact your administrator.\r\n\r\n"
    "To diagnose the failure, review the event log or run GPRESULT /H GPReport.html from the command line to "
    "access information about Group Policy results.\r\n";

uint32_t InvalidOption(ToolContext& context, const std::wstring& argument) {
  context.Out("ERROR: Invalid argument/option - '" + NarrowUtf8(argument) +
              "'.\r\nType \"GPUPDATE /?\" for usage.\r\n");
  return kFailed;
}

uint32_t Gpupdate(ToolContext& context) {
  if (!Machine::IsBooted()) return kFailed;
  bool computer = true;
  bool user = true;
  const auto& argv = context.Argv();
  for (size_t i = 1; i < argv.size(); ++i) {
    std::wstring name;
    std::wstring value;
    if (!SplitToolOption(argv[i], &name, &value)) return InvalidOption(context, argv[i]);
    if (name == L"target" && LowerAscii(value) == L"computer") {
      user = false;
    } else if (name == L"target" && LowerAscii(value) == L"user") {
      computer = false;
    } else if (name == L"force" && value.empty()) {
    } else if (name == L"wait" && !value.empty() && value.find_first_not_of(L"-0123456789") == std::wstring::npos) {
    } else {
      return InvalidOption(context, argv[i]);
    }
  }
  context.Out(kUpdating);
  const bool noController = BootedMachineDomain() && FaultPlan::IsSet("DsGetDcNameFails");
  if (TakeCountedFault("gpupdateFails", kFailed) || noController) {
    context.Out(std::string(computer ? "Computer policy" : "User policy") +
                " could not be updated successfully. The following errors were encountered:\r\n\r\n" + kNoController);
    return kFailed;
  }
  if (computer) context.Out("Computer Policy update has completed successfully.\r\n\r\n");
  if (user) context.Out("User Policy update has completed successfully.\r\n\r\n");
  return 0;
}

}  // namespace

ToolFunction SimGpupdateTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return Gpupdate(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return kFailed;
    }
  };
}

}  // namespace tamber::platform::sim
