// DomainJoin in both tiers: the host-name rules, the Netlogon flag names, the guest variables read on the
// golden image (through the registry mirror), and the seam calls where the tier has no domain: a machine
// outside any domain (the sim) or Wine, which has neither a directory service nor an LSA secret store.
#include <gtest/gtest.h>

#include <string>

#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "core/util/Singleton.h"
#include "core/windows/DomainJoin.h"
#include "framework/log/Log.h"
#include "support/TestEnvironment.h"

namespace tamber::core::windows {
namespace {

using test::LogCapture;
using util::CustomizationPersistentInfo;
using util::Persisted;
using util::Registry;
namespace regtype = util::regtype;

const std::wstring kJoin = L"tamber::core::windows::DomainJoin::";

class DomainJoinTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // The golden image reads guest variables from its registry mirror, in both tiers.
    ASSERT_EQ(Registry::Instance()->SetValue(L"GoldenImage", 1u, regtype::kSetup), 0);
    ASSERT_EQ(Registry::Instance()->SetValue(L"TrustVerifyDelay", 0u, regtype::kService), 0);
    // A failed check renews the address first; these tests are about what comes before that.
    ASSERT_EQ(Registry::Instance()->SetValue(L"RenewIPRetries", 0u, regtype::kService), 0);
  }
  void TearDown() override {
    Registry::Instance()->SetValue(L"GoldenImage", 0u, regtype::kSetup);
    Registry::Instance()->SetValue(L"RenewIPRetries", 5u, regtype::kService);
    // The role and state singletons these tests made (MachineType installs the process-wide role text)
    // must not reach the next test of the same process.
    util::ResetSingletonsForTest();
    test::GuestTest::TearDown();
  }
  static void SetVariable(const wchar_t* name, const wchar_t* value) {
    ASSERT_EQ(CustomizationPersistentInfo::Instance()->SetGuestInfoMirror(name, value), 0);
  }
  static size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
    framework::log::FlushLog();
    return log.Count(level, fragment);
  }
};

TEST_F(DomainJoinTest, HostNameRules) {
  DomainJoin join;
  LogCapture log;
  EXPECT_TRUE(join.ValidateHostname("ABCDEFGHIJKLMNO")) << "15 characters";
  EXPECT_TRUE(join.ValidateHostname("clone-01"));
  EXPECT_FALSE(join.ValidateHostname("7")) << "digits only";
  EXPECT_FALSE(join.ValidateHostname("ABCDEFGHIJKLMNOP"));
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"ValidateHostname(): Hostname Too Long. Length: 16"), 1u);
  EXPECT_FALSE(join.ValidateHostname("0123456789"));
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"ValidateHostname(): Hostname may not consist entirely of digits"),
            2u);
  EXPECT_FALSE(join.ValidateHostname("clone_01"));
  EXPECT_FALSE(join.ValidateHostname("clone 01"));
  EXPECT_FALSE(join.ValidateHostname("clone.corp"));
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"ValidateHostname(): Hostname contains invalid characters"), 3u);
  EXPECT_FALSE(join.ValidateHostname(""));
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"ValidateHostname(): Hostname Too Short. Length: 0"), 1u);
  EXPECT_FALSE(join.ValidateHostname(nullptr));
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"ValidateHostname(): Hostname Is NULL"), 1u);
}

TEST_F(DomainJoinTest, NetlogonFlagNamesFromTheLowestBit) {
  EXPECT_EQ(GetNetlogonFlagNames(0), L"");
  EXPECT_EQ(GetNetlogonFlagNames(0x81), L"NETLOGON_REPLICATION_NEEDED | NETLOGON_VERIFY_STATUS_RETURNED");
  EXPECT_EQ(GetNetlogonFlagNames(0xB0), L"NETLOGON_HAS_IP | NETLOGON_HAS_TIMESERV | NETLOGON_VERIFY_STATUS_RETURNED");
  EXPECT_EQ(GetNetlogonFlagNames(0x100), L"") << "no name above the eighth bit";
  EXPECT_EQ(GetNetlogonFlagNames(0x4E),
            L"NETLOGON_REPLICATION_IN_PROGRESS | NETLOGON_FULL_SYNC_REPLICATION | NETLOGON_REDO_NEEDED | "
            L"NETLOGON_DNS_UPDATE_FAILURE");
}

TEST_F(DomainJoinTest, ClearedPasswordIsInvalidForEveryRead) {
  SetVariable(L"machinePasswd", L"0");
  SetVariable(L"hostName", L"CLONE-01");
  DomainJoin join;
  LogCapture log;
  EXPECT_FALSE(join.JoinCloneToDomain());
  SecretBuffer password;
  EXPECT_FALSE(join.GetUnobfuscatedMachinePwd(&password, /*wide=*/true, /*raw=*/false));
  EXPECT_FALSE(join.RestoreMachinePassword());
  EXPECT_TRUE(password.empty());
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"GetMachinePwd(): Found invalid machine password"), 3u);
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"JoinCloneToDomain(): Failed getting machine password"), 1u);
  EXPECT_FALSE(join.GetUnobfuscatedMachinePwd(&password, /*wide=*/true, /*raw=*/true));
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"GetUnobfuscatedMachinePwd(): Invalid input"), 1u);
}

