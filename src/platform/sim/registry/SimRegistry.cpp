// The registry of the simulated guest.
//
// HKEY_LOCAL_MACHINE holds three hives (SOFTWARE, SYSTEM, SECURITY). Each hive has its in-memory current
// state and a durable layer: "<machine>/registry/<HIVE>.hive", replaced atomically on every flush. A flush
// of any key writes its whole hive; a hive that stays dirty is written by the lazy flusher after the
// machine's lazy-flush interval; a clean end of the boot writes every hive; a power cut loses whatever was
// not written. The next boot loads only the files.
//
// Torture mode (the machine's tornFlushSeed): every change also writes the hive's whole current state to
// "<HIVE>.hive.unflushed", which a flush removes. A boot that finds one after a power cut keeps a random
// part of it, decided per key (its values as one, a new key with its subtree, a deleted key), makes that
// durable at once and drops the rest.
//
// Key handles are kernel objects in the simulated handle table. Change notifications follow the kernel's
// rules: one arming fires once; a change that happens while a watched handle is not armed is remembered
// and fires the next arming at once, so that a caller that re-arms after reading never misses a write.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/sim/kernel/SimExceptions.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimBootHooks.h"
#include "platform/sim/machine/SimCallCounter.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/machine/SimPowerCut.h"
#include "platform/sim/registry/SimHiveFile.h"

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kErrorRegistryIoFailed = 1016;
constexpr uint32_t kErrorChildMustBeVolatile = 1021;
constexpr uint32_t kRegOptionVolatile = 0x1;
constexpr uint32_t kRegNotifyThreadAgnostic = 0x10000000;
constexpr uint32_t kNotifyFilterMask =
    kRegNotifyChangeName | kRegNotifyChangeAttributes | kRegNotifyChangeLastSet | kRegNotifyChangeSecurity;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

constexpr int kHiveCount = 3;
constexpr int kNoHive = -1;
constexpr std::array<const wchar_t*, kHiveCount> kHiveNames = {L"SOFTWARE", L"SYSTEM", L"SECURITY"};

struct Node {
  std::wstring name;
  Node* parent = nullptr;  // null for a root and for a deleted key
  int hive = kNoHive;
  bool isVolatile = false;
  bool deleted = false;
  bool predefinedRoot = false;                            // HKLM, HKU: their children are hives
  std::map<std::wstring, std::shared_ptr<Node>> subkeys;  // by folded name, so enumeration is sorted
  std::vector<hive::Value> values;                        // in the order they were first set

  std::vector<hive::Value>::iterator FindValue(std::wstring_view valueName) {
    auto folded = hive::FoldName(valueName);
    return std::find_if(values.begin(), values.end(),
                        [&](const hive::Value& value) { return hive::FoldName(value.name) == folded; });
  }
  std::shared_ptr<Node> FindSubkey(std::wstring_view subkeyName) const {
    auto it = subkeys.find(hive::FoldName(subkeyName));
    return it == subkeys.end() ? nullptr : it->second;
  }
};

class KeyObject;

// Events to signal once the registry lock is released (SetEvent takes the kernel lock).
class PendingSignals {
 public:
  PendingSignals() = default;
  PendingSignals(const PendingSignals&) = delete;
  PendingSignals& operator=(const PendingSignals&) = delete;
  ~PendingSignals() {
    for (auto& event : events_) {
      Handle handle = InsertHandle(event);
      SetEvent(handle);
      CloseHandle(handle);
    }
  }
  void Add(std::vector<std::shared_ptr<KernelObject>>&& events) {
    for (auto& event : events) events_.push_back(std::move(event));
    events.clear();
  }
  void Add(std::shared_ptr<KernelObject> event) { events_.push_back(std::move(event)); }

 private:
  std::vector<std::shared_ptr<KernelObject>> events_;
};

class KeyObject : public KernelObject {
 public:
  KeyObject(std::shared_ptr<Node> node, uint32_t access, uint64_t boot)
      : node(std::move(node)), access(access), boot(boot) {}
  bool IsWaitable() const override { return false; }
  void OnLastHandleClosed() override;

