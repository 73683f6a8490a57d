// A persistent disk's description item, its mount point texts and log names, and the drive-letter and
// DOS-device calls it relies on, in both tiers (the real calls under Wine).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/windows/Disk.h"
#include "framework/log/Log.h"
#include "platform/Storage.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using core::windows::Disk;
using test::LogCapture;
namespace usage = core::windows::usage;

const std::wstring kDisk = L"tamber::core::windows::Disk::";

class DiskTest : public test::GuestTest {
 protected:
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }
};

TEST_F(DiskTest, SpecItemSetsLetterUsageAndScsiLocation) {
  Disk disk(nullptr);
  ASSERT_TRUE(disk.SetDiskSpec(L"[mountPoint=D;usage=1;loc=0:1;]"));
  EXPECT_EQ(disk.DiskSpecString(), L"[mountPoint=D;usage=1;loc=0:1;]");
  EXPECT_EQ(disk.TargetMountPoint(), L"D:");
  EXPECT_EQ(disk.Usage(), usage::kPrimary);
  EXPECT_EQ(disk.ScsiBus(), L"0");
  EXPECT_EQ(disk.ScsiTargetId(), L"1");
  EXPECT_EQ(disk.ScsiString(), L"Bus Number 0, Target Id 1, LUN 0");

  Disk star(nullptr);
  ASSERT_TRUE(star.SetDiskSpec(L"[mountPoint=*;usage=7;loc=3:9;]"));
  EXPECT_EQ(star.TargetMountPoint(), L"*");
  EXPECT_EQ(star.Usage(), usage::kUnknown) << "any other digit is Unknown";
  EXPECT_EQ(star.ScsiString(), L"Bus Number 3, Target Id 9, LUN 0");
}

TEST_F(DiskTest, ItemsOutsideThePatternSetNothing) {
  const std::vector<std::wstring> bad = {
      L"",
      L"[mountPoint=D;usage=1;loc=0:10;]",  // two-digit target
      L"[mountPoint=DE;usage=1;loc=0:1;]",  // two letters
      L"[usage=1;mountPoint=D;loc=0:1;]",   // keys out of order
      L"[mountPoint=D;usage=1;loc=0:1;]x",  // trailing text
      L"[mountPoint=D;usage=1;loc=0:1]",    // last semicolon missing
      L"[mountPoint=D;usage=1;loc=0:1;extra=2;]",
      L"[mountPoint=\u0661;usage=1;loc=0:1;]",  // a letter of another script
      L"[mountPoint=D;usage=\u0661;loc=0:1;]",  // a digit of another script
  };
  for (const auto& spec : bad) {
    LogCapture log;
    Disk disk(nullptr);
    EXPECT_FALSE(disk.SetDiskSpec(spec)) << std::string(spec.begin(), spec.end());
    EXPECT_EQ(disk.DiskSpecString(), spec) << "the item is kept for the log";
    EXPECT_EQ(disk.TargetMountPoint(), L"");
    EXPECT_EQ(disk.ScsiString(), L"");
    EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"ParseDiskSpec(): Disk Spec Is Invalid: " + spec), 1u);
  }
}

TEST_F(DiskTest, ScsiIdMustBeTwoSingleDigits) {
  LogCapture log;
  Disk disk(nullptr);
  EXPECT_FALSE(disk.ParseAndSetScsiId(L""));
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"ParseAndSetScsiId(): SCSI Id Is Empty"), 1u);
  EXPECT_FALSE(disk.ParseAndSetScsiId(L"12:3"));
  EXPECT_FALSE(disk.ParseAndSetScsiId(L"1-3"));
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"ParseAndSetScsiId(): Scsi Id Has Invalid Format: "), 2u);
  EXPECT_EQ(disk.ScsiString(), L"");
  EXPECT_TRUE(disk.ParseAndSetScsiId(L"2:5"));
  EXPECT_EQ(disk.ScsiString(), L"Bus Number 2, Target Id 5, LUN 0");
}

TEST_F(DiskTest, MountPointsAreNormalised) {
  EXPECT_EQ(Disk::Normalize(L"E"), L"E:");
  EXPECT_EQ(Disk::Normalize(L"E:"), L"E:");
  EXPECT_EQ(Disk::Normalize(L"E:\\"), L"E:");
  EXPECT_EQ(Disk::Normalize(L"\\E"), L"E:") << "only the first backslash goes";
  EXPECT_EQ(Disk::Normalize(L""), L"");
  EXPECT_EQ(Disk::Normalize(L"*"), L"*");
  Disk disk(nullptr);
  disk.SetCurrentMountPoint(L"F:\\");
  EXPECT_EQ(disk.CurrentMountPoint(), L"F:");
  disk.SetUsage(3);
  EXPECT_EQ(disk.Usage(), usage::kUnknown);
  disk.SetUsage(2);
  EXPECT_EQ(disk.Usage(), usage::kSecondary);
  disk.SetUsageFromString(L"01");
  EXPECT_EQ(disk.Usage(), usage::kUnknown);
}

