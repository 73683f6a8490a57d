// Keeping the boot-time agent in the session manager's BootExecute list, against the tier's real registry
// (the simulated hive, or Wine's). The value is saved before each test and put back afterwards, as the
// Wine prefix's own list must survive the run. Also the two readiness answers the service asks for.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "core/windows/Customization.h"
#include "core/windows/Guest.h"
#include "framework/log/Log.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using test::LogCapture;
using util::Persisted;

constexpr const wchar_t* kPrefix = L"tamber::core::windows::Customization::";

// UTF-16LE bytes of a REG_MULTI_SZ made of the given strings, each with its null, and the final null.
std::vector<uint8_t> MultiSz(const std::vector<std::wstring>& strings) {
  std::vector<uint8_t> bytes;
  for (const auto& text : strings) {
    auto encoded = common::util::ToUtf16LeBytes(text);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

struct RawValue {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};

class CustomizationBootExecuteTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    ASSERT_EQ(
        platform::RegCreateKeyEx(platform::HKeyLocalMachine(), util::kRegistryKeyPaths[util::regtype::kSessionManager],
                                 0, platform::kKeyAllAccess, &key_, nullptr),
        0u);
    saved_ = Read();
  }

  void TearDown() override {
    if (key_ != nullptr) {
      if (saved_) {
        platform::RegSetValueEx(key_, kBootExecuteValue, saved_->type, saved_->bytes.data(),
                                static_cast<uint32_t>(saved_->bytes.size()));
      } else {
        platform::RegDeleteValue(key_, kBootExecuteValue);
      }
      platform::RegCloseKey(key_);
    }
    test::GuestTest::TearDown();
  }

  std::optional<RawValue> Read() {
    RawValue value;
    uint32_t size = 0;
    if (platform::RegQueryValueEx(key_, kBootExecuteValue, &value.type, nullptr, &size) != 0) return std::nullopt;
    value.bytes.resize(size);
    if (platform::RegQueryValueEx(key_, kBootExecuteValue, &value.type, value.bytes.data(), &size) != 0) {
      return std::nullopt;
    }
    value.bytes.resize(size);
    return value;
  }

  void Write(const std::vector<uint8_t>& bytes, uint32_t type = platform::kRegMultiSz) {
    ASSERT_EQ(platform::RegSetValueEx(key_, kBootExecuteValue, type, bytes.data(), static_cast<uint32_t>(bytes.size())),
              0u);
  }

  std::vector<uint8_t> Current() {
    auto value = Read();
    EXPECT_TRUE(value);
    if (!value) return {};
    EXPECT_EQ(value->type, platform::kRegMultiSz);
    return value->bytes;
  }

  platform::HKey key_ = nullptr;
  std::optional<RawValue> saved_;
};

TEST_F(CustomizationBootExecuteTest, EntryAlreadyPresentInAnyCaseChangesNothing) {
  const auto original = MultiSz({L"autocheck autochk *", L"SYSTEM32\\TALVORA-QX-NGA.EXE", L"other.exe"});
  Write(original);
  LogCapture log;
  Customization customization;
  EXPECT_TRUE(customization.CustomizeMaster());
  EXPECT_EQ(Current(), original);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, std::wstring(kPrefix) + L"VerifyNGAConfig(): VerifyNGAConfig Succeeded"), 1u);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"Updated BootExecute"));
}

TEST_F(CustomizationBootExecuteTest, MissingEntryIsAppendedLastWithoutEmptyOrOneCharacterEntries) {
  // Near misses (a trailing blank, no folder) are not the entry.
  Write(MultiSz({L"autocheck autochk *", L"x", L"System32\\talvora-qx-nga.exe ", L"talvora-qx-nga.exe"}));
  LogCapture log;
  Customization customization;
  EXPECT_TRUE(customization.VerifyNGAConfig());
  const auto expected = MultiSz({L"autocheck autochk *", L"System32\\talvora-qx-nga.exe ", L"talvora-qx-nga.exe",
                                 L"System32\\talvora-qx-nga.exe"});
  EXPECT_EQ(Current(), expected);
  EXPECT_TRUE(customization.VerifyNGAConfig());
  EXPECT_EQ(Current(), expected) << "registered now: left as it is";
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, std::wstring(kPrefix) + L"VerifyNGAConfig(): Updated BootExecute"), 1u);

  // Empty entries in the middle of a list can only come from a caller; they go too.
  ASSERT_TRUE(customization.UpdateBootExecute({L"", L"a", L"first", L"", L"\u00e9", L"zz"}));
  EXPECT_EQ(Current(), MultiSz({L"first", L"zz", L"System32\\talvora-qx-nga.exe"}));
}

// A list written without its final nulls (or cut inside a character) is read up to its end and no
// further; the rewritten list is well formed. A list that cannot be read is not written.
TEST_F(CustomizationBootExecuteTest, MalformedOrUnreadableValues) {
  auto bytes = common::util::ToUtf16LeBytes(L"autocheck autochk *");
  auto second = common::util::ToUtf16LeBytes(L"check2");
  bytes.insert(bytes.end(), second.begin(), second.end() - 2);  // the last string has no null
  bytes.push_back('Q');                                         // and an odd byte follows
  Write(bytes);
  Customization customization;
  EXPECT_TRUE(customization.VerifyNGAConfig());
  EXPECT_EQ(Current(), MultiSz({L"autocheck autochk *", L"check2", L"System32\\talvora-qx-nga.exe"}));

  auto ngaOnly = common::util::ToUtf16LeBytes(L"system32\\talvora-qx-nga.exe");
  ngaOnly.resize(ngaOnly.size() - 2);
  Write(ngaOnly);
  const auto before = Current();  // as this tier's registry gives it back
  EXPECT_TRUE(customization.VerifyNGAConfig());
  EXPECT_EQ(Current(), before) << "the unterminated entry counts as present";

  LogCapture log;
  const auto text = common::util::ToUtf16LeBytes(L"autocheck autochk *");
  Write(text, platform::kRegSz);
  EXPECT_FALSE(customization.VerifyNGAConfig());
  EXPECT_EQ(Read()->bytes, text);
  platform::RegDeleteValue(key_, kBootExecuteValue);
  EXPECT_FALSE(customization.VerifyNGAConfig());
  EXPECT_FALSE(Read()) << "a missing list is not created";
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Warn, std::wstring(kPrefix) + L"VerifyNGAConfig(): Failed Reading BootExecute: 0x"),
            2u);
}

// What the service asks after the customization to decide how long it stays up: only 1 counts.
TEST_F(CustomizationBootExecuteTest, ReadinessAnswersNeedTheirValuesAtOne) {
  auto* info = util::CustomizationPersistentInfo::Instance();
  Guest guest;
  ASSERT_EQ(info->Set(Persisted::PreShutdownScriptConfigured), 0);
  ASSERT_EQ(util::Registry::Instance()->SetValue(L"PreShutdownScriptSecured", 2u, util::regtype::kGa), 0);
  EXPECT_FALSE(guest.IsPreShutdownScriptReady());
  EXPECT_FALSE(guest.IsPersistentDisksReady());
  ASSERT_EQ(info->Set(Persisted::PreShutdownScriptSecured), 0);
  ASSERT_EQ(info->Set(Persisted::PersistentDisksReady), 0);
  EXPECT_TRUE(guest.IsPreShutdownScriptReady());
  EXPECT_TRUE(guest.IsPersistentDisksReady());
}

}  // namespace
}  // namespace tamber::core::windows
