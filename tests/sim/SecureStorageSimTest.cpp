// LSA secrets on the simulated guest: they live in the SECURITY hive and are exactly as durable as it
// is, the store can be made to fail through the fault plan, the LSA seam keeps its own rules (handles,
// access, names, deletion by a null value), and the agent reads text values without reading past them.
// Also the allocation failures of the obfuscation, which only the simulated heap can produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/security/Encryption.h"
#include "common/security/SecureRegistry.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Lsa.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/security/SimLsa.h"
#include "support/TestEnvironment.h"

namespace tamber::test {
namespace {

namespace fs = std::filesystem;
using common::windows::Encryption;
using common::windows::SecureRegistry;
using common::windows::UniqueHKey;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::ReadLsaSecret;

constexpr wchar_t kPasswordSecret[] = L"L$TOLM_MC_PWD";
constexpr wchar_t kChecksumSecret[] = L"L$TOLM_MC_PWD_CHKSUM";
constexpr char kObfuscatedPassword[] = "joU2O/oOgipU";

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// The UTF-16LE bytes of ASCII text, as a text secret is kept.
std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

class SecureStorageSimTest : public GuestTest {
 protected:
  void TearDown() override {
    FaultPlan::Set(platform::sim::kLsaStoreFailsFault, std::nullopt);
    FaultPlan::Set("HeapAlloc", std::nullopt);
    GuestTest::TearDown();
  }

  static void Reboot(bool powerCut) {
    fs::path dir = Machine::Directory();
    if (powerCut) {
      Machine::PowerCut();
    } else {
      Machine::Shutdown();
    }
    Machine::Boot(dir);
  }

  static void FlushSecurityHive() {
    UniqueHKey key;
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"SECURITY", 0, platform::kKeyRead, key.put()),
              platform::kErrorSuccess);
    ASSERT_EQ(platform::RegFlushKey(key.get()), platform::kErrorSuccess);
  }

  static std::string RetrieveText(const wchar_t* name) {
    char* text = nullptr;
    uint32_t size = SecureRegistry::RetrievePrivateString(name, &text);
    if (size == 0) return "(failed)";
    std::string result(text, size - 1);
    EXPECT_EQ(text[size - 1], '\0');
    SecureRegistry::FreePrivateData(&text, &size);
    return result;
  }

  size_t Count(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_.Count(level, fragment);
  }

  LogCapture log_;
};

TEST_F(SecureStorageSimTest, ASecretSurvivesAPowerCutOnlyOnceTheSecurityHiveIsFlushed) {
  // The LSA's own store is lost by a power cut before the SECURITY hive is flushed; another hive's
  // flush does not help.
  {
    platform::LsaObjectAttributes attributes{};
    platform::LsaHandle policy = nullptr;
    ASSERT_EQ(platform::LsaOpenPolicy(nullptr, &attributes, platform::kPolicyAllAccess, &policy),
              platform::kStatusSuccess);
    auto name = Utf16("L$TOLM_MC_PWD_RAW");
    platform::LsaUnicodeString keyName{static_cast<uint16_t>(name.size()), static_cast<uint16_t>(name.size()),
                                       name.data()};
    auto value = Bytes("raw");
    platform::LsaUnicodeString data{3, 3, value.data()};
    EXPECT_EQ(platform::LsaStorePrivateData(policy, &keyName, &data), platform::kStatusSuccess);
    platform::LsaClose(policy);
  }
  {
    UniqueHKey software;
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"SOFTWARE", 0, platform::kKeyRead, software.put()),
              platform::kErrorSuccess);
    ASSERT_EQ(platform::RegFlushKey(software.get()), platform::kErrorSuccess);
  }
  EXPECT_FALSE(ReadLsaSecret(Machine::Directory(), L"L$TOLM_MC_PWD_RAW").has_value());
  Reboot(/*powerCut=*/true);
  EXPECT_FALSE(ReadLsaSecret(L"L$TOLM_MC_PWD_RAW").has_value());

  // What the agent stores is durable at once: a marker that records it may follow (found by a torture
  // run, where a join's password was lost while the join's markers stayed).
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, kObfuscatedPassword));
  EXPECT_EQ(ReadLsaSecret(Machine::Directory(), kPasswordSecret), Utf16(kObfuscatedPassword));
  Reboot(/*powerCut=*/true);
  EXPECT_EQ(RetrieveText(kPasswordSecret), kObfuscatedPassword);

  ASSERT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, kObfuscatedPassword));
  FlushSecurityHive();
  EXPECT_EQ(ReadLsaSecret(Machine::Directory(), kPasswordSecret), Utf16(kObfuscatedPassword));
  Reboot(/*powerCut=*/true);
  EXPECT_EQ(RetrieveText(kPasswordSecret), kObfuscatedPassword);

  // A clean shutdown makes it durable too; so does its deletion.
  ASSERT_TRUE(SecureRegistry::DeleteKey(kPasswordSecret));
  Reboot(/*powerCut=*/false);
  EXPECT_FALSE(ReadLsaSecret(kPasswordSecret).has_value());
  EXPECT_FALSE(ReadLsaSecret(Machine::Directory(), kPasswordSecret).has_value());
}

