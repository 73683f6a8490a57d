// Helpers for tests that look at the log writer's files and settings through the platform seam, so
// that they run on the simulated guest and under Wine alike.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogLine.h"
#include "framework/log/LogWriter.h"
#include "platform/Clock.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber::test {

inline std::string ReadWholeFile(const std::wstring& path) {
  common::windows::UniqueFile file(
      platform::CreateFile(path.c_str(), platform::kGenericRead,
                           platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
                           platform::kOpenExisting, platform::kFileAttributeNormal));
  std::string text;
  if (!file) return text;
  char buffer[65536];
  uint32_t read = 0;
  while (platform::ReadFile(file.get(), buffer, sizeof(buffer), &read) && read > 0) text.append(buffer, read);
  return text;
}

inline bool WriteWholeFile(const std::wstring& path, const std::string& text) {
  common::windows::UniqueFile file(platform::CreateFile(path.c_str(), platform::kGenericWrite, 0,
                                                        platform::kCreateAlways, platform::kFileAttributeNormal));
  uint32_t written = 0;
  return file && platform::WriteFile(file.get(), text.data(), static_cast<uint32_t>(text.size()), &written);
}

inline bool FileExists(const std::wstring& path) {
  return platform::GetFileAttributes(path.c_str()) != platform::kInvalidFileAttributes;
}

inline void MakeDirectories(const std::wstring& directory) {
  for (size_t pos = directory.find(L'\\', 3); pos != std::wstring::npos; pos = directory.find(L'\\', pos + 1)) {
    platform::CreateDirectory(directory.substr(0, pos).c_str());
  }
  platform::CreateDirectory(directory.c_str());
}

// Names in the directory matching the pattern (files and directories, "." and ".." left out), sorted.
inline std::vector<std::wstring> ListNames(const std::wstring& directory, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  platform::FindData data;
  platform::Handle find = platform::FindFirstFile((directory + pattern).c_str(), &data);
  if (find == platform::InvalidHandleValue()) return names;
  do {
    if (data.fileName != L"." && data.fileName != L"..") names.push_back(data.fileName);
  } while (platform::FindNextFile(find, &data));
  platform::FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

inline void RemoveFiles(const std::wstring& directory) {
  for (const auto& name : ListNames(directory, L"*")) {
    std::wstring path = directory + name;
    if (!platform::DeleteFile(path.c_str())) {
      RemoveFiles(path + L"\\");
      platform::RemoveDirectory(path.c_str());
    }
  }
}

// Whether the tier keeps the owner and DACL given to a new directory. Windows does; Wine derives both
// from the host file's modes, whatever was asked for.
inline bool TierKeepsFileSecurity() {
  const std::wstring probe = L"C:\\ProgramData\\velocyn-security-probe";
  platform::RemoveDirectory(probe.c_str());
  platform::FileSecurityDescriptor asked;
  asked.daclPresent = true;
  asked.control = platform::kSeDaclProtected;
  asked.dacl = {
      platform::Ace{platform::kAccessAllowedAceType, 0, platform::kFileAllAccess, L"S-1-5-32-544"},
      platform::Ace{platform::kAccessAllowedAceType, 0, platform::kFileGenericReadAndExecute, L"S-1-5-32-545"}};
  if (!platform::CreateDirectoryWithSecurity(probe.c_str(), asked)) return false;
  platform::FileSecurityDescriptor kept;
  bool same = platform::GetNamedSecurityInfo(probe.c_str(), platform::kDaclSecurityInformation, &kept) == 0 &&
              kept.dacl.size() == 2 && kept.dacl[0].sid == L"S-1-5-32-544" && kept.dacl[1].sid == L"S-1-5-32-545" &&
              kept.dacl[1].mask == platform::kFileGenericReadAndExecute;
  platform::RemoveDirectory(probe.c_str());
  return same;
}

// Lines of a log file, without their CR LF.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail
  return lines;
}

inline size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(fragment) != std::string::npos ? 1 : 0;
  return count;
}

