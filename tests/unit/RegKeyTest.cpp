// The registry key wrappers against the registry of the tier: the simulated guest natively, the Wine
// prefix's real registry in the cross-build. Waits use short time-outs so both tiers stay quick.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/registry/RegKey.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "support/TestEnvironment.h"

namespace tamber::common::windows::registry {
namespace {

using test::LogCapture;

constexpr const wchar_t* kTestKey = L"SOFTWARE\\Talvora\\RegKeyTest";
constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);
constexpr int32_t kInvalidHandle = static_cast<int32_t>(0x80070006u);
constexpr int32_t kMoreData = static_cast<int32_t>(0x800700EAu);
constexpr int32_t kTimeout = static_cast<int32_t>(0x800705B4u);
constexpr uint32_t kShortMs = 150;      // a time-out that is meant to pass
constexpr uint32_t kPatienceMs = 5000;  // bounds a wait for something that must happen

// Writes again and again until stopped: a single write could land before the waiter has armed its
// change notification, and would then never be seen. Each round also bumps a counter value under the
// key, because the registry does not report a write of the data a value already holds.
class RepeatingWriter {
 public:
  explicit RepeatingWriter(std::function<void(int round)> write)
      : thread_([this, write = std::move(write)] {
          for (int round = 0; !stop_; ++round) {
            write(round);
            int32_t ignored = 0;
            ExistingRegKey(platform::HKeyLocalMachine(), kTestKey, platform::kKeyReadWrite, &ignored)
                .WriteDwordValue(L"WriterRound", static_cast<uint32_t>(round));
            platform::Sleep(20);
          }
        }) {}
  ~RepeatingWriter() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class RegKeyTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    int32_t result = -1;
    NewRegKey created(platform::HKeyLocalMachine(), kTestKey, platform::kRegOptionNonVolatile, platform::kKeyReadWrite,
                      &result);
    ASSERT_EQ(0, result);
  }

  ExistingRegKey Open() {
    int32_t result = -1;
    ExistingRegKey key(platform::HKeyLocalMachine(), kTestKey, platform::kKeyReadWrite, &result);
    EXPECT_EQ(0, result);
    return key;
  }

  void SetRaw(const wchar_t* name, uint32_t type, std::vector<uint8_t> bytes) {
    auto key = Open();
    ASSERT_EQ(0u, platform::RegSetValueEx(key.GetKey(), name, type, bytes.data(), static_cast<uint32_t>(bytes.size())));
  }
};

TEST_F(RegKeyTest, MissingKeyLeavesANullHandleAndEveryOperationReportsIt) {
  LogCapture log;
  int32_t result = 0;
  ExistingRegKey missing(platform::HKeyLocalMachine(), L"SOFTWARE\\Talvora\\RegKeyTest\\Missing",
                         platform::kKeyReadWrite, &result);
  EXPECT_EQ(kFileNotFound, result);
  EXPECT_FALSE(missing.IsOpen());

  uint32_t value = 0;
  std::wstring text = L"untouched";
  EXPECT_EQ(kInvalidHandle, missing.ReadDwordValue(L"Value", 9, &value));
  EXPECT_EQ(9u, value);
  EXPECT_EQ(kInvalidHandle, missing.ReadStringValue(L"Value", &text));
  EXPECT_EQ(L"untouched", text);
  EXPECT_EQ(kInvalidHandle, missing.WriteDwordValue(L"Value", 1));
  EXPECT_EQ(kInvalidHandle, missing.FlushKey());
  bool found = true;
  EXPECT_EQ(kInvalidHandle, missing.WaitForDwordValue(L"Value", 1, kShortMs, &found));
  EXPECT_FALSE(found);

  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::OpenKey(): Failed Opening Key: SOFTWARE\\Talvora\\RegKeyTest\\Missing, 0x80070002"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::RegKeyBase::FlushKey(): Could not flush registry key. Err: 0x80070006"));
}