TEST_F(SecureStorageSimTest, AFailingStoreChangesNothingAndIsLoggedWithItsStatus) {
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, "first"));
  FaultPlan::Set(platform::sim::kLsaStoreFailsFault, "0xC0000022");
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kPasswordSecret, "second"));
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_FALSE(SecureRegistry::StorePrivateData(kChecksumSecret, bytes, 3));
  EXPECT_EQ(Count(LogLevel::Error,
                  L"tamber::common::windows::SecureRegistry::StorePrivateData(): Failed to store private data to "
                  L"registry. NTSTATUS: 0xC0000022. Error: 0x5."),
            2u);
  EXPECT_EQ(Count(LogLevel::Error, L"StorePrivateString(): Failed to store private string to registry"), 1u);
  EXPECT_EQ(RetrieveText(kPasswordSecret), "first");
  EXPECT_FALSE(ReadLsaSecret(kChecksumSecret).has_value());

  // Aimed at one secret, the others still store.
  FaultPlan::Set(platform::sim::kLsaStoreFailsFault, "0xC0000022@L$TOLM_MC_PWD_CHKSUM");
  EXPECT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, "second"));
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kChecksumSecret, "checksum"));
  EXPECT_EQ(RetrieveText(kPasswordSecret), "second");
  EXPECT_EQ(RetrieveText(kChecksumSecret), "(failed)");
}

TEST_F(SecureStorageSimTest, TextIsReadToItsLastWholeCharacterAndNeverPastTheValue) {
  // Five bytes: two characters and half of a third.
  const uint8_t odd[5] = {'a', 0, 'b', 0, 'c'};
  ASSERT_TRUE(SecureRegistry::StorePrivateData(kPasswordSecret, odd, sizeof(odd)));
  char* text = nullptr;
  uint32_t size = SecureRegistry::RetrievePrivateString(kPasswordSecret, &text);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(std::string(text, 3), std::string("ab\0", 3));
  SecureRegistry::FreePrivateData(&text, &size);

  // A null inside, or a character with no narrow form, is a failed conversion.
  const uint8_t embeddedNull[6] = {'a', 0, 0, 0, 'b', 0};
  ASSERT_TRUE(SecureRegistry::StorePrivateData(kPasswordSecret, embeddedNull, sizeof(embeddedNull)));
  EXPECT_EQ(RetrieveText(kPasswordSecret), "(failed)");
  EXPECT_EQ(
      Count(LogLevel::Error,
            L"tamber::common::windows::SecureRegistry::RetrievePrivateString(): wcstombs_s failed(2). Error: 0x0."),
      1u);
  const uint8_t wide[4] = {'a', 0, 0x3A, 0x26};
  ASSERT_TRUE(SecureRegistry::StorePrivateData(kPasswordSecret, wide, sizeof(wide)));
  EXPECT_EQ(RetrieveText(kPasswordSecret), "(failed)");
  EXPECT_EQ(Count(LogLevel::Error, L"RetrievePrivateString(): wcstombs_s failed(1). Error: 0x2A."), 1u);

  // Every byte value of a narrow text comes back unchanged.
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, all.c_str()));
  EXPECT_EQ(RetrieveText(kPasswordSecret), all);
}

