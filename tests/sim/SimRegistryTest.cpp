// The simulated registry itself: durability across power cuts and clean shutdowns, the lazy flush in
// machine time, damaged hive files, the predefined roots, notifications, and save/restore. Also the
// waits of the key wrappers whose time-outs only machine time makes cheap.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/registry/RegKey.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/registry/SimHiveFile.h"
#include "service/Privileges.h"
#include "support/TestEnvironment.h"

namespace tamber::platform {
namespace {

namespace fs = std::filesystem;
using common::windows::UniqueHandle;
using common::windows::UniqueHKey;
using sim::Machine;

constexpr uint32_t kQuietMs = 100;
constexpr uint32_t kPatienceMs = 5000;

class SimRegistryTest : public test::GuestTest {
 protected:
  void TearDown() override {
    sim::SetTimeScale(1.0);
    test::GuestTest::TearDown();
  }

  static fs::path MachineDir() { return Machine::Directory(); }  // a copy: Boot replaces the original

  static void Reboot(bool clean) {
    fs::path dir = MachineDir();
    if (clean) {
      Machine::Shutdown();
    } else {
      Machine::PowerCut();
    }
    Machine::Boot(dir);
  }

  // Boots again with another lazy-flush interval (machine milliseconds).
  static void SetLazyFlush(uint32_t lazyFlushMs) {
    fs::path dir = MachineDir();
    Machine::Shutdown();
    auto config = Machine::LoadConfig(dir);
    config.lazyFlushMs = lazyFlushMs;
    Machine::SaveConfig(dir, config);
    Machine::Boot(dir);
  }

  static UniqueHKey Create(const wchar_t* path) {
    UniqueHKey key;
    EXPECT_EQ(kErrorSuccess,
              RegCreateKeyEx(HKeyLocalMachine(), path, kRegOptionNonVolatile, kKeyAllAccess, key.put(), nullptr));
    return key;
  }

  static void SetDword(HKey key, const wchar_t* name, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    ASSERT_EQ(kErrorSuccess, RegSetValueEx(key, name, kRegDword, bytes, sizeof(bytes)));
  }

  // The DWORD at HKLM\path, or nothing when the key or value is missing.
  static std::optional<uint32_t> GetDword(const wchar_t* path, const wchar_t* name) {
    UniqueHKey key;
    if (RegOpenKeyEx(HKeyLocalMachine(), path, 0, kKeyRead, key.put()) != kErrorSuccess) return std::nullopt;
    uint8_t bytes[4] = {};
    uint32_t size = sizeof(bytes);
    if (RegQueryValueEx(key.get(), name, nullptr, bytes, &size) != kErrorSuccess) return std::nullopt;
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }

  static std::vector<std::wstring> SubkeyNames(HKey key) {
    std::vector<std::wstring> names;
    std::wstring name;
    for (uint32_t i = 0; RegEnumKeyEx(key, i, &name) == kErrorSuccess; ++i) names.push_back(name);
    return names;
  }
};

// --- durability ----------------------------------------------------------------------------------

TEST_F(SimRegistryTest, PowerCutKeepsOnlyWhatWasFlushedAndAFlushCoversTheWholeHive) {
  SetLazyFlush(3600000);  // the lazy flusher stays out of this test
  {
    UniqueHKey a = Create(L"SOFTWARE\\Durable\\A");
    UniqueHKey b = Create(L"SOFTWARE\\Durable\\B");
    UniqueHKey system = Create(L"SYSTEM\\Durable");
    SetDword(a.get(), L"X", 1);
    SetDword(b.get(), L"Y", 2);
    SetDword(system.get(), L"Z", 3);
    ASSERT_EQ(kErrorSuccess, RegFlushKey(a.get()));  // all of SOFTWARE, nothing of SYSTEM
    SetDword(a.get(), L"After", 4);                  // dirty again
  }
  Reboot(/*clean=*/false);

  EXPECT_EQ(1u, GetDword(L"SOFTWARE\\Durable\\A", L"X"));
  EXPECT_EQ(2u, GetDword(L"SOFTWARE\\Durable\\B", L"Y"));
  EXPECT_EQ(std::nullopt, GetDword(L"SOFTWARE\\Durable\\A", L"After"));
  UniqueHKey gone;
  EXPECT_EQ(kErrorFileNotFound, RegOpenKeyEx(HKeyLocalMachine(), L"SYSTEM\\Durable", 0, kKeyRead, gone.put()));
}

TEST_F(SimRegistryTest, CleanShutdownMakesEveryHiveDurable) {
  SetLazyFlush(3600000);
  const wchar_t* paths[] = {L"SOFTWARE\\Clean", L"SYSTEM\\Clean", L"SECURITY\\Clean"};
  for (const wchar_t* path : paths) SetDword(Create(path).get(), L"Value", 7);
  Reboot(/*clean=*/true);
  for (const wchar_t* path : paths) EXPECT_EQ(7u, GetDword(path, L"Value")) << path;

  // Deletions are durable in the same way.
  ASSERT_EQ(kErrorSuccess, RegDeleteTree(HKeyLocalMachine(), L"SYSTEM\\Clean"));
  Reboot(/*clean=*/true);
  EXPECT_EQ(std::nullopt, GetDword(L"SYSTEM\\Clean", L"Value"));
}

TEST_F(SimRegistryTest, LazyFlushWritesADirtyHiveAfterTheIntervalOfMachineTime) {
  SetLazyFlush(2000);
  sim::SetTimeScale(200.0);
  SetDword(Create(L"SOFTWARE\\Lazy").get(), L"Value", 5);
  Sleep(6000);  // three intervals of machine time; 30 ms of ours
  Reboot(/*clean=*/false);
  EXPECT_EQ(5u, GetDword(L"SOFTWARE\\Lazy", L"Value"));
}

TEST_F(SimRegistryTest, VolatileKeysNeverReachTheHiveFile) {
  {
    UniqueHKey key;
    ASSERT_EQ(kErrorSuccess, RegCreateKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Session", 1 /*REG_OPTION_VOLATILE*/,
                                            kKeyAllAccess, key.put(), nullptr));
    SetDword(key.get(), L"Value", 1);
    UniqueHKey child;
    EXPECT_EQ(1021u /*ERROR_CHILD_MUST_BE_VOLATILE*/,
              RegCreateKeyEx(key.get(), L"Durable", kRegOptionNonVolatile, kKeyAllAccess, child.put(), nullptr));
  }
  Reboot(/*clean=*/true);
  EXPECT_EQ(std::nullopt, GetDword(L"SOFTWARE\\Session", L"Value"));
}

TEST_F(SimRegistryTest, DamagedHiveFileStartsEmptyAndIsKeptAside) {
  SetDword(Create(L"SOFTWARE\\Before").get(), L"Value", 1);
  SetDword(Create(L"SYSTEM\\Before").get(), L"Value", 2);
  fs::path dir = MachineDir();
  Machine::Shutdown();
  fs::path software = dir / "registry" / "SOFTWARE.hive";
  fs::path system = dir / "registry" / "SYSTEM.hive";
  ASSERT_TRUE(fs::exists(software));
  { std::ofstream(software, std::ios::binary | std::ios::trunc) << "not a hive at all"; }
  fs::resize_file(system, fs::file_size(system) - 1);  // a write cut short
  Machine::Boot(dir);

  EXPECT_EQ(std::nullopt, GetDword(L"SOFTWARE\\Before", L"Value"));
  EXPECT_EQ(std::nullopt, GetDword(L"SYSTEM\\Before", L"Value"));
  EXPECT_TRUE(fs::exists(dir / "registry" / "SOFTWARE.hive.corrupt"));
  EXPECT_TRUE(fs::exists(dir / "registry" / "SYSTEM.hive.corrupt"));
  EXPECT_FALSE(fs::exists(software));

  // The hives work again, and the next damage does not overwrite the first one set aside.
  SetDword(Create(L"SOFTWARE\\After").get(), L"Value", 3);
  Reboot(/*clean=*/true);
  EXPECT_EQ(3u, GetDword(L"SOFTWARE\\After", L"Value"));
  Machine::Shutdown();
  { std::ofstream(software, std::ios::binary | std::ios::trunc) << "again"; }
  Machine::Boot(dir);
  EXPECT_TRUE(fs::exists(dir / "registry" / "SOFTWARE.hive.corrupt.1"));
}

TEST_F(SimRegistryTest, AnyNameAndValueRoundTripsThroughTheHiveFile) {
  std::vector<uint8_t> binary(256);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> large(100000, 0xA5);
  const std::wstring names[] = {L"",
                                L"with\\backslash",
                                L"\u00DCn\u00EFc\u00F6d\u00E9 \u540D\u524D",
                                L"\U0001F600",
                                std::wstring(L"nul\0inside", 10),
                                L"=;\n\t\"'"};
  {
    UniqueHKey key = Create(L"SOFTWARE\\Caf\u00E9\\Mixed Case");
    for (size_t i = 0; i < std::size(names); ++i) {
      ASSERT_EQ(kErrorSuccess, RegSetValueEx(key.get(), names[i].c_str(), kRegBinary + static_cast<uint32_t>(i),
                                             binary.data(), static_cast<uint32_t>(binary.size())));
    }
    ASSERT_EQ(kErrorSuccess,
              RegSetValueEx(key.get(), L"Large", kRegBinary, large.data(), static_cast<uint32_t>(large.size())));
    ASSERT_EQ(kErrorSuccess, RegSetValueEx(key.get(), L"Empty", kRegNone, nullptr, 0));
  }
  Reboot(/*clean=*/true);

  UniqueHKey key;
  ASSERT_EQ(kErrorSuccess,
            RegOpenKeyEx(HKeyLocalMachine(), L"software\\CAF\u00C9\\mixed case", 0, kKeyRead, key.put()));
  UniqueHKey parent;
  ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Caf\u00E9", 0, kKeyRead, parent.put()));
  EXPECT_EQ(std::vector<std::wstring>{L"Mixed Case"}, SubkeyNames(parent.get()));  // case kept
  for (size_t i = 0; i < std::size(names); ++i) {
    std::vector<uint8_t> read(300);
    uint32_t type = 0, size = static_cast<uint32_t>(read.size());
    // A name with a null inside is cut at the null by the C string of the call, as on Windows.
    std::wstring asCalled = names[i].c_str();
    ASSERT_EQ(kErrorSuccess, RegQueryValueEx(key.get(), asCalled.c_str(), &type, read.data(), &size)) << i;
    read.resize(size);
    EXPECT_EQ(binary, read) << i;
  }
  std::vector<uint8_t> read(large.size());
  uint32_t size = static_cast<uint32_t>(read.size());
  ASSERT_EQ(kErrorSuccess, RegQueryValueEx(key.get(), L"Large", nullptr, read.data(), &size));
  EXPECT_EQ(large, read);
  uint32_t type = 99;
  size = 7;
  EXPECT_EQ(kErrorSuccess, RegQueryValueEx(key.get(), L"Empty", &type, nullptr, &size));
  EXPECT_EQ(kRegNone, type);
  EXPECT_EQ(0u, size);
}

TEST_F(SimRegistryTest, HiveDecoderRefusesEveryDamagedFileWithoutReadingPastIt) {
  sim::hive::Key root;
  root.name = L"SOFTWARE";
  root.values.push_back({L"", kRegSz, {'a', 0, 0, 0}});
  root.subkeys.push_back({L"Child", {{L"Value", kRegDword, {1, 0, 0, 0}}}, {{L"Grandchild", {}, {}}}});
  auto bytes = sim::hive::Encode(root, sim::hive::FileKind::Hive);
  sim::hive::Key decoded;
  ASSERT_TRUE(sim::hive::Decode(bytes.data(), bytes.size(), sim::hive::FileKind::Hive, &decoded));
  EXPECT_EQ(L"Grandchild", decoded.subkeys.at(0).subkeys.at(0).name);
  EXPECT_FALSE(sim::hive::Decode(bytes.data(), bytes.size(), sim::hive::FileKind::SavedKey, &decoded));

  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    auto shorter = std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(sim::hive::Decode(shorter.data(), shorter.size(), sim::hive::FileKind::Hive, &decoded)) << cut;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      auto damaged = bytes;
      damaged[at] ^= flip;
      EXPECT_FALSE(sim::hive::Decode(damaged.data(), damaged.size(), sim::hive::FileKind::Hive, &decoded)) << at;
    }
  }

  // Nesting deeper than the registry allows is refused, not recursed into.
  sim::hive::Key deep;
  sim::hive::Key* level = &deep;
  for (size_t i = 0; i <= sim::hive::kMaxDepth; ++i) {
    level->subkeys.push_back({L"k", {}, {}});
    level = &level->subkeys.back();
  }
  auto deepBytes = sim::hive::Encode(deep, sim::hive::FileKind::Hive);
  EXPECT_FALSE(sim::hive::Decode(deepBytes.data(), deepBytes.size(), sim::hive::FileKind::Hive, &decoded));
}

