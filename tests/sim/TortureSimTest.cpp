// Torture runs: the plan drawn from a seed, the power cut at a platform call, the registry that keeps
// part of what it had not flushed, and each invariant catching the broken outcome it is there for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "AgentBoot.h"
#include "RegistryView.h"
#include "Torture.h"
#include "common/security/SecureRegistry.h"
#include "framework/log/LogWriter.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPowerCut.h"
#include "platform/sim/security/SimLsa.h"
#include "platform/sim/storage/SimStorage.h"

namespace velocyn::sim_cli {
namespace {

namespace fs = std::filesystem;
using tamber::platform::sim::Machine;
using tamber::platform::sim::MachineConfig;

constexpr const wchar_t* kGaKey = L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\ga";

fs::path FreshDir(const std::string& what) {
  static std::atomic<int> counter{0};
  fs::path dir = fs::temp_directory_path() /
                 ("velocyn-torture-" + what + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(dir);
  return dir;
}

TEST(TorturePlanTest, TheSameSeedAndRunDrawTheSamePlanAndOthersDiffer) {
  std::set<std::string> plans;
  bool cutAtCall = false, cutAtTime = false, torn = false, intact = false, chainFaults = false;
  for (uint32_t run = 0; run < 60; ++run) {
    const TorturePlan plan = DrawTorturePlan(42, run, "cloneprep");
    EXPECT_EQ(plan.Describe(), DrawTorturePlan(42, run, "cloneprep").Describe());
    plans.insert(plan.Describe().substr(plan.Describe().find(':')));
    EXPECT_GE(plan.clones, 1u);
    EXPECT_LE(plan.clones, 3u);
    for (const auto& [machine, cut] : plan.cuts) {
      (cut.atMs ? cutAtTime : cutAtCall) = true;
      if (!cut.atMs) {
        EXPECT_TRUE(tamber::platform::sim::ParsePowerCutSite(cut.site).has_value()) << cut.site;
      }
    }
    (plan.tornFlushSeed != 0 ? torn : intact) = true;
    if (plan.faults.count("it") || plan.faults.count("replica") || plan.faults.count("parent")) chainFaults = true;
    for (const auto& [machine, faults] : plan.faults) {
      if (!plan.persistentDisk) {
        EXPECT_EQ(faults.count("FormatFails"), 0u) << "disk faults only with a disk";
      }
    }
  }
  EXPECT_GT(plans.size(), 50u) << "runs draw different plans";
  EXPECT_TRUE(cutAtCall && cutAtTime && torn && intact && chainFaults);
  EXPECT_NE(DrawTorturePlan(1, 3, "cloneprep").Describe(), DrawTorturePlan(2, 3, "cloneprep").Describe());
  const TorturePlan mixed = DrawTorturePlan(5, 0, "mixed");
  EXPECT_TRUE(mixed.flavour == "cloneprep" || mixed.flavour == "sysprep" || mixed.flavour == "universalprep");
}

class TornRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshDir("registry");
    Machine::Create(dir_);
  }
  void TearDown() override {
    if (Machine::IsBooted()) Machine::PowerCut();
    fs::remove_all(dir_);
  }
  void Boot(uint64_t tornSeed) {
    MachineConfig config = Machine::LoadConfig(dir_);
    config.tornFlushSeed = tornSeed;
    config.lazyFlushMs = 100000000;  // nothing is flushed unless asked
    Machine::SaveConfig(dir_, config);
    Machine::Boot(dir_);
  }
  static std::wstring Key(int i) { return L"HKLM\\SOFTWARE\\Torn\\K" + std::to_wstring(i); }
  // Which of the keys 0..n-1 hold their value.
  static std::set<int> Surviving(int n) {
    std::set<int> kept;
    for (int i = 0; i < n; ++i) {
      if (ReadOneValue(Key(i), L"v")) kept.insert(i);
    }
    return kept;
  }

