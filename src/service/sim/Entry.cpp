// The process entry of the simulated guest's agent: one process is one boot of the machine named by
// VELOCYN_SIM_MACHINE. When the service has stopped the machine is left in a clean state, as the
// next shutdown of a running machine would leave it.
#include <cstdio>

#include "framework/log/LogWriter.h"
#include "platform/Module.h"
#include "platform/sim/machine/SimMachine.h"
#include "service/WinMain.h"

int main() {
  if (!tamber::platform::sim::Machine::EnsureBooted()) {
    std::fprintf(stderr, "tlv-velocyn-ga: VELOCYN_SIM_MACHINE must name a simulated machine directory\n");
    return 2;
  }
  int exitCode = tamber::service::wWinMain(tamber::platform::GetExecutableModule());
  tamber::framework::log::ShutdownLog();
  tamber::platform::sim::Machine::Shutdown();
  return exitCode;
}
