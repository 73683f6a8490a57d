// The simulated domain: a directory outside the machines that several machines attach to, its locator
// answers through the directory seam, its fault plan entries, the computer accounts, the simulated nltest,
// and DomainServices and Netlogon working against all of it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "common/util/DomainServices.h"
#include "common/util/Utf16.h"
#include "common/windows/DirectoryHandles.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/Guest.h"
#include "core/windows/Netlogon.h"
#include "framework/log/Log.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "platform/Directory.h"
#include "platform/Registry.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/tools/SimTools.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"
#include "support/sim/ToolRun.h"

namespace tamber {
namespace {

namespace fs = std::filesystem;
using common::util::DomainServices;
using common::windows::UniqueDcEnumeration;
using common::windows::UniqueNetApiBuffer;
using core::util::Registry;
using core::util::System;
using core::windows::Netlogon;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::SimDomain;
using test::LogCapture;
using test::RunTool;
namespace regtype = core::util::regtype;

const std::wstring kServices = L"tamber::common::util::DomainServices::";

// Test machines live in their own temporary folder, with the domain beside them.
class DomainSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // Completing an enumeration is a trace message.
    test::EnableTraceLogging();
    platform::sim::RegisterBuiltinTools();
    platform::sim::SetTimeScale(1000);
    static std::atomic<int> counter{0};
    root_ =
        fs::temp_directory_path() / ("velocyn-domain-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
    domainDir_ = root_ / "corp";
    ASSERT_EQ(SimDomain::Create(
                  domainDir_, "corp.example", {"Site-A", "Site-B", "Site-C"},
                  {{"dc1.corp.example", "Site-A"}, {"dc2.corp.example", "Site-A"}, {"dc3.corp.example", "Site-B"}}),
              "");
  }
  void TearDown() override {
    framework::log::FlushLog();
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Attaches the booted machine to the domain and boots it again, so the boot sees its membership.
  void AttachAndReboot(const std::string& site = "") {
    fs::path machine = Machine::Directory();
    ASSERT_EQ(platform::sim::AttachToDomain(machine, domainDir_, site), "");
    Reboot();
  }
  static void Reboot() {
    fs::path machine = Machine::Directory();
    framework::log::ResetLogForTest();
    Machine::Shutdown();
    core::util::ResetSingletonsForTest();
    Machine::Boot(machine);
    framework::log::ResetLogForTest();
  }
  static void SetComputerName(const std::wstring& name) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), platform::sim::kComputerNameKeyPath, 0,
                                       platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(name);
    EXPECT_EQ(platform::RegSetValueEx(key, L"ComputerName", platform::kRegSz, bytes.data(),
                                      static_cast<uint32_t>(bytes.size())),
              platform::kErrorSuccess);
    platform::RegCloseKey(key);
  }
  static void StartNetlogon() { ASSERT_EQ(System::Instance()->ControlSvc(L"Netlogon", System::kControlStart), 0); }
  static std::wstring DbFlag() {
    std::wstring value;
    Registry::Instance()->GetValue(L"DbFlag", &value, regtype::kNetlogonParameters);
    return value;
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }

  fs::path root_;
  fs::path domainDir_;
};

// ---- the locator through the seam ----------------------------------------------------------------

TEST_F(DomainSimTest, NotAttachedMachineFindsNoDomain) {
  UniqueNetApiBuffer<platform::DomainControllerInfoW> info;
  EXPECT_EQ(platform::DsGetDcNameW(nullptr, L"corp.example", nullptr, nullptr, platform::kDsReturnDnsName, info.put()),
            platform::kErrorNoSuchDomain);
  EXPECT_FALSE(info);
  UniqueNetApiBuffer<wchar_t> site;
  EXPECT_EQ(platform::DsGetSiteNameW(nullptr, site.put()), platform::kErrorNoSiteName);
  UniqueDcEnumeration enumeration;
  EXPECT_EQ(platform::DsGetDcOpenW(L"corp.example", platform::kDsOnlyDoSiteName, nullptr, nullptr, nullptr, 0,
                                   enumeration.put()),
            platform::kErrorNoSuchDomain);

  LogCapture log;
  DomainServices services;
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"");
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetCurrentDC(): DsGetDcNameW Failed. Error: 0x54B"), 1u);
  EXPECT_EQ(services.GetCurrentSite(), L"");
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetCurrentSite(): Failed to get site name. Error: 0x77F"), 1u);
}