  // All below guarded by the registry lock.
  void CloseLocked(PendingSignals& signals) {
    if (closed) return;
    closed = true;
    notifyRegistered = false;
    signals.Add(std::move(armedEvents));  // Windows signals a pending notification when its key closes
  }
  void FireLocked(PendingSignals& signals) {
    if (armedEvents.empty()) {
      notifyPending = true;
    } else {
      signals.Add(std::move(armedEvents));
    }
  }

  std::shared_ptr<Node> node;
  uint32_t access;
  uint64_t boot;
  bool closed = false;
  bool notifyRegistered = false;
  bool notifyPending = false;
  bool watchSubtree = false;
  uint32_t filter = 0;
  std::vector<std::shared_ptr<KernelObject>> armedEvents;
};

struct HiveState {
  bool dirty = false;
  uint64_t dirtySinceMs = 0;  // machine time of the first change since the last write
};

struct RegistryState {
  std::mutex mutex;
  std::condition_variable flusherWake;
  bool booted = false;
  uint64_t boot = 0;  // counts boots, so that a stale object never passes for a live one
  std::filesystem::path dir;
  uint32_t lazyFlushMs = 5000;
  uint64_t tornSeed = 0;
  std::shared_ptr<Node> machine;
  std::shared_ptr<Node> users;
  std::shared_ptr<KeyObject> machineKey;  // what HKEY_LOCAL_MACHINE and HKEY_USERS stand for
  std::shared_ptr<KeyObject> usersKey;
  std::array<HiveState, kHiveCount> hives;
  std::vector<std::weak_ptr<KeyObject>> watchers;
  std::thread flusher;
  uint64_t flusherWait = 0;  // the flusher's machine-time wait, told when a hive becomes dirty
  bool stopFlusher = false;
};

RegistryState& State() {
  static auto* state = new RegistryState;  // outlives every thread that might still call in
  return *state;
}

void KeyObject::OnLastHandleClosed() {
  auto& st = State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  if (st.booted && boot == st.boot) CloseLocked(signals);
}

