// GuestInfo: the reply rules and command texts through an in-memory transport, and the registry-equivalent
// mode of the golden image against the tier's real registry.
#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/util/GuestInfo.h"
#include "core/util/Registry.h"
#include "core/util/RpcOut.h"
#include "framework/log/Log.h"
#include "platform/Environment.h"
#include "platform/Types.h"
#include "support/HypervisorDirectory.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using platform::GuestRpcError;
using test::LogCapture;

// Answers each command with the next scripted reply ("1 " when the script has run out) and remembers it.
class ScriptedTransport : public platform::GuestRpcTransport {
 public:
  struct Answer {
    GuestRpcError error = GuestRpcError::kNone;
    std::string raw;
  };
  GuestRpcError Exchange(std::string_view command, std::string* reply) override {
    commands.emplace_back(command);
    Answer answer = answers.empty() ? Answer{GuestRpcError::kNone, "1 "} : answers.front();
    if (!answers.empty()) answers.pop_front();
    *reply = answer.raw;
    return answer.error;
  }
  void Reply(std::string raw, GuestRpcError error = GuestRpcError::kNone) {
    answers.push_back({error, std::move(raw)});
  }

  std::deque<Answer> answers;
  std::vector<std::string> commands;
};

// A machine that is not the golden image, in a role of the test's choosing.
class FixedContext : public GuestInfoContext {
 public:
  bool IsGoldenImage() override { return false; }
  int32_t GetMirrorValue(const std::wstring&, std::wstring* value) override {
    value->clear();
    return 0;
  }
  int32_t SetMirrorValue(const std::wstring&, const std::wstring&) override { return 0; }
  std::string GetRoleText() override { return role; }
  std::string role = "unknown";
};

class GuestInfoChannelTest : public ::testing::Test {
 protected:
  ScriptedTransport transport;
  FixedContext context;
  GuestInfo guestInfo{&context, &transport};
};

TEST_F(GuestInfoChannelTest, ReplyRulesOfTheChannel) {
  std::optional<std::string> reply;
  transport.Reply("1 ");
  EXPECT_TRUE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_EQ(reply, std::string());
  transport.Reply("0 No value found");
  EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_EQ(reply, std::string("No value found"));
  for (const char* garbage : {"1", "", "2 value", "1x", "01 "}) {
    transport.Reply(garbage);
    EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply)) << garbage;
    EXPECT_EQ(reply, std::string("RpcOut: Invalid format for the result of the RPCI command")) << garbage;
  }
  transport.Reply("", GuestRpcError::kOpen);
  EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_EQ(reply, std::string("RpcOut: Unable to open the communication channel"));
  transport.Reply("", GuestRpcError::kSend);
  EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_EQ(reply, std::string("RpcOut: Unable to send the RPCI command"));
  transport.Reply("", GuestRpcError::kReceive);
  EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_EQ(reply, std::string("RpcOut: Unable to receive the result of the RPCI command"));
  // A failed close drops even a good reply.
  transport.Reply("1 value", GuestRpcError::kClose);
  EXPECT_FALSE(RpcOut::SendOne(transport, "x", &reply));
  EXPECT_FALSE(reply.has_value());
}

TEST_F(GuestInfoChannelTest, EmptySuccessGivesAnEmptyBuffer) {
  transport.Reply("1 ");
  char* buffer = nullptr;
  size_t length = 99;
  ASSERT_TRUE(guestInfo.GetValue("hostName", &buffer, &length));
  ASSERT_NE(buffer, nullptr);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(length, 0u);
  guestInfo.FreeValue(&buffer);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(transport.commands, std::vector<std::string>{"info-get guestinfo.hostName"});
}

