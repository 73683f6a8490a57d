// Service against a service of the test's own: Wine's real service control manager in the Wine tier,
// the simulated one natively.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/service/Service.h"
#include "core/util/Registry.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Services.h"
#include "support/TestEnvironment.h"
#include "support/TestService.h"

namespace tamber {
namespace {

using common::windows::service::OpenScmHandle;
using common::windows::service::Service;
using test::LogCapture;
using test::TestService;

class ServiceTest : public test::GuestTest {
 protected:
  uint32_t State(Service& service) {
    platform::ServiceStatus status;
    EXPECT_EQ(service.QueryStatus(&status), 0);
    return status.currentState;
  }

  // Polls (machine time) until the condition holds or the time is up.
  static bool WaitFor(const std::function<bool()>& condition, uint32_t milliseconds) {
    uint64_t end = platform::GetTickCount64() + milliseconds;
    while (!condition()) {
      if (platform::GetTickCount64() > end) return false;
      platform::Sleep(50);
    }
    return true;
  }
};

TEST_F(ServiceTest, StartQueryStartTypeStop) {
  TestService installed(L"velocyn-test-svc");
  if (!installed.Failure().empty()) GTEST_SKIP() << ::testing::PrintToString(installed.Failure());
  LogCapture log;
  OpenScmHandle scm;
  ASSERT_TRUE(scm.IsOpen());
  auto service = scm.GetService(L"velocyn-test-svc");
  ASSERT_TRUE(service->IsOpen());

  uint32_t startType = 0;
  ASSERT_EQ(service->GetStartType(&startType), 0);
  EXPECT_EQ(startType, platform::kServiceDemandStart);
  EXPECT_EQ(State(*service), platform::kServiceStopped);

  EXPECT_EQ(service->Start(-1, 0), 0);
  EXPECT_EQ(State(*service), platform::kServiceRunning);
  ASSERT_EQ(service->GetStartType(&startType), 0);
  EXPECT_EQ(startType, platform::kServiceAutoStart) << "starting through the wrapper enables the service";

  ASSERT_EQ(service->SetStartType(platform::kServiceDemandStart), 0);
  ASSERT_EQ(service->GetStartType(&startType), 0);
  EXPECT_EQ(startType, platform::kServiceDemandStart);

  EXPECT_EQ(service->Stop(-1, 0), 0);
  EXPECT_EQ(State(*service), platform::kServiceStopped);
  EXPECT_EQ(service->QueryStatus(nullptr), static_cast<int32_t>(0x80070057u));

  auto missing = scm.GetService(L"velocyn-no-such-service");
  EXPECT_FALSE(missing->IsOpen());
  platform::ServiceStatus status;
  EXPECT_LT(missing->QueryStatus(&status), 0);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug,
                      L"tamber::common::windows::service::Service::Start(): Enabled velocyn-test-svc Service"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, L"Service::Stop(): Stopped velocyn-test-svc Service In "), 1u);
  EXPECT_EQ(log.Count(LogLevel::Error,
                      L"OpenServiceHandle(): Unable to open handle to velocyn-no-such-service service: 0x80070424"),
            1u);
}

TEST_F(ServiceTest, StopStopsARunningDependentFirst) {
  TestService base(L"velocyn-test-base");
  TestService dependent(L"velocyn-test-dependent", L"", L"velocyn-test-base");
  if (!base.Failure().empty()) GTEST_SKIP() << ::testing::PrintToString(base.Failure());
  ASSERT_TRUE(dependent.Failure().empty());
  OpenScmHandle scm;
  auto baseService = scm.GetService(L"velocyn-test-base");
  auto dependentService = scm.GetService(L"velocyn-test-dependent");
  ASSERT_EQ(baseService->Start(-1, 0), 0);
  ASSERT_EQ(dependentService->Start(-1, 0), 0);
  ASSERT_EQ(State(*dependentService), platform::kServiceRunning);
  // Wine 8's manager neither lists dependents (EnumDependentServices is a stub that returns none) nor
  // refuses to stop a service whose dependents run, so there is nothing to observe there.
  std::vector<platform::EnumServiceStatus> listed;
  auto rawBase = common::windows::service::OpenServiceHandle(scm.Handle(), L"velocyn-test-base");
  ASSERT_TRUE(platform::EnumDependentServices(rawBase.get(), platform::kServiceActive, &listed));
  if (listed.empty()) GTEST_SKIP() << "this service control manager does not list running dependents";

  EXPECT_EQ(baseService->Stop(-1, 0), 0);
  EXPECT_EQ(State(*baseService), platform::kServiceStopped);
  EXPECT_EQ(State(*dependentService), platform::kServiceStopped);
}

// The watch reports what the service does and restarts it when it stops, up to its limit.
TEST_F(ServiceTest, StatusWatchRestartsOnStop) {
  TestService installed(L"velocyn-test-watched");
  if (!installed.Failure().empty()) GTEST_SKIP() << ::testing::PrintToString(installed.Failure());
  auto* registry = core::util::Registry::Instance();
  ASSERT_EQ(registry->SetValue(L"ServiceNotifyMaxRestarts", 1u, core::util::regtype::kGa), 0);
  ASSERT_EQ(registry->SetValue(L"ServiceNotifyStartDelay", 500u, core::util::regtype::kGa), 0);
  LogCapture log;
  OpenScmHandle scm;
  auto watched = scm.GetService(L"velocyn-test-watched");
  auto other = scm.GetService(L"velocyn-test-watched");  // someone else, as "sc stop" would
  ASSERT_EQ(watched->Start(-1, 0), 0);
  ASSERT_EQ(watched->StartServiceNotify(), 0);
  ASSERT_EQ(watched->SetMonitorFlags(Service::kRestartOnStop), 0);

  platform::ServiceStatus status;
  ASSERT_TRUE(
      WaitFor([&] { return log.Count(LogLevel::Info, L"Service Running (velocyn-test-watched)") >= 1; }, 20000));
  auto raw = common::windows::service::OpenServiceHandle(scm.Handle(), L"velocyn-test-watched");
  ASSERT_TRUE(platform::ControlService(raw.get(), platform::kServiceControlStop, &status));
  EXPECT_TRUE(
      WaitFor([&] { return watched->RestartCount() == 1 && State(*watched) == platform::kServiceRunning; }, 30000));

  EXPECT_EQ(other->Stop(-1, 0), 0);
  EXPECT_TRUE(
      WaitFor([&] { return log.Count(LogLevel::Info, L"Service Stopped (velocyn-test-watched)") >= 2; }, 20000));
  platform::Sleep(1500);  // longer than the restart delay: the limit holds
  EXPECT_EQ(watched->RestartCount(), 1u);
  EXPECT_EQ(State(*watched), platform::kServiceStopped);
  EXPECT_EQ(watched->StopServiceNotify(), 0);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Info, L"ServiceNotifyQueueWorker(): Restarting velocyn-test-watched: Restart Count: 0"),
            1u);
  EXPECT_EQ(log.Count(LogLevel::Info, L"StopServiceNotify(): Service Notify Terminated: velocyn-test-watched"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Error, L"StartMonitor"), 0u);
}

}  // namespace
}  // namespace tamber
