// Persistent disks and profile redirection on simulated clones: the disk description list and its order, the
// disk prepared and the profiles directory moved onto it, the profile entries saved as hives and saved
// again by the monitor, and a successor clone with the same data disk getting them back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/util/Utf16.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/Customization.h"
#include "core/windows/PersistentDisks.h"
#include "core/windows/Profiles.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/Storage.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/storage/SimStorage.h"
#include "service/Privileges.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

namespace fs = std::filesystem;
using core::util::Persisted;
using core::windows::PersistentDisks;
using core::windows::Profiles;
using platform::sim::Machine;
using test::LogCapture;

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
const std::wstring kProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const std::wstring kUser = L"S-1-5-21-1004336348-1177238915-682003330-1001";
const std::wstring kPersistent = L"tamber::core::windows::PersistentDisks::";
const std::wstring kProfiles = L"tamber::core::windows::Profiles::";

class PersistentDisksSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    PrepareBoot();
  }
  void TearDown() override {
    EndBoot();
    test::GuestTest::TearDown();
  }

  // What the service does at its start, and the clone's registry as its parent left it.
  void PrepareBoot() {
    platform::sim::SetTimeScale(1000);
    ASSERT_TRUE(service::AddPrivilege(L"SeBackupPrivilege"));
    ASSERT_TRUE(service::AddPrivilege(L"SeRestorePrivilege"));
    ASSERT_EQ(core::util::System::Instance()->Init(), 0);
    core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);
    SetString(kProfileList, L"ProfilesDirectory", platform::kRegExpandSz, L"%SystemDrive%\\Users");
    SetString(kProfileList + L"\\S-1-5-18", L"ProfileImagePath", platform::kRegExpandSz,
              L"%systemroot%\\system32\\config\\systemprofile");
  }
  // The monitor ends with the shutdown event, before this boot's singletons go.
  void EndBoot() {
    core::util::System::Instance()->SetShutdownEvent();
    for (int i = 0; i < 500 && profiles_ && !profiles_->MonitorEnded(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (profiles_) {
      EXPECT_TRUE(profiles_->MonitorEnded());
    }
    profiles_.reset();
    core::util::ResetSingletonsForTest();
    platform::sim::SetTimeScale(1);
  }

  static void SetString(const std::wstring& path, const std::wstring& name, uint32_t type, const std::wstring& value) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), path.c_str(), platform::kRegOptionNonVolatile,
                                       platform::kKeyAllAccess, &key, nullptr),
              0u);
    auto bytes = common::util::ToUtf16LeBytes(value);
    EXPECT_EQ(platform::RegSetValueEx(key, name.c_str(), type, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    platform::RegCloseKey(key);
  }
  static std::optional<std::wstring> GetString(const std::wstring& path, const std::wstring& name,
                                               uint32_t* type = nullptr) {
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) != 0) {
      return std::nullopt;
    }
    uint8_t bytes[1024] = {};
    uint32_t size = sizeof bytes;
    uint32_t valueType = 0;
    uint32_t error = platform::RegQueryValueEx(key, name.c_str(), &valueType, bytes, &size);
    platform::RegCloseKey(key);
    if (error != 0) return std::nullopt;
    if (type != nullptr) *type = valueType;
    return common::util::FromUtf16LeBytes(bytes, size);
  }
  static void SetVariable(const std::string& name, const std::string& value) {
    ASSERT_TRUE(platform::guestrpc::SimHypervisor(Machine::Directory() / "hypervisor").SetVariable(name, value));
  }
  static uint32_t PolicyState() {
    const uint32_t absent = 0xFFFFFFFF;
    uint32_t value = 0;
    core::util::Registry::Instance()->GetValue(L"PolicyState", &absent, &value, core::util::regtype::kService);
    return value == absent ? 0 : value;  // no status yet
  }
  static fs::path AttachBlank(const fs::path& image, uint32_t bus, uint32_t target) {
    EXPECT_TRUE(platform::sim::CreateDiskImage(image, 10 * kGiB));
    std::string error;
    EXPECT_TRUE(platform::sim::AttachDisk(Machine::Directory(), bus, target, image, &error)) << error;
    return image;
  }
  static bool IsFile(const std::wstring& path) {
    uint32_t attributes = platform::GetFileAttributes(path.c_str());
    return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) == 0;
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }
  PersistentDisks MakeDisks() {
    profiles_ = std::make_shared<Profiles>();
    return PersistentDisks(profiles_);
  }
  static bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  std::shared_ptr<Profiles> profiles_;
};

