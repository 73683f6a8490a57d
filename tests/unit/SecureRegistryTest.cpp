// LSA secrets through SecureRegistry: argument checks, the lines logged for the LSA's failures, the
// round trip of binary and text secrets, and deletion. Wine's LSA keeps no private data (every store
// and retrieval answers STATUS_OBJECT_NAME_NOT_FOUND): there the failure lines are checked and the
// round trip is skipped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/security/SecureRegistry.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

using common::windows::SecureRegistry;
using common::windows::UniqueHKey;

constexpr wchar_t kTestSecret[] = L"L$VELOCYN_TEST_SECRET";
constexpr wchar_t kTestSecretKey[] = L"SECURITY\\Policy\\Secrets\\L$VELOCYN_TEST_SECRET";
constexpr wchar_t kMissingSecret[] = L"L$VELOCYN_TEST_MISSING";

class SecureRegistryTest : public GuestTest {
 protected:
  void SetUp() override {
    GuestTest::SetUp();
    test::EnableTraceLogging();  // deletion reports at TRACE
  }
  void TearDown() override {
    platform::SHDeleteKey(platform::HKeyLocalMachine(), kTestSecretKey);
    GuestTest::TearDown();
  }

  size_t Count(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_.Count(level, fragment);
  }

  static bool KeyExists(const wchar_t* path) {
    UniqueHKey key;
    return platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path, 0, platform::kKeyRead, key.put()) ==
           platform::kErrorSuccess;
  }

  LogCapture log_;
};

TEST_F(SecureRegistryTest, ArgumentsAreCheckedBeforeTheLsaIsAsked) {
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_FALSE(SecureRegistry::StorePrivateData(nullptr, data, 4));
  EXPECT_FALSE(SecureRegistry::StorePrivateData(L"", data, 4));
  EXPECT_FALSE(SecureRegistry::StorePrivateData(L"L$A\\B", data, 4));  // not one key
  EXPECT_FALSE(SecureRegistry::StorePrivateData(kTestSecret, nullptr, 4));
  EXPECT_FALSE(SecureRegistry::StorePrivateData(kTestSecret, data, 0));
  EXPECT_FALSE(SecureRegistry::StorePrivateData(std::wstring(256, L'N').c_str(), data, 4));
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::SecureRegistry::StorePrivateData(): Invalid Parameters"),
            6u);
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kTestSecret, nullptr));
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kTestSecret, ""));
  EXPECT_EQ(Count(LogLevel::Error, L"SecureRegistry::StorePrivateString(): Invalid Parameters"), 2u);

  uint8_t* out = reinterpret_cast<uint8_t*>(0x1);  // must stay as it is
  char* text = nullptr;
  EXPECT_EQ(SecureRegistry::RetrievePrivateData(nullptr, &out), 0u);
  EXPECT_EQ(SecureRegistry::RetrievePrivateData(kTestSecret, nullptr), 0u);
  EXPECT_EQ(SecureRegistry::RetrievePrivateString(kTestSecret, nullptr), 0u);
  EXPECT_EQ(SecureRegistry::RetrievePrivateString(nullptr, &text), 0u);
  EXPECT_EQ(out, reinterpret_cast<uint8_t*>(0x1));
  EXPECT_EQ(Count(LogLevel::Error, L"SecureRegistry::RetrievePrivateData(): Invalid Parameters"), 2u);
  EXPECT_EQ(
      Count(LogLevel::Error, L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Invalid Parameters"),
      2u);
  EXPECT_EQ(Count(LogLevel::Error, L"Failed to get policy handle"), 0u);  // the LSA was never asked
}

TEST_F(SecureRegistryTest, ValuesBeyondTheLsaLengthAreRefusedNotCut) {
  std::vector<uint8_t> big(SecureRegistry::kMaxPrivateDataLength + 1, 0x5A);
  EXPECT_FALSE(SecureRegistry::StorePrivateData(kTestSecret, big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_EQ(Count(LogLevel::Error, L"StorePrivateData(): Private data of 65535 bytes is longer than the 65534 bytes"),
            1u);
  std::string longText(SecureRegistry::kMaxPrivateStringLength + 1, 'p');
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kTestSecret, longText.c_str()));
  EXPECT_EQ(Count(LogLevel::Error, L"StorePrivateString(): Private string of more than 32766 characters"), 1u);
  uint8_t* out = nullptr;
  EXPECT_EQ(SecureRegistry::RetrievePrivateData(kTestSecret, &out), 0u);  // nothing was stored
  EXPECT_EQ(out, nullptr);
}

TEST_F(SecureRegistryTest, AMissingSecretIsReportedWithTheLsaStatus) {
  uint8_t* data = nullptr;
  char* text = nullptr;
  EXPECT_EQ(SecureRegistry::RetrievePrivateData(kMissingSecret, &data), 0u);
  EXPECT_EQ(SecureRegistry::RetrievePrivateString(kMissingSecret, &text), 0u);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(Count(LogLevel::Error,
                  L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Unable to retrieve private data "
                  L"from registry. NTSTATUS: 0xC0000034. Error: 0x2."),
            1u);
  EXPECT_EQ(Count(LogLevel::Error,
                  L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): Failed to retrieve private data "
                  L"from registry."),
            1u);
  EXPECT_EQ(Count(LogLevel::Error,
                  L"RetrievePrivateString(): Unable to retrieve private data from registry. "
                  L"NTSTATUS: 0xC0000034. Error: 0x2."),
            1u);
  EXPECT_EQ(Count(LogLevel::Error,
                  L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): Failed to retrieve private data "
                  L"from registry."),
            1u);
}