// --- roots, handles and access ---------------------------------------------------------------------

TEST_F(SimRegistryTest, PredefinedRootsHoldTheHivesAndRefuseNewOnes) {
  UniqueHKey hklm;
  ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), nullptr, 0, kKeyRead, hklm.put()));
  EXPECT_EQ((std::vector<std::wstring>{L"SECURITY", L"SOFTWARE", L"SYSTEM"}), SubkeyNames(hklm.get()));
  UniqueHKey again;
  EXPECT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"", 0, kKeyRead, again.put()));
  EXPECT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"software", 0, kKeyRead, again.put()));
  EXPECT_TRUE(SubkeyNames(HKeyUsers()).empty());

  UniqueHKey created;
  EXPECT_EQ(kErrorAccessDenied,
            RegCreateKeyEx(HKeyLocalMachine(), L"NewHive\\Below", 0, kKeyAllAccess, created.put(), nullptr));
  EXPECT_EQ(nullptr, created.get());
  EXPECT_EQ(kErrorAccessDenied, RegDeleteTree(HKeyLocalMachine(), L"SOFTWARE"));
  const uint8_t bytes[4] = {};
  EXPECT_EQ(kErrorAccessDenied, RegSetValueEx(HKeyLocalMachine(), L"Value", kRegDword, bytes, 4));
  EXPECT_EQ(kErrorSuccess, RegCloseKey(HKeyLocalMachine()));  // closing a predefined key does nothing
  EXPECT_EQ(3u, SubkeyNames(HKeyLocalMachine()).size());
}

