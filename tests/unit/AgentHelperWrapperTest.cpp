// The agent helper wrapper against a peer served in the test process (answers, key vault retries),
// and end to end against the helper stand-in started as a real separate process.
#include "core/util/AgentHelperWrapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "HelperStandIn.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "core/util/Registry.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogWriter.h"
#include "framework/message/MessageFrameWork.h"
#include "platform/Registry.h"
#include "support/HelperStandIn.h"
#include "support/LogFiles.h"
#include "support/TestEnvironment.h"

namespace tamber::core::util {
namespace {

using test::LogCapture;

constexpr wchar_t kServerDn[] = L"CN=9b2f6c1e-4d7a-4e0b-8f3c-2a6d5e9f1b07,OU=Servers,DC=vdi,DC=example,DC=int";
constexpr wchar_t kGuid[] = L"9b2f6c1e-4d7a-4e0b-8f3c-2a6d5e9f1b07";

// A peer on the machine's channel, served by this process: the key vault stand-in, a helper
// stand-in, or handlers of the test's own.
class LocalPeer {
 public:
  LocalPeer() { EXPECT_TRUE(frameWork_.Start()); }
  ~LocalPeer() { frameWork_.Stop(); }
  CORE::MessageFrameWork& FrameWork() { return frameWork_; }
  void Listen() { ASSERT_TRUE(frameWork_.Listen(CORE::kLocalChannelName)); }
  // Records the hints (operations) of every request to that queue, then hands it on.
  void Record(const std::wstring& queue, CORE::QueueHandler handler) {
    frameWork_.RegisterQueueHandler(queue,
                                    [this, queue, handler](const CORE::Message& request, CORE::PropertyBag* out) {
                                      {
                                        std::lock_guard<std::mutex> guard(mutex_);
                                        calls_.push_back(queue + L"/" + request.queueHint);
                                      }
                                      return handler(request, out);
                                    });
  }
  std::vector<std::wstring> Calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

 private:
  CORE::MessageFrameWork frameWork_;
  std::mutex mutex_;
  std::vector<std::wstring> calls_;
};

class AgentHelperWrapperTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    test::EnableTraceLogging();
    std::error_code ignored;
    std::filesystem::remove(storeFile_, ignored);
  }
  void TearDown() override {
    test::RemoveHelperStandIn();
    std::error_code ignored;
    std::filesystem::remove(storeFile_, ignored);
    test::GuestTest::TearDown();
  }
  void SetServerDn(const std::wstring& dn) {
    ASSERT_EQ(Registry::Instance()->SetValue(L"Server DN", dn, regtype::kNodeManager), 0);
  }
  // A client link to the peer, as SendMsgToHelper makes one.
  struct Client {
    CORE::MessageFrameWork frameWork;
    HelperLink link;
    Client() {
      EXPECT_TRUE(frameWork.Start());
      link.frameWork = &frameWork;
      EXPECT_TRUE(frameWork.Connect(CORE::kLocalChannelName, &link.channel));
    }
    ~Client() {
      frameWork.Close(link.channel);
      frameWork.Stop();
    }
  };

  std::filesystem::path storeFile_ = std::filesystem::temp_directory_path() / "velocyn-keyvault-test.dat";
};

CORE::ResponseType AnswerText(const std::wstring& text, CORE::PropertyBag* response) {
  response->AddText(L"resultText", text);
  return CORE::ResponseType::Ok;
}

