// The NIC restart against the simulated device installer: which adapters are restarted, what a failed or
// deferred state change counts as, that the new hardware address is taken, and the pauses in machine time.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/device/DeviceSet.h"
#include "common/device/Util.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Devices.h"
#include "platform/Registry.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/network/SimAdapters.h"
#include "support/TestEnvironment.h"

namespace tamber {
namespace {

using common::windows::device::Util;
using platform::sim::FaultPlan;
using platform::sim::Machine;
using platform::sim::SimAdapter;
using test::LogCapture;

constexpr const char* kGuidA = "{11111111-2222-3333-4444-555555555555}";
constexpr const char* kGuidB = "{66666666-7777-8888-9999-AAAAAAAAAAAA}";
const std::vector<uint8_t> kParentMac = {0x02, 0x54, 0x56, 0x01, 0x02, 0x03};
const std::vector<uint8_t> kCloneMacA = {0x02, 0x54, 0x56, 0x0A, 0x0B, 0x0C};
const std::vector<uint8_t> kCloneMacB = {0x02, 0x54, 0x56, 0x0D, 0x0E, 0x0F};
const std::wstring kReset = L"tamber::common::windows::device::Util::TamberResetNic(): ";
const std::wstring kDisable = L"tamber::common::windows::device::Util::TamberDisableNic(): ";
const std::wstring kEnable = L"tamber::common::windows::device::Util::TamberEnableNic(): ";
const std::wstring kRenew = L"tamber::common::windows::device::Util::RenewMacAddress(): ";

SimAdapter MakeAdapter(const std::string& guid, const std::vector<uint8_t>& assignedMac) {
  SimAdapter adapter;
  adapter.name = guid;
  adapter.description = "Talvora Virtual Ethernet Adapter";
  adapter.friendlyName = "Ethernet0";
  adapter.physicalAddress = kParentMac;
  adapter.index = 7;
  adapter.assignedMac = assignedMac;
  return adapter;
}

class NicResetSimTest : public test::GuestTest {
 protected:
  void SetUp() override {
    test::GuestTest::SetUp();
    platform::sim::SetTimeScale(1000);  // the 2 s pauses in 2 ms
  }
  void TearDown() override {
    platform::sim::SetTimeScale(1);
    test::GuestTest::TearDown();
  }

  void SetAdapters(const std::vector<SimAdapter>& adapters) {
    platform::sim::SaveAdapters(Machine::Directory(), adapters);
  }
  SimAdapter Adapter(size_t position) { return platform::sim::LoadAdapters(Machine::Directory()).at(position); }

  // Message texts in the order they were logged.
  std::vector<std::wstring> Texts(const LogCapture& log) {
    framework::log::FlushLog();
    std::vector<std::wstring> texts;
    for (const auto& entry : log.Entries()) texts.push_back(entry.text);
    return texts;
  }
  // Position of the first text at or after from that contains fragment, or npos.
  static size_t Find(const std::vector<std::wstring>& texts, const std::wstring& fragment, size_t from = 0) {
    for (size_t i = from; i < texts.size(); ++i) {
      if (texts[i].find(fragment) != std::wstring::npos) return i;
    }
    return std::wstring::npos;
  }
};

TEST_F(NicResetSimTest, AdapterWithoutNetworkAddressParameterIsNotRestarted) {
  SimAdapter adapter = MakeAdapter(kGuidA, kCloneMacA);
  adapter.hasNetworkAddressParam = false;
  SetAdapters({adapter});
  LogCapture log;

  EXPECT_FALSE(Util().RenewMacAddress());

  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Instance UUID: {11111111-2222-3333-4444-555555555555}"), 1u)
      << "the driver key was seeded with the adapter's GUID before enumeration";
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Failed to retrieve device Network Addr, Ignore"), 1u);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, kReset + L"Resetting Device"));
  EXPECT_EQ(log.Count(LogLevel::Debug, kRenew + L"Failed Resetting Nic"), 1u);
  EXPECT_TRUE(Adapter(0).deviceEnabled);
  EXPECT_EQ(Adapter(0).physicalAddress, kParentMac) << "not restarted, so the new address is still pending";
}

TEST_F(NicResetSimTest, DisabledOrFaultyDevicesAreLeftAsTheyAre) {
  SimAdapter disabled = MakeAdapter(kGuidA, kCloneMacA);
  disabled.deviceEnabled = false;
  SimAdapter faulty = MakeAdapter(kGuidB, kCloneMacB);
  faulty.problemCode = 10;  // CM_PROB_FAILED_START
  SetAdapters({disabled, faulty});
  LogCapture log;

  EXPECT_FALSE(Util().RenewMacAddress());

  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Device is disabled, skip it"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Device has status: 0x1802400 and issue 0xA, abort restarting it"),
            1u);
  EXPECT_FALSE(log.Contains(LogLevel::Debug, kReset + L"Resetting Device"));
  EXPECT_FALSE(Adapter(0).deviceEnabled) << "a disabled adapter stays disabled";
  EXPECT_EQ(Adapter(0).physicalAddress, kParentMac);
  EXPECT_EQ(Adapter(1).problemCode, 10u);
}

