// Windows setup of the simulated guest across the machine's boots: sysprep generalize on a running
// machine, specialize at the next boot through SYSTEM\Setup\CmdLine with the cached answer file, the
// out-of-box experience at the boot after that; the faults of its plan; the hypervisor's guest operations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "NetworkView.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/setup/SimGuestOperations.h"
#include "platform/sim/setup/SimSetup.h"
#include "platform/sim/setup/SimUnattend.h"
#include "platform/sim/tools/SimTools.h"
#include "support/TestEnvironment.h"
#include "support/sim/ToolRun.h"

namespace tamber::platform::sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMac = "02-54-56-00-00-07";

// The administrator's answer file: the adapter named by the MAC text the template had, DNS from it.
std::string AnswerFile(const std::string& identifier, const std::string& computerName = "*") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">\n"
         " <settings pass=\"specialize\">\n"
         "  <component name=\"Microsoft-Windows-Shell-Setup\"><ComputerName>" +
         computerName +
         "</ComputerName></component>\n"
         "  <component name=\"Microsoft-Windows-TCPIP\"><Interfaces><Interface>\n"
         "   <Identifier>" +
         identifier +
         "</Identifier><Ipv4Settings><DhcpEnabled>true</DhcpEnabled></Ipv4Settings>\n"
         "  </Interface></Interfaces></component>\n"
         "  <component name=\"Microsoft-Windows-DNS-Client\"><Interfaces><Interface>\n"
         "   <Identifier>" +
         identifier +
         "</Identifier><DNSServerSearchOrder><IpAddress>10.9.9.9</IpAddress><IpAddress>10.9.9.8</IpAddress>"
         "</DNSServerSearchOrder>\n"
         "  </Interface></Interfaces></component>\n"
         " </settings>\n"
         "</unattend>\n";
}

class SimSetupTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    machine_ = Machine::Directory();
    ASSERT_EQ(velocyn::sim_cli::AddAdapter(machine_, "Ethernet0",
                                           {std::string("mac=") + kMac, "ip=10.0.0.7/255.0.0.0", "dns=10.0.0.2"}),
              "");
    InstallSetupState();
    SetTimeScale(100000);  // minutes of setup in milliseconds
  }
  void TearDown() override {
    StopSetupAtBoot();
    RegisterBuiltinTools();
    test::GuestTest::TearDown();
  }

  void WriteGuestFile(const std::wstring& path, const std::string& text) {
    fs::path host = HostPath(path);
    fs::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary) << text;
  }
  std::string ReadGuestFile(const std::wstring& path) {
    std::ifstream in(HostPath(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Carries out the power request of the boot (there must be one) and boots again with setup running.
  PowerAction Restart() {
    auto request = Power::Requested();
    EXPECT_TRUE(request.has_value());
    StopSetupAtBoot();
    Machine::Shutdown();
    Power::Take(machine_);
    Machine::Boot(machine_);
    SetTimeScale(100000);
    StartSetupAtBoot();
    return request ? request->action : PowerAction::Shutdown;
  }

  // Waits (host time) until the condition holds.
  static bool Eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
  }
  static std::wstring State() { return ReadImageState().value_or(L"<absent>"); }

  fs::path machine_;
};

TEST_F(SimSetupTest, GeneralizeSpecializeAndOobeRunAcrossThreeBoots) {
  WriteGuestFile(L"C:\\Setup\\answer.xml", AnswerFile(kMac, "POOL-CL0001"));
  auto run = test::RunTool(
      L"C:\\Windows\\System32\\Sysprep\\sysprep.exe /generalize /oobe /mode:vm /reboot /quiet "
      L"/unattend:C:\\Setup\\answer.xml");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(State(), image_state::kGeneralizeResealToOobe);
  EXPECT_EQ(ReadSetupCmdLine(), L"oobe\\windeploy.exe");
  EXPECT_EQ(ReadGuestFile(kCachedAnswerFile), AnswerFile(kMac, "POOL-CL0001"));  // cached for specialize
  ASSERT_EQ(Restart(), PowerAction::Reboot);

  // Specialize: the answer file's name and the DNS servers of the adapter it names by MAC text.
  ASSERT_TRUE(Eventually([] { return Power::Requested().has_value(); }));
  EXPECT_EQ(State(), image_state::kSpecializeResealToOobe);
  auto adapters = LoadAdapters(machine_);
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].dnsServers, (std::vector<std::string>{"10.9.9.9", "10.9.9.8"}));
  ASSERT_EQ(Restart(), PowerAction::Reboot);

  // The out-of-box experience ends setup without another restart.
  ASSERT_TRUE(Eventually([] { return State() == image_state::kComplete; }));
  EXPECT_EQ(ReadSetupCmdLine(), L"");
  EXPECT_FALSE(Power::Requested().has_value());
  const std::string log = ReadGuestFile(L"C:\\Windows\\Panther\\setupact.log");
  EXPECT_NE(log.find("specialize: computer name POOL-CL0001"), std::string::npos) << log;
}

