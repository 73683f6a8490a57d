// The network step's decisions that need no adapter: which stack it works with, and the cases where it
// must leave the adapters alone. Runs against the real registry under Wine too.
#include <gtest/gtest.h>

#include <string>

#include "common/util/Utf16.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/windows/Network.h"
#include "framework/log/Log.h"
#include "platform/IpRenewal.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::windows::device::IpProtocolUsage;
using core::windows::Network;
using test::LogCapture;

const std::wstring kNetwork = L"tamber::core::windows::Network::";

class NetworkStepTest : public test::GuestTest {
 protected:
  void TearDown() override {
    // The usage lives outside the agent's own keys, which the Windows tier clears before each test.
    platform::HKey key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel", 0, platform::kKeyAllAccess,
                               &key) == platform::kErrorSuccess) {
      platform::RegDeleteValue(key, L"IpProtocolUsage");
      platform::RegCloseKey(key);
    }
    test::GuestTest::TearDown();
  }
  static void WriteUsage(const std::wstring& text) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel", 0,
                                       platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(text);
    EXPECT_EQ(platform::RegSetValueEx(key, L"IpProtocolUsage", platform::kRegSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              platform::kErrorSuccess);
    platform::RegCloseKey(key);
  }
  static size_t Count(const LogCapture& log, const std::wstring& fragment) {
    framework::log::FlushLog();
    size_t count = 0;
    for (const auto& entry : log.Entries()) {
      if (entry.text.find(fragment) != std::wstring::npos) ++count;
    }
    return count;
  }
};

TEST_F(NetworkStepTest, DualStackSettingFallsBackToOneStack) {
  WriteUsage(L"Dual6");
  LogCapture log;
  Network::Instance()->InitNetworkProtocol();
  EXPECT_EQ(Network::Instance()->GetIpProtocol(), IpProtocolUsage::IPv6);
  EXPECT_TRUE(Network::Instance()->IsIPv6());
  EXPECT_EQ(Count(log, kNetwork + L"InitNetworkProtocol(): Dual stack network not supported"), 1u);
  EXPECT_EQ(Count(log, kNetwork + L"InitNetworkProtocol(): Using network communication protocol: IPv6"), 1u);

  WriteUsage(L"Dual4");
  Network::Instance()->InitNetworkProtocol();
  EXPECT_EQ(Network::Instance()->GetIpProtocol(), IpProtocolUsage::IPv4);

  WriteUsage(L"Dual");
  Network::Instance()->InitNetworkProtocol();
  EXPECT_EQ(Network::Instance()->GetIpProtocol(), IpProtocolUsage::IPv4);
  EXPECT_EQ(Count(log, kNetwork + L"InitNetworkProtocol(): Found invalid IP protocol"), 1u);
}

TEST_F(NetworkStepTest, Ipv6DisabledMeansIpv4WithoutReadingTheUsage) {
  WriteUsage(L"Dual6");
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"IPv6Enabled", 0u, core::util::regtype::kGa), 0);
  LogCapture log;
  Network::Instance()->InitNetworkProtocol();
  EXPECT_EQ(Network::Instance()->GetIpProtocol(), IpProtocolUsage::IPv4);
  EXPECT_EQ(Count(log, L"IP Protocol Usage:"), 0u);
  EXPECT_EQ(Count(log, L"Dual stack network not supported"), 0u);
}

TEST_F(NetworkStepTest, StepsThatMustNotTouchTheAdapters) {
  auto* network = Network::Instance();
  LogCapture log;

  // No retries: no renewal at all.
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"RenewIPRetries", 0u, core::util::regtype::kService), 0);
  EXPECT_FALSE(network->RenewIP());
  EXPECT_EQ(Count(log, kNetwork + L"RenewIP(): Renew IP Max Retries: 0"), 1u);
  EXPECT_EQ(Count(log, L"Attempting to renew IP"), 0u);
  EXPECT_EQ(Count(log, L"GetAdapters"), 0u);

  // A clone working on IPv4 keeps its lease over the power cycle: no interface value is written.
  core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);
  network->InitNetworkProtocol();
  ASSERT_FALSE(network->IsIPv6());
  EXPECT_TRUE(network->ReleaseIpOnShutdown());
  EXPECT_EQ(Count(log, L"Setting IP release state"), 0u);
  EXPECT_EQ(Count(log, L"release on shutdown state"), 0u);

  // The MAC address is reset once per clone.
  core::util::CustomizationPersistentInfo::Instance()->Set(core::util::Persisted::CloneMacAddressReset, 1);
  EXPECT_TRUE(network->SetMacAddress());
  EXPECT_EQ(Count(log, kNetwork + L"SetMacAddress(): Skipped setting mac address"), 1u);
  EXPECT_EQ(Count(log, L"About To Reset Nic"), 0u);
}

TEST_F(NetworkStepTest, TunablesHaveTheirDefaults) {
  auto* network = Network::Instance();
  // Absent: the registry's "not found" status, and the default.
  uint32_t value = 0;
  EXPECT_EQ(network->GetRenewIPRetries(&value), static_cast<int32_t>(0x80070002));
  EXPECT_EQ(value, 5u);
  network->GetRenewIPDelayIT(&value);
  EXPECT_EQ(value, 15000u);
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"RenewIPDelayClone", 2500u, core::util::regtype::kService), 0);
  EXPECT_EQ(network->GetRenewIPDelayClone(&value), 0);
  EXPECT_EQ(value, 2500u);
}

// The renewal logs the system's text for a failed release or renewal; the words differ between systems,
// the shape does not.
TEST(SystemMessageText, IsALineOfTextOrNothing) {
  for (uint32_t code : {87u, 1228u, 121u}) {
    std::wstring text = platform::FormatSystemMessage(code);
    ASSERT_GT(text.size(), 2u) << code;
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << code;
  }
  EXPECT_EQ(platform::FormatSystemMessage(0x2FFFFFFF), L"");
}

}  // namespace
}  // namespace tamber
