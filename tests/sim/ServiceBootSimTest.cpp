// Whole boots of a simulated machine with the real agent process as its service, started and
// controlled the way velocyn-sim does it.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AgentBoot.h"
#include "common/diagnostics/Assert.h"
#include "common/util/Utf16.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimMachine.h"
#include "service/BuildInfo.h"
#include "support/BootExecute.h"

extern char** environ;

namespace tamber {
namespace {

namespace fs = std::filesystem;
using platform::guestrpc::SimHypervisor;
using platform::sim::Machine;
using velocyn::sim_cli::AgentBootOptions;
using velocyn::sim_cli::BootWithAgent;

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga";
constexpr const wchar_t* kSessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kGaKey = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga";
constexpr const wchar_t* kSetupKey = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\setup";
constexpr const wchar_t* kNgaEntry = L"System32\\talvora-qx-nga.exe";

platform::HKey CreateKey(const wchar_t* path) {
  platform::HKey key = nullptr;
  EXPECT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyAllAccess, &key, nullptr),
            0u);
  return key;
}

void SetString(const wchar_t* path, const wchar_t* name, uint32_t type, const std::wstring& value) {
  auto key = CreateKey(path);
  auto bytes = common::util::ToUtf16LeBytes(value);
  bytes.push_back(0);
  bytes.push_back(0);
  platform::RegSetValueEx(key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
  platform::RegCloseKey(key);
}

void SetDword(const wchar_t* path, const wchar_t* name, uint32_t value) {
  auto key = CreateKey(path);
  platform::RegSetValueEx(key, name, platform::kRegDword, reinterpret_cast<const uint8_t*>(&value), 4);
  platform::RegCloseKey(key);
}

std::vector<std::wstring> ReadMultiString(const wchar_t* path, const wchar_t* name) {
  platform::HKey key = nullptr;
  std::vector<std::wstring> entries;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyRead, &key) != 0) return entries;
  uint8_t data[4096];
  uint32_t size = sizeof(data);
  if (platform::RegQueryValueEx(key, name, nullptr, data, &size) == 0) {
    std::wstring entry;
    for (uint32_t i = 0; i + 1 < size; i += 2) {
      wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
      if (c != L'\0') {
        entry.push_back(c);
      } else if (!entry.empty()) {
        entries.push_back(entry);
        entry.clear();
      }
    }
  }
  platform::RegCloseKey(key);
  return entries;
}

class ServiceBootSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = fs::temp_directory_path() / ("velocyn-boot-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(machine_);
    Machine::Create(machine_);
    // Where the agent writes its log; an installation makes it.
    fs::create_directories(machine_ / "drive_c" / "ProgramData" / "Talvora" / "Quorvel" / "logs");
  }
  void TearDown() override {
    if (Machine::IsBooted()) Machine::PowerCut();
    if (std::getenv("VELOCYN_TEST_KEEP_MACHINE") == nullptr) fs::remove_all(machine_);
  }

  // A golden image with the agent installed; further settings through the callback.
  void MakeGoldenImage(uint32_t shutdownDelayMs, const std::function<void()>& more = nullptr) {
    MakeAgentMachine(shutdownDelayMs, [&] {
      SetDword(kSetupKey, L"GoldenImage", 1);
      if (more) more();
    });
  }

  // A machine with the agent installed, not marked as the golden image.
  void MakeAgentMachine(uint32_t shutdownDelayMs, const std::function<void()>& more) {
    Machine::Boot(machine_);
    SetString(kServiceKey, L"ImagePath", platform::kRegExpandSz,
              L"\"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe\"");
    SetDword(kServiceKey, L"Type", platform::kServiceWin32OwnProcess);
    SetDword(kServiceKey, L"Start", platform::kServiceAutoStart);
    SetDword(kGaKey, L"ServiceShutdownDelay", shutdownDelayMs);
    std::wstring bootExecute = std::wstring(L"autocheck autochk *") + L'\0' + L"x" + L'\0' + L"custom.exe /q";
    auto key = CreateKey(kSessionManagerKey);
    auto bytes = common::util::ToUtf16LeBytes(bootExecute);
    bytes.insert(bytes.end(), {0, 0, 0, 0});
    platform::RegSetValueEx(key, L"BootExecute", platform::kRegMultiSz, bytes.data(),
                            static_cast<uint32_t>(bytes.size()));
    platform::RegCloseKey(key);
    if (more) more();
    Machine::Shutdown();
  }

  velocyn::sim_cli::AgentBootResult Boot(AgentBootOptions options = {}) {
    options.agentExecutable = VELOCYN_AGENT_EXECUTABLE;
    options.hostTimeoutMs = 60000;
    return BootWithAgent(machine_, options);
  }

  std::string AgentLog() {
    std::string text;
    fs::path logs = machine_ / "drive_c" / "ProgramData" / "Talvora" / "Quorvel" / "logs";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(logs, error)) {
      std::ifstream in(entry.path(), std::ios::binary);
      text += std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    return text;
  }

  // Runs the agent executable directly, not as a service started by the manager.
  int RunAgentFromConsole() {
    std::vector<std::string> environment = {"VELOCYN_SIM_MACHINE=" + machine_.string(), "VELOCYN_SIM_TIME_SCALE=1000"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string(*entry).rfind("VELOCYN_SIM_", 0) != 0) environment.push_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = VELOCYN_AGENT_EXECUTABLE;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path machine_;
};

