// IP renewal against the simulated DHCP and ipconfig: the renewal primitives, the worker policies of
// RenewIp with their time-outs and restarts in machine time, the diagnostic sentence, and whole clone
// renewals configured the way the customization flows configure them.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/device/RenewIp.h"
#include "common/device/Util.h"
#include "common/util/Util.h"
#include "core/util/GuestInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/windows/Network.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/IpRenewal.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/network/SimIpRenewal.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::windows::device::IpProtocolUsage;
using common::windows::device::RenewIp;
using common::windows::device::RenewRequest;
using common::windows::device::Util;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::SimAdapter;
using test::LogCapture;

const std::wstring kRenewIp = L"tamber::common::windows::device::RenewIp::";
const std::wstring kUtil = L"tamber::common::windows::device::Util::";
constexpr uint32_t kAttemptMs = RenewIp::kRenewTimeoutMs;
constexpr uint32_t kDelayMs = RenewIp::kDefaultDelayMs;

// An up Ethernet adapter on a DHCPv4 network with a gateway and a DNS server; no address yet.
SimAdapter Dhcp4Adapter(const std::string& friendly, uint32_t index, uint8_t macTail) {
  SimAdapter adapter;
  adapter.name = "{0000000" + std::to_string(index) + "-2222-3333-4444-555555555555}";
  adapter.description = "Talvora Virtual Ethernet Adapter";
  adapter.friendlyName = friendly;
  adapter.physicalAddress = {0x02, 0x54, 0x56, 0x01, 0x02, macTail};
  adapter.index = index;
  adapter.gateways = {"10.0.0.1"};
  adapter.dnsServers = {"10.0.0.2"};
  adapter.dhcpServer = "10.0.0.1";
  adapter.leaseAddress = "10.0.0." + std::to_string(10 + index) + "/255.255.255.0";
  return adapter;
}

// The same on a DHCPv6 network only (IPv4 not bound), with its link-local address.
SimAdapter Dhcp6Adapter(const std::string& friendly, uint32_t index) {
  SimAdapter adapter = Dhcp4Adapter(friendly, index, static_cast<uint8_t>(index));
  adapter.index = 0;
  adapter.ipv6Index = index;
  adapter.ipv6Managed = true;
  adapter.gateways.clear();
  adapter.dnsServers = {"2001:db8::53"};
  adapter.ipv6 = {platform::sim::ParseAddress6("fe80::" + std::to_string(index) + "%" + std::to_string(index))};
  adapter.leaseAddress6 = "2001:db8::" + std::to_string(index);
  return adapter;
}

class RenewIpSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::RegisterSimIpconfig();  // another test may have cleared the tools
    platform::sim::SetTimeScale(1000);     // a 150 s attempt in 150 ms
  }
  void TearDown() override {
    // Let hung workers return before the machine goes.
    FaultPlan::Set("IpRenewAddress.hang", std::nullopt);
    FaultPlan::Set("ipconfig.hang", std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }

  static void SetAdapters(const std::vector<SimAdapter>& adapters) {
    platform::sim::SaveAdapters(Machine::Directory(), adapters);
  }
  static std::vector<SimAdapter> Adapters() { return platform::sim::LoadAdapters(Machine::Directory()); }
  static std::string Ipv4Of(size_t position) {
    auto adapters = Adapters();
    return adapters.at(position).ipv4.empty() ? std::string() : adapters.at(position).ipv4.front().address;
  }
  static bool HasIpv6(size_t position, const std::string& address) {
    const auto adapters = Adapters();
    for (const auto& ip : adapters.at(position).ipv6) {
      if (ip.address == address) return true;
    }
    return false;
  }

  static size_t Count(const LogCapture& log, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(LogLevel::Debug, fragment) + log.Count(LogLevel::Info, fragment) +
           log.Count(LogLevel::Error, fragment);
  }
  // Abandoned workers end on their own; the test waits for them so that none outlives its machine.
  static void WaitForCount(const LogCapture& log, const std::wstring& fragment, size_t count) {
    for (int i = 0; i < 5000 && Count(log, fragment) < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Count(log, fragment), count) << std::string(fragment.begin(), fragment.end());
  }
};

