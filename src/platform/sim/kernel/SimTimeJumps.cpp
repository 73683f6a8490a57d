#include "platform/sim/kernel/SimTimeJumps.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/sim/kernel/SimKernel.h"

namespace tamber::platform::sim {
namespace {

constexpr uint64_t kNotLooked = UINT64_MAX;
// The arbiter looks this often; the guest counts as idle when it used less than kBusyPerLook of CPU
// (a fifth of the interval) in each of kQuietLooks looks in a row (the waiters' own periodic looks
// cost far less). A guest that polls waits this long for each jump, so the interval is short.
constexpr auto kLookInterval = std::chrono::microseconds(250);
// While a host process runs no jump can be made: the arbiter looks far less often (an ending host
// process wakes it at once).
constexpr auto kHostChildLookInterval = std::chrono::milliseconds(20);
constexpr int64_t kBusyPerLookNs = 50000;
constexpr int kQuietLooks = 2;

struct Waiter {
  uint64_t deadline = kNoMachineDeadline;
  WakeBy wakeBy = WakeBy::KernelChange;
  std::condition_variable* wakeOnJump = nullptr;
  uint64_t seenEpoch = kNotLooked;  // for WakeBy::KernelChange the epoch last looked at; else looked or not
};

struct JumpState {
  std::mutex mutex;
  std::unordered_map<uint64_t, Waiter> waiters;
  uint64_t nextId = 1;
  std::atomic<uint64_t> epoch{0};
  std::atomic<int> hostChildren{0};
  std::atomic<bool> enabled{false};
  std::atomic<int> entering{0};  // waiters about to take the lock: they are not idle
  uint64_t version = 0;          // counts every change of the waiters
  bool stop = false;
  std::condition_variable stopWake;  // also told when a host process ends
  std::atomic<int64_t> arbiterCpuNs{0};
  std::atomic<uint64_t> jumps{0};
  std::atomic<uint64_t> idleNs{0};
  std::thread arbiter;
  int clockFd = -1;
};

// When host processes ran (counted with jumps or without). Its mutex also orders the changes of
// JumpState::hostChildren, so that the first start and the last end are seen in turn.
struct HostChildTime {
  std::mutex mutex;
  std::chrono::steady_clock::time_point since;
  std::chrono::nanoseconds total{0};
};

HostChildTime& ChildTime() {
  static auto* time = new HostChildTime;
  return *time;
}

JumpState& State() {
  static auto* state = new JumpState;  // waiters on detached threads may outlive static destructors
  return *state;
}

// The lock as a waiter takes it to change its entry: counted while it waits for it.
class WaiterLock {
 public:
  WaiterLock() : st_(State()) {
    st_.entering.fetch_add(1);
    st_.mutex.lock();
    st_.entering.fetch_sub(1);
  }
  ~WaiterLock() {
    ++st_.version;
    st_.mutex.unlock();
  }
  WaiterLock(const WaiterLock&) = delete;
  WaiterLock& operator=(const WaiterLock&) = delete;
  JumpState& state() { return st_; }

 private:
  JumpState& st_;
};

int64_t CpuNs(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The CPU the guest's threads used: the process's, less the arbiter's own looks.
int64_t GuestCpuNs() { return CpuNs(CLOCK_PROCESS_CPUTIME_ID) - CpuNs(CLOCK_THREAD_CPUTIME_ID); }

// Whether a thread of this process (other than the caller) is running, waits for a processor or waits
// for the host's disk: a thread just started, one the host has not given a processor yet, or one whose
// file write waits for the disk has used no CPU time but is not idle. The threads' stat files stay open
// between looks, so that a look costs one read per thread.
class ThreadLook {
 public:
  ~ThreadLook() {
    for (const auto& [tid, fd] : files_) ::close(fd);
  }

  bool AnotherThreadBusy() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return true;  // cannot tell: do not jump
    const long self = static_cast<long>(::gettid());
    std::map<long, int> seen;
    bool busy = false;
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
      const long tid = std::strtol(entry->d_name, nullptr, 10);
      if (tid == self) continue;
      int fd = Take(tid);
      if (!busy && ThreadBusy(tid, &fd)) busy = true;
      if (fd >= 0) seen.emplace(tid, fd);
    }
    ::closedir(tasks);
    for (const auto& [tid, fd] : files_) ::close(fd);  // threads that have ended
    files_ = std::move(seen);
    return busy;
  }

