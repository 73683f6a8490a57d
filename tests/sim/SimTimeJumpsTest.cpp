// Machine time that jumps over the moments when the whole guest waits: it must jump to the earliest
// deadline, and never while anything in the guest (or a host process it started) is still working.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber::platform {
namespace {

constexpr uint32_t kHourMs = 3600000;

class SimTimeJumpsTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // Real time: without the jumps an hour-long wait would take an hour.
    sim::SetTimeScale(1.0);
    clockFile_ = sim::Machine::Directory() / "run" / sim::kJumpedTimeFile;
    std::filesystem::create_directories(clockFile_.parent_path());
    sim::StartTimeJumps(clockFile_);
  }
  void TearDown() override {
    sim::StopTimeJumps();
    sim::SetTimeScale(1.0);
    test::GuestTest::TearDown();
  }
  static std::chrono::milliseconds HostSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  std::filesystem::path clockFile_;
};

TEST_F(SimTimeJumpsTest, AnIdleGuestJumpsToItsDeadlineAndPublishesTheJump) {
  Handle event = CreateEvent(true, false, nullptr);
  const uint64_t before = GetTickCount64();
  const uint64_t jumpsBefore = sim::TimeJumpsMade();
  const uint64_t idleBefore = sim::TimeJumpsIdleNs();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, kHourMs), kWaitTimeout);
  EXPECT_GE(GetTickCount64() - before, kHourMs);
  EXPECT_LT(HostSince(start), std::chrono::seconds(10));
  // Counted: the jump, and the real time the guest sat idle before it (some, never more than passed).
  EXPECT_GE(sim::TimeJumpsMade() - jumpsBefore, 1u);
  const uint64_t idleNs = sim::TimeJumpsIdleNs() - idleBefore;
  EXPECT_GT(idleNs, 0u);
  // (The first idle look may have begun up to one look interval before the wait.)
  const auto passed = std::chrono::steady_clock::now() - start + std::chrono::milliseconds(1);
  EXPECT_LE(idleNs, static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(passed).count()));
  // The boot's controller reads the same machine time from the published jumps.
  EXPECT_GE(sim::ReadJumpedMilliseconds(clockFile_).value_or(0), kHourMs - 10000u);

  const uint64_t slept = GetTickCount64();
  Sleep(kHourMs);
  EXPECT_GE(GetTickCount64() - slept, kHourMs);
  EXPECT_LT(HostSince(start), std::chrono::seconds(20));
  CloseHandle(event);

  // The arbiter's own CPU is counted apart (it is the simulator's, not the guest's) once it has stopped.
  const uint64_t arbiterBefore = sim::TimeJumpsCpuNs();
  sim::StopTimeJumps();
  timespec process{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &process);
  EXPECT_GT(sim::TimeJumpsCpuNs(), arbiterBefore);
  EXPECT_LT(sim::TimeJumpsCpuNs(), static_cast<uint64_t>(process.tv_sec) * 1000000000u + process.tv_nsec);
}

TEST_F(SimTimeJumpsTest, TheEarliestDeadlineComesFirst) {
  // A thread that sleeps a minute, then sets the event another waits an hour for: the jump is to the
  // minute, and the event ends the wait long before the hour.
  Handle event = CreateEvent(true, false, nullptr);
  const uint64_t before = GetTickCount64();
  std::thread setter([event] {
    Sleep(60000);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, kHourMs), kWaitObject0);
  const uint64_t waited = GetTickCount64() - before;
  setter.join();
  EXPECT_GE(waited, 60000u);
  EXPECT_LT(waited, kHourMs / 2);
  CloseHandle(event);
}

TEST_F(SimTimeJumpsTest, WorkInProgressHoldsTheClock) {
  // A thread the simulated kernel does not know of, computing for a while before it answers: no jump
  // may time the waiter out meanwhile.
  Handle event = CreateEvent(true, false, nullptr);
  const uint64_t idleBefore = sim::TimeJumpsIdleNs();
  std::thread worker([event] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    volatile uint64_t spin = 0;
    while (std::chrono::steady_clock::now() < until) spin = spin + 1;
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, kHourMs), kWaitObject0);
  worker.join();
  // Its time is work, not idle waiting.
  EXPECT_LT(sim::TimeJumpsIdleNs() - idleBefore, 100000000u);
  CloseHandle(event);
}

