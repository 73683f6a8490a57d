// Stand-in for the sibling desktop agent's service "kdnm", outside this system, from its contract with
// the agent. It runs at the boots where its service starts automatically (a Universalprep clone sets
// that before its snapshot). After the hypervisor's snapshot, which it recognises by the sibling status
// the agent left at its end ("wait for checkpointing", 2, or already "customization after
// checkpointing", 3, from the hypervisor's side) while no operation type has been written, it takes the
// clone over:
//   - as the management side's voice inside a golden image's clone, it reports the checkpoint: the
//     clone's status "postSnapshotting" in the guest variables' registry mirror and the sibling status
//     "customization after checkpointing" (3);
//   - it writes the operation type OPERATION_TYPE under the agent's QuorvelAgent key ("NEW_CLONE").
// Fault plan:
//   kdnm.operation-type=<text>       write this operation type instead ("REFRESH_CLONE", "RESYNC_CLONE",
//                                    anything else); "none" writes none
//   kdnm.operation-type-delay-ms=N   write an empty operation type at once and the type N ms (machine
//                                    time) later
//   kdnm.post-snapshot-status=skip   leave the status and the sibling status as they are
//   kdnm.machine-pwd=1               set its machine password marker MachinePwd = 1 (a refresh that
//                                    restored the machine password)
#pragma once

#include <string>

namespace tamber::platform::sim {

struct SiblingAgentReport {
  bool ran = false;            // the service starts automatically at this boot
  bool afterSnapshot = false;  // the clone was checkpointed since the agent asked for it
  bool statusReported = false;
  std::string operationType;  // written (or to be written late); empty when none
  bool late = false;          // the type comes after the delay
};

// Runs the stand-in on the booted machine, after the boot-time agent and before the agent's service.
SiblingAgentReport RunSiblingAgent();
// Ends a late write that has not happened yet (the boot is ending).
void SiblingAgentEndBoot();

}  // namespace tamber::platform::sim
