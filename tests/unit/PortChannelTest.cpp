// The Talvora hypervisor's port-I/O message protocol against an emulated hypervisor: the emulator checks every
// register the guest sets (magic, port, command, channel, cookie) and answers as the hypervisor does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/util/GuestInfo.h"
#include "core/util/RpcOut.h"
#include "platform/Environment.h"
#include "platform/guestrpc/PortChannel.h"
#include "support/HypervisorDirectory.h"

namespace tamber::platform::guestrpc {
namespace {

using namespace talvora;

class EmulatedHypervisor : public PortIo {
 public:
  // What the emulator is told to do.
  bool acceptOpen = true;
  bool acceptCookie = true;
  bool highBandwidth = false;
  bool failClose = false;
  int checkpointsOnBlockSend = 0;   // block sends answered "saved mid-transfer" before one succeeds
  uint32_t announcedReplySize = 0;  // non-zero: lie about the reply's size
  std::function<std::string(const std::string&)> handler = [](const std::string& command) {
    return "1 " + command + "!";
  };

  // What it saw.
  std::vector<uint32_t> openProtocols;
  std::vector<std::string> commands;
  int registerAccesses = 0;
  int blockSends = 0;
  int blockReceives = 0;
  int closes = 0;
  int badCalls = 0;  // accesses with a wrong magic, port, channel or cookie

  void In(PortRegisters& r) override {
    ++registerAccesses;
    if (r.eax != kMagic || (r.edx & 0xFFFF) != kPort || (r.ecx & 0xFFFF) != kCommandMessage) return Bad(r);
    uint16_t sub = static_cast<uint16_t>(r.ecx >> 16);
    if (sub == kOpen) return Open(r);
    if (!open_ || (r.edx >> 16) != kChannel || r.esi != cookieHigh_ || r.edi != cookieLow_) return Bad(r);
    switch (sub) {
      case kSendSize:
        message_.clear();
        expected_ = r.ebx;
        if (expected_ == 0) Complete();
        return Status(r, kStatusSuccess | (highBandwidth ? kStatusHighBandwidth : 0));
      case kSendPayload: {
        size_t take = std::min<size_t>(4, expected_ - message_.size());
        message_.append(reinterpret_cast<const char*>(&r.ebx), take);
        if (message_.size() == expected_) Complete();
        return Status(r, kStatusSuccess);
      }
      case kReceiveSize:
        if (reply_.empty()) return Status(r, kStatusSuccess);
        r.ebx = announcedReplySize != 0 ? announcedReplySize : static_cast<uint32_t>(reply_.size());
        r.edx = (uint32_t{kTypeSendSize} << 16) | (r.edx & 0xFFFF);
        return Status(r, kStatusSuccess | kStatusDoReceive | (highBandwidth ? kStatusHighBandwidth : 0));
      case kReceivePayload: {
        if (r.ebx != kStatusSuccess) return Bad(r);
        uint32_t chunk = 0;
        std::memcpy(&chunk, reply_.data() + sent_, std::min<size_t>(4, reply_.size() - sent_));
        sent_ += std::min<size_t>(4, reply_.size() - sent_);
        r.ebx = chunk;
        r.edx = (uint32_t{kTypeSendPayload} << 16) | (r.edx & 0xFFFF);
        return Status(r, kStatusSuccess);
      }
      case kReceiveStatus:
        if (sent_ != reply_.size() && !highBandwidth) return Bad(r);
        reply_.clear();
        return Status(r, kStatusSuccess);
      case kClose:
        ++closes;
        if (failClose) return Status(r, 0);
        open_ = false;
        return Status(r, kStatusSuccess);
      default:
        return Bad(r);
    }
  }

  void OutBlock(PortRegisters& r, const uint8_t* data) override {
    ++blockSends;
    if (!BlockCallOk(r) || r.edi != cookieLow_ || r.ebp != cookieHigh_ || r.ecx != expected_) {
      ++badCalls;
      r.ebx = 0;
      return;
    }
    if (checkpointsOnBlockSend > 0) {
      --checkpointsOnBlockSend;
      r.ebx = uint32_t{kStatusCheckpoint} << 16;
      return;
    }
    message_.assign(reinterpret_cast<const char*>(data), r.ecx);
    Complete();
    r.ebx = uint32_t{kStatusSuccess} << 16;
  }

