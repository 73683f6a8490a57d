// The customization scripts in both tiers, as real processes: batch files run by cmd.exe (and JScript by
// cscript) under Wine, shell scripts on the simulated guest; the values come through the machine's
// hypervisor channel, the secure folder is the tier's real Windows temporary directory.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/security/Encryption.h"
#include "common/security/FileProtection.h"
#include "common/util/StringConverter.h"
#include "common/util/Util.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/GuestInfo.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/Script.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "support/ChildCommands.h"
#include "support/HypervisorDirectory.h"
#include "support/LogFiles.h"
#include "support/ScriptFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::Persisted;

const std::wstring kPrefix = L"tamber::core::windows::Script::";
// A folder whose name holds a blank, as administrators' folders often do.
const std::wstring kScripts = L"C:\\ProgramData\\Talvora\\script test\\";
constexpr const char* kPostVariable = "scripts.PostCustomization";
constexpr const char* kPreVariable = "scripts.PreShutdown";

std::string Narrow(const std::wstring& text) { return common::i18n::StringConverter::ToUtf8String(text); }
std::wstring Wide(const std::string& text) { return common::i18n::StringConverter::Utf8ToWString(text); }

void RemoveSecureFolder() {
  const std::wstring folder = Wide(Script().SecureFolder());
  test::RemoveFiles(folder);
  platform::RemoveDirectory(folder.c_str());
}

class ScriptTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    hypervisor_.emplace("script-hv");
    ASSERT_TRUE(hypervisor_->Ok());
    RemoveSecureFolder();
    test::MakeDirectories(kScripts);
    test::RemoveFiles(kScripts);
  }
  void TearDown() override {
    RemoveSecureFolder();
    test::RemoveFiles(kScripts);
    util::ResetSingletonsForTest();
    hypervisor_.reset();
    test::GuestTest::TearDown();
  }

  static void SetGuestInfo(const char* name, const std::string& value) {
    ASSERT_TRUE(util::GuestInfo().SetValue(name, value.c_str()));
  }
  static bool Is(Persisted id) { return CustomizationPersistentInfo::Instance()->Is(id); }
  static void SetGa(const wchar_t* name, uint32_t value) {
    ASSERT_EQ(util::Registry::Instance()->SetValue(name, value, util::regtype::kGa), 0);
  }
  static size_t Logged(const LogCapture& log, LogLevel level, const std::wstring& text) {
    framework::log::FlushLog();
    return log.Count(level, text.starts_with(L"tamber::") ? text : kPrefix + text);
  }
  // A marker script in the administrators' folder; its value quotes the path and passes the arguments.
  static std::string MarkerScriptValue(const std::wstring& name, const std::wstring& marker, uint32_t exitCode,
                                       const std::string& arguments) {
    const std::wstring path = kScripts + name + test::ScriptExtension();
    EXPECT_TRUE(test::WriteMarkerScript(path, marker, exitCode));
    return "\"" + Narrow(path) + "\"" + (arguments.empty() ? "" : " " + arguments);
  }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST(ScriptPathPatternTest, DecidesAsTheRegularExpression) {
  const std::regex pattern(Script::kScriptPathPattern, std::regex::ECMAScript);
  const char* paths[] = {"C:\\Scripts\\post.cmd",
                         "c:\\a b\\c_d-e.f",
                         "\\relative\\to\\drive",
                         "C:\\dir\\",
                         "C:\\",
                         "C:",
                         "",
                         "scripts\\post.cmd",
                         "C:/Scripts/post.cmd",
                         "\\\\server\\share\\x.cmd",
                         "C:\\Program Files (x86)\\x.cmd",
                         "C:\\a\\\\b",
                         "C:\\tab\there",
                         "1:\\x",
                         "C:\\x\\\\",
                         "C:\\\u00e9t\u00e9.cmd",
                         "C:\\a;b.cmd"};
  for (const char* path : paths) {
    EXPECT_EQ(Script::IsScriptPathToken(path), std::regex_match(std::string(path), pattern)) << path;
  }
  EXPECT_TRUE(Script::IsScriptPathToken("C:\\Windows\\System32\\cmd.exe"));
  EXPECT_FALSE(Script::IsScriptPathToken("C:\\Program Files (x86)\\x.cmd")) << "parentheses";
}