std::vector<std::wstring_view> SplitPath(const wchar_t* path) {
  std::vector<std::wstring_view> parts;
  if (path == nullptr) return parts;
  std::wstring_view rest(path);
  while (!rest.empty()) {
    auto slash = rest.find(L'\\');
    auto part = rest.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::wstring_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return parts;
}

uint32_t NormalizeAccess(uint32_t access) {
  constexpr uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                     kGenericAll = 0x10000000, kMaximumAllowed = 0x02000000;
  uint32_t result = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
  if (access & (kGenericRead | kGenericExecute)) result |= kKeyRead;
  if (access & kGenericWrite) result |= kKeyWrite;
  if (access & (kGenericAll | kMaximumAllowed)) result |= kKeyAllAccess;
  return result;
}

bool IsAncestor(const Node* ancestor, const Node* node) {
  for (const Node* p = node->parent; p != nullptr; p = p->parent) {
    if (p == ancestor) return true;
  }
  return false;
}

// Lock held. Finds the object behind a key handle and checks that it is still usable.
uint32_t ResolveLocked(HKey key, std::shared_ptr<KeyObject>* out) {
  auto& st = State();
  std::shared_ptr<KeyObject> object;
  if (key == HKeyLocalMachine() || key == HKeyUsers()) {
    if (!st.booted) return kErrorNotReady;
    object = key == HKeyLocalMachine() ? st.machineKey : st.usersKey;
  } else {
    if (key == nullptr) return kErrorInvalidHandle;
    object = LookupHandleAs<KeyObject>(key);
    if (!object || !st.booted || object->boot != st.boot || object->closed) return kErrorInvalidHandle;
  }
  if (object->node->deleted) return kErrorKeyDeleted;
  *out = std::move(object);
  return kErrorSuccess;
}

uint32_t ResolveLocked(HKey key, uint32_t neededAccess, std::shared_ptr<KeyObject>* out) {
  uint32_t error = ResolveLocked(key, out);
  if (error != kErrorSuccess) return error;
  if (((*out)->access & neededAccess) != neededAccess) {
    out->reset();
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

void JournalLocked(int hive);

void MarkDirtyLocked(const Node& node) {
  if (node.hive == kNoHive || node.isVolatile) return;
  auto& st = State();
  JournalLocked(node.hive);
  auto& hive = st.hives[node.hive];
  if (hive.dirty) return;
  hive.dirty = true;
  hive.dirtySinceMs = MachineMillisecondsSinceBoot();
  MachineTimeWait::Changed(st.flusherWait);
  st.flusherWake.notify_all();
}

// A change of the given kind at node: fires the watchers of node, and the subtree watchers above it.
void ReportChangeLocked(const Node* node, uint32_t kind, PendingSignals& signals) {
  auto& st = State();
  for (auto& weak : st.watchers) {
    auto watcher = weak.lock();
    if (!watcher || !watcher->notifyRegistered || (watcher->filter & kind) == 0) continue;
    const Node* watched = watcher->node.get();
    if (watched == node || (watcher->watchSubtree && IsAncestor(watched, node))) watcher->FireLocked(signals);
  }
}

// Watchers whose key was deleted fire whatever their filter, and never again.
void ReportDeletionsLocked(PendingSignals& signals) {
  auto& st = State();
  for (auto& weak : st.watchers) {
    auto watcher = weak.lock();
    if (watcher && watcher->notifyRegistered && watcher->node->deleted) {
      watcher->FireLocked(signals);
      watcher->notifyRegistered = false;
    }
  }
  std::erase_if(st.watchers, [](const std::weak_ptr<KeyObject>& weak) {
    auto watcher = weak.lock();
    return !watcher || !watcher->notifyRegistered;
  });
}

void MarkDeletedLocked(Node* node) {
  node->deleted = true;
  for (auto& [folded, child] : node->subkeys) {
    MarkDeletedLocked(child.get());
    child->parent = nullptr;
  }
  node->subkeys.clear();
  node->values.clear();
}

void DeleteSubkeysLocked(Node* node) {
  for (auto& [folded, child] : node->subkeys) {
    MarkDeletedLocked(child.get());
    child->parent = nullptr;
  }
  node->subkeys.clear();
}

hive::Key SnapshotLocked(const Node& node) {
  hive::Key key;
  key.name = node.name;
  key.values = node.values;
  for (const auto& [folded, child] : node.subkeys) {
    if (!child->isVolatile) key.subkeys.push_back(SnapshotLocked(*child));
  }
  return key;
}

std::shared_ptr<Node> BuildNode(hive::Key&& key, Node* parent, int hive, bool isVolatile) {
  auto node = std::make_shared<Node>();
  node->name = std::move(key.name);
  node->parent = parent;
  node->hive = hive;
  node->isVolatile = isVolatile;
  node->values = std::move(key.values);
  for (auto& subkey : key.subkeys) {
    auto child = BuildNode(std::move(subkey), node.get(), hive, isVolatile);
    auto folded = hive::FoldName(child->name);
    node->subkeys.emplace(std::move(folded), std::move(child));
  }
  return node;
}

std::filesystem::path HiveFile(int hive) {
  auto name = std::wstring(kHiveNames[hive]) + L".hive";
  return State().dir / std::filesystem::path(name);
}

std::shared_ptr<Node> HiveRootLocked(int hive) { return State().machine->FindSubkey(kHiveNames[hive]); }

std::filesystem::path JournalFile(int hive) {
  auto file = HiveFile(hive);
  file += ".unflushed";
  return file;
}

void JournalLocked(int hive) {
  if (State().tornSeed == 0) return;
  if (auto root = HiveRootLocked(hive)) {
    hive::WriteFileAtomically(JournalFile(hive), hive::Encode(SnapshotLocked(*root), hive::FileKind::Hive));
  }
}

void DropJournal(int hive) {
  std::error_code error;
  std::filesystem::remove(JournalFile(hive), error);
}

// What a power cut left of the unflushed state: per key, the unflushed or the durable form.
void MergeTorn(hive::Key* durable, const hive::Key& unflushed, std::mt19937_64& random) {
  auto coin = [&random] { return (random() & 1) != 0; };
  if (coin()) durable->values = unflushed.values;
  std::map<std::wstring, const hive::Key*> later;
  for (const auto& subkey : unflushed.subkeys) later.emplace(hive::FoldName(subkey.name), &subkey);
  std::vector<hive::Key> kept;
  for (auto& subkey : durable->subkeys) {
    auto found = later.find(hive::FoldName(subkey.name));
    if (found == later.end()) {
      if (coin()) kept.push_back(std::move(subkey));  // its deletion was lost
      continue;
    }
    MergeTorn(&subkey, *found->second, random);
    kept.push_back(std::move(subkey));
    later.erase(found);
  }
  // What is left in later is new since the last flush: each new key reached the disk or did not.
  for (const auto& subkey : unflushed.subkeys) {
    if (later.count(hive::FoldName(subkey.name)) != 0 && coin()) kept.push_back(subkey);
  }
  durable->subkeys = std::move(kept);
}

uint32_t FlushHiveLocked(int hive) {
  auto& st = State();
  if (!st.hives[hive].dirty) return kErrorSuccess;
  auto root = HiveRootLocked(hive);
  if (!root) return kErrorSuccess;
  if (!hive::WriteFileAtomically(HiveFile(hive), hive::Encode(SnapshotLocked(*root), hive::FileKind::Hive))) {
    return kErrorRegistryIoFailed;
  }
  st.hives[hive].dirty = false;
  DropJournal(hive);
  return kErrorSuccess;
}

uint32_t FlushAllLocked() {
  uint32_t result = kErrorSuccess;
  for (int hive = 0; hive < kHiveCount; ++hive) {
    uint32_t error = FlushHiveLocked(hive);
    if (error != kErrorSuccess) result = error;
  }
  return result;
}

// A damaged durable layer must not stop the boot: the hive starts empty and the bad file is kept for
// inspection under a name that never overwrites an earlier one.
void SetAside(const std::filesystem::path& file) {
  std::error_code error;
  auto target = file;
  target += ".corrupt";
  for (int n = 1; std::filesystem::exists(target, error) && n < 1000; ++n) {
    target = file;
    target += ".corrupt." + std::to_string(n);
  }
  std::filesystem::rename(file, target, error);
}

std::shared_ptr<Node> LoadHive(int hive, uint64_t tornSeed) {
  auto file = HiveFile(hive);
  std::error_code error;
  auto temp = file;
  temp += ".tmp";
  std::filesystem::remove(temp, error);  // a write that never reached its rename
  hive::Key key;
  if (std::filesystem::exists(file, error)) {
    std::vector<uint8_t> bytes;
    if (!hive::ReadWholeFile(file, &bytes) || !hive::Decode(bytes.data(), bytes.size(), hive::FileKind::Hive, &key)) {
      key = hive::Key{};
      SetAside(file);
    }
  }
  std::vector<uint8_t> journal;
  hive::Key unflushed;
  if (tornSeed != 0 && hive::ReadWholeFile(JournalFile(hive), &journal) &&
      hive::Decode(journal.data(), journal.size(), hive::FileKind::Hive, &unflushed)) {
    std::mt19937_64 random(tornSeed ^ std::hash<std::string_view>()(std::string_view(
                                          reinterpret_cast<const char*>(journal.data()), journal.size())));
    MergeTorn(&key, unflushed, random);
    key.name = kHiveNames[hive];
    hive::WriteFileAtomically(file, hive::Encode(key, hive::FileKind::Hive));  // what survived is on disk now
  }
  DropJournal(hive);
  key.name = kHiveNames[hive];
  return BuildNode(std::move(key), nullptr, hive, false);
}

void FlusherMain(std::unique_ptr<MachineTimeWait> timed) {
  auto& st = State();
  std::unique_lock<std::mutex> lock(st.mutex);
  while (!st.stopFlusher) {
    uint64_t now = MachineMillisecondsSinceBoot();
    uint64_t nextDue = UINT64_MAX;
    for (int hive = 0; hive < kHiveCount; ++hive) {
      auto& state = st.hives[hive];
      if (!state.dirty) continue;
      uint64_t due = state.dirtySinceMs + st.lazyFlushMs;
      if (due <= now) {
        if (FlushHiveLocked(hive) == kErrorSuccess) continue;
        state.dirtySinceMs = now;  // the write failed: try again after another interval
        due = now + std::max<uint32_t>(st.lazyFlushMs, 1);
      }
      nextDue = std::min(nextDue, due);
    }
    timed->SetDeadline(nextDue == UINT64_MAX ? kNoMachineDeadline : nextDue);
    timed->Looked();
    if (nextDue == UINT64_MAX) {
      st.flusherWake.wait(lock);
      continue;
    }
    // Machine time may change its scale under us: look again at least every few host milliseconds.
    auto deadline = std::min(HostWakeFor(nextDue), std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
    st.flusherWake.wait_until(lock, deadline);
  }
}

std::shared_ptr<Node> MakeRoot(const wchar_t* name) {
  auto node = std::make_shared<Node>();
  node->name = name;
  node->predefinedRoot = true;
  return node;
}

}  // namespace

void RegistryBoot(const std::filesystem::path& machineDir, const MachineConfig& config) {
  auto& st = State();
  RegistryEndBoot(/*clean=*/false);  // a boot never starts on top of another
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    ++st.boot;
    st.dir = machineDir / "registry";
    std::error_code error;
    std::filesystem::create_directories(st.dir, error);
    st.lazyFlushMs = config.lazyFlushMs;
    st.tornSeed = config.tornFlushSeed;
    st.machine = MakeRoot(L"HKEY_LOCAL_MACHINE");
    st.users = MakeRoot(L"HKEY_USERS");
    for (int hive = 0; hive < kHiveCount; ++hive) {
      auto root = LoadHive(hive, config.tornFlushSeed);
      root->parent = st.machine.get();
      st.machine->subkeys.emplace(hive::FoldName(root->name), std::move(root));
      st.hives[hive] = HiveState{};
    }
    st.machineKey = std::make_shared<KeyObject>(st.machine, kKeyAllAccess, st.boot);
    st.usersKey = std::make_shared<KeyObject>(st.users, kKeyAllAccess, st.boot);
    st.watchers.clear();
    st.stopFlusher = false;
    st.booted = true;
  }
  // Registered before the thread starts, so machine time cannot jump past a lazy flush meanwhile.
  auto timed = std::make_unique<MachineTimeWait>(kNoMachineDeadline, WakeBy::Changed, &st.flusherWake);
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.flusherWait = timed->Id();
  }
  st.flusher = std::thread(FlusherMain, std::move(timed));
}

void RegistryEndBoot(bool clean) {
  auto& st = State();
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.booted) return;
    st.stopFlusher = true;
  }
  st.flusherWake.notify_all();
  if (st.flusher.joinable()) st.flusher.join();

  std::lock_guard<std::mutex> lock(st.mutex);
  if (clean && FlushAllLocked() == kErrorSuccess) {
    for (int hive = 0; hive < kHiveCount; ++hive) DropJournal(hive);
  }
  // Whatever was not written is gone. Handles of this boot stop working (the kernel drops them too).
  for (auto& weak : st.watchers) {
    if (auto watcher = weak.lock()) {
      watcher->armedEvents.clear();
      watcher->notifyRegistered = false;
    }
  }
  st.watchers.clear();
  if (st.machine) MarkDeletedLocked(st.machine.get());
  if (st.users) MarkDeletedLocked(st.users.get());
  st.machine.reset();
  st.users.reset();
  st.machineKey.reset();
  st.usersKey.reset();
  st.hives = {};
  st.booted = false;
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::KeyObject;
using sim::Node;
using sim::PendingSignals;