TEST_F(DiskTest, LogNamesFollowTheHeaderNames) {
  Disk disk(nullptr);
  EXPECT_EQ(disk.PartitionTypeName(0), L"PARTITION_TYPE_QX");
  EXPECT_EQ(disk.PartitionTypeName(1), L"PARTITION_TYPE_CORLETT");
  EXPECT_EQ(disk.PartitionTypeName(-1), L"PARTITION_TYPE_UNKNOWN");
  EXPECT_EQ(disk.UsageName(1), L"Primary");
  EXPECT_EQ(disk.UsageName(2), L"Secondary");
  EXPECT_EQ(disk.UsageName(9), L"Unknown");
  EXPECT_EQ(disk.PartitionStyleName(platform::kPartitionStyleGpt), L"PARTITION_STYLE_GPT");
  EXPECT_EQ(disk.PartitionStyleName(7), L"UNKNOWN");
  EXPECT_EQ(disk.GptPartitionTypeName(platform::kPartitionBasicDataGuid), L"PARTITION_BASIC_DATA");
  EXPECT_EQ(disk.GptPartitionTypeName(platform::kPartitionMsftReservedGuid), L"PARTITION_MSFT_RESERVED");
  EXPECT_EQ(disk.MbrPartitionTypeName(platform::kPartitionIfs), L"PARTITION_IFS");
  EXPECT_EQ(disk.MbrPartitionTypeName(0x83), L"UNKNOWN");
  EXPECT_EQ(disk.GptAttributesName(0), L"NONE");
  EXPECT_EQ(disk.GptAttributesName(platform::kGptBasicDataAttributeNoDriveLetter | 1),
            L"GPT_ATTRIBUTE_PLATFORM_REQUIRED | GPT_BASIC_DATA_ATTRIBUTE_NO_DRIVE_LETTER");
  EXPECT_EQ(disk.DriveTypeName(platform::kDriveCdrom), L"DRIVE_CDROM");
  EXPECT_EQ(disk.DriveTypeName(42), L"DRIVE_UNKNOWN");
  EXPECT_EQ(Disk::GuidString(platform::kPartitionBasicDataGuid), L"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7");
}

TEST_F(DiskTest, DriveLettersFromTheSystem) {
  Disk disk(nullptr);
  const uint32_t drives = platform::GetLogicalDrives();
  EXPECT_NE(drives & (1u << 2), 0u) << "C: exists";
  EXPECT_TRUE(disk.IsDriveLetterOccupied(2));
  EXPECT_EQ(platform::GetDriveTypeW(L"C:\\"), platform::kDriveFixed);
  std::wstring empty = disk.GetEmptyMountPoint();
  ASSERT_EQ(empty.size(), 2u);
  EXPECT_GT(empty[0], L'C');
  EXPECT_EQ(drives & (1u << (empty[0] - L'A')), 0u) << "the first free letter is free";
  EXPECT_EQ(platform::GetDriveTypeW((empty + L"\\").c_str()), platform::kDriveNoRootDir);
  LogCapture log;
  EXPECT_FALSE(disk.IsDriveLetterOccupied(32));
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"IsDriveLetterOccupied(): Invalid Index: 32"), 1u);
  EXPECT_EQ(disk.GetMountPointIndex(L"A:"), 0u);
  EXPECT_EQ(disk.GetMountPointIndex(L"x:"), 0u);
  EXPECT_EQ(Count(log, LogLevel::Error, kDisk + L"GetMountPointIndex(): Mount point x: is illegal."), 1u);
}

TEST_F(DiskTest, DosDeviceOfTheSystemDriveAndATemporaryDefinition) {
  wchar_t target[1024] = {};
  ASSERT_GT(platform::QueryDosDeviceW(L"C:", target, 1024), 0u);
  EXPECT_EQ(std::wstring(target).rfind(L"\\", 0), 0u) << "an NT path";
  Disk disk(nullptr);
  std::wstring free = disk.GetEmptyMountPoint();
  ASSERT_FALSE(free.empty());
  ASSERT_TRUE(platform::DefineDosDeviceW(platform::kDddRawTargetPath, free.c_str(), L"\\Device\\Null"));
  EXPECT_NE(platform::GetLogicalDrives() & (1u << (free[0] - L'A')), 0u);
  ASSERT_GT(platform::QueryDosDeviceW(free.c_str(), target, 1024), 0u);
  EXPECT_EQ(std::wstring(target), L"\\Device\\Null");
  ASSERT_TRUE(platform::DefineDosDeviceW(
      platform::kDddRawTargetPath | platform::kDddRemoveDefinition | platform::kDddExactMatchOnRemove, free.c_str(),
      L"\\Device\\Null"));
  EXPECT_EQ(platform::QueryDosDeviceW(free.c_str(), target, 1024), 0u);
  EXPECT_EQ(platform::GetLogicalDrives() & (1u << (free[0] - L'A')), 0u);
}

}  // namespace
}  // namespace tamber