TEST_F(DomainSimTest, ControllerNameComesWithTwoBackslashesAndIsReportedWithout) {
  AttachAndReboot();
  UniqueNetApiBuffer<platform::DomainControllerInfoW> info;
  ASSERT_EQ(platform::DsGetDcNameW(nullptr, L"CORP.EXAMPLE", nullptr, nullptr, platform::kDsReturnDnsName, info.put()),
            0u);
  EXPECT_EQ(std::wstring(info.get()->domainControllerName), L"\\\\dc1.corp.example");
  EXPECT_EQ(std::wstring(info.get()->domainName), L"corp.example");
  EXPECT_EQ(std::wstring(info.get()->dcSiteName), L"Site-A");
  EXPECT_EQ(std::wstring(info.get()->clientSiteName), L"Site-A");
  EXPECT_EQ(info.get()->flags & (platform::kDsPdcFlag | platform::kDsClosestFlag),
            platform::kDsPdcFlag | platform::kDsClosestFlag);
  UniqueNetApiBuffer<platform::DomainControllerInfoW> flat;
  ASSERT_EQ(platform::DsGetDcNameW(nullptr, L"CORP", nullptr, nullptr, platform::kDsReturnFlatName, flat.put()), 0u);
  EXPECT_EQ(std::wstring(flat.get()->domainControllerName), L"\\\\DC1");
  EXPECT_EQ(std::wstring(flat.get()->domainName), L"CORP");
  UniqueNetApiBuffer<platform::DomainControllerInfoW> other;
  EXPECT_EQ(platform::DsGetDcNameW(nullptr, L"other.example", nullptr, nullptr, 0, other.put()),
            platform::kErrorNoSuchDomain);

  LogCapture log;
  DomainServices services;
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc1.corp.example");
  EXPECT_EQ(Count(log, LogLevel::Debug, kServices + L"GetCurrentDC(): Current DC Name: dc1.corp.example"), 1u);
}

TEST_F(DomainSimTest, TwoMachinesOfOneDomainSeeTheSameControllersAndAccounts) {
  fs::path first = Machine::Directory();
  fs::path second = root_ / "second";
  Machine::Create(second);
  ASSERT_EQ(platform::sim::AttachToDomain(first, domainDir_), "");
  ASSERT_EQ(platform::sim::AttachToDomain(second, domainDir_), "");
  const std::unordered_set<std::wstring> siteA = {L"corp.example\\dc1.corp.example", L"corp.example\\dc2.corp.example"};
  const uint8_t password[] = {'s', 'e', 'c', 'r', 'e', 't', 0, 0xFF};

  Reboot();
  {
    DomainServices services;
    EXPECT_EQ(services.GetDCsInCurrentSite(L"corp.example"), siteA);
    EXPECT_TRUE(services.IsDcListComplete());
    EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc1.corp.example");
    auto view = platform::sim::BootedMachineDomain();
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->domain.SetAccountPassword("clone-01", password, sizeof password));
  }
  framework::log::ResetLogForTest();
  Machine::Shutdown();
  core::util::ResetSingletonsForTest();
  Machine::Boot(second);
  framework::log::ResetLogForTest();
  {
    DomainServices services;
    EXPECT_EQ(services.GetDCsInCurrentSite(L"corp.example"), siteA);
    EXPECT_EQ(services.GetCurrentSite(), L"Site-A");
    auto view = platform::sim::BootedMachineDomain();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->domain.Accounts(), std::vector<std::string>{"CLONE-01"});
    auto stored = view->domain.AccountPassword("Clone-01");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->Equals(password, sizeof password)) << "the bytes as they were set, nulls and all";
  }
  framework::log::ResetLogForTest();
  Machine::Shutdown();
  core::util::ResetSingletonsForTest();
  Machine::Boot(first);
}