TEST_F(SimRegistryTest, HandlesAreCheckedForKindRightsAndBoot) {
  UniqueHKey writable = Create(L"SOFTWARE\\Handles");
  UniqueHKey readOnly;
  ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Handles", 0, kKeyRead, readOnly.put()));
  const uint8_t bytes[4] = {};
  EXPECT_EQ(kErrorAccessDenied, RegSetValueEx(readOnly.get(), L"Value", kRegDword, bytes, 4));
  UniqueHKey queryOnly;
  ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Handles", 0, kKeyQueryValue, queryOnly.put()));
  UniqueHandle event(CreateEvent(true, false, nullptr));
  EXPECT_EQ(kErrorAccessDenied,
            RegNotifyChangeKeyValue(queryOnly.get(), false, kRegNotifyChangeLastSet, event.get(), true));

  // An event is not a key, and a key handle does not survive its boot.
  EXPECT_EQ(kErrorInvalidHandle, RegQueryValueEx(event.get(), L"Value", nullptr, nullptr, nullptr));
  EXPECT_EQ(kErrorInvalidHandle, RegCloseKey(event.get()));
  HKey stale = writable.release();
  Reboot(/*clean=*/true);
  EXPECT_EQ(kErrorInvalidHandle, RegSetValueEx(stale, L"Value", kRegDword, bytes, 4));
  EXPECT_EQ(kErrorInvalidHandle, RegCloseKey(stale));
  readOnly.release();
  queryOnly.release();
}

// --- notifications ---------------------------------------------------------------------------------

