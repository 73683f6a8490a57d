// The message framework over the local channel: a server and a client in one process, each with
// its own framework and threads, as the agent and the helper are in two.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/windows/Handles.h"
#include "framework/message/MessageFrameWork.h"
#include "framework/message/PacketFrame.h"
#include "platform/Sync.h"
#include "platform/Types.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using CORE::MessageChannelPtr;
using CORE::MessageFrameWork;
using CORE::PropertyBag;
using CORE::ResponseType;
using Bytes = std::vector<uint8_t>;

std::wstring UniqueChannelName() {
  static std::atomic<int> next{0};
  return L"velocyn-test-" + std::to_wstring(platform::GetCurrentProcessId()) + L"-" + std::to_wstring(next++);
}

class MessageChannelTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    channelName_ = UniqueChannelName();
    ASSERT_TRUE(server_.Start());
    server_.RegisterQueueHandler(L"Echo", [](const CORE::Message& request, PropertyBag* response) {
      *response = request.bag;
      response->AddText(L"hint", request.queueHint);
      response->AddText(L"resultText", L"Ack");
      return ResponseType::Ok;
    });
    ASSERT_TRUE(server_.Listen(channelName_));
    ASSERT_TRUE(client_.Start());
    ASSERT_TRUE(client_.IsReady());
    ASSERT_TRUE(client_.Connect(channelName_, &channel_));
  }
  void TearDown() override {
    client_.Stop();
    server_.Stop();
    test::GuestTest::TearDown();
  }

  std::wstring channelName_;
  MessageFrameWork server_;
  MessageFrameWork client_;
  MessageChannelPtr channel_;
};

TEST_F(MessageChannelTest, RequestAndResponseRoundTrip) {
  PropertyBag request, response;
  request.AddText(L"ad-server-name", L"dc01.example.test");
  request.AddBag(L"transform").AddText(L"KP_ALGID", L"SHA256");
  request.AddBinary(L"bindatatosign", Bytes{0, 1, 2, 0xFF});
  ASSERT_EQ(client_.Send(channel_, L"Echo", L"PrepClone", request, 10000, &response), ResponseType::Ok);
  std::wstring text;
  EXPECT_TRUE(response.GetText(L"resultText", &text));
  EXPECT_EQ(text, L"Ack");
  EXPECT_TRUE(response.GetText(L"hint", &text));
  EXPECT_EQ(text, L"PrepClone");
  EXPECT_TRUE(response.GetText(L"ad-server-name", &text));
  EXPECT_EQ(text, L"dc01.example.test");
  ASSERT_NE(response.GetBag(L"transform"), nullptr);
  Bytes data;
  EXPECT_TRUE(response.GetBinary(L"bindatatosign", &data));
  EXPECT_EQ(data, (Bytes{0, 1, 2, 0xFF}));
  EXPECT_FALSE(response.HasErrorText());
}

TEST_F(MessageChannelTest, UnknownQueueAndHandlerErrors) {
  PropertyBag response;
  EXPECT_EQ(client_.Send(channel_, L"TemplateHelper", L"PrepInternalTemplate", PropertyBag(), 10000, &response),
            ResponseType::NoQueueHandler);
  EXPECT_STREQ(CORE::ResponseTypeName(ResponseType::NoQueueHandler), "NoQueueHandler");

  server_.RegisterQueueHandler(L"KeyVault", [](const CORE::Message&, PropertyBag* out) {
    out->SetErrorText(L"busy");
    out->SetErrorCode(30001);
    return ResponseType::Error;
  });
  server_.RegisterQueueHandler(
      L"Throws", [](const CORE::Message&, PropertyBag*) -> ResponseType { throw std::runtime_error("bad handler"); });
  EXPECT_EQ(client_.Send(channel_, L"KeyVault", L"getrandom", PropertyBag(), CORE::kNoTimeout, &response),
            ResponseType::Error);
  EXPECT_EQ(response.GetErrorText(), L"busy");
  EXPECT_EQ(response.GetErrorCode(), 30001);
  EXPECT_EQ(client_.Send(channel_, L"Throws", L"", PropertyBag(), 10000, &response), ResponseType::Error);
  EXPECT_TRUE(response.HasErrorText());
  // The connection survives both.
  EXPECT_EQ(client_.Send(channel_, L"Echo", L"", PropertyBag(), 10000, &response), ResponseType::Ok);
}

