// Behaviour of the platform seam that the agent relies on and that the simulated guest must share
// with Windows. These run in both tiers: under Wine against the real calls, natively against the
// simulated guest, so a difference between the two fails one of them.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber::platform {
namespace {

using common::util::FromUtf16LeBytes;
using common::util::ToUtf16LeBytes;
using common::windows::UniqueFile;
using common::windows::UniqueHandle;
using common::windows::UniqueHKey;

// Below HKLM\SOFTWARE\Talvora, which every test starts without.
constexpr const wchar_t* kTestKey = L"SOFTWARE\\Talvora\\SeamTest";

// Long enough for a notification or wake-up that should not come to show up if it were coming.
constexpr uint32_t kQuietMs = 200;
// Bounds a wait for something that must happen.
constexpr uint32_t kPatienceMs = 5000;

class RegistrySeamTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    ASSERT_EQ(kErrorSuccess,
              RegCreateKeyEx(HKeyLocalMachine(), kTestKey, kRegOptionNonVolatile, kKeyAllAccess, key_.put(), nullptr));
  }

  void SetString(HKey key, const wchar_t* name, const std::wstring& text) {
    auto bytes = ToUtf16LeBytes(text);
    ASSERT_EQ(kErrorSuccess, RegSetValueEx(key, name, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size())));
  }

  void SetDword(HKey key, const wchar_t* name, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    ASSERT_EQ(kErrorSuccess, RegSetValueEx(key, name, kRegDword, bytes, sizeof(bytes)));
  }

  UniqueHKey OpenTestKey() {
    UniqueHKey key;
    EXPECT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), kTestKey, 0, kKeyAllAccess, key.put()));
    return key;
  }

  UniqueHKey CreateSubKey(const wchar_t* name) {
    UniqueHKey subKey;
    EXPECT_EQ(kErrorSuccess,
              RegCreateKeyEx(key_.get(), name, kRegOptionNonVolatile, kKeyAllAccess, subKey.put(), nullptr));
    return subKey;
  }

  UniqueHKey key_;
};