TEST_F(SimTimeJumpsTest, AHostProcessHoldsTheClockUntilItEnds) {
  // Its work runs in real time, out of the guest's sight.
  StartupInfo startup{};
  ProcessInformation info;
  const uint64_t toolsBefore = sim::HostChildRealNs();
  ASSERT_TRUE(CreateProcess(L"sleep 0.3", false, kCreateNoWindow, startup, &info));
  const uint64_t before = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(info.process, kHourMs), kWaitObject0);
  EXPECT_LT(GetTickCount64() - before, 60000u);
  CloseHandle(info.thread);
  CloseHandle(info.process);
  // Its real time is the tool's own, counted apart from the agent's.
  const uint64_t toolsNs = sim::HostChildRealNs() - toolsBefore;
  EXPECT_GE(toolsNs, 300000000u);
  EXPECT_LT(toolsNs, 30000000000u);
  // Reaped: the clock is free again.
  Handle event = CreateEvent(true, false, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, kHourMs), kWaitTimeout);
  CloseHandle(event);
}

TEST_F(SimTimeJumpsTest, ASleepThatMayBeStoppedJumpsOverItsSpanAndEndsWhenStopped) {
  // Unstopped: the whole span in one wait, as a sleep.
  const auto start = std::chrono::steady_clock::now();
  uint64_t before = GetTickCount64();
  EXPECT_TRUE(sim::SleepUnlessStopped(kHourMs, [] { return false; }));
  EXPECT_GE(GetTickCount64() - before, kHourMs);
  EXPECT_LT(HostSince(start), std::chrono::seconds(10));

  // Stopped by another guest thread a minute in: it ends then, for a bounded sleep and an endless one.
  for (const uint32_t span : {kHourMs, kInfinite}) {
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
      Sleep(60000);
      stop = true;
      sim::NotifyKernelChange();
    });
    before = GetTickCount64();
    EXPECT_FALSE(sim::SleepUnlessStopped(span, [&stop] { return stop.load(); }));
    const uint64_t slept = GetTickCount64() - before;
    stopper.join();
    EXPECT_GE(slept, 60000u);
    EXPECT_LT(slept, kHourMs / 2);
  }
  // Already stopped: it does not wait at all.
  before = GetTickCount64();
  EXPECT_FALSE(sim::SleepUnlessStopped(kHourMs, [] { return true; }));
  EXPECT_LT(GetTickCount64() - before, 60000u);
}

TEST_F(SimTimeJumpsTest, AJumpToAWaitersDeadlineNotifiesTheConditionItNamed) {
  // A simulated service's timer on a condition of its own: the jump must tell it, or it would sleep
  // on (here without any host time-out of its own to fall back on) past the deadline that came.
  std::mutex mutex;
  std::condition_variable wake;
  const uint64_t deadline = sim::MachineDeadline(kHourMs);
  sim::MachineTimeWait timer(deadline, sim::WakeBy::Deadline, &wake);
  timer.Looked();
  std::unique_lock<std::mutex> lock(mutex);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(wake.wait_for(lock, std::chrono::seconds(30), [&] { return sim::MachineDeadlinePassed(deadline); }));
  EXPECT_LT(HostSince(start), std::chrono::seconds(20));  // told, not timed out
}

TEST_F(SimTimeJumpsTest, AWaiterToldOfAChangeHoldsTheClockUntilItLooks) {
  // A simulated service's timer that has been told of a change but has not looked yet may be about to
  // set an earlier deadline: no jump past it.
  sim::MachineTimeWait timer(sim::kNoMachineDeadline, sim::WakeBy::Changed);
  timer.Looked();
  timer.Changed();
  Handle event = CreateEvent(true, false, nullptr);
  const uint64_t before = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(event, 200), kWaitTimeout);  // 200 ms of real time: no jump
  EXPECT_LT(GetTickCount64() - before, 60000u);
  timer.Looked();
  const uint64_t looked = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(event, kHourMs), kWaitTimeout);
  EXPECT_GE(GetTickCount64() - looked, kHourMs);
  CloseHandle(event);
}

}  // namespace
}  // namespace tamber::platform
