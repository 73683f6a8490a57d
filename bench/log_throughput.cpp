// Log throughput: the agent's log writer against an asynchronous spdlog logger set up as a user
// tuning it would (150000-entry queue, one worker, producers block when it is full, a plain file).
// Both write 2,000,000 lines of the same shape, first from one producer thread, then from two; the
// time runs until every line is in the file and the file is closed.
//
// Our writer runs against a temporary simulated machine. Its producers block instead of dropping
// (SetLogBlockWhenQueueFull), the queue threshold stays at its stock 150000 messages, and the
// debug file is allowed to grow past the stock size limit so that each run writes one file, as
// spdlog's basic file sink does.
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace {

using namespace tamber;
using Clock = std::chrono::steady_clock;

constexpr size_t kLines = 2'000'000;
constexpr wchar_t kKeyPath[] = L"SOFTWARE\\Talvora\\Quorvel\\VelocynAgent\\ga";  // 40 characters
static_assert(sizeof(kKeyPath) / sizeof(wchar_t) - 1 == 40);
constexpr char kNarrowKeyPath[] = "SOFTWARE\\Talvora\\Quorvel\\VelocynAgent\\ga";

void SetSetting(const wchar_t* name, const std::wstring& value) {
  common::windows::UniqueHKey key;
  platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel\\Log", 0, platform::kKeyAllAccess,
                           key.put(), nullptr);
  auto bytes = common::util::ToUtf16LeBytes(value);
  platform::RegSetValueEx(key.get(), name, platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint64_t CountLines(const std::filesystem::path& directory) {
  uint64_t lines = 0;
  std::vector<char> buffer(1 << 20);
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      for (std::streamsize i = 0; i < in.gcount(); ++i) lines += buffer[static_cast<size_t>(i)] == '\n';
    }
  }
  return lines;
}

template <class Produce>
void RunProducers(int producers, Produce produce) {
  std::vector<std::thread> threads;
  size_t share = kLines / static_cast<size_t>(producers);
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] { produce(static_cast<size_t>(p) * share, share); });
  }
  for (auto& thread : threads) thread.join();
}

double RunOurs(int producers, const std::wstring& directory, const std::filesystem::path& hostDirectory) {
  framework::log::ResetLogForTest();  // a fresh start: settings read again, new files
  SetSetting(L"LogFileDirectory", directory);
  framework::log::SetLogBlockWhenQueueFull(true);
  auto start = Clock::now();
  RunProducers(producers, [](size_t first, size_t count) {
    for (size_t i = first; i < first + count; ++i) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::registry::ExistingRegKey::OpenKey(): Failed Opening Key: %ws, 0x%X", kKeyPath,
          static_cast<int32_t>(0x80070002u + (i & 0xFF)));
    }
  });
  framework::log::ShutdownLog();  // everything written, files closed
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t lines = CountLines(hostDirectory);
  std::printf("  ours:   %10.0f msg/s  (%.3f s, %llu lines in the files)\n", kLines / seconds, seconds,
              static_cast<unsigned long long>(lines));
  return kLines / seconds;
}

double RunSpdlog(int producers, const std::filesystem::path& directory) {
  std::filesystem::create_directories(directory);
  auto start = Clock::now();
  spdlog::init_thread_pool(150000, 1);
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((directory / "spdlog.txt").string(), true);
  auto logger = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                       spdlog::async_overflow_policy::block);
  logger->set_level(spdlog::level::debug);
  char identity[32];
  std::snprintf(identity, sizeof(identity), "%04X", static_cast<unsigned>(::getpid()));
  logger->set_pattern(std::string("%Y-%m-%dT%H:%M:%S.%e%z %l (") + identity + "-%t) <%t> [tlv-velocyn-ga] %v");
  sink.reset();
  RunProducers(producers, [&](size_t first, size_t count) {
    for (size_t i = first; i < first + count; ++i) {
      logger->debug("tamber::common::windows::registry::ExistingRegKey::OpenKey(): Failed Opening Key: {}, 0x{:X}",
                    kNarrowKeyPath, static_cast<uint32_t>(0x80070002u + (i & 0xFF)));
    }
  });
  logger.reset();
  spdlog::shutdown();  // the pool drains its queue and joins; the last reference closes the file
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t lines = CountLines(directory);
  std::printf("  spdlog: %10.0f msg/s  (%.3f s, %llu lines in the file)\n", kLines / seconds, seconds,
              static_cast<unsigned long long>(lines));
  return kLines / seconds;
}

}  // namespace

int main() {
  auto machine = std::filesystem::temp_directory_path() / ("velocyn-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(machine);
  platform::sim::Machine::Create(machine);
  platform::sim::Machine::Boot(machine);
  SetSetting(L"MaxDebugLogSizeMB", L"4096");
  SetSetting(L"DiskThresholdForLogAndEventsMB", L"1");

  std::printf("%zu lines per run, queue of 150000, producers block when it is full\n", kLines);
  std::vector<std::pair<int, double>> ratios;
  for (int producers : {1, 2}) {
    std::printf("%d producer%s:\n", producers, producers == 1 ? "" : "s");
    std::wstring directory = L"C:\\bench\\ours-" + std::to_wstring(producers) + L"\\";
    double ours =
        RunOurs(producers, directory, platform::sim::HostPath(L"C:\\bench") / ("ours-" + std::to_string(producers)));
    std::filesystem::remove_all(platform::sim::HostPath(L"C:\\bench"));
    auto spdlogDirectory = machine / "spdlog";
    double theirs = RunSpdlog(producers, spdlogDirectory);
    std::filesystem::remove_all(spdlogDirectory);
    ratios.emplace_back(producers, ours / theirs);
  }
  for (const auto& [producers, ratio] : ratios) {
    std::printf("ratio ours/spdlog, %d producer%s: %.2f\n", producers, producers == 1 ? "" : "s", ratio);
  }
  framework::log::ResetLogForTest();
  platform::sim::Machine::Shutdown();
  std::filesystem::remove_all(machine);
  return 0;
}
