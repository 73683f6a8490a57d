// The Sysprep flavour on the simulated guest with its setup and PowerShell: the answer-file pass run by
// the simulated PowerShell on a real unattend.xml, the execution policy as the machine keeps it, and a
// sysprep phase that never finishes, in machine time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "NetworkView.h"
#include "common/util/StringConverter.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/Sysprep.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimSetup.h"
#include "platform/sim/tools/SimPowerShell.h"
#include "support/TestEnvironment.h"
#include "support/sim/ToolRun.h"

namespace tamber::core::windows {
namespace {

namespace fs = std::filesystem;
namespace sim = platform::sim;
using common::i18n::StringConverter;
using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::MachineType;
using util::Persisted;
namespace machine = util::machine;

const std::wstring kFlow = L"tamber::core::windows::Sysprep::";
constexpr const char* kMac = "02-54-56-00-00-07";

std::string AnswerFile(const std::string& identifier) {
  const std::string iface = "<Interfaces><Interface><Identifier>" + identifier + "</Identifier>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">\n"
         "  <settings pass=\"specialize\">\n"
         "    <component name=\"Microsoft-Windows-TCPIP\">" +
         iface + "</Interface></Interfaces></component>\n    <component name=\"Microsoft-Windows-DNS-Client\">" +
         iface + "</Interface></Interfaces></component>\n  </settings>\n</unattend>\n";
}

// Records the PowerShell command lines and runs them on the machine.
class RecordingSysprep : public Sysprep {
 public:
  std::vector<std::wstring> commands;
  std::vector<std::string> outputs;

 protected:
  bool RunPowerShell(const std::wstring& commandLine, std::string* output) override {
    commands.push_back(commandLine);
    const bool ok = Sysprep::RunPowerShell(commandLine, output);
    outputs.push_back(*output);
    return ok;
  }
};

class SysprepSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    sim::SetTimeScale(100000);  // the 5 s pauses and the hour-long waits in milliseconds
    ASSERT_EQ(util::System::Instance()->Init(), 0);
  }
  void TearDown() override {
    util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }
  // PowerShell runs take real time, and the runner's limit is machine time: these tests run slower.
  static void PowerShellTimeScale() { sim::SetTimeScale(100); }
  void AddAdapter(const std::string& name) {
    ASSERT_EQ(velocyn::sim_cli::AddAdapter(sim::Machine::Directory(), name,
                                           {std::string("mac=") + kMac, "ip=10.0.0.7/255.0.0.0", "dns=10.0.0.2"}),
              "");
  }
  static void WriteAnswerFile(const std::string& text) {
    fs::path host = sim::HostPath(L"C:\\Windows\\Panther\\unattend.xml");
    fs::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary) << text;
  }
  static std::string ReadAnswerFile() {
    std::ifstream in(sim::HostPath(L"C:\\Windows\\Panther\\unattend.xml"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text);
  }
};

TEST_F(SysprepSimTest, AnImageStateThatNeverReachesSpecializeEndsAfterAnHourWithError17) {
  MachineType::Instance()->SetMachineType(machine::kClone);
  ASSERT_EQ(CustomizationPersistentInfo::Instance()->Set(Persisted::CloneSysprepGeneralizeCompleted), 0);
  ASSERT_TRUE(sim::WriteImageState(sim::image_state::kUndeployable));  // specialize started and hangs
  LogCapture log;
  Sysprep flavour;
  const uint64_t start = platform::GetTickCount64();
  EXPECT_FALSE(flavour.CustomizeClone());
  const uint64_t waited = platform::GetTickCount64() - start;
  EXPECT_GE(waited, 3600000u);
  EXPECT_EQ(Count(log, LogLevel::Warn, kFlow + L"WaitForSpecialize(): Timed out waiting for Specialize"), 1u);
  std::string status;
  ASSERT_TRUE(util::GuestInfo().GetValue("clone.CustomizationState", &status));
  EXPECT_EQ(status, "error");
  EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::PolicyState), 17u);
  std::string category;
  util::GuestInfo().GetValue("clone.CustomizationErrorCategory", &category);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneSysprepSpecializeCompleted));
}

TEST_F(SysprepSimTest, AnIdentifierLongerThanAMacTextIsMatchedOnItsFirst17Characters) {
  PowerShellTimeScale();
  AddAdapter("Ethernet0");
  WriteAnswerFile(AnswerFile(std::string(kMac) + "-extra"));
  MachineType::Instance()->SetMachineType(machine::kReplica);
  RecordingSysprep flavour;
  EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
  const std::string patched = ReadAnswerFile();
  EXPECT_EQ(patched.find("-extra"), std::string::npos) << patched;
  EXPECT_NE(patched.find("<Identifier>Ethernet0</Identifier>"), std::string::npos) << patched;
  ASSERT_EQ(flavour.commands.size(), 4u);  // policy read, policy set, one script run, policy restored
  // The policy went back to what it was, and the script is gone.
  EXPECT_EQ(test::RunTool(L"powershell Get-ExecutionPolicy").output, "Restricted\r\n");
  EXPECT_FALSE(fs::exists(sim::HostPath(L"C:\\Windows\\Temp\\talvora\\SetSysprepXmlInterfaceId.ps1")));
}

