// A persistent data disk against the simulated storage: the layout written to a blank disk, formatting and
// mounting, moving the CD-ROM, a disk that already holds data, and each storage fault with the error
// status it leaves.
#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/Disk.h"
#include "framework/log/Log.h"
#include "platform/Files.h"
#include "platform/Storage.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/storage/SimStorage.h"
#include "support/HypervisorDirectory.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

namespace fs = std::filesystem;
using core::windows::Disk;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::SimDiskImage;
using test::LogCapture;

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr int64_t kMiB = 1024 * 1024;
const std::wstring kDisk = L"tamber::core::windows::Disk::";

class DiskSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::SetTimeScale(1000);  // the format command's one-second polls
    hypervisor_.emplace("disk-hv");
    ASSERT_TRUE(hypervisor_->Ok());
    core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);
  }
  void TearDown() override {
    core::util::ResetSingletonsForTest();
    hypervisor_.reset();
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }

  // A blank disk image of its own, attached at bus:target.
  fs::path AttachBlank(uint32_t bus, uint32_t target, uint64_t size = 10 * kGiB) {
    fs::path image = Machine::Directory() / "images" / ("disk-" + std::to_string(bus) + std::to_string(target));
    EXPECT_TRUE(platform::sim::CreateDiskImage(image, size));
    std::string error;
    EXPECT_TRUE(platform::sim::AttachDisk(Machine::Directory(), bus, target, image, &error)) << error;
    return image;
  }
  static SimDiskImage Image(const fs::path& dir) {
    SimDiskImage image;
    EXPECT_TRUE(platform::sim::LoadDiskImage(dir, &image));
    return image;
  }
  static std::optional<uint32_t> PolicyState() {
    uint32_t value = 0;
    uint32_t fallback = 0xFFFFFFFF;
    if (core::util::Registry::Instance()->GetValue(L"PolicyState", &fallback, &value, core::util::regtype::kService) !=
        0) {
      return std::nullopt;
    }
    return value;
  }
  // A new customization state with no error, as on the next boot.
  static void ClearErrorStatus() {
    core::util::ResetSingletonsForTest();
    core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);
    ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"PolicyState", 0u, core::util::regtype::kService), 0);
  }
  static uint32_t DriveType(const wchar_t* root) { return platform::GetDriveTypeW(root); }
  static std::wstring VolumeAt(const std::wstring& root) {
    wchar_t name[260] = {};
    if (!platform::GetVolumeNameForVolumeMountPointW(root.c_str(), name, 260)) return L"";
    return name;
  }
  static Disk MakeDisk(const std::wstring& spec) {
    Disk disk(core::util::CustomizationState::Instance());
    EXPECT_TRUE(disk.SetDiskSpec(spec));
    return disk;
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }
  static void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

  std::optional<test::ScopedHypervisorDirectory> hypervisor_;
};

TEST_F(DiskSimTest, BlankDiskGetsTheReservedAndDataPartitionsFormattedAndMounted) {
  fs::path image = AttachBlank(0, 1);
  LogCapture log;
  Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
  ASSERT_TRUE(disk.InitializeDisk(core::windows::kPartitionTypeQx));

  SimDiskImage written = Image(image);
  EXPECT_EQ(written.style, platform::kPartitionStyleGpt);
  ASSERT_EQ(written.partitions.size(), 2u);
  const auto& reserved = written.partitions[0];
  EXPECT_EQ(reserved.type, platform::kPartitionMsftReservedGuid);
  EXPECT_EQ(reserved.offset, kMiB);
  EXPECT_EQ(reserved.length, 15 * kMiB);
  EXPECT_EQ(reserved.attributes, 0u);
  EXPECT_EQ(reserved.name, L"Microsoft reserved partition");
  const auto& data = written.partitions[1];
  EXPECT_EQ(data.type, platform::kPartitionBasicDataGuid);
  EXPECT_EQ(data.offset, 16 * kMiB);
  EXPECT_EQ(data.length, static_cast<int64_t>(10 * kGiB) - 18 * kMiB) << "the last 2 MiB stay unused";
  EXPECT_EQ(data.attributes, platform::kGptBasicDataAttributeNoDriveLetter);
  EXPECT_EQ(data.name, L"Basic data partition");
  EXPECT_FALSE(reserved.id == data.id);
  EXPECT_EQ(data.fileSystem, "NTFS");
  EXPECT_EQ(data.label, "Persistent1");

  std::wstring volume = L"\\\\?\\Volume" + platform::sim::GuidText(data.id) + L"\\";
  EXPECT_EQ(disk.VolumeName(), volume);
  EXPECT_EQ(VolumeAt(L"E:\\"), volume);
  EXPECT_EQ(disk.CurrentMountPoint(), L"E:");
  EXPECT_EQ(DriveType(L"D:\\"), platform::kDriveCdrom) << "a free target leaves the CD-ROM alone";
  EXPECT_FALSE(disk.IsExistingDisk()) << "a blank disk has no profiles to restore";
  EXPECT_TRUE(platform::CreateDirectory(L"E:\\Users")) << "the volume has files now";
  std::wstring upper = platform::sim::GuidText(data.id);
  for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  EXPECT_EQ(disk.DeviceId(), L"STORAGE\\VOLUME\\" + upper);
  EXPECT_EQ(disk.DeviceName(), L"\\Device\\HarddiskVolume3");
  EXPECT_EQ(Count(log, LogLevel::Debug,
                  kDisk + L"FormatDisk(): Format Command: C:\\Windows\\System32\\Format.com E: "
                          L"/FS:NTFS /V:Persistent1 /Q /FORCE"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"InitializeDisk(): Format E: Succeeded"), 1u);
  EXPECT_EQ(
      Count(log, LogLevel::Debug, kDisk + L"FindTargetDisk(): Found Target Disk: Bus Number 0, Target Id 1, LUN 0"),
      1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"InitializeDisk(): Volume Needs Reboot"), 0u);
}

