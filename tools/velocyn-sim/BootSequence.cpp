#include "BootSequence.h"

#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/sim/SimBootTimeAgent.h"
#include "platform/sim/SimMachine.h"

namespace velocyn::sim_cli {

using namespace tamber;
using core::util::Registry;
namespace regtype = core::util::regtype;

namespace {

// The keys the service flushes at pre-shutdown so that the markers of the session survive power-off.
constexpr core::util::RegistryType kFlushedAtPreShutdown[] = {
    regtype::kService, regtype::kGa, regtype::kNga, regtype::kGuestInfo, regtype::kSystemSetup, regtype::kNodeManager};

unsigned OpenEveryKey() {
  unsigned opened = 0;
  for (core::util::RegistryType type = 0; type < regtype::kCount; ++type) {
    auto key = Registry::Instance()->GetKeyObj(type);
    if (key && key->IsOpen()) ++opened;
  }
  return opened;
}

void LogTunables() {
  core::util::Tunables tunables;
  for (const auto& info : core::util::AllTunables()) {
    Log(LogLevel::Debug, L"velocyn::sim_cli::RunBoot(): Tunable %ws = %u", info.name, tunables.Get(info.id));
  }
}

}  // namespace

BootResult RunBoot(const std::filesystem::path& machine, bool powerCut) {
  platform::sim::Machine::Boot(machine);
  BootResult result;
  Log(LogLevel::Info, L"velocyn::sim_cli::RunBoot(): Machine %S booted", machine.string());
  // The boot-time agent runs before any service.
  auto nga = platform::sim::RunBootTimeAgent();
  if (!nga.role.empty()) {
    Log(LogLevel::Info, L"velocyn::sim_cli::RunBoot(): Boot-time agent: role %S, name %S, status %S", nga.role,
        nga.renamedTo, nga.status);
  }
  result.keysOpened = OpenEveryKey();
  Log(LogLevel::Debug, L"velocyn::sim_cli::RunBoot(): Opened %u of %u agent keys", result.keysOpened,
      static_cast<unsigned>(regtype::kCount));
  LogTunables();
  for (auto type : kFlushedAtPreShutdown) Registry::Instance()->FlushKey(type);
  // Written after the flush: durable only if the boot ends cleanly or the lazy flush comes first.
  result.supportTestPassed = core::util::Support::Instance()->Test();
  Log(LogLevel::Info, L"velocyn::sim_cli::RunBoot(): Boot ends by %ws", powerCut ? L"a power cut" : L"shutdown");
  framework::log::ShutdownLog();
  if (powerCut) {
    platform::sim::Machine::PowerCut();
  } else {
    platform::sim::Machine::Shutdown();
  }
  return result;
}

}  // namespace velocyn::sim_cli