TEST_F(AgentHelperWrapperTest, OnlyTheExactAckSucceeds) {
  std::wstring answer;
  LocalPeer peer;
  peer.Record(L"CloneHelper",
              [&answer](const CORE::Message&, CORE::PropertyBag* out) { return AnswerText(answer, out); });
  peer.Listen();

  const std::pair<std::wstring, bool> cases[] = {{L"Ack", true}, {L"Ack ", false}, {L"Acknowledged", false},
                                                 {L"Ac", false}, {L"", false},     {L"ack", false}};
  for (const auto& [text, expected] : cases) {
    answer = text;
    LogCapture log;
    CORE::PropertyBag request;
    EXPECT_EQ(SendMsgToHelper(L"CloneHelper", L"PrepClone", request, false), expected)
        << "answer \"" << ::testing::PrintToString(text) << "\"";
    if (!expected) {
      EXPECT_TRUE(log.Contains(
          LogLevel::Error,
          L"SendMsgToHelper(): The response bag does not contain an Ack in the resultText. Actual resultText: " +
              text));
    }
  }
  EXPECT_EQ(peer.Calls().size(), 6u);
}

TEST_F(AgentHelperWrapperTest, ErrorTextAndMissingHandlerFail) {
  LocalPeer peer;
  peer.Record(L"CloneHelper", [](const CORE::Message&, CORE::PropertyBag* out) {
    out->AddText(L"resultText", L"Ack");
    out->SetErrorText(L"domain controller unreachable");
    return CORE::ResponseType::Ok;
  });
  peer.Listen();
  LogCapture log;
  CORE::PropertyBag request;
  EXPECT_FALSE(SendMsgToHelper(L"CloneHelper", L"PrepClone", request, false));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error, L"SendMsgToHelper(): The response bag contains an error text: domain controller unreachable"));
  EXPECT_FALSE(SendMsgToHelper(L"TemplateHelper", L"PrepInternalTemplate", request, false));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"SendMsgToHelper(): No queue handler was found. Possibly Quorvel Agent might be still running and intercepted the message"));
}

TEST_F(AgentHelperWrapperTest, NobodyOnTheChannelFailsTheConnect) {
  LogCapture log;
  CORE::PropertyBag request;
  EXPECT_FALSE(SendMsgToHelper(L"CloneHelper", L"PrepClone", request, false));
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"SendMsgToHelper(): Failed to connect to the message channel using shared memory"));
}

TEST_F(AgentHelperWrapperTest, BusyKeyVaultIsRetriedOnceOnly) {
  int busyAnswers = 0;
  CORE::ResponseType busyType = CORE::ResponseType::SystemBusy;
  LocalPeer peer;
  peer.Record(L"KeyVault", [&](const CORE::Message&, CORE::PropertyBag* out) {
    if (busyAnswers > 0) {
      --busyAnswers;
      out->SetErrorText(L"busy");
      if (busyType == CORE::ResponseType::Error) out->SetErrorCode(30001);
      return busyType;
    }
    out->AddBinary(L"bindata", std::vector<uint8_t>(16, 0xAB));
    return CORE::ResponseType::Ok;
  });
  peer.Listen();
  Client client;
  CORE::PropertyBag request, response;
  {
    LogCapture log;
    busyAnswers = 1;
    EXPECT_EQ(KvCallWithRetry(client.link, L"getrandom", request, &response), 0);
    EXPECT_TRUE(
        log.Contains(LogLevel::Trace, L"KvCallWithRetry(): KeyVault call 'getrandom' not executed: SystemBusy (busy)"));
    EXPECT_TRUE(log.Contains(LogLevel::Debug, L"KvCallWithRetry(): KeyVault call 'getrandom' succeeded on attempt 2"));
  }
  {
    LogCapture log;
    busyAnswers = 3;
    busyType = CORE::ResponseType::Error;  // error 30001 counts as busy
    response.Clear();
    EXPECT_EQ(KvCallWithRetry(client.link, L"getrandom", request, &response), 2);
    EXPECT_TRUE(log.Contains(LogLevel::Error,
                             L"KvCallWithRetry(): KeyVault call 'getrandom' could not be executed: Error (busy)"));
    EXPECT_EQ(busyAnswers, 1);  // two attempts, not three
  }
  EXPECT_EQ(peer.Calls().size(), 4u);
}

