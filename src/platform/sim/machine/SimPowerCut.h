// Power cuts at a platform call, for torture runs: the fault "PowerCutAtCall=<site>:<n>" cuts the power
// of a process that is one boot of the machine just before the n-th call of that site in the boot
// (counted from 1), before the call has any effect. Sites: "registry-write" (a key created, a value set
// or deleted, a tree deleted), "registry-flush", "file-write", "process-start". The cut happens once:
// the fault is taken from the plan, and "<machine>/run/power.cut" says where it fell, so that whoever
// ran the boot reports a power cut and not a crash. What the registry had not made durable is lost, all
// of it or, when the machine's tornFlushSeed is set, a random part of it per key (see SimRegistry.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tamber::platform::sim {

enum class PowerCutSite { RegistryWrite, RegistryFlush, FileWrite, ProcessStart };

constexpr const char* kPowerCutAtCallFault = "PowerCutAtCall";
constexpr const char* kPowerCutFile = "power.cut";  // in "<machine>/run"

const char* PowerCutSiteName(PowerCutSite site);
std::optional<PowerCutSite> ParsePowerCutSite(const std::string& name);

// Called by the simulated areas at the start of each such call.
void PowerCutPoint(PowerCutSite site);
// A new boot of the machine in machineDir counts afresh; its plan is read now.
void PowerCutBoot(const std::filesystem::path& machineDir);

// Where the power cut of the last boot of a machine fell ("registry-write call 17"), taking the note;
// nothing when its last boot ended otherwise.
std::optional<std::string> TakePowerCutNote(const std::filesystem::path& machineDir);

}  // namespace tamber::platform::sim