// ---- The renewal primitives ----------------------------------------------------------------------------

TEST_F(RenewIpSimTest, FailedIpv4RenewalCountsAsFailedOnlyWithAGateway) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.noAnswer = true;
  adapter.gateways.clear();
  SetAdapters({adapter});
  LogCapture log;
  Util util;
  {
    auto list = util.GetAdapters();
    RenewRequest request{IpProtocolUsage::IPv4, 1, list.get()};
    EXPECT_EQ(util.RenewIPAddress(&request), 0u);  // a worker's exit code 0: FAIL
  }
  EXPECT_EQ(Count(log, kUtil + L"RenewIPv4Address(): No Valid Gateway IP, Ignoging This Adapter"), 1u);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): Adapters: 1, Succeeded: 0, Failed: 0, Skipped: 1"), 1u);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): All Adapters Were Skipped"), 1u);
  EXPECT_EQ(Ipv4Of(0).rfind("169.254.", 0), 0u) << "no answer leaves an autoconfiguration address";

  adapter.gateways = {"10.0.0.1"};
  SetAdapters({adapter});
  {
    auto list = util.GetAdapters();
    RenewRequest request{IpProtocolUsage::IPv4, 1, list.get()};
    EXPECT_EQ(util.RenewIPAddress(&request), 0u);
  }
  EXPECT_EQ(Count(log, kUtil + L"RenewIPv4Address(): Found Valid Gateway IP, Marking This Adapter In Error"), 1u);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): No Adapters Succeeded"), 1u);
  EXPECT_EQ(
      Count(log,
            kUtil + L"RenewIPv4Address(): IPv4 Renew Failed (0x79), Error: The semaphore timeout period has expired."),
      2u);
}

TEST_F(RenewIpSimTest, ReleaseAndRenewOfAnIpv4LeaseGoThroughTheIpHelper) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.ipv4 = {{"10.0.0.99", "255.255.255.0"}};
  adapter.leaseAddress.clear();  // the server gives the same address back
  SetAdapters({adapter});
  LogCapture log;
  Util util;

  EXPECT_TRUE(util.ReleaseIPAddress(IpProtocolUsage::IPv4));
  EXPECT_EQ(Ipv4Of(0), "");
  EXPECT_EQ(Count(log, kUtil + L"ReleaseIPv4Address(): IPv4 Release Succeeded"), 1u);
  // Nothing left to give back still counts as released.
  EXPECT_TRUE(util.ReleaseIPAddress(IpProtocolUsage::IPv4));
  EXPECT_EQ(Count(log, kUtil + L"ReleaseIPv4Address(): Adapter Does Not Have An IPv4 Address Yet, Nothing To Release"),
            1u);

  EXPECT_TRUE(util.RenewIPAddressSync(IpProtocolUsage::IPv4, 0));
  EXPECT_EQ(Ipv4Of(0), "10.0.0.99");

  FaultPlan::Set("IpReleaseAddress", "31");
  EXPECT_FALSE(util.ReleaseIPAddress(IpProtocolUsage::IPv4));
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      kUtil +
          L"ReleaseIPv4Address(): IPv4 Release Failed (0x1F), Error: A device attached to the system is not functioning."));
}