TEST_F(NicResetSimTest, EveryEligibleAdapterIsRestartedInOrderAndTakesItsNewAddress) {
  SimAdapter second = MakeAdapter(kGuidB, kCloneMacB);
  second.driverInstance = 7;  // driver keys need not follow the list
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA), second});
  LogCapture log;

  uint32_t start = platform::GetTickCount();
  EXPECT_TRUE(Util().RenewMacAddress());
  uint32_t elapsed = platform::GetTickCount() - start;

  EXPECT_EQ(Adapter(0).physicalAddress, kCloneMacA);
  EXPECT_EQ(Adapter(1).physicalAddress, kCloneMacB);
  EXPECT_TRUE(Adapter(0).deviceEnabled && Adapter(1).deviceEnabled);
  EXPECT_GE(elapsed, 8000u) << "2 s after each disable and each enable, in machine time";

  auto texts = Texts(log);
  std::vector<std::wstring> expected = {
      kRenew + L"About To Reset Nic",
      kReset + L"Current dev count: 0",
      kReset + L"Instance UUID: {11111111-2222-3333-4444-555555555555}",
      kReset + L"Resetting Device",
      kDisable + L"Disabled device",
      kReset + L"Nic Disabled",
      kEnable + L"Enabled device",
      kReset + L"Nic Enabled",
      kReset + L"Current dev count: 1",
      kReset + L"Instance UUID: {66666666-7777-8888-9999-AAAAAAAAAAAA}",
      kReset + L"Resetting Device",
      kReset + L"Nic Enabled",
      kRenew + L"Succeeded Restting Nic",
      kRenew + L"Total Time To Set Mac: ",
  };
  size_t at = 0;
  for (const auto& text : expected) {
    size_t found = Find(texts, text, at);
    ASSERT_NE(found, std::wstring::npos) << "missing or out of order: " << std::string(text.begin(), text.end());
    at = found + 1;
  }
  uint32_t logged = std::stoul(texts[at - 1].substr(texts[at - 1].rfind(L": ") + 2));
  EXPECT_GE(logged, 8000u);
  EXPECT_LE(logged, elapsed);
}

TEST_F(NicResetSimTest, EnableOutcomes) {
  // A failed enable call whose install parameters ask for no reboot counts as a restart.
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA)});
  FaultPlan::Set("NicEnableFails", "0x1F");
  {
    LogCapture log;
    EXPECT_TRUE(Util().TamberResetNic());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, kEnable + L"Failed to enable the device: Err: 0x1F"), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kEnable + L"Enabled device"), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Nic Enabled"), 1u);
  }
  FaultPlan::Set("NicEnableFails", std::nullopt);

  // An enable that waits for a reboot counts as failed, and the walk goes on to the next adapter: the
  // result is true because that one came back.
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA), MakeAdapter(kGuidB, kCloneMacB)});
  FaultPlan::Set("NicEnableNeedsReboot", std::string("1@") + kGuidA);
  {
    LogCapture log;
    EXPECT_TRUE(Util().TamberResetNic());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, kEnable + L"Reboot required to disable device.  Abort"), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Failed Enabling Nic"), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Nic Enabled"), 1u);
    EXPECT_EQ(Adapter(1).physicalAddress, kCloneMacB);
  }

  // The same on the only adapter: nothing came back.
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA)});
  {
    LogCapture log;
    EXPECT_FALSE(Util().RenewMacAddress());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, kRenew + L"Failed Resetting Nic"), 1u);
  }
  FaultPlan::Set("NicEnableNeedsReboot", std::nullopt);

  // Install parameters that cannot be read are no reason to give up, on either half.
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA)});
  FaultPlan::Set("NicInstallParamsFails", "0xE000020B");
  {
    LogCapture log;
    EXPECT_TRUE(Util().TamberResetNic());
    framework::log::FlushLog();
    EXPECT_EQ(log.Count(LogLevel::Debug, kDisable + L"Cannot get disable status: Err: 0xE000020B, Ignore This Error"),
              1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kEnable + L"Cannot get enable status. 0xE000020B"), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kEnable + L"Ignore this error"), 1u);
    EXPECT_EQ(Adapter(0).physicalAddress, kCloneMacA);
  }
}

