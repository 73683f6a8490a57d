// The simulated service host: a service process's dispatcher against a stand-in for the service control
// manager on the other end of the socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/ServiceHost.h"
#include "platform/Types.h"
#include "platform/sim/services/SimServiceHost.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using platform::sim::LineSocket;

std::atomic<bool> g_stopRequested{false};
platform::ServiceStatusHandle g_status = nullptr;

uint32_t Handler(uint32_t control, uint32_t, void*, void*) {
  if (control == platform::kServiceControlStop) g_stopRequested = true;
  return control == 99 ? platform::kErrorInvalidServiceControl : 0;
}

void Report(uint32_t state) {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = platform::kServiceAcceptStop;
  platform::SetServiceStatus(g_status, status);
}

void ServiceMain(uint32_t, wchar_t**) {
  g_status = platform::RegisterServiceCtrlHandlerEx(L"", &Handler, nullptr);
  Report(platform::kServiceRunning);
  while (!g_stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Report(platform::kServiceStopped);
}

class SimServiceHostTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    path_ = (std::filesystem::temp_directory_path() / ("velocyn-scm-" + std::to_string(::getpid()))).string();
    ::unlink(path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener_, 1), 0);
    g_stopRequested = false;
  }
  void TearDown() override {
    ::unsetenv(platform::sim::kScmSocketVariable);
    ::close(listener_);
    ::unlink(path_.c_str());
    test::GuestTest::TearDown();
  }

  std::string Next(LineSocket& socket) {
    bool closed = false;
    auto line = socket.Receive(5000, &closed);
    return line.value_or(closed ? "<closed>" : "<time-out>");
  }

  std::string path_;
  int listener_ = -1;
};

TEST_F(SimServiceHostTest, WithoutAManagerTheDispatcherCannotConnect) {
  ::unsetenv(platform::sim::kScmSocketVariable);
  EXPECT_FALSE(platform::StartServiceCtrlDispatcher(L"svc", &ServiceMain));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFailedServiceControllerConnect);
  EXPECT_EQ(platform::RegisterServiceCtrlHandlerEx(L"svc", &Handler, nullptr), nullptr);
}

TEST_F(SimServiceHostTest, StatusGoesOutControlsComeInAndBadLinesAreRefused) {
  ::setenv(platform::sim::kScmSocketVariable, path_.c_str(), 1);
  std::atomic<bool> returned{false};
  std::thread dispatcher([&] {
    EXPECT_TRUE(platform::StartServiceCtrlDispatcher(L"svc", &ServiceMain));
    returned = true;
  });
  LineSocket manager(::accept(listener_, nullptr, nullptr));
  EXPECT_EQ(Next(manager), "service svc");
  EXPECT_EQ(Next(manager), "status 4 1 0 0 0 0");
  // A malformed line or an unknown control is answered, never acted on.
  manager.Send("control banana 0 0");
  EXPECT_EQ(Next(manager), "handled 0 1052");
  manager.Send("control 99 0 0");
  EXPECT_EQ(Next(manager), "handled 99 1052");
  manager.Send("control 4294967296 0 0");  // beyond 32 bits
  EXPECT_EQ(Next(manager), "handled 0 1052");
  EXPECT_FALSE(returned);
  manager.Send("control 1 0 0");
  // The service thread may report stopped before the dispatcher thread reports the handler's result.
  std::set<std::string> lines = {Next(manager), Next(manager)};
  EXPECT_EQ(lines, (std::set<std::string>{"handled 1 0", "status 1 1 0 0 0 0"}));
  dispatcher.join();
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace tamber