  fs::path dir_;
};

TEST_F(TornRegistryTest, APowerCutKeepsARandomPartOfTheUnflushedKeysAndThatPartStays) {
  Boot(0x5eed);
  ASSERT_EQ(WriteValue(L"HKLM\\SOFTWARE\\Torn", L"flushed", "dword", "1"), 0u);
  tamber::framework::log::ShutdownLog();
  Machine::Shutdown();  // durable from here on

  Boot(0x5eed);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(WriteValue(Key(i), L"v", "dword", std::to_string(i)), 0u);
  ASSERT_EQ(DeleteValue(L"HKLM\\SOFTWARE\\Torn", L"flushed"), 0u);
  Machine::PowerCut();

  Boot(0x5eed);
  const std::set<int> kept = Surviving(40);
  EXPECT_GT(kept.size(), 0u) << "a part of the unflushed keys reached the disk";
  EXPECT_LT(kept.size(), 40u) << "and a part did not";
  for (int i : kept) EXPECT_EQ(ReadOneValue(Key(i), L"v")->dword, static_cast<uint32_t>(i)) << "never a mixture";
  Machine::PowerCut();

  Boot(0x5eed);
  EXPECT_EQ(Surviving(40), kept) << "what the cut left is decided once";
  Machine::PowerCut();
  EXPECT_FALSE(fs::exists(dir_ / "registry" / "SOFTWARE.hive.unflushed"));
  for (const char* hive : {"SOFTWARE", "SYSTEM", "SECURITY"}) {
    EXPECT_FALSE(fs::exists(dir_ / "registry" / (std::string(hive) + ".hive.corrupt"))) << hive;
  }
}

TEST_F(TornRegistryTest, WithoutTheTornModeAPowerCutLosesEveryUnflushedChangeAndAFlushKeepsThem) {
  Boot(0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(WriteValue(Key(i), L"v", "dword", "1"), 0u);
  Machine::PowerCut();
  Boot(0);
  EXPECT_TRUE(Surviving(10).empty());
  Machine::PowerCut();

  Boot(0x77);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(WriteValue(Key(i), L"v", "dword", "1"), 0u);
  tamber::framework::log::ShutdownLog();
  Machine::Shutdown();  // a clean end flushes: no torn part left to decide
  EXPECT_FALSE(fs::exists(dir_ / "registry" / "SOFTWARE.hive.unflushed"));
  Boot(0x77);
  EXPECT_EQ(Surviving(10).size(), 10u);
  Machine::PowerCut();
}

// Found by a torture run: the template joined, its markers reached the disk, and a power cut took the
// password the join had put in the LSA (the SECURITY hive is written lazily). The template could never
// prove its trust again. A stored secret is now durable before anything that records it.
TEST_F(TornRegistryTest, ASecretTheAgentStoresSurvivesAPowerCutRightAfterIt) {
  Boot(0);
  ASSERT_TRUE(tamber::common::windows::SecureRegistry::StorePrivateString(L"L$TortureSecret", "s3cret-value"));
  Machine::PowerCut();
  auto stored = tamber::platform::sim::ReadLsaSecret(dir_, L"L$TortureSecret");
  ASSERT_TRUE(stored.has_value()) << "the secret was lost by the power cut";
  EXPECT_GE(stored->size(), 24u);
}

// One run of a campaign with a plan that the test sets: a pool that succeeds unless the test breaks it.
class TortureRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.dir = FreshDir("runs");
    options_.agentExecutable = VELOCYN_AGENT_EXECUTABLE;
    options_.onlyRun = 0;
    options_.keep = false;
    options_.adjustPlan = [this](TorturePlan* plan) {
      plan->clones = 1;
      plan->persistentDisk = disk_;
      plan->script.clear();
      plan->faults.clear();
      plan->cuts.clear();
      plan->tornFlushSeed = 0;
      plan->lazyFlushMs = 5000;
      if (cut_) plan->cuts["clone-0001"] = *cut_;
    };
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(options_.dir);
  }
  TortureRunResult RunOnce() {
    TortureResult result = RunTorture(options_);
    EXPECT_EQ(result.error, "");
    if (result.runs.size() != 1) {
      ADD_FAILURE() << "one run";
      return {};
    }
    EXPECT_EQ(result.runs[0].error, "");
    return result.runs[0];
  }
  // The findings for one invariant, as text.
  static std::string Of(const TortureRunResult& run, Invariant invariant) {
    std::string text;
    for (const auto& finding : run.findings) {
      if (finding.invariant == invariant) text += finding.machine + ": " + finding.detail + "\n";
    }
    return text;
  }
  static std::string All(const TortureRunResult& run) {
    std::string text;
    for (const auto& finding : run.findings) {
      text += std::string(InvariantName(finding.invariant)) + " " + finding.machine + ": " + finding.detail + "\n";
    }
    return text;
  }
  static ChainMachine* Clone(ChainResult* chain) {
    for (auto& machine : chain->machines) {
      if (machine.role == "clone") return &machine;
    }
    return nullptr;
  }
  // Changes a machine's registry while it is off.
  static void SetDword(const fs::path& machine, const std::wstring& key, const std::wstring& name, uint32_t value) {
    std::lock_guard<std::mutex> lock(InProcessMachineLock());
    Machine::Boot(machine);
    EXPECT_EQ(WriteValue(key, name, "dword", std::to_string(value)), 0u);
    tamber::framework::log::ShutdownLog();
    Machine::Shutdown();
  }