TEST_F(PersistentDisksSimTest, CloneGetsItsDiskAndProfilesAndTheSuccessorGetsThemBack) {
  fs::path image =
      AttachBlank(Machine::Directory().parent_path() / (Machine::Directory().filename().string() + "-data"), 0, 1);
  SetVariable("clone.PersistentDisks", "[mountPoint=*;usage=2;loc=0:2;],[mountPoint=D;usage=1;loc=0:1;]");
  AttachBlank(Machine::Directory() / "images" / "scratch", 0, 2);
  SetString(kProfileList + L"\\" + kUser, L"ProfileImagePath", platform::kRegExpandSz, L"C:\\Users\\alice");
  {
    LogCapture log;
    PersistentDisks disks = MakeDisks();
    ASSERT_TRUE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
    EXPECT_EQ(disks.Disks().front()->TargetMountPoint(), L"D:") << "the explicit letter first, though written last";
    EXPECT_TRUE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::PersistentDisksReady));
    EXPECT_TRUE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::ProfilesRedirected));
    uint32_t type = 0;
    EXPECT_EQ(GetString(kProfileList, L"ProfilesDirectory", &type), L"D:\\Users");
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(platform::GetDriveTypeW(L"D:\\"), platform::kDriveFixed);
    EXPECT_EQ(platform::GetDriveTypeW(L"E:\\"), platform::kDriveCdrom) << "the CD-ROM moved out of D:";
    EXPECT_EQ(platform::GetDriveTypeW(L"F:\\"), platform::kDriveFixed) << "\"*\" took the next free letter";
    EXPECT_TRUE(IsFile(L"D:\\personality\\profiles\\" + kUser));
    EXPECT_TRUE(IsFile(L"D:\\personality\\profiles\\S-1-5-18"));
    EXPECT_EQ(Count(log, LogLevel::Debug, kPersistent + L"InitializeDisks(): Calling RestoreProfiles"), 0u)
        << "a blank disk has nothing to restore";
    EXPECT_EQ(Count(log, LogLevel::Debug, kPersistent + L"InitializeDisks(): Profile List Monitor Started"), 1u);

    // A profile made while the agent runs reaches the disk through the monitor.
    const std::wstring bob = L"S-1-5-21-1004336348-1177238915-682003330-1002";
    // Written again while it waits: the monitor's thread may not watch the key yet, and a change before its
    // watch is not told to it (as on Windows).
    EXPECT_TRUE(WaitFor([&] {
      SetString(kProfileList + L"\\" + bob, L"ProfileImagePath", platform::kRegExpandSz, L"D:\\Users\\bob");
      return IsFile(L"D:\\personality\\profiles\\" + bob);
    }));
    EXPECT_TRUE(WaitFor([&] { return IsFile(L"D:\\personality.bak\\profiles\\" + kUser); }))
        << "the previous save is kept";

    PersistentDisks again = MakeDisks();
    EXPECT_TRUE(again.InitializeDisks(core::windows::kPartitionTypeQx));
    EXPECT_EQ(Count(log, LogLevel::Debug, kPersistent + L"InitializeDisks(): Persistent Disks Already Ready"), 1u);
  }
  ASSERT_TRUE(platform::CreateDirectory(L"D:\\Users"));
  ASSERT_TRUE(platform::CreateDirectory(L"D:\\Users\\alice"));

  // The clone is thrown away; its successor is a fresh machine from the same parent, given the data disk.
  EndBoot();
  framework::log::ResetLogForTest();
  Machine::Shutdown();
  fs::path successor = Machine::Directory().string() + "-successor";
  fs::remove_all(successor);
  Machine::Create(successor);
  Machine::Boot(successor);
  framework::log::ResetLogForTest();
  PrepareBoot();
  std::string error;
  ASSERT_TRUE(platform::sim::AttachDisk(successor, 0, 1, image, &error)) << error;
  SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=1;loc=0:1;]");
  EXPECT_FALSE(GetString(kProfileList + L"\\" + kUser, L"ProfileImagePath").has_value());
  {
    LogCapture log;
    PersistentDisks disks = MakeDisks();
    ASSERT_TRUE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
    EXPECT_TRUE(disks.Disks().front()->IsExistingDisk());
    EXPECT_EQ(
        Count(log, LogLevel::Debug, kPersistent + L"InitializeDisks(): Calling RestoreProfiles with Mount Point: D:"),
        1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, kProfiles + L"RestoreProfiles(): Restored Key: " + kUser), 1u);
    EXPECT_EQ(GetString(kProfileList + L"\\" + kUser, L"ProfileImagePath"), L"C:\\Users\\alice");
    EXPECT_EQ(GetString(kProfileList, L"ProfilesDirectory"), L"D:\\Users");
    EXPECT_EQ(platform::GetFileAttributes(L"D:\\Users\\alice"), platform::kFileAttributeDirectory) << "data kept";
    EXPECT_EQ(Count(log, LogLevel::Debug, L"Format Command"), 0u);
  }
  EndBoot();
  PrepareBoot();  // TearDown ends the boot again
  fs::remove_all(image);
}

