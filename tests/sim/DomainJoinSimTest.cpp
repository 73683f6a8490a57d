// DomainJoin against the simulated domain: clones primed as the management side primes them, joined by
// the fast path or with NetJoinDomain, their secure channel checked, their password changed, and the
// recovery from a domain that cannot be found. Every test ends by searching all the log lines it caused
// for the secrets it handled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/security/Encryption.h"
#include "common/util/StringConverter.h"
#include "common/util/Utf16.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/util/System.h"
#include "core/windows/DomainJoin.h"
#include "framework/log/Log.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "platform/Domain.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/security/SimLsa.h"
#include "platform/sim/tools/SimTools.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

namespace fs = std::filesystem;
using common::windows::Encryption;
using core::util::CustomizationPersistentInfo;
using core::util::MachineType;
using core::util::Persisted;
using core::util::Registry;
using core::util::System;
using core::windows::DomainJoin;
using platform::guestrpc::SimHypervisor;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::SimDomain;
using test::LogCapture;
namespace machine = core::util::machine;
namespace regtype = core::util::regtype;

const std::wstring kJoin = L"tamber::core::windows::DomainJoin::";
constexpr const char* kUuid = "4c1f2a9e-57d0-4b6e-9a11-0f3e2d6c8b70";

std::string Base64(const std::vector<uint8_t>& bytes) {
  char* text = nullptr;
  uint32_t length = 0;
  EXPECT_TRUE(Encryption::encode(bytes.data(), static_cast<uint32_t>(bytes.size()), &text, &length));
  std::string result(text, length);
  Encryption::FreeData(&text, &length);
  return result;
}

class DomainJoinSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // Trace lines are searched for secrets too.
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), framework::log::kLogConfigKey, 0,
                                       platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(L"true");
    platform::RegSetValueEx(key, L"traceEnabled", platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
    platform::RegCloseKey(key);
    framework::log::ResetLogForTest();
    platform::sim::RegisterBuiltinTools();
    platform::sim::SetTimeScale(1000);
    static std::atomic<int> counter{0};
    root_ =
        fs::temp_directory_path() / ("velocyn-join-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
    domainDir_ = root_ / "corp";
    ASSERT_EQ(SimDomain::Create(
                  domainDir_, "corp.example", {"Site-A", "Site-B"},
                  {{"dc1.corp.example", "Site-A"}, {"dc2.corp.example", "Site-A"}, {"dc3.corp.example", "Site-B"}}),
              "");
    ASSERT_EQ(platform::sim::AttachToDomain(Machine::Directory(), domainDir_), "");
    Reboot();
    SetTunable(L"RenewIPRetries", 0);  // renewals have their own tests; here they would only cost time
    log_.emplace();
  }
  // Keeps what this boot logged for the search at the end, and listens afresh.
  void NextBoot() {
    framework::log::FlushLog();
    for (const auto& entry : log_->Entries()) earlier_.push_back(entry.text);
    Reboot();
    log_.emplace();
  }
  void TearDown() override {
    framework::log::FlushLog();
    if (log_) {
      // No secret this test handled appears in any line it logged, at any level, nor in the hypervisor's log.
      std::vector<std::wstring> lines = earlier_;
      for (const auto& entry : log_->Entries()) lines.push_back(entry.text);
      for (const auto& line : Hypervisor().LogTail(100000))
        lines.push_back(common::i18n::StringConverter::Utf8ToWString(line));
      for (const auto& secret : secrets_) {
        if (secret.size() < 4) continue;
        const std::wstring wide = common::i18n::StringConverter::Utf8ToWString(secret);
        for (const auto& line : lines) EXPECT_EQ(line.find(wide), std::wstring::npos) << "a secret in: " << line.size();
      }
      EXPECT_FALSE(lines.empty());
      log_.reset();
    }
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static void Reboot() {
    fs::path machineDir = Machine::Directory();
    framework::log::FlushLog();
    Machine::Shutdown();
    platform::sim::Power::Take(machineDir);
    core::util::ResetSingletonsForTest();
    Machine::Boot(machineDir);
    framework::log::ResetLogForTest();
  }
  // What the boot-time agent does before the service: the clone's own name.
  static void NameMachine(const std::string& name) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKeyLocalMachine(), platform::sim::kComputerNameKeyPath, 0,
                                       platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
    auto bytes = common::util::ToUtf16LeBytes(common::i18n::StringConverter::Utf8ToWString(name));
    platform::RegSetValueEx(key, L"ComputerName", platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
    platform::RegCloseKey(key);
  }
  static SimHypervisor Hypervisor() { return SimHypervisor(Machine::Directory() / "hypervisor"); }
  SimDomain Domain() const { return *SimDomain::Open(domainDir_); }
  // Started once per boot; a second start finds it running.
  static void StartNetlogon() {
    uint32_t state = 0;
    System::Instance()->ControlSvc(L"Netlogon", System::kControlQueryStatus, &state);
    if (state != platform::kServiceRunning) {
      ASSERT_EQ(System::Instance()->ControlSvc(L"Netlogon", System::kControlStart), 0);
    }
  }
  static void SetGa(const wchar_t* name, uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(name, value, regtype::kGa), 0);
  }
  static void SetTunable(const wchar_t* name, uint32_t value) {
    ASSERT_EQ(Registry::Instance()->SetValue(name, value, regtype::kService), 0);
  }
  static std::vector<uint8_t> Utf16(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (unsigned char c : text) {
      bytes.push_back(c);
      bytes.push_back(0);
    }
    return bytes;
  }

  // The management side's password step: the account with a fresh password, and the guest variables
  // that carry it to the clone, obfuscated with the clone's own name and UUID.
  std::string Prime(const std::string& host, const std::string& uuid = kUuid) {
    std::string password = platform::sim::NewMachinePassword();
    auto bytes = Utf16(password);
    EXPECT_TRUE(Domain().SetAccountPassword(host, bytes.data(), bytes.size()));
    char* text = nullptr;
    uint32_t length = 0;
    EXPECT_TRUE(Encryption::obfuscate(host.c_str(), uuid.c_str(), reinterpret_cast<const uint8_t*>(password.data()),
                                      static_cast<uint32_t>(password.size()), &text, &length));
    std::string obfuscated(text, length);
    Encryption::FreeData(&text, &length);
    std::vector<uint8_t> digest(Encryption::kDigestLength);
    EXPECT_EQ(Encryption::computeHash(bytes.data(), static_cast<uint32_t>(bytes.size()), digest.data()), 32u);
    std::string checksum = Base64(digest);
    auto hypervisor = Hypervisor();
    hypervisor.SetVariable("machinePasswd", obfuscated);
    hypervisor.SetVariable("machinePasswdChecksum", checksum);
    hypervisor.SetVariable("hostName", host);
    hypervisor.SetVariable("cloneprep.clone.uuid", uuid);
    hypervisor.SetVariable("primed.fqdn", "corp.example");
    secrets_.insert(secrets_.end(), {password, obfuscated, checksum, uuid});
    return password;
  }
  // A clone named and primed, with Netlogon running.
  std::string PrimedClone(const std::string& host = "CLONE-01") {
    MachineType::Instance()->SetMachineType(machine::kClone);
    NameMachine(host);
    StartNetlogon();
    return Prime(host);
  }
  std::optional<std::vector<uint8_t>> MachineSecret() { return platform::sim::ReadLsaSecret(L"$MACHINE.ACC"); }
  // Remembers the account's current password as a secret of this test.
  std::vector<uint8_t> AccountPassword(const std::string& host) {
    auto password = Domain().AccountPassword(host);
    if (!password) return {};
    std::vector<uint8_t> bytes(password->data(), password->data() + password->size());
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 2) text.push_back(static_cast<char>(bytes[i]));
    secrets_.push_back(text);
    return bytes;
  }
  size_t Count(LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log_->Count(level, fragment);
  }
  size_t Count(const std::wstring& fragment) {
    framework::log::FlushLog();
    size_t count = 0;
    for (const auto& entry : log_->Entries()) count += entry.text.find(fragment) != std::wstring::npos ? 1 : 0;
    return count;
  }

  fs::path root_;
  fs::path domainDir_;
  std::optional<LogCapture> log_;
  std::vector<std::string> secrets_;
  std::vector<std::wstring> earlier_;
};

