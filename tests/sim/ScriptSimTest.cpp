// The secure script folder taken by another local user of the simulated guest before the agent secures
// its scripts: the user owns it, may write in it, and has planted a script and a digest of their own.
#include <gtest/gtest.h>

#include <string>

#include "common/security/FileProtection.h"
#include "common/util/StringConverter.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/GuestInfo.h"
#include "core/util/Singleton.h"
#include "core/windows/Script.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/sim/security/SimFileSecurity.h"
#include "support/LogFiles.h"
#include "support/ScriptFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using common::security::FileProtection;
using platform::sim::ActAsUser;

constexpr wchar_t kOtherUser[] = L"S-1-5-21-1000-2000-3000-1001";

std::wstring Wide(const std::string& text) { return common::i18n::StringConverter::Utf8ToWString(text); }

class ScriptSimTest : public test::GuestTest {
 protected:
  void TearDown() override {
    util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }
};

TEST_F(ScriptSimTest, FolderTakenByAnotherUserIsResetBeforeTheScriptIsSecured) {
  const std::string folder = Script().SecureFolder();
  const std::wstring directory = Wide(folder.substr(0, folder.size() - 1));
  const std::wstring planted = Wide(folder) + L"post" + test::ScriptExtension();
  {
    // The user's folder: owned by them, writable by every user, closed to the system account.
    ActAsUser user(kOtherUser);
    platform::FileSecurityDescriptor own;
    own.owner = kOtherUser;
    own.daclPresent = true;
    own.control = platform::kSeDaclProtected;
    const uint8_t inherit = platform::kObjectInheritAce | platform::kContainerInheritAce;
    own.dacl = {platform::Ace{platform::kAccessAllowedAceType, inherit, platform::kFileAllAccess, kOtherUser},
                platform::Ace{platform::kAccessAllowedAceType, inherit, platform::kFileAllAccess, L"S-1-5-32-545"}};
    ASSERT_TRUE(platform::CreateDirectoryWithSecurity(directory.c_str(), own));
    ASSERT_TRUE(test::WriteMarkerScript(planted, L"C:\\planted.marker", 0));
    ASSERT_TRUE(test::WriteWholeFile(Wide(folder) + L"PostCustomizationHash.txt", std::string(32, 'x')));
  }
  test::MakeDirectories(L"C:\\Scripts");
  ASSERT_TRUE(test::WriteMarkerScript(L"C:\\Scripts\\post" + test::ScriptExtension(), L"C:\\admin.marker", 0));
  ASSERT_TRUE(util::GuestInfo().SetValue(
      "scripts.PostCustomization",
      ("\"C:\\Scripts\\post" + common::i18n::StringConverter::ToUtf8String(test::ScriptExtension()) + "\"").c_str()));

  test::LogCapture log;
  ASSERT_TRUE(Script().SecureScripts(false));
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Warn,
                      L"tamber::core::windows::Script::CreateTempDir(): Temp Directory Is Not Trusted "
                      L"(owned by S-1-5-21-1000-2000-3000-1001), Resetting Its Owner And Protection: " +
                          Wide(folder)),
            1u);
  EXPECT_TRUE(util::CustomizationPersistentInfo::Instance()->Is(util::Persisted::PostCustScriptSecured));
  EXPECT_TRUE(FileProtection::IsTrusted(directory));
  // The planted files were replaced by new ones of the agent's.
  EXPECT_TRUE(FileProtection::IsTrusted(planted));
  EXPECT_TRUE(FileProtection::IsTrusted(Wide(folder) + L"PostCustomizationHash.txt"));
  {
    ActAsUser user(kOtherUser);
    common::windows::UniqueFile file(platform::CreateFile(planted.c_str(), platform::kGenericWrite, 0,
                                                          platform::kOpenExisting, platform::kFileAttributeNormal));
    EXPECT_FALSE(file) << "the user can no longer change the secured copy";
    EXPECT_FALSE(test::WriteWholeFile(Wide(folder) + L"other.txt", "x"));
  }
  EXPECT_TRUE(Script().RunPostCustomizationScript(false));
  EXPECT_TRUE(test::FileExists(L"C:\\admin.marker"));
  EXPECT_FALSE(test::FileExists(L"C:\\planted.marker"));
}

}  // namespace
}  // namespace tamber::core::windows