TEST_F(MessageChannelTest, SlowHandlerTimesOutAndTheChannelGoesOn) {
  common::windows::UniqueHandle release(platform::CreateEvent(true, false, nullptr));
  platform::Handle releaseHandle = release.get();
  server_.RegisterQueueHandler(L"Slow", [releaseHandle](const CORE::Message&, PropertyBag* out) {
    platform::WaitForSingleObject(releaseHandle, 60000);
    out->AddText(L"late", L"yes");
    return ResponseType::Ok;
  });
  PropertyBag response;
  EXPECT_EQ(client_.Send(channel_, L"Slow", L"", PropertyBag(), 300, &response), ResponseType::Timeout);
  EXPECT_TRUE(response.Empty());
  platform::SetEvent(releaseHandle);
  // The late answer is dropped; the next request gets its own answer.
  ASSERT_EQ(client_.Send(channel_, L"Echo", L"next", PropertyBag(), 10000, &response), ResponseType::Ok);
  EXPECT_FALSE(response.Contains(L"late"));
}

TEST_F(MessageChannelTest, MessagesAboveTwoMegabytesTravelInChunks) {
  Bytes blob(5 * 1024 * 1024 + 17);
  std::mt19937 rng(7);
  for (auto& b : blob) b = static_cast<uint8_t>(rng());
  PropertyBag request, response;
  request.AddBinary(L"blob", blob);
  request.AddText(L"after", L"tail");
  ASSERT_EQ(client_.Send(channel_, L"Echo", L"big", request, 60000, &response), ResponseType::Ok);
  Bytes back;
  ASSERT_TRUE(response.GetBinary(L"blob", &back));
  EXPECT_TRUE(back == blob);
  std::wstring text;
  EXPECT_TRUE(response.GetText(L"after", &text));
  EXPECT_EQ(text, L"tail");
}

TEST_F(MessageChannelTest, ConcurrentSendersGetTheirOwnAnswers) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        PropertyBag request, response;
        request.AddInteger(L"n", t * 1000 + i);
        int64_t n = -1;
        if (client_.Send(channel_, L"Echo", L"", request, 20000, &response) != ResponseType::Ok ||
            !response.GetInteger(L"n", &n) || n != t * 1000 + i) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(MessageChannelTest, OneConnectionPerRequestAsTheAgentDoes) {
  for (int i = 0; i < 25; ++i) {
    MessageFrameWork agent;
    ASSERT_TRUE(agent.Start());
    MessageChannelPtr channel;
    ASSERT_TRUE(agent.Connect(channelName_, &channel));
    PropertyBag response;
    ASSERT_EQ(agent.Send(channel, L"Echo", L"", PropertyBag(), 10000, &response), ResponseType::Ok);
    agent.Close(channel);
    agent.Stop();
  }
}

TEST_F(MessageChannelTest, FilterTagsDecideDispatch) {
  server_.SetTagFilter({L"agent"});
  server_.RegisterQueueHandler(L"Tags", [](const CORE::Message& request, PropertyBag* out) {
    out->AddText(L"sawTags", request.bag.Contains(CORE::kFilterTagsName) ? L"yes" : L"no");
    return ResponseType::Ok;
  });
  PropertyBag request, response;
  request.AddText(CORE::kFilterTagsName, L"desktop;other");
  EXPECT_EQ(client_.Send(channel_, L"Tags", L"", request, 10000, &response), ResponseType::RoutingFailed);
  request.Clear();
  request.AddText(CORE::kFilterTagsName, L"other;agent");
  ASSERT_EQ(client_.Send(channel_, L"Tags", L"", request, 10000, &response), ResponseType::Ok);
  std::wstring saw;
  EXPECT_TRUE(response.GetText(L"sawTags", &saw));
  EXPECT_EQ(saw, L"no");
}

TEST_F(MessageChannelTest, ClosedAndMissingChannels) {
  MessageChannelPtr nowhere;
  EXPECT_FALSE(client_.Connect(UniqueChannelName(), &nowhere));
  EXPECT_EQ(nowhere, nullptr);

  // A second server may not take a name that is being served.
  MessageFrameWork other;
  ASSERT_TRUE(other.Start());
  EXPECT_FALSE(other.Listen(channelName_));
  server_.Stop();
  PropertyBag response;
  EXPECT_EQ(client_.Send(channel_, L"Echo", L"", PropertyBag(), 10000, &response), ResponseType::RoutingFailed);
  client_.Close(channel_);
  client_.Stop();
  EXPECT_FALSE(client_.IsReady());
  EXPECT_EQ(client_.Send(channel_, L"Echo", L"", PropertyBag(), 10000, &response), ResponseType::ShuttingDown);
  // The name is free again once its server stopped.
  EXPECT_TRUE(other.Listen(channelName_));
}