uint32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, uint32_t /*options*/, uint32_t access, HKey* result) {
  sim::CountCall(sim::CountedCall::Registry);
  if (result == nullptr) return kErrorInvalidParameter;
  *result = nullptr;
  auto& st = sim::State();
  std::shared_ptr<KeyObject> parent;
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    uint32_t error = sim::ResolveLocked(root, &parent);
    if (error != kErrorSuccess) return error;
    node = parent->node;
    for (auto part : sim::SplitPath(subKey)) {
      node = node->FindSubkey(part);
      if (!node) return kErrorFileNotFound;
    }
    *result = sim::InsertHandle(std::make_shared<KeyObject>(node, sim::NormalizeAccess(access), st.boot));
  }
  return kErrorSuccess;
}

uint32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, uint32_t options, uint32_t access, HKey* result,
                        uint32_t* disposition) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryWrite);
  if (result == nullptr) return kErrorInvalidParameter;
  *result = nullptr;
  auto parts = sim::SplitPath(subKey);
  for (auto part : parts) {
    if (part.size() > sim::kMaxKeyNameLength) return kErrorInvalidParameter;
  }
  bool wantVolatile = (options & sim::kRegOptionVolatile) != 0;
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> parent;
  uint32_t error = sim::ResolveLocked(root, &parent);
  if (error != kErrorSuccess) return error;
  auto node = parent->node;
  bool created = false;
  for (auto part : parts) {
    if (auto child = node->FindSubkey(part)) {
      node = std::move(child);
      continue;
    }
    // Keys directly below the predefined roots are hives; nobody creates those.
    if (node->predefinedRoot) return kErrorAccessDenied;
    if (node->isVolatile && !wantVolatile) return sim::kErrorChildMustBeVolatile;
    auto child = std::make_shared<Node>();
    child->name = std::wstring(part);
    child->parent = node.get();
    child->hive = node->hive;
    child->isVolatile = wantVolatile;
    node->subkeys.emplace(sim::hive::FoldName(part), child);
    if (!created) {
      sim::ReportChangeLocked(node.get(), kRegNotifyChangeName, signals);
      sim::MarkDirtyLocked(*child);
    }
    created = true;
    node = std::move(child);
  }
  if (created) sim::MarkDirtyLocked(*node);  // the torture journal must hold the deepest new key too
  *result = sim::InsertHandle(std::make_shared<KeyObject>(node, sim::NormalizeAccess(access), st.boot));
  if (disposition != nullptr) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  return kErrorSuccess;
}