TEST_F(AgentHelperWrapperTest, KeyVaultErrorIsAFailedOperation) {
  LocalPeer peer;
  peer.Record(L"KeyVault", [](const CORE::Message&, CORE::PropertyBag* out) {
    out->SetErrorText(L"no such key");
    out->SetErrorCode(30002);
    return CORE::ResponseType::Error;
  });
  peer.Listen();
  Client client;
  LogCapture log;
  std::vector<uint8_t> nonce;
  EXPECT_FALSE(GenerateNonce(client.link, 16, &nonce));
  EXPECT_TRUE(
      log.Contains(LogLevel::Warn, L"KvCallWithRetry(): KeyVault call 'getrandom' failed: Error (no such key)"));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"GenerateNonce(): Failed to generate nonce: no such key"));
}

TEST_F(AgentHelperWrapperTest, MasterKeyIsMadeOnceAndReused) {
  standins::KeyVaultStandIn vault(storeFile_, [](const std::string&) { return std::nullopt; });
  LocalPeer peer;
  peer.Record(L"KeyVault",
              [&vault](const CORE::Message& request, CORE::PropertyBag* out) { return vault.Handle(request, out); });
  peer.Listen();
  Client client;
  ASSERT_TRUE(CreatePersistentKeyPair(client.link, L"QXe", 2048));
  ASSERT_TRUE(CreatePersistentKeyPair(client.link, L"QXe", 2048));
  std::vector<std::wstring> expected = {L"KeyVault/latest", L"KeyVault/addmaster", L"KeyVault/addkeypair",
                                        L"KeyVault/latest", L"KeyVault/addkeypair"};
  EXPECT_EQ(peer.Calls(), expected);

  LogCapture log;
  EXPECT_FALSE(CreatePersistentKeyPair(client.link, L"", 2048));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"CreatePersistentKeyPair(): Empty keypair name string."));
}

TEST_F(AgentHelperWrapperTest, ServerDnGivesTheGuid) {
  EXPECT_EQ(FirstDnComponentValue(kServerDn), kGuid);
  EXPECT_EQ(FirstDnComponentValue(L"cn = abc , ou=x"), L"abc");
  EXPECT_EQ(FirstDnComponentValue(L"CN=a\\,b,OU=x"), L"a,b");
  EXPECT_EQ(FirstDnComponentValue(L"CN=\"a,b\";OU=x"), L"a,b");
  EXPECT_EQ(FirstDnComponentValue(L"CN=,OU=x"), L"");

  std::wstring guid;
  LogCapture log;
  EXPECT_FALSE(GetVmGuid(&guid));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"GetVmGuid(): Server dn is not set in the registry"));
  SetServerDn(L"CN=,OU=Servers");
  EXPECT_FALSE(GetVmGuid(&guid));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"GetVmGuid(): Empty vm guid in server dn"));
  SetServerDn(kServerDn);
  ASSERT_TRUE(GetVmGuid(&guid));
  EXPECT_EQ(guid, kGuid);
}

TEST_F(AgentHelperWrapperTest, CreateHashGivesTheSha256Digest) {
  std::vector<uint8_t> digest;
  uint32_t length = 0;
  LogCapture log;
  ASSERT_TRUE(createHash("SHA256", "abc", &digest, &length));
  EXPECT_EQ(length, 32u);
  ASSERT_EQ(digest.size(), 32u);
  EXPECT_EQ(digest[0], 0xBA);
  EXPECT_EQ(digest[31], 0xAD);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"createHash(): BasePrep::createHash algID:SHA256, data: abc"));
  EXPECT_FALSE(createHash("NOSUCH", "abc", &digest, &length));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"createHash(): Failed to open algorithm provider: 0xc000"));
}