  void InBlock(PortRegisters& r, uint8_t* data) override {
    ++blockReceives;
    if (!BlockCallOk(r) || r.esi != cookieHigh_ || r.ebp != cookieLow_ || r.ecx != reply_.size()) {
      ++badCalls;
      r.ebx = 0;
      return;
    }
    std::memcpy(data, reply_.data(), reply_.size());
    r.ebx = uint32_t{kStatusSuccess} << 16;
  }

 private:
  static constexpr uint16_t kChannel = 7;

  void Open(PortRegisters& r) {
    openProtocols.push_back(r.ebx);
    bool cookie = (r.ebx & kFlagCookie) != 0;
    if (!acceptOpen || (r.ebx & ~kFlagCookie) != kProtocolRpci || (cookie && !acceptCookie)) return Status(r, 0);
    open_ = true;
    cookieHigh_ = cookie ? 0xC0FFEE01 : 0;
    cookieLow_ = cookie ? 0x5EED0002 : 0;
    r.edx = (uint32_t{kChannel} << 16) | (r.edx & 0xFFFF);
    r.esi = cookieHigh_;
    r.edi = cookieLow_;
    Status(r, kStatusSuccess);
  }
  bool BlockCallOk(const PortRegisters& r) const {
    return open_ && r.eax == kMagic && (r.edx & 0xFFFF) == kHighBandwidthPort && (r.edx >> 16) == kChannel &&
           r.ebx == (uint32_t{kStatusSuccess} << 16 | kBlockMessage);
  }
  void Complete() {
    commands.push_back(message_);
    reply_ = handler(message_);
    sent_ = 0;
  }
  static void Status(PortRegisters& r, uint16_t status) { r.ecx = uint32_t{status} << 16; }
  void Bad(PortRegisters& r) {
    ++badCalls;
    Status(r, 0);
  }

  bool open_ = false;
  uint32_t cookieHigh_ = 0;
  uint32_t cookieLow_ = 0;
  uint32_t expected_ = 0;
  std::string message_;
  std::string reply_;
  size_t sent_ = 0;
};

// A machine that is not the golden image, so GuestInfo uses the channel.
class ChannelContext : public core::util::GuestInfoContext {
 public:
  bool IsGoldenImage() override { return false; }
  int32_t GetMirrorValue(const std::wstring&, std::wstring* value) override {
    value->clear();
    return 0;
  }
  int32_t SetMirrorValue(const std::wstring&, const std::wstring&) override { return 0; }
  std::string GetRoleText() override { return "clone"; }
};

// CPUID as a machine answers it: the hypervisor-present bit and a 12-byte vendor signature.
struct EmulatedCpu {
  bool hypervisorPresent = true;
  std::string signature = kSignature;
  int queries = 0;