// A device installer error is printed as the installer gives it, not folded into a Win32 error.
TEST_F(NicResetSimTest, DeviceSetPrintsInstallerErrorsUnchanged) {
  FaultPlan::Set("SetupDiGetClassDevsFails", "0xE0000209");
  LogCapture log;
  bool ok = true;
  common::windows::device::DeviceSet set(platform::kGuidDevClassNet, platform::kDigcfPresent, ok);
  EXPECT_FALSE(ok);
  framework::log::FlushLog();
  EXPECT_EQ(
      log.Count(
          LogLevel::Error,
          L"tamber::common::windows::device::DeviceSet::DeviceSet(): Failed to execute SetupDiGetClassDevs: 0xE0000209"),
      1u);
  FaultPlan::Set("SetupDiGetClassDevsFails", "5");
  common::windows::device::DeviceSet denied(platform::kGuidDevClassNet, platform::kDigcfPresent, ok);
  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Error, L"SetupDiGetClassDevs: 0x80070005"), 1u);
  FaultPlan::Set("SetupDiGetClassDevsFails", std::nullopt);
}

TEST_F(NicResetSimTest, DisableFailuresLeaveTheDeviceRunning) {
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA)});
  struct Case {
    const char* fault;
    const char* value;
    std::vector<std::wstring> messages;
  };
  const Case cases[] = {
      {"NicDisableFails",
       "0xE0000235",
       {kDisable + L"Failed to disable the device: Err: 0xE0000235", kDisable + L"64-bit support failure"}},
      {"NicDisableFails", "5", {kDisable + L"Failed to disable the device: Err: 0x5"}},
      {"NicDisableNeedsReboot", "1", {kDisable + L"Reboot is required to disable device.  Abort"}},
      {"NicSetParamsFails", "0xE0000231", {kDisable + L"Failed setting device params to disable: Err: 0xE0000231"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault + std::string("=") + c.value);
    FaultPlan::Set(c.fault, c.value);
    LogCapture log;
    EXPECT_FALSE(Util().RenewMacAddress());
    framework::log::FlushLog();
    for (const auto& message : c.messages) EXPECT_EQ(log.Count(LogLevel::Debug, message), 1u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kDisable + L"64-bit support failure"),
              std::string(c.value) == "0xE0000235" ? 1u : 0u);
    EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Failed Disabling Nic"), 1u);
    EXPECT_FALSE(log.Contains(LogLevel::Debug, kReset + L"Nic Disabled"));
    EXPECT_TRUE(Adapter(0).deviceEnabled);
    EXPECT_EQ(Adapter(0).physicalAddress, kParentMac);
    FaultPlan::Set(c.fault, std::nullopt);
  }
}

TEST_F(NicResetSimTest, BrokenDriverKeysSkipOnlyTheirDevice) {
  constexpr const char* kGuidC = "{CCCCCCCC-2222-3333-4444-555555555555}";
  SetAdapters({MakeAdapter(kGuidA, kCloneMacA), MakeAdapter(kGuidB, kCloneMacB), MakeAdapter(kGuidA, {}),
               MakeAdapter(kGuidC, kCloneMacA)});
  FaultPlan::Set("NicDriverKeyFails", std::string("0xE0000204@") + kGuidC);
  // Seed the driver keys, then break them: 0000 loses its instance id, 0001 gets an id longer than the
  // 200 bytes read, 0002 an id of exactly 200 bytes without a terminator; 0003 cannot be opened.
  platform::HDevInfo set = platform::SetupDiGetClassDevsW(&platform::kGuidDevClassNet, nullptr, nullptr, 2);
  ASSERT_NE(set, platform::InvalidHandleValue());
  platform::SetupDiDestroyDeviceInfoList(set);
  const std::wstring classKey = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
  auto openDriverKey = [&](const wchar_t* number) {
    platform::HKey key = nullptr;
    EXPECT_EQ(platform::RegOpenKeyEx(platform::HKeyLocalMachine(), (classKey + number).c_str(), 0,
                                     platform::kKeyAllAccess, &key),
              0u);
    return key;
  };
  platform::HKey key = openDriverKey(L"0000");
  EXPECT_EQ(platform::RegDeleteValue(key, L"NetCfgInstanceId"), 0u);
  platform::RegCloseKey(key);
  std::vector<uint8_t> longId(202, 'x');
  longId[200] = longId[201] = 0;
  key = openDriverKey(L"0001");
  EXPECT_EQ(platform::RegSetValueEx(key, L"NetCfgInstanceId", platform::kRegSz, longId.data(), 202), 0u);
  platform::RegCloseKey(key);
  std::vector<uint8_t> unterminated(200);
  for (size_t i = 0; i < unterminated.size(); i += 2) unterminated[i] = 'y';
  key = openDriverKey(L"0002");
  EXPECT_EQ(platform::RegSetValueEx(key, L"NetCfgInstanceId", platform::kRegSz, unterminated.data(), 200), 0u);
  platform::RegCloseKey(key);
  LogCapture log;

  EXPECT_TRUE(Util().TamberResetNic()) << "the third device is still restarted";

  framework::log::FlushLog();
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Failed to retrieve instance guid"), 2u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Instance UUID: " + std::wstring(100, L'y')), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Failed to open device registry key"), 1u);
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Current dev count: 3"), 1u) << "the walk went past every failure";
  EXPECT_EQ(log.Count(LogLevel::Debug, kReset + L"Nic Enabled"), 1u);
  EXPECT_EQ(Adapter(0).physicalAddress, kParentMac);
  EXPECT_EQ(Adapter(1).physicalAddress, kParentMac);
  EXPECT_EQ(Adapter(3).physicalAddress, kParentMac);
}