// One arming fires once. A change while the handle is not armed is remembered, so that a caller that
// reads and then arms again cannot miss a write that fell in between.
TEST_F(SimRegistryTest, ChangeBetweenTwoArmingsFiresTheSecondArmingAtOnce) {
  UniqueHKey key = Create(L"SOFTWARE\\Watch");
  UniqueHandle event(CreateEvent(/*manualReset=*/false, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key.get(), false, kRegNotifyChangeLastSet, event.get(), true));
  SetDword(key.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
  SetDword(key.get(), L"Value", 2);
  SetDword(key.get(), L"Value", 3);
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), kQuietMs));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key.get(), false, kRegNotifyChangeLastSet, event.get(), true));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), 0));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), kQuietMs));  // both writes count as one
}

TEST_F(SimRegistryTest, ClosingTheWatchedHandleSignalsItsNotification) {
  UniqueHKey key = Create(L"SOFTWARE\\Watch");
  UniqueHandle event(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(key.get(), true, kRegNotifyChangeName, event.get(), true));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(event.get(), 0));
  key.reset();
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), 0));
}

TEST_F(SimRegistryTest, NotificationsTellSubkeyChangesFromValueChangesAcrossTheSubtree) {
  Create(L"SOFTWARE\\Tree");
  UniqueHKey grandchild = Create(L"SOFTWARE\\Tree\\Child\\Grandchild");
  SetDword(grandchild.get(), L"Value", 1);
  // One handle per notification, so that one firing is never taken for another.
  UniqueHKey forNames, forValues, forRootOnly;
  for (UniqueHKey* handle : {&forNames, &forValues, &forRootOnly}) {
    ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Tree", 0, kKeyRead, handle->put()));
  }
  UniqueHandle names(CreateEvent(true, false, nullptr));
  UniqueHandle values(CreateEvent(true, false, nullptr));
  UniqueHandle rootOnly(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess,
            RegNotifyChangeKeyValue(forNames.get(), /*watchSubtree=*/true, kRegNotifyChangeName, names.get(), true));
  ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(forValues.get(), /*watchSubtree=*/true, kRegNotifyChangeLastSet,
                                                   values.get(), true));
  ASSERT_EQ(kErrorSuccess,
            RegNotifyChangeKeyValue(forRootOnly.get(), /*watchSubtree=*/false,
                                    kRegNotifyChangeName | kRegNotifyChangeLastSet, rootOnly.get(), true));

  ASSERT_EQ(kErrorSuccess, RegDeleteValue(grandchild.get(), L"Value"));  // a value deleted deep down
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(values.get(), kPatienceMs));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(names.get(), kQuietMs));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(rootOnly.get(), 0));

  ASSERT_EQ(kErrorSuccess, RegDeleteTree(HKeyLocalMachine(), L"SOFTWARE\\Tree\\Child"));  // a subkey deleted
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(names.get(), kPatienceMs));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(rootOnly.get(), kPatienceMs));  // Child was the key's own subkey
  EXPECT_EQ(kErrorKeyDeleted, RegQueryValueEx(grandchild.get(), L"Value", nullptr, nullptr, nullptr));
}

TEST_F(SimRegistryTest, NotificationsFireAcrossThreads) {
  UniqueHKey key = Create(L"SOFTWARE\\Threads");
  UniqueHandle armedOnOther(CreateEvent(true, false, nullptr));
  UniqueHandle armed(CreateEvent(true, false, nullptr));
  std::thread watcher([&] {
    UniqueHKey own;
    ASSERT_EQ(kErrorSuccess, RegOpenKeyEx(HKeyLocalMachine(), L"SOFTWARE\\Threads", 0, kKeyRead, own.put()));
    UniqueHandle fired(CreateEvent(true, false, nullptr));
    ASSERT_EQ(kErrorSuccess, RegNotifyChangeKeyValue(own.get(), false, kRegNotifyChangeLastSet, fired.get(), true));
    SetEvent(armed.get());
    EXPECT_EQ(kWaitObject0, WaitForSingleObject(fired.get(), kPatienceMs));
    SetEvent(armedOnOther.get());
  });
  ASSERT_EQ(kWaitObject0, WaitForSingleObject(armed.get(), kPatienceMs));
  SetDword(key.get(), L"Value", 1);
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(armedOnOther.get(), kPatienceMs));
  watcher.join();
}