TEST_F(RegKeyTest, DwordReadsKeepTheDefaultWhenTheValueIsMissing) {
  auto key = Open();
  LogCapture log;
  uint32_t value = 0;
  EXPECT_EQ(kFileNotFound, key.ReadDwordValue(L"Absent", 42, &value));
  EXPECT_EQ(42u, value);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Warn, L"tamber::common::windows::registry::ExistingRegKey::ReadDwordValue(): Absent Does Not Exist"));

  EXPECT_EQ(0, key.WriteDwordValue(L"Number", 0xDEADBEEF));
  uint32_t type = 0, size = 0;
  EXPECT_EQ(0u, platform::RegQueryValueEx(key.GetKey(), L"Number", &type, nullptr, &size));
  EXPECT_EQ(platform::kRegDword, type);
  EXPECT_EQ(4u, size);
  EXPECT_EQ(0, key.ReadDwordValue(L"Number", 1, &value));
  EXPECT_EQ(0xDEADBEEFu, value);
}

// The type is not checked, as the agent has always read DWORDs; only the memory safety is added: a
// shorter value replaces the low bytes of the default, a longer one fails without touching the default.
TEST_F(RegKeyTest, DwordReadsOfOtherSizesNeverGoPastFourBytes) {
  SetRaw(L"Short", platform::kRegBinary, {0x34, 0x12});
  SetRaw(L"Long", platform::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8});
  auto key = Open();
  LogCapture log;
  uint32_t value = 0;
  EXPECT_EQ(0, key.ReadDwordValue(L"Short", 0xAABBCCDD, &value));
  EXPECT_EQ(0xAABB1234u, value);
  EXPECT_EQ(kMoreData, key.ReadDwordValue(L"Long", 77, &value));
  EXPECT_EQ(77u, value);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::ReadDwordValue(): Failed Querying Value: Long, 0x800700EA"));
}

TEST_F(RegKeyTest, StringsAreWrittenWithTheirNullAndReadBackUnexpanded) {
  auto key = Open();
  EXPECT_EQ(0, key.WriteStringValue(L"Text", platform::kRegSz, L"abc"));
  EXPECT_EQ(0, key.WriteStringValue(L"Path", platform::kRegExpandSz, L"%SystemRoot%\\x"));
  uint32_t type = 0, size = 0;
  EXPECT_EQ(0u, platform::RegQueryValueEx(key.GetKey(), L"Text", &type, nullptr, &size));
  EXPECT_EQ(platform::kRegSz, type);
  EXPECT_EQ(8u, size);  // 2 x 3 + 2

  std::wstring text;
  EXPECT_EQ(0, key.ReadStringValue(L"Text", &text));
  EXPECT_EQ(L"abc", text);
  EXPECT_EQ(0, key.ReadStringValue(L"Path", &text));
  EXPECT_EQ(L"%SystemRoot%\\x", text);
  EXPECT_EQ(0, key.WriteStringValue(L"Empty", platform::kRegSz, L""));
  EXPECT_EQ(0, key.ReadStringValue(L"Empty", &text));
  EXPECT_EQ(L"", text);
}

TEST_F(RegKeyTest, StringReadsTrustNeitherTerminatorNorType) {
  SetRaw(L"NoNull", platform::kRegSz, {'a', 0, 'b', 0});
  SetRaw(L"OddSize", platform::kRegSz, {'a', 0, 'b'});
  SetRaw(L"Embedded", platform::kRegSz, {'a', 0, 0, 0, 'b', 0, 0, 0});
  auto key = Open();
  ASSERT_EQ(0, key.WriteDwordValue(L"Number", 5));
  LogCapture log;

  std::wstring text;
  EXPECT_EQ(0, key.ReadStringValue(L"NoNull", &text));
  EXPECT_EQ(L"ab", text);
  EXPECT_EQ(0, key.ReadStringValue(L"OddSize", &text));
  EXPECT_EQ(L"a", text);
  EXPECT_EQ(0, key.ReadStringValue(L"Embedded", &text));
  EXPECT_EQ(L"a", text);

  text = L"untouched";
  EXPECT_EQ(static_cast<int32_t>(0x80070057u), key.ReadStringValue(L"Number", &text));
  EXPECT_EQ(L"untouched", text);
  EXPECT_EQ(kFileNotFound, key.ReadStringValue(L"Absent", &text));
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Unexpected Type: Value Name: Number"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::ReadStringValue(): Failed Getting Value Size: Absent, 0x80070002"));
}