TEST_F(PersistentDisksSimTest, ListTextRules) {
  PersistentDisks disks = MakeDisks();
  for (const wchar_t* text : {L"", L"mountPoint=D;usage=1;loc=0:1;", L"[mountPoint=D;usage=1;loc=0:1;"}) {
    LogCapture log;
    EXPECT_FALSE(disks.ParseDiskSpecs(text));
    EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"ParseDiskSpecs(): Spec String Is Invalid"), 1u);
  }
  ASSERT_TRUE(disks.ParseDiskSpecs(
      L"[mountPoint=*;usage=2;loc=1:0;],[mountPoint=G;usage=0;loc=0:3;],[mountPoint=*;usage=0;loc=1:1;],"
      L"[mountPoint=E;usage=1;loc=0:1;]"));
  std::vector<std::wstring> order;
  for (const auto& disk : disks.Disks()) order.push_back(disk->ScsiString());
  EXPECT_EQ(order,
            (std::vector<std::wstring>{L"Bus Number 0, Target Id 1, LUN 0", L"Bus Number 0, Target Id 3, LUN 0",
                                       L"Bus Number 1, Target Id 0, LUN 0", L"Bus Number 1, Target Id 1, LUN 0"}))
      << "letters in order, then the stars as written";

  LogCapture log;
  EXPECT_FALSE(disks.ParseDiskSpecs(L"[mountPoint=D;usage=1;loc=0:1;],[mountPoint=E;usage=1;loc=0:2;]"));
  EXPECT_EQ(Count(log, LogLevel::Error,
                  kPersistent + L"ParseDiskSpecs(): More than one primary persistent disk specified, Cannot Continue"),
            1u);
  EXPECT_EQ(PolicyState(), 13u);
}

TEST_F(PersistentDisksSimTest, InvalidItemOrMissingDiskFailsAtClearingWithoutStatus) {
  AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  for (const char* specs : {"[mountPoint=D;usage=1;loc=0:10;]", "[mountPoint=D;usage=1;loc=0:5;]"}) {
    SetVariable("clone.PersistentDisks", specs);
    LogCapture log;
    PersistentDisks disks = MakeDisks();
    EXPECT_FALSE(disks.InitializeDisks(core::windows::kPartitionTypeQx)) << specs;
    EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"ClearMountPoints(): Failed Deleting Current Mount Point: "),
              1u);
    EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"InitializeDisks(): Failed Clearing Mount Points"), 1u);
    EXPECT_EQ(Count(log, LogLevel::Debug, L"Disk::CreatePartition()"), 0u) << "no disk is touched";
    EXPECT_EQ(PolicyState(), 0u);
    EXPECT_FALSE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::PersistentDisksReady));
  }
}