// ---- the fast path and the secure channel ---------------------------------------------------------

TEST_F(DomainJoinSimTest, PrimedCloneTakesItsPasswordByTheFastPathAndTheTrustHolds) {
  PrimedClone();
  DomainJoin join;
  EXPECT_FALSE(join.VerifyTrust(1)) << "no machine password yet";
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): Trust Verification Status: 0x6FD"), 1u)
      << "ERROR_TRUSTED_RELATIONSHIP_FAILURE";

  ASSERT_TRUE(join.JoinCloneToDomain());
  EXPECT_EQ(Count(kJoin + L"ValidateMachinePassword(): Password Checksums Match"), 1u);
  EXPECT_EQ(Count(kJoin + L"GetUnobfuscatedMachinePwd(): Machine Password Is Valid"), 1u);
  EXPECT_EQ(MachineSecret(), AccountPassword("CLONE-01")) << "the clone's secret is its account's password";

  ASSERT_TRUE(join.VerifyTrust());
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): Flags: (0xB0): NETLOGON_HAS_IP | NETLOGON_HAS_TIMESERV | "
                          L"NETLOGON_VERIFY_STATUS_RETURNED"),
            2u)
      << "the failed check too";
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): Trusted DC Name: \\\\dc1.corp.example"), 1u);
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): TC Connection Status: 0x0"), 1u);

  // The account of another name does not make this machine's channel hold.
  NameMachine("CLONE-02");
  EXPECT_FALSE(join.VerifyTrust(1));
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): Trust Verification Status: 0x6FB"), 1u) << "ERROR_NO_TRUST_SAM_ACCOUNT";
}

TEST_F(DomainJoinSimTest, CorruptedPasswordFailsItsChecksumAndInstallsNothing) {
  PrimedClone();
  auto hypervisor = Hypervisor();
  std::string text = *hypervisor.GetVariable("machinePasswd");
  text[3] = text[3] == 'A' ? 'B' : 'A';
  hypervisor.SetVariable("machinePasswd", text);
  secrets_.push_back(text);
  DomainJoin join;
  EXPECT_FALSE(join.JoinCloneToDomain());
  EXPECT_EQ(Count(kJoin + L"ValidateMachinePassword(): Password Checksums Do Not Match!!"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"GetUnobfuscatedMachinePwd(): Machine Password Is Invalid"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"JoinCloneToDomain(): Failed getting machine password"), 1u);
  EXPECT_FALSE(MachineSecret().has_value()) << "nothing was installed";

  // A shortened server checksum is no match for the full one either.
  PrimedClone();
  hypervisor.SetVariable("machinePasswdChecksum", hypervisor.GetVariable("machinePasswdChecksum")->substr(0, 10));
  EXPECT_FALSE(join.JoinCloneToDomain());
  EXPECT_FALSE(MachineSecret().has_value());
  // A missing checksum only skips the check.
  hypervisor.SetVariable("machinePasswdChecksum", "0");
  EXPECT_TRUE(join.JoinCloneToDomain());
  EXPECT_EQ(Count(LogLevel::Warn, kJoin + L"GetUnobfuscatedMachinePwd(): Machine Password Validation Was Skipped"), 1u);
  EXPECT_TRUE(join.VerifyTrust(1));
}

TEST_F(DomainJoinSimTest, InvalidClearedPasswordIsRefused) {
  PrimedClone();
  Hypervisor().SetVariable("machinePasswd", "0");
  DomainJoin join;
  EXPECT_FALSE(join.JoinCloneToDomain());
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"GetMachinePwd(): Found invalid machine password"), 1u);
  EXPECT_FALSE(MachineSecret().has_value());
}

// ---- the slow path -------------------------------------------------------------------------------

