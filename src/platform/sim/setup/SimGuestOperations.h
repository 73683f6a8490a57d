// Programs that the hypervisor side starts inside a running guest through its tools (the management
// side's guest operations), kept with the hypervisor's state in "<machine>/hypervisor/guestops.conf",
// one operation a line: "<variable>\t<value>\t<command line>". An operation waits until the guestinfo
// variable has the value (an empty variable: at once), then its command line is started once, as a
// process of the guest (a simulated tool when one is registered under its name), and it leaves the
// queue. The result goes to the hypervisor's log. The setup thread of each boot runs the queue
// (StartSetupAtBoot, SimSetup.h).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tamber::platform::sim {

struct GuestOperation {
  std::string whenVariable;  // e.g. "clone.CustomizationState"; empty: no condition
  std::string whenValue;     // e.g. "CustomizationBegin"
  std::string commandLine;   // UTF-8, Windows command-line rules
};

// Adds an operation to a machine's queue (the machine may be off or running). False when the
// operation cannot be stored (tabs or line breaks in its fields, an unwritable directory).
bool QueueGuestOperation(const std::filesystem::path& machineDir, const GuestOperation& operation);
std::vector<GuestOperation> PendingGuestOperations(const std::filesystem::path& machineDir);

// One pass over the booted machine's queue: starts every operation whose condition holds and removes
// it. Returns how many were started. Called by the setup thread; tests may call it.
int RunDueGuestOperations();

// The command line that sysprep generalize is started with on a clone: generalize for the out-of-box
// experience, reboot, no user interface, the cached answer file.
std::string SysprepGeneralizeCommandLine();

}  // namespace tamber::platform::sim
