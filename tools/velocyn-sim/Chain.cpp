#include "Chain.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "AgentBoot.h"
#include "DomainView.h"
#include "Inspect.h"
#include "MachineImage.h"
#include "NetworkView.h"
#include "RegistryView.h"
#include "Snapshot.h"
#include "UniversalprepPool.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "framework/log/LogWriter.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/network/SimAdapters.h"
#include "platform/sim/security/SimLsa.h"
#include "platform/sim/setup/SimGuestOperations.h"
#include "platform/sim/setup/SimSetup.h"
#include "platform/sim/storage/SimStorage.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;
using tamber::platform::guestrpc::SimHypervisor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kDomainName = "corp.example";
constexpr const char* kChainMarker = "chain.conf";
constexpr const char* kLogDirectory = "drive_c/ProgramData/Talvora/Quorvel/logs";
// The golden image's service stops itself this long after it has done its work, so a boot that asks
// for no shutdown or reboot still ends soon (machine time).
constexpr uint32_t kServiceShutdownDelayMs = 20000;
// Machines are numbered for their addresses and UUIDs: the chain's own first, then the clones.
constexpr uint32_t kFirstCloneNumber = 100;
// The management side's customization flags (AgentCustomizationFlags).
constexpr uint32_t kFlagSysprep = 0x80;
constexpr uint32_t kFlagPersistentDisks = 0x2000;

std::string MacText(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 6) return {};
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

// The administrator's answer file for the pool's specialize pass: setup names each clone, and the network
// settings of the template's adapter, named by its MAC text, keep DHCP and give the domain's DNS server.
std::string AnswerFile(const std::string& interfaceId) {
  const std::string iface = "<Interfaces><Interface><Identifier>" + interfaceId + "</Identifier>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">\n"
         "  <settings pass=\"specialize\">\n"
         "    <component name=\"Microsoft-Windows-Shell-Setup\"><ComputerName>*</ComputerName></component>\n"
         "    <component name=\"Microsoft-Windows-TCPIP\">" +
         iface +
         "<Ipv4Settings><DhcpEnabled>true</DhcpEnabled></Ipv4Settings></Interface></Interfaces></component>\n"
         "    <component name=\"Microsoft-Windows-DNS-Client\">" +
         iface +
         "<DNSServerSearchOrder><IpAddress>10.0.0.2</IpAddress></DNSServerSearchOrder></Interface></Interfaces></component>\n"
         "    <component name=\"Microsoft-Windows-NetBT\">" +
         iface +
         "<NetbiosOptions>1</NetbiosOptions></Interface></Interfaces></component>\n"
         "  </settings>\n"
         "</unattend>\n";
}
// Universalprep boots start the helper as a host process, which must report ready within 30 s of
// machine time: they run at most this many times faster than real time.
constexpr double kHelperTimeScale = 100;

double SinceMs(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A UUID-shaped text drawn from the seed, the same for the same seed and machine.
std::string MakeUuid(uint64_t seed, uint32_t index) {
  std::mt19937_64 random(seed * 1000003u + index);
  char text[40];
  const uint64_t a = random();
  const uint64_t b = random();
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFF),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

// The lasting state of a machine's disk; the hypervisor's side, the running boot's files and named pipes
// (a boot that lost its power leaves its pipes behind), pending power requests, faults and adapters
// belong to the virtual machine, not its disk. The agent's image is the same file on every disk of the
// pool: linked, not copied.
void CopyDisk(const fs::path& from, const fs::path& to) {
  static const std::set<std::string> kNotOnDisk = {"hypervisor",    "run",         "pipes",
                                                   "power.request", "faults.conf", "adapters.conf"};
  fs::create_directories(to / "hypervisor");
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
    // The iterator's paths begin with `from` as given: no need to resolve links on every file.
    const fs::path relative = it->path().lexically_relative(from);
    if (it.depth() == 0 && kNotOnDisk.count(relative.string()) != 0) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    const fs::path target = to / relative;
    if (it->is_directory()) {
      fs::create_directories(target);
      continue;
    }
    std::error_code error;
    if (it->path().extension() == ".exe") fs::create_hard_link(it->path(), target, error);
    if (it->path().extension() != ".exe" || error) fs::copy_file(it->path(), target);
  }
}