TEST_F(GuestInfoChannelTest, ReadsValuesAndReportsMisses) {
  LogCapture log;
  transport.Reply("1 DESKTOP-42");
  std::string text;
  EXPECT_TRUE(guestInfo.GetValue("hostName", &text));
  EXPECT_EQ(text, "DESKTOP-42");
  transport.Reply("1 caf\xC3\xA9");
  std::wstring wide;
  EXPECT_TRUE(guestInfo.GetValue("primed.fqdn", &wide));
  EXPECT_EQ(wide, L"caf\u00E9");

  text = "kept";
  transport.Reply("0 No value found");
  EXPECT_FALSE(guestInfo.GetValue("preferredDC", &text));
  EXPECT_EQ(text, "kept");
  transport.Reply("garbage");
  EXPECT_FALSE(guestInfo.GetValue("preferredDC", &text));
  framework::log::FlushLog();
  EXPECT_EQ(
      log.Count(LogLevel::Warn, L"tamber::core::util::GuestInfo::Run(): Failed Running info-get guestinfo.preferredDC"),
      2u);
  EXPECT_EQ(log.Count(LogLevel::Warn,
                      L"tamber::core::util::GuestInfo::GetValue(): Failed getting info-get guestinfo.preferredDC"),
            2u);
}

TEST_F(GuestInfoChannelTest, CommandTexts) {
  EXPECT_TRUE(guestInfo.SetValue("clone.ves.vmhubconfig", "a b"));
  EXPECT_TRUE(guestInfo.SetValue("machinePasswd", ""));
  EXPECT_TRUE(guestInfo.SetValue("AgentCustomizationFlags", 2176));
  EXPECT_TRUE(guestInfo.SetValue("clone.CustomizationErrorCode", static_cast<int32_t>(0x80004005u)));
  EXPECT_TRUE(guestInfo.SetValue("x", INT32_MIN));
  EXPECT_TRUE(guestInfo.Log("Windows guest customization starts."));
  char* reply = nullptr;
  EXPECT_TRUE(guestInfo.Run("info-get guestinfo.scripts.PreShutdown", &reply));
  guestInfo.FreeValue(&reply);
  EXPECT_EQ(transport.commands, (std::vector<std::string>{
                                    "info-set guestinfo.clone.ves.vmhubconfig a b",
                                    "info-set guestinfo.machinePasswd ",  // how variables are cleared
                                    "info-set guestinfo.AgentCustomizationFlags 2176",
                                    "info-set guestinfo.clone.CustomizationErrorCode -2147467259",
                                    "info-set guestinfo.x -2147483648",
                                    "log 'Windows guest customization starts.'",
                                    "info-get guestinfo.scripts.PreShutdown",
                                }));
}

TEST_F(GuestInfoChannelTest, BadArgumentsSendNothing) {
  std::string text;
  char* buffer = nullptr;
  EXPECT_FALSE(guestInfo.Run(nullptr));
  EXPECT_FALSE(guestInfo.Run(""));
  EXPECT_FALSE(guestInfo.GetValue(nullptr, &text));
  EXPECT_FALSE(guestInfo.GetValue("", &buffer));
  EXPECT_FALSE(guestInfo.SetValue("", "v"));
  EXPECT_FALSE(guestInfo.SetValue("name", nullptr));
  // A blank or a line break in a name would make the command name another variable.
  EXPECT_FALSE(guestInfo.SetValue("hostName AgentCustomizationFlags", "1"));
  EXPECT_FALSE(guestInfo.GetValue("host\nName", &text));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_TRUE(transport.commands.empty());
}

TEST_F(GuestInfoChannelTest, FailuresAreLoggedWithoutSecrets) {
  LogCapture log;
  transport.Reply("0 refused");
  EXPECT_FALSE(guestInfo.SetValue("machinePasswd", "s3cr3t-blob"));
  transport.Reply("", GuestRpcError::kOpen);
  EXPECT_FALSE(guestInfo.SetValue("hostName", "h1"));
  transport.Reply("", GuestRpcError::kOpen);
  EXPECT_FALSE(guestInfo.Log("hello"));
  framework::log::FlushLog();
  for (const auto& entry : log.Entries()) EXPECT_EQ(entry.text.find(L"s3cr3t"), std::wstring::npos) << entry.text;
  EXPECT_TRUE(log.Contains(
      LogLevel::Error, L"tamber::core::util::GuestInfo::SetValue(): Failed setting info-set guestinfo.machinePasswd "));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error, L"tamber::core::util::GuestInfo::SetValue(): Failed setting info-set guestinfo.hostName h1"));
  EXPECT_TRUE(log.Contains(LogLevel::Warn, L"tamber::core::util::GuestInfo::Log(): Failed to run log 'hello'"));
}