TEST_F(SecureRegistryTest, DeletingRemovesTheSecretsKeyTreeAndAMissingSecretCountsAsDeleted) {
  {
    UniqueHKey key;
    ASSERT_EQ(
        platform::RegCreateKeyEx(platform::HKeyLocalMachine(), (std::wstring(kTestSecretKey) + L"\\CurrVal").c_str(), 0,
                                 platform::kKeyAllAccess, key.put(), nullptr),
        platform::kErrorSuccess);
  }
  // A name that is empty or reaches into another key is refused: it would delete more than one secret.
  EXPECT_FALSE(SecureRegistry::DeleteKey(nullptr));
  EXPECT_FALSE(SecureRegistry::DeleteKey(L""));
  EXPECT_FALSE(SecureRegistry::DeleteKey(L"L$VELOCYN_TEST_SECRET\\CurrVal"));
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::SecureRegistry::DeleteKey(): Invalid Parameters"), 3u);
  EXPECT_TRUE(KeyExists((std::wstring(kTestSecretKey) + L"\\CurrVal").c_str()));

  EXPECT_TRUE(SecureRegistry::DeleteKey(kTestSecret));
  EXPECT_FALSE(KeyExists(kTestSecretKey));
  EXPECT_EQ(Count(LogLevel::Trace,
                  L"tamber::common::windows::SecureRegistry::DeleteKey(): Deleted key: "
                  L"SECURITY\\Policy\\Secrets\\L$VELOCYN_TEST_SECRET"),
            1u);
  EXPECT_TRUE(SecureRegistry::DeleteKey(kTestSecret));
  EXPECT_EQ(Count(LogLevel::Trace,
                  L"DeleteKey(): SHDeleteKeyW failed since key "
                  L"SECURITY\\Policy\\Secrets\\L$VELOCYN_TEST_SECRET does not exist"),
            1u);
}

TEST_F(SecureRegistryTest, StoredSecretsComeBackAsStoredAndGoWhenDeleted) {
  const std::vector<uint8_t> binary = {0x00, 0xFF, 0x10, 0x80, 0x7F, 0x00, 0x41};
  if (!SecureRegistry::StorePrivateData(kTestSecret, binary.data(), static_cast<uint32_t>(binary.size()))) {
    // The documented failure lines, with the LSA's status and its Windows error.
    EXPECT_EQ(Count(LogLevel::Error,
                    L"tamber::common::windows::SecureRegistry::StorePrivateData(): Failed to store private data to "
                    L"registry. NTSTATUS: 0xC0000034. Error: 0x2."),
              1u);
    EXPECT_EQ(Count(LogLevel::Error, L"SecureRegistry::StorePrivateData(): Failed to store private data to registry"),
              2u);
    EXPECT_FALSE(SecureRegistry::StorePrivateString(kTestSecret, "text"));
    EXPECT_EQ(Count(LogLevel::Error,
                    L"tamber::common::windows::SecureRegistry::StorePrivateString(): Failed to store private string "
                    L"to registry"),
              1u);
    GTEST_SKIP() << "this LSA keeps no private data (Wine answers STATUS_OBJECT_NAME_NOT_FOUND to every store)";
  }
  uint8_t* data = nullptr;
  uint32_t size = SecureRegistry::RetrievePrivateData(kTestSecret, &data);
  ASSERT_EQ(size, binary.size());
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), binary);
  SecureRegistry::FreePrivateData(&data, &size);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);

  // A text of n characters comes back as n + 1 bytes, the last one its terminator.
  const char password[] = "L0ng-Machine+Passw0rd/42";
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kTestSecret, password));
  char* text = nullptr;
  size = SecureRegistry::RetrievePrivateString(kTestSecret, &text);
  ASSERT_EQ(size, sizeof(password));
  EXPECT_EQ(std::string(text, size), std::string(password, sizeof(password)));
  SecureRegistry::FreePrivateData(&text, &size);
  EXPECT_EQ(text, nullptr);
  // Its wide form: two bytes per character.
  size = SecureRegistry::RetrievePrivateData(kTestSecret, &data);
  EXPECT_EQ(size, 2 * (sizeof(password) - 1));
  SecureRegistry::FreePrivateData(&data, &size);

  EXPECT_TRUE(SecureRegistry::DeleteKey(kTestSecret));
  EXPECT_EQ(SecureRegistry::RetrievePrivateString(kTestSecret, &text), 0u);
  EXPECT_EQ(Count(LogLevel::Error, L"NTSTATUS: 0xC0000034"), 1u);

  framework::log::FlushLog();
  for (const auto& entry : log_.Entries()) {
    EXPECT_EQ(entry.text.find(L"L0ng-Machine"), std::wstring::npos) << ::testing::PrintToString(entry.text);
  }
}

}  // namespace
}  // namespace tamber::test