uint32_t RegCloseKey(HKey key) {
  sim::CountCall(sim::CountedCall::Registry);
  if (key == HKeyLocalMachine() || key == HKeyUsers()) return kErrorSuccess;
  auto object = sim::LookupHandleAs<KeyObject>(key);
  if (!object || !CloseHandle(key)) return kErrorInvalidHandle;
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  object->CloseLocked(signals);
  return kErrorSuccess;
}

uint32_t RegQueryValueEx(HKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  sim::CountCall(sim::CountedCall::Registry);
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeyQueryValue, &object);
  if (error != kErrorSuccess) return error;
  auto& node = *object->node;
  auto value = node.FindValue(name != nullptr ? name : L"");
  if (value == node.values.end()) return kErrorFileNotFound;
  if (type != nullptr) *type = value->type;
  auto length = static_cast<uint32_t>(value->data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = length;
    return kErrorSuccess;
  }
  if (*size < length) {
    *size = length;
    return kErrorMoreData;
  }
  std::copy(value->data.begin(), value->data.end(), data);
  *size = length;
  return kErrorSuccess;
}

uint32_t RegSetValueEx(HKey key, const wchar_t* name, uint32_t type, const uint8_t* data, uint32_t size) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryWrite);
  if (data == nullptr && size != 0) return kErrorInvalidParameter;
  std::wstring valueName = name != nullptr ? name : L"";
  if (valueName.size() > sim::kMaxValueNameLength) return kErrorInvalidParameter;
  sim::FaultIfPlanned(sim::NarrowUtf8(valueName));
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeySetValue, &object);
  if (error != kErrorSuccess) return error;
  auto& node = *object->node;
  if (node.predefinedRoot) return kErrorAccessDenied;
  std::vector<uint8_t> bytes(data, data + size);
  auto value = node.FindValue(valueName);
  if (value == node.values.end()) {
    node.values.push_back({std::move(valueName), type, std::move(bytes)});
  } else if (value->type == type && value->data == bytes) {
    return kErrorSuccess;  // the registry skips a write that changes nothing: no notification, nothing dirty
  } else {
    value->type = type;
    value->data = std::move(bytes);
  }
  sim::ReportChangeLocked(&node, kRegNotifyChangeLastSet, signals);
  sim::MarkDirtyLocked(node);
  return kErrorSuccess;
}