TEST_F(DiskSimTest, CdromOnTheTargetLetterMovesToTheFirstFreeLetter) {
  AttachBlank(1, 0);
  LogCapture log;
  Disk disk = MakeDisk(L"[mountPoint=D;usage=2;loc=1:0;]");
  ASSERT_TRUE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(DriveType(L"D:\\"), platform::kDriveFixed);
  EXPECT_EQ(VolumeAt(L"D:\\"), disk.VolumeName());
  EXPECT_EQ(DriveType(L"E:\\"), platform::kDriveCdrom);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"MountDisk(): CDROM at D: needs to be relocated"), 1u);
  EXPECT_EQ(Image(Machine::Directory() / "images" / "disk-10").partitions[1].label, "Persistent2");
}

TEST_F(DiskSimTest, StarTakesTheFirstFreeLetterAndOtherDrivesAreNotMovedAside) {
  AttachBlank(0, 1);
  AttachBlank(0, 2);
  Disk star = MakeDisk(L"[mountPoint=*;usage=0;loc=0:1;]");
  ASSERT_TRUE(star.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(star.TargetMountPoint(), L"E:") << "C: and D: are taken";
  EXPECT_EQ(Image(Machine::Directory() / "images" / "disk-01").partitions[1].label, "Persistent0");

  LogCapture log;
  Disk clash = MakeDisk(L"[mountPoint=E;usage=2;loc=0:2;]");
  EXPECT_FALSE(clash.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(
      Count(
          log, LogLevel::Debug,
          kDisk + L"MountDisk(): Target mount point E: is already taken by a non persistent disk of type DRIVE_FIXED"),
      1u);
  EXPECT_EQ(PolicyState(), 21u);
  EXPECT_EQ(VolumeAt(L"E:\\"), star.VolumeName()) << "the other disk keeps its letter";
  // The disk that could not be mounted was never formatted.
  EXPECT_EQ(Image(Machine::Directory() / "images" / "disk-02").partitions[1].fileSystem, "");
}

TEST_F(DiskSimTest, LowerCaseLetterAndDriveAAreIllegal) {
  AttachBlank(0, 1);
  for (const wchar_t* spec : {L"[mountPoint=e;usage=1;loc=0:1;]", L"[mountPoint=A;usage=1;loc=0:1;]"}) {
    LogCapture log;
    Disk disk = MakeDisk(spec);
    EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeQx)) << spec;
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"MountDisk(): Target mount point"), 1u) << spec;
    EXPECT_EQ(PolicyState(), 22u);
    ClearErrorStatus();
  }
}