TEST_F(RegistrySeamTest, QueryValueReportsSizesAndNeverOverrunsTheBuffer) {
  SetString(key_.get(), L"Text", L"abc");  // 8 bytes with the null

  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(kErrorSuccess, RegQueryValueEx(key_.get(), L"Text", &type, nullptr, &size));
  EXPECT_EQ(kRegSz, type);
  EXPECT_EQ(8u, size);

  // Too small: ERROR_MORE_DATA with the size needed; the bytes past the buffer stay untouched.
  uint8_t small[6] = {0, 0, 0, 0, 0xEE, 0xEE};
  size = 4;
  EXPECT_EQ(kErrorMoreData, RegQueryValueEx(key_.get(), L"Text", &type, small, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(0xEE, small[4]);
  EXPECT_EQ(0xEE, small[5]);

  // Larger than needed: the size becomes what was written.
  uint8_t large[32] = {};
  size = sizeof(large);
  EXPECT_EQ(kErrorSuccess, RegQueryValueEx(key_.get(), L"Text", &type, large, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(L"abc", FromUtf16LeBytes(large, size));

  // Type and size may both be left out: the call then only tells whether the value exists.
  EXPECT_EQ(kErrorSuccess, RegQueryValueEx(key_.get(), L"Text", nullptr, nullptr, nullptr));
  EXPECT_EQ(kErrorFileNotFound, RegQueryValueEx(key_.get(), L"Missing", nullptr, nullptr, &size));

  SetDword(key_.get(), L"Number", 0x12345678);
  size = 0;
  EXPECT_EQ(kErrorSuccess, RegQueryValueEx(key_.get(), L"Number", &type, nullptr, &size));
  EXPECT_EQ(kRegDword, type);
  EXPECT_EQ(4u, size);
  uint8_t dword[4] = {};
  size = 2;
  EXPECT_EQ(kErrorMoreData, RegQueryValueEx(key_.get(), L"Number", &type, dword, &size));
  EXPECT_EQ(4u, size);
}

TEST_F(RegistrySeamTest, CreateReportsWhetherTheKeyIsNewAndOpenFailsOnMissingKeys) {
  uint32_t disposition = 0;
  UniqueHKey first;
  ASSERT_EQ(kErrorSuccess,
            RegCreateKeyEx(key_.get(), L"Child", kRegOptionNonVolatile, kKeyAllAccess, first.put(), &disposition));
  EXPECT_EQ(kRegCreatedNewKey, disposition);
  UniqueHKey second;
  ASSERT_EQ(kErrorSuccess,
            RegCreateKeyEx(key_.get(), L"Child", kRegOptionNonVolatile, kKeyAllAccess, second.put(), &disposition));
  EXPECT_EQ(kRegOpenedExistingKey, disposition);

  // Key names are not case-sensitive.
  UniqueHKey opened;
  EXPECT_EQ(kErrorSuccess, RegOpenKeyEx(key_.get(), L"CHILD", 0, kKeyRead, opened.put()));
  UniqueHKey missing;
  EXPECT_EQ(kErrorFileNotFound, RegOpenKeyEx(key_.get(), L"NoSuchChild", 0, kKeyRead, missing.put()));
  EXPECT_EQ(kErrorFileNotFound, RegOpenKeyEx(key_.get(), L"NoSuchChild\\Below", 0, kKeyRead, missing.put()));
}

TEST_F(RegistrySeamTest, EnumerationListsKeysInNameOrderAndEndsWithNoMoreItems) {
  CreateSubKey(L"beta");
  CreateSubKey(L"Alpha");
  CreateSubKey(L"gamma");
  SetDword(key_.get(), L"One", 1);
  SetString(key_.get(), L"Two", L"2");

  std::vector<std::wstring> keys;
  std::wstring name;
  uint32_t index = 0;
  uint32_t error = kErrorSuccess;
  while ((error = RegEnumKeyEx(key_.get(), index, &name)) == kErrorSuccess) {
    keys.push_back(name);
    ++index;
  }
  EXPECT_EQ(kErrorNoMoreItems, error);
  EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"beta", L"gamma"}), keys);

  std::set<std::wstring> values;
  uint32_t type = 0;
  for (index = 0; (error = RegEnumValue(key_.get(), index, &name, &type)) == kErrorSuccess; ++index) {
    values.insert(name);
    EXPECT_EQ(name == L"One" ? kRegDword : kRegSz, type) << name;
  }
  EXPECT_EQ(kErrorNoMoreItems, error);
  EXPECT_EQ((std::set<std::wstring>{L"One", L"Two"}), values);
  EXPECT_EQ(kErrorNoMoreItems, RegEnumValue(key_.get(), 17, &name, &type));
}

TEST_F(RegistrySeamTest, DeleteTreeWithoutSubKeyEmptiesTheKeyButKeepsIt) {
  CreateSubKey(L"Child");
  SetDword(key_.get(), L"Value", 1);
  {
    UniqueHKey child = CreateSubKey(L"Other");
    SetDword(child.get(), L"Deep", 2);
  }

  EXPECT_EQ(kErrorSuccess, RegDeleteTree(key_.get(), nullptr));
  std::wstring name;
  EXPECT_EQ(kErrorNoMoreItems, RegEnumKeyEx(key_.get(), 0, &name));
  EXPECT_EQ(kErrorNoMoreItems, RegEnumValue(key_.get(), 0, &name, nullptr));
  UniqueHKey reopened;
  EXPECT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), kTestKey, 0, kKeyRead, reopened.put()));

  EXPECT_EQ(kErrorFileNotFound, RegDeleteTree(key_.get(), L"NoSuchChild"));
  EXPECT_EQ(kErrorFileNotFound, RegDeleteValue(key_.get(), L"NoSuchValue"));
}

// One armed notification signals its event once; later changes need the call to be made again.
TEST_F(RegistrySeamTest, NotificationFiresOnceForAChangeItWatches) {
  UniqueHandle event(CreateEvent(/*manualReset=*/false, /*initialState=*/false, nullptr));
  ASSERT_TRUE(event);
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key_.get(), /*watchSubtree=*/false, kRegNotifyChangeLastSet,
                                                   event.get(), /*asynchronous=*/true));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 0));

  SetDword(key_.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));

  SetDword(key_.get(), L"Value", 2);
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), kQuietMs));
}

// Arming clears the event, so a waiter that re-arms without resetting it waits instead of spinning.
TEST_F(RegistrySeamTest, ArmingANotificationResetsItsEvent) {
  UniqueHandle event(CreateEvent(/*manualReset=*/true, /*initialState=*/true, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key_.get(), false, kRegNotifyChangeLastSet, event.get(), true));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 0));
  SetDword(key_.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
}