// --- save and restore ------------------------------------------------------------------------------

TEST_F(SimRegistryTest, SaveAndRestoreNeedTheBackupAndRestorePrivileges) {
  fs::create_directories(Machine::DriveRoot() / "Temp");
  UniqueHKey key = Create(L"SOFTWARE\\Profile");
  EXPECT_EQ(kErrorPrivilegeNotHeld, RegSaveKey(key.get(), L"C:\\Temp\\profile.hiv"));
  EXPECT_FALSE(fs::exists(Machine::DriveRoot() / "Temp" / "profile.hiv"));
  ASSERT_TRUE(tamber::service::AddPrivilege(L"SeBackupPrivilege"));
  ASSERT_EQ(kErrorSuccess, RegSaveKey(key.get(), L"C:\\Temp\\profile.hiv"));
  EXPECT_EQ(kErrorPrivilegeNotHeld, RegRestoreKey(key.get(), L"C:\\Temp\\profile.hiv", 0));
  ASSERT_TRUE(tamber::service::AddPrivilege(L"SeRestorePrivilege"));
  EXPECT_EQ(kErrorSuccess, RegRestoreKey(key.get(), L"C:\\Temp\\profile.hiv", 0));
}

TEST_F(SimRegistryTest, SaveAndRestoreReplaceAKeysWholeContent) {
  fs::create_directories(Machine::DriveRoot() / "Temp");
  ASSERT_TRUE(tamber::service::AddPrivilege(L"SeBackupPrivilege"));
  ASSERT_TRUE(tamber::service::AddPrivilege(L"SeRestorePrivilege"));
  UniqueHKey key = Create(L"SOFTWARE\\Profile");
  SetDword(key.get(), L"Kept", 1);
  SetDword(Create(L"SOFTWARE\\Profile\\Sub").get(), L"Deep", 2);
  ASSERT_EQ(kErrorSuccess, RegSaveKey(key.get(), L"C:\\Temp\\profile.hiv"));
  EXPECT_EQ(kErrorAlreadyExists, RegSaveKey(key.get(), L"C:\\Temp\\profile.hiv"));
  EXPECT_EQ(kErrorPathNotFound, RegSaveKey(key.get(), L"C:\\NoSuchFolder\\profile.hiv"));

  SetDword(key.get(), L"Added", 3);
  ASSERT_EQ(kErrorSuccess, RegDeleteTree(key.get(), L"Sub"));
  UniqueHKey replaced = Create(L"SOFTWARE\\Profile\\Other");
  UniqueHandle event(CreateEvent(true, false, nullptr));
  ASSERT_EQ(kErrorSuccess,
            RegNotifyChangeKeyValue(key.get(), false, kRegNotifyChangeLastSet, event.get(), /*asynchronous=*/true));

  ASSERT_EQ(kErrorSuccess, RegRestoreKey(key.get(), L"C:\\Temp\\profile.hiv", 0));
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(event.get(), kPatienceMs));
  EXPECT_EQ(1u, GetDword(L"SOFTWARE\\Profile", L"Kept"));
  EXPECT_EQ(std::nullopt, GetDword(L"SOFTWARE\\Profile", L"Added"));
  EXPECT_EQ(2u, GetDword(L"SOFTWARE\\Profile\\Sub", L"Deep"));
  EXPECT_EQ(kErrorKeyDeleted, RegQueryValueEx(replaced.get(), L"x", nullptr, nullptr, nullptr));

  // What was restored is part of the hive like anything else.
  ASSERT_EQ(kErrorSuccess, RegFlushKey(key.get()));
  key.reset();
  replaced.reset();
  Reboot(/*clean=*/false);
  EXPECT_EQ(2u, GetDword(L"SOFTWARE\\Profile\\Sub", L"Deep"));
  ASSERT_TRUE(tamber::service::AddPrivilege(L"SeRestorePrivilege"));  // a new boot, a new token

  UniqueHKey again = Create(L"SOFTWARE\\Profile");
  { std::ofstream(Machine::DriveRoot() / "Temp" / "bad.hiv", std::ios::binary) << "garbage"; }
  EXPECT_EQ(kErrorRegistryCorrupt, RegRestoreKey(again.get(), L"C:\\Temp\\bad.hiv", 0));
  EXPECT_EQ(kErrorFileNotFound, RegRestoreKey(again.get(), L"C:\\Temp\\missing.hiv", 0));
  EXPECT_EQ(2u, GetDword(L"SOFTWARE\\Profile\\Sub", L"Deep"));  // a failed restore changes nothing
}

