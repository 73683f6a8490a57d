// The simulated hypervisor: the machine directory's hypervisor side, reached by GuestInfo through the
// machine's transport. It answers as the hypervisor does and keeps its state through guest power cuts.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "core/util/GuestInfo.h"
#include "core/util/Registry.h"
#include "core/util/RpcOut.h"
#include "core/util/Singleton.h"
#include "framework/log/Log.h"
#include "platform/GuestRpc.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "support/TestEnvironment.h"

namespace tamber::platform::guestrpc {
namespace {

using core::util::GuestInfo;
using sim::Machine;

class SimHypervisorTest : public test::GuestTest {
 protected:
  std::filesystem::path HypervisorDir() const { return Machine::Directory() / "hypervisor"; }
};

TEST_F(SimHypervisorTest, ValuesSurviveAGuestPowerCut) {
  {
    GuestInfo guestInfo;
    ASSERT_TRUE(guestInfo.SetValue("AgentCustomizationFlags", 2176));
    ASSERT_TRUE(guestInfo.SetValue("clone.CustomizationState", "running"));
    // The guest's own unflushed write, for contrast.
    ASSERT_EQ(core::util::Registry::Instance()->SetValue(L"CloneRenamed", 1u, core::util::regtype::kGa), 0);
  }
  auto dir = Machine::Directory();
  core::util::ResetSingletonsForTest();
  Machine::PowerCut();
  Machine::Boot(dir);

  GuestInfo guestInfo;
  std::string value;
  EXPECT_TRUE(guestInfo.GetValue("AgentCustomizationFlags", &value));
  EXPECT_EQ(value, "2176");
  EXPECT_TRUE(guestInfo.GetValue("clone.CustomizationState", &value));
  EXPECT_EQ(value, "running");
  uint32_t renamed = 0;
  const uint32_t absent = 0;
  core::util::Registry::Instance()->GetValue(L"CloneRenamed", &absent, &renamed, core::util::regtype::kGa);
  EXPECT_EQ(renamed, 0u);
}

TEST_F(SimHypervisorTest, ParsesCommandsAsTheHypervisorDoes) {
  SimHypervisor hypervisor(HypervisorDir());
  EXPECT_EQ(hypervisor.HandleCommand("info-get guestinfo.hostName"), "0 No value found");
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo.hostName DESKTOP 42"), "1 ");
  EXPECT_EQ(hypervisor.HandleCommand("info-get guestinfo.hostName"), "1 DESKTOP 42");
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo.hostName "), "1 ");  // cleared, still present
  EXPECT_EQ(hypervisor.HandleCommand("info-get guestinfo.hostName"), "1 ");
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo.hostName"), "0 Two and exactly two arguments expected");
  EXPECT_EQ(hypervisor.HandleCommand("info-set machine.id x"), "0 Invalid key");
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo. x"), "0 Invalid key");
  EXPECT_EQ(hypervisor.HandleCommand("info-get machine.id"), "0 Unknown key");
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo.big " + std::string(SimHypervisor::kMaxValueSize + 1, 'x')),
            "0 Value too long");
  EXPECT_EQ(hypervisor.HandleCommand("reboot now"), "0 Unknown command");
  EXPECT_EQ(hypervisor.HandleCommand(""), "0 Unknown command");

  // Any bytes in a value are kept as they are, across a fresh read of the directory.
  const std::string odd = "a=b\\x41\nline2\r\x01\x7F end";
  EXPECT_EQ(hypervisor.HandleCommand("info-set guestinfo.machinePasswd " + odd), "1 ");
  SimHypervisor again(HypervisorDir());
  EXPECT_EQ(again.GetVariable("machinePasswd"), odd);
  EXPECT_EQ(again.Variables().size(), 2u);
}

TEST_F(SimHypervisorTest, LogKeepsOneLinePerEntry) {
  GuestInfo guestInfo;
  EXPECT_TRUE(guestInfo.Log("Windows guest customization starts."));
  EXPECT_TRUE(guestInfo.Log("two\nlines"));
  auto tail = SimHypervisor(HypervisorDir()).LogTail(10);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_NE(tail[0].find("| guest| 'Windows guest customization starts.'"), std::string::npos) << tail[0];
  EXPECT_NE(tail[1].find("'two lines'"), std::string::npos) << tail[1];
  EXPECT_EQ(SimHypervisor(HypervisorDir()).LogTail(1).size(), 1u);
}

TEST_F(SimHypervisorTest, UnavailableChannelFailsCleanly) {
  sim::FaultPlan::Set("GuestRpcUnavailable", "1");
  std::optional<std::string> text;
  EXPECT_FALSE(core::util::RpcOut::SendOne(DefaultGuestRpcTransport(), "info-get guestinfo.hostName", &text));
  EXPECT_EQ(text, std::string("RpcOut: Unable to open the communication channel"));
  GuestInfo guestInfo;
  EXPECT_FALSE(guestInfo.IsGuestInfoVmStateSet("forked"));
  sim::FaultPlan::Set("GuestRpcUnavailable", std::nullopt);
  EXPECT_TRUE(guestInfo.SetValue("forked", "1"));
  EXPECT_TRUE(guestInfo.IsGuestInfoVmStateSet("forked"));
}

TEST_F(SimHypervisorTest, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      GuestInfo guestInfo;  // one per thread, as each user keeps its own
      for (int i = 0; i < 10; ++i) guestInfo.SetValue(("t" + std::to_string(t) + "." + std::to_string(i)).c_str(), i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(SimHypervisor(HypervisorDir()).Variables().size(), 40u);
}

}  // namespace
}  // namespace tamber::platform::guestrpc