TEST_F(ScriptTest, SecuredScriptRunsFromTheSecureFolderWithItsArguments) {
  const std::wstring marker = kScripts + L"post.marker";
  const std::string value = MarkerScriptValue(L"post", marker, 0, "first second");
  SetGuestInfo(kPostVariable, value);
  LogCapture log;
  Script script;
  EXPECT_TRUE(script.SecureScripts(/*fastRefresh=*/false));
  EXPECT_TRUE(Is(Persisted::PostCustScriptConfigured));
  EXPECT_TRUE(Is(Persisted::PostCustScriptSecured));
  EXPECT_FALSE(Is(Persisted::PreShutdownScriptConfigured));
  EXPECT_TRUE(Is(Persisted::ScriptsSecured));

  // The copy under its file name, and the digest of the whole value as 32 raw bytes in a hidden file.
  const std::string folder = script.SecureFolder();
  const std::wstring secureCopy = Wide(folder) + L"post" + test::ScriptExtension();
  EXPECT_TRUE(test::FileExists(secureCopy));
  uint8_t expected[32] = {};
  ASSERT_EQ(common::windows::Encryption::computeHash(reinterpret_cast<const uint8_t*>(value.data()),
                                                     static_cast<uint32_t>(value.size()), expected),
            32u);
  EXPECT_EQ(test::ReadWholeFile(Wide(folder) + L"PostCustomizationHash.txt"),
            std::string(reinterpret_cast<const char*>(expected), 32));
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ParsePath(): New Script Path W: " + secureCopy + L" first second"), 1u);
  EXPECT_TRUE(common::security::FileProtection::IsTrusted(Wide(folder.substr(0, folder.size() - 1))));

  // A later start: a new object runs the secured copy.
  EXPECT_FALSE(test::FileExists(marker));
  LogCapture run;
  EXPECT_TRUE(Script().RunPostCustomizationScript(/*fastRefresh=*/false));
  EXPECT_EQ(test::ReadWholeFile(marker).substr(0, 9), "ran first");
  EXPECT_EQ(Logged(run, LogLevel::Debug, L"RunPostCustomizationScript(): Post-Customization Script Succeeded"), 1u);
  EXPECT_EQ(Logged(run, LogLevel::Debug,
                   L"RunCustomizationScript(): Running Post-Customization script: " + secureCopy +
                       L" first second with timeout: 20000ms, LogScriptOutput: 1"),
            1u);

  // Securing is latched.
  LogCapture again;
  EXPECT_TRUE(Script().SecureScripts(false));
  EXPECT_EQ(Logged(again, LogLevel::Debug, L"SecureScripts(): Scripts Already Secured"), 1u);
}

TEST_F(ScriptTest, ValueChangedAfterSecuringIsNotRun) {
  const std::wstring marker = kScripts + L"pre.marker";
  SetGuestInfo(kPreVariable, MarkerScriptValue(L"pre", marker, 0, "one"));
  ASSERT_TRUE(Script().SecureScripts(false));
  ASSERT_TRUE(Script().IsPreShutdownScriptReady());
  // Only the arguments change.
  SetGuestInfo(kPreVariable, MarkerScriptValue(L"pre", marker, 0, "two"));
  LogCapture log;
  EXPECT_FALSE(Script().RunPreShutdownScript());
  EXPECT_EQ(Logged(log, LogLevel::Error,
                   L"RunCustomizationScript(): Pre-Shutdown Script Hash Validation Failed, Cannot Run It"),
            1u);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"RunPreShutdownScript(): Pre-Shutdown Script Failed"), 1u);
  EXPECT_FALSE(test::FileExists(marker)) << "the script did not run";
}

TEST_F(ScriptTest, ScriptConfiguredOnlyAfterSecuringIsNotRun) {
  LogCapture log;
  EXPECT_TRUE(Script().SecureScripts(false));
  EXPECT_FALSE(Is(Persisted::ScriptsSecured)) << "nothing configured: a later call tries again";
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"SecureScript(): Script Path Not Configured: Post-Customization"), 1u);
  EXPECT_EQ(Logged(log, LogLevel::Warn, L"SecureScript(): Script Path Not Configured: Pre-Shutdown"), 1u);
  EXPECT_FALSE(Script().IsPreShutdownScriptReady());

  const std::wstring marker = kScripts + L"late.marker";
  SetGuestInfo(kPreVariable, MarkerScriptValue(L"late", marker, 0, ""));
  EXPECT_TRUE(Script().RunPreShutdownScript());
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"RunPreShutdownScript(): Pre-Shutdown Script Was Not Configured"), 1u);
  EXPECT_FALSE(test::FileExists(marker));
}