class MessageFrameTest : public test::GuestTest {};

TEST_F(MessageFrameTest, ResponseTypeNames) {
  const char* expected[] = {"Ok",        "Error",        "RoutingFailed", "NoQueueHandler", "NotAuthorized", "Timeout",
                            "Cancelled", "ShuttingDown", "QueuePaused",   "SizeTooBig",     "SystemBusy"};
  for (uint32_t i = 0; i < 11; ++i) EXPECT_STREQ(CORE::ResponseTypeName(i), expected[i]);
  EXPECT_STREQ(CORE::ResponseTypeName(11u), "<UNKNOWN>");
  EXPECT_STREQ(CORE::ResponseTypeName(0xFFFFFFFFu), "<UNKNOWN>");
}

TEST_F(MessageFrameTest, FrameWordAndChunks) {
  EXPECT_EQ(CORE::EncodeFrameWord(0x1FFFFF, 0x7FF), 0xFFFFFFFFu);
  EXPECT_EQ(CORE::EncodeFrameWord(5, CORE::kFrameChunkLast), (4u << 21) | 5u);

  Bytes message(1000);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7);
  Bytes stream;
  std::vector<uint32_t> words;
  auto sink = [&](const uint8_t* data, size_t size) {
    words.push_back((uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3]);
    stream.insert(stream.end(), data, data + size);
    return true;
  };
  ASSERT_TRUE(CORE::WriteFramedMessage(message.data(), message.size(), 0x0102030405060708ull, sink, 300));
  ASSERT_EQ(words.size(), 4u);  // 284 + 292 + 292 + 132
  EXPECT_EQ(words[0] >> 21, CORE::kFrameChunkFirst);
  EXPECT_EQ(words[1] >> 21, CORE::kFrameChunkNext);
  EXPECT_EQ(words[3] >> 21, CORE::kFrameChunkLast);
  for (uint32_t word : words) EXPECT_LE(word & CORE::kPacketSizeMask, 300u);

  size_t at = 0;
  auto source = [&](uint8_t* data, size_t size) {
    if (stream.size() - at < size) return false;
    std::copy(stream.begin() + at, stream.begin() + at + size, data);
    at += size;
    return true;
  };
  CORE::FrameReader reader(1 << 20);
  Bytes back;
  ASSERT_TRUE(reader.ReadMessage(source, &back));
  EXPECT_EQ(back, message);
  EXPECT_FALSE(reader.ReadMessage(source, &back));  // end of stream

  // Framing faults are refused.
  test::LogCapture log;
  const uint8_t id[8] = {0, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t otherId[16] = {0, 0, 0, 0, 0, 0, 0, 2};
  uint8_t first[20] = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 10, 'a', 'b', 'c', 'd'};
  using R = CORE::FrameReader::Result;
  CORE::FrameReader strict(64);
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkNext, id, 8, &back), R::Error);
  EXPECT_EQ(strict.AddPacket(0x010, id, 8, &back), R::Error);
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkFirst, first, 20, &back), R::NeedMore);
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkLast, otherId, 12, &back), R::Error);
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkFirst, first, 20, &back), R::NeedMore);
  uint8_t tooMuch[16] = {0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkLast, tooMuch, 16, &back), R::Error);  // 4 + 8 > 10
  first[15] = 200;  // announces more than the reader accepts
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkFirst, first, 20, &back), R::Error);
  first[15] = 10;
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkFirst, first, 20, &back), R::NeedMore);
  uint8_t rest[14] = {0, 0, 0, 0, 0, 0, 0, 1, 'e', 'f', 'g', 'h', 'i', 'j'};
  EXPECT_EQ(strict.AddPacket(CORE::kFrameChunkLast, rest, 14, &back), R::Message);
  EXPECT_EQ(std::string(back.begin(), back.end()), "abcdefghij");
  EXPECT_TRUE(
      log.Contains(LogLevel::Error, L"CORE::FrameReader::AddPacket(): Invalid packet, chunk of another message"));
}

}  // namespace
}  // namespace tamber
