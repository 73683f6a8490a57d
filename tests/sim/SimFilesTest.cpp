// Files of the simulated guest: how Windows paths land in the machine directory, case-blind names,
// find patterns and the machine's free space.
#include <gtest/gtest.h>

#include <fstream>

#include "common/windows/Handles.h"
#include "platform/Files.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "support/LogFiles.h"

namespace tamber::platform {
namespace {

using common::windows::UniqueFile;
using sim::HostPath;
using sim::Machine;

class SimFilesTest : public test::GuestTest {
 protected:
  std::vector<std::wstring> Find(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    FindData data;
    Handle find = FindFirstFile(pattern.c_str(), &data);
    if (find == InvalidHandleValue()) return names;
    do names.push_back(data.fileName);
    while (FindNextFile(find, &data));
    EXPECT_EQ(kErrorNoMoreFiles, GetLastError());
    FindClose(find);
    return names;
  }
};

TEST_F(SimFilesTest, WindowsPathsMapIntoTheMachinesDriveC) {
  auto root = Machine::DriveRoot();
  EXPECT_EQ(HostPath(L"C:\\"), root);
  EXPECT_EQ(HostPath(L"C:\\Windows\\System32\\new.txt"), root / "Windows" / "System32" / "new.txt");
  EXPECT_EQ(HostPath(L"c:/Windows/./Temp/../x.txt"), root / "Windows" / "x.txt");
  EXPECT_EQ(HostPath(L"C:\\..\\..\\escape"), root / "escape");  // never above the drive root
  EXPECT_EQ(HostPath(L"\\\\?\\C:\\Windows"), root / "Windows");
  EXPECT_TRUE(HostPath(L"D:\\data").empty());
  EXPECT_TRUE(HostPath(L"relative\\path").empty());
  EXPECT_TRUE(HostPath(L"C:drive-relative").empty());
  EXPECT_EQ(HostPath(L"C:\\caf\u00E9"), root / "caf\xC3\xA9");
}

TEST_F(SimFilesTest, ExistingNamesMatchWithoutCase) {
  ASSERT_TRUE(CreateDirectory(L"C:\\ProgramData\\Talvora"));
  EXPECT_EQ(HostPath(L"C:\\PROGRAMDATA\\talvora\\New Name"),
            Machine::DriveRoot() / "ProgramData" / "Talvora" / "New Name");
  UniqueFile file(CreateFile(L"C:\\programdata\\TALVORA\\Notes.TXT", kGenericWrite, 0, kCreateNew, 0));
  ASSERT_TRUE(file);
  uint32_t written = 0;
  ASSERT_TRUE(WriteFile(file.get(), "abc", 3, &written));
  file.reset();
  EXPECT_TRUE(std::filesystem::exists(Machine::DriveRoot() / "ProgramData" / "Talvora" / "Notes.TXT"));
  EXPECT_EQ(test::ReadWholeFile(L"C:\\ProgramData\\Talvora\\notes.txt"), "abc");
  EXPECT_NE(kInvalidFileAttributes, GetFileAttributes(L"c:\\PROGRAMDATA\\TALVORA\\NOTES.TXT"));
  // Creating a name that differs only in case opens the same file.
  UniqueFile again(CreateFile(L"C:\\ProgramData\\Talvora\\NOTES.txt", kGenericWrite, 0, kCreateNew, 0));
  EXPECT_FALSE(again);
  EXPECT_EQ(kErrorFileExists, GetLastError());
  EXPECT_EQ(test::ListNames(L"C:\\ProgramData\\Talvora\\", L"*"), std::vector<std::wstring>{L"Notes.TXT"});
}

TEST_F(SimFilesTest, BadNamesAndMissingParentsFailAsOnWindows) {
  EXPECT_EQ(InvalidHandleValue(), CreateFile(L"C:\\a<b.txt", kGenericWrite, 0, kCreateAlways, 0));
  EXPECT_EQ(kErrorInvalidName, GetLastError());
  EXPECT_EQ(InvalidHandleValue(), CreateFile(L"C:\\no\\such\\dir\\f.txt", kGenericWrite, 0, kCreateAlways, 0));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
  EXPECT_EQ(InvalidHandleValue(), CreateFile(L"D:\\f.txt", kGenericWrite, 0, kCreateAlways, 0));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
  EXPECT_EQ(InvalidHandleValue(), CreateFile(L"C:\\Windows", kGenericRead, 0, kOpenExisting, 0));
  EXPECT_EQ(kErrorAccessDenied, GetLastError());
  EXPECT_EQ(kInvalidFileAttributes, GetFileAttributes(L"C:\\no\\such.txt"));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
  EXPECT_FALSE(RemoveDirectory(L"C:\\Windows"));  // not empty
  EXPECT_EQ(kErrorDirNotEmpty, GetLastError());
}

TEST_F(SimFilesTest, AppendAccessAlwaysWritesAtTheEnd) {
  ASSERT_TRUE(test::WriteWholeFile(L"C:\\append.txt", "start"));
  UniqueFile file(CreateFile(L"C:\\append.txt", kFileAppendData, kFileShareRead, kOpenExisting, 0));
  ASSERT_TRUE(file);
  int64_t position = 0;
  ASSERT_TRUE(SetFilePointerEx(file.get(), 0, &position, kFileBegin));
  uint32_t written = 0;
  ASSERT_TRUE(WriteFile(file.get(), "+end", 4, &written));
  char buffer[4];
  uint32_t read = 0;
  EXPECT_FALSE(ReadFile(file.get(), buffer, sizeof(buffer), &read));  // no read access
  EXPECT_EQ(kErrorAccessDenied, GetLastError());
  file.reset();
  EXPECT_EQ(test::ReadWholeFile(L"C:\\append.txt"), "start+end");
}

TEST_F(SimFilesTest, FindPatternsFollowWindowsWildcards) {
  ASSERT_TRUE(CreateDirectory(L"C:\\f"));
  ASSERT_TRUE(CreateDirectory(L"C:\\f\\sub"));
  for (const wchar_t* name : {L"a.txt", L"B.log", L"ab.txt", L"noext", L"log-2024-01-02-030405.txt"}) {
    ASSERT_TRUE(test::WriteWholeFile(std::wstring(L"C:\\f\\") + name, "x"));
  }
  using Names = std::vector<std::wstring>;
  // Listed in case-blind name order, with "." and ".." for a directory below the root.
  EXPECT_EQ(Find(L"C:\\f\\*"),
            (Names{L".", L"..", L"a.txt", L"ab.txt", L"B.log", L"log-2024-01-02-030405.txt", L"noext", L"sub"}));
  EXPECT_EQ(Find(L"C:\\f\\*.*").size(), 8u);
  EXPECT_EQ(Find(L"C:\\f\\*.txt"), (Names{L"a.txt", L"ab.txt", L"log-2024-01-02-030405.txt"}));
  EXPECT_EQ(Find(L"C:\\f\\?.txt"), (Names{L"a.txt"}));
  EXPECT_EQ(Find(L"C:\\F\\A*"), (Names{L"a.txt", L"ab.txt"}));
  EXPECT_EQ(Find(L"C:\\f\\b.LOG"), (Names{L"B.log"}));
  EXPECT_EQ(Find(L"C:\\f\\noext.*"), (Names{L"noext"}));  // ".*" also matches no extension
  EXPECT_EQ(Find(L"C:\\f\\log-\?\?\?\?-\?\?-\?\?-\?\?\?\?\?\?.txt"), (Names{L"log-2024-01-02-030405.txt"}));
  EXPECT_EQ(Find(L"C:\\f\\log-\?\?\?\?.txt"), Names{});
  FindData data;
  EXPECT_EQ(InvalidHandleValue(), FindFirstFile(L"C:\\f\\none*", &data));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());
  EXPECT_EQ(InvalidHandleValue(), FindFirstFile(L"C:\\missing\\*", &data));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
  // The root has no "." or "..".
  auto root = Find(L"C:\\*");
  EXPECT_EQ(std::count(root.begin(), root.end(), L"."), 0);
  // Attributes, sizes and times come with each entry.
  Handle find = FindFirstFile(L"C:\\f\\sub", &data);
  ASSERT_NE(InvalidHandleValue(), find);
  EXPECT_NE(0u, data.attributes & kFileAttributeDirectory);
  FindClose(find);
  find = FindFirstFile(L"C:\\f\\a.txt", &data);
  ASSERT_NE(InvalidHandleValue(), find);
  EXPECT_EQ(1u, data.size);
  EXPECT_GT(data.lastWriteTime, 116444736000000000ULL);
  EXPECT_FALSE(FindNextFile(find, &data));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindClose(find));
}

