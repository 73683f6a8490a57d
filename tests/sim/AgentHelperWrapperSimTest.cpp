// The agent helper wrapper on the simulated guest: helper faults from the machine's fault plan (a
// helper that never reports ready, one that ignores the shutdown signal, one without handlers, a busy
// key vault), the key vault's protected store, sysprep's exit codes and the adapters' MAC addresses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "core/util/AgentHelperWrapper.h"
#include "core/util/Registry.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/tools/SimTools.h"
#include "support/HelperStandIn.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using platform::sim::FaultPlan;
using platform::sim::Machine;
using test::LogCapture;

constexpr wchar_t kPrefix[] = L"tamber::core::util::AgentHelperWrapper::";

class AgentHelperWrapperSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    // The trace messages are part of what is checked.
    test::EnableTraceLogging();
    ASSERT_EQ(
        Registry::Instance()->SetValue(
            L"Server DN", std::wstring(L"CN=5d0c7b8e-1111-4a2b-9c3d-000000000001,OU=Servers"), regtype::kNodeManager),
        0);
    test::InstallHelperStandIn();
  }
  void TearDown() override {
    test::RemoveHelperStandIn();
    platform::sim::ClearTools();
    platform::sim::RegisterBuiltinTools();  // the next test's guest has its Windows tools
    test::GuestTest::TearDown();
  }
  static std::wstring Method(const wchar_t* name) { return std::wstring(kPrefix) + name + L"(): "; }
};

TEST_F(AgentHelperWrapperSimTest, HelperThatNeverReportsReadyIsShutDown) {
  FaultPlan::Set("helper.never-ready", "1");
  platform::sim::SetTimeScale(20);  // the 30 s wait in 1.5 s
  LogCapture log;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchCloneHelper(L"PrepClone", L"dc01", L"site"));
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           Method(L"LaunchHelperInServiceMode") + L"Agent helper not ready after expected time"));
  // Shut down: gracefully, or on a loaded host after the (scaled) 10 s by force.
  EXPECT_TRUE(log.Contains(LogLevel::Debug, Method(L"CloseHelperInServiceMode") + L"Agent helper exited gracefully") ||
              log.Contains(LogLevel::Debug, Method(L"CloseHelperInServiceMode") +
                                                L"Successfully terminated agent helper process forcibly"));
  EXPECT_TRUE(log.Contains(LogLevel::Error, Method(L"LaunchCloneHelper") + L"Failed to launch agent helper process"));
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"SendMsgToHelper(): Successfully started MessageFrameWork"));
}

TEST_F(AgentHelperWrapperSimTest, HelperThatIgnoresShutdownIsTerminated) {
  FaultPlan::Set("helper.ignore-shutdown", "1");
  LogCapture log;
  auto* wrapper = AgentHelperWrapper::Instance();
  ASSERT_TRUE(wrapper->LaunchHelperInServiceMode());
  LogCapture again;
  EXPECT_FALSE(wrapper->LaunchHelperInServiceMode());  // one helper at a time
  EXPECT_TRUE(
      again.Contains(LogLevel::Debug, Method(L"LaunchHelperInServiceMode") + L"Helper tool is already running"));
  platform::sim::SetTimeScale(100);  // the 10 s wait in 0.1 s
  LogCapture close;
  wrapper->CloseHelperInServiceMode();
  EXPECT_TRUE(close.Contains(
      LogLevel::Error,
      Method(L"CloseHelperInServiceMode") +
          L"Agent helper did not exit gracefully within the timeout period. Will forcibly terminate it."));
  EXPECT_TRUE(close.Contains(
      LogLevel::Debug, Method(L"CloseHelperInServiceMode") + L"Successfully terminated agent helper process forcibly"));
  // The handle is gone: a new helper may start.
  FaultPlan::Set("helper.ignore-shutdown", std::nullopt);
  platform::sim::SetTimeScale(1);
  EXPECT_TRUE(wrapper->LaunchCloneHelper(L"PrepClone", L"dc01", L"site"));
}

TEST_F(AgentHelperWrapperSimTest, HelperWithoutHandlersGivesNoQueueHandler) {
  FaultPlan::Set("helper.no-handlers", "1");
  LogCapture log;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchCloneHelper(L"PrepClone", L"dc01", L"site"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"SendMsgToHelper(): No queue handler was found. Possibly Quorvel Agent might be still running and intercepted the message"));
}

