// The simulated guest's file security: owners and DACLs recorded per object, inheritance as NTFS does it,
// another local user's rights, taking ownership; and the agent's custom data folder made by that user
// first.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/security/FileProtection.h"
#include "common/windows/Handles.h"
#include "core/util/GuestInfo.h"
#include "core/util/Singleton.h"
#include "core/windows/AgentIntegration.h"
#include "framework/log/Log.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Power.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/security/SimFileSecurity.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::security::FileProtection;
using common::windows::UniqueFile;
using platform::Ace;
using platform::FileSecurityDescriptor;
using platform::sim::ActAsUser;
using platform::sim::Machine;

constexpr wchar_t kOtherUser[] = L"S-1-5-21-1000-2000-3000-1001";
constexpr uint8_t kBoth = platform::kObjectInheritAce | platform::kContainerInheritAce;

FileSecurityDescriptor Read(const std::wstring& path) {
  FileSecurityDescriptor descriptor;
  EXPECT_EQ(platform::GetNamedSecurityInfo(
                path.c_str(), platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation, &descriptor),
            0u)
      << ::testing::PrintToString(path);
  return descriptor;
}

bool CanCreateFile(const std::wstring& path) {
  UniqueFile file(platform::CreateFile(path.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways,
                                       platform::kFileAttributeNormal));
  return static_cast<bool>(file);
}

// The ACEs that apply to the object itself, as (sid, mask).
std::vector<std::pair<std::wstring, uint32_t>> Effective(const FileSecurityDescriptor& descriptor) {
  std::vector<std::pair<std::wstring, uint32_t>> result;
  for (const auto& ace : descriptor.dacl) {
    if ((ace.flags & platform::kInheritOnlyAce) == 0) result.emplace_back(ace.sid, ace.mask);
  }
  return result;
}

void EnablePrivilege(const wchar_t* name) {
  common::windows::UniqueHandle token;
  ASSERT_TRUE(platform::OpenProcessToken(platform::kTokenAdjustPrivileges, token.put()));
  platform::Luid luid;
  ASSERT_TRUE(platform::LookupPrivilegeValue(nullptr, name, &luid));
  ASSERT_TRUE(platform::AdjustTokenPrivilege(token.get(), luid, platform::kSePrivilegeEnabled));
}

using FileSecuritySimTest = test::GuestTest;

TEST_F(FileSecuritySimTest, UsersOwnWhatTheyCreateInTheTemporaryDirectoryOnly) {
  const std::wstring folder = L"C:\\Windows\\Temp\\users-folder";
  {
    ActAsUser user(kOtherUser);
    ASSERT_TRUE(platform::CreateDirectory(folder.c_str()));
    EXPECT_TRUE(CanCreateFile(folder + L"\\note.txt"));
    EXPECT_FALSE(platform::CreateDirectory(L"C:\\Windows\\elsewhere"));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    EXPECT_FALSE(CanCreateFile(L"C:\\Windows\\System32\\planted.dll"));
  }
  auto descriptor = Read(folder);
  EXPECT_EQ(descriptor.owner, kOtherUser);
  // CREATOR OWNER became the user; the system and the administrators came down from the parent.
  auto effective = Effective(descriptor);
  EXPECT_NE(
      std::find(effective.begin(), effective.end(), std::make_pair(std::wstring(kOtherUser), platform::kFileAllAccess)),
      effective.end());
  EXPECT_EQ(Read(folder + L"\\note.txt").owner, kOtherUser);
  std::wstring reason;
  EXPECT_FALSE(FileProtection::IsTrusted(folder, &reason));
  EXPECT_EQ(reason, std::wstring(L"owned by ") + kOtherUser);

  // What the agent creates is owned by the administrators and inherits the same way.
  ASSERT_TRUE(platform::CreateDirectory(L"C:\\Windows\\Temp\\agent-folder"));
  EXPECT_EQ(Read(L"C:\\Windows\\Temp\\agent-folder").owner, L"S-1-5-32-544");
}