uint32_t RegDeleteValue(HKey key, const wchar_t* name) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryWrite);
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeySetValue, &object);
  if (error != kErrorSuccess) return error;
  auto& node = *object->node;
  auto value = node.FindValue(name != nullptr ? name : L"");
  if (value == node.values.end()) return kErrorFileNotFound;
  node.values.erase(value);
  sim::ReportChangeLocked(&node, kRegNotifyChangeLastSet, signals);
  sim::MarkDirtyLocked(node);
  return kErrorSuccess;
}

uint32_t RegDeleteTree(HKey key, const wchar_t* subKey) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryWrite);
  auto parts = sim::SplitPath(subKey);
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  // Emptying the key itself enumerates it through this handle; deleting a named subkey opens that
  // subkey afresh, so the handle's own rights do not matter then.
  uint32_t needed = parts.empty() ? (kKeyEnumerateSubKeys | kKeyQueryValue) : 0;
  uint32_t error = sim::ResolveLocked(key, needed, &object);
  if (error != kErrorSuccess) return error;
  auto target = object->node;
  for (auto part : parts) {
    target = target->FindSubkey(part);
    if (!target) return kErrorFileNotFound;
  }
  if (target->predefinedRoot || (target != object->node && target->parent->predefinedRoot)) {
    return kErrorAccessDenied;
  }
  if (target != object->node) {
    Node* parent = target->parent;
    parent->subkeys.erase(sim::hive::FoldName(target->name));
    sim::MarkDeletedLocked(target.get());
    target->parent = nullptr;
    sim::ReportChangeLocked(parent, kRegNotifyChangeName, signals);
    sim::MarkDirtyLocked(*parent);
  } else {
    bool hadValues = !target->values.empty();
    bool hadSubkeys = !target->subkeys.empty();
    target->values.clear();
    sim::DeleteSubkeysLocked(target.get());
    if (hadValues) sim::ReportChangeLocked(target.get(), kRegNotifyChangeLastSet, signals);
    if (hadSubkeys) sim::ReportChangeLocked(target.get(), kRegNotifyChangeName, signals);
    if (hadValues || hadSubkeys) sim::MarkDirtyLocked(*target);
  }
  sim::ReportDeletionsLocked(signals);
  return kErrorSuccess;
}

