#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber::platform {
namespace {

class SimKernelTest : public test::GuestTest {
 protected:
  void TearDown() override {
    sim::SetTimeScale(1.0);
    test::GuestTest::TearDown();
  }
};

TEST_F(SimKernelTest, MachineTimeRunsAtTheScale) {
  sim::SetTimeScale(1000.0);
  uint32_t before = GetTickCount();
  auto hostStart = std::chrono::steady_clock::now();
  Sleep(5000);  // five machine seconds
  auto hostElapsed = std::chrono::steady_clock::now() - hostStart;
  EXPECT_GE(GetTickCount() - before, 5000u);
  EXPECT_LT(hostElapsed, std::chrono::seconds(2));

  Handle event = CreateEvent(true, false, nullptr);
  hostStart = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 150000), kWaitTimeout);  // a 150 s time-out
  EXPECT_LT(std::chrono::steady_clock::now() - hostStart, std::chrono::seconds(5));
  CloseHandle(event);
}

TEST_F(SimKernelTest, AlertableWaitRunsQueuedCallsOnTheWaitingThread) {
  static std::atomic<std::thread::id> ranOn;
  static std::atomic<uintptr_t> parameterSeen;
  std::promise<Handle> threadHandle;
  Handle never = CreateEvent(true, false, nullptr);
  auto waiter = std::async(std::launch::async, [&] {
    threadHandle.set_value(OpenCurrentThread());
    return std::make_pair(WaitForSingleObjectEx(never, kInfinite, /*alertable=*/true), std::this_thread::get_id());
  });
  Handle target = threadHandle.get_future().get();
  ASSERT_TRUE(QueueUserApc(
      [](uintptr_t parameter) {
        parameterSeen = parameter;
        ranOn = std::this_thread::get_id();
      },
      target, 42));
  auto [result, waiterId] = waiter.get();
  EXPECT_EQ(result, kWaitIoCompletion);
  EXPECT_EQ(parameterSeen.load(), 42u);
  EXPECT_EQ(ranOn.load(), waiterId);
  CloseHandle(target);
  CloseHandle(never);
}

TEST_F(SimKernelTest, NonAlertableWaitLeavesCallsQueued) {
  static std::atomic<int> runs;
  runs = 0;
  Handle self = OpenCurrentThread();
  ASSERT_TRUE(QueueUserApc([](uintptr_t) { ++runs; }, self, 0));
  EXPECT_EQ(SleepEx(1, /*alertable=*/false), 0u);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(SleepEx(kInfinite, /*alertable=*/true), kWaitIoCompletion);
  EXPECT_EQ(runs, 1);
  CloseHandle(self);
}

TEST_F(SimKernelTest, NamedEventsAreSharedAndGoWithTheirLastHandle) {
  Handle first = CreateEvent(true, false, L"VelocynTestReady");
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  Handle second = CreateEvent(true, false, L"VelocynTestReady");
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  Handle opened = OpenEvent(L"VelocynTestReady");
  ASSERT_NE(opened, nullptr);
  SetEvent(opened);
  EXPECT_EQ(WaitForSingleObject(first, 0), kWaitObject0);
  CloseHandle(first);
  CloseHandle(second);
  CloseHandle(opened);
  EXPECT_EQ(OpenEvent(L"VelocynTestReady"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(SimKernelTest, HandlesDoNotSurviveABoot) {
  Handle event = CreateEvent(true, true, nullptr);
  auto dir = sim::Machine::Directory();
  sim::Machine::PowerCut();
  sim::Machine::Boot(dir);
  EXPECT_EQ(WaitForSingleObject(event, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(CloseHandle(event));
}

TEST_F(SimKernelTest, LocalTimeFollowsTheMachineBias) {
  auto dir = sim::Machine::Directory();
  auto config = sim::Machine::LoadConfig(dir);
  config.utcBiasMinutes = -60;  // an hour ahead of UTC
  sim::Machine::SaveConfig(dir, config);
  sim::Machine::Shutdown();
  sim::Machine::Boot(dir);
  SystemTime utc{}, local{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  EXPECT_EQ(GetCurrentTimeZoneBias(), -60);
  EXPECT_EQ((local.hour + 24 - utc.hour) % 24, 1);
}

}  // namespace
}  // namespace tamber::platform