TEST_F(ServiceBootSimTest, GoldenImageRegistersTheBootTimeAgentAndStopsAfterTheDelay) {
  MakeGoldenImage(/*shutdownDelayMs=*/20000);
  // The agent's peak memory is its own: this process's high-water mark (raised here well above any
  // agent's) must not pass to the child it spawns.
  constexpr size_t kParentPeak = 256u << 20;
  void* block = ::mmap(nullptr, kParentPeak, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  std::memset(block, 1, kParentPeak);
  ::munmap(block, kParentPeak);
  auto result = Boot();
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "service stopped");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.reportedStates, (std::vector<uint32_t>{platform::kServiceStartPending, platform::kServiceRunning,
                                                          platform::kServiceStopped}));
  EXPECT_GE(result.machineTimeMs, 20000u);
  // What the boot cost the agent process is measured.
  EXPECT_GT(result.cpuUs, 0u);
  EXPECT_GT(result.peakRssKiB, 0u);
  EXPECT_LT(result.peakRssKiB, kParentPeak / 1024);
  EXPECT_GT(result.registryCalls, 0u);

  Machine::Boot(machine_);
  EXPECT_EQ(ReadMultiString(kSessionManagerKey, L"BootExecute"),
            (std::vector<std::wstring>{L"autocheck autochk *", L"custom.exe /q", kNgaEntry}));
  Machine::PowerCut();
  std::string log = AgentLog();
  EXPECT_NE(log.find("Velocyn Agent Product Version: " VELOCYN_VERSION_TEXT), std::string::npos) << log;
  EXPECT_NE(log.find("Service Shutdown Delay: 20000ms"), std::string::npos);
  EXPECT_NE(log.find("** Master **"), std::string::npos);
  EXPECT_NE(log.find("Service is stopping."), std::string::npos);
  EXPECT_NE(log.find("CServiceModule::EnableProcessDEP(): Enabled process DEP."), std::string::npos);
  EXPECT_NE(log.find("Windows guest customization starts."), std::string::npos);
  EXPECT_NE(log.find("service stopped version " VELOCYN_VERSION_TEXT), std::string::npos);
}

TEST_F(ServiceBootSimTest, StopDuringTheStopWaitEndsTheServicePromptly) {
  MakeGoldenImage(/*shutdownDelayMs=*/100000000);
  AgentBootOptions options;
  // Late enough (in machine time at 1000x) for the service object to exist.
  options.controls = {{1500000, platform::kServiceControlPause, 0},
                      {1500100, platform::kServiceControlContinue, 0},
                      {1500200, platform::kServiceControlInterrogate, 0},
                      {1500300, platform::kServiceControlSessionChange, platform::kWtsSessionLogon},
                      {1500400, 99, 0},
                      {2000000, platform::kServiceControlStop, 0}};
  auto result = Boot(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "service stopped");
  // Pause, continue and interrogate change no state; the stop goes to stop-pending at once.
  EXPECT_EQ(result.reportedStates, (std::vector<uint32_t>{platform::kServiceStartPending, platform::kServiceRunning,
                                                          platform::kServiceStopPending, platform::kServiceStopped}));
  EXPECT_LT(result.machineTimeMs, 100000000u);
  std::string log = AgentLog();
  EXPECT_NE(log.find("service received stop request"), std::string::npos);
  EXPECT_NE(log.find("User Logon."), std::string::npos);
  EXPECT_NE(log.find("Bad service request"), std::string::npos);
}