TEST_F(PersistentDisksSimTest, DiskThatLeavesItsSlotMidwayIsErrorStatus12) {
  AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=2;loc=0:1;]");
  platform::sim::FaultPlan::Set("DiskMissing", "0:1@1");  // there while the letters are cleared, then gone
  LogCapture log;
  PersistentDisks disks = MakeDisks();
  EXPECT_FALSE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Error, L"Disk::InitializeDisk(): Target Disk Not Found"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Error,
                  kPersistent + L"InitializeDisks(): Disk Initialization Failed: , PartitionType: PARTITION_TYPE_QX"),
            1u);
  EXPECT_EQ(PolicyState(), 12u);
}

TEST_F(PersistentDisksSimTest, SpecsFromTheRegistryWhenGuestinfoHasNone) {
  AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  {
    LogCapture log;
    PersistentDisks disks = MakeDisks();
    EXPECT_FALSE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
    EXPECT_EQ(Count(log, LogLevel::Error,
                    kPersistent + L"GetDiskSpecs(): Failed Reading PersistentDisks From Registry: 0x80070002"),
              1u);
  }
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(
                L"PersistentDisks", std::wstring(L"[mountPoint=F;usage=2;loc=0:1;]"), core::util::regtype::kGa),
            0);
  LogCapture log;
  PersistentDisks disks = MakeDisks();
  EXPECT_TRUE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"GetDiskSpecs(): Failed Reading PersistentDisks From GuestInfo"),
            1u);
  EXPECT_EQ(platform::GetDriveTypeW(L"F:\\"), platform::kDriveFixed);
  EXPECT_FALSE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::ProfilesRedirected))
      << "no Primary disk, no redirection";
}

TEST_F(PersistentDisksSimTest, SaveThatFailsBeforeRedirectionIsErrorStatus4) {
  AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=1;loc=0:1;]");
  // The next boot, without the privileges the service would have enabled.
  const fs::path machine = Machine::Directory();
  EndBoot();
  framework::log::ResetLogForTest();
  Machine::Shutdown();
  Machine::Boot(machine);
  framework::log::ResetLogForTest();
  platform::sim::SetTimeScale(1000);
  ASSERT_EQ(core::util::System::Instance()->Init(), 0);
  core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);  // no backup privilege now
  LogCapture log;
  PersistentDisks disks = MakeDisks();
  EXPECT_FALSE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Error, kProfiles + L"SaveProfiles(): Could not save profile reg key S-1-5-18"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"InitializeDisks(): Failed Redirecting Profiles"), 1u);
  EXPECT_EQ(PolicyState(), 4u);
  EXPECT_EQ(GetString(kProfileList, L"ProfilesDirectory"), L"%SystemDrive%\\Users") << "left where it was";
}

TEST_F(PersistentDisksSimTest, RestoreFailureIsErrorStatus5AndForeignFileNamesAreSkipped) {
  fs::path image = AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=1;loc=0:1;]");
  {
    PersistentDisks disks = MakeDisks();
    ASSERT_TRUE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
  }
  EndBoot();
  PrepareBoot();
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"PersistentDisksReady", 0u, core::util::regtype::kGa), 0);
  // A stray file that is no profile key, and a hive file that is not a hive.
  ASSERT_TRUE(platform::CloseHandle(
      platform::CreateFile(L"D:\\personality\\profiles\\Run", platform::kGenericWrite, 0, platform::kCreateAlways, 0)));
  ASSERT_TRUE(platform::CloseHandle(platform::CreateFile(L"D:\\personality\\profiles\\S-1-5-21-9-9-9-1005",
                                                         platform::kGenericWrite, 0, platform::kCreateAlways, 0)));
  LogCapture log;
  PersistentDisks disks = MakeDisks();
  EXPECT_FALSE(disks.InitializeDisks(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Warn, kProfiles + L"RestoreProfiles(): Skipping Run: Not A Profile Key Name"), 1u);
  EXPECT_FALSE(GetString(kProfileList + L"\\Run", L"").has_value());
  EXPECT_EQ(Count(log, LogLevel::Error, kProfiles + L"RestoreProfiles(): Could not restore key S-1-5-21-9-9-9-1005"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Error, kPersistent + L"InitializeDisks(): Profile Restore Failed: D:"), 1u);
  EXPECT_EQ(PolicyState(), 5u);
}