TEST_F(RenewIpSimTest, Ipv6RenewalStopsAtTheExpectedAdapterCount) {
  SetAdapters({Dhcp6Adapter("Ethernet0", 11), Dhcp6Adapter("Ethernet1", 12), Dhcp6Adapter("Ethernet2", 13)});
  LogCapture log;
  Util util;

  EXPECT_TRUE(util.RenewIPAddressSync(IpProtocolUsage::IPv6, 0));  // 0 counts as 1
  EXPECT_TRUE(HasIpv6(0, "2001:db8::11"));
  EXPECT_FALSE(HasIpv6(1, "2001:db8::12"));
  EXPECT_EQ(Count(log, kUtil + L"RenewIPv6Address(): IPv6 Renew Succeeded"), 1u);

  EXPECT_TRUE(util.RenewIPAddressSync(IpProtocolUsage::IPv6, 2));
  EXPECT_TRUE(HasIpv6(1, "2001:db8::12"));
  EXPECT_FALSE(HasIpv6(2, "2001:db8::13"));
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): Adapters: 2, Succeeded: 2, Failed: 0, Skipped: 0"), 1u);
}

TEST_F(RenewIpSimTest, AFriendlyNameWithQuotesReachesIpconfigAsOneArgument) {
  // Were the name pasted between quotes as it stands, the command would split and name "Lab".
  SimAdapter tricky = Dhcp6Adapter("Lab \"A\" \\", 11);
  SimAdapter lab = Dhcp6Adapter("Lab", 12);
  lab.noAnswer6 = true;
  SetAdapters({tricky, lab});
  Util util;

  auto list = util.GetAdapters();
  ASSERT_TRUE(list);
  EXPECT_TRUE(util.RenewIPv6Address(list.get()));
  EXPECT_TRUE(HasIpv6(0, "2001:db8::11"));
  EXPECT_TRUE(util.ReleaseIPv6Address(list.get()));
  EXPECT_FALSE(HasIpv6(0, "2001:db8::11"));
}

TEST_F(RenewIpSimTest, IpconfigAnswersLikeTheRealToolForIpv6Leases) {
  SimAdapter lab = Dhcp6Adapter("Lab", 11);
  SimAdapter silent = Dhcp6Adapter("Silent", 12);
  silent.noAnswer6 = true;
  SetAdapters({lab, silent});
  std::string output;

  EXPECT_FALSE(common::util::Util::RunScript(L"ipconfig /renew6 \"Nope\"", output, false, platform::kInfinite));
  EXPECT_NE(output.find("The operation failed as no adapter is in the state permissible for this operation."),
            std::string::npos);
  EXPECT_TRUE(common::util::Util::RunScript(L"ipconfig /renew6 \"lab\"", output, false, platform::kInfinite));
  EXPECT_EQ(output.rfind("\r\nWindows IP Configuration\r\n", 0), 0u);
  EXPECT_NE(output.find("IPv6 Address. . . . . . . . . . . : 2001:db8::11"), std::string::npos) << output;
  EXPECT_FALSE(common::util::Util::RunScript(L"ipconfig /renew6 Silent", output, false, platform::kInfinite));
  EXPECT_NE(output.find("An error occurred while renewing interface Silent : "), std::string::npos) << output;
  EXPECT_FALSE(common::util::Util::RunScript(L"ipconfig /release6 Lab extra", output, false, platform::kInfinite));
  EXPECT_NE(output.find("Error: unrecognized or incomplete command line."), std::string::npos);
}

// ---- RenewIp: start and the wait policies -----------------------------------------------------------------

TEST_F(RenewIpSimTest, SingleStackStartWithAUsableAddressStartsNoWorker) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.ipv4 = {{"10.0.0.50", "255.255.255.0"}};
  SetAdapters({adapter});
  LogCapture log;

  RenewIp renew;
  renew.start(IpProtocolUsage::IPv4);
  EXPECT_EQ(renew.hasIpAddress(), 1u);
  EXPECT_EQ(renew.tries(), 0u);
  EXPECT_TRUE(renew.waitForFirstIp());
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): Attempting to renew IP for adapter:"), 0u);
  EXPECT_EQ(Ipv4Of(0), "10.0.0.50") << "nothing was released";
}