TEST_F(DomainJoinSimTest, NetJoinDomainSetsBothSidesAndRemembersTheController) {
  PrimedClone();
  SetTunable(L"DomainJoinRebootDelay", 0);
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomainWithNetJoinDomain());
  EXPECT_EQ(MachineSecret(), AccountPassword("CLONE-01"));
  EXPECT_EQ(
      Count(kJoin + L"JoinMachineToDomain(): Attempting to join CLONE-01 to domain corp.example using Default DC"), 1u);
  EXPECT_EQ(Count(kJoin + L"JoinMachineToDomain(): Domain Join Succeeded With Default DC: dc1.corp.example"), 1u);
  EXPECT_EQ(Hypervisor().GetVariable("machinePasswd"), "0") << "cleared after the join";
  EXPECT_EQ(Hypervisor().GetVariable("machinePasswdChecksum"), "0");
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_TRUE(info->Is(Persisted::CloneJoinedDomainWithNetJoinDomain));
  EXPECT_TRUE(info->Is(Persisted::CloneRebooted));
  auto request = platform::sim::Power::Requested();
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->action, platform::sim::PowerAction::Reboot);
  std::wstring current;
  EXPECT_TRUE(join.RetrieveRegDomainJoinDCName(&current));
  EXPECT_EQ(current, L"dc1.corp.example");
}

TEST_F(DomainJoinSimTest, SysprepCloneJoinsAndAsksForAShutdown) {
  PrimedClone("CLONE-05");
  Hypervisor().SetVariable("preferredDC", "dc3.corp.example");
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomainSysprep());
  EXPECT_EQ(Count(kJoin + L"JoinCloneToDomainSysprep(): Clone UUID: ********"), 1u)
      << "half the key stays out of the log";
  EXPECT_EQ(Count(kJoin + L"JoinMachineToDomain(): Attempting to join CLONE-05 to domain corp.example using Preferred "
                          L"DC: corp.example\\dc3.corp.example"),
            1u);
  EXPECT_EQ(Count(kJoin + L"JoinMachineToDomain(): Domain Join Succeeded With Preferred DC: dc1.corp.example"), 1u)
      << "the locator's choice afterwards";
  EXPECT_EQ(Count(kJoin + L"JoinCloneToDomainSysprep(): Marked Clone Shutdown Needed."), 1u);
  auto* info = CustomizationPersistentInfo::Instance();
  EXPECT_TRUE(info->Is(Persisted::CloneJoinedDomain));
  EXPECT_TRUE(info->Is(Persisted::CloneShutdown));
  EXPECT_FALSE(platform::sim::Power::Requested().has_value()) << "the flow shuts down, not the join";
  EXPECT_EQ(MachineSecret(), AccountPassword("CLONE-05"));

  // A preferred controller the domain does not have: the join falls back to the default one.
  NextBoot();
  PrimedClone("CLONE-06");
  Hypervisor().SetVariable("preferredDC", "dc9.corp.example");
  SetTunable(L"DomainJoinRetries", 1);
  DomainJoin again;
  ASSERT_TRUE(again.JoinCloneToDomainSysprep());
  EXPECT_EQ(Count(kJoin + L"JoinMachineToDomain(): Domain Join Failed With Preferred DC, Retrying With Default DC"),
            1u);
  EXPECT_EQ(MachineSecret(), AccountPassword("CLONE-06"));
}