 private:
  int Take(long tid) {
    auto it = files_.find(tid);
    if (it == files_.end()) return Open(tid);
    const int fd = it->second;
    files_.erase(it);
    return fd;
  }
  static int Open(long tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  // A file kept from a thread that has ended (its number now another thread's) reads nothing: open anew.
  static bool ThreadBusy(long tid, int* fd) {
    char stat[512];
    ssize_t length = *fd >= 0 ? ::pread(*fd, stat, sizeof(stat) - 1, 0) : -1;
    if (length <= 0) {
      if (*fd >= 0) ::close(*fd);
      *fd = Open(tid);
      length = *fd >= 0 ? ::pread(*fd, stat, sizeof(stat) - 1, 0) : -1;
    }
    if (length <= 0) return false;  // the thread has ended
    stat[length] = '\0';
    // "tid (name) S ...": the state follows the last parenthesis (the name may hold one).
    const char* close = std::strrchr(stat, ')');
    return close != nullptr && close[1] == ' ' && (close[2] == 'R' || close[2] == 'D');
  }

  std::map<long, int> files_;
};

void Publish(JumpState& st, uint64_t advanced) {
  if (st.clockFd < 0) return;
  [[maybe_unused]] auto written = ::pwrite(st.clockFd, &advanced, sizeof(advanced), 0);
}

// The deadline to jump to, or 0 when no jump may be made now. Called with the state's lock held.
uint64_t JumpTargetLocked(JumpState& st) {
  if (st.hostChildren.load() > 0 || st.waiters.empty()) return 0;
  const uint64_t epoch = st.epoch.load();
  uint64_t next = kNoMachineDeadline;
  for (const auto& [id, waiter] : st.waiters) {
    // A waiter that has not looked since the last change that may wake it is about to run.
    if (waiter.seenEpoch == kNotLooked) return 0;
    if (waiter.wakeBy == WakeBy::KernelChange && waiter.seenEpoch != epoch) return 0;
    next = std::min(next, waiter.deadline);
  }
  if (next == kNoMachineDeadline || next <= MachineMillisecondsSinceBoot()) return 0;
  return next;
}

uint64_t HostNs(std::chrono::steady_clock::duration span) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(span).count());
}

void ArbiterMain() {
  auto& st = State();
  int64_t lastCpu = GuestCpuNs();
  int quiet = 0;
  ThreadLook threads;
  auto lastLook = std::chrono::steady_clock::now();
  uint64_t idleRun = 0;  // the real time of the idle looks in a row so far: counted when they end in a jump
  std::unique_lock<std::mutex> lock(st.mutex);
  while (!st.stop) {
    st.stopWake.wait_for(lock, st.hostChildren.load() > 0 ? kHostChildLookInterval : kLookInterval);
    if (st.stop) break;
    const auto look = std::chrono::steady_clock::now();
    const int64_t cpu = GuestCpuNs();
    const bool idle = cpu - lastCpu < kBusyPerLookNs;
    quiet = idle ? quiet + 1 : 0;
    lastCpu = cpu;
    const uint64_t target = idle ? JumpTargetLocked(st) : 0;
    // The guest did nothing since the last look but wait for machine time (if the look at its threads
    // agrees, below).
    idleRun = target != 0 ? idleRun + HostNs(look - lastLook) : 0;
    lastLook = look;
    if (quiet < kQuietLooks || target == 0) continue;
    // The look at the threads takes a while: not under the lock, where a waiter that comes or goes
    // would block and pass for idle. Whatever changed meanwhile shows in the version.
    const uint64_t version = st.version;
    lock.unlock();
    const bool busy = threads.AnotherThreadBusy();
    lock.lock();
    if (busy || st.stop || st.version != version || st.entering.load() > 0) {
      idleRun = 0;
      continue;
    }
    const uint64_t now = MachineMillisecondsSinceBoot();
    if (target > now) AdvanceMachineTime(target - now);
    Publish(st, MachineTimeAdvanced());
    ++st.jumps;
    lastLook = std::chrono::steady_clock::now();
    st.idleNs += idleRun + HostNs(lastLook - look);  // and the look at the threads found them idle
    idleRun = 0;
    // Under the lock, so each waiter named here (and its condition) still exists.
    for (const auto& [id, waiter] : st.waiters) {
      if (waiter.wakeOnJump != nullptr && waiter.deadline <= target) waiter.wakeOnJump->notify_all();
    }
    quiet = 0;
    lock.unlock();
    // Through the kernel's lock: a sleeper between its look at the clock and its wait gets the notice too.
    { std::lock_guard<std::mutex> ordered(KernelLock()); }
    NotifyKernelChange();  // the waiters whose deadline came look now (the others within their interval)
    lock.lock();
  }
  st.arbiterCpuNs += CpuNs(CLOCK_THREAD_CPUTIME_ID);
}

}  // namespace