// The registry skips a write of the data a value already holds, so nobody is told about it.
TEST_F(RegistrySeamTest, RewritingTheSameDataIsNoChange) {
  SetDword(key_.get(), L"Value", 3);
  UniqueHandle event(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key_.get(), false, kRegNotifyChangeLastSet, event.get(), true));
  SetDword(key_.get(), L"Value", 3);
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), kQuietMs));
  SetDword(key_.get(), L"Value", 4);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
}

// Each watch below has a key handle of its own: one handle carries one pending notification.
TEST_F(RegistrySeamTest, NotificationSeesSubKeysOnlyWhenWatchingTheSubtree) {
  UniqueHKey child = CreateSubKey(L"Child");
  UniqueHKey keyOnlyKey = OpenTestKey();
  UniqueHKey subtreeKey = OpenTestKey();
  UniqueHandle keyOnly(CreateEvent(true, false, nullptr));
  UniqueHandle subtree(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(keyOnlyKey.get(), /*watchSubtree=*/false, kRegNotifyChangeLastSet,
                                                   keyOnly.get(), /*asynchronous=*/true));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(subtreeKey.get(), /*watchSubtree=*/true, kRegNotifyChangeLastSet,
                                                   subtree.get(), /*asynchronous=*/true));

  SetDword(child.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(subtree.get(), kPatienceMs));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(keyOnly.get(), kQuietMs));
}

TEST_F(RegistrySeamTest, NotificationFilterSeparatesNamesFromValues) {
  UniqueHKey namesKey = OpenTestKey();
  UniqueHKey valuesKey = OpenTestKey();
  UniqueHandle names(CreateEvent(true, false, nullptr));
  UniqueHandle values(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(namesKey.get(), false, kRegNotifyChangeName, names.get(), true));
  ASSERT_EQ(kErrorSuccess,
            RegNotifyChangeKeyValue(valuesKey.get(), false, kRegNotifyChangeLastSet, values.get(), true));

  // A value written is a LAST_SET change, not a NAME change.
  SetDword(key_.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(values.get(), kPatienceMs));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(names.get(), kQuietMs));

  // A subkey created is a NAME change.
  CreateSubKey(L"Child");
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(names.get(), kPatienceMs));
}

// Closing the watched handle ends the watch by signalling it, so nobody waits for a change that
// can no longer be reported.
TEST_F(RegistrySeamTest, NotificationFiresWhenItsKeyHandleIsClosed) {
  UniqueHKey watched = OpenTestKey();
  UniqueHandle event(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(watched.get(), false, kRegNotifyChangeLastSet, event.get(), true));
  watched.reset();
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
}

TEST_F(RegistrySeamTest, AHandleToADeletedKeyReportsTheDeletion) {
  UniqueHKey child = CreateSubKey(L"Child");
  EXPECT_EQ(kErrorSuccess, RegDeleteTree(key_.get(), L"Child"));
  const uint8_t bytes[4] = {1, 0, 0, 0};
  EXPECT_EQ(kErrorKeyDeleted, RegSetValueEx(child.get(), L"Value", kRegDword, bytes, sizeof(bytes)));
  EXPECT_EQ(kErrorKeyDeleted, RegQueryValueEx(child.get(), L"Value", nullptr, nullptr, nullptr));
}

class SyncSeamTest : public test::GuestTest {};

TEST_F(SyncSeamTest, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyThatEvent) {
  UniqueHandle quiet(CreateEvent(/*manualReset=*/false, /*initialState=*/false, nullptr));
  UniqueHandle first(CreateEvent(false, true, nullptr));
  UniqueHandle second(CreateEvent(false, true, nullptr));
  Handle handles[] = {quiet.get(), first.get(), second.get()};

  EXPECT_EQ(kWaitObject0 + 1, WaitForMultipleObjects(3, handles, 0));
  // The auto-reset event that satisfied the wait is reset; the other one is still set.
  EXPECT_EQ(kWaitObject0 + 2, WaitForMultipleObjects(3, handles, 0));
  EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(3, handles, 0));
}

TEST_F(SyncSeamTest, ManualResetEventsStaySignalledUntilReset) {
  UniqueHandle event(CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 0));
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), 0));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), 0));
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 0));
}

TEST_F(SyncSeamTest, WaitTimesOutAfterTheTimeGiven) {
  UniqueHandle event(CreateEvent(false, false, nullptr));
  uint64_t before = GetTickCount64();
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 100));
  // The tick count moves in steps of up to 16 ms on Windows.
  EXPECT_GE(GetTickCount64() - before, 80u);
}