TEST_F(ScriptTest, FailingScriptAndUnsecuredScriptReportFailure) {
  SetGuestInfo(kPostVariable, MarkerScriptValue(L"fails", kScripts + L"fails.marker", 3, ""));
  ASSERT_TRUE(Script().SecureScripts(false));
  LogCapture log;
  EXPECT_FALSE(Script().RunPostCustomizationScript(false));
  EXPECT_TRUE(test::FileExists(kScripts + L"fails.marker")) << "it ran, and said it failed";
  EXPECT_EQ(Logged(log, LogLevel::Error, L"RunCustomizationScript(): Failed Running Post-Customization Script: "), 1u);
  EXPECT_EQ(Logged(log, LogLevel::Error, L"RunPostCustomizationScript(): Post-Customization Script Failed"), 1u);

  // Configured but never secured.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PostCustScriptSecured", 0u, util::regtype::kGa), 0);
  EXPECT_FALSE(Script().RunPostCustomizationScript(false));
  EXPECT_EQ(Logged(log, LogLevel::Error,
                   L"RunPostCustomizationScript(): Cannot Execute Post-Customization Script. It Was Not Secured"),
            1u);
  // No longer configured at all.
  SetGa(L"PostCustScriptSecured", 1);
  SetGuestInfo(kPostVariable, "");
  EXPECT_FALSE(Script().RunPostCustomizationScript(false));
  EXPECT_EQ(Logged(log, LogLevel::Warn,
                   L"RunCustomizationScript(): Post-Customization Script Was Configured At Beginning Of Customization, "
                   L"But Is No Longer Configured. Cannot Run Script"),
            1u);
}

