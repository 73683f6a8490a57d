// What one boot of a simulated machine runs until the agent's service is there: the log writer and the
// registry layer at work, the way the service uses them at start and at pre-shutdown.
#pragma once

#include <filesystem>

namespace velocyn::sim_cli {

struct BootResult {
  bool supportTestPassed = false;
  unsigned keysOpened = 0;
};

// Boots the machine, runs the sequence, and ends the boot cleanly or by a power cut.
BootResult RunBoot(const std::filesystem::path& machine, bool powerCut);

}  // namespace velocyn::sim_cli