TEST_F(RegKeyTest, MultiStringsAreWrittenAsGivenAndReadWithoutTrustingTheFinalNulls) {
  auto key = Open();
  std::vector<uint8_t> list = {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0};
  EXPECT_EQ(0, key.WriteMultiStringValue(L"List", list.data(), static_cast<uint32_t>(list.size())));
  uint32_t type = 0, size = 0;
  EXPECT_EQ(0u, platform::RegQueryValueEx(key.GetKey(), L"List", &type, nullptr, &size));
  EXPECT_EQ(platform::kRegMultiSz, type);
  EXPECT_EQ(list.size(), size);

  std::vector<std::wstring> strings;
  EXPECT_EQ(0, key.ReadMultiStringValue(L"List", &strings));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"bc"}), strings);

  std::vector<uint8_t> unterminated = {'a', 0, 0, 0, 'b', 0};
  EXPECT_EQ(0, key.WriteMultiStringValue(L"Cut", unterminated.data(), static_cast<uint32_t>(unterminated.size())));
  EXPECT_EQ(0, key.ReadMultiStringValue(L"Cut", &strings));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), strings);
}

TEST_F(RegKeyTest, SubKeyExistsSetsTheFlagOnlyWhenTheSubkeyOpens) {
  NewRegKey child(platform::HKeyLocalMachine(), std::wstring(kTestKey) + L"\\Child", 0, platform::kKeyReadWrite);
  auto key = Open();
  LogCapture log;
  bool exists = false;
  EXPECT_EQ(0, key.SubKeyExists(L"child", &exists));
  EXPECT_TRUE(exists);
  exists = false;
  EXPECT_EQ(kFileNotFound, key.SubKeyExists(L"Other", &exists));
  EXPECT_FALSE(exists);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::SubKeyExists(): Failed Opening SubKey: Other, 0x80070002"));
}

TEST_F(RegKeyTest, WaitForChangeArmsANotificationForSubkeysAndValues) {
  auto key = Open();
  UniqueHandle event(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  bool armed = false;
  ASSERT_EQ(0, key.WaitForChange(&armed, event.get()));
  EXPECT_TRUE(armed);
  NewRegKey child(platform::HKeyLocalMachine(), std::wstring(kTestKey) + L"\\Child", 0, platform::kKeyReadWrite);
  EXPECT_EQ(platform::kWaitObject0, platform::WaitForSingleObject(event.get(), kPatienceMs));

  LogCapture log;
  armed = false;
  EXPECT_NE(0, key.WaitForChange(&armed, nullptr));  // asynchronous without an event
  EXPECT_FALSE(armed);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForChange(): RegNotifyChangeKeyValue Failed: 0x8007"));
}

TEST_F(RegKeyTest, WaitForDwordValueEndsOnTheExpectedValueAfterAMismatch) {
  auto key = Open();
  LogCapture log;
  RepeatingWriter writer([this](int round) { Open().WriteDwordValue(L"State", round < 3 ? 3 : 7); });
  bool found = false;
  EXPECT_EQ(0, key.WaitForDwordValue(L"State", 7, kPatienceMs, &found));
  EXPECT_TRUE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: 3 Does Not Match Expected Value: 7"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: 7 Matches Expected Value: 7"));
}

TEST_F(RegKeyTest, WaitForDwordValueTreatsZeroAsAnEndAndTimesOutWhenNothingIsWritten) {
  auto key = Open();
  LogCapture log;
  bool found = false;
  {
    RepeatingWriter writer([this](int) { Open().WriteDwordValue(L"State", 0); });
    EXPECT_EQ(0, key.WaitForDwordValue(L"State", 7, kPatienceMs, &found));
    EXPECT_TRUE(found);
  }
  // A fresh handle: the writer's last rounds must not count as changes for this wait.
  EXPECT_EQ(kTimeout, Open().WaitForDwordValue(L"State", 7, kShortMs, &found));
  EXPECT_FALSE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Actual value: 0. Exiting"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForDwordValue(): Timed out waiting for DWORD: Duration: 150ms, Expected Value: 7, Value: 0"));
}

TEST_F(RegKeyTest, WaitForStringValueFindsAWrittenValue) {
  auto key = Open();
  UniqueHandle shutdown(platform::CreateEvent(true, false, nullptr));
  LogCapture log;
  RepeatingWriter writer(
      [this](int round) { Open().WriteStringValue(L"Phase", platform::kRegSz, round < 2 ? L"busy" : L"ready"); });
  bool found = false;
  EXPECT_EQ(0, key.WaitForStringValue(L"Phase", L"ready", kPatienceMs, &found, shutdown.get()));
  EXPECT_TRUE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Found expected value: ready"));
}

