// The domain controller services where no directory service answers (a machine in no domain; under Wine,
// which has none): the documented failure lines, empty answers, and names refused before any command line
// is built. The simulated domain's answers are in tests/sim/DomainSimTest.cpp.
#include <gtest/gtest.h>

#include <string>

#include "common/util/DnsName.h"
#include "common/util/DomainServices.h"
#include "framework/log/Log.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::util::DnsName;
using common::util::DomainServices;
using test::LogCapture;

const std::wstring kPrefix = L"tamber::common::util::DomainServices::";

size_t Count(const LogCapture& log, LogLevel level, const std::wstring& fragment) {
  framework::log::FlushLog();
  return log.Count(level, fragment);
}

// Whether the runner started (or tried to start) a process.
bool AnythingRan(const LogCapture& log) {
  framework::log::FlushLog();
  return log.Count(LogLevel::Debug, L"Util::RunScript(): Created Process") != 0 ||
         log.Count(LogLevel::Error, L"Util::RunScript(): Failed Creating Process") != 0;
}

TEST(DnsNameTest, HostAndDomainNames) {
  for (const wchar_t* good : {L"a", L"pc-01", L"corp.example", L"DC1.Corp.Example", L"x1.y-2.z3", L"123.example"}) {
    EXPECT_TRUE(DnsName::IsValidName(good)) << ::testing::PrintToString(std::wstring(good));
  }
  const std::wstring longest(63, L'a');
  EXPECT_TRUE(DnsName::IsValidName(longest));
  EXPECT_FALSE(DnsName::IsValidName(longest + L"a")) << "a label is at most 63 characters";
  std::wstring name = longest + L"." + longest + L"." + longest + L"." + std::wstring(61, L'b');
  ASSERT_EQ(name.size(), 253u);
  EXPECT_TRUE(DnsName::IsValidName(name));
  EXPECT_FALSE(DnsName::IsValidName(name + L"b")) << "a name is at most 253 characters";
  for (const wchar_t* bad :
       {L"",      L".",     L"corp.", L".corp", L"corp..example", L"-pc",     L"pc-",     L"corp.-x",
        L"pc_01", L"pc 01", L"pc\t1", L"pc\"1", L"pc'1",          L"pc&calc", L"pc|x",    L"pc;x",
        L"pc>x",  L"pc%x",  L"pc^x",  L"pc\\x", L"pc/x",          L"pc:x",    L"p\u00e9", L"pc\n"}) {
    EXPECT_FALSE(DnsName::IsValidName(bad)) << ::testing::PrintToString(std::wstring(bad));
  }
  EXPECT_FALSE(DnsName::IsValidName(std::wstring(L"pc\0x", 4))) << "an embedded null";
}

TEST(DnsNameTest, ControllerIsDomainBackslashHost) {
  EXPECT_TRUE(DnsName::IsValidControllerName(L"corp.example\\dc1.corp.example"));
  EXPECT_TRUE(DnsName::IsValidControllerName(L"CORP\\DC1"));
  for (const wchar_t* bad : {L"", L"dc1.corp.example", L"\\dc1", L"corp\\", L"corp\\\\dc1", L"corp\\dc1\\x",
                             L"corp\\dc1 /x", L"corp\\dc1\"", L"corp example\\dc1"}) {
    EXPECT_FALSE(DnsName::IsValidControllerName(bad)) << ::testing::PrintToString(std::wstring(bad));
  }
}

TEST(DnsNameTest, ComparisonIgnoresCaseAndRefusedTextIsPrintable) {
  EXPECT_TRUE(DnsName::Equal(L"CORP.example\\DC1.corp.EXAMPLE", L"corp.example\\dc1.corp.example"));
  EXPECT_FALSE(DnsName::Equal(L"corp.example\\dc1", L"corp.example\\dc2"));
  EXPECT_FALSE(DnsName::Equal(L"dc1", L"dc1."));
  EXPECT_EQ(DnsName::Printable(L"a\r\nb\"c\u00e9"), L"a??b\"c?");
  EXPECT_EQ(DnsName::Printable(std::wstring(1000, L'x')).size(), DnsName::kMaxPrintableLength);
}

class DomainServicesTest : public test::GuestTest {};

TEST_F(DomainServicesTest, NoControllerFoundGivesAnEmptyName) {
  LogCapture log;
  DomainServices services;
  EXPECT_EQ(services.GetCurrentDC(L"velocyn-no-such-domain.invalid"), L"");
  EXPECT_EQ(Count(log, LogLevel::Error, kPrefix + L"GetCurrentDC(): DsGetDcNameW Failed. Error: 0x"), 1u);
  EXPECT_EQ(Count(log, LogLevel::Debug, kPrefix + L"GetCurrentDC(): Current DC Name:"), 0u);
}

