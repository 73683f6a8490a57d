#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "common/dispatcher/WaitableManager.h"
#include "support/TestEnvironment.h"

namespace tamber::common::dispatcher {
namespace {

using test::LogCapture;

class DispatcherTest : public test::GuestTest {
 protected:
  std::shared_ptr<WaitableManagerWin32> manager_ = std::make_shared<WaitableManagerWin32>();

  // An event with a callback that counts its dispatches.
  std::shared_ptr<EventWrapperWin32> CountedEvent(const wchar_t* name, bool manualReset, std::atomic<int>& count) {
    auto event = std::make_shared<EventWrapperWin32>(name, manualReset, false);
    event->Callbacks().connect([&count](std::shared_ptr<Waitable>) { ++count; });
    return event;
  }
};

TEST_F(DispatcherTest, SingleHandleWaitDispatchesOnlyWhenSignalled) {
  std::atomic<int> fired{0};
  auto event = CountedEvent(L"Single", /*manualReset=*/true, fired);
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->IsSignaled());
  EXPECT_EQ(fired, 0);

  event->SetEvent();
  EXPECT_TRUE(event->IsSignaled());
  EXPECT_EQ(fired, 0) << "IsSignaled never dispatches";
  EXPECT_TRUE(event->Wait(0));
  EXPECT_EQ(fired, 1);
  event->ResetEvent();
  EXPECT_FALSE(event->Wait(10));
}

TEST_F(DispatcherTest, NameShowsLabelAndHandle) {
  auto event = std::make_shared<EventWrapperWin32>(L"KtiServiceStopEvent", true, false);
  std::wstring name = event->GetName();
  EXPECT_EQ(name.rfind(L"KtiServiceStopEvent (0x", 0), 0u) << std::string(name.begin(), name.end());
  EXPECT_EQ(name.back(), L')');
}

TEST_F(DispatcherTest, FreshManagerTimesOut) {
  EXPECT_FALSE(manager_->WaitAndDispatch(20));
  EXPECT_EQ(manager_->SizeForTest(), 1u);
}

TEST_F(DispatcherTest, DuplicateAddIsLoggedAndIgnored) {
  LogCapture log;
  std::atomic<int> fired{0};
  auto event = CountedEvent(L"Dup", true, fired);
  manager_->AddWaitableHandle(event);
  manager_->AddWaitableHandle(event);
  EXPECT_EQ(manager_->SizeForTest(), 2u);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"AddWaitableHandle(): Duplicate waitable for event Dup (0x"));
}

TEST_F(DispatcherTest, EarlierRegisteredManualEventWinsUntilReset) {
  std::atomic<int> first{0}, second{0};
  auto a = CountedEvent(L"A", true, first);
  auto b = CountedEvent(L"B", true, second);
  manager_->AddWaitableHandle(a);
  manager_->AddWaitableHandle(b);
  ASSERT_TRUE(manager_->WaitAndDispatch(0));  // the internal event set by the adds
  a->SetEvent();
  b->SetEvent();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 0);
  a->ResetEvent();
  ASSERT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(second, 1);
}

TEST_F(DispatcherTest, AutoResetEventIsConsumedByTheWait) {
  std::atomic<int> fired{0};
  auto event = CountedEvent(L"Auto", /*manualReset=*/false, fired);
  manager_->AddWaitableHandle(event);
  manager_->WaitAndDispatch(0);  // internal event
  event->SetEvent();
  EXPECT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_FALSE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(fired, 1);
}