TEST_F(SyncSeamTest, WaitWakesWhenAnotherThreadSetsTheEvent) {
  UniqueHandle event(CreateEvent(false, false, nullptr));
  std::thread setter([&] {
    Sleep(20);
    SetEvent(event.get());
  });
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
  setter.join();
}

TEST_F(SyncSeamTest, BadWaitArgumentsFail) {
  UniqueHandle event(CreateEvent(false, false, nullptr));
  Handle handles[kMaximumWaitObjects + 1];
  for (auto& handle : handles) handle = event.get();

  SetLastError(0);
  EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(kMaximumWaitObjects + 1, handles, 0));
  EXPECT_EQ(kErrorInvalidParameter, GetLastError());
  SetLastError(0);
  EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(0, handles, 0));
  EXPECT_EQ(kErrorInvalidParameter, GetLastError());

  Handle bogus = reinterpret_cast<Handle>(static_cast<uintptr_t>(0x7FFFFFF0));
  SetLastError(0);
  EXPECT_EQ(kWaitFailed, WaitForSingleObject(bogus, 0));
  EXPECT_EQ(kErrorInvalidHandle, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(bogus));
  EXPECT_EQ(kErrorInvalidHandle, GetLastError());
}

TEST_F(SyncSeamTest, NamedEventsAreSharedByName) {
  const wchar_t* name = L"VelocynSeamTestEvent";
  SetLastError(kErrorInvalidData);
  UniqueHandle created(CreateEvent(/*manualReset=*/true, /*initialState=*/false, name));
  ASSERT_TRUE(created);
  EXPECT_EQ(kErrorSuccess, GetLastError());

  // A second create opens the same event (its own reset mode and state are ignored) and says so.
  UniqueHandle again(CreateEvent(/*manualReset=*/false, /*initialState=*/true, name));
  ASSERT_TRUE(again);
  EXPECT_EQ(kErrorAlreadyExists, GetLastError());
  EXPECT_NE(created.get(), again.get());
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(again.get(), 0));

  UniqueHandle opened(OpenEvent(name));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(SetEvent(opened.get()));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(created.get(), 0));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(again.get(), 0));  // still manual-reset

  // The name goes with the last handle.
  created.reset();
  again.reset();
  opened.reset();
  EXPECT_EQ(nullptr, OpenEvent(name));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());
}

std::atomic<uintptr_t> g_apcParameter{0};
std::atomic<int> g_apcCalls{0};
void RecordApc(uintptr_t parameter) {
  g_apcParameter = parameter;
  ++g_apcCalls;
}

TEST_F(SyncSeamTest, QueuedCallsRunOnlyInAlertableWaits) {
  g_apcParameter = 0;
  g_apcCalls = 0;
  UniqueHandle self(OpenCurrentThread());
  ASSERT_TRUE(self);
  UniqueHandle event(CreateEvent(false, false, nullptr));
  ASSERT_TRUE(QueueUserApc(&RecordApc, self.get(), 42));

  EXPECT_EQ(kWaitTimeout, WaitForSingleObjectEx(event.get(), 0, /*alertable=*/false));
  EXPECT_EQ(0, g_apcCalls.load());
  EXPECT_EQ(kWaitIoCompletion, WaitForSingleObjectEx(event.get(), kPatienceMs, /*alertable=*/true));
  EXPECT_EQ(1, g_apcCalls.load());
  EXPECT_EQ(42u, g_apcParameter.load());
  EXPECT_EQ(0u, SleepEx(0, /*alertable=*/true));  // nothing left to run

  // A call queued from another thread wakes a thread that sleeps alertably.
  std::thread queuer([&] {
    Sleep(20);
    QueueUserApc(&RecordApc, self.get(), 7);
  });
  EXPECT_EQ(kWaitIoCompletion, SleepEx(kPatienceMs, /*alertable=*/true));
  queuer.join();
  EXPECT_EQ(2, g_apcCalls.load());
  EXPECT_EQ(7u, g_apcParameter.load());
}

class EnvironmentSeamTest : public test::GuestTest {};