TEST_F(RenewIpSimTest, HungWorkersAreAbandonedAndTheLastFailureComesAfterFiveAttempts) {
  SetAdapters({Dhcp4Adapter("Ethernet0", 7, 1)});
  FaultPlan::Set("IpRenewAddress.hang", "1");
  LogCapture log;
  uint32_t elapsed = 0;
  {
    RenewIp renew;
    renew.start(IpProtocolUsage::IPv4);
    const uint32_t before = platform::GetTickCount();
    EXPECT_FALSE(renew.waitForFirstIp());
    elapsed = platform::GetTickCount() - before;
    EXPECT_EQ(renew.tries(), 5u);
  }
  // Five attempts of 150 s and four pauses of 15 s.
  EXPECT_GE(elapsed, 5 * kAttemptMs + 4 * kDelayMs);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): RenewIP time-out elapsed"), 5u);
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(Count(log, kRenewIp + L"retry(): Failed renewing IP address. Iteration: " + std::to_wstring(i) +
                             L", Retrying..."),
              1u);
  }
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): Renew IP failed. Iteration: 5"), 1u);
  // Four restarts and the end of the object each leave one worker behind.
  EXPECT_EQ(Count(log, kRenewIp + L"terminate(): Terminating IPv4 async renew"), 5u);

  // The abandoned workers still own their adapter list: released now, they finish reading it safely.
  FaultPlan::Set("IpRenewAddress.hang", std::nullopt);
  WaitForCount(log, kUtil + L"RenewIPAddress(): Adapters: 1, ", 5);
}

// A worker given up at its time-out finishes the call it hangs in, and then releases and renews nothing
// more: the other adapters keep the addresses they hold.
TEST_F(RenewIpSimTest, AnAbandonedWorkerTouchesNoFurtherAdapter) {
  SimAdapter second = Dhcp4Adapter("Ethernet1", 8, 2), third = Dhcp4Adapter("Ethernet2", 9, 3);
  second.ipv4 = {{"10.0.0.18", "255.255.255.0"}};
  third.ipv4 = {{"10.0.0.19", "255.255.255.0"}};
  SetAdapters({Dhcp4Adapter("Ethernet0", 7, 1), second, third});
  // Three adapters expected: a worker left alone would go on to the second and third.
  ASSERT_TRUE(
      platform::guestrpc::SimHypervisor(Machine::Directory() / "hypervisor").SetVariable("snapshot.nic.count", "3"));
  FaultPlan::Set("IpRenewAddress.hang", "1");
  LogCapture log;
  {
    RenewIp renew;
    renew.setTries(1, kDelayMs);
    renew.startAsync(IpProtocolUsage::IPv4);
    EXPECT_FALSE(renew.waitForFirstIp());
  }
  EXPECT_EQ(Count(log, kRenewIp + L"terminate(): Terminating IPv4 async renew"), 1u);
  FaultPlan::Set("IpRenewAddress.hang", std::nullopt);
  WaitForCount(log, kUtil + L"RenewIPAddress(): Adapters: 1, ", 1);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPAddress(): Renewal Abandoned, Skipping The Remaining Adapters"), 1u);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPv4Address(): Index: 8"), 0u);
  EXPECT_EQ(Count(log, kUtil + L"RenewIPv4Address(): Index: 9"), 0u);
  EXPECT_EQ(Ipv4Of(1), "10.0.0.18");
  EXPECT_EQ(Ipv4Of(2), "10.0.0.19");
  EXPECT_EQ(Adapters().at(1).extra.count("releasedLease"), 0u) << "released after the abandonment";
}