TEST_F(AgentHelperWrapperTest, TemplateRequestCarriesAProofTheHelperAccepts) {
  SetServerDn(kServerDn);
  standins::HelperStandIn standIn(kServerDn, storeFile_, [](const std::string&) { return std::nullopt; });
  LocalPeer peer;
  standIn.Register(peer.FrameWork(), /*helperQueues=*/true);
  peer.Listen();
  LogCapture log;
  CORE::PropertyBag request;
  ASSERT_TRUE(SendMsgToHelper(L"TemplateHelper", L"PrepInternalTemplate", request, true));
  // What was sent: the proof items, the nonce as 32 lower-case hexadecimal digits.
  std::wstring nonce;
  ASSERT_TRUE(request.GetText(L"nonce", &nonce));
  EXPECT_EQ(nonce.size(), 32u);
  EXPECT_EQ(nonce.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
  EXPECT_TRUE(request.Contains(L"qxe-public-key"));
  EXPECT_TRUE(request.Contains(L"qxe-pop-blob"));
  EXPECT_TRUE(standIn.CheckIdentityProof(request).empty());
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"AppendEncryptEntities(): QXe signature data (vmGuid + qxNonce) is: " +
                                                std::wstring(kGuid) + nonce));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"AppendEncryptEntities(): QXe hash size: 32, hex val: "));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"AppendEncryptEntities(): Successfully appended QXe encryption entities"));

  // A proof for another nonce, another machine, or with the signature changed is refused.
  CORE::PropertyBag forged = request;
  forged.Remove(L"nonce");
  forged.AddText(L"nonce", std::wstring(32, L'0'));
  EXPECT_FALSE(standIn.CheckIdentityProof(forged).empty());
  std::vector<uint8_t> signature;
  ASSERT_TRUE(request.GetBinary(L"qxe-pop-blob", &signature));
  signature[7] ^= 0x10;
  CORE::PropertyBag tampered = request;
  tampered.Remove(L"qxe-pop-blob");
  tampered.AddBinary(L"qxe-pop-blob", signature);
  EXPECT_EQ(standIn.CheckIdentityProof(tampered), L"the signature does not match this machine's identity");
  standins::HelperStandIn otherMachine(L"CN=0000,OU=Servers", storeFile_,
                                       [](const std::string&) { return std::nullopt; });
  EXPECT_FALSE(otherMachine.CheckIdentityProof(request).empty());
}

TEST_F(AgentHelperWrapperTest, BadIdentityProofIsRefused) {
  // The helper knows this machine by another DN than the one the agent proves.
  SetServerDn(kServerDn);
  standins::HelperStandIn standIn(L"CN=1111-2222,OU=Servers", storeFile_,
                                  [](const std::string&) { return std::nullopt; });
  LocalPeer peer;
  standIn.Register(peer.FrameWork(), /*helperQueues=*/true);
  peer.Listen();
  LogCapture log;
  CORE::PropertyBag request;
  EXPECT_FALSE(SendMsgToHelper(L"TemplateHelper", L"PrepInternalTemplate", request, true));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"SendMsgToHelper(): The response bag contains an error text: Identity proof refused: the signature does not match this machine's identity"));
}

TEST_F(AgentHelperWrapperTest, MissingServerDnFailsBeforeAnythingIsSent) {
  standins::HelperStandIn standIn(kServerDn, storeFile_, [](const std::string&) { return std::nullopt; });
  LocalPeer peer;
  peer.Record(L"TemplateHelper", [](const CORE::Message&, CORE::PropertyBag* out) { return AnswerText(L"Ack", out); });
  peer.Record(L"KeyVault", [](const CORE::Message&, CORE::PropertyBag* out) { return AnswerText(L"Ack", out); });
  peer.Listen();
  LogCapture log;
  CORE::PropertyBag request;
  EXPECT_FALSE(SendMsgToHelper(L"TemplateHelper", L"PrepInternalTemplate", request, true));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"AppendEncryptEntities(): Failed to get vm guid"));
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"SendMsgToHelper(): Failed to append encrypt entities"));
  EXPECT_TRUE(peer.Calls().empty());
}