TEST_F(EnvironmentSeamTest, ExpandCountsTheNullAndWritesOnlyIntoABufferThatFits) {
  ASSERT_TRUE(SetEnvironmentVariable(L"VELOCYN_SEAM_TEST", L"abc"));
  const wchar_t* source = L"x%VELOCYN_SEAM_TEST%y%VELOCYN_SEAM_MISSING%";
  const std::wstring expanded = L"xabcy%VELOCYN_SEAM_MISSING%";
  const auto needed = static_cast<uint32_t>(expanded.size() + 1);

  EXPECT_EQ(needed, ExpandEnvironmentStrings(source, nullptr, 0));
  std::vector<wchar_t> exact(needed, L'?');
  EXPECT_EQ(needed, ExpandEnvironmentStrings(source, exact.data(), needed));
  EXPECT_EQ(expanded, std::wstring(exact.data()));
  std::vector<wchar_t> small(4, L'?');
  EXPECT_EQ(needed, ExpandEnvironmentStrings(source, small.data(), static_cast<uint32_t>(small.size())));
}

TEST_F(EnvironmentSeamTest, GetVariableCountsTheNullOnlyWhenTheBufferIsShort) {
  ASSERT_TRUE(SetEnvironmentVariable(L"VELOCYN_SEAM_TEST", L"abcd"));
  wchar_t buffer[16] = {};
  EXPECT_EQ(4u, GetEnvironmentVariable(L"VELOCYN_SEAM_TEST", buffer, 16));
  EXPECT_EQ(std::wstring(L"abcd"), buffer);
  EXPECT_EQ(5u, GetEnvironmentVariable(L"VELOCYN_SEAM_TEST", buffer, 2));
  EXPECT_EQ(5u, GetEnvironmentVariable(L"VELOCYN_SEAM_TEST", nullptr, 0));

  ASSERT_TRUE(SetEnvironmentVariable(L"VELOCYN_SEAM_TEST", nullptr));
  SetLastError(0);
  EXPECT_EQ(0u, GetEnvironmentVariable(L"VELOCYN_SEAM_TEST", buffer, 16));
  EXPECT_EQ(kErrorEnvvarNotFound, GetLastError());
}

TEST_F(EnvironmentSeamTest, Utf8ConversionSizesAndRejectsInvalidInput) {
  // "é" is two bytes in UTF-8 and one code unit in UTF-16; -1 counts the null.
  const char utf8[] = "\xC3\xA9";
  EXPECT_EQ(2, MultiByteToWideChar(kCodePageUtf8, 0, utf8, -1, nullptr, 0));
  EXPECT_EQ(1, MultiByteToWideChar(kCodePageUtf8, 0, utf8, 2, nullptr, 0));
  wchar_t wide[4] = {};
  EXPECT_EQ(2, MultiByteToWideChar(kCodePageUtf8, 0, utf8, -1, wide, 4));
  EXPECT_EQ(L'\u00E9', wide[0]);
  EXPECT_EQ(3, WideCharToMultiByte(kCodePageUtf8, 0, wide, -1, nullptr, 0));

  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(kCodePageUtf8, kMbErrInvalidChars, "\xC3\x28", 2, wide, 4));
  EXPECT_EQ(kErrorNoUnicodeTranslation, GetLastError());

  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(kCodePageUtf8, 0, utf8, -1, wide, 1));
  EXPECT_EQ(kErrorInsufficientBuffer, GetLastError());
}

class PipeSeamTest : public test::GuestTest {};