TEST_F(SimSetupTest, SysprepRefusesWhatTheModelDoesNotDoAndLeavesTheMachineAlone) {
  for (const wchar_t* arguments : {L"/generalize /oobe /reboot /shutdown", L"/generalize /audit", L"/oobe /quit",
                                   L"/generalize /oobe /mode:hyperv", L"/generalize /oobe /unattend:",
                                   L"/generalize /oobe /bogus", L"/generalize /oobe /unattend:C:\\missing.xml"}) {
    auto run = test::RunTool(std::wstring(L"sysprep.exe ") + arguments);
    EXPECT_EQ(run.exitCode, 1u) << NarrowUtf8(arguments);
    EXPECT_EQ(State(), image_state::kComplete) << NarrowUtf8(arguments);
  }
  EXPECT_FALSE(Power::Requested().has_value());
  // With /quit the machine stays up, generalized.
  EXPECT_EQ(test::RunTool(L"sysprep.exe /generalize /oobe /quit").exitCode, 0u);
  EXPECT_EQ(State(), image_state::kGeneralizeResealToOobe);
  EXPECT_FALSE(Power::Requested().has_value());
}

TEST_F(SimSetupTest, AnIdentifierThatNamesNoAdapterFailsSpecializeAsWindowsDoes) {
  WriteGuestFile(kCachedAnswerFile, AnswerFile("02-54-56-ff-ff-ff"));
  ASSERT_EQ(test::RunTool(L"sysprep.exe /generalize /oobe /reboot").exitCode, 0u);
  Restart();
  ASSERT_TRUE(Eventually([this] {
    return ReadGuestFile(L"C:\\Windows\\Panther\\setuperr.log").find("names no network adapter") != std::string::npos;
  }));
  EXPECT_EQ(State(), image_state::kUndeployable);
  EXPECT_FALSE(Power::Requested().has_value());
  EXPECT_EQ(LoadAdapters(machine_)[0].dnsServers, std::vector<std::string>{"10.0.0.2"});
}

TEST_F(SimSetupTest, TheAdapterNameAndAMacTextInAnyCaseBothNameTheAdapter) {
  EXPECT_TRUE(UnattendIdentifierMatches("Ethernet0", "Ethernet0", kMac));
  EXPECT_TRUE(UnattendIdentifierMatches("ETHERNET0", "Ethernet0", kMac));
  EXPECT_TRUE(UnattendIdentifierMatches("02-54-56-00-00-07", "Ethernet0", kMac));
  EXPECT_TRUE(UnattendIdentifierMatches("02-54-56-00-00-07", "Ethernet0", "02-54-56-00-00-07"));
  EXPECT_FALSE(UnattendIdentifierMatches("02:54:56:00:00:07", "Ethernet0", kMac));
  EXPECT_FALSE(UnattendIdentifierMatches("", "", ""));
  UnattendSpecialize pass;
  std::string error;
  EXPECT_FALSE(ParseUnattendSpecialize("<unattend><settings", &pass, &error));
  EXPECT_FALSE(ParseUnattendSpecialize("<answers/>", &pass, &error));
  ASSERT_TRUE(ParseUnattendSpecialize(AnswerFile("Ethernet0"), &pass, &error)) << error;
  ASSERT_EQ(pass.interfaces.size(), 2u);
  EXPECT_EQ(pass.interfaces[1].dnsServers.size(), 2u);
}

