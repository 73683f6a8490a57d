// The counts a boot's agent process hands back to the simulator: written only when asked for, read back
// whole, and a damaged or missing file gives nothing rather than wrong figures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimCallCounter.h"

namespace tamber::platform::sim {
namespace {

namespace fs = std::filesystem;

class SimCallCounterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velocyn-call-counts-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "run");
    CallCountBoot();
  }
  void TearDown() override {
    ::unsetenv(kCountCallsVariable);
    CallCountBoot();
    fs::remove_all(dir_);
  }
  void WriteFile(const std::string& text) { std::ofstream(dir_ / "run" / kCallCountsFile) << text; }
  fs::path dir_;
};

TEST_F(SimCallCounterTest, CountsReachTheFileOnlyWhenAskedForAndReadBackWhole) {
  for (int i = 0; i < 3; ++i) CountCall(CountedCall::Registry);
  CountCall(CountedCall::GuestInfo);
  WriteCallCounts(dir_);
  EXPECT_FALSE(ReadCallCounts(dir_).has_value()) << "a process not asked for its counts writes none";

  ::setenv(kCountCallsVariable, "1", 1);
  WriteCallCounts(dir_);
  auto counts = ReadCallCounts(dir_);
  ASSERT_TRUE(counts.has_value());
  EXPECT_EQ(counts->registry, 3u);
  EXPECT_EQ(counts->guestInfo, 1u);
  // The process's own cost: some CPU, and a peak that holds at least what it has resident now.
  EXPECT_GT(counts->cpuUs, 0u);
  EXPECT_GT(counts->peakRssKiB, 1024u);
  EXPECT_EQ(counts->jumps, TimeJumpsMade());
  EXPECT_EQ(counts->idleRealUs, TimeJumpsIdleNs() / 1000);

  CallCountBoot();  // the next boot starts from nothing
  WriteCallCounts(dir_);
  EXPECT_EQ(ReadCallCounts(dir_)->registry, 0u);
}

TEST_F(SimCallCounterTest, DamagedFileGivesNothingItCannotRead) {
  WriteFile("registry=12x\nguestinfo=\nnoise\n");
  EXPECT_FALSE(ReadCallCounts(dir_).has_value());
  WriteFile("guestinfo=4\nregistry=-5\ncpu_us=+3\npeak_rss_kib=7000\njumps=9\nidle_real_us=0x10\n");
  auto counts = ReadCallCounts(dir_);
  ASSERT_TRUE(counts.has_value());
  EXPECT_EQ(counts->guestInfo, 4u);
  EXPECT_EQ(counts->registry, 0u);
  EXPECT_EQ(counts->cpuUs, 0u);
  EXPECT_EQ(counts->peakRssKiB, 7000u);
  EXPECT_EQ(counts->jumps, 9u);
  EXPECT_EQ(counts->idleRealUs, 0u);
  fs::remove(dir_ / "run" / kCallCountsFile);
  EXPECT_FALSE(ReadCallCounts(dir_).has_value());
}

}  // namespace
}  // namespace tamber::platform::sim