// A negative "snapshot.nic.count" is copied as an unsigned count (0xFFFFFFFF), as both renewal paths
// copy it: a single-stack renewal then stops at no adapter count and renews every adapter, never just one.
TEST_F(RenewIpSimTest, NegativeAdapterCountRenewsEveryAdapter) {
  SetAdapters({Dhcp4Adapter("Ethernet0", 7, 1), Dhcp4Adapter("Ethernet1", 8, 2)});
  ASSERT_TRUE(
      platform::guestrpc::SimHypervisor(Machine::Directory() / "hypervisor").SetVariable("snapshot.nic.count", "-1"));
  LogCapture log;
  {
    RenewIp renew;
    renew.setTries(1, kDelayMs);
    renew.startAsync(IpProtocolUsage::IPv4);
    EXPECT_TRUE(renew.waitForFirstIp());
  }
  WaitForCount(log, kUtil + L"RenewIPAddress(): Adapters: 2, Succeeded: 2", 1);
  EXPECT_EQ(Ipv4Of(1), "10.0.0.18");
}

TEST_F(RenewIpSimTest, Dual4FirstAddressEndsTheWaitWithIpv6LeftPending) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.renewDelayMs = 19000;  // IPv4 within 20 s
  adapter.ipv6Index = 7;
  adapter.ipv6Managed = true;
  adapter.ipv6 = {platform::sim::ParseAddress6("fe80::7%7")};
  adapter.leaseAddress6 = "2001:db8::7";
  SetAdapters({adapter});
  FaultPlan::Set("ipconfig.hang", "1");
  LogCapture log;

  RenewIp renew;
  renew.start(IpProtocolUsage::Dual4);
  const uint32_t before = platform::GetTickCount();
  EXPECT_TRUE(renew.waitForFirstIp());
  EXPECT_LT(platform::GetTickCount() - before, kAttemptMs) << "no wait for the hung IPv6 worker";
  EXPECT_EQ(Count(log, kRenewIp + L"waitForDualStackFirstIp(): IPv4 renew completed. Status: SUCCESS"), 1u);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForDualStackFirstIp(): Renew IP succeeded. Iteration: 1"), 1u);
  EXPECT_EQ(Count(log, L"IPv6 renew completed"), 0u);
  EXPECT_EQ(Ipv4Of(0), "10.0.0.17");

  // The IPv6 worker is still pending; once ipconfig answers, its result is collected.
  FaultPlan::Set("ipconfig.hang", std::nullopt);
  EXPECT_TRUE(renew.waitForPendingIp());
  EXPECT_EQ(Count(log, kRenewIp + L"waitForDualStackPendingIp(): Pending renew IP completed. Status: SUCCESS"), 1u);
  EXPECT_TRUE(HasIpv6(0, "2001:db8::7"));
}

TEST_F(RenewIpSimTest, DualStackWaitForAllNeedsBothWorkersWithinOneAttempt) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.ipv6Index = 7;
  adapter.ipv6Managed = true;
  adapter.noAnswer6 = true;
  adapter.ipv6 = {platform::sim::ParseAddress6("fe80::7%7")};
  SetAdapters({adapter});
  LogCapture log;

  RenewIp renew;
  renew.setTries(1, 0);
  renew.start(IpProtocolUsage::Dual6);
  EXPECT_TRUE(renew.waitForAllIp());  // one stack renewed and an address confirmed is enough
  EXPECT_EQ(Count(log, kRenewIp + L"waitForDualStack(): IPv4 renew completed. Status: SUCCESS"), 1u);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForDualStack(): IPv6 renew completed. Status: FAIL"), 1u);
}

// ---- Diagnostics --------------------------------------------------------------------------------------------

TEST_F(RenewIpSimTest, DiagnosticNamesTheAutoconfigurationAddress) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.ipv4 = {{"169.254.7.7", "255.255.0.0"}};
  SetAdapters({adapter});
  FaultPlan::Set("IpRenewAddress", "121");  // the server stays silent and the address stays as it is

  RenewIp renew;
  renew.setTries(1, 0);
  renew.start(IpProtocolUsage::IPv4);
  EXPECT_FALSE(renew.waitForFirstIp());
  std::string text;
  renew.getErrorDiagnostics(text, "Failed to obtain valid IP address");
  EXPECT_EQ(text, "Failed to obtain valid IP address. Address assigned (169.254.7.7). Check DHCP server connectivity.");

  LogCapture log;
  renew.getErrorDiagnostics(text, "Some other failure");
  EXPECT_EQ(text, "Some other failure");
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(LogLevel::Debug,
                           kRenewIp + L"getErrorDiagnostics(): Could not diagnose error for Some other failure"));
}