TEST_F(GuestInfoChannelTest, StateVariables) {
  const std::pair<const char*, bool> cases[] = {{"1 10", true}, {"1 1", true},    {"1 0", false},
                                                {"1 ", false},  {"1 yes", false}, {"0 No value found", false}};
  for (const auto& [raw, expected] : cases) {
    transport.Reply(raw);
    EXPECT_EQ(guestInfo.IsGuestInfoVmStateSet("forked"), expected) << raw;
  }
  LogCapture log;
  transport.Reply("1 10");
  EXPECT_TRUE(guestInfo.IsGuestInfoVmStateSet("ngaFork"));
  framework::log::FlushLog();
  EXPECT_TRUE(
      log.Contains(LogLevel::Debug, L"tamber::core::util::GuestInfo::IsGuestInfoVmStateSet(): Value of ngaFork: 10"));
}

TEST_F(GuestInfoChannelTest, RoleVariableNames) {
  context.role = "replica";
  std::string out;
  EXPECT_EQ(guestInfo.BuildRoleVariableName(&out, nullptr, "CustomizationState"), "replica.CustomizationState");
  EXPECT_EQ(out, "replica.CustomizationState");
  EXPECT_EQ(guestInfo.BuildRoleVariableName(&out, "", "CustomizationState"), "replica.CustomizationState");
  context.role = "clone";
  EXPECT_EQ(guestInfo.BuildRoleVariableName(&out, "cloneprep", "uuid"), "cloneprep.clone.uuid");
  EXPECT_EQ(guestInfo.BuildRoleVariableName(&out, "cloneprep", ""), "");
  EXPECT_EQ(out, "");
  EXPECT_EQ(guestInfo.BuildRoleVariableName(nullptr, nullptr, nullptr), "");
}

TEST_F(GuestInfoChannelTest, DefaultContextTakesTheInstalledRoleSource) {
  GuestInfo defaults(nullptr, &transport);
  EXPECT_EQ(defaults.BuildRoleVariableName(nullptr, nullptr, "CustomizationState"), "unknown.CustomizationState");
  GuestInfoContext::SetRoleTextSource([] { return std::string("it"); });
  EXPECT_EQ(defaults.BuildRoleVariableName(nullptr, nullptr, "CustomizationState"), "it.CustomizationState");
  GuestInfoContext::SetRoleTextSource(nullptr);
}

// The golden image: the registry mirror stands in for the hypervisor, on the tier's real registry.
class GuestInfoRegistryTest : public test::GuestTest {
 protected:
  static void SetGoldenImage(uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"GoldenImage", value, regtype::kSetup), 0);
  }
  ScriptedTransport transport;
};

TEST_F(GuestInfoRegistryTest, MirrorReadsWritesAndLogs) {
  SetGoldenImage(1);
  GuestInfo guestInfo(nullptr, &transport);
  LogCapture log;
  std::string text = "stale";
  EXPECT_TRUE(guestInfo.GetValue("AgentCustomizationFlags", &text));  // absent reads as empty
  EXPECT_EQ(text, "");
  EXPECT_FALSE(guestInfo.IsGuestInfoVmStateSet("ngaFork"));

  EXPECT_TRUE(guestInfo.SetValue("AgentCustomizationFlags", 16384));
  EXPECT_TRUE(guestInfo.SetValue("clone.PersistentDisks", "1:P:U \xE2\x82\xAC"));
  std::wstring raw;
  ASSERT_EQ(Registry::Instance()->GetValue(L"AgentCustomizationFlags", &raw, regtype::kGuestInfo), 0);
  EXPECT_EQ(raw, L"16384");
  std::wstring wide;
  EXPECT_TRUE(guestInfo.GetValue("clone.PersistentDisks", &wide));
  EXPECT_EQ(wide, L"1:P:U \u20AC");
  EXPECT_TRUE(guestInfo.SetValue("machinePasswd", "s3cr3t-blob"));
  EXPECT_TRUE(guestInfo.GetValue("machinePasswd", &text));
  EXPECT_EQ(text, "s3cr3t-blob");
  // The clone UUID keys the password's cipher: as secret as the password in the log.
  EXPECT_TRUE(guestInfo.SetValue("cloneprep.clone.uuid", "s3cr3t-uuid"));
  EXPECT_TRUE(guestInfo.GetValue("cloneprep.clone.uuid", &text));
  EXPECT_EQ(text, "s3cr3t-uuid");
  EXPECT_TRUE(guestInfo.Log("Windows guest customization starts."));
  EXPECT_TRUE(transport.commands.empty());

  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::GuestInfo::GetValue(): Get GuestInfo equivalent regkey entry/value pair: AgentCustomizationFlags = "));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::GuestInfo::SetValue(): Set GuestInfo equivalent regkey entry/value pair: AgentCustomizationFlags = 16384"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Info,
      L"tamber::core::util::GuestInfo::Log(): GuestInfo equivalent log: Windows guest customization starts."));
  for (const auto& entry : log.Entries()) EXPECT_EQ(entry.text.find(L"s3cr3t"), std::wstring::npos) << entry.text;
}