TEST_F(DomainJoinSimTest, NoSuchDomainRebootsTwiceAndNotOnTheThirdBoot) {
  SetTunable(L"DomainJoinRetries", 2);
  for (int boot = 1; boot <= 3; ++boot) {
    PrimedClone();
    SetGa(L"IpRenewed", 1);  // the renewal was tried on an earlier boot
    FaultPlan::Set("NetJoinDomain.errors", "1355*10");
    DomainJoin join;
    EXPECT_FALSE(join.JoinCloneToDomainWithNetJoinDomain());
    const bool rebooted = platform::sim::Power::Requested().has_value();
    if (boot < 3) {
      EXPECT_TRUE(rebooted) << "boot " << boot;
      EXPECT_EQ(Count(kJoin + L"JoinMachineToDomainEx(): Rebooting to recover from error 1355: ERROR_NO_SUCH_DOMAIN"),
                1u);
      EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::DomainJoinRebootCount), uint32_t(boot));
    } else {
      EXPECT_FALSE(rebooted) << "the third boot does not reboot again";
      EXPECT_EQ(Count(kJoin + L"JoinMachineToDomainEx(): Max domain join reboots attempted. rc: 0x54B, hr: 0x8007054B"),
                2u);
      EXPECT_EQ(Count(kJoin + L"JoinMachineToDomainEx(): Max Domain Join Retries Attempted.  Giving Up: rc: 0x54B, "
                              L"HRESULT: 0x8007054B"),
                1u);
      EXPECT_EQ(Count(kJoin + L"JoinCloneToDomainWithNetJoinDomain(): Max NetJoinDomain Attempts Reached Without "
                              L"Success, Skipping Reboot"),
                1u);
      EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::DomainJoinRebootCount), 2u);
    }
    EXPECT_FALSE(MachineSecret().has_value());
    NextBoot();
  }
}

TEST_F(DomainJoinSimTest, FailedNetJoinDomainRebootsUntilTheAttemptLimit) {
  SetTunable(L"DomainJoinRetries", 1);
  SetGa(L"MaxNetJoinDomainAttempts", 3);
  for (int boot = 1; boot <= 3; ++boot) {
    PrimedClone();
    FaultPlan::Set("NetJoinDomain.errors", "5");  // ERROR_ACCESS_DENIED: no renewal, no 1355 reboot
    DomainJoin join;
    EXPECT_FALSE(join.JoinCloneToDomainWithNetJoinDomain());
    EXPECT_EQ(Count(LogLevel::Error, kJoin + L"JoinMachineToDomainEx(): Domain Join Failed. rc: 0x5, hr: 0x80070005"),
              1u);
    EXPECT_EQ(CustomizationPersistentInfo::Instance()->Get(Persisted::NetJoinDomainAttempts), uint32_t(boot));
    EXPECT_EQ(platform::sim::Power::Requested().has_value(), boot < 3) << "boot " << boot;
    EXPECT_EQ(Count(kJoin + L"JoinCloneToDomainWithNetJoinDomain(): Initiating NetJoinDomain Failed Reboot"),
              boot < 3 ? 1u : 0u);
    NextBoot();
  }
}

// ---- trust verification --------------------------------------------------------------------------

TEST_F(DomainJoinSimTest, VerifyTrustExStopsAtTheDefaultControllerAndKeepsThePassword) {
  PrimedClone();
  Hypervisor().SetVariable("preferredDC", "dc2.corp.example");
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomain());
  auto before = AccountPassword("CLONE-01");
  EXPECT_TRUE(join.VerifyTrustEx());
  EXPECT_EQ(Count(kJoin + L"VerifyTrustEx(): clone Trust Verification Succeeded with default DC"), 1u);
  EXPECT_EQ(Count(L"Attempting trust verification with server preferred DC"), 0u);
  EXPECT_EQ(Count(L"ChangeMachinePassword()"), 0u);
  EXPECT_EQ(AccountPassword("CLONE-01"), before);
  EXPECT_EQ(MachineSecret(), before);
}