TEST_F(RenewIpSimTest, DiagnosticWithoutAddressesLooksAtTheAdapters) {
  SimAdapter down = Dhcp4Adapter("Ethernet0", 7, 1);
  down.operStatus = 2;
  SetAdapters({down});
  RenewIp renew;
  std::string text;
  renew.getErrorDiagnostics(text, "Failed to obtain valid IP address");
  EXPECT_EQ(text, "Failed to obtain valid IP address. Some adapters were disconnected.");

  SimAdapter loopback = Dhcp4Adapter("Loopback", 1, 2);
  loopback.type = 24;
  SetAdapters({loopback});
  RenewIp fresh;
  fresh.getErrorDiagnostics(text, "Failed to obtain valid IP address");
  EXPECT_EQ(text, "Failed to obtain valid IP address. No valid network adapters found on vm.");
}

TEST_F(RenewIpSimTest, DomainJoinDiagnosticNamesTheDnsServersSeen) {
  SimAdapter adapter = Dhcp4Adapter("Ethernet0", 7, 1);
  adapter.ipv4 = {{"10.0.0.50", "255.255.255.0"}};
  adapter.dnsServers = {"10.0.0.2", "10.0.0.3"};
  SetAdapters({adapter});
  RenewIp renew;
  renew.setTries(1, 0);
  renew.startAsync(IpProtocolUsage::IPv4);
  ASSERT_TRUE(renew.waitForFirstIp());
  std::string text;
  renew.getErrorDiagnostics(text, "Domain join failed");
  EXPECT_EQ(text, "Domain join failed. Verify DNS (10.0.0.2, 10.0.0.3) on master vm.");
}

// ---- Whole renewals of a clone, set up as the flows set them up -----------------------------------------

class CloneRenewalSimTest : public RenewIpSimTest {
 protected:
  void SetUp() override {
    RenewIpSimTest::SetUp();
    core::util::MachineType::Instance()->SetMachineType(core::util::machine::kClone);
    SetAdapters({Dhcp4Adapter("Ethernet0", 7, 1)});
  }
  // What the clone flow does: the retries and the clone's delay from the network step.
  bool RenewLikeTheCloneFlow(RenewIp& renew) {
    auto* network = core::windows::Network::Instance();
    network->InitNetworkProtocol();
    uint32_t retries = 0, delay = 0;
    network->GetRenewIPRetries(&retries);
    network->GetRenewIPDelayClone(&delay);
    renew.setTries(retries, delay);
    renew.start(network->GetIpProtocol());
    return renew.waitForFirstIp();
  }
};

TEST_F(CloneRenewalSimTest, SlowDhcpGivesTheCloneAnAddressWithinTheRetries) {
  // The first two answers come after the attempt's time-out, the third in time.
  FaultPlan::Set("dhcp.answerDelayMs", "200000,200000,20000");
  LogCapture log;
  {
    RenewIp renew;
    EXPECT_TRUE(RenewLikeTheCloneFlow(renew));
    EXPECT_EQ(renew.tries(), 3u);
  }
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): RenewIP time-out elapsed"), 2u);
  EXPECT_EQ(Count(log, kRenewIp + L"terminate(): Terminating IPv4 async renew"), 2u);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): IPv4 renew completed. Status: SUCCESS"), 1u);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): Renew IP succeeded. Iteration: 3"), 1u);
  EXPECT_EQ(Ipv4Of(0), "10.0.0.17");
  WaitForCount(log, kUtil + L"RenewIPAddress(): Adapters: 1, ", 3);
}