TEST_F(DiskSimTest, PartitionedDiskKeepsItsDataAndIsOnlyRemounted) {
  fs::path image = AttachBlank(0, 1);
  {
    Disk first = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
    ASSERT_TRUE(first.InitializeDisk(core::windows::kPartitionTypeQx));
    ASSERT_TRUE(platform::CreateDirectory(L"E:\\personality"));
    ASSERT_TRUE(first.DeleteCurrentMountPoint());
    EXPECT_EQ(DriveType(L"E:\\"), platform::kDriveNoRootDir);
  }
  SimDiskImage before = Image(image);
  FaultPlan::Set("FormatFails", "1");  // any format attempt would now fail the call
  LogCapture log;
  Disk again = MakeDisk(L"[mountPoint=F;usage=1;loc=0:1;]");
  ASSERT_TRUE(again.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_TRUE(again.IsExistingDisk());
  EXPECT_EQ(Count(log, LogLevel::Warn, kDisk + L"InitializeDisk(): Disk Is Already Partitioned"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"FormatDisk(): Format Command"), 0u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"SetGPTFlags(): GPT Flags Already Set"), 1u);
  SimDiskImage after = Image(image);
  ASSERT_EQ(after.partitions.size(), 2u);
  EXPECT_EQ(after.partitions[1].id, before.partitions[1].id);
  EXPECT_EQ(platform::GetFileAttributes(L"F:\\personality"), platform::kFileAttributeDirectory);
}

TEST_F(DiskSimTest, DataPartitionWithoutTheNoLetterBitGetsIt) {
  fs::path image = AttachBlank(0, 1);
  {
    Disk first = MakeDisk(L"[mountPoint=E;usage=2;loc=0:1;]");
    ASSERT_TRUE(first.InitializeDisk(core::windows::kPartitionTypeQx));
  }
  SimDiskImage edited = Image(image);
  edited.partitions[1].attributes = 0;
  ASSERT_TRUE(platform::sim::SaveDiskImage(image, edited));
  Disk again = MakeDisk(L"[mountPoint=E;usage=2;loc=0:1;]");
  ASSERT_TRUE(again.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Image(image).partitions[1].attributes, platform::kGptBasicDataAttributeNoDriveLetter);
  EXPECT_EQ(Image(image).partitions[1].fileSystem, "NTFS") << "rewriting the table keeps the volume";
}

TEST_F(DiskSimTest, ForeignLayoutWithDataIsNeverRepartitioned) {
  // A disk prepared elsewhere: one NTFS data partition and no reserved partition.
  fs::path image = Machine::Directory() / "images" / "foreign";
  ASSERT_TRUE(platform::sim::CreateDiskImage(image, 4 * kGiB));
  SimDiskImage foreign = Image(image);
  foreign.style = platform::kPartitionStyleGpt;
  platform::sim::SimPartition data;
  data.number = 1;
  data.offset = kMiB;
  data.length = 2 * static_cast<int64_t>(kGiB);
  data.type = platform::kPartitionBasicDataGuid;
  ASSERT_TRUE(platform::sim::ParseGuid(L"{0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9}", &data.id));
  data.fileSystem = "NTFS";
  foreign.partitions = {data};
  ASSERT_TRUE(platform::sim::SaveDiskImage(image, foreign));
  fs::create_directories(platform::sim::VolumeFilesDirectory(image, data.id));
  WriteFile(platform::sim::VolumeFilesDirectory(image, data.id) / "payroll.xlsx", "numbers");
  std::string error;
  ASSERT_TRUE(platform::sim::AttachDisk(Machine::Directory(), 0, 3, image, &error)) << error;

  LogCapture log;
  Disk disk = MakeDisk(L"[mountPoint=G;usage=1;loc=0:3;]");
  EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Error, L"Holds Partitions, Refusing To Repartition It"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"CreatePartition()"), 0u);
  SimDiskImage after = Image(image);
  ASSERT_EQ(after.partitions.size(), 1u);
  EXPECT_EQ(after.partitions[0].fileSystem, "NTFS");
  EXPECT_TRUE(fs::exists(platform::sim::VolumeFilesDirectory(image, data.id) / "payroll.xlsx"));
}

TEST_F(DiskSimTest, InterruptedFormatIsCompletedOnTheNextRun) {
  fs::path image = AttachBlank(0, 1);
  FaultPlan::Set("FormatFails", "4");
  {
    LogCapture log;
    Disk first = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
    EXPECT_FALSE(first.InitializeDisk(core::windows::kPartitionTypeQx));
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"InitializeDisk(): Failed Formatting Disk"), 1u);
  }
  EXPECT_EQ(Image(image).partitions.size(), 2u);
  EXPECT_EQ(Image(image).partitions[1].fileSystem, "");
  FaultPlan::Set("FormatFails", std::nullopt);
  LogCapture log;
  Disk again = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
  ASSERT_TRUE(again.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Image(image).partitions[1].fileSystem, "NTFS");
  EXPECT_EQ(Image(image).partitions[1].label, "Persistent1");
  EXPECT_FALSE(again.IsExistingDisk()) << "a volume formatted only now holds no profiles";
  EXPECT_EQ(Count(log, LogLevel::Warn, L"Has No File System, Formatting It"), 1u);
}