TEST_F(DomainJoinSimTest, PreferredControllerInAnotherSiteIsSkipped) {
  PrimedClone();
  SetTunable(L"TrustVerifyRetries", 1);
  SetTunable(L"PwdChangeRetries", 0);
  Hypervisor().SetVariable("preferredDC", "dc3.corp.example");  // Site-B; the clone is in Site-A
  DomainJoin join;
  // No password installed: the default controller refuses the channel.
  EXPECT_FALSE(join.VerifyTrustEx());
  EXPECT_EQ(Count(kJoin + L"VerifyTrustEx(): Attempting trust verification with server preferred DC "
                          L"corp.example\\dc3.corp.example"),
            1u);
  EXPECT_EQ(Count(kJoin + L"VerifyTrustWithPreferredDc(): DC corp.example\\dc3.corp.example not found in current "
                          L"site.Skipping trust verify with preferred dc."),
            1u);
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"VerifyTrustEx(): Failed to get preferred DC set by agent"), 1u);
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"VerifyTrustEx(): clone Failed Changing Machine Password"), 1u)
      << "a broken channel cannot change its password";
  auto membership = platform::sim::LoadMembership(Machine::Directory());
  ASSERT_TRUE(membership.has_value());
  EXPECT_EQ(membership->pinnedDc, "") << "the other site's controller was never pinned";

  std::string diagnostic;
  EXPECT_TRUE(join.GetErrorDiagnostics(&diagnostic, "Domain Trust Verification"));
  EXPECT_NE(diagnostic.find("Server preferred DC dc3.corp.example not found in current site. DCs ("), std::string::npos)
      << diagnostic;
  EXPECT_NE(diagnostic.find(") found in current site (Site-A)."), std::string::npos) << diagnostic;
}

TEST_F(DomainJoinSimTest, PreferredControllerInTheSiteCarriesTheCheck) {
  PrimedClone();
  SetTunable(L"TrustVerifyRetries", 1);
  Hypervisor().SetVariable("preferredDC", "dc2.corp.example");
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomain());
  FaultPlan::Set("NetLogonControlFails", "1");  // the first check fails, the one through dc2 holds
  EXPECT_TRUE(join.VerifyTrustEx());
  EXPECT_EQ(
      Count(LogLevel::Error, kJoin + L"VerifyTrust(): I_NetLogonControl2 Failed (0): Domain: corp.example, 0x51F"), 1u);
  EXPECT_EQ(Count(kJoin + L"VerifyTrust(): Trusted DC Name: \\\\dc2.corp.example"), 1u);
  EXPECT_EQ(Count(kJoin + L"VerifyTrustEx(): clone Trust Verification succeeded with preferred DC "
                          L"corp.example\\dc2.corp.example"),
            1u);
}

// ---- password change -----------------------------------------------------------------------------

TEST_F(DomainJoinSimTest, PasswordChangeThatFailsTwiceThenSucceedsRestartsNetlogonEachTime) {
  PrimedClone();
  SetGa(L"ChangeCloneMachinePassword", 1);
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomain());
  auto before = AccountPassword("CLONE-01");
  FaultPlan::Set("nltestChangePwdFails", "2");
  EXPECT_TRUE(join.ChangeMachinePassword(/*force=*/false));
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Changing Clone Machine Password"), 1u);
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Failed changing machine password"), 3u)
      << "first, then two retries";
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Failed changing machine password (retry)"), 2u);
  EXPECT_EQ(Count(LogLevel::Warn, kJoin + L"RequestMachinePasswordChange(): Failed to execute machine password reset "
                                          L"command: nltest.exe /sc_change_pwd:corp.example"),
            2u);
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Restarted Netlogon Service"), 3u)
      << "after each failure and the success";
  EXPECT_EQ(Count(kJoin + L"RequestMachinePasswordChange(): Succeeded executing machine password reset command"), 1u);
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Total Machine Password Change Time: "), 1u);
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneMachinePasswordChanged));
  auto after = AccountPassword("CLONE-01");
  EXPECT_NE(after, before);
  EXPECT_EQ(MachineSecret(), after) << "both sides changed";
  EXPECT_TRUE(join.VerifyTrust(1));
  // Done once: the next call leaves it alone.
  EXPECT_TRUE(join.ChangeMachinePassword(/*force=*/false));
  EXPECT_EQ(Count(kJoin + L"ChangeMachinePassword(): Clone Machine Password Already Reset"), 1u);
}

TEST_F(DomainJoinSimTest, BadDomainNameNeverReachesTheCommandLine) {
  PrimedClone();
  Hypervisor().SetVariable("primed.fqdn", "corp.example&calc");
  DomainJoin join;
  EXPECT_FALSE(join.ChangeMachinePassword(/*force=*/true));
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"GetDomainName(): Invalid domain name refused: corp.example&calc"), 1u);
  EXPECT_EQ(Count(L"RequestMachinePasswordChange()"), 0u) << "nothing ran";
  EXPECT_EQ(Count(L"CommandLine"), 0u);
}

