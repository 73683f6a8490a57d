// The hypervisor side's part when a clone asks for its snapshot: the clone reported "snapshotting" and its
// guest has shut down. The snapshot is taken (the disk's registry hives are kept with the hypervisor's own
// state, under "<machine>/hypervisor/snapshot"), the role's status becomes "postSnapshotting", and the
// sibling desktop agent's notice that customization goes on after the checkpoint (NotifyHaldenStatusValue
// 3 in the agent's service key) is in place for the start that follows, as the post-snapshot start of a
// Sysprep or Universalprep clone expects. Powering the clone on is the caller's next boot.
#pragma once

#include <filesystem>
#include <string>

namespace velocyn::sim_cli {

// The status a clone reports when it waits for its snapshot, and the one it is given after it.
inline constexpr const char* kSnapshottingStatus = "snapshotting";
inline constexpr const char* kPostSnapshottingStatus = "postSnapshotting";

// role: the prefix of the status variable ("clone"). Empty on success, else what went wrong. The machine
// must be off; holds the in-process machine lock while it writes the guest's registry.
std::string SnapshotAndPowerCycle(const std::filesystem::path& machine, const std::string& role);

}  // namespace velocyn::sim_cli