TEST_F(ServiceBootSimTest, CloneWithPersistentDisksReadyStaysUpUntilStopped) {
  MakeAgentMachine(/*shutdownDelayMs=*/20000, [] {
    SetDword(kGaKey, L"PersistentDisksReady", 1);
    ASSERT_TRUE(test::RegisterBootTimeAgent());  // a clone of a golden image that has run as Master
  });
  SimHypervisor hypervisor(machine_ / "hypervisor");
  ASSERT_TRUE(hypervisor.SetVariable("ngaFork", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("forked", "1"));
  ASSERT_TRUE(hypervisor.SetVariable("hostName", "DESKTOP-042"));
  ASSERT_TRUE(hypervisor.SetVariable("AgentCustomizationFlags", "128"));  // Sysprep
  AgentBootOptions options;
  options.controls = {{3000000, platform::kServiceControlStop, 0}};
  auto result = Boot(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "service stopped");
  EXPECT_GE(result.machineTimeMs, 3000000u);  // far past the 20 s shutdown delay
  std::string log = AgentLog();
  EXPECT_NE(log.find("CTamberGaService::StartServiceNotify(): MachineType Is Clone"), std::string::npos);
  EXPECT_NE(log.find("** Clone **"), std::string::npos);
  // Nobody runs sysprep on this clone: its wait for generalize times out long before the stop comes.
  EXPECT_NE(log.find("Sysprep::WaitForGeneralize(): Timed out waiting for Generalize"), std::string::npos);
  EXPECT_EQ(hypervisor.GetVariable("clone.CustomizationState").value_or(""), "error");
  EXPECT_NE(log.find("Clone Customization Failed"), std::string::npos);
  EXPECT_NE(log.find("CTamberGaService::RunService(): Service is Preparing to Stop"), std::string::npos);
}

TEST_F(ServiceBootSimTest, PreShutdownReleasesAndFlushesThenStops) {
  MakeGoldenImage(/*shutdownDelayMs=*/100000000);
  AgentBootOptions options;
  options.controls = {{5000, platform::kServiceControlPreshutdown, 0}};
  auto result = Boot(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "service stopped");
  EXPECT_NE(AgentLog().find("service received pre-shutdown request"), std::string::npos);
}

TEST_F(ServiceBootSimTest, AMachineThatRebootsGivesItsServiceThePreShutdownControlFirst) {
  MakeGoldenImage(/*shutdownDelayMs=*/1000);
  AgentBootOptions options;
  options.agentExecutable = VELOCYN_POWER_SERVICE_EXECUTABLE;
  options.hostTimeoutMs = 60000;
  auto result = BootWithAgent(machine_, options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "reboot");
  ASSERT_TRUE(result.power.has_value());
  EXPECT_EQ(result.power->action, platform::sim::PowerAction::Reboot);
  EXPECT_EQ(result.reportedStates, (std::vector<uint32_t>{platform::kServiceRunning, platform::kServiceStopPending,
                                                          platform::kServiceStopped}));
  EXPECT_FALSE(platform::sim::Power::Pending(machine_).has_value());  // taken by the boot that ended
}

TEST_F(ServiceBootSimTest, ReportsThatCameWithTheHelloAreNotLost) {
  MakeGoldenImage(/*shutdownDelayMs=*/1000);
  AgentBootOptions options;
  options.agentExecutable = VELOCYN_EAGER_SERVICE_EXECUTABLE;
  options.hostTimeoutMs = 20000;
  options.controls = {{0, platform::kServiceControlStop, 0}};
  auto result = BootWithAgent(machine_, options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "service stopped");
  EXPECT_EQ(result.reportedStates, (std::vector<uint32_t>{platform::kServiceRunning, platform::kServiceStopped}));
}

TEST_F(ServiceBootSimTest, PowerCutLosesWhatWasNotFlushed) {
  MakeGoldenImage(/*shutdownDelayMs=*/100000000);
  AgentBootOptions options;
  fs::create_directories(machine_ / "run");
  std::ofstream(machine_ / "run" / "calls.txt") << "registry=7\nguestinfo=3\n";  // an earlier boot's
  options.powerCutAtMs = 4000;
  auto result = Boot(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.endedBy, "power cut");
  EXPECT_NE(result.exitCode, 0);
  EXPECT_EQ(result.registryCalls, 0u) << "a cut process counts nothing, and the earlier boot's counts are gone";
}

TEST_F(ServiceBootSimTest, MissingServiceKeyExitsWithFileNotFound) {
  Machine::Boot(machine_);
  platform::RegCloseKey(CreateKey(L"SYSTEM\\CurrentControlSet\\Services\\Netlogon"));
  Machine::Shutdown();
  EXPECT_EQ(RunAgentFromConsole(), 2);  // ERROR_FILE_NOT_FOUND, before any dispatcher
  EXPECT_NE(AgentLog().find("wWinMain(): WinMain: Can't open key: tlv-velocyn-ga"), std::string::npos);
  EXPECT_EQ(AgentLog().find("CServiceModule::Start"), std::string::npos);
}

TEST_F(ServiceBootSimTest, StartedFromAConsoleTheDispatcherFailsAndTheExitCodeIsZero) {
  MakeGoldenImage(/*shutdownDelayMs=*/1000);
  EXPECT_EQ(RunAgentFromConsole(), 0);
  EXPECT_NE(AgentLog().find("CServiceModule::Start(): CServiceModule::Start: Failed, 0x80070427"), std::string::npos);
}

TEST_F(ServiceBootSimTest, BootOfAMachineWithoutTheAgentIsRefused) {
  auto result = Boot();
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.error.find("--golden-image"), std::string::npos);
}

TEST(AssertTest, AFailedAssertionIsNeverSurvived) {
  common::diagnostics::Assert::DoAssert(true, L"holds");  // returns
  EXPECT_DEATH(common::diagnostics::Assert::DoAssert(false, L"broken invariant"), "");
}

}  // namespace
}  // namespace tamber