TEST_F(AgentHelperWrapperSimTest, HelperAnswersOtherThanAckFail) {
  for (const char* answer : {"Ack ", "Ac"}) {
    FaultPlan::Set("helper.result", answer);
    LogCapture log;
    EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchCloneHelper(L"PrepClone", L"dc01", L"site")) << answer;
    std::string text = answer;
    EXPECT_TRUE(log.Contains(
        LogLevel::Error,
        L"SendMsgToHelper(): The response bag does not contain an Ack in the resultText. Actual resultText: " +
            std::wstring(text.begin(), text.end())));
  }
}

TEST_F(AgentHelperWrapperSimTest, BusyKeyVaultIsRetriedOnce) {
  platform::sim::SetTimeScale(5);  // the 1 s pause between attempts in 0.2 s
  FaultPlan::Set("keyvault.busy", "1");
  {
    LogCapture log;
    EXPECT_TRUE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
    EXPECT_TRUE(
        log.Contains(LogLevel::Trace, L"KvCallWithRetry(): KeyVault call 'getrandom' not executed: SystemBusy"));
    EXPECT_TRUE(log.Contains(LogLevel::Debug, L"KvCallWithRetry(): KeyVault call 'getrandom' succeeded on attempt 2"));
  }
  FaultPlan::Set("keyvault.busy", std::nullopt);
  FaultPlan::Set("keyvault.busy30001", "2");
  {
    LogCapture log;
    EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
    EXPECT_TRUE(log.Contains(
        LogLevel::Error,
        L"KvCallWithRetry(): KeyVault call 'getrandom' could not be executed: Error (The key vault is busy, try again)"));
    EXPECT_TRUE(log.Contains(LogLevel::Debug, L"GenerateNonce(): Failed to execute the KeyVault operation."));
    EXPECT_TRUE(log.Contains(LogLevel::Error, L"AppendEncryptEntities(): Failed to generate QXe nonce"));
    EXPECT_TRUE(log.Contains(LogLevel::Debug, Method(L"CloseHelperInServiceMode") + L"Agent helper exited gracefully"));
  }
}

TEST_F(AgentHelperWrapperSimTest, KeyVaultFailuresNameTheStep) {
  FaultPlan::Set("keyvault.fail", "addkeypair");
  LogCapture log;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"CreatePersistentKeyPair(): Cannot generate key pair: Injected failure of addkeypair"));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"AppendEncryptEntities(): Failed to generate QXe keypair"));
  FaultPlan::Set("keyvault.fail", "getpublic");
  LogCapture second;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
  EXPECT_TRUE(second.Contains(LogLevel::Error, L"GetPublicKey(): Cannot get public key:Injected failure of getpublic"));
  EXPECT_TRUE(second.Contains(LogLevel::Error, L"AppendEncryptEntities(): Failed to retrieve QXe public key"));
}

TEST_F(AgentHelperWrapperSimTest, KeyVaultKeepsItsKeysInTheProtectedStore) {
  ASSERT_TRUE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
  auto store = Machine::Directory() / "protected" / "keyvault.dat";
  ASSERT_TRUE(std::filesystem::exists(store));
  auto permissions = std::filesystem::status(store).permissions();
  EXPECT_EQ(permissions & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none);
  std::ifstream in(store);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_NE(content.str().find("master Rzm 1 "), std::string::npos);
  EXPECT_NE(content.str().find("keypair QXe 2048 Rzm 1 "), std::string::npos);

  // A new boot (new helper processes) finds the same keys.
  std::string before = content.str();
  ASSERT_TRUE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
  std::ifstream again(store);
  std::stringstream after;
  after << again.rdbuf();
  EXPECT_EQ(after.str(), before);
}

