#include "support/HelperStandIn.h"

#include "platform/sim/machine/SimFaultPlan.h"
#include "sim/SimHelperTool.h"

namespace tamber::test {

std::filesystem::path TestProgramPath(const std::string& name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

void InstallHelperStandIn() { standins::RegisterSimHelperTool(TestProgramPath("tqaprep")); }
void RemoveHelperStandIn() { standins::UnregisterSimHelperTool(); }

void SetStandInFault(const std::string& name, const std::string& value) { platform::sim::FaultPlan::Set(name, value); }
void ClearStandInFault(const std::string& name) { platform::sim::FaultPlan::Set(name, std::nullopt); }

}  // namespace tamber::test