TEST_F(ScriptTest, ScriptOutlivingItsTimeIsEndedWithItsChildren) {
  test::SleepingChild child(60000);
  const std::wstring path = kScripts + L"sleeps" + test::ScriptExtension();
  ASSERT_TRUE(test::WriteWaitingScript(path, child.CommandLine()));
  SetGuestInfo(kPreVariable, "\"" + Narrow(path) + "\"");
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"ExecScriptTimeout", 2000u, util::regtype::kService), 0);
  ASSERT_TRUE(Script().SecureScripts(false));

  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Script().RunPreShutdownScript());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << "not the child's minute";
  EXPECT_TRUE(child.Started());
  EXPECT_EQ(Logged(log, LogLevel::Error,
                   L"tamber::common::util::Util::RunScript(): Ending Script Process Tree After Time-Out"),
            1u);
  bool running = true;
  for (int i = 0; i < 50 && running; ++i) {
    running = child.IsRunning();
    if (running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(running) << "the script's child was ended with it";
  EXPECT_EQ(Logged(log, LogLevel::Error, L"RunPreShutdownScript(): Pre-Shutdown Script Failed"), 1u);
}

TEST_F(ScriptTest, InterpreterStaysWhereItIsAndOnlyTheScriptIsCopied) {
  const std::wstring interpreter = test::InterpreterPath();
  const std::wstring path = kScripts + L"interpreted" + test::InterpretedExtension();
  const std::wstring marker = kScripts + L"interpreted.marker";
  ASSERT_TRUE(test::WriteInterpretedMarkerScript(path, marker, 0));
  // The tier's interpreter must run a script at all: a fresh Wine prefix may come without a working script
  // host. The sim tier's interpreter always runs.
  std::string output;
  if (!common::util::Util::RunScript(interpreter + L" " + path + L" probe", output, /*logOutput=*/false, 20000) ||
      test::ReadWholeFile(marker).substr(0, 9) != "ran probe") {
    GTEST_SKIP() << "this tier's interpreter " << Narrow(interpreter) << " does not run scripts here";
  }
  SetGuestInfo(kPostVariable, "\"" + Narrow(interpreter) + " " + Narrow(path) + "\" argument");
  LogCapture log;
  Script script;
  ASSERT_TRUE(script.SecureScripts(false));
  ASSERT_TRUE(Is(Persisted::PostCustScriptSecured));
  const std::wstring secureCopy = Wide(script.SecureFolder()) + L"interpreted" + test::InterpretedExtension();
  EXPECT_TRUE(test::FileExists(secureCopy));
  const std::wstring interpreterName = interpreter.substr(interpreter.rfind(L'\\') + 1);
  EXPECT_FALSE(test::FileExists(Wide(script.SecureFolder()) + interpreterName));
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ParsePath(): Interpreter Path: " + interpreter), 1u);
  EXPECT_EQ(Logged(log, LogLevel::Debug,
                   L"ParsePath(): New Script Path W: " + interpreter + L" " + secureCopy + L" argument"),
            1u);
  EXPECT_TRUE(Script().RunPostCustomizationScript(false));
  EXPECT_EQ(test::ReadWholeFile(marker).substr(0, 12), "ran argument");
}

TEST_F(ScriptTest, ParseFailuresNameTheirCause) {
  const std::wstring odd = L"C:\\ProgramData\\Talvora\\script (x)\\";
  test::MakeDirectories(odd);
  ASSERT_TRUE(test::WriteMarkerScript(odd + L"odd" + test::ScriptExtension(), kScripts + L"odd.marker", 0));
  const std::string oddPath = Narrow(odd + L"odd" + test::ScriptExtension());
  const std::string plain = MarkerScriptValue(L"plain", kScripts + L"plain.marker", 0, "");
  const std::string plainPath = plain.substr(1, plain.size() - 2);
  const std::string tooLong = "\"" + plainPath + "\" " + std::string(512 - plainPath.size() - 3, 'a');
  ASSERT_EQ(tooLong.size(), 512u);
  // The secure copy's path is longer than this one's, so the command line passes its limit first.
  test::MakeDirectories(L"C:\\s");
  ASSERT_TRUE(test::WriteMarkerScript(L"C:\\s\\p" + test::ScriptExtension(), kScripts + L"p.marker", 0));
  const std::string shortPath = "C:\\s\\p" + Narrow(test::ScriptExtension());
  const std::string longCommand = "\"" + shortPath + "\" " + std::string(511 - shortPath.size() - 3, 'b');

  struct Case {
    std::string value;
    std::wstring error;
  };
  const Case cases[] = {
      {"\"" + oddPath + "\"", L"ParsePath(): First Token Must Be A Path"},
      {"\"" + plainPath + " " + oddPath + "\"", L"ParsePath(): Second Token Must Be A Path"},
      {"\"" + plainPath, L"ParsePath(): Original Path Was Not Properly Quoted"},
      {plainPath, L"ParsePath(): Original Path Was Not Properly Quoted"},
      {"\"" + Narrow(kScripts.substr(0, kScripts.size() - 1)) + "\"", L"TokenizePath(): Path Is A Directory"},
      {"\"C:\\ProgramData\\Talvora\\nothing here.cmd\"", L"TokenizePath(): Path Doesn't Exist"},
      {"x", L"ParsePath(): Original Path Is Too Short"},
      {tooLong, L"ParsePath(): Original Path Is Too Long: 512 Bytes"},
      {longCommand, L"ParsePath(): Command Line Is Too Long: "},
  };
  for (const auto& c : cases) {
    LogCapture log;
    ScriptCommand command;
    EXPECT_FALSE(Script().ParsePath(c.value, &command)) << c.value;
    EXPECT_EQ(Logged(log, LogLevel::Error, c.error), 1u) << c.value;
  }
  LogCapture empty;
  ScriptCommand command;
  EXPECT_FALSE(Script().ParsePath("", &command));
  EXPECT_EQ(Logged(empty, LogLevel::Error, L"ParsePath(): Original Path Is Empty"), 1u);

  // Such a script is configured but not secured, and the latch stays clear.
  SetGuestInfo(kPostVariable, "\"" + oddPath + "\"");
  LogCapture log;
  EXPECT_TRUE(Script().SecureScripts(false));
  EXPECT_TRUE(Is(Persisted::PostCustScriptConfigured));
  EXPECT_FALSE(Is(Persisted::PostCustScriptSecured));
  EXPECT_FALSE(Is(Persisted::ScriptsSecured));
  EXPECT_EQ(Logged(log, LogLevel::Error, L"SecureScript(): Failed Parsing Script Path, Cannot Continue"), 1u);
  EXPECT_FALSE(Script().RunPostCustomizationScript(false));
}

TEST_F(ScriptTest, PathsHoldingBlanksAreFoundWhateverTheBlanks) {
  const std::string value = MarkerScriptValue(L"two words", kScripts + L"words.marker", 0, "");
  std::string doubled = value;
  doubled.replace(doubled.find("two words"), 9, "two  words");
  ScriptCommand command;
  ASSERT_TRUE(Script().ParsePath(doubled, &command));
  EXPECT_EQ(command.scriptPath, value.substr(1, value.size() - 2)) << "two blanks are looked up as one";
  // A secure copy whose name holds a blank is quoted on the command line.
  EXPECT_EQ(command.commandLine,
            L"\"" + Wide(Script().SecureFolder()) + L"two words" + test::ScriptExtension() + L"\"");
}

TEST_F(ScriptTest, FastRefreshWithThePostCustomizationScriptDisabled) {
  const std::wstring marker = kScripts + L"refresh.marker";
  SetGuestInfo(kPostVariable, MarkerScriptValue(L"refresh", marker, 0, ""));
  SetGa(L"PostCustomizationScriptDisabled", 1);
  LogCapture log;
  EXPECT_TRUE(Script().SecureScripts(/*fastRefresh=*/true));
  EXPECT_FALSE(Is(Persisted::PostCustScriptConfigured));
  EXPECT_FALSE(Is(Persisted::PostCustScriptSecured));
  EXPECT_EQ(Logged(log, LogLevel::Info, L"SecureScripts(): Post-Customization Script Disabled for Fast Refresh"), 1u);
  EXPECT_TRUE(Script().RunPostCustomizationScript(/*fastRefresh=*/true));
  EXPECT_FALSE(test::FileExists(marker));
}

TEST_F(ScriptTest, ValuePointingAtTheSecuredCopyIsNotCopiedAgain) {
  SetGuestInfo(kPostVariable, MarkerScriptValue(L"again", kScripts + L"again.marker", 0, ""));
  Script first;
  ASSERT_TRUE(first.SecureScripts(false));
  // The next customization names the copy itself.
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"ScriptsSecured", 0u, util::regtype::kGa), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PostCustScriptSecured", 0u, util::regtype::kGa), 0);
  SetGuestInfo(kPostVariable, "\"" + first.SecureFolder() + "again" + Narrow(test::ScriptExtension()) + "\"");
  LogCapture log;
  EXPECT_TRUE(Script().SecureScripts(false));
  EXPECT_TRUE(Is(Persisted::PostCustScriptSecured));
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"ScriptInSecureFolder(): Script Already In Secure Path, Nothing To Do"), 1u);
  EXPECT_EQ(Logged(log, LogLevel::Debug, L"CopyScript(): Secured"), 0u);
  EXPECT_TRUE(Script().RunPostCustomizationScript(false));
}