// Each virtual machine gets its own adapter (a fresh MAC address) with its own DHCP lease, in 10.0.0.0/8:
// 240 hosts per third octet, 250 third octets per second octet.
std::string AddNetwork(const fs::path& machine, uint32_t number) {
  const std::string ip = "10." + std::to_string(20 + number / (240 * 250) % 230) + "." +
                         std::to_string(number / 240 % 250) + "." + std::to_string(10 + number % 240);
  char mac[24];
  std::snprintf(mac, sizeof mac, "02-54-56-%02X-%02X-%02X", (number >> 16) & 0xFF, (number >> 8) & 0xFF, number & 0xFF);
  return AddAdapter(machine, "Ethernet0",
                    {"ip=" + ip + "/255.0.0.0", "gateway=10.0.0.1", "dns=10.0.0.2", "dhcpServer=10.0.0.1",
                     "lease=" + ip + "/255.0.0.0", std::string("mac=") + mac});
}

bool SetVariables(const fs::path& machine, const std::vector<std::pair<std::string, std::string>>& variables) {
  SimHypervisor hypervisor(machine / "hypervisor");
  for (const auto& [name, value] : variables) {
    if (!hypervisor.SetVariable(name, value)) return false;
  }
  return true;
}

std::set<std::string> LogFiles(const fs::path& machine) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(machine / kLogDirectory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("debug-", 0) == 0) names.insert(name);
  }
  return names;
}

// "2026-12-06T21:17:19.123Z" as milliseconds of the day.
std::optional<uint64_t> TimeOfDayMs(const std::string& line) {
  unsigned h = 0, m = 0, s = 0, ms = 0;
  if (line.size() < 24 || std::sscanf(line.c_str() + 11, "%2u:%2u:%2u.%3u", &h, &m, &s, &ms) != 4) return std::nullopt;
  return ((h * 60ull + m) * 60ull + s) * 1000ull + ms;
}

// The customization steps of one boot: the flow's and the driver's lines, and every error.
std::vector<ChainStep> ReadSteps(const fs::path& machine, const std::set<std::string>& before) {
  std::vector<ChainStep> steps;
  std::optional<uint64_t> first;
  for (const std::string& name : LogFiles(machine)) {
    if (before.count(name) != 0) continue;
    std::ifstream in(machine / kLogDirectory / name);
    for (std::string line; std::getline(in, line);) {
      auto at = TimeOfDayMs(line);
      if (!at) continue;
      if (!first) first = at;
      const std::string level = line.substr(25, line.find(' ', 25) - 25);
      const size_t method = line.find("tamber::core::windows::");
      const bool flow = method != std::string::npos && (line.find("Cloneprep::", method) != std::string::npos ||
                                                        line.find("Sysprep::", method) != std::string::npos ||
                                                        line.find("Customization::", method) != std::string::npos);
      if (!flow && level != "ERROR") continue;
      std::string text = method == std::string::npos ? line.substr(std::min(line.size(), line.find('[') + 1))
                                                     : line.substr(method + 23);
      const size_t tail = text.find(" (LogDelayTicks=");
      if (tail != std::string::npos) text.erase(tail);
      steps.push_back({*at >= *first ? *at - *first : 0, level, text});
    }
  }
  return steps;
}

class Chain {
 public:
  explicit Chain(const ChainOptions& options) : options_(options), start_(Clock::now()) {}

  ChainResult Run();