TEST_F(GuestInfoRegistryTest, RunIsRefusedWithTheCallersStack) {
  SetGoldenImage(1);
  GuestInfo guestInfo(nullptr, &transport);
  LogCapture log;
  char* reply = reinterpret_cast<char*>(&transport);  // must be cleared
  EXPECT_FALSE(guestInfo.Run("info-get guestinfo.scripts.PostCustomization", &reply));
  EXPECT_EQ(reply, nullptr);
  EXPECT_TRUE(transport.commands.empty());
  framework::log::FlushLog();
  auto entries = log.Entries();
  const std::wstring prefix = L"tamber::core::util::GuestInfo::Run(): Not allowed callstack: ";
  bool found = false;
  for (const auto& entry : entries) {
    if (entry.text.rfind(prefix, 0) != 0) continue;
    found = true;
    // At least the test's own frame, named by its module.
    EXPECT_NE(entry.text.find(L"velocyn_tests"), std::wstring::npos) << entry.text;
  }
  EXPECT_TRUE(found);
}

TEST_F(GuestInfoRegistryTest, ModeIsDecidedOnEveryCall) {
  GuestInfo guestInfo(nullptr, &transport);
  std::string text;
  transport.Reply("1 from-hypervisor");
  EXPECT_TRUE(guestInfo.GetValue("hostName", &text));
  EXPECT_EQ(text, "from-hypervisor");
  SetGoldenImage(1);
  EXPECT_TRUE(guestInfo.GetValue("hostName", &text));
  EXPECT_EQ(text, "");
  SetGoldenImage(2);  // only 1 turns the mirror on
  transport.Reply("1 again");
  EXPECT_TRUE(guestInfo.GetValue("hostName", &text));
  EXPECT_EQ(text, "again");
  EXPECT_EQ(transport.commands.size(), 2u);
}

// The machine's own transport: the simulated machine's hypervisor in the native tier; under Wine, the
// simulated hypervisor directory named by VELOCYN_HYPERVISOR_DIR (without it the channel would not open,
// as Wine does not run under the hypervisor).
class GuestInfoTransportTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("hypervisor");
    ASSERT_TRUE(hypervisor_->Ok());
  }
  void TearDown() override {
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }
  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST_F(GuestInfoTransportTest, RoundTripThroughTheMachinesHypervisor) {
  GuestInfo guestInfo;
  std::string value;
  EXPECT_FALSE(guestInfo.GetValue("hostName", &value));
  EXPECT_TRUE(guestInfo.SetValue("hostName", "DESKTOP 42"));
  EXPECT_TRUE(guestInfo.GetValue("hostName", &value));
  EXPECT_EQ(value, "DESKTOP 42");
  EXPECT_TRUE(guestInfo.SetValue("forked", 1));
  EXPECT_TRUE(guestInfo.IsGuestInfoVmStateSet("forked"));
  EXPECT_TRUE(guestInfo.Log("Windows guest customization starts."));
}

}  // namespace
}  // namespace tamber::core::util