TEST_F(SimFilesTest, FreeSpaceIsTheMachinesWhenConfigured) {
  uint64_t available = 0, total = 0, free = 0;
  ASSERT_TRUE(GetDiskFreeSpaceEx(L"C:\\Windows", &available, &total, &free));
  EXPECT_GT(available, 0u);
  EXPECT_GE(total, available);

  std::filesystem::path dir = Machine::Directory();
  Machine::Shutdown();
  sim::MachineConfig config = Machine::LoadConfig(dir);
  config.freeDiskBytes = 123456789;
  Machine::SaveConfig(dir, config);
  Machine::Boot(dir);
  ASSERT_TRUE(GetDiskFreeSpaceEx(L"C:\\", &available, &total, &free));
  EXPECT_EQ(available, 123456789u);
  EXPECT_EQ(free, 123456789u);
  EXPECT_GE(total, 123456789u);
  EXPECT_TRUE(GetDiskFreeSpaceEx(L"C:\\Windows\\", &available, nullptr, nullptr));
  EXPECT_FALSE(GetDiskFreeSpaceEx(L"C:\\missing", &available, nullptr, nullptr));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
}

TEST_F(SimFilesTest, ModuleFileNameIsTheInstalledService) {
  EXPECT_EQ(GetModuleFileName(), L"C:\\Program Files\\Talvora\\Quorvel\\Velocyn Agent\\tlv-velocyn-ga.exe");
}

}  // namespace
}  // namespace tamber::platform
