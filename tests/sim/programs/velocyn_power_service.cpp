// A service for the simulated guest that asks for a reboot of its machine as soon as it runs, and stops
// when its pre-shutdown control arrives. Flow tests boot it in place of the agent to see the machine's own
// shutdown reach the service the way Windows delivers it.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Power.h"
#include "platform/ServiceHost.h"
#include "platform/Types.h"
#include "platform/sim/machine/SimMachine.h"

namespace platform = tamber::platform;

namespace {

std::atomic<bool> g_preShutdown{false};
platform::ServiceStatusHandle g_status = nullptr;

void Report(uint32_t state) {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = platform::kServiceAcceptStop | platform::kServiceAcceptPreshutdown;
  platform::SetServiceStatus(g_status, status);
}

uint32_t Handler(uint32_t control, uint32_t, void*, void*) {
  if (control == platform::kServiceControlPreshutdown) {
    Report(platform::kServiceStopPending);
    g_preShutdown = true;
  }
  return 0;
}

void ServiceMain(uint32_t, wchar_t**) {
  g_status = platform::RegisterServiceCtrlHandlerEx(L"", &Handler, nullptr);
  Report(platform::kServiceRunning);
  platform::Handle token = nullptr;
  platform::Luid luid;
  if (platform::OpenProcessToken(platform::kTokenAllAccess, &token) &&
      platform::LookupPrivilegeValue(nullptr, L"SeShutdownPrivilege", &luid)) {
    platform::AdjustTokenPrivilege(token, luid, platform::kSePrivilegeEnabled);
    platform::CloseHandle(token);
  }
  platform::InitiateSystemShutdownEx(nullptr, L"test", 0, /*forceAppsClosed=*/true, /*rebootAfterShutdown=*/true, 0);
  while (!g_preShutdown) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Report(platform::kServiceStopped);
}

}  // namespace

int main() {
  if (!platform::sim::Machine::EnsureBooted()) return 2;
  return platform::StartServiceCtrlDispatcher(L"tlv-velocyn-ga", &ServiceMain) ? 0 : 1;
}