TEST_F(PersistentDisksSimTest, ProfilesRules) {
  fs::path image = AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  core::windows::Disk disk(nullptr);
  ASSERT_TRUE(disk.SetDiskSpec(L"[mountPoint=D;usage=1;loc=0:1;]"));
  ASSERT_TRUE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
  auto profiles = std::make_shared<Profiles>();
  LogCapture log;
  for (const wchar_t* bad : {L"D:\\", L"", L"D", L"1:"}) {
    EXPECT_FALSE(profiles->RedirectProfiles(bad));
    EXPECT_FALSE(profiles->SaveProfiles(bad));
    EXPECT_FALSE(profiles->RestoreProfiles(bad));
    EXPECT_FALSE(profiles->MonitorProfileList(bad));
  }
  EXPECT_EQ(Count(log, LogLevel::Error, kProfiles + L"RedirectProfiles(): Invalid Drive Letter: "), 4u);
  EXPECT_EQ(Count(log, LogLevel::Error, kProfiles + L"MonitorProfileList(): Invalid Mount Point: "), 4u);

  EXPECT_TRUE(profiles->RestoreProfiles(L"D:"));
  EXPECT_EQ(Count(log, LogLevel::Debug, L"does not exist, nothing to restore"), 1u);

  // Two saves: the first one's files move to the backup folder.
  ASSERT_TRUE(profiles->SaveProfiles(L"D:"));
  SetString(kProfileList + L"\\" + kUser, L"ProfileImagePath", platform::kRegExpandSz, L"C:\\Users\\alice");
  ASSERT_TRUE(profiles->SaveProfiles(L"D:"));
  EXPECT_TRUE(IsFile(L"D:\\personality\\profiles\\" + kUser));
  EXPECT_TRUE(IsFile(L"D:\\personality.bak\\profiles\\S-1-5-18"));
  EXPECT_FALSE(IsFile(L"D:\\personality.bak\\profiles\\" + kUser));

  // A profiles directory already on the disk's drive stays as it is, and counts as redirected.
  SetString(kProfileList, L"ProfilesDirectory", platform::kRegExpandSz, L"d:\\Users");
  EXPECT_TRUE(profiles->RedirectProfiles(L"D:"));
  uint32_t type = 0;
  EXPECT_EQ(GetString(kProfileList, L"ProfilesDirectory", &type), L"d:\\Users");
  EXPECT_EQ(type, platform::kRegExpandSz);
  EXPECT_TRUE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::ProfilesRedirected));
  EXPECT_TRUE(profiles->RedirectProfiles(L"E:"));
  EXPECT_EQ(Count(log, LogLevel::Debug, kProfiles + L"RedirectProfiles(): Profiles Already Redirected"), 1u);

  // The monitor ends with the shutdown event.
  ASSERT_TRUE(profiles->MonitorProfileList(L"D:"));
  EXPECT_FALSE(profiles->MonitorEnded());
  profiles_ = profiles;  // EndBoot waits for it
}

TEST_F(PersistentDisksSimTest, DriverPreparesTheDisksWhenTheFlagIsSet) {
  AttachBlank(Machine::Directory() / "images" / "one", 0, 1);
  SetVariable("clone.PersistentDisks", "[mountPoint=D;usage=2;loc=0:1;]");
  core::windows::Customization customization;
  LogCapture log;
  SetVariable("AgentCustomizationFlags", "0");
  core::util::CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  EXPECT_TRUE(customization.PreparePersistentDisks());
  EXPECT_EQ(Count(log, LogLevel::Debug,
                  L"tamber::core::windows::Customization::PreparePersistentDisks(): Persistent Disks Disabled"),
            1u);
  EXPECT_EQ(platform::GetDriveTypeW(L"D:\\"), platform::kDriveCdrom);
  SetVariable("AgentCustomizationFlags", "8192");
  core::util::CustomizationFlags::Instance()->GetCustomizationFlagsValue();
  EXPECT_TRUE(customization.PreparePersistentDisks());
  EXPECT_EQ(platform::GetDriveTypeW(L"D:\\"), platform::kDriveFixed);
  EXPECT_TRUE(core::util::CustomizationPersistentInfo::Instance()->Is(Persisted::PersistentDisksReady));
}

}  // namespace
}  // namespace tamber