TEST_F(SecureStorageSimTest, TheLongestValueIsKeptWhole) {
  std::vector<uint8_t> longest(SecureRegistry::kMaxPrivateDataLength);
  for (size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(SecureRegistry::StorePrivateData(kChecksumSecret, longest.data(), static_cast<uint32_t>(longest.size())));
  uint8_t* data = nullptr;
  uint32_t size = SecureRegistry::RetrievePrivateData(kChecksumSecret, &data);
  ASSERT_EQ(size, longest.size());
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), longest);
  SecureRegistry::FreePrivateData(&data, &size);
  std::string longestText(SecureRegistry::kMaxPrivateStringLength, 'x');
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kChecksumSecret, longestText.c_str()));
  EXPECT_EQ(RetrieveText(kChecksumSecret), longestText);
}

TEST_F(SecureStorageSimTest, TheMachineAccountSecretIsReadableBySimulatedComponents) {
  const auto password = Utf16("machine-account-password");
  ASSERT_TRUE(platform::sim::WriteLsaSecret(L"$MACHINE.ACC", password));
  EXPECT_EQ(ReadLsaSecret(L"$machine.acc"), password);  // names without case, as the registry has them
  uint8_t* data = nullptr;
  uint32_t size = SecureRegistry::RetrievePrivateData(L"$MACHINE.ACC", &data);
  ASSERT_EQ(size, password.size());
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), password);
  SecureRegistry::FreePrivateData(&data, &size);
  // The agent replaces it; the LSA keeps the value it replaced.
  const auto restored = Bytes("restored-password");
  ASSERT_TRUE(
      SecureRegistry::StorePrivateData(L"$MACHINE.ACC", restored.data(), static_cast<uint32_t>(restored.size())));
  EXPECT_EQ(ReadLsaSecret(L"$MACHINE.ACC"), restored);
  UniqueHKey old;
  ASSERT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"SECURITY\\Policy\\Secrets\\$MACHINE.ACC\\OldVal", 0,
                                   platform::kKeyRead, old.put()),
            platform::kErrorSuccess);
  std::vector<uint8_t> previous(password.size());
  uint32_t previousSize = static_cast<uint32_t>(previous.size());
  ASSERT_EQ(platform::RegQueryValueEx(old.get(), L"", nullptr, previous.data(), &previousSize),
            platform::kErrorSuccess);
  EXPECT_EQ(previous, password);
}