TEST_F(PipeSeamTest, PeekSeesDataLeftByAClosedWriterThenReportsTheBrokenPipe) {
  UniqueHandle read;
  UniqueHandle write;
  ASSERT_TRUE(CreatePipe(read.put(), write.put(), /*inheritHandles=*/false, 0));

  uint32_t available = 99;
  EXPECT_TRUE(PeekNamedPipe(read.get(), &available));
  EXPECT_EQ(0u, available);

  uint32_t written = 0;
  ASSERT_TRUE(WriteFile(write.get(), "hello", 5, &written));
  EXPECT_EQ(5u, written);
  write.reset();

  // What the writer left can still be read after it is gone.
  EXPECT_TRUE(PeekNamedPipe(read.get(), &available));
  EXPECT_EQ(5u, available);
  char buffer[16] = {};
  uint32_t bytesRead = 0;
  ASSERT_TRUE(ReadFile(read.get(), buffer, 3, &bytesRead));
  EXPECT_EQ(3u, bytesRead);
  EXPECT_EQ(std::string("hel"), std::string(buffer, bytesRead));
  ASSERT_TRUE(ReadFile(read.get(), buffer, sizeof(buffer), &bytesRead));
  EXPECT_EQ(std::string("lo"), std::string(buffer, bytesRead));

  SetLastError(0);
  EXPECT_FALSE(PeekNamedPipe(read.get(), &available));
  EXPECT_EQ(kErrorBrokenPipe, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(ReadFile(read.get(), buffer, sizeof(buffer), &bytesRead));
  EXPECT_EQ(kErrorBrokenPipe, GetLastError());
  EXPECT_EQ(0u, bytesRead);
}

class FileSeamTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    Clean();
    ASSERT_TRUE(CreateDirectory(dir_.c_str())) << GetLastError();
  }
  // The Windows tier shares one file system between tests.
  void TearDown() override {
    Clean();
    test::GuestTest::TearDown();
  }
  void Clean() {
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"sub\\c.txt"}) DeleteFile(Path(name).c_str());
    RemoveDirectory(Path(L"sub").c_str());
    RemoveDirectory(dir_.c_str());
  }
  UniqueFile Create(const std::wstring& path, uint32_t disposition) {
    return UniqueFile(
        CreateFile(path.c_str(), kGenericRead | kGenericWrite, kFileShareRead, disposition, kFileAttributeNormal));
  }

  std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }

  const std::wstring dir_ = L"C:\\ProgramData\\VelocynSeamTest";
};

TEST_F(FileSeamTest, CreateDispositionsReportExistingFiles) {
  const std::wstring path = Path(L"a.txt");
  SetLastError(kErrorInvalidData);
  UniqueFile created = Create(path, kCreateNew);
  ASSERT_TRUE(created);
  EXPECT_EQ(kErrorSuccess, GetLastError());
  created.reset();

  SetLastError(0);
  EXPECT_FALSE(Create(path, kCreateNew));
  EXPECT_EQ(kErrorFileExists, GetLastError());

  // Opening or replacing an existing file succeeds and says it existed.
  SetLastError(0);
  EXPECT_TRUE(Create(path, kOpenAlways));
  EXPECT_EQ(kErrorAlreadyExists, GetLastError());
  SetLastError(0);
  EXPECT_TRUE(Create(path, kCreateAlways));
  EXPECT_EQ(kErrorAlreadyExists, GetLastError());

  SetLastError(0);
  EXPECT_FALSE(Create(Path(L"missing.txt"), kOpenExisting));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(Create(Path(L"nodir\\missing.txt"), kOpenExisting));
  EXPECT_EQ(kErrorPathNotFound, GetLastError());
}

TEST_F(FileSeamTest, WritesSeeksAndSizes) {
  UniqueFile file = Create(Path(L"a.txt"), kCreateNew);
  ASSERT_TRUE(file);
  uint32_t written = 0;
  ASSERT_TRUE(WriteFile(file.get(), "0123456789", 10, &written));
  int64_t size = 0;
  ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
  EXPECT_EQ(10, size);

  int64_t position = -1;
  ASSERT_TRUE(SetFilePointerEx(file.get(), 4, &position, kFileBegin));
  EXPECT_EQ(4, position);
  char buffer[8] = {};
  uint32_t bytesRead = 0;
  ASSERT_TRUE(ReadFile(file.get(), buffer, 3, &bytesRead));
  EXPECT_EQ(std::string("456"), std::string(buffer, bytesRead));
  ASSERT_TRUE(SetFilePointerEx(file.get(), -2, &position, kFileEnd));
  EXPECT_EQ(8, position);

  // Reading at the end is a success that reads nothing.
  ASSERT_TRUE(SetFilePointerEx(file.get(), 0, &position, kFileEnd));
  ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof(buffer), &bytesRead));
  EXPECT_EQ(0u, bytesRead);

  SetLastError(0);
  EXPECT_FALSE(SetFilePointerEx(file.get(), -20, &position, kFileBegin));
  EXPECT_EQ(kErrorNegativeSeek, GetLastError());
}