 private:
  std::string Prepare();
  std::string MakeGolden(ChainMachine* golden);
  std::string Derive(const ChainMachine& from, ChainMachine* to, uint32_t number,
                     const std::vector<std::pair<std::string, std::string>>& roleVariables);
  // A blank data disk for the clone, described to it as its Primary persistent disk on D:.
  std::string AttachPersistentDisk(const ChainMachine& clone);
  void BootUntilDone(ChainMachine* machine);
  bool Sysprep() const { return options_.flavour == "sysprep"; }
  // The flags every machine of the pool gets, and a clone with its persistent disk.
  uint32_t PoolFlags() const { return Sysprep() ? kFlagSysprep : 0; }
  // The status that ends a role's work in this flavour ("" for none: the machine reports nothing).
  std::string DoneStatus(const std::string& role) const;
  // What the management side does for the flavour before a machine's first boot.
  std::string PrepareForFlavour(const ChainMachine& machine);
  bool Universalprep() const { return options_.flavour == "universalprep"; }
  // The role's status: guestinfo, or on a golden image's machines its registry mirror.
  std::string RoleStatus(const ChainMachine& machine, const std::string& suffix) const;
  void ReadFinalState(ChainMachine* machine);
  void Judge(ChainMachine* machine, bool isClone);
  void RunClones(const ChainMachine& parent);
  void Report(const ChainMachine& machine);

  const ChainOptions& options_;
  Clock::time_point start_;
  ChainResult result_;
  fs::path domainDir_;
  std::mutex progressLock_;
  std::mutex prepareLock_;
  std::atomic<uint32_t> finished_{0};
};

std::string Chain::Prepare() {
  const fs::path& dir = options_.dir;
  std::error_code error;
  if (fs::exists(dir) && !fs::is_empty(dir, error)) {
    if (!fs::exists(dir / kChainMarker)) {
      return dir.string() + " holds something that is not a chain; name a new or empty directory";
    }
    if (!options_.force) return dir.string() + " holds an earlier chain; add --force to replace it";
    fs::remove_all(dir);
  }
  fs::create_directories(dir);
  std::ofstream(dir / kChainMarker) << "flavour=" << options_.flavour << "\nclones=" << options_.clones
                                    << "\nseed=" << options_.seed << "\n";
  domainDir_ = dir / "domain";
  DomainSpec spec{kDomainName, {"dc1"}, {}};
  DomainSpecError made = CreateDomain(domainDir_, spec);
  return made.text;
}

std::string Chain::MakeGolden(ChainMachine* golden) {
  golden->name = "golden";
  golden->role = "master";
  golden->dir = options_.dir / "golden";
  sim::Machine::Create(golden->dir);
  sim::MachineConfig config;
  config.timeScale = options_.timeScale;
  sim::Machine::SaveConfig(golden->dir, config);
  if (std::string error = AddNetwork(golden->dir, 0); !error.empty()) return error;
  if (std::string error = sim::AttachToDomain(golden->dir, domainDir_); !error.empty()) return error;
  GoldenImageOptions image;
  image.shutdownDelayMs = kServiceShutdownDelayMs;
  // An administrator's master image is found by its guestinfo; a Universalprep golden image is marked.
  image.goldenImageMarker = Universalprep();
  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  sim::Machine::Boot(golden->dir);
  std::string error = InstallGoldenImage(image);
  sim::InstallSetupState();  // an installed Windows: setup complete
  if (error.empty() && Universalprep()) error = InstallUniversalprepGolden(kDomainName, MakeUuid(options_.seed, 0));
  tamber::framework::log::ShutdownLog();
  sim::Machine::Shutdown();
  return error;
}

std::string Chain::Derive(const ChainMachine& from, ChainMachine* to, uint32_t number,
                          const std::vector<std::pair<std::string, std::string>>& roleVariables) {
  to->dir = options_.dir / to->name;
  CopyDisk(from.dir, to->dir);
  if (std::string error = AddNetwork(to->dir, number); !error.empty()) return error;
  const std::string uuid = MakeUuid(options_.seed, number);
  PrimeResult primed = PrimeMachine(to->dir, to->hostName, uuid);
  if (!primed.error.empty()) return to->name + ": " + primed.error;
  if (!SetVariables(to->dir, roleVariables)) return to->name + ": cannot write its guestinfo";
  if (std::string error = PrepareForFlavour(*to); !error.empty()) return to->name + ": " + error;
  if (to->role == "clone" && options_.persistentDiskBytes != 0) {
    if (std::string error = AttachPersistentDisk(*to); !error.empty()) return to->name + ": " + error;
  }
  auto faults = options_.faults.find(to->role);
  if (faults != options_.faults.end()) sim::FaultPlan::Save(to->dir, faults->second);
  if (options_.prepareMachine) {
    std::lock_guard<std::mutex> lock(prepareLock_);
    options_.prepareMachine(*to, to->role == "clone" ? number - kFirstCloneNumber : 0);
  }
  return {};
}

