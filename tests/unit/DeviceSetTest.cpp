// The device-information set of the network class and the walk over it, against whatever machine the
// tier has: the simulated guest (no adapters), or the Wine prefix, whose device installer has no network
// adapters to offer. Nothing here may restart a real adapter: the restart runs only on a machine where the
// walk finds no device that could be restarted.
#include <gtest/gtest.h>

#include <memory>

#include "common/device/DeviceSet.h"
#include "common/device/Util.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Devices.h"
#include "platform/Registry.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::windows::UniqueHKey;
using common::windows::device::DeviceSet;
using common::windows::device::Util;
using test::LogCapture;

class DeviceSetTest : public test::GuestTest {};

// Enumerates the set as the restart does, reading only; returns the number of devices whose driver has a
// configurable network address (the ones a restart would touch). Fails the test if the walk never ends.
size_t CountRestartable(platform::HDevInfo set) {
  size_t restartable = 0;
  platform::SpDevinfoData device{};
  device.cbSize = sizeof device;
  uint32_t index = 0;
  for (; index < 256 && platform::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    platform::HKey raw = platform::SetupDiOpenDevRegKey(set, &device, platform::kDicsFlagGlobal, 0, platform::kDiregDrv,
                                                        platform::kKeyRead);
    UniqueHKey driverKey(raw == platform::InvalidHandleValue() ? nullptr : raw);
    if (!driverKey) continue;
    UniqueHKey param;
    if (platform::RegOpenKeyEx(driverKey.get(), L"Ndi\\Params\\NetworkAddress", 0, platform::kKeyRead, param.put()) ==
        0) {
      ++restartable;
    }
  }
  EXPECT_LT(index, 256u) << "enumeration must end";
  if (index < 256) {
    EXPECT_EQ(platform::GetLastError(), platform::kErrorNoMoreItems);
  }
  return restartable;
}

TEST_F(DeviceSetTest, NetworkClassSetOpensAndItsWalkEnds) {
  LogCapture log;
  bool ok = false;
  auto set = std::make_shared<DeviceSet>(platform::kGuidDevClassNet, platform::kDigcfPresent, ok);
  ASSERT_TRUE(ok);
  ASSERT_NE(set->Get(), platform::InvalidHandleValue());
  CountRestartable(set->Get());
  // Each set is its own: a second one opens beside the first and both close on their own.
  bool secondOk = false;
  {
    DeviceSet second(platform::kGuidDevClassNet, platform::kDigcfPresent, secondOk);
    EXPECT_TRUE(secondOk);
    EXPECT_NE(second.Get(), set->Get());
  }
  CountRestartable(set->Get());
  framework::log::FlushLog();
  EXPECT_FALSE(log.Contains(LogLevel::Error, L"DeviceSet::DeviceSet()"));
}

TEST_F(DeviceSetTest, RestartWithNothingToRestartReportsFalse) {
  bool ok = false;
  DeviceSet set(platform::kGuidDevClassNet, platform::kDigcfPresent, ok);
  ASSERT_TRUE(ok);
  if (CountRestartable(set.Get()) != 0) GTEST_SKIP() << "this machine has adapters the restart would really restart";

  LogCapture log;
  EXPECT_FALSE(Util().RenewMacAddress());
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): About To Reset Nic"),
            1u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): Failed Resetting Nic"),
      1u);
  EXPECT_EQ(
      log.Count(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewMacAddress(): Total Time To Set Mac: "),
      1u);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, L"Failed to get nic list"));
}

}  // namespace
}  // namespace tamber