  TortureOptions options_;
  bool disk_ = false;
  std::optional<TortureCut> cut_;
};

TEST_F(TortureRunTest, APowerCutAtARegistryWriteEndsTheBootThereAndThePoolStillKeepsEveryInvariant) {
  cut_ = TortureCut{0, std::nullopt, "registry-write", 40};
  std::vector<ChainBoot> boots;
  options_.afterRun = [&](const TorturePlan&, ChainResult* chain) { boots = Clone(chain)->boots; };
  const TortureRunResult run = RunOnce();
  EXPECT_TRUE(run.ok()) << All(run);
  ASSERT_GE(boots.size(), 2u);
  EXPECT_EQ(boots[0].endedBy, "power cut");
  EXPECT_EQ(boots[0].powerCutAt, "registry-write call 40");
  EXPECT_NE(boots[1].endedBy, "power cut") << "the cut happens once";
  EXPECT_EQ(run.powerCuts, 1u);
}

// The template of seed 1000 run 258: a power cut at the n-th registry flush of its first boot, for every
// n around the join, must leave a template that finishes (before the fix it stayed "running" for good).
TEST_F(TortureRunTest, ATemplateCutAtAnyFlushAroundItsJoinStillFinishes) {
  for (uint64_t call = 6; call <= 12; ++call) {
    options_.adjustPlan = [call](TorturePlan* plan) {
      plan->clones = 1;
      plan->faults.clear();
      plan->cuts.clear();
      plan->tornFlushSeed = 0;
      plan->lazyFlushMs = 30000;
      plan->script.clear();
      plan->cuts["it"] = TortureCut{0, std::nullopt, "registry-flush", call};
    };
    fs::remove_all(options_.dir);
    const TortureRunResult run = RunOnce();
    EXPECT_TRUE(run.ok()) << "cut at flush " << call << "\n" << All(run);
    if (!run.ok()) break;  // the failing run stays in options_.dir
  }
}

TEST_F(TortureRunTest, Invariant1CatchesABootThatHung) {
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) { Clone(chain)->boots.front().endedBy = "timed out"; };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::NoCrashOrHang).find("did not end within its bound"), std::string::npos) << All(run);
}

TEST_F(TortureRunTest, Invariant1CatchesACrashAndAnUndocumentedExitCode) {
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    Clone(chain)->boots.front().endedBy = "exited";
    Clone(chain)->boots.front().exitCode = 139;
    for (auto& machine : chain->machines) {
      if (machine.role == "parent") machine.boots.back().exitCode = 77;
    }
  };
  const TortureRunResult run = RunOnce();
  const std::string broken = Of(run, Invariant::NoCrashOrHang);
  EXPECT_NE(broken.find("clone-0001: boot 1 ended by itself (\"exited\", exit code 139, a crash)"), std::string::npos)
      << All(run);
  EXPECT_NE(broken.find("exited with the undocumented code 77"), std::string::npos) << All(run);
}

TEST_F(TortureRunTest, Invariant2CatchesACloneLeftHalfWayAndAnUndocumentedErrorCode) {
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    Clone(chain)->status = "running";
    for (auto& machine : chain->machines) {
      if (machine.role == "parent") {
        machine.status = "error";
        machine.errorCode = 40;
      }
    }
  };
  const TortureRunResult run = RunOnce();
  const std::string broken = Of(run, Invariant::EndsDocumented);
  EXPECT_NE(broken.find("clone-0001: still \"running\""), std::string::npos) << All(run);
  EXPECT_NE(broken.find("parent: \"error\" with the undocumented code 40"), std::string::npos) << All(run);
}

TEST_F(TortureRunTest, Invariant3CatchesASuccessWhoseSecureChannelDoesNotHold) {
  options_.afterRun = [this](const TorturePlan&, ChainResult* chain) {
    // The domain forgets the clone's password behind its back: its "success" is no longer true.
    auto domain = tamber::platform::sim::SimDomain::Open(options_.dir / "run-000000" / "domain");
    ASSERT_TRUE(domain.has_value());
    const uint8_t other[] = {'x', 0, 'y', 0, 'z', 0, 'z', 0};
    ASSERT_TRUE(domain->SetAccountPassword(Clone(chain)->hostName, other, sizeof other));
  };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::SuccessIsTrue).find("secure channel does not verify"), std::string::npos) << All(run);
}