TEST_F(DiskSimTest, MissingDiskIsErrorStatus12) {
  AttachBlank(0, 1);
  FaultPlan::Set("DiskMissing", "0:1");
  LogCapture log;
  Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
  EXPECT_FALSE(disk.DeleteCurrentMountPoint());
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk), 0u) << "clearing a missing disk fails without a message";
  EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"InitializeDisk(): Target Disk Not Found"), 1u);
  EXPECT_EQ(PolicyState(), 12u);
}

TEST_F(DiskSimTest, MountPointFailureIsErrorStatus22ForPrimaryAnd21Otherwise) {
  AttachBlank(0, 1);
  AttachBlank(0, 2);
  FaultPlan::Set("MountPointFails", "5");
  LogCapture log;
  Disk primary = MakeDisk(L"[mountPoint=F;usage=1;loc=0:1;]");
  EXPECT_FALSE(primary.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(PolicyState(), 22u);
  ClearErrorStatus();  // the first error's policy state would stand
  Disk secondary = MakeDisk(L"[mountPoint=G;usage=2;loc=0:2;]");
  EXPECT_FALSE(secondary.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_EQ(PolicyState(), 21u);
  EXPECT_EQ(Count(log, LogLevel::Error,
                  kDisk + L"SetMountPoint(): SetVolumeMountPoint Failed: Drive Letter: F:, Volume Name: " +
                      primary.VolumeName() + L", 0x80070005"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"InitializeDisk(): Failed Mounting Disk"), 2u);
}

TEST_F(DiskSimTest, LayoutWriteAndVolumeFaultsFailWithTheirMessages) {
  fs::path image = AttachBlank(0, 1);
  {
    FaultPlan::Set("DiskLayoutWriteFails", "19");
    LogCapture log;
    Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
    EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"CreatePartition(): Create Disk Failed: "), 1u);
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"InitializeDisk(): Failed Creating QX Partition"), 1u);
    EXPECT_EQ(Image(image).style, platform::kPartitionStyleRaw);
    FaultPlan::Set("DiskLayoutWriteFails", std::nullopt);
  }
  {
    FaultPlan::Set("VolumesNotReady", "21");
    LogCapture log;
    Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
    EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"WaitForVolumes(): Are Volumes Ready Failed: "), 1u);
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"CreatePartition(): Failed Waiting For Volumes"), 1u);
    FaultPlan::Set("VolumesNotReady", std::nullopt);
  }
  {
    FaultPlan::Set("VolumeNeedsRestart", "1");
    LogCapture log;
    Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
    EXPECT_TRUE(disk.InitializeDisk(core::windows::kPartitionTypeQx)) << "a pending restart is not a failure";
    EXPECT_EQ(Count(log, LogLevel::Debug, kDisk + L"InitializeDisk(): Volume Needs Reboot"), 1u);
  }
}

TEST_F(DiskSimTest, BlankDiskWithAnotherPartitionTypeIsRefused) {
  AttachBlank(0, 1);
  LogCapture log;
  Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
  EXPECT_FALSE(disk.InitializeDisk(core::windows::kPartitionTypeCorlett));
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"InitializeDisk(): Unknown Partition Type, Cannot Proceed"), 1u);
}

TEST_F(DiskSimTest, DetachedDiskTakesItsFilesToTheNextMachine) {
  fs::path image = AttachBlank(0, 1);
  Disk disk = MakeDisk(L"[mountPoint=E;usage=1;loc=0:1;]");
  ASSERT_TRUE(disk.InitializeDisk(core::windows::kPartitionTypeQx));
  ASSERT_TRUE(platform::CreateDirectory(L"E:\\kept"));
  std::string error;
  ASSERT_TRUE(platform::sim::DetachDisk(Machine::Directory(), 0, 1, &error)) << error;
  EXPECT_EQ(DriveType(L"E:\\"), platform::kDriveNoRootDir);
  ASSERT_TRUE(platform::sim::AttachDisk(Machine::Directory(), 0, 4, image, &error)) << error;
  EXPECT_EQ(DriveType(L"E:\\"), platform::kDriveNoRootDir) << "the no-letter attribute holds on arrival";
  Disk successor = MakeDisk(L"[mountPoint=H;usage=1;loc=0:4;]");
  ASSERT_TRUE(successor.InitializeDisk(core::windows::kPartitionTypeQx));
  EXPECT_TRUE(successor.IsExistingDisk());
  EXPECT_EQ(platform::GetFileAttributes(L"H:\\kept"), platform::kFileAttributeDirectory);
}

}  // namespace
}  // namespace tamber