TEST_F(DomainSimTest, AMachineInASiteWithoutControllersUsesAnotherSitesController) {
  AttachAndReboot("site-c");
  DomainServices services;
  EXPECT_EQ(services.GetCurrentSite(), L"Site-C") << "the site as the domain spells it";
  EXPECT_TRUE(services.GetDCsInCurrentSite(L"corp.example").empty());
  EXPECT_TRUE(services.IsDcListComplete()) << "an empty site is a complete answer";
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc1.corp.example");
  UniqueNetApiBuffer<platform::DomainControllerInfoW> info;
  ASSERT_EQ(platform::DsGetDcNameW(nullptr, nullptr, nullptr, nullptr, 0, info.put()), 0u);
  EXPECT_EQ(info.get()->flags & platform::kDsClosestFlag, 0u) << "not the machine's own site";
  UniqueNetApiBuffer<platform::DomainControllerInfoW> inSiteB;
  ASSERT_EQ(platform::DsGetDcNameW(nullptr, nullptr, nullptr, L"Site-B", 0, inSiteB.put()), 0u);
  EXPECT_EQ(std::wstring(inSiteB.get()->domainControllerName), L"\\\\dc3.corp.example");
}

TEST_F(DomainSimTest, EnumerationCanMarkTheEndOfTheSiteRecords) {
  AttachAndReboot();
  UniqueDcEnumeration enumeration;
  ASSERT_EQ(platform::DsGetDcOpenW(L"corp.example", platform::kDsNotifyAfterSiteRecords, nullptr, nullptr, nullptr, 0,
                                   enumeration.put()),
            0u);
  std::vector<std::wstring> seen;
  uint32_t result;
  for (;;) {
    UniqueNetApiBuffer<wchar_t> host;
    uint32_t addresses = 7;
    result = platform::DsGetDcNextW(enumeration.get(), &addresses, nullptr, host.put());
    if (result == platform::kErrorFilemarkDetected) {
      seen.push_back(L"|");
      continue;
    }
    if (result != 0) break;
    EXPECT_EQ(addresses, 0u);
    seen.push_back(host.get());
  }
  EXPECT_EQ(result, platform::kErrorNoMoreItems);
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"dc1.corp.example", L"dc2.corp.example", L"|", L"dc3.corp.example"}));
  EXPECT_EQ(platform::DsGetDcNextW(enumeration.get(), nullptr, nullptr, nullptr), platform::kErrorNoMoreItems)
      << "the end stays the end";
  platform::Handle closed = enumeration.release();
  platform::DsGetDcCloseW(closed);
  EXPECT_EQ(platform::DsGetDcNextW(closed, nullptr, nullptr, nullptr), platform::kErrorInvalidHandle);
}

// ---- fault plan ----------------------------------------------------------------------------------

TEST_F(DomainSimTest, DiscoveryFailsAsOftenAsThePlanSays) {
  AttachAndReboot();
  FaultPlan::Set("DsGetDcNameFails", "2:1311");
  LogCapture log;
  DomainServices services;
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"");
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"");
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc1.corp.example");
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetCurrentDC(): DsGetDcNameW Failed. Error: 0x51F"), 2u);
  EXPECT_FALSE(FaultPlan::IsSet("DsGetDcNameFails")) << "used up";
  FaultPlan::Set("DsGetDcNameFails", "1");
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"");
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetCurrentDC(): DsGetDcNameW Failed. Error: 0x54B"), 1u)
      << "ERROR_NO_SUCH_DOMAIN unless the plan names another error";
}