std::string Chain::AttachPersistentDisk(const ChainMachine& clone) {
  const fs::path image = options_.dir / "disks" / clone.name;
  fs::create_directories(image.parent_path());
  if (!sim::CreateDiskImage(image, options_.persistentDiskBytes)) return "cannot make its data disk " + image.string();
  std::string error;
  if (!sim::AttachDisk(clone.dir, 0, 1, image, &error)) return "cannot attach its data disk: " + error;
  if (!SetVariables(clone.dir, {{"clone.PersistentDisks", "[mountPoint=D;usage=1;loc=0:1;]"},
                                {"AgentCustomizationFlags", std::to_string(PoolFlags() | kFlagPersistentDisks)}})) {
    return "cannot describe its data disk in its guestinfo";
  }
  return {};
}

std::string Chain::DoneStatus(const std::string& role) const { return FlavourDoneStatus(options_.flavour, role); }

std::string Chain::PrepareForFlavour(const ChainMachine& machine) {
  if (!Sysprep()) return {};
  if (!SetVariables(machine.dir, {{"AgentCustomizationFlags", std::to_string(PoolFlags())}})) {
    return "cannot write its customization flags";
  }
  if (machine.role == "replica") {
    // The answer file for the clones' specialize pass, naming the template's adapter by its MAC text; the
    // replica's agent patches it to the adapter's name, which the clones keep while their MACs change.
    auto adapters = sim::LoadAdapters(machine.dir);
    if (adapters.empty()) return "has no adapter to name in its answer file";
    const fs::path panther = machine.dir / "drive_c" / "Windows" / "Panther";
    fs::create_directories(panther);
    std::ofstream(panther / "unattend.xml", std::ios::binary) << AnswerFile(MacText(adapters.front().physicalAddress));
  }
  if (machine.role == "clone") {
    // Each clone's virtual adapter has a MAC of its own, unlike the template's the answer file was written
    // for: only the adapter's name carries over.
    const size_t digits = machine.name.find_last_not_of("0123456789") + 1;
    const uint32_t number = static_cast<uint32_t>(std::stoul("0" + machine.name.substr(digits)));
    char mac[32];
    std::snprintf(mac, sizeof mac, "mac=02:54:56:10:%02x:%02x", (number >> 8) & 0xFF, number & 0xFF);
    if (std::string error = SetAdapterValues(machine.dir, "Ethernet0", {mac}); !error.empty()) return error;
    // The management side runs sysprep on the clone once its agent reports that it waits for it.
    if (!sim::QueueGuestOperation(
            machine.dir, {"clone.CustomizationState", "CustomizationBegin", sim::SysprepGeneralizeCommandLine()})) {
      return "cannot queue its sysprep run";
    }
  }
  return {};
}