TEST_F(DomainJoinTest, RenameTakesOnlyAValidHostName) {
  DomainJoin join;
  LogCapture log;
  SetVariable(L"hostName", L"bad_name");
  EXPECT_EQ(static_cast<uint32_t>(join.RenameMachine()), 0x80070057u);
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"RenameMachine(): Hostname bad_name is invalid"), 1u);
  EXPECT_FALSE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneRenamed));
  SetVariable(L"hostName", L"CLONE-01");
  EXPECT_EQ(join.RenameMachine(), 0) << "SetComputerNameExA with the physical DNS host name";
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"RenameMachine(): Hostname CLONE-01 is valid"), 1u);
  EXPECT_TRUE(CustomizationPersistentInfo::Instance()->Is(Persisted::CloneRenamed));
}

TEST_F(DomainJoinTest, WithoutADomainTheSeamCallsFailAsLogged) {
  SetVariable(L"primed.fqdn", L"corp.example");
  ASSERT_EQ(Registry::Instance()->SetValue(L"TrustVerifyRetries", 1u, regtype::kService), 0);
  DomainJoin join;
  LogCapture log;
  EXPECT_FALSE(join.VerifyTrust());
  framework::log::FlushLog();
  const size_t failed =
      log.Count(LogLevel::Error, kJoin + L"VerifyTrust(): I_NetLogonControl2 Failed (0): Domain: corp.example, 0x");
  const size_t empty = log.Count(LogLevel::Error, kJoin + L"VerifyTrust(): pNetInfo == NULL");
  const size_t refused = log.Count(LogLevel::Debug, kJoin + L"VerifyTrust(): TC Connection Status: 0x");
  EXPECT_EQ(failed + empty + refused, 1u) << "one attempt, and it did not verify";
  EXPECT_FALSE(join.UpdateUPN());
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"UpdateUPN(): GetUserNameEx Failed: 0x8007"), 1u);
  EXPECT_FALSE(join.LogUPN() && log.Contains(LogLevel::Debug, kJoin + L"LogUPN(): UPN: CLONE"));
}

TEST_F(DomainJoinTest, NamesFromGuestVariablesAreCheckedBeforeUse) {
  DomainJoin join;
  LogCapture log;
  std::wstring name;
  SetVariable(L"primed.fqdn", L"corp.example\"&calc");
  EXPECT_FALSE(join.GetDomainName(&name));
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"GetDomainName(): Invalid domain name refused: corp.example\"&calc"),
            1u);
  EXPECT_FALSE(join.ChangeMachinePassword(/*force=*/true)) << "no command is built from it";
  EXPECT_EQ(Count(log, LogLevel::Warn, L"Failed to execute machine password reset command"), 0u);
  SetVariable(L"primed.fqdn", L"corp.example");
  SetVariable(L"preferredDC", L"dc1 /sc_reset:x");
  EXPECT_FALSE(join.GetPreferredDC(&name));
  EXPECT_EQ(
      Count(log, LogLevel::Error, kJoin + L"GetPreferredDC(): Invalid preferred DC name refused: dc1 /sc_reset:x"), 1u);
  SetVariable(L"preferredDC", L"dc1.corp.example");
  EXPECT_TRUE(join.GetPreferredDC(&name));
  EXPECT_EQ(name, L"corp.example\\dc1.corp.example");
  SetVariable(L"hostName", L"clone_01");
  EXPECT_FALSE(join.GetHostName(&name));
  EXPECT_EQ(Count(log, LogLevel::Error, kJoin + L"GetHostName(): Invalid host name refused: clone_01"), 1u);
}

TEST_F(DomainJoinTest, DiagnosticsOnlyForTheTrustCategory) {
  DomainJoin join;
  LogCapture log;
  std::string out;
  EXPECT_FALSE(join.GetErrorDiagnostics(&out, "Domain Join"));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Count(log, LogLevel::Debug, kJoin + L"GetErrorDiagnostics(): Could not diagnose error for Domain Join"),
            1u);
  SetVariable(L"preferredDC", L"dc9.corp.example");
  EXPECT_TRUE(join.GetErrorDiagnostics(&out, "Domain Trust Verification"));
  EXPECT_EQ(out,
            "Failed to verify domain trust. Failed to get DCs in current site . Server preferred DC was "
            "dc9.corp.example");
}

}  // namespace
}  // namespace tamber::core::windows
