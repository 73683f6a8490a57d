// The simulator command line's own parts: the control names it takes, the golden image it makes (as the
// agent and the service control manager read it), and the inspection behind "show".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Inspect.h"
#include "MachineImage.h"
#include "RegistryView.h"
#include "ServiceControls.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "support/TestEnvironment.h"

namespace velocyn::sim_cli {
namespace {

namespace fs = std::filesystem;
using namespace tamber;
using core::util::CustomizationPersistentInfo;
using core::util::Persisted;
using platform::sim::Machine;

TEST(VelocynSimControlsTest, ScheduledControlIsNameAtMachineMilliseconds) {
  struct Case {
    const char* text;
    uint64_t atMs;
    uint32_t control;
    uint32_t eventType;
  };
  for (const Case& c :
       {Case{"stop@0", 0, 1, 0}, Case{"preshutdown@250", 250, 15, 0}, Case{"sessionchange:logon@1500", 1500, 14, 5},
        Case{"sessionchange:logoff@7", 7, 14, 6}, Case{"deviceevent@3", 3, 11, 0x8000},
        Case{"interrogate@18446744073709551615", UINT64_MAX, 4, 0}}) {
    auto parsed = ParseScheduledControl(c.text);
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(parsed->atMs, c.atMs) << c.text;
    EXPECT_EQ(parsed->control, c.control) << c.text;
    EXPECT_EQ(parsed->eventType, c.eventType) << c.text;
  }
  for (const char* bad : {"stop", "stop@", "@5", "stop@-1", "stop@+1", "stop@ 1", "stop@1ms", "stop@0x10", "halt@5",
                          "STOP@5", "sessionchange@5", "stop@18446744073709551616", ""}) {
    EXPECT_FALSE(ParseScheduledControl(bad)) << bad;
  }
}

TEST(VelocynSimControlsTest, EveryNameOfferedIsADistinctControl) {
  std::set<std::pair<uint32_t, uint32_t>> seen;
  std::stringstream names(ControlNames());
  std::string name;
  while (std::getline(names, name, ',')) {
    if (!name.empty() && name.front() == ' ') name.erase(0, 1);
    auto control = FindControl(name);
    ASSERT_TRUE(control) << name;
    EXPECT_TRUE(seen.insert({control->control, control->eventType}).second) << name;
  }
  EXPECT_EQ(seen.size(), 9u);
}

TEST(VelocynSimControlsTest, StatesByTheirWin32Names) {
  EXPECT_EQ(ServiceStateName(platform::kServiceStopped), "SERVICE_STOPPED");
  EXPECT_EQ(ServiceStateName(platform::kServiceStartPending), "SERVICE_START_PENDING");
  EXPECT_EQ(ServiceStateName(platform::kServiceRunning), "SERVICE_RUNNING");
  EXPECT_EQ(ServiceStateName(platform::kServicePaused), "SERVICE_PAUSED");
  EXPECT_EQ(ServiceStateName(0), "0");
  EXPECT_EQ(ServiceStateName(8), "8");
}

class VelocynSimImageTest : public test::GuestTest {
 protected:
  // Every file of the machine with its content.
  static std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      files[fs::relative(entry.path(), dir).string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
  }

  // Ends the test's boot cleanly, inspects the machine as "show" does, and boots it again.
  MachineReport InspectNow() {
    fs::path dir = Machine::Directory();
    framework::log::ResetLogForTest();  // no file of this boot stays open
    Machine::Shutdown();
    core::util::ResetSingletonsForTest();
    auto before = Snapshot(dir);
    MachineReport report = Inspect(dir, 5);
    EXPECT_EQ(Snapshot(dir), before) << "inspecting changed the machine";
    core::util::ResetSingletonsForTest();
    Machine::Boot(dir);
    return report;
  }