TEST_F(FileSecuritySimTest, TakingOwnershipNeedsThePrivilegeAndTheOwnerMayThenReplaceTheDacl) {
  const std::wstring folder = L"C:\\Windows\\Temp\\locked";
  FileSecurityDescriptor own;
  own.owner = kOtherUser;
  own.daclPresent = true;
  own.control = platform::kSeDaclProtected;
  own.dacl = {Ace{platform::kAccessAllowedAceType, kBoth, platform::kFileAllAccess, kOtherUser}};
  {
    ActAsUser user(kOtherUser);
    ASSERT_TRUE(platform::CreateDirectoryWithSecurity(folder.c_str(), own));
  }
  // The user's DACL names nobody else: not even the system account may write in it or change it.
  EXPECT_FALSE(CanCreateFile(folder + L"\\x.txt"));
  FileSecurityDescriptor administrators;
  administrators.owner = L"S-1-5-32-544";
  EXPECT_EQ(platform::SetNamedSecurityInfo(folder.c_str(), platform::kOwnerSecurityInformation, administrators),
            platform::kErrorAccessDenied);
  EXPECT_EQ(
      platform::SetNamedSecurityInfo(folder.c_str(), platform::kDaclSecurityInformation, FileProtection::AgentFolder()),
      platform::kErrorAccessDenied);
  // Naming someone else as owner needs the restore privilege even with the right to change the owner.
  EnablePrivilege(L"SeTakeOwnershipPrivilege");
  FileSecurityDescriptor stranger;
  stranger.owner = L"S-1-5-21-1000-2000-3000-1002";
  EXPECT_EQ(platform::SetNamedSecurityInfo(folder.c_str(), platform::kOwnerSecurityInformation, stranger),
            platform::kErrorInvalidOwner);

  ASSERT_EQ(FileProtection::ResetFolder(folder), 0u);
  auto reset = Read(folder);
  EXPECT_EQ(reset.owner, L"S-1-5-32-544");
  EXPECT_EQ(Effective(reset),
            (std::vector<std::pair<std::wstring, uint32_t>>{{L"S-1-5-18", platform::kFileAllAccess},
                                                            {L"S-1-5-32-544", platform::kFileAllAccess},
                                                            {L"S-1-5-32-545", platform::kFileGenericReadAndExecute}}));
  EXPECT_TRUE(FileProtection::IsTrusted(folder));
  EXPECT_TRUE(CanCreateFile(folder + L"\\x.txt"));
  {
    ActAsUser user(kOtherUser);
    EXPECT_FALSE(CanCreateFile(folder + L"\\y.txt"));
    EXPECT_FALSE(CanCreateFile(folder + L"\\x.txt")) << "nor write to what the agent made";
    EXPECT_FALSE(platform::DeleteFile((folder + L"\\x.txt").c_str()));
  }
}

TEST_F(FileSecuritySimTest, RecordsLastAcrossBootsAndGoWithTheirObject) {
  const std::wstring folder = L"C:\\Windows\\Temp\\kept";
  {
    ActAsUser user(kOtherUser);
    ASSERT_TRUE(platform::CreateDirectory(folder.c_str()));
  }
  auto machine = Machine::Directory();
  Machine::Shutdown();
  Machine::Boot(machine);
  EXPECT_EQ(Read(L"c:/windows/temp/KEPT/").owner, kOtherUser) << "kept, and found without regard to case";

  ASSERT_TRUE(platform::MoveFileEx(folder.c_str(), L"C:\\Windows\\Temp\\moved", 0));
  EXPECT_EQ(Read(L"C:\\Windows\\Temp\\moved").owner, kOtherUser);
  ASSERT_TRUE(platform::RemoveDirectory(L"C:\\Windows\\Temp\\moved"));
  ASSERT_TRUE(platform::CreateDirectory(L"C:\\Windows\\Temp\\moved"));
  EXPECT_EQ(Read(L"C:\\Windows\\Temp\\moved").owner, L"S-1-5-32-544") << "a new object of the old name";
}

// Users may make folders at the drive's root on Windows; here the user is given that right first.
TEST_F(FileSecuritySimTest, CustomDataFolderMadeByAnotherUserIsTakenOverBeforeTheFileIsWritten) {
  FileSecurityDescriptor open;
  open.owner = kOtherUser;
  open.daclPresent = true;
  open.control = platform::kSeDaclProtected;
  open.dacl = {Ace{platform::kAccessAllowedAceType, kBoth, platform::kFileAllAccess, kOtherUser},
               Ace{platform::kAccessAllowedAceType, kBoth, platform::kFileAllAccess, L"S-1-5-32-545"}};
  ASSERT_TRUE(platform::CreateDirectory(L"C:\\AzureData"));
  EnablePrivilege(L"SeRestorePrivilege");
  ASSERT_EQ(platform::SetNamedSecurityInfo(L"C:\\AzureData", platform::kOwnerSecurityInformation, open), 0u);
  ASSERT_EQ(platform::SetNamedSecurityInfo(L"C:\\AzureData", platform::kDaclSecurityInformation, open), 0u);
  {
    ActAsUser user(kOtherUser);
    ASSERT_TRUE(test::WriteWholeFile(L"C:\\AzureData\\CustomData.bin", "planted"));
  }
  ASSERT_TRUE(core::util::GuestInfo().SetValue(core::windows::kVesConfigVariable, "{\"hub\":\"hub.example\"}"));

  test::LogCapture log;
  core::windows::AgentIntegration().VesIntegration();
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Warn,
                      L"tamber::core::windows::AgentIntegration::VesIntegration(): C:\\AzureData "
                      L"directory is not trusted (owned by S-1-5-21-1000-2000-3000-1001); resetting "
                      L"its owner and protection"),
            1u);
  EXPECT_TRUE(FileProtection::IsTrusted(L"C:\\AzureData"));
  auto file = Read(L"C:\\AzureData\\CustomData.bin");
  EXPECT_EQ(file.owner, L"S-1-5-18");
  EXPECT_EQ(Effective(file),
            (std::vector<std::pair<std::wstring, uint32_t>>{{L"S-1-5-18", platform::kFileAllAccess},
                                                            {L"S-1-5-32-544", platform::kFileAllAccess}}));
  EXPECT_EQ(test::ReadWholeFile(L"C:\\AzureData\\CustomData.bin"), "{\"hub\":\"hub.example\"}");
  ActAsUser user(kOtherUser);
  EXPECT_FALSE(CanCreateFile(L"C:\\AzureData\\CustomData.bin")) << "the user can no longer replace it";
  EXPECT_FALSE(platform::DeleteFile(L"C:\\AzureData\\CustomData.bin"));
}

}  // namespace
}  // namespace tamber