TEST_F(AgentHelperWrapperSimTest, SysprepExitCodesDecide) {
  // Shared with the tool's thread, which may outlive the test body by a moment.
  struct Sysprep {
    std::atomic<uint32_t> exitCode{0};
    std::atomic<bool> hang{false};
    std::mutex mutex;
    std::wstring commandLine;
  };
  auto sysprep = std::make_shared<Sysprep>();
  platform::sim::RegisterTool(L"sysprep", [sysprep](platform::sim::ToolContext& context) -> uint32_t {
    {
      std::lock_guard<std::mutex> guard(sysprep->mutex);
      sysprep->commandLine = context.CommandLine();
    }
    // A dialog nobody sees: the tool keeps running until the test lets it go.
    while (sysprep->hang && !context.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sysprep->exitCode.load();
  });
  auto* wrapper = AgentHelperWrapper::Instance();
  EXPECT_TRUE(wrapper->SysprepGeneralize());
  EXPECT_EQ(
      sysprep->commandLine,
      L"\"C:\\Windows\\System32\\Sysprep\\sysprep.exe\" /generalize /oobe /mode:vm /quit /unattend:C:\\Progra~1\\Talvora\\Quorvel\\Agent\\unattend.xml");
  LogCapture log;
  sysprep->exitCode = 5;
  EXPECT_FALSE(wrapper->SysprepGeneralize());
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, Method(L"SysprepGeneralize") + L"Sysprep generalize failed with exit code: 5"));

  platform::sim::SetTimeScale(1000);  // the 5 minute wait in 0.3 s
  sysprep->hang = true;
  sysprep->exitCode = 0;
  EXPECT_FALSE(wrapper->SysprepGeneralize());
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      Method(L"SysprepGeneralize") +
          L"Sysprep generalize failed with an invisible error dialog. Please fix the issue in your golden image."));
  sysprep->hang = false;
}

TEST_F(AgentHelperWrapperSimTest, MacAddressOfEveryAdapter) {
  auto* wrapper = AgentHelperWrapper::Instance();
  LogCapture log;
  EXPECT_EQ(wrapper->GetCurrentMacAddress(), L"");
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, Method(L"GetCurrentMacAddress") + L"GetAdaptersInfo failed with status: 232"));

  platform::sim::SimAdapter first;
  first.name = "{6F1A2B3C-0000-4000-8000-000000000001}";
  first.description = "Virtual Ethernet Adapter";
  first.physicalAddress = {0x02, 0x54, 0x56, 0xAB, 0x0C, 0xEF};
  first.index = 7;
  first.ipv4 = {{"192.168.10.5", "255.255.255.0"}, {"192.168.10.6", "255.255.255.0"}};
  platform::sim::SaveAdapters(Machine::Directory(), {first});
  EXPECT_EQ(wrapper->GetCurrentMacAddress(), L"02:54:56:AB:0C:EF");

  platform::sim::SimAdapter second = first;
  second.physicalAddress = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  platform::sim::SaveAdapters(Machine::Directory(), {first, second});
  EXPECT_EQ(wrapper->GetCurrentMacAddress(), L"02:54:56:AB:0C:EF0A:0B:0C:0D:0E:0F");

  // More adapters than the 11264-byte buffer holds.
  platform::sim::SaveAdapters(Machine::Directory(), std::vector<platform::sim::SimAdapter>(17, first));
  EXPECT_EQ(wrapper->GetCurrentMacAddress(), L"");
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, Method(L"GetCurrentMacAddress") + L"GetAdaptersInfo failed with status: 111"));
}

TEST_F(AgentHelperWrapperSimTest, AdaptersInfoLaysOutTheList) {
  platform::sim::SimAdapter adapter;
  adapter.name = "{AAAA}";
  adapter.description = "Adapter";
  adapter.physicalAddress = {1, 2, 3, 4, 5, 6};
  adapter.index = 3;
  adapter.ipv4 = {{"10.0.0.2", "255.0.0.0"}, {"10.0.0.3", "255.0.0.0"}};
  adapter.gateways = {"10.0.0.1"};
  platform::sim::SaveAdapters(Machine::Directory(), {adapter, adapter});
  uint32_t size = 0;
  ASSERT_EQ(platform::GetAdaptersInfo(nullptr, &size), platform::kErrorBufferOverflow);
  EXPECT_EQ(size, 2 * sizeof(platform::IpAdapterInfo) + 2 * sizeof(platform::IpAddrString));
  std::vector<uint8_t> buffer(size);
  auto* list = reinterpret_cast<platform::IpAdapterInfo*>(buffer.data());
  ASSERT_EQ(platform::GetAdaptersInfo(list, &size), platform::kErrorSuccess);
  ASSERT_EQ(list->next, list + 1);
  EXPECT_EQ(list[1].next, nullptr);
  EXPECT_STREQ(list->adapterName, "{AAAA}");
  EXPECT_EQ(list->addressLength, 6u);
  EXPECT_STREQ(list->ipAddressList.ipAddress, "10.0.0.2");
  ASSERT_NE(list->ipAddressList.next, nullptr);
  EXPECT_STREQ(list->ipAddressList.next->ipAddress, "10.0.0.3");
  EXPECT_STREQ(list->gatewayList.ipAddress, "10.0.0.1");
}

}  // namespace
}  // namespace tamber::core::util