TEST_F(TortureRunTest, Invariant3CatchesASuccessWithoutItsCompletionMarker) {
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    SetDword(Clone(chain)->dir, kGaKey, L"CloneCustomizationCompleted", 0);
  };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::SuccessIsTrue).find("without CloneCustomizationCompleted"), std::string::npos)
      << All(run);
}

TEST_F(TortureRunTest, Invariant4CatchesAForgedJoinMarker) {
  // The clone never joins (the LSA refuses its password every time) and ends in "error"; a forged
  // marker then claims a join whose password the machine does not hold.
  options_.adjustPlan = [inner = options_.adjustPlan](TorturePlan* plan) {
    inner(plan);
    plan->faults["clone-0001"]["LsaStoreFails"] = "0xC0000001@$MACHINE.ACC";
  };
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    ASSERT_EQ(Clone(chain)->status, "error");
    SetDword(Clone(chain)->dir, kGaKey, L"CloneJoinedDomain", 1);
  };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::MarkersHaveEffect).find("CloneJoinedDomain set but the account"), std::string::npos)
      << All(run);
}

TEST_F(TortureRunTest, Invariant4CatchesASecondJoinAndADataDiskFormattedAgain) {
  disk_ = true;
  options_.afterRun = [this](const TorturePlan&, ChainResult* chain) {
    auto domain = tamber::platform::sim::SimDomain::Open(options_.dir / "run-000000" / "domain");
    ASSERT_TRUE(domain.has_value());
    domain->RecordEvent("join " + Clone(chain)->hostName);
    domain->RecordEvent("join " + Clone(chain)->hostName);
  };
  TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::MarkersHaveEffect).find("joined the domain 2 times with 0 power cut(s)"),
            std::string::npos)
      << All(run);

  options_.afterRun = [this](const TorturePlan&, ChainResult* chain) {
    fs::path events = options_.dir / "run-000000" / "disks" / Clone(chain)->name;
    events += ".events";
    ASSERT_TRUE(fs::exists(events)) << "the clone's first format was recorded";
    std::ofstream(events, std::ios::app) << "format files=3\n";
  };
  fs::remove_all(options_.dir);
  run = RunOnce();
  EXPECT_NE(Of(run, Invariant::MarkersHaveEffect).find("a disk with data was formatted (format files=3)"),
            std::string::npos)
      << All(run);
}

TEST_F(TortureRunTest, Invariant4CatchesADiskMarkerWithoutItsDisk) {
  disk_ = true;
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    std::string error;
    ASSERT_TRUE(tamber::platform::sim::DetachDisk(Clone(chain)->dir, 0, 1, &error)) << error;
  };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::MarkersHaveEffect).find("PersistentDisksReady set but no volume"), std::string::npos)
      << All(run);
}

TEST_F(TortureRunTest, Invariant5CatchesAPasswordInALog) {
  options_.afterRun = [this](const TorturePlan&, ChainResult* chain) {
    auto domain = tamber::platform::sim::SimDomain::Open(options_.dir / "run-000000" / "domain");
    ASSERT_TRUE(domain.has_value());
    auto password = domain->AccountPassword(Clone(chain)->hostName);
    ASSERT_TRUE(password.has_value());
    std::string text;
    for (size_t i = 0; i < password->size(); i += 2) text.push_back(static_cast<char>(password->data()[i]));
    const fs::path logs = Clone(chain)->dir / "drive_c/ProgramData/Talvora/Quorvel/logs";
    std::ofstream(logs / "debug-2026-01-01-000000.txt", std::ios::app) << "Joined with " << text << "\n";
  };
  const TortureRunResult run = RunOnce();
  EXPECT_NE(Of(run, Invariant::NoSecretInLogs).find("stands in debug-2026-01-01-000000.txt"), std::string::npos)
      << All(run);
}