TEST_F(DomainSimTest, EnumerationEndingWithTheSiteRecordsCodeIsComplete) {
  AttachAndReboot();
  FaultPlan::Set("DsGetDcNextEnd", "1101");
  LogCapture log;
  DomainServices services;
  EXPECT_EQ(services.GetDCsInCurrentSite(L"corp.example").size(), 2u);
  EXPECT_TRUE(services.IsDcListComplete());
  EXPECT_EQ(Count(log, LogLevel::Trace, kServices + L"GetDCsInCurrentSite(): Completed Enumerating DCs"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetDCsInCurrentSite(): Failed to enumerate DC."), 0u);
}

TEST_F(DomainSimTest, EnumerationEndingWithAnyOtherCodeIsAFailureThatKeepsWhatCame) {
  AttachAndReboot();
  FaultPlan::Set("DsGetDcNextEnd", "0x6BA");
  LogCapture log;
  DomainServices services;
  auto listed = services.GetDCsInCurrentSite(L"corp.example");
  EXPECT_EQ(listed.size(), 2u);
  EXPECT_FALSE(services.IsDcListComplete());
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetDCsInCurrentSite(): Failed to enumerate DC. Error: 0x6BA"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Trace, kServices + L"GetDCsInCurrentSite(): Completed Enumerating DCs"), 0u);
  EXPECT_TRUE(services.IsDcInCurrentSite(L"CORP.EXAMPLE\\DC2.corp.example")) << "DNS names compare without case";
  EXPECT_FALSE(services.IsDcInCurrentSite(L"corp.example\\dc3.corp.example")) << "another site's controller";
}

TEST_F(DomainSimTest, SiteAndEnumerationFaults) {
  AttachAndReboot();
  FaultPlan::Set("DsGetSiteNameFails", "1");
  FaultPlan::Set("DsGetDcOpenFails", "1:1722");
  LogCapture log;
  DomainServices services;
  EXPECT_TRUE(services.GetDCsInCurrentSite(L"corp.example").empty());
  EXPECT_EQ(Count(log, LogLevel::Error, kServices + L"GetCurrentSite(): Failed to get site name. Error: 0x77F"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Error,
                  kServices + L"GetDCsInCurrentSite(): Failed to get DC Enumeration handle. Error: 0x6BA"),
            1u);
  EXPECT_EQ(services.GetDCsInCurrentSite(L"corp.example").size(), 2u) << "both faults are used up";
  EXPECT_EQ(services.GetCurrentSite(), L"Site-A");
}

// ---- the secure channel pinned by nltest ---------------------------------------------------------

TEST_F(DomainSimTest, ResetPinsTheControllerUntilTheNextBoot) {
  AttachAndReboot();
  SetComputerName(L"CLONE-07");
  StartNetlogon();
  LogCapture log;
  DomainServices services;
  EXPECT_TRUE(services.SetPreferredDc(L"clone-07", L"corp.example", L"corp.example\\dc3.corp.example"));
  EXPECT_EQ(Count(log, LogLevel::Debug,
                  kServices + L"SetPreferredDc(): Set Preferred DC: "
                              L"Nltest /Server:clone-07.corp.example /SC_RESET:corp.example\\dc3.corp.example"),
            1u);
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc3.corp.example") << "pinned, though in another site";
  EXPECT_EQ(platform::sim::LoadMembership(Machine::Directory())->pinnedDc, "dc3.corp.example");

  EXPECT_FALSE(services.SetPreferredDc(L"clone-07", L"corp.example", L"corp.example\\dc9.corp.example"));
  EXPECT_EQ(Count(log, LogLevel::Warn, kServices + L"SetPreferredDc(): Failed Setting Preferred DC: "), 1u);
  EXPECT_EQ(services.GetCurrentDC(L"corp.example"), L"dc3.corp.example") << "a failed reset changes nothing";

  Reboot();
  EXPECT_EQ(DomainServices().GetCurrentDC(L"corp.example"), L"dc1.corp.example") << "Netlogon started afresh";
}

TEST_F(DomainSimTest, NltestTextsAndExitCodes) {
  AttachAndReboot();
  SetComputerName(L"CLONE-07");
  auto run = RunTool(L"nltest /SC_RESET:corp.example\\dc2");
  EXPECT_NE(run.exitCode, 0u);
  EXPECT_EQ(run.output, "I_NetLogonControl failed: Status = 1717 0x6b5 RPC_S_UNKNOWN_IF\r\n") << "Netlogon stopped";
  StartNetlogon();
  run = RunTool(L"C:\\Windows\\System32\\NLTEST.EXE /server:CLONE-07 /sc_reset:CORP\\DC2");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output,
            "Flags: 30 HAS_IP  HAS_TIMESERV\r\nTrusted DC Name \\\\dc2.corp.example\r\n"
            "Trusted DC Connection Status Status = 0 0x0 NERR_Success\r\nThe command completed successfully\r\n");
  run = RunTool(L"nltest /Server:other-pc.corp.example /SC_RESET:corp.example\\dc1");
  EXPECT_NE(run.exitCode, 0u);
  EXPECT_EQ(run.output, "I_NetLogonControl failed: Status = 1722 0x6ba RPC_S_SERVER_UNAVAILABLE\r\n");
  run = RunTool(L"nltest /Server:clone-07.other.example /SC_RESET:corp.example\\dc1");
  EXPECT_EQ(run.output, "I_NetLogonControl failed: Status = 1722 0x6ba RPC_S_SERVER_UNAVAILABLE\r\n");
  run = RunTool(L"nltest /SC_RESET:other.example\\dc1");
  EXPECT_NE(run.exitCode, 0u);
  EXPECT_EQ(run.output, "I_NetLogonControl failed: Status = 1355 0x54b ERROR_NO_SUCH_DOMAIN\r\n");
  run = RunTool(L"nltest /SC_RESET:corp.example\\dc9");
  EXPECT_NE(run.exitCode, 0u);
  EXPECT_EQ(run.output, "I_NetLogonControl failed: Status = 1311 0x51f ERROR_NO_LOGON_SERVERS\r\n");
  run = RunTool(L"nltest /SC_RESET:corp.example");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.output.find("Trusted DC Name \\\\dc1.corp.example\r\n"), std::string::npos) << "rediscovered";
  for (const wchar_t* unknown :
       {L"nltest", L"nltest /SC_QUERY:corp.example", L"nltest /dsgetdc:corp.example", L"nltest /DBFlag:",
        L"nltest /DBFlag:xyz", L"nltest /DBFlag:1 /SC_RESET:corp.example", L"nltest dbflag:1"}) {
    run = RunTool(unknown);
    EXPECT_NE(run.exitCode, 0u) << ::testing::PrintToString(std::wstring(unknown));
    EXPECT_EQ(run.output.rfind("Usage: nltest [/OPTIONS]\r\n", 0), 0u)
        << ::testing::PrintToString(std::wstring(unknown));
  }
}