void Chain::BootUntilDone(ChainMachine* machine) {
  AgentBootOptions boot;
  boot.agentExecutable = options_.agentExecutable;
  boot.timeScale = options_.timeScale;
  boot.timeJumps = options_.timeJumps;
  boot.hostTimeoutMs = options_.hostTimeoutMs;
  if (Sysprep() && machine->role == "clone") {
    // The management side shuts a clone down for its snapshot as soon as it asks for it.
    boot.guestShutdownVariable = machine->role + ".CustomizationState";
    boot.guestShutdownValue = kSnapshottingStatus;
  }
  // The sysprep replica has one start more after its work: the answer-file pass.
  bool answerFilePassDone = false;
  if (Universalprep()) {
    boot.helperProgram = options_.helperProgram;
    boot.timeScale = std::min(boot.timeScale, kHelperTimeScale);
  }
  SimHypervisor hypervisor(machine->dir / "hypervisor");
  while (machine->boots.size() < options_.maxBootsPerMachine) {
    const auto logsBefore = LogFiles(machine->dir);
    ChainBoot record;
    boot.powerCutAtMs = options_.powerCutAt ? options_.powerCutAt(*machine) : std::nullopt;
    const auto stopAt = options_.stopAt ? options_.stopAt(*machine) : std::nullopt;
    boot.controls = {{stopAt.value_or(options_.stopAfterMs), 1 /* SERVICE_CONTROL_STOP */, 0}};
    record.startRealMs = SinceMs(start_);
    const auto begun = Clock::now();
    const std::string statusBefore = RoleStatus(*machine, "CustomizationState");
    AgentBootResult ended = BootWithAgent(machine->dir, boot);
    record.realMs = SinceMs(begun);
    record.endedBy = ended.started ? ended.endedBy : "not started: " + ended.error;
    record.exitCode = ended.exitCode;
    record.powerCutAt = ended.powerCutAt;
    record.machineTimeMs = ended.machineTimeMs;
    record.hostTimeMs = ended.hostTimeMs;
    record.cpuUs = ended.cpuUs;
    record.peakRssKiB = ended.peakRssKiB;
    record.toolsRealMs = ended.toolsRealMs;
    record.jumps = ended.jumps;
    record.idleRealUs = ended.idleRealUs;
    record.registryCalls = ended.registryCalls;
    record.guestInfoCalls = ended.guestInfoCalls;
    record.status = RoleStatus(*machine, "CustomizationState");
    record.steps = ReadSteps(machine->dir, logsBefore);
    machine->machineTimeMs += record.machineTimeMs;
    machine->realMs += record.realMs;
    machine->boots.push_back(std::move(record));
    if (options_.afterBoot) options_.afterBoot(*machine);
    const ChainBoot& last = machine->boots.back();
    if (!ended.started || machine->role == "master") return;
    if ((Sysprep() || Universalprep()) && machine->role == "clone" && last.status == kSnapshottingStatus &&
        last.endedBy != "power cut") {
      // The clone asked for its snapshot and its service has ended: the hypervisor takes it and powers
      // the clone on again.
      if (std::string error = SnapshotAndPowerCycle(machine->dir, machine->role); !error.empty()) {
        machine->problem = error;
        return;
      }
      continue;
    }
    if (Sysprep() && machine->role == "replica") {
      const bool replicaDone = last.status == "CustomizationBegin" || last.status == "success";
      if (replicaDone && statusBefore == last.status && last.endedBy != "reboot" && last.endedBy != "power cut") {
        answerFilePassDone = true;
      }
      if (last.status == "error" && last.endedBy != "reboot" && last.endedBy != "power cut") return;
      if (!answerFilePassDone) continue;
      return;
    }
    const std::string done = DoneStatus(machine->role);
    const bool final = last.status == done || last.status == "error" || last.status == "success";
    if (Universalprep() && machine->role == "it" && last.status == done && last.endedBy == "power cut") {
      // A golden image's template that has reported its success is generalized, with the helper's
      // interception in place, and was on its way to the shutdown that hands it over: the cut only took
      // that shutdown's place. The management side forks the clones from this disk and never starts the
      // template again; a start would run the pending specialize pass on the template itself, and every
      // clone forked after it would carry the template's identity.
      return;
    }
    // A machine goes on while it restarts itself or has not reached a final status; power that comes
    // back after a cut boots it again, as the hypervisor would.
    if (final && last.endedBy != "reboot" && last.endedBy != "power cut") return;
  }
}

std::string Chain::RoleStatus(const ChainMachine& machine, const std::string& suffix) const {
  const std::string name = machine.role + "." + suffix;
  if (Universalprep()) return ReadMirrorVariable(machine.dir, name).value_or("");
  return SimHypervisor(machine.dir / "hypervisor").GetVariable(name).value_or("");
}

