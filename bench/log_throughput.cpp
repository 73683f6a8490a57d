// Log throughput: the agent's log writer against an asynchronous spdlog logger set up as a user
// tuning it would (150000-entry queue, one worker, producers block when it is full, a plain file),
// and against a plain reference writer (one thread formats each line with snprintf into a buffer and
// writes the buffer every ten lines): the floor of what formatting and writing the lines costs.
// All write 2,000,000 lines of the same shape, first from one producer thread, then from two; the
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
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
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

struct Run {
  double rate = 0;  // lines per second
  uint64_t lines = 0;
};

Run RunOurs(int producers, const std::wstring& directory, const std::filesystem::path& hostDirectory) {
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
  std::printf("  ours:      %10.0f msg/s  (%.3f s, %llu lines in the files)\n", kLines / seconds, seconds,
              static_cast<unsigned long long>(lines));
  return {kLines / seconds, lines};
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
  std::printf("  spdlog:    %10.0f msg/s  (%.3f s, %llu lines in the file)\n", kLines / seconds, seconds,
              static_cast<unsigned long long>(lines));
  return kLines / seconds;
}

// The same line shape as ours (time with offset, level, process and thread, tag, text), formatted by
// snprintf on the producer's own thread; fwrite every ten lines, no queue and no second thread.
double RunReference(const std::filesystem::path& directory) {
  std::filesystem::create_directories(directory);
  auto start = Clock::now();
  std::FILE* file = std::fopen((directory / "reference.txt").string().c_str(), "wb");
  if (file == nullptr) return 0;
  const unsigned process = static_cast<unsigned>(::getpid());
  const unsigned thread = static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id()) & 0xFFFF);
  std::vector<char> buffer(10 * 512);
  size_t used = 0;
  for (size_t i = 0; i < kLines; ++i) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    const int written = std::snprintf(
        buffer.data() + used, buffer.size() - used,
        "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ DEBUG (%04X-%04X) <%u> [tlv-velocyn-ga] "
        "tamber::common::windows::registry::ExistingRegKey::OpenKey(): Failed Opening Key: %s, 0x%X\n",
        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis),
        process, thread, thread, kNarrowKeyPath, static_cast<unsigned>(0x80070002u + (i & 0xFF)));
    if (written > 0) used += static_cast<size_t>(written);
    if (i % 10 == 9 || i + 1 == kLines) {
      std::fwrite(buffer.data(), 1, used, file);
      used = 0;
    }
  }
  std::fclose(file);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t lines = CountLines(directory);
  std::printf("  reference: %10.0f msg/s  (%.3f s, %llu lines in the file)\n", kLines / elapsed, elapsed,
              static_cast<unsigned long long>(lines));
  return kLines / elapsed;
}

const char* Verdict(bool met) { return met ? "pass" : "miss"; }

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
  double referenceRatio = 0;
  bool allLines = true;
  for (int producers : {1, 2}) {
    std::printf("%d producer%s:\n", producers, producers == 1 ? "" : "s");
    std::wstring directory = L"C:\\bench\\ours-" + std::to_wstring(producers) + L"\\";
    Run ours =
        RunOurs(producers, directory, platform::sim::HostPath(L"C:\\bench") / ("ours-" + std::to_string(producers)));
    allLines = allLines && ours.lines >= kLines;
    std::filesystem::remove_all(platform::sim::HostPath(L"C:\\bench"));
    auto spdlogDirectory = machine / "spdlog";
    double theirs = RunSpdlog(producers, spdlogDirectory);
    std::filesystem::remove_all(spdlogDirectory);
    ratios.emplace_back(producers, ours.rate / theirs);
    if (producers == 1) {
      auto referenceDirectory = machine / "reference";
      double reference = RunReference(referenceDirectory);
      std::filesystem::remove_all(referenceDirectory);
      referenceRatio = reference > 0 ? ours.rate / reference : 0;
    }
  }
  for (const auto& [producers, ratio] : ratios) {
    std::printf("ratio ours/spdlog, %d producer%s: %.2f\n", producers, producers == 1 ? "" : "s", ratio);
  }
  std::printf("ratio ours/reference, 1 producer: %.2f\n", referenceRatio);
  bool spdlogMet = true;
  for (const auto& entry : ratios) spdlogMet = spdlogMet && entry.second >= 1.0;
  std::printf("goal: ours/spdlog >= 1.0 with 1 and 2 producers: %s\n", Verdict(spdlogMet));
  std::printf("goal: ours/reference >= 0.6 with 1 producer: %s\n", Verdict(referenceRatio >= 0.6));
  std::printf("goal: no line dropped: %s\n", Verdict(allLines));
  framework::log::ResetLogForTest();
  platform::sim::Machine::Shutdown();
  std::filesystem::remove_all(machine);
  return 0;
}