// A folder of the secure folder's name that others may write to is made the agent's before anything goes
// in; what was secured and later opened to others again is not run.
TEST_F(ScriptTest, UntrustedSecureFolderIsResetAndAnOpenedCopyIsNotRun) {
  if (!test::TierKeepsFileSecurity()) GTEST_SKIP() << "this tier does not keep the protection asked for";
  const std::string folder = Script().SecureFolder();
  const std::wstring directory = Wide(folder.substr(0, folder.size() - 1));
  platform::FileSecurityDescriptor open = common::security::FileProtection::AgentFolder();
  open.dacl.push_back(platform::Ace{platform::kAccessAllowedAceType,
                                    platform::kObjectInheritAce | platform::kContainerInheritAce,
                                    platform::kFileAllAccess, L"S-1-5-32-545"});
  ASSERT_TRUE(platform::CreateDirectoryWithSecurity(directory.c_str(), open));
  ASSERT_FALSE(common::security::FileProtection::IsTrusted(directory));

  const std::wstring marker = kScripts + L"trusted.marker";
  SetGuestInfo(kPostVariable, MarkerScriptValue(L"trusted", marker, 0, ""));
  LogCapture log;
  ASSERT_TRUE(Script().SecureScripts(false));
  EXPECT_EQ(
      Logged(log, LogLevel::Warn,
             L"CreateTempDir(): Temp Directory Is Not Trusted (writable by S-1-5-32-545), Resetting Its Owner And "
             L"Protection: " +
                 Wide(folder)),
      1u);
  EXPECT_TRUE(Is(Persisted::PostCustScriptSecured));
  EXPECT_TRUE(common::security::FileProtection::IsTrusted(directory));

  // Someone opens the hash file to users after securing: the script is not run.
  const std::wstring hashFile = Wide(folder) + L"PostCustomizationHash.txt";
  platform::FileSecurityDescriptor opened;
  opened.daclPresent = true;
  opened.dacl = {platform::Ace{platform::kAccessAllowedAceType, 0, platform::kFileAllAccess, L"S-1-5-32-545"}};
  ASSERT_EQ(platform::SetNamedSecurityInfo(hashFile.c_str(), platform::kDaclSecurityInformation, opened), 0u);
  EXPECT_FALSE(Script().RunPostCustomizationScript(false));
  EXPECT_EQ(Logged(log, LogLevel::Error,
                   L"RunCustomizationScript(): Post-Customization Script Is Not Trusted, Cannot Run It: " + hashFile +
                       L": writable by S-1-5-32-545"),
            1u);
  EXPECT_FALSE(test::FileExists(marker));
}

}  // namespace
}  // namespace tamber::core::windows