// The simulated device installer's own rules, which the agent relies on without seeing them.
TEST_F(NicResetSimTest, SimulatedDeviceInstallerFollowsTheCalls) {
  SimAdapter adapter = MakeAdapter(kGuidA, kCloneMacA);
  adapter.driverInstance = 12;
  SetAdapters({adapter});
  platform::HDevInfo set =
      platform::SetupDiGetClassDevsW(&platform::kGuidDevClassNet, nullptr, nullptr, platform::kDigcfPresent);
  ASSERT_NE(set, platform::InvalidHandleValue());

  platform::SpDevinfoData device{};
  device.cbSize = sizeof device - 1;
  EXPECT_FALSE(platform::SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidUserBuffer);
  device.cbSize = sizeof device;
  ASSERT_TRUE(platform::SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_TRUE(device.classGuid == platform::kGuidDevClassNet);
  EXPECT_FALSE(platform::SetupDiEnumDeviceInfo(set, 1, &device));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNoMoreItems);
  device.cbSize = sizeof device;
  ASSERT_TRUE(platform::SetupDiEnumDeviceInfo(set, 0, &device));

  // The driver key is instance 0012 and readable through the registry seam.
  platform::HKey key = platform::SetupDiOpenDevRegKey(set, &device, platform::kDicsFlagGlobal, 0, platform::kDiregDrv,
                                                      platform::kKeyRead);
  ASSERT_NE(key, platform::InvalidHandleValue());
  platform::HKey viaPath = nullptr;
  EXPECT_EQ(
      platform::RegOpenKeyEx(
          platform::HKeyLocalMachine(),
          L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0012\\Ndi\\Params\\NetworkAddress",
          0, platform::kKeyRead, &viaPath),
      0u);
  platform::RegCloseKey(viaPath);
  platform::RegCloseKey(key);

  // The class installer needs its parameters first; the state change then shows in the devnode status.
  EXPECT_FALSE(platform::SetupDiCallClassInstaller(platform::kDifPropertyChange, set, &device));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNoClassInstallParams);
  platform::SpPropChangeParams params{{sizeof(platform::SpClassInstallHeader), platform::kDifPropertyChange},
                                      platform::kDicsDisable,
                                      platform::kDicsFlagGlobal,
                                      0};
  params.classInstallHeader.cbSize = sizeof params;
  EXPECT_FALSE(platform::SetupDiSetClassInstallParamsW(set, &device, &params.classInstallHeader, sizeof params))
      << "cbSize is the header's size, not the block's";
  params.classInstallHeader.cbSize = sizeof(platform::SpClassInstallHeader);
  ASSERT_TRUE(platform::SetupDiSetClassInstallParamsW(set, &device, &params.classInstallHeader, sizeof params));
  ASSERT_TRUE(platform::SetupDiCallClassInstaller(platform::kDifPropertyChange, set, &device));
  uint32_t status = 0;
  uint32_t problem = 0;
  ASSERT_EQ(platform::CM_Get_DevNode_Status(&status, &problem, device.devInst, 0), platform::kCrSuccess);
  EXPECT_NE(status & platform::kDnHasProblem, 0u);
  EXPECT_EQ(problem, platform::kCmProbDisabled);
  EXPECT_FALSE(Adapter(0).Present()) << "a disabled adapter has no adapter record";
  EXPECT_EQ(platform::CM_Get_DevNode_Status(nullptr, &problem, device.devInst, 0), platform::kCrInvalidPointer);
  EXPECT_EQ(platform::CM_Get_DevNode_Status(&status, &problem, device.devInst + 1, 0), platform::kCrNoSuchDevnode);

  // Install parameters need the full structure size.
  platform::SpDevinstallParamsW installParams{};
  installParams.cbSize = 8;
  EXPECT_FALSE(platform::SetupDiGetDeviceInstallParamsW(set, &device, &installParams));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidUserBuffer);

  EXPECT_TRUE(platform::SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(platform::SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(platform::SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

}  // namespace
}  // namespace tamber
