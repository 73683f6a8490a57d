// Machine time that jumps: when nothing in the simulated guest is running, machine time moves at once to
// the next deadline that something waits for, so a boot costs only its real work. Between jumps machine
// time runs at its scale, as it always does.
//
// Every wait for a machine-time deadline (kernel waits, sleeps, the simulated services' own timers)
// registers itself with a `MachineTimeWait`. A jump is made only when all of these hold for a few host
// milliseconds: the process uses no CPU to speak of and no other thread of it is runnable or waits for
// the disk, every
// registered waiter has looked at the state of the guest since its last change (a wake-up in flight is
// still work), no registered deadline has passed, and no host process started by the guest is alive (its
// work happens in real time, out of our sight).
// The jumps made are published in the machine's run folder, so the boot's controller reads the same
// machine time as the guest.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tamber::platform::sim {

// A boot started with this variable set to "1" jumps; the jumps are published in "<machine>/run/clock".
constexpr const char* kTimeJumpsVariable = "VELOCYN_SIM_TIME_JUMPS";
constexpr const char* kJumpedTimeFile = "clock";

// Starts jumping for this boot; clockFile receives the machine time jumped over so far. Empty: none.
void StartTimeJumps(const std::filesystem::path& clockFile);
void StopTimeJumps();
bool TimeJumpsEnabled();

// Something in the guest changed that a waiter may be waiting for: no jump until every waiter has looked.
void NoteMachineWake();
// A host process started by the guest is running (no jumps) or has ended.
void NoteHostChildStarted();
void NoteHostChildEnded();
// The real time during which at least one host process started by the guest was running, in this
// process so far: the external tools' own time, which the agent's cost per boot leaves out.
uint64_t HostChildRealNs();
// The jumps made in this process so far, and the real time during which the whole guest was idle
// waiting for machine time meanwhile, as the arbiter saw it (every waiter waiting for a deadline and
// the process using no CPU to speak of): the waits the jumps shorten, not work.
uint64_t TimeJumpsMade();
uint64_t TimeJumpsIdleNs();
// The CPU time the jumps' own bookkeeping (its arbiter thread) has used in this process so far: the
// simulator's, not the guest's.
uint64_t TimeJumpsCpuNs();

// What besides its deadline may wake a waiter, and so must be looked at before machine time jumps.
enum class WakeBy {
  KernelChange,  // any change of a kernel object (NoteMachineWake)
  Deadline,      // only its deadline (a sleep)
  Changed,       // its owner's own changes, announced with Changed()
};

// One waiter for a machine-time deadline (kNoMachineDeadline: none). Call Looked() each time the waiter
// has examined what it waits for and is about to sleep again. A waiter that sleeps on a condition of its
// own names it as wakeOnJump: a jump to its deadline notifies it at once (it must outlive the waiter).
// Waiters on the kernel's condition need not: every jump is a kernel change.
class MachineTimeWait {
 public:
  explicit MachineTimeWait(uint64_t machineDeadline, WakeBy wakeBy = WakeBy::KernelChange,
                           std::condition_variable* wakeOnJump = nullptr);
  ~MachineTimeWait();
  MachineTimeWait(const MachineTimeWait&) = delete;
  MachineTimeWait& operator=(const MachineTimeWait&) = delete;
  void Looked();
  void SetDeadline(uint64_t machineDeadline);
  // Something this waiter waits for changed: no jump until it has looked again. By id, for another
  // thread that may call it after the wait has ended (then it does nothing); id 0 is no waiter.
  void Changed() { Changed(id_); }
  static void Changed(uint64_t id);
  uint64_t Id() const { return id_; }

 private:
  uint64_t id_ = 0;
};

// The machine time a boot's guest has jumped over, as published in clockFile (nullopt: not published).
std::optional<uint64_t> ReadJumpedMilliseconds(const std::filesystem::path& clockFile);

// The same for a reader that asks often (the boot's controller): the file stays open once it exists.
class JumpedTimeReader {
 public:
  explicit JumpedTimeReader(std::filesystem::path clockFile) : clockFile_(std::move(clockFile)) {}
  ~JumpedTimeReader();
  JumpedTimeReader(const JumpedTimeReader&) = delete;
  JumpedTimeReader& operator=(const JumpedTimeReader&) = delete;
  std::optional<uint64_t> Read();

 private:
  std::filesystem::path clockFile_;
  int fd_ = -1;
};

}  // namespace tamber::platform::sim