TEST_F(AgentHelperWrapperTest, MissingHelperFailsTheLaunch) {
  LogCapture log;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchTemplateHelper());
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Unable to create process with the above command. Error code: 0x80070"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::core::util::AgentHelperWrapper::LaunchTemplateHelper(): Failed to launch agent helper process"));
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchCloneHelper(L"PrepClone", L"dc1", L"site1"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::core::util::AgentHelperWrapper::LaunchCloneHelper(): Failed to launch agent helper process"));
  LogCapture closeLog;
  AgentHelperWrapper::Instance()->CloseHelperInServiceMode();
  EXPECT_TRUE(closeLog.Contains(
      LogLevel::Debug, L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Invalid Process Handle"));
}

// The Done-when: the golden image runs both helper steps against the stand-in in its own process.
TEST_F(AgentHelperWrapperTest, TemplateAndCloneHelpersRunEndToEnd) {
  SetServerDn(kServerDn);
  test::InstallHelperStandIn();
  auto* wrapper = AgentHelperWrapper::Instance();
  LogCapture log;
  ASSERT_TRUE(wrapper->LaunchTemplateHelper());
  EXPECT_TRUE(log.Contains(
      LogLevel::Trace,
      L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Agent helper signalled it is ready"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"SendMsgToHelper(): About to send a message to agent helper over mfw with queue/hint: TemplateHelper/PrepInternalTemplate"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"SendMsgToHelper(): Successfully sent above message to agent helper over mfw and got expected response"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Agent helper exited gracefully"));
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"KvCallWithRetry(): KeyVault call 'getpublic' succeeded on attempt 1"));

  ASSERT_TRUE(wrapper->LaunchCloneHelper(L"PrepClone", L"dc01.vdi.example.int", L"Default-First-Site-Name"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"SendMsgToHelper(): About to send a message to agent helper over mfw with queue/hint: CloneHelper/PrepClone"));

  // The key vault kept its master key: the second template step does not make another.
  LogCapture second;
  ASSERT_TRUE(wrapper->LaunchTemplateHelper());
  EXPECT_TRUE(second.Contains(LogLevel::Debug, L"KvCallWithRetry(): KeyVault call 'latest' succeeded on attempt 1"));
  EXPECT_FALSE(second.Contains(LogLevel::Debug, L"'addmaster'"));
}

TEST_F(AgentHelperWrapperTest, HelperErrorTextFailsTheStep) {
  SetServerDn(kServerDn);
  test::InstallHelperStandIn();
  test::SetStandInFault("helper.error", "clone preparation failed");
  LogCapture log;
  EXPECT_FALSE(AgentHelperWrapper::Instance()->LaunchCloneHelper(L"PrepClone", L"dc01", L"site"));
  EXPECT_TRUE(log.Contains(LogLevel::Error,
                           L"SendMsgToHelper(): The response bag contains an error text: clone preparation failed"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Debug,
      L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Agent helper exited gracefully"));
  test::ClearStandInFault("helper.error");
}

TEST_F(AgentHelperWrapperTest, RunProcessReturnsTheExitCode) {
  auto* wrapper = AgentHelperWrapper::Instance();
  std::wstring program = test::TestProgramPath("velocyn_test_child").wstring();
  LogCapture log;
  EXPECT_EQ(wrapper->RunProcess(program, L"--exit 7"), 7u);
  EXPECT_TRUE(log.Contains(LogLevel::Debug, L"tamber::core::util::AgentHelperWrapper::RunProcess(): Command line: \"" +
                                                program + L"\" --exit 7 finished with exit code: 7"));
  EXPECT_EQ(wrapper->RunProcess(L"C:\\Windows\\velocyn-no-such-program.exe", L"/x"), 2u);
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::core::util::AgentHelperWrapper::RunProcess(): Unable to create process with the above command. Error code: 0x80070002"));
}

}  // namespace
}  // namespace tamber::core::util