inline void DeleteLogSettings() {
  platform::RegDeleteTree(platform::HKeyLocalMachine(), framework::log::kLogConfigKey);
}

inline void SetLogSetting(const wchar_t* name, const std::wstring& text) {
  common::windows::UniqueHKey key;
  ASSERT_EQ(platform::kErrorSuccess,
            platform::RegCreateKeyEx(platform::HKeyLocalMachine(), framework::log::kLogConfigKey, 0,
                                     platform::kKeyAllAccess, key.put(), nullptr));
  auto bytes = common::util::ToUtf16LeBytes(text);
  ASSERT_EQ(platform::kErrorSuccess, platform::RegSetValueEx(key.get(), name, platform::kRegSz, bytes.data(),
                                                             static_cast<uint32_t>(bytes.size())));
}

inline void SetLogSetting(const wchar_t* name, uint32_t value) {
  common::windows::UniqueHKey key;
  ASSERT_EQ(platform::kErrorSuccess,
            platform::RegCreateKeyEx(platform::HKeyLocalMachine(), framework::log::kLogConfigKey, 0,
                                     platform::kKeyAllAccess, key.put(), nullptr));
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
  ASSERT_EQ(platform::kErrorSuccess, platform::RegSetValueEx(key.get(), name, platform::kRegDword, bytes, 4));
}

// Trace messages on, for tests that check them; the writer reads its settings again.
inline void EnableTraceLogging() {
  SetLogSetting(L"traceEnabled", std::wstring(L"true"));
  framework::log::ResetLogForTest();
}

inline std::wstring ReadLogSetting(const wchar_t* name) {
  common::windows::UniqueHKey key;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), framework::log::kLogConfigKey, 0, platform::kKeyRead,
                             key.put()) != platform::kErrorSuccess) {
    return L"";
  }
  uint8_t data[256] = {};
  uint32_t size = sizeof(data);
  uint32_t type = 0;
  if (platform::RegQueryValueEx(key.get(), name, &type, data, &size) != platform::kErrorSuccess) return L"";
  return common::util::FromUtf16LeBytes(data, size);
}

// The machine's local time now, shifted by a number of seconds.
inline platform::SystemTime LocalTimeIn(int64_t seconds) {
  uint64_t now = platform::GetSystemTimeAsFileTime();
  uint64_t shifted = static_cast<uint64_t>(static_cast<int64_t>(now) + seconds * 10000000LL);
  return framework::log::LocalTimeFromFileTime(shifted, platform::GetCurrentTimeZoneBias());
}

// The executable's file name, as the writer names the program.
inline std::wstring ProgramName() {
  std::wstring path = platform::GetModuleFileName();
  return path.substr(path.find_last_of(L"\\/") + 1);
}

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A guest whose log writer starts from nothing and writes into a directory of its own.
class LogWriterTestBase : public GuestTest {
 protected:
  void SetUp() override {
    GuestTest::SetUp();
    framework::log::ResetLogForTest();
    DeleteLogSettings();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    directory_ = L"C:\\ProgramData\\Talvora\\Quorvel\\logtest\\" + std::wstring(name.begin(), name.end()) + L"\\";
    MakeDirectories(directory_);
    RemoveFiles(directory_);
    SetLogSetting(L"LogFileDirectory", directory_);
    // The host running the tests may have little free space; the disk guard has tests of its own.
    SetLogSetting(L"DiskThresholdForLogAndEventsMB", 1u);
  }

  void TearDown() override {
    framework::log::ResetLogForTest();
    DeleteLogSettings();
    RemoveFiles(directory_);
    platform::RemoveDirectory(directory_.c_str());
    GuestTest::TearDown();
  }

  std::vector<std::string> MainLines() {
    framework::log::FlushLog();
    return SplitLines(ReadWholeFile(framework::log::CurrentLogFilePath(false)));
  }
  std::vector<std::string> DebugLines() {
    framework::log::FlushLog();
    return SplitLines(ReadWholeFile(framework::log::CurrentLogFilePath(true)));
  }

  std::wstring directory_;
};

}  // namespace tamber::test
