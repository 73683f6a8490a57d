// Machine time: tick counts, sleeps and wall time all run at the machine's time scale.
#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimMachine.h"

namespace tamber::platform {
namespace {

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601

// Wall time at boot (host clock), advanced by machine time since then.
std::atomic<int64_t> g_wallAtBootMs{
    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count()};
std::atomic<uint64_t> g_tickAtWallBase{0};

int64_t MachineWallMilliseconds() {
  return g_wallAtBootMs + static_cast<int64_t>(sim::MachineMillisecondsSinceBoot() - g_tickAtWallBase);
}

void ToSystemTime(int64_t unixMs, SystemTime* out) {
  using namespace std::chrono;
  sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(unixMs)));
  year_month_day ymd{day};
  int64_t msOfDay = unixMs - duration_cast<milliseconds>(day.time_since_epoch()).count();
  out->year = static_cast<uint16_t>(static_cast<int>(ymd.year()));
  out->month = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
  out->day = static_cast<uint16_t>(static_cast<unsigned>(ymd.day()));
  out->dayOfWeek = static_cast<uint16_t>(weekday{day}.c_encoding());
  out->hour = static_cast<uint16_t>(msOfDay / 3600000);
  out->minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
  out->second = static_cast<uint16_t>(msOfDay / 1000 % 60);
  out->milliseconds = static_cast<uint16_t>(msOfDay % 1000);
}

}  // namespace

uint32_t GetTickCount() { return static_cast<uint32_t>(sim::MachineMillisecondsSinceBoot()); }
uint64_t GetTickCount64() { return sim::MachineMillisecondsSinceBoot(); }

void Sleep(uint32_t milliseconds) {
  if (milliseconds == kInfinite) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  const uint64_t deadline = sim::MachineDeadline(milliseconds);
  sim::MachineTimeWait timed(deadline, sim::WakeBy::Deadline);
  timed.Looked();  // only its deadline wakes it
  if (!sim::TimeJumpsEnabled()) {
    while (!sim::MachineDeadlinePassed(deadline)) std::this_thread::sleep_until(sim::HostWakeFor(deadline));
    return;
  }
  // On the kernel's condition, which every jump tells: a jump to the deadline ends the sleep at once.
  std::unique_lock<std::mutex> lock(sim::KernelLock());
  while (!sim::MachineDeadlinePassed(deadline)) sim::WaitKernelChange(lock, sim::HostWakeFor(deadline));
}

void GetSystemTime(SystemTime* utc) { ToSystemTime(MachineWallMilliseconds(), utc); }

void GetLocalTime(SystemTime* local) {
  ToSystemTime(MachineWallMilliseconds() - static_cast<int64_t>(GetCurrentTimeZoneBias()) * 60000, local);
}

int32_t GetCurrentTimeZoneBias() { return sim::Machine::IsBooted() ? sim::Machine::Config().utcBiasMinutes : 0; }

uint64_t GetSystemTimeAsFileTime() {
  return kFileTimeUnixEpoch + static_cast<uint64_t>(MachineWallMilliseconds()) * 10000;
}

namespace sim {
namespace {
// A stop that came true between its look and the wait (its notice was missed) is seen within this.
constexpr auto kStopLookInterval = std::chrono::milliseconds(20);
}  // namespace

bool SleepUnlessStopped(uint32_t machineMilliseconds, const std::function<bool()>& stop) {
  const uint64_t deadline = MachineDeadline(machineMilliseconds);
  MachineTimeWait timed(deadline);
  for (;;) {
    timed.Looked();  // before stop(): a change after this look holds off any jump until the next one
    if (stop()) return false;
    if (MachineDeadlinePassed(deadline)) return true;
    std::unique_lock<std::mutex> lock(KernelLock());
    WaitKernelChange(lock, std::min(HostWakeFor(deadline), std::chrono::steady_clock::now() + kStopLookInterval));
  }
}

// Called at boot: the wall clock continues from the host's time at that moment.
void ResetWallClock(int64_t wallOffsetMs) {
  g_wallAtBootMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count() +
      wallOffsetMs;
  g_tickAtWallBase = MachineMillisecondsSinceBoot();
}
}  // namespace sim

}  // namespace tamber::platform