TEST_F(DomainSimTest, NltestDebugFlagsGoToTheRegistryInItsOwnSpelling) {
  auto run = RunTool(L"Nltest /DBFlag:0x2FFFFFFF");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output,
            "SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters set to 0x2fffffff\r\n"
            "The command completed successfully\r\n");
  EXPECT_EQ(DbFlag(), L"0x2fffffff");
  run = RunTool(L"nltest.exe /dbflag:2080ffff");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(DbFlag(), L"0x2080ffff");
}

// ---- Netlogon against the simulated nltest --------------------------------------------------------

TEST_F(DomainSimTest, NetlogonSetsTheFlagsOnceAndThenLeavesThemAlone) {
  LogCapture log;
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging());
  EXPECT_EQ(DbFlag(), L"0x2fffffff");
  EXPECT_EQ(Count(log, LogLevel::Debug,
                  L"tamber::core::windows::Netlogon::SetNLFlags(): Set Netlogon Flags: Nltest /DBFlag:0x2fffffff"),
            1u);
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging());
  EXPECT_EQ(Count(log, LogLevel::Debug, L"RunScript(): Created Process"), 1u) << "the second time nothing runs";

  // nltest writes lower-case hex: wanted flags in upper case are set at every start, as the
  // comparison is exact.
  ASSERT_EQ(Registry::Instance()->SetValue(L"NlFlag", std::wstring(L"0x2080FFFF"), regtype::kService), 0);
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging());
  EXPECT_TRUE(Netlogon::Instance()->EnableNlLogging());
  EXPECT_EQ(DbFlag(), L"0x2080ffff");
  EXPECT_EQ(Count(log, LogLevel::Debug, L"RunScript(): Created Process"), 3u);
}