void StartTimeJumps(const std::filesystem::path& clockFile) {
  StopTimeJumps();
  auto& st = State();
  std::lock_guard<std::mutex> guard(st.mutex);
  if (!clockFile.empty()) {
    st.clockFd = ::open(clockFile.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Publish(st, MachineTimeAdvanced());
  }
  st.stop = false;
  st.enabled = true;
  st.arbiter = std::thread(ArbiterMain);
}

void StopTimeJumps() {
  auto& st = State();
  std::thread arbiter;
  {
    std::lock_guard<std::mutex> guard(st.mutex);
    st.stop = true;
    st.enabled = false;
    arbiter = std::move(st.arbiter);
    if (st.clockFd >= 0) ::close(st.clockFd);
    st.clockFd = -1;
  }
  st.stopWake.notify_all();
  if (arbiter.joinable()) arbiter.join();
}

bool TimeJumpsEnabled() { return State().enabled.load(std::memory_order_relaxed); }

void NoteMachineWake() { State().epoch.fetch_add(1); }
void NoteHostChildStarted() {
  auto& time = ChildTime();
  std::lock_guard<std::mutex> guard(time.mutex);
  if (State().hostChildren.fetch_add(1) == 0) time.since = std::chrono::steady_clock::now();
}
void NoteHostChildEnded() {
  {
    auto& time = ChildTime();
    std::lock_guard<std::mutex> guard(time.mutex);
    auto& children = State().hostChildren;
    if (children.load() == 0) return;  // an end without its start changes nothing
    if (children.fetch_sub(1) != 1) return;
    time.total += std::chrono::steady_clock::now() - time.since;
  }
  // Told without the lock: a wake-up lost to a race costs one longer look interval, no more.
  State().stopWake.notify_all();
}

uint64_t HostChildRealNs() {
  auto& time = ChildTime();
  std::lock_guard<std::mutex> guard(time.mutex);
  auto total = time.total;
  if (State().hostChildren.load() > 0) total += std::chrono::steady_clock::now() - time.since;
  return static_cast<uint64_t>(total.count());
}

uint64_t TimeJumpsMade() { return State().jumps.load(); }
uint64_t TimeJumpsIdleNs() { return State().idleNs.load(); }

uint64_t TimeJumpsCpuNs() { return static_cast<uint64_t>(State().arbiterCpuNs.load()); }

MachineTimeWait::MachineTimeWait(uint64_t machineDeadline, WakeBy wakeBy, std::condition_variable* wakeOnJump) {
  if (!TimeJumpsEnabled()) return;
  WaiterLock lock;
  id_ = lock.state().nextId++;
  auto& waiter = lock.state().waiters[id_];
  waiter.deadline = machineDeadline;
  waiter.wakeBy = wakeBy;
  waiter.wakeOnJump = wakeOnJump;
}

MachineTimeWait::~MachineTimeWait() {
  if (id_ == 0) return;
  WaiterLock lock;
  lock.state().waiters.erase(id_);
}

void MachineTimeWait::Looked() {
  if (id_ == 0) return;
  WaiterLock lock;
  lock.state().waiters[id_].seenEpoch = lock.state().epoch.load();
}

void MachineTimeWait::Changed(uint64_t id) {
  if (id == 0) return;
  WaiterLock lock;
  auto it = lock.state().waiters.find(id);
  if (it != lock.state().waiters.end()) it->second.seenEpoch = kNotLooked;
}

void MachineTimeWait::SetDeadline(uint64_t machineDeadline) {
  if (id_ == 0) return;
  WaiterLock lock;
  lock.state().waiters[id_].deadline = machineDeadline;
}

namespace {
// The value only grows: two reads that agree are not torn.
std::optional<uint64_t> ReadPublished(int fd) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    uint64_t first = 0;
    uint64_t second = 1;
    if (::pread(fd, &first, sizeof(first), 0) != static_cast<ssize_t>(sizeof(first))) return std::nullopt;
    if (::pread(fd, &second, sizeof(second), 0) != static_cast<ssize_t>(sizeof(second))) return std::nullopt;
    if (first == second) return first;
  }
  return std::nullopt;
}
}  // namespace

std::optional<uint64_t> ReadJumpedMilliseconds(const std::filesystem::path& clockFile) {
  JumpedTimeReader reader(clockFile);
  return reader.Read();
}

JumpedTimeReader::~JumpedTimeReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<uint64_t> JumpedTimeReader::Read() {
  if (fd_ < 0) fd_ = ::open(clockFile_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return std::nullopt;
  return ReadPublished(fd_);
}

}  // namespace tamber::platform::sim