TEST_F(CloneRenewalSimTest, SilentDhcpFailsAfterEveryAttemptWithTheDiagnostic) {
  FaultPlan::Set("dhcp.noAnswer", "1");
  FaultPlan::Set("dhcp.answerDelayMs", "10000");  // the client gives up after 10 s
  LogCapture log;
  RenewIp renew;
  const uint32_t before = platform::GetTickCount();
  EXPECT_FALSE(RenewLikeTheCloneFlow(renew));
  EXPECT_GE(platform::GetTickCount() - before, 5 * 11000u + 4 * kDelayMs);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): IPv4 renew completed. Status: FAIL"), 5u);
  EXPECT_EQ(Count(log, kRenewIp + L"waitForSingleStack(): Renew IP failed. Iteration: 5"), 1u);
  EXPECT_EQ(Count(log, L"terminate()"), 0u) << "workers that end in time are never abandoned";

  const std::string apipa = Ipv4Of(0);
  ASSERT_EQ(apipa.rfind("169.254.", 0), 0u);
  std::string text;
  renew.getErrorDiagnostics(text, "Failed to obtain valid IP address");
  EXPECT_EQ(text,
            "Failed to obtain valid IP address. Address assigned (" + apipa + "). Check DHCP server connectivity.");
}

TEST_F(CloneRenewalSimTest, SynchronousRenewalRetriesWithTheCloneDelay) {
  ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"RenewIPDelayClone", 3000u, core::util::regtype::kService), 0);
  FaultPlan::Set("dhcp.noAnswer", "1");
  LogCapture log;
  auto* network = core::windows::Network::Instance();
  network->InitNetworkProtocol();
  const uint32_t before = platform::GetTickCount();
  EXPECT_FALSE(network->RenewIP());
  // Five attempts (1 s between release and renewal each) and four pauses of the clone's 3 s.
  EXPECT_GE(platform::GetTickCount() - before, 5 * 1000u + 4 * 3000u);
  EXPECT_EQ(Count(log, L"tamber::core::windows::Network::RenewIP(): Renew IP Delay: 3000ms"), 1u);
  EXPECT_EQ(Count(log, L"tamber::core::windows::Network::RenewIP(): Failed Renewing IP Address: Iteration: 5"), 1u);

  FaultPlan::Set("dhcp.noAnswer", std::nullopt);
  EXPECT_TRUE(network->RenewIP());
  EXPECT_EQ(Count(log, L"tamber::core::windows::Network::RenewIP(): Renewed IP Address: Iteration: 1"), 1u);
  EXPECT_EQ(Count(log, L"tamber::core::windows::Network::RenewIP(): LogIpAddresses Succeeded"), 1u);
}

TEST_F(CloneRenewalSimTest, ReleaseOnShutdownIsWrittenOnTheTemplateOnly) {
  auto* network = core::windows::Network::Instance();
  network->InitNetworkProtocol();
  auto readValue = [](uint32_t* value) {
    platform::HKey key = nullptr;
    std::wstring path =
        L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\{00000007-2222-3333-4444-555555555555}";
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, &key) != 0)
      return false;
    uint32_t type = 0, size = sizeof(*value);
    bool found =
        platform::RegQueryValueEx(key, L"ReleaseOnShutdown", &type, reinterpret_cast<uint8_t*>(value), &size) == 0;
    platform::RegCloseKey(key);
    return found;
  };
  uint32_t value = 0;
  EXPECT_TRUE(network->ReleaseIpOnShutdown());  // a clone on IPv4
  EXPECT_FALSE(readValue(&value));

  core::util::MachineType::Instance()->SetMachineType(core::util::machine::kInternalTemplate);
  EXPECT_TRUE(network->ReleaseIpOnShutdown());
  ASSERT_TRUE(readValue(&value));
  EXPECT_EQ(value, 1u);
}

}  // namespace
}  // namespace tamber