TEST_F(DomainSimTest, TheDriverSwitchesNetlogonLoggingOnFirst) {
  LogCapture log;
  core::windows::Guest().CustomizeVM();
  EXPECT_EQ(DbFlag(), L"0x2fffffff");
  framework::log::FlushLog();
  auto entries = log.Entries();
  auto position = [&](const std::wstring& fragment) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].text.find(fragment) != std::wstring::npos) return i;
    }
    return entries.size();
  };
  size_t netlogon = position(L"tamber::core::windows::Netlogon::EnableNlLogging(): No NL Flags Currently Set");
  ASSERT_LT(netlogon, entries.size());
  EXPECT_LT(netlogon, position(L"tamber::core::windows::Guest::CustomizeVM(): ** Master **"));
}

// ---- the model's accounts ------------------------------------------------------------------------

TEST_F(DomainSimTest, AccountsAreFilesReplacedInOneStep) {
  auto domain = SimDomain::Open(domainDir_);
  ASSERT_TRUE(domain);
  const uint8_t first[] = {1, 2, 3};
  const uint8_t second[] = {9, 8, 7, 6, 5};
  EXPECT_TRUE(domain->SetAccountPassword("clone-02", first, sizeof first));
  EXPECT_TRUE(domain->SetAccountPassword("CLONE-01", second, sizeof second));
  EXPECT_TRUE(domain->SetAccountPassword("Clone-02", second, sizeof second)) << "the same account in another case";
  EXPECT_EQ(domain->Accounts(), (std::vector<std::string>{"CLONE-01", "CLONE-02"}));
  EXPECT_TRUE(domain->AccountPassword("clone-02")->Equals(second, sizeof second));
  EXPECT_FALSE(domain->AccountPassword("clone-03"));
  for (const char* bad : {"", "1234", "pc_1", "pc.1", "../x", "a-name-that-is-16", "pc 1"}) {
    EXPECT_FALSE(domain->SetAccountPassword(bad, first, sizeof first)) << bad;
  }
  EXPECT_EQ(domain->Accounts().size(), 2u);
  for (const auto& entry : fs::directory_iterator(domainDir_ / "accounts")) {
    EXPECT_EQ(entry.path().extension(), "") << "no half-written file is left: " << entry.path();
    EXPECT_EQ(fs::status(entry.path()).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none)
        << "only the owner reads a password";
  }
  EXPECT_TRUE(domain->DeleteAccount("clone-01"));
  EXPECT_EQ(domain->Accounts(), std::vector<std::string>{"CLONE-02"});
}

TEST_F(DomainSimTest, DomainNamesAreCheckedAndAnExistingDomainIsKept) {
  EXPECT_NE(SimDomain::Create(root_ / "x", "corp example", {"A"}, {{"dc1.corp.example", "A"}}), "");
  EXPECT_NE(SimDomain::Create(root_ / "x", "corp.example", {"A"}, {{"dc1.corp.example", "B"}}), "") << "unknown site";
  EXPECT_NE(SimDomain::Create(root_ / "x", "corp.example", {"A", "a"}, {{"dc1.corp.example", "A"}}), "");
  EXPECT_NE(
      SimDomain::Create(root_ / "x", "corp.example", {"A"}, {{"dc1.corp.example", "A"}, {"DC1.corp.example", "A"}}),
      "");
  EXPECT_NE(SimDomain::Create(root_ / "x", "corp.example", {"A"}, {}), "") << "no controller";
  EXPECT_FALSE(SimDomain::Exists(root_ / "x"));
  EXPECT_NE(SimDomain::Create(domainDir_, "other.example", {"A"}, {{"dc1.other.example", "A"}}), "");
  EXPECT_EQ(SimDomain::Open(domainDir_)->Name(), "corp.example");
}

}  // namespace
}  // namespace tamber