TEST_F(DispatcherTest, AddWakesAForeverWaitAndNextWaitSeesTheNewHandle) {
  auto waiting = std::async(std::launch::async, [this] { return manager_->WaitAndDispatch(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::atomic<int> fired{0};
  auto event = CountedEvent(L"Late", true, fired);
  event->SetEvent();
  manager_->AddWaitableHandle(event);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(fired, 0) << "the wake-up is the internal event";
  EXPECT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(fired, 1);
}

TEST_F(DispatcherTest, WaitableWithoutUserCallbacksLeavesTheSetAfterDispatch) {
  LogCapture log;
  auto bare = std::make_shared<EventWrapperWin32>(L"Bare", true, true);
  manager_->AddWaitableHandle(bare);
  manager_->WaitAndDispatch(0);  // internal
  EXPECT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(manager_->SizeForTest(), 1u);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"UpdateCallback(): Removing callback for event Bare"));
  EXPECT_FALSE(manager_->WaitAndDispatch(0));
}

TEST_F(DispatcherTest, CallbacksRunOutsideTheLockAndMayChangeTheSet) {
  std::atomic<int> fired{0};
  auto other = CountedEvent(L"AddedByCallback", true, fired);
  auto event = std::make_shared<EventWrapperWin32>(L"Adder", /*manualReset=*/false, true);
  event->Callbacks().connect([this, other](std::shared_ptr<Waitable>) { manager_->AddWaitableHandle(other); });
  manager_->AddWaitableHandle(event);
  manager_->WaitAndDispatch(0);  // internal
  EXPECT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(manager_->SizeForTest(), 3u);
}

TEST_F(DispatcherTest, RemovingAnUnknownWaitableChangesNothing) {
  LogCapture log;
  auto stranger = std::make_shared<EventWrapperWin32>(L"Stranger", true, false);
  manager_->Remove(stranger);
  EXPECT_EQ(manager_->SizeForTest(), 1u);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"Remove(): Could not remove waitable 0x"));
}

// Remove takes the manager's slot off the waitable: a dispatch that happens anyway (one already under
// way, or another owner's) does not put it back, and a waitable added again counts its callbacks afresh.
TEST_F(DispatcherTest, RemovedWaitableStaysRemovedAndComesBackClean) {
  std::atomic<int> fired{0};
  auto event = CountedEvent(L"Removed", /*manualReset=*/true, fired);
  manager_->AddWaitableHandle(event);
  EXPECT_EQ(manager_->SizeForTest(), 2u);
  manager_->Remove(event);
  EXPECT_EQ(manager_->SizeForTest(), 1u);
  event->Dispatch(event);
  EXPECT_EQ(fired.load(), 1);
  EXPECT_EQ(manager_->SizeForTest(), 1u) << "the dispatch put the removed waitable back";

  // Without a user callback a waitable is dropped at its first dispatch, also after a remove and re-add.
  auto bare = std::make_shared<EventWrapperWin32>(L"BareAgain", /*manualReset=*/true, /*initialState=*/true);
  manager_->AddWaitableHandle(bare);
  manager_->Remove(bare);
  manager_->AddWaitableHandle(bare);
  manager_->WaitAndDispatch(0);  // internal
  EXPECT_TRUE(manager_->WaitAndDispatch(0));
  EXPECT_EQ(manager_->SizeForTest(), 1u) << "an old slot of the manager counted as a user's callback";
}

TEST_F(DispatcherTest, MoreThanSixtyFourHandlesMakeEveryWaitFail) {
  LogCapture log;
  std::vector<std::shared_ptr<EventWrapperWin32>> events;
  std::atomic<int> fired{0};
  for (int i = 0; i < 64; ++i) {
    events.push_back(CountedEvent(L"Many", true, fired));
    manager_->AddWaitableHandle(events.back());
  }
  EXPECT_EQ(manager_->SizeForTest(), 65u);
  EXPECT_FALSE(manager_->WaitAndDispatch(0));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"WaitAndDispatch(): Failed"));
}

TEST_F(DispatcherTest, ManagerMayGoBeforeItsWaitables) {
  auto event = std::make_shared<EventWrapperWin32>(L"Outlives", true, true);
  manager_->AddWaitableHandle(event);
  manager_.reset();
  EXPECT_TRUE(event->Wait(0)) << "the manager's slot must not dangle";
}

}  // namespace
}  // namespace tamber::common::dispatcher
