// The simulated guest for the native tier: every test gets a new machine.
#include <atomic>
#include <unistd.h>

#include <filesystem>

#include "core/util/Singleton.h"
#include "framework/log/LogWriter.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

std::filesystem::path g_machine;

class SimEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { platform::sim::Machine::Shutdown(); }
};

}  // namespace

::testing::Environment* CreateTestEnvironment() { return new SimEnvironment; }

void GuestTest::SetUp() {
  core::util::ResetSingletonsForTest();  // what they cache belongs to the previous boot
  static std::atomic<int> counter{0};
  g_machine = std::filesystem::temp_directory_path() /
              ("velocyn-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(g_machine);
  platform::sim::Machine::Create(g_machine);
  platform::sim::Machine::Boot(g_machine);
  framework::log::ResetLogForTest();  // the next message reads this machine's settings and opens its files
}

void GuestTest::TearDown() {
  framework::log::ResetLogForTest();  // written out and closed while the machine is still up
  platform::sim::Machine::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(g_machine, ignored);
}

}  // namespace tamber::test
