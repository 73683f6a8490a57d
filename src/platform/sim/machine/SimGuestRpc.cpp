// The simulated guest's hypervisor is the machine directory's hypervisor side.
#include "platform/GuestRpc.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimCallCounter.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform {
namespace {

class MachineHypervisorTransport : public GuestRpcTransport {
 public:
  GuestRpcError Exchange(std::string_view command, std::string* reply) override {
    reply->clear();
    sim::CountCall(sim::CountedCall::GuestInfo);
    if (!sim::Machine::IsBooted()) return GuestRpcError::kOpen;
    // Fault plan: "GuestRpcUnavailable" makes the channel refuse to open, as outside a virtual machine.
    if (sim::FaultPlan::IsSet("GuestRpcUnavailable")) return GuestRpcError::kOpen;
    guestrpc::SimHypervisor hypervisor(sim::Machine::Directory() / "hypervisor");
    *reply = hypervisor.HandleCommand(command);
    return GuestRpcError::kNone;
  }
};

}  // namespace

GuestRpcTransport& DefaultGuestRpcTransport() {
  static auto* transport = new MachineHypervisorTransport;
  return *transport;
}

// The simulated guest never runs on the real hypervisor's ports.
bool IsRunningUnderHypervisor() { return false; }

// The simulated machine's channel is its hypervisor directory: nothing to explain.
std::string GuestRpcChannelNote() { return {}; }

}  // namespace tamber::platform