// Universalprep as the flavour documents it: a template whose generalize fails sets no status and stays
// "running" (accepted, but only with that failure as its last attempt); a clone whose setup never
// finishes ends with error 17 (before the fix its earlier "running" swallowed that error).
TEST_F(TortureRunTest, UniversalprepFailuresEndAsTheFlavourDocuments) {
  options_.flavour = "universalprep";
  options_.helperProgram = fs::read_symlink("/proc/self/exe").parent_path() / "tqaprep";
  auto runWith = [this](const std::string& machine, const std::string& fault, const std::string& phase) {
    options_.adjustPlan = [=](TorturePlan* plan) {
      plan->clones = 1;
      plan->faults.clear();
      plan->cuts.clear();
      plan->script.clear();
      plan->faults[machine][fault] = phase;
    };
    fs::remove_all(options_.dir);
  };
  std::map<std::string, std::pair<std::string, uint32_t>> ends;
  options_.afterRun = [&ends](const TorturePlan&, ChainResult* chain) {
    for (const auto& machine : chain->machines) ends[machine.name] = {machine.status, machine.errorCode.value_or(0)};
  };

  runWith("clone-0001", "SetupPhaseHangs", "oobe");
  TortureRunResult run = RunOnce();
  EXPECT_TRUE(run.ok()) << All(run);
  EXPECT_EQ(ends["clone-0001"], std::make_pair(std::string("error"), 17u));

  runWith("it", "SetupPhaseFails", "generalize");
  run = RunOnce();
  EXPECT_TRUE(run.ok()) << All(run);
  EXPECT_EQ(ends["it"].first, "running");

  // A template that finished but is reported "running" has no failed attempt to account for it.
  runWith("clone-0001", "SetupPhaseMs.oobe", "1000");
  options_.afterRun = [](const TorturePlan&, ChainResult* chain) {
    for (auto& machine : chain->machines) {
      if (machine.role == "it") machine.status = "running";
    }
  };
  run = RunOnce();
  EXPECT_NE(Of(run, Invariant::EndsDocumented).find("it: still \"running\""), std::string::npos) << All(run);
}

// Seed 5000 run 38: the golden image's template lost its power at the flush just before its shutdown,
// after its "success" had reached the disk. The chain used to start it again, so setup ran the pending
// specialize pass on the template itself, and the clone forked from it reported "success" under the
// template's name. The management side takes such a template as it is, as if it had shut down.
TEST_F(TortureRunTest, AUniversalprepTemplateCutAfterItsSuccessIsForkedAsItIs) {
  options_.flavour = "universalprep";
  options_.helperProgram = fs::read_symlink("/proc/self/exe").parent_path() / "tqaprep";
  std::vector<ChainBoot> itBoots;
  options_.afterRun = [&itBoots](const TorturePlan&, ChainResult* chain) {
    for (const auto& machine : chain->machines) {
      if (machine.role == "it") itBoots = machine.boots;
    }
  };
  bool cutAfterSuccess = false;
  // The template's last flushes, around its final "success": at least one of them falls after it.
  for (uint64_t call = 10; call <= 12; ++call) {
    options_.adjustPlan = [call](TorturePlan* plan) {
      plan->clones = 1;
      plan->faults.clear();
      plan->cuts.clear();
      plan->script.clear();
      plan->tornFlushSeed = 0;
      plan->lazyFlushMs = 30000;
      plan->cuts["it"] = TortureCut{0, std::nullopt, "registry-flush", call};
    };
    fs::remove_all(options_.dir);
    itBoots.clear();
    const TortureRunResult run = RunOnce();
    EXPECT_TRUE(run.ok()) << "cut at flush " << call << "\n" << All(run);
    if (!run.ok()) break;  // the failing run stays in options_.dir
    ASSERT_FALSE(itBoots.empty());
    if (itBoots[0].endedBy == "power cut" && itBoots[0].status == "success") {
      cutAfterSuccess = true;
      EXPECT_EQ(itBoots.size(), 1u) << "a template that reported success is not started again (cut at flush " << call
                                    << ")";
    }
  }
  EXPECT_TRUE(cutAfterSuccess) << "no cut fell after the template's success was on its disk";
}

// Seed 4000 run 20: a Sysprep clone whose specialize pass never ends must reach its own hour-long wait
// and report error 17; the chain used to stop every boot just before, leaving it at "specialize".
TEST_F(TortureRunTest, SysprepCloneStuckInSpecializeReportsItsTimeOut) {
  options_.flavour = "sysprep";
  options_.adjustPlan = [](TorturePlan* plan) {
    plan->clones = 1;
    plan->faults.clear();
    plan->cuts.clear();
    plan->script.clear();
    plan->faults["clone-0001"]["SetupPhaseHangs"] = "specialize";
  };
  std::pair<std::string, uint32_t> end;
  options_.afterRun = [&end](const TorturePlan&, ChainResult* chain) {
    end = {Clone(chain)->status, Clone(chain)->errorCode.value_or(0)};
  };
  const TortureRunResult run = RunOnce();
  EXPECT_TRUE(run.ok()) << All(run);
  EXPECT_EQ(end, std::make_pair(std::string("error"), 17u));
}

}  // namespace
}  // namespace velocyn::sim_cli