TEST_F(SimSetupTest, AnInterceptionCommandInstalledInCmdLineReallyRunsAtSpecialize) {
  std::atomic<int> ran{0};
  RegisterTool(L"C:\\Tools\\intercept.exe", [&ran](ToolContext& context) -> uint32_t {
    ran = context.Argv().size() == 2 && context.Argv()[1] == L"/specialize" ? 1 : 2;
    std::string message;
    return RunSpecialize([] { return false; }, &message);  // then the stock pass, as an interceptor must
  });
  ASSERT_EQ(test::RunTool(L"sysprep.exe /generalize /oobe /shutdown").exitCode, 0u);
  {
    HKey key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKeyLocalMachine(), kSystemSetupKeyPath, 0, kKeyAllAccess, &key), 0u);
    const std::wstring command = L"C:\\Tools\\intercept.exe /specialize";
    std::vector<uint8_t> bytes;
    for (wchar_t c : command) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(0);
    }
    bytes.insert(bytes.end(), {0, 0});
    ASSERT_EQ(RegSetValueEx(key, kSetupCmdLineValue, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    RegFlushKey(key);
    RegCloseKey(key);
  }
  EXPECT_EQ(Restart(), PowerAction::Shutdown);
  ASSERT_TRUE(Eventually([] { return State() == image_state::kSpecializeResealToOobe; }));
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(SimSetupTest, PhasesThatHangOrFailLeaveTheImageUndeployable) {
  FaultPlan::Set(kSetupPhaseFailsFault, std::string("generalize"));
  EXPECT_EQ(test::RunTool(L"sysprep.exe /generalize /oobe /reboot").exitCode, 1u);
  EXPECT_EQ(State(), image_state::kUndeployable);
  EXPECT_FALSE(Power::Requested().has_value());

  InstallSetupState();
  FaultPlan::Set(kSetupPhaseFailsFault, std::nullopt);
  FaultPlan::Set(kSetupPhaseHangsFault, std::string("oobe, specialize"));
  ASSERT_EQ(test::RunTool(L"sysprep.exe /generalize /oobe /reboot").exitCode, 0u);
  Restart();
  // An hour of machine time later, specialize has still not finished.
  const uint64_t start = GetTickCount64();
  ASSERT_TRUE(Eventually([start] { return GetTickCount64() - start > 3600000; }));
  EXPECT_EQ(State(), image_state::kUndeployable);
  EXPECT_FALSE(Power::Requested().has_value());
}

TEST_F(SimSetupTest, AGuestOperationStartsOnceItsConditionHolds) {
  RegisterTool(L"C:\\Tools\\op.exe", [](ToolContext&) -> uint32_t {
    WriteImageState(L"RAN");
    return 0;
  });
  ASSERT_TRUE(QueueGuestOperation(machine_, {"clone.CustomizationState", "CustomizationBegin", "C:\\Tools\\op.exe"}));
  EXPECT_FALSE(QueueGuestOperation(machine_, {"a\tb", "", "x"}));
  EXPECT_EQ(RunDueGuestOperations(), 0);
  guestrpc::SimHypervisor hypervisor(machine_ / "hypervisor");
  hypervisor.SetVariable("clone.CustomizationState", "running");
  EXPECT_EQ(RunDueGuestOperations(), 0);
  hypervisor.SetVariable("clone.CustomizationState", "CustomizationBegin");
  StartSetupAtBoot();
  ASSERT_TRUE(Eventually([] { return State() == L"RAN"; }));
  EXPECT_TRUE(PendingGuestOperations(machine_).empty());
  EXPECT_EQ(SysprepGeneralizeCommandLine(),
            "C:\\Windows\\System32\\Sysprep\\sysprep.exe /generalize /oobe /reboot /quiet "
            "/unattend:C:\\Windows\\Panther\\unattend.xml");
}

}  // namespace
}  // namespace tamber::platform::sim