  static std::vector<std::string> MarkerNames(const MachineReport& report) {
    std::vector<std::string> names;
    for (const auto& marker : report.markers) names.push_back(marker.name);
    return names;
  }
};

TEST_F(VelocynSimImageTest, GoldenImageIsWhatTheServiceManagerAndTheAgentRead) {
  ASSERT_EQ(InstallGoldenImage({}), "");

  platform::ScHandle manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
  ASSERT_NE(manager, nullptr);
  platform::ScHandle service = platform::OpenService(manager, L"tlv-velocyn-ga", platform::kServiceAllAccess);
  ASSERT_NE(service, nullptr);
  platform::ServiceConfig config;
  ASSERT_TRUE(platform::QueryServiceConfig(service, &config));
  EXPECT_EQ(config.serviceType, platform::kServiceWin32OwnProcess);
  EXPECT_EQ(config.startType, platform::kServiceAutoStart);
  EXPECT_EQ(config.binaryPathName, L"\"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe\"");
  platform::CloseServiceHandle(service);
  platform::CloseServiceHandle(manager);

  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->IsGoldenImage());
  for (const wchar_t* path : core::util::kRegistryKeyPaths) {
    platform::HKey key = nullptr;
    EXPECT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyRead, &key), 0u)
        << platform::sim::NarrowUtf8(path);
    if (key != nullptr) platform::RegCloseKey(key);
  }
  std::vector<std::wstring> bootExecute;
  core::util::Registry::Instance()->GetValue(L"BootExecute", &bootExecute, core::util::regtype::kSessionManager);
  EXPECT_EQ(bootExecute, std::vector<std::wstring>{L"autocheck autochk *"});
  // Without --shutdown-delay the agent keeps its own default.
  EXPECT_FALSE(ReadOneValue(L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", L"ServiceShutdownDelay"));
}

TEST_F(VelocynSimImageTest, ShutdownDelayIsTheAgentsSetting) {
  ASSERT_EQ(InstallGoldenImage({/*shutdownDelayMs=*/1234}), "");
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::ServiceShutdownDelay, 99), 1234u);
}

TEST_F(VelocynSimImageTest, InspectionDecidesTheRoleAsTheAgentDoesAndLeavesNoTrace) {
  ASSERT_EQ(InstallGoldenImage({}), "");
  MachineReport golden = InspectNow();
  EXPECT_EQ(golden.role, "Master");
  EXPECT_EQ(golden.roleText, "master");
  EXPECT_EQ(golden.customizationType, "Universalprep");
  // Deciding Master saved the MAC address in the inspection's boot only.
  EXPECT_EQ(MarkerNames(golden), std::vector<std::string>{"GoldenImage"});
  ASSERT_TRUE(golden.bootExecute);
  EXPECT_EQ(*golden.bootExecute, std::vector<std::string>{"autocheck autochk *"});
  EXPECT_EQ(golden.siblingStatusText, "absent");
  EXPECT_EQ(golden.policyStateText, "absent");

  // The golden image's disk on other adapters is the internal template, and a clone once the template
  // customization has finished its second stage.
  ASSERT_EQ(WriteValue(L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", L"GoldenImageMacAddress", "sz",
                       "02:00:5E:00:00:99"),
            0u);
  EXPECT_EQ(InspectNow().role, "Internal template");
  ASSERT_EQ(WriteValue(L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga", L"TemplateCustomization", "dword", "2"),
            0u);
  ASSERT_EQ(WriteValue(L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga", L"NotifyHaldenStatusValue",
                       "dword", "5"),
            0u);
  MachineReport clone = InspectNow();
  EXPECT_EQ(clone.role, "Clone");
  EXPECT_EQ(MarkerNames(clone),
            (std::vector<std::string>{"GoldenImage", "GoldenImageMacAddress", "TemplateCustomization"}));
  ASSERT_TRUE(clone.siblingStatus);
  EXPECT_EQ(*clone.siblingStatus, 5u);
  EXPECT_EQ(clone.siblingStatusText, "CustomizationFailed");
}

}  // namespace
}  // namespace velocyn::sim_cli