uint32_t SHDeleteKey(HKey key, const wchar_t* subKey) {
  if (subKey == nullptr || sim::SplitPath(subKey).empty()) return kErrorInvalidParameter;
  return RegDeleteTree(key, subKey);
}

uint32_t RegEnumKeyEx(HKey key, uint32_t index, std::wstring* name) {
  sim::CountCall(sim::CountedCall::Registry);
  if (name == nullptr) return kErrorInvalidParameter;
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeyEnumerateSubKeys, &object);
  if (error != kErrorSuccess) return error;
  auto& subkeys = object->node->subkeys;
  if (index >= subkeys.size()) return kErrorNoMoreItems;
  *name = std::next(subkeys.begin(), index)->second->name;
  return kErrorSuccess;
}

uint32_t RegEnumValue(HKey key, uint32_t index, std::wstring* name, uint32_t* type) {
  sim::CountCall(sim::CountedCall::Registry);
  if (name == nullptr) return kErrorInvalidParameter;
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeyQueryValue, &object);
  if (error != kErrorSuccess) return error;
  auto& values = object->node->values;
  if (index >= values.size()) return kErrorNoMoreItems;
  *name = values[index].name;
  if (type != nullptr) *type = values[index].type;
  return kErrorSuccess;
}

uint32_t RegFlushKey(HKey key) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryFlush);
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, &object);
  if (error != kErrorSuccess) return error;
  int hive = object->node->hive;
  return hive == sim::kNoHive ? sim::FlushAllLocked() : sim::FlushHiveLocked(hive);
}