TEST_F(SecureStorageSimTest, TheLsaSeamKeepsItsOwnRules) {
  using namespace platform;
  LsaObjectAttributes attributes{};
  LsaHandle policy = nullptr;
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, kPolicyAllAccess, &policy), kStatusSuccess);
  auto name = Utf16("L$SEAM");
  LsaUnicodeString keyName{static_cast<uint16_t>(name.size()), static_cast<uint16_t>(name.size()), name.data()};
  auto value = Bytes("value");
  LsaUnicodeString data{5, 5, value.data()};
  ASSERT_EQ(LsaStorePrivateData(policy, &keyName, &data), kStatusSuccess);
  LsaUnicodeString* retrieved = nullptr;
  ASSERT_EQ(LsaRetrievePrivateData(policy, &keyName, &retrieved), kStatusSuccess);
  EXPECT_EQ(retrieved->Length, 5);
  EXPECT_EQ(retrieved->MaximumLength, 5);  // only the length is kept
  EXPECT_EQ(LsaFreeMemory(retrieved), kStatusSuccess);
  EXPECT_EQ(LsaFreeMemory(retrieved), kStatusInvalidParameter);  // freed already
  // A null value deletes the secret.
  ASSERT_EQ(LsaStorePrivateData(policy, &keyName, nullptr), kStatusSuccess);
  EXPECT_EQ(LsaRetrievePrivateData(policy, &keyName, &retrieved), kStatusObjectNameNotFound);
  EXPECT_EQ(LsaStorePrivateData(policy, &keyName, nullptr), kStatusObjectNameNotFound);
  // Names are one key; lengths must fit.
  auto slash = Utf16("L$A\\B");
  LsaUnicodeString slashName{static_cast<uint16_t>(slash.size()), static_cast<uint16_t>(slash.size()), slash.data()};
  EXPECT_EQ(LsaStorePrivateData(policy, &slashName, &data), kStatusObjectNameInvalid);
  LsaUnicodeString overlong{6, 5, value.data()};
  EXPECT_EQ(LsaStorePrivateData(policy, &keyName, &overlong), kStatusInvalidParameter);
  EXPECT_EQ(LsaClose(policy), kStatusSuccess);
  EXPECT_EQ(LsaClose(policy), kStatusInvalidHandle);
  EXPECT_EQ(LsaStorePrivateData(policy, &keyName, &data), kStatusInvalidHandle);

  // Reading needs POLICY_GET_PRIVATE_INFORMATION, creating a secret POLICY_CREATE_SECRET.
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, kPolicyGetPrivateInformation, &policy), kStatusSuccess);
  EXPECT_EQ(LsaStorePrivateData(policy, &keyName, &data), kStatusAccessDenied);
  EXPECT_EQ(LsaClose(policy), kStatusSuccess);
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, kPolicyCreateSecret, &policy), kStatusSuccess);
  EXPECT_EQ(LsaStorePrivateData(policy, &keyName, &data), kStatusSuccess);
  EXPECT_EQ(LsaRetrievePrivateData(policy, &keyName, &retrieved), kStatusAccessDenied);
  EXPECT_EQ(LsaClose(policy), kStatusSuccess);

  EXPECT_EQ(LsaNtStatusToWinError(kStatusObjectNameNotFound), kErrorFileNotFound);
  EXPECT_EQ(LsaNtStatusToWinError(kStatusAccessDenied), kErrorAccessDenied);
  EXPECT_EQ(LsaNtStatusToWinError(static_cast<NtStatus>(0xC0FFEE01u)), 317u);
}

TEST_F(SecureStorageSimTest, AllocationFailuresAreReportedByTheStepThatFailed) {
  ASSERT_TRUE(SecureRegistry::StorePrivateString(kPasswordSecret, kObfuscatedPassword));
  const auto password = Bytes("Pa55w0rd!");
  FaultPlan::Set("HeapAlloc", "1");  // the process heap refuses every block
  char* text = nullptr;
  uint32_t length = 0;
  EXPECT_FALSE(Encryption::obfuscate("clone-07", "uuid", password.data(), 9, &text, &length));
  uint8_t* plain = nullptr;
  EXPECT_FALSE(Encryption::unobfuscate("clone-07", "uuid", kObfuscatedPassword, &plain, &length));
  uint8_t* data = nullptr;
  EXPECT_EQ(SecureRegistry::RetrievePrivateData(kPasswordSecret, &data), 0u);
  EXPECT_EQ(SecureRegistry::RetrievePrivateString(kPasswordSecret, &text), 0u);
  EXPECT_FALSE(SecureRegistry::StorePrivateString(kChecksumSecret, "checksum"));
  FaultPlan::Set("HeapAlloc", std::nullopt);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::encrypt(): HeapAlloc Failed"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::obfuscate(): Failed encrpyting data"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, L"tamber::common::windows::Encryption::decode(): HeapAlloc Failed"), 1u);
  EXPECT_EQ(Count(LogLevel::Error,
                  L"tamber::common::windows::SecureRegistry::RetrievePrivateData(): HeapAlloc for data failed"),
            1u);
  EXPECT_EQ(Count(LogLevel::Error, L"SecureRegistry::RetrievePrivateString(): HeapAlloc for data failed"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, L"SecureRegistry::StorePrivateString(): HeapAlloc for data failed"), 1u);
  EXPECT_FALSE(ReadLsaSecret(kChecksumSecret).has_value());
}

}  // namespace
}  // namespace tamber::test