// --- waits of the key wrappers in machine time -------------------------------------------------------

class RegKeyMachineTimeTest : public SimRegistryTest {
 protected:
  common::windows::registry::ExistingRegKey OpenKey() {
    Create(L"SOFTWARE\\Waits");
    int32_t result = -1;
    common::windows::registry::ExistingRegKey key(HKeyLocalMachine(), L"SOFTWARE\\Waits", kKeyReadWrite, &result);
    EXPECT_EQ(0, result);
    return key;
  }
};

// 2500 ms of polling: a read at once, then one after each of the first two sleeps, and the third sleep
// uses up the time.
TEST_F(RegKeyMachineTimeTest, PollingWaitOf2500MsReadsThreeTimes) {
  auto key = OpenKey();
  sim::SetTimeScale(1000.0);
  test::LogCapture log;
  uint64_t before = GetTickCount64();
  EXPECT_EQ(static_cast<int32_t>(0x800705B4u), key.WaitForStringValue(L"Phase", L"ready", 2500));
  EXPECT_GE(GetTickCount64() - before, 3000u);  // three sleeps; the reads below are the exact count
  framework::log::FlushLog();
  EXPECT_EQ(3u, log.Count(LogLevel::Error, L"ReadStringValue(): Failed Getting Value Size: Phase, 0x80070002"));
  EXPECT_TRUE(log.Contains(
      LogLevel::Error,
      L"tamber::common::windows::registry::ExistingRegKey::WaitForStringValue(): Failed to wait for expected value: Phase=ready. Final value is: Phase="));
}

TEST_F(RegKeyMachineTimeTest, PollingWaitBelowOneSecondStillReadsAndSleepsOnce) {
  auto key = OpenKey();
  ASSERT_EQ(0, key.WriteStringValue(L"Phase", kRegSz, L"busy"));
  sim::SetTimeScale(1000.0);
  test::LogCapture log;
  uint64_t before = GetTickCount64();
  EXPECT_EQ(static_cast<int32_t>(0x800705B4u), key.WaitForStringValue(L"Phase", L"ready", 10));
  EXPECT_GE(GetTickCount64() - before, 1000u);
  framework::log::FlushLog();
  EXPECT_TRUE(log.Contains(LogLevel::Error, L"Final value is: Phase=busy"));
}

TEST_F(RegKeyMachineTimeTest, LongWaitsEndAtTheirMachineTimeOut) {
  auto key = OpenKey();
  ASSERT_EQ(0, key.WriteStringValue(L"Phase", kRegSz, L"ready"));
  sim::SetTimeScale(1000.0);
  UniqueHandle shutdown(CreateEvent(true, false, nullptr));

  // Already matching, never written: found when the 150 s pass, and not before.
  bool found = false;
  uint64_t before = GetTickCount64();
  EXPECT_EQ(0, key.WaitForStringValue(L"Phase", L"ready", 150000, &found, shutdown.get()));
  EXPECT_TRUE(found);
  EXPECT_GE(GetTickCount64() - before, 150000u);

  before = GetTickCount64();
  EXPECT_EQ(static_cast<int32_t>(0x800705B4u), key.WaitForDwordValue(L"Count", 3, 600000, &found));
  EXPECT_FALSE(found);
  EXPECT_GE(GetTickCount64() - before, 600000u);
}

}  // namespace
}  // namespace tamber::platform