void Chain::ReadFinalState(ChainMachine* machine) {
  machine->status = RoleStatus(*machine, "CustomizationState");
  machine->errorCategory = RoleStatus(*machine, "CustomizationErrorCategory");

  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  sim::Machine::Boot(machine->dir);
  const auto& policyValue = tamber::core::util::DescribePersisted(tamber::core::util::Persisted::PolicyState);
  if (auto policy = ReadOneValue(std::wstring(L"HKLM\\") + tamber::core::util::kRegistryKeyPaths[policyValue.key],
                                 policyValue.name)) {
    machine->policyState = policy->dword;
  }
  if (auto success = ReadOneValue(L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\External",
                                  L"IsCloneCustomizationSuccessful")) {
    machine->cloneSuccessful = success->dword;
  }
  if (auto name = ReadOneValue(std::wstring(L"HKLM\\") + sim::kComputerNameKeyPath, L"ComputerName")) {
    machine->computerName = name->display;
  }
  sim::Machine::PowerCut();  // read only: leave the machine exactly as it was
  // An error's code is the policy state it left (the guestinfo code variable carries the HRESULT).
  if (machine->status == "error") machine->errorCode = machine->policyState;

  auto secret = sim::ReadLsaSecret(machine->dir, L"$MACHINE.ACC");
  auto domain = sim::SimDomain::Open(domainDir_);
  auto account =
      domain && !machine->computerName.empty() ? domain->AccountPassword(machine->computerName) : std::nullopt;
  machine->trustHolds = secret && account && account->Equals(secret->data(), secret->size());
}

// Whether the machine reached its prediction. A clone's "success" must be true of the machine itself.
void Chain::Judge(ChainMachine* machine, bool isClone) {
  auto predicted = options_.expect.find(machine->role);
  ChainExpectation expect = predicted == options_.expect.end() ? ChainExpectation{} : predicted->second;
  if (predicted == options_.expect.end()) {
    expect.status = DoneStatus(machine->role);
  }
  if (machine->boots.empty() || machine->boots.back().endedBy.rfind("not started", 0) == 0) {
    machine->problem = machine->boots.empty() ? "never booted" : machine->boots.back().endedBy;
    return;
  }
  for (size_t i = 0; i < machine->boots.size(); ++i) {
    const std::string& ended = machine->boots[i].endedBy;
    if (ended == "exited" || ended == "timed out") {
      machine->problem =
          "boot " + std::to_string(i + 1) + " " + ended + " (the agent ended without a stop or a power request)";
      return;
    }
  }
  if (machine->status != expect.status) {
    machine->problem = "ended in \"" + machine->status + "\", predicted \"" + expect.status + "\"";
  } else if (expect.errorCode && machine->errorCode != expect.errorCode) {
    machine->problem = "error code " + (machine->errorCode ? std::to_string(*machine->errorCode) : "none") +
                       ", predicted " + std::to_string(*expect.errorCode);
  } else if (isClone && machine->status == "success") {
    if (!sim::SimDomain::SameName(machine->computerName, machine->hostName)) {
      machine->problem = "reports success but is named \"" + machine->computerName + "\"";
    } else if (!machine->trustHolds) {
      machine->problem = "reports success but its secure channel does not verify against the domain";
    } else if (machine->policyState != 0u) {
      machine->problem = "reports success but PolicyState is not 0";
    } else if (machine->cloneSuccessful != 1u) {
      machine->problem = "reports success but IsCloneCustomizationSuccessful is not 1";
    }
  }
}

void Chain::Report(const ChainMachine& machine) {
  if (!options_.progress) return;
  std::lock_guard<std::mutex> lock(progressLock_);
  options_.progress(machine.name + " (" + machine.hostName + "): " + (machine.status.empty() ? "-" : machine.status) +
                    " after " + std::to_string(machine.boots.size()) + " boot(s)" +
                    (machine.problem.empty() ? "" : " [" + machine.problem + "]"));
}