// ---- backup, restore, secured copies, names ------------------------------------------------------

TEST_F(DomainJoinSimTest, BackupThenRestoreBringsBackTheMachinePassword) {
  PrimedClone();
  DomainJoin join;
  ASSERT_TRUE(join.JoinCloneToDomain());
  auto installed = MachineSecret();
  ASSERT_TRUE(join.BackupMachinePassword());
  secrets_.push_back(*Hypervisor().GetVariable("machinePasswd"));
  secrets_.push_back(*Hypervisor().GetVariable("machinePasswdChecksum"));
  EXPECT_EQ(Count(kJoin + L"BackupMachinePassword(): Created backup of machine password in guest info"), 1u);
  ASSERT_TRUE(join.RestoreMachinePassword());
  EXPECT_EQ(Count(LogLevel::Info, kJoin + L"RestoreMachinePassword(): Machine passwords match. Skipping restore..."),
            1u);

  // A longer secret that begins with the backup is a different password and is restored.
  auto longer = *installed;
  longer.push_back('x');
  longer.push_back(0);
  ASSERT_TRUE(platform::sim::WriteLsaSecret(L"$MACHINE.ACC", longer));
  ASSERT_TRUE(join.RestoreMachinePassword());
  EXPECT_EQ(Count(LogLevel::Info, kJoin + L"RestoreMachinePassword(): Machine passwords DONT Match. Restoring..."), 1u);
  EXPECT_EQ(MachineSecret(), installed);
  EXPECT_TRUE(join.VerifyTrust(1));
}

TEST_F(DomainJoinSimTest, SecuredCopiesReplaceTheGuestVariables) {
  PrimedClone();
  DomainJoin join;
  ASSERT_TRUE(join.SecureMachinePwdInfo());
  EXPECT_EQ(Hypervisor().GetVariable("machinePasswd"), "0");
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::MachinePwdInfoSecured));
  ASSERT_TRUE(join.JoinCloneToDomain());
  EXPECT_EQ(Count(LogLevel::Trace, kJoin + L"GetMachinePwd(): Retrieved secured machine password"), 1u);
  EXPECT_TRUE(join.VerifyTrust(1));
  EXPECT_TRUE(join.ClearSecuredMachinePwdInfo());
  EXPECT_FALSE(platform::sim::ReadLsaSecret(L"L$TOLM_MC_PWD").has_value());
}

TEST_F(DomainJoinSimTest, FailingStoreOfTheChecksumLeavesNeitherCopy) {
  PrimedClone();
  FaultPlan::Set("LsaStoreFails", "0xC0000022@L$TOLM_MC_PWD_CHKSUM");
  DomainJoin again;
  EXPECT_FALSE(again.SecureMachinePwdInfo());
  EXPECT_FALSE(platform::sim::ReadLsaSecret(L"L$TOLM_MC_PWD").has_value());
  EXPECT_NE(Hypervisor().GetVariable("machinePasswd"), "0") << "still in the guest variables";
}

TEST_F(DomainJoinSimTest, RenameAndPrincipalName) {
  PrimedClone("CLONE-07");
  NameMachine("OLDNAME");
  DomainJoin join;
  EXPECT_EQ(join.RenameMachine(), 0);
  EXPECT_EQ(platform::sim::BootedComputerName(), "CLONE-07");
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneRenamed));
  EXPECT_TRUE(join.UpdateUPN());
  EXPECT_TRUE(join.LogUPN());
  EXPECT_EQ(Count(kJoin + L"LogUPN(): UPN: CLONE-07$@corp.example"), 1u);

  platform::sim::DetachFromDomain(Machine::Directory());
  EXPECT_FALSE(join.UpdateUPN());
  EXPECT_EQ(Count(LogLevel::Error, kJoin + L"UpdateUPN(): GetUserNameEx Failed: 0x80070534"), 1u)
      << "ERROR_NONE_MAPPED";
}

}  // namespace
}  // namespace tamber