  void operator()(uint32_t leaf, uint32_t r[4]) {
    ++queries;
    r[0] = r[1] = r[2] = r[3] = 0;
    if (leaf == kCpuidFeatureLeaf) {
      r[2] = hypervisorPresent ? kHypervisorPresentBit : 0;
    } else if (leaf == kCpuidVendorLeaf && hypervisorPresent) {
      char bytes[12] = {};
      std::memcpy(bytes, signature.data(), std::min<size_t>(12, signature.size()));
      std::memcpy(&r[1], bytes, 4);
      std::memcpy(&r[2], bytes + 4, 4);
      std::memcpy(&r[3], bytes + 8, 4);
    }
  }
};

class PortChannelTest : public ::testing::Test {
 protected:
  ChannelContext context;
  EmulatedHypervisor hypervisor;
  EmulatedCpu cpu;
  PortChannel channel{hypervisor, [this](uint32_t leaf, uint32_t r[4]) { cpu(leaf, r); }};
};

TEST_F(PortChannelTest, FourBytesPerExchangeWithCookie) {
  // Every length modulo 4, both ways, including the empty command and the empty reply.
  for (size_t length = 0; length < 10; ++length) {
    std::string command(length, 'a');
    for (size_t i = 0; i < length; ++i) command[i] = static_cast<char>('a' + i);
    std::string reply;
    ASSERT_EQ(channel.Exchange(command, &reply), GuestRpcError::kNone) << length;
    EXPECT_EQ(reply, "1 " + command + "!");
  }
  hypervisor.handler = [](const std::string&) { return std::string(); };
  std::string reply = "stale";
  EXPECT_EQ(channel.Exchange("log 'x'", &reply), GuestRpcError::kNone);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(hypervisor.badCalls, 0);
  EXPECT_EQ(hypervisor.blockSends + hypervisor.blockReceives, 0);
  EXPECT_EQ(hypervisor.closes, 11);
  EXPECT_EQ(hypervisor.openProtocols, std::vector<uint32_t>(11, kProtocolRpci | kFlagCookie));
}

TEST_F(PortChannelTest, RetriesTheOpenWithoutTheCookie) {
  hypervisor.acceptCookie = false;
  std::string reply;
  ASSERT_EQ(channel.Exchange("info-get guestinfo.hostName", &reply), GuestRpcError::kNone);
  EXPECT_EQ(reply, "1 info-get guestinfo.hostName!");
  EXPECT_EQ(hypervisor.openProtocols, (std::vector<uint32_t>{kProtocolRpci | kFlagCookie, kProtocolRpci}));
  EXPECT_EQ(hypervisor.badCalls, 0);
}

TEST_F(PortChannelTest, HighBandwidthBlocks) {
  hypervisor.highBandwidth = true;
  std::string command = "info-set guestinfo.clone.ves.vmhubconfig " + std::string(100000, 'v');
  command[50] = '\0';  // bytes travel as they are
  std::string reply;
  ASSERT_EQ(channel.Exchange(command, &reply), GuestRpcError::kNone);
  EXPECT_EQ(reply, "1 " + command + "!");
  EXPECT_EQ(hypervisor.commands.back(), command);
  EXPECT_EQ(hypervisor.blockSends, 1);
  EXPECT_EQ(hypervisor.blockReceives, 1);
  EXPECT_EQ(hypervisor.badCalls, 0);

  // A save of the machine in the middle of a block send: the block goes again.
  hypervisor.checkpointsOnBlockSend = 2;
  ASSERT_EQ(channel.Exchange("log 'after a snapshot'", &reply), GuestRpcError::kNone);
  EXPECT_EQ(reply, "1 log 'after a snapshot'!");
  EXPECT_EQ(hypervisor.blockSends, 4);
}

TEST_F(PortChannelTest, RefusingHypervisor) {
  hypervisor.acceptOpen = false;
  std::string reply;
  EXPECT_EQ(channel.Exchange("info-get guestinfo.hostName", &reply), GuestRpcError::kOpen);
  EXPECT_EQ(hypervisor.openProtocols.size(), 2u);
  EXPECT_EQ(hypervisor.registerAccesses, 2);  // the two opens, nothing more

  std::optional<std::string> text;
  EXPECT_FALSE(core::util::RpcOut::SendOne(channel, "info-get guestinfo.hostName", &text));
  EXPECT_EQ(text, std::string("RpcOut: Unable to open the communication channel"));
}

TEST_F(PortChannelTest, OnlyTalvorasSignatureOpensTheChannel) {
  // Another hypervisor's signature, a near miss, a bare machine: the channel never opens, no port is
  // touched, and the guest sees the channel's open failure.
  const std::vector<std::pair<bool, std::string>> machines = {
      {true, "SomeOtherHyp"}, {true, "TalvoraQuorw"}, {true, std::string(12, '\0')}, {false, kSignature}};
  for (const auto& [present, signature] : machines) {
    cpu.hypervisorPresent = present;
    cpu.signature = signature;
    EXPECT_FALSE(IsTalvoraHypervisor([this](uint32_t leaf, uint32_t r[4]) { cpu(leaf, r); })) << signature;
    std::optional<std::string> text;
    EXPECT_FALSE(core::util::RpcOut::SendOne(channel, "info-get guestinfo.hostName", &text)) << signature;
    EXPECT_EQ(text, std::string("RpcOut: Unable to open the communication channel"));
    core::util::GuestInfo guestInfo(&context, &channel);
    std::string value;
    EXPECT_FALSE(guestInfo.GetValue("hostName", &value));
    EXPECT_FALSE(guestInfo.Log("hello"));
  }
  EXPECT_EQ(hypervisor.registerAccesses + hypervisor.blockSends + hypervisor.blockReceives, 0);
  EXPECT_GT(cpu.queries, 0);
  EXPECT_FALSE(IsTalvoraHypervisor(Cpuid()));

  // Talvora's own signature opens it.
  cpu.hypervisorPresent = true;
  cpu.signature = kSignature;
  std::string reply;
  EXPECT_EQ(channel.Exchange("log 'x'", &reply), GuestRpcError::kNone);
  EXPECT_EQ(hypervisor.badCalls, 0);
}

TEST_F(PortChannelTest, FailedStepsCloseTheChannel) {
  std::string reply;
  hypervisor.failClose = true;
  EXPECT_EQ(channel.Exchange("log 'x'", &reply), GuestRpcError::kClose);
  hypervisor.failClose = false;

  // A reply size beyond any sane value is refused, not allocated.
  hypervisor.announcedReplySize = kMaxReply + 1;
  EXPECT_EQ(channel.Exchange("info-get guestinfo.x", &reply), GuestRpcError::kReceive);
  EXPECT_EQ(reply, "");
  hypervisor.announcedReplySize = 0;

  hypervisor.highBandwidth = true;
  hypervisor.checkpointsOnBlockSend = 10;  // never gets through
  EXPECT_EQ(channel.Exchange("log 'x'", &reply), GuestRpcError::kSend);
  EXPECT_EQ(hypervisor.closes, 3);
  EXPECT_EQ(hypervisor.badCalls, 0);
}

TEST_F(PortChannelTest, GuestInfoOverThePorts) {
  std::map<std::string, std::string> variables;
  hypervisor.handler = [&](const std::string& command) -> std::string {
    const std::string set = "info-set guestinfo.", get = "info-get guestinfo.";
    if (command.rfind(set, 0) == 0) {
      auto blank = command.find(' ', set.size());
      variables[command.substr(set.size(), blank - set.size())] = command.substr(blank + 1);
      return "1 ";
    }
    if (command.rfind(get, 0) == 0) {
      auto it = variables.find(command.substr(get.size()));
      return it == variables.end() ? "0 No value found" : "1 " + it->second;
    }
    return "0 Unknown command";
  };
  core::util::GuestInfo guestInfo(&context, &channel);
  EXPECT_TRUE(guestInfo.SetValue("AgentCustomizationFlags", 2176));
  std::string value;
  EXPECT_TRUE(guestInfo.GetValue("AgentCustomizationFlags", &value));
  EXPECT_EQ(value, "2176");
  EXPECT_FALSE(guestInfo.GetValue("forked", &value));
  EXPECT_TRUE(guestInfo.SetValue("forked", ""));
  EXPECT_FALSE(guestInfo.IsGuestInfoVmStateSet("forked"));
}

// Where CPUID shows no Talvora hypervisor, the Windows build says in one line why guestinfo is missing
// or where it goes instead; the simulated guest's channel is always its machine's hypervisor.
TEST(GuestRpcChannelNoteTest, SaysWhyTheTalvoraChannelIsNotUsed) {
  if (IsRunningUnderHypervisor()) GTEST_SKIP() << "a Talvora machine always uses its ports";
  std::string note;
  {
    test::ScopedHypervisorDirectory directory("note");
    ASSERT_TRUE(directory.Ok());
    note = GuestRpcChannelNote();
    if (note.empty()) GTEST_SKIP() << "the simulated guest's channel is its machine's hypervisor";
    EXPECT_NE(note.find("CPUID shows no Talvora hypervisor"), std::string::npos) << note;
    EXPECT_NE(note.find(directory.Path().filename().string()), std::string::npos) << note;
    EXPECT_NE(note.find("(VELOCYN_HYPERVISOR_DIR)"), std::string::npos) << note;
  }
  wchar_t outer[8];
  if (GetEnvironmentVariable(L"VELOCYN_HYPERVISOR_DIR", outer, 8) != 0) return;  // the caller's own directory
  note = GuestRpcChannelNote();
  EXPECT_NE(note.find("guestinfo and the hypervisor log are unavailable"), std::string::npos) << note;
}

}  // namespace
}  // namespace tamber::platform::guestrpc