void Chain::RunClones(const ChainMachine& parent) {
  const size_t first = result_.machines.size();
  result_.machines.resize(first + options_.clones);
  std::atomic<uint32_t> next{0};
  auto worker = [&] {
    for (uint32_t i = next++; i < options_.clones; i = next++) {
      ChainMachine& clone = result_.machines[first + i];
      char name[32];
      std::snprintf(name, sizeof name, "clone-%04u", i + 1);
      clone.name = name;
      clone.role = "clone";
      std::snprintf(name, sizeof name, "POOL-CL%04u", i + 1);
      clone.hostName = name;
      // A golden image's clones know their role from the template's marker and their own MAC address.
      std::string error = Universalprep()
                              ? Derive(parent, &clone, kFirstCloneNumber + i, {})
                              : Derive(parent, &clone, kFirstCloneNumber + i, {{"ngaFork", "1"}, {"forked", "1"}});
      if (error.empty()) {
        BootUntilDone(&clone);
        ReadFinalState(&clone);
        Judge(&clone, /*isClone=*/true);
      } else {
        clone.problem = error;
      }
      Report(clone);
    }
  };
  uint32_t jobs = options_.jobs != 0 ? options_.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = std::min(jobs, std::max(1u, options_.clones));
  std::vector<std::thread> threads;
  for (uint32_t j = 0; j < jobs; ++j) threads.emplace_back(worker);
  for (auto& thread : threads) thread.join();
}

ChainResult Chain::Run() {
  if (options_.flavour != "cloneprep" && options_.flavour != "sysprep" && options_.flavour != "universalprep") {
    result_.error = "flavour " + options_.flavour +
                    " is not available; this build customizes cloneprep, sysprep and "
                    "universalprep pools";
    return result_;
  }
  if (std::string error = Prepare(); !error.empty()) {
    result_.error = error;
    return result_;
  }
  // The chain's own machines, one after the other: each is made from the disk of the one before.
  struct Stage {
    const char* name;
    const char* role;
    const char* host;
    std::vector<std::pair<std::string, std::string>> variables;
  };
  std::vector<Stage> stages = {
      {"it", "it", "POOL-IT", {{"it", "1"}}},
      {"replica", "replica", "POOL-IT", {{"ngaFork", "1"}, {"replica", "1"}}},
      {"parent", "parent", "POOL-IT", {{"ngaFork", "1"}}},
  };
  // A golden image's roles follow from its own markers and the MAC address it saved: its template (a
  // new MAC address) is forked into clones directly.
  if (Universalprep()) stages = {{"it", "it", "POOL-IT", {}}};
  result_.machines.reserve(stages.size() + 1 + options_.clones);
  result_.machines.emplace_back();
  if (std::string error = MakeGolden(&result_.machines.back()); !error.empty()) {
    result_.error = "cannot make the golden image: " + error;
    return result_;
  }
  BootUntilDone(&result_.machines.back());
  result_.machines.back().status = "success";  // the master reports nothing; its boot ended as it should
  Report(result_.machines.back());
  for (size_t i = 0; i < stages.size(); ++i) {
    ChainMachine next;
    next.name = stages[i].name;
    next.role = stages[i].role;
    next.hostName = stages[i].host;
    if (std::string error = Derive(result_.machines.back(), &next, static_cast<uint32_t>(i + 1), stages[i].variables);
        !error.empty()) {
      result_.error = error;
      return result_;
    }
    BootUntilDone(&next);
    ReadFinalState(&next);
    Judge(&next, /*isClone=*/false);
    Report(next);
    result_.machines.push_back(std::move(next));
    if (result_.machines.back().status != DoneStatus(result_.machines.back().role)) {
      result_.realMs = SinceMs(start_);
      return result_;  // nothing can be derived from a machine that did not do its role's work
    }
  }
  ChainMachine parent = result_.machines.back();
  RunClones(parent);
  result_.realMs = SinceMs(start_);
  return result_;
}

}  // namespace

bool ChainResult::ok() const {
  if (!error.empty() || machines.empty()) return false;
  return std::all_of(machines.begin(), machines.end(), [](const ChainMachine& m) { return m.problem.empty(); });
}

ChainResult RunChain(const ChainOptions& options) { return Chain(options).Run(); }

std::string FlavourDoneStatus(const std::string& flavour, const std::string& role) {
  if (flavour != "sysprep") return "success";
  if (role == "parent") return "";  // the flavour's parent has nothing to do
  // The replica hands over to the clones' sysprep (with sysprep's own domain join it reports success).
  if (role == "replica") return "CustomizationBegin";
  return "success";
}

}  // namespace velocyn::sim_cli