uint32_t RegNotifyChangeKeyValue(HKey key, bool watchSubtree, uint32_t filter, Handle event, bool asynchronous) {
  sim::CountCall(sim::CountedCall::Registry);
  // Only the asynchronous form is modelled; nothing in the agent blocks inside this call.
  if (!asynchronous) return kErrorInvalidParameter;
  if ((filter & sim::kNotifyFilterMask) == 0 || (filter & ~(sim::kNotifyFilterMask | sim::kRegNotifyThreadAgnostic))) {
    return kErrorInvalidParameter;
  }
  if (event == nullptr) return kErrorInvalidParameter;  // asynchronous needs an event
  auto eventObject = sim::LookupHandle(event);
  if (!eventObject || !eventObject->IsWaitable()) return kErrorInvalidHandle;
  // Arming clears the event first, as every asynchronous kernel request with an event does.
  ResetEvent(event);
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, kKeyNotify, &object);
  if (error != kErrorSuccess) return error;
  object->watchSubtree = watchSubtree;
  object->filter = filter & sim::kNotifyFilterMask;
  if (!object->notifyRegistered) {
    object->notifyRegistered = true;
    std::erase_if(st.watchers, [](const std::weak_ptr<KeyObject>& weak) {
      auto watcher = weak.lock();
      return !watcher || !watcher->notifyRegistered;
    });
    st.watchers.push_back(object);
  }
  if (object->notifyPending) {
    object->notifyPending = false;
    signals.Add(std::move(eventObject));
  } else {
    object->armedEvents.push_back(std::move(eventObject));
  }
  return kErrorSuccess;
}

uint32_t RegSaveKey(HKey key, const wchar_t* file) {
  sim::CountCall(sim::CountedCall::Registry);
  if (file == nullptr) return kErrorInvalidParameter;
  if (!sim::SimPrivilegeEnabled(L"SeBackupPrivilege")) return kErrorPrivilegeNotHeld;
  auto path = sim::HostPath(file);
  if (path.empty()) return kErrorPathNotFound;
  auto& st = sim::State();
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, &object);
  if (error != kErrorSuccess) return error;
  std::error_code fsError;
  if (std::filesystem::exists(path, fsError)) return kErrorAlreadyExists;
  if (!std::filesystem::is_directory(path.parent_path(), fsError)) return kErrorPathNotFound;
  auto bytes = sim::hive::Encode(sim::SnapshotLocked(*object->node), sim::hive::FileKind::SavedKey);
  if (!sim::hive::WriteFileAtomically(path, bytes)) return kErrorWriteFault;
  return kErrorSuccess;
}

uint32_t RegRestoreKey(HKey key, const wchar_t* file, uint32_t /*flags*/) {
  sim::CountCall(sim::CountedCall::Registry);
  sim::PowerCutPoint(sim::PowerCutSite::RegistryWrite);
  if (file == nullptr) return kErrorInvalidParameter;
  if (!sim::SimPrivilegeEnabled(L"SeRestorePrivilege")) return kErrorPrivilegeNotHeld;
  auto path = sim::HostPath(file);
  if (path.empty()) return kErrorPathNotFound;
  std::error_code fsError;
  if (!std::filesystem::is_regular_file(path, fsError)) return kErrorFileNotFound;
  std::vector<uint8_t> bytes;
  sim::hive::Key saved;
  if (!sim::hive::ReadWholeFile(path, &bytes)) return kErrorFileNotFound;
  if (!sim::hive::Decode(bytes.data(), bytes.size(), sim::hive::FileKind::SavedKey, &saved)) {
    return kErrorRegistryCorrupt;
  }
  auto& st = sim::State();
  PendingSignals signals;
  std::lock_guard<std::mutex> lock(st.mutex);
  std::shared_ptr<KeyObject> object;
  uint32_t error = sim::ResolveLocked(key, &object);
  if (error != kErrorSuccess) return error;
  auto& node = *object->node;
  if (node.predefinedRoot) return kErrorAccessDenied;
  sim::DeleteSubkeysLocked(&node);
  node.values = std::move(saved.values);
  for (auto& subkey : saved.subkeys) {
    auto child = sim::BuildNode(std::move(subkey), &node, node.hive, node.isVolatile);
    auto folded = sim::hive::FoldName(child->name);
    node.subkeys.emplace(std::move(folded), std::move(child));
  }
  sim::ReportChangeLocked(&node, kRegNotifyChangeName | kRegNotifyChangeLastSet, signals);
  sim::ReportDeletionsLocked(signals);
  sim::MarkDirtyLocked(node);
  return kErrorSuccess;
}

}  // namespace tamber::platform
