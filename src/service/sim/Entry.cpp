// The process entry of the simulated guest's agent: one process is one boot of the machine named by
// VELOCYN_SIM_MACHINE. When the service has stopped the machine is left in a clean state, as the
// next shutdown of a running machine would leave it.
#include <cstdio>
#include <cstdlib>

#include "framework/log/LogWriter.h"
#include "platform/Module.h"
#include "platform/sim/machine/SimMachine.h"
#include "service/WinMain.h"
#include "sim/SimHelperTool.h"

int main() {
  if (!tamber::platform::sim::Machine::EnsureBooted()) {
    std::fprintf(stderr, "tlv-velocyn-ga: VELOCYN_SIM_MACHINE must name a simulated machine directory\n");
    return 2;
  }
  // The sibling agent's helper stand-in, when the simulator installed one on this machine.
  if (const char* helper = std::getenv("VELOCYN_SIM_HELPER_PROGRAM"); helper != nullptr && *helper != '\0') {
    tamber::standins::RegisterSimHelperTool(helper);
  }
  int exitCode = tamber::service::wWinMain(tamber::platform::GetExecutableModule());
  tamber::framework::log::ShutdownLog();
  tamber::platform::sim::Machine::Shutdown();
  return exitCode;
}