TEST_F(SysprepSimTest, WithTheExecutionPolicyAlreadyUnrestrictedNoPolicyCommandRuns) {
  PowerShellTimeScale();
  AddAdapter("Ethernet0");
  WriteAnswerFile(AnswerFile(kMac));
  ASSERT_EQ(test::RunTool(L"powershell Set-ExecutionPolicy Unrestricted").exitCode, 0u);
  RecordingSysprep flavour;
  EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
  ASSERT_EQ(flavour.commands.size(), 2u);
  EXPECT_EQ(flavour.commands[0], L"powershell Get-ExecutionPolicy");
  EXPECT_NE(flavour.commands[1].find(L"SetSysprepXmlInterfaceId.ps1 -interfaceAlias "), std::wstring::npos);
  EXPECT_EQ(test::RunTool(L"powershell Get-ExecutionPolicy").output, "Unrestricted\r\n");
}

TEST_F(SysprepSimTest, AnAdapterNameWithQuotesAndSpecialCharactersReachesTheScriptWhole) {
  PowerShellTimeScale();
  // Every character PowerShell or the command line would read as syntax if it escaped its quotes.
  const std::string name = "Eth'0 \"x\" $(Remove-Item C:\\);' `n @{} \\\"  two  blanks";
  AddAdapter(name);
  WriteAnswerFile(AnswerFile(kMac));
  RecordingSysprep flavour;
  LogCapture log;
  EXPECT_TRUE(flavour.UpdateSysprepXmlInterfaceId());
  ASSERT_EQ(flavour.commands.size(), 4u) << "the first run of the script succeeded";
  // The identifier is now exactly the name (XML escapes the quote and the ampersand-free rest stays).
  std::string expected = name;
  std::string escaped;
  for (char c : expected) escaped += c == '"' ? std::string("&quot;") : std::string(1, c);
  const std::string patched = ReadAnswerFile();
  EXPECT_TRUE(patched.find("<Identifier>" + escaped + "</Identifier>") != std::string::npos ||
              patched.find("<Identifier>" + name + "</Identifier>") != std::string::npos)
      << patched;
  // The literal the script got is exactly the map: the simulated PowerShell parses it back to one entry.
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  std::string error;
  const std::wstring literal = Sysprep::BuildInterfaceAliasLiteral(
      {{StringConverter::Utf8ToWString(kMac), StringConverter::Utf8ToWString(name)}});
  ASSERT_TRUE(sim::ParseHashLiteral(literal, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(StringConverter::ToUtf8String(entries[0].second), name);
  // Unescaped, the same name would have ended its string and put code in the literal: refused, not run.
  const std::wstring naive =
      L"@{'" + StringConverter::Utf8ToWString(kMac) + L"'='" + StringConverter::Utf8ToWString(name) + L"';}";
  EXPECT_FALSE(sim::ParseHashLiteral(naive, &entries, &error));
}

TEST_F(SysprepSimTest, OnlyTheAgentsExactScriptRunsAndOnlyWhereThePolicyLetsIt) {
  AddAdapter("Ethernet0");
  WriteAnswerFile(AnswerFile(kMac));
  const fs::path host = sim::HostPath(L"C:\\Scripts\\SetSysprepXmlInterfaceId.ps1");
  fs::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << Sysprep::SysprepXmlScriptText();
  const std::wstring run = L"powershell C:\\Scripts\\SetSysprepXmlInterfaceId.ps1 -interfaceAlias @{'" +
                           StringConverter::Utf8ToWString(kMac) + L"'='Ethernet0';}";
  EXPECT_EQ(test::RunTool(run).exitCode, 1u) << "Restricted runs no script";
  ASSERT_EQ(test::RunTool(L"powershell Set-ExecutionPolicy RemoteSigned").exitCode, 0u);
  auto ran = test::RunTool(run);
  EXPECT_EQ(ran.exitCode, 0u) << ran.output;
  EXPECT_NE(ReadAnswerFile().find("<Identifier>Ethernet0</Identifier>"), std::string::npos);
  // Already patched: the identifier is an adapter name now.
  ran = test::RunTool(run);
  EXPECT_NE(ran.output.find("interfaceId already set to adapter name. "), std::string::npos) << ran.output;
  EXPECT_NE(ran.output.find("[Info] Sysprep XML processed successfully. "), std::string::npos) << ran.output;
  // One character more is another script.
  std::ofstream(host, std::ios::binary | std::ios::app) << "\r\n";
  EXPECT_EQ(test::RunTool(run).exitCode, 1u);
  EXPECT_EQ(std::string(sim::kSysprepXmlScript), Sysprep::SysprepXmlScriptText());
  EXPECT_EQ(test::RunTool(L"powershell Set-ExecutionPolicy Sideways").exitCode, 1u);
}

}  // namespace
}  // namespace tamber::core::windows