TEST_F(DomainServicesTest, AnUnknownSiteIsAskedForAgain) {
  LogCapture log;
  DomainServices services;
  if (!services.GetCurrentSite().empty()) GTEST_SKIP() << "this machine is in a site";
  EXPECT_EQ(services.GetCurrentSite(), L"");
  EXPECT_EQ(Count(log, LogLevel::Error, kPrefix + L"GetCurrentSite(): Failed to get site name. Error: 0x"), 2u)
      << "a failed answer is not remembered";
}

TEST_F(DomainServicesTest, EnumerationThatCannotStartLeavesAnEmptyIncompleteList) {
  LogCapture log;
  DomainServices services;
  EXPECT_TRUE(services.GetDCsInCurrentSite(L"velocyn-no-such-domain.invalid").empty());
  EXPECT_FALSE(services.IsDcListComplete());
  EXPECT_EQ(
      Count(log, LogLevel::Error, kPrefix + L"GetDCsInCurrentSite(): Failed to get DC Enumeration handle. Error: 0x"),
      1u);
  EXPECT_FALSE(services.IsDcInCurrentSite(L"velocyn-no-such-domain.invalid\\dc1"));
  EXPECT_FALSE(services.IsDcInCurrentSite(L""));
  EXPECT_FALSE(services.IsDcInCurrentSite(L"dc1.velocyn-no-such-domain.invalid")) << "no backslash";
}

TEST_F(DomainServicesTest, NamesThatAreNoDnsNamesNeverReachACommandLine) {
  struct Case {
    std::wstring host;
    std::wstring domain;
    std::wstring controller;
    std::wstring which;
  };
  // Valid alone, too long with the host in front.
  const std::wstring longDomain = std::wstring(63, L'a') + L"." + std::wstring(63, L'b') + L"." +
                                  std::wstring(63, L'c') + L"." + std::wstring(61, L'd');
  const Case cases[] = {
      {L"pc1 /SC_RESET:evil\\dc", L"corp.example", L"corp.example\\dc1", L"Host"},
      {L"pc1&calc", L"corp.example", L"corp.example\\dc1", L"Host"},
      {L"", L"corp.example", L"corp.example\\dc1", L"Host"},
      {L"pc1", L"corp.example\" & calc", L"corp.example\\dc1", L"Domain"},
      {L"pc1", L"", L"corp.example\\dc1", L"Domain"},
      {L"pc1", L"corp..example", L"corp.example\\dc1", L"Domain"},
      {L"pc1", longDomain, L"corp.example\\dc1", L"Domain"},
      {L"pc1", L"corp.example", L"dc1.corp.example", L"DC"},
      {L"pc1", L"corp.example", L"corp.example\\dc1 /SC_RESET:x", L"DC"},
      {L"pc1", L"corp.example", L"corp.example\\dc1\r\nforged log line", L"DC"},
      {L"pc1", L"corp.example", L"corp.example\\dc1|x", L"DC"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    DomainServices services;
    EXPECT_FALSE(services.SetPreferredDc(c.host, c.domain, c.controller)) << ::testing::PrintToString(c.controller);
    EXPECT_EQ(Count(log, LogLevel::Error,
                    kPrefix + L"SetPreferredDc(): Invalid " + c.which + L" Name, Not Setting Preferred DC: \""),
              1u)
        << ::testing::PrintToString(c.which) << " " << ::testing::PrintToString(c.controller);
    EXPECT_FALSE(AnythingRan(log));
    EXPECT_EQ(Count(log, LogLevel::Error, L"forged log line"),
              c.controller.find(L"forged") == std::wstring::npos ? 0u : 1u);
    for (const auto& entry : log.Entries()) {
      EXPECT_EQ(entry.text.find_first_of(L"\r\n"), std::wstring::npos) << "a refused name cannot start a log line";
    }
  }
}

// Under Wine there is no nltest and in the simulated guest the machine is in no domain: either way the
// command fails, and the warning shows the command line exactly as the tool would have got it.
TEST_F(DomainServicesTest, ValidNamesBuildTheResetCommand) {
  LogCapture log;
  DomainServices services;
  EXPECT_FALSE(services.SetPreferredDc(L"CLONE-07", L"corp.example", L"corp.example\\dc2.corp.example"));
  EXPECT_EQ(Count(log, LogLevel::Warn,
                  kPrefix + L"SetPreferredDc(): Failed Setting Preferred DC: "
                            L"Nltest /Server:CLONE-07.corp.example /SC_RESET:corp.example\\dc2.corp.example"),
            1u);
  EXPECT_EQ(Count(log, LogLevel::Error, kPrefix + L"SetPreferredDc(): Invalid"), 0u);
}

}  // namespace
}  // namespace tamber