TEST_F(RegKeyTest, WaitForStringValueReturnsAtOnceWhenShutdownIsAlreadySet) {
  auto key = Open();
  ASSERT_EQ(0, key.WriteStringValue(L"Phase", platform::kRegSz, L"ready"));
  UniqueHandle shutdown(platform::CreateEvent(true, /*initialState=*/true, nullptr));
  LogCapture log;
  bool found = true;
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(0, key.WaitForStringValue(L"Phase", L"ready", kPatienceMs, &found, shutdown.get()));
  EXPECT_LT(platform::GetTickCount64() - before, uint64_t{kPatienceMs});
  EXPECT_FALSE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Shutdown Event Set, Exiting"));
}

// A wait that could not see the agent's stop is refused at once, never started without it.
TEST_F(RegKeyTest, WaitForStringValueRefusesAMissingShutdownEvent) {
  auto key = Open();
  LogCapture log;
  bool found = true;
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(static_cast<int32_t>(0x80070006), key.WaitForStringValue(L"Phase", L"ready", kPatienceMs, &found, nullptr));
  EXPECT_LT(platform::GetTickCount64() - before, uint64_t{kPatienceMs});
  EXPECT_FALSE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): No shutdown event to wait on: 0x80070006"));
}

// The value is only looked at after a change or at the time-out: a value that already matches and is
// never written is found when the time-out passes, not before.
TEST_F(RegKeyTest, WaitForStringValueSeesAnUnchangedMatchOnlyAtTheTimeOut) {
  auto key = Open();
  ASSERT_EQ(0, key.WriteStringValue(L"Phase", platform::kRegSz, L"ready"));
  UniqueHandle shutdown(platform::CreateEvent(true, false, nullptr));
  bool found = false;
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(0, key.WaitForStringValue(L"Phase", L"ready", 300, &found, shutdown.get()));
  EXPECT_GE(platform::GetTickCount64() - before, 280u);  // the Windows tick moves in steps of up to 16 ms
  EXPECT_TRUE(found);

  LogCapture log;
  EXPECT_EQ(kTimeout, key.WaitForStringValue(L"Phase", L"READY", kShortMs, &found, shutdown.get()));
  EXPECT_FALSE(found);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Timed out waiting for expected REG_SZ Value READY. Last value was ready. Duration: 150ms."));
}

TEST_F(RegKeyTest, PollingWaitReturnsAtOnceWhenTheValueAlreadyMatches) {
  auto key = Open();
  ASSERT_EQ(0, key.WriteStringValue(L"Phase", platform::kRegSz, L"ready"));
  LogCapture log;
  uint64_t before = platform::GetTickCount64();
  EXPECT_EQ(0, key.WaitForStringValue(L"Phase", L"ready", 60000));
  EXPECT_LT(platform::GetTickCount64() - before, 1000u);  // no poll interval was slept
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): WaitForStringValue: Found expected value: Phase=ready"));
}

TEST_F(RegKeyTest, WaitForValueExistsEndsWhenTheValueAppearsOrTimesOut) {
  auto key = Open();
  LogCapture log;
  {
    // Other values under the key wake the wait without ending it.
    RepeatingWriter writer([this](int round) {
      auto writerKey = Open();
      writerKey.WriteDwordValue(L"Noise", static_cast<uint32_t>(round));
      if (round >= 3) writerKey.WriteDwordValue(L"Marker", 1);
    });
    EXPECT_EQ(0, key.WaitForValueExists(L"Marker", kPatienceMs));
  }
  EXPECT_EQ(kTimeout, key.WaitForValueExists(L"Other", kShortMs));
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): Value: Marker is just found. Exiting the wait loop"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForValueExists(): Timed out waiting for value: Other to be set"));
}

TEST_F(RegKeyTest, NewRegKeyReportsACreationFailure) {
  LogCapture log;
  int32_t result = 0;
  NewRegKey bad(nullptr, L"Anything", 0, platform::kKeyReadWrite, &result);
  EXPECT_EQ(kInvalidHandle, result);
  EXPECT_FALSE(bad.IsOpen());
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::NewRegKey::NewRegKey(): Failed Creating Key: Anything, 0x80070006"));
}

}  // namespace
}  // namespace tamber::common::windows::registry