TEST_F(FileSeamTest, DirectoriesAndFindReportWhatIsThere) {
  ASSERT_TRUE(Create(Path(L"a.txt"), kCreateNew));
  ASSERT_TRUE(Create(Path(L"b.txt"), kCreateNew));
  ASSERT_TRUE(CreateDirectory(Path(L"sub").c_str()));
  SetLastError(0);
  EXPECT_FALSE(CreateDirectory(Path(L"sub").c_str()));
  EXPECT_EQ(kErrorAlreadyExists, GetLastError());

  EXPECT_EQ(kFileAttributeDirectory, GetFileAttributes(Path(L"sub").c_str()) & kFileAttributeDirectory);
  EXPECT_EQ(0u, GetFileAttributes(Path(L"a.txt").c_str()) & kFileAttributeDirectory);
  SetLastError(0);
  EXPECT_EQ(kInvalidFileAttributes, GetFileAttributes(Path(L"missing.txt").c_str()));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());

  std::set<std::wstring> found;
  FindData data;
  Handle find = FindFirstFile(Path(L"*.txt").c_str(), &data);
  ASSERT_NE(InvalidHandleValue(), find);
  do {
    found.insert(data.fileName);
  } while (FindNextFile(find, &data));
  EXPECT_EQ(kErrorNoMoreFiles, GetLastError());
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ((std::set<std::wstring>{L"a.txt", L"b.txt"}), found);

  SetLastError(0);
  EXPECT_EQ(InvalidHandleValue(), FindFirstFile(Path(L"*.none").c_str(), &data));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());

  // A move onto an existing file needs MOVEFILE_REPLACE_EXISTING (1).
  SetLastError(0);
  EXPECT_FALSE(MoveFileEx(Path(L"a.txt").c_str(), (Path(L"b.txt")).c_str(), 0));
  EXPECT_EQ(kErrorAlreadyExists, GetLastError());
  EXPECT_TRUE(MoveFileEx(Path(L"a.txt").c_str(), (Path(L"b.txt")).c_str(), 1));

  ASSERT_TRUE(Create(Path(L"sub\\c.txt"), kCreateNew));
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectory(Path(L"sub").c_str()));
  EXPECT_EQ(kErrorDirNotEmpty, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(DeleteFile(Path(L"a.txt").c_str()));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());
}

class ClockSeamTest : public test::GuestTest {};

// The bias has the Windows sign: UTC = local time + bias.
TEST_F(ClockSeamTest, LocalTimeIsUtcMinusTheBias) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    SystemTime utc{};
    SystemTime local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    int32_t bias = GetCurrentTimeZoneBias();
    if (utc.second >= 59) continue;  // may straddle a minute
    int utcMinutes = utc.hour * 60 + utc.minute;
    int localMinutes = local.hour * 60 + local.minute;
    EXPECT_EQ(((utcMinutes - bias) % 1440 + 1440) % 1440, localMinutes);
    return;
  }
}

TEST_F(ClockSeamTest, FileTimeAndSystemTimeAgree) {
  SystemTime utc{};
  GetSystemTime(&utc);
  uint64_t fileTime = GetSystemTimeAsFileTime();
  EXPECT_GE(utc.year, 2024);
  EXPECT_GE(utc.month, 1);
  EXPECT_LE(utc.month, 12);
  // Seconds of the day from the file time (days since 1601 are whole).
  uint64_t secondsOfDay = fileTime / 10000000 % 86400;
  uint64_t fromSystemTime = utc.hour * 3600u + utc.minute * 60u + utc.second;
  EXPECT_LE((secondsOfDay + 86400 - fromSystemTime) % 86400, 2u);
}

TEST_F(ClockSeamTest, SleepAdvancesTheTickCount) {
  uint64_t before = GetTickCount64();
  uint32_t before32 = GetTickCount();
  Sleep(100);
  EXPECT_GE(GetTickCount64() - before, 80u);
  EXPECT_GE(static_cast<uint32_t>(GetTickCount() - before32), 80u);
}

// The Application event log takes an error event from a registered source. (A null source is refused
// by Windows and by the sim; Wine's ReportEventW accepts it, so that case is not pinned here.)
class EventLogSeamTest : public test::GuestTest {};

TEST_F(EventLogSeamTest, TakesAReportFromARegisteredSource) {
  platform::EventSourceHandle source = platform::RegisterEventSource(L"velocyn-seam-test");
  ASSERT_NE(source, nullptr) << platform::GetLastError();
  const wchar_t* strings[] = {L"Velocyn seam test: first line\nsecond line"};
  EXPECT_TRUE(platform::ReportEvent(source, platform::kEventLogErrorType, 0, 1, 1, strings));
  EXPECT_TRUE(platform::DeregisterEventSource(source));
}

}  // namespace
}  // namespace tamber::platform
