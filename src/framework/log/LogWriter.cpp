#include "framework/log/LogWriter.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "framework/crash/CrashHandler.h"
#include "framework/log/EventLogReporter.h"
#include "framework/log/Format.h"
#include "framework/log/Log.h"
#include "framework/log/LogConfig.h"
#include "framework/log/LogLine.h"
#include "framework/log/Utf8.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"

namespace tamber::framework::log {
namespace {

using common::windows::UniqueFile;
using common::windows::UniqueHKey;

constexpr size_t kMaxMessageChars = 8192;
constexpr uint64_t kMegabyte = 1024 * 1024;
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
constexpr wchar_t kDefaultVersion[] = L"1.0.0.0";
constexpr wchar_t kTestFileText[] = L"Hello there, this is a log test";
constexpr auto kOpenRetryInterval = std::chrono::seconds(2);
constexpr auto kFlushWaitLimit = std::chrono::seconds(30);
constexpr auto kCrashLockWait = std::chrono::milliseconds(500);
constexpr auto kCrashFlushWait = std::chrono::seconds(3);
#ifdef NDEBUG
constexpr wchar_t kBuildType[] = L"release";
#else
constexpr wchar_t kBuildType[] = L"debug";
#endif

// What the calling thread keeps between messages: its identity text, the time stamp of the current
// second, and buffers that keep their capacity.
struct ThreadCache {
  uint32_t generation = 0;
  int64_t utcSecond = INT64_MIN;
  std::string stamp;   // "YYYY-MM-DDTHH:MM:SS."
  std::string offset;  // "Z" or "+01:00"
  std::string identity;
  std::wstring name;
  uint32_t threadId = 0;
  std::wstring text;
  std::string line;
  int depth = 0;
};

// A thread's cache is destroyed before the static destructors of the main thread run; a message
// logged after that (or during it) uses temporary buffers instead.
thread_local bool t_cacheGone = false;
struct ThreadCacheHolder {
  ~ThreadCacheHolder() { t_cacheGone = true; }
  ThreadCache cache;
};
thread_local ThreadCacheHolder t_holder;

ThreadCache* CurrentCache() { return t_cacheGone ? nullptr : &t_holder.cache; }

// Per queued line: where it ends in its buffer, when it was queued and how long its producer waited
// for the queue's lock (ticks).
struct LineMeta {
  uint64_t end;
  uint32_t tick;
  uint32_t lockWait;
};

struct Batch {
  std::string debugBytes;
  std::string mainBytes;
  std::vector<LineMeta> debugLines;
  std::vector<LineMeta> mainLines;
  size_t messages = 0;
  void Clear() {
    debugBytes.clear();
    mainBytes.clear();
    debugLines.clear();
    mainLines.clear();
    messages = 0;
  }
  void Release() {
    Clear();
    std::string().swap(debugBytes);
    std::string().swap(mainBytes);
    std::vector<LineMeta>().swap(debugLines);
    std::vector<LineMeta>().swap(mainLines);
  }
};

struct LogFile {
  UniqueFile handle;
  std::wstring path;  // empty: no file
  std::wstring date;  // "YYYY-MM-DD" of creation, from the name
  uint64_t size = 0;
  uint32_t writeFailures = 0;
};

template <class... Args>
std::wstring Text(const wchar_t* format, const Args&... args) {
  const FormatArg packed[] = {FormatArg(args)..., FormatArg()};
  try {
    return FormatText(format, packed, sizeof...(Args), kMaxMessageChars);
  } catch (...) {
    return L"<***** VPRINTF EXCEPTION *****>";
  }
}

std::wstring ToUpper(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
  }
  return text;
}

class LogWriter {
 public:
  static LogWriter& Instance() {
    static auto* writer = new LogWriter;  // lives until the process ends, past static destructors
    return *writer;
  }

  int MinimumLevel() const { return minLevel_.load(std::memory_order_relaxed); }
  bool Initialised() const { return state_.load(std::memory_order_acquire) != kUninitialised; }

  void EnsureInitialised() {
    if (Initialised()) return;
    std::lock_guard<std::mutex> init(initMutex_);
    if (Initialised()) return;
    LogConfig config = ReadLogConfig();
    if (program_.empty()) {
      std::wstring modulePath = platform::GetModuleFileName();
      size_t slash = modulePath.find_last_of(L"\\/");
      program_ = slash == std::wstring::npos ? modulePath : modulePath.substr(slash + 1);
      size_t dot = program_.rfind(L'.');
      module_ = dot == std::wstring::npos ? program_ : program_.substr(0, dot);
      processId_ = platform::GetCurrentProcessId();
    }
    {
      std::lock_guard<std::mutex> write(writeMutex_);
      std::lock_guard<std::mutex> queue(queueMutex_);
      ApplyConfigLocked(config);
      diskThresholdReached_ = config.loggedThresholdReached;
      stopRequested_ = false;
    }
    generation_.fetch_add(1, std::memory_order_release);
    static std::once_flag exitHook;
    std::call_once(exitHook, [] { std::atexit([] { LogWriter::Instance().Shutdown(); }); });
    try {
      usesThread_.store(true);
      thread_ = std::thread([this] { Run(); });
      SetState(kRunning);
    } catch (const std::exception& e) {
      usesThread_.store(false);
      SystemMessage(Text(L"ERROR INITIATING SYSMESSAGE, error=%s", e.what()));
      SetState(kSynchronous);
    }
  }

  // Formats one message's line on the calling thread and queues it.
  void Submit(int level, std::wstring_view text, ThreadCache* cache) {
    std::string localLine;
    std::string& line = cache != nullptr ? cache->line : localLine;
    line.clear();
    bool toDebug = debugOn_.load(std::memory_order_relaxed);
    bool toMain = mainOn_.load(std::memory_order_relaxed) && level >= static_cast<int>(LogLevel::Info);
    if (!toDebug && !toMain) return;
    AppendPrefix(line, level, cache);
    AppendWideAsUtf8(line, text);
    line.append("\r\n");
    Enqueue(line, toDebug, toMain);
  }

  void Flush() {
    if (!Initialised()) return;
    if (std::this_thread::get_id() == writerThreadId_.load()) return;
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (state_.load() != kRunning) {
      lock.unlock();
      DrainInline();
      return;
    }
    uint64_t target = enqueued_;
    flushRequested_ = true;
    writerCv_.notify_one();
    flushedCv_.wait_for(lock, kFlushWaitLimit, [&] { return written_ >= target || state_.load() != kRunning; });
  }

  void Shutdown() {
    std::lock_guard<std::mutex> init(initMutex_);
    if (state_.load() == kUninitialised) return;
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> queue(queueMutex_);
        stopRequested_ = true;
      }
      writerCv_.notify_one();
      roomCv_.notify_all();
      if (std::this_thread::get_id() != thread_.get_id()) {
        thread_.join();
      } else {
        thread_.detach();
      }
      SetState(kSynchronous);
    }
    DrainInline();
    std::lock_guard<std::mutex> write(writeMutex_);
    mainFile_.handle.reset();
    debugFile_.handle.reset();
  }

  void Reset() {
    Shutdown();
    std::lock_guard<std::mutex> init(initMutex_);
    std::lock_guard<std::mutex> write(writeMutex_);
    std::lock_guard<std::mutex> queue(queueMutex_);
    state_.store(kUninitialised, std::memory_order_release);
    minLevel_.store(0, std::memory_order_relaxed);
    mainFile_ = LogFile{};
    debugFile_ = LogFile{};
    pending_.Release();
    work_.Release();
    enqueued_ = written_ = 0;
    stopRequested_ = flushRequested_ = paused_ = false;
    thresholdLogged_ = false;
    diskThresholdReached_ = false;
    filesReady_ = false;
    filesOpen_.store(false);
    openReported_ = false;
    everAttemptedOpen_ = false;
    directory_.clear();
    config_ = DefaultLogConfig();
    generation_.fetch_add(1, std::memory_order_release);
  }

  void SetPaused(bool paused) {
    {
      std::lock_guard<std::mutex> queue(queueMutex_);
      paused_ = paused;
    }
    writerCv_.notify_one();
  }

  void SetBlockWhenFull(bool block) {
    blockWhenFull_.store(block);
    roomCv_.notify_all();
  }

  void Reload() {
    if (!Initialised()) return;
    Flush();  // what was logged under the old settings goes out under them
    LogConfig config = ReadLogConfig();
    std::lock_guard<std::mutex> write(writeMutex_);
    bool debugWas;
    {
      std::lock_guard<std::mutex> queue(queueMutex_);
      debugWas = config_.EffectiveDebug();
      // Names and the directory belong to the files already open; they change with the next start.
      config.logFileDirectory = config_.logFileDirectory;
      config.fileNameBase = config_.fileNameBase;
      config.debugNameBase = config_.debugNameBase;
      ApplyConfigLocked(config);
    }
    generation_.fetch_add(1, std::memory_order_release);
    if (!filesReady_) return;
    if (config.logEnabled != !mainFile_.path.empty()) {
      if (config.logEnabled) {
        OpenLogFile(mainFile_, config_.fileNameBase, /*isDebug=*/false);
      } else {
        mainFile_ = LogFile{};
      }
    }
    if (debugWas == config.EffectiveDebug()) return;
    WriteDebugSwitchLine();
    if (config.EffectiveDebug()) {
      OpenLogFile(debugFile_, config_.debugNameBase, /*isDebug=*/true);
      WriteSelfLine(debugFile_, LogLevel::Info, StartLine());
    } else {
      debugFile_ = LogFile{};
    }
  }

  std::wstring CurrentPath(bool debugFile) {
    Flush();  // the files are opened by the first batch
    std::lock_guard<std::mutex> write(writeMutex_);
    return debugFile ? debugFile_.path : mainFile_.path;
  }

  std::wstring LastSystemMessage() {
    std::lock_guard<std::mutex> guard(systemMessageMutex_);
    return lastSystemMessage_;
  }

  void CrashText(int level, std::wstring_view text) {
    if (!Initialised()) {
      LogFormatted(static_cast<LogLevel>(level), L"%ws", std::array<FormatArg, 1>{FormatArg(text)}.data(), 1);
      return;
    }
    bool toDebug = debugOn_.load(std::memory_order_relaxed);
    bool toMain = mainOn_.load(std::memory_order_relaxed) && level >= static_cast<int>(LogLevel::Info);
    if (!toDebug && !toMain) return;
    std::string line;
    AppendPrefix(line, level, nullptr);
    AppendWideAsUtf8(line, text);
    line.append("\r\n");
    std::unique_lock<std::mutex> lock(queueMutex_, std::defer_lock);
    auto deadline = std::chrono::steady_clock::now() + kCrashLockWait;
    while (!lock.try_lock()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        WriteDirect(line, toDebug, toMain);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    AppendLocked(line, toDebug, toMain, platform::GetTickCount(), 0);
    uint64_t target = enqueued_;
    if (state_.load() == kRunning && std::this_thread::get_id() != writerThreadId_.load()) {
      flushRequested_ = true;
      writerCv_.notify_one();
      if (flushedCv_.wait_for(lock, kCrashFlushWait, [&] { return written_ >= target; })) return;
    }
    // No writer to write it in time (or this is the writer): while the line is still the queue's last,
    // take it back and write it here. Once the writer has taken it, it is being written.
    auto endsWithLine = [&](const std::string& bytes) {
      return bytes.size() >= line.size() && bytes.compare(bytes.size() - line.size(), line.size(), line) == 0;
    };
    if (written_ >= target || pending_.messages == 0 || (toDebug && !endsWithLine(pending_.debugBytes)) ||
        (toMain && !endsWithLine(pending_.mainBytes))) {
      return;
    }
    if (toDebug) {
      pending_.debugBytes.resize(pending_.debugBytes.size() - line.size());
      pending_.debugLines.pop_back();
    }
    if (toMain) {
      pending_.mainBytes.resize(pending_.mainBytes.size() - line.size());
      pending_.mainLines.pop_back();
    }
    --pending_.messages;
    --enqueued_;
    lock.unlock();
    WriteDirect(line, toDebug, toMain);
  }

  void HoldQueueLock(bool hold) {
    if (hold) {
      queueMutex_.lock();
    } else {
      queueMutex_.unlock();
    }
  }

  void SetThreadName(std::wstring_view name) {
    ThreadCache* cache = CurrentCache();
    if (cache == nullptr) return;
    cache->name = name;
    cache->generation = 0;
  }

 private:
  static constexpr int kUninitialised = 0;
  static constexpr int kRunning = 1;
  static constexpr int kSynchronous = 2;

  void SetState(int state) {
    std::lock_guard<std::mutex> queue(queueMutex_);
    state_.store(state, std::memory_order_release);
  }

  // Called with the queue lock (and the write lock) held.
  void ApplyConfigLocked(const LogConfig& config) {
    config_ = config;
    minLevel_.store(config.MinimumLevel(), std::memory_order_relaxed);
    debugOn_.store(config.EffectiveDebug(), std::memory_order_relaxed);
    mainOn_.store(config.logEnabled, std::memory_order_relaxed);
    truncate_.store(config.truncateProcIdThreadId, std::memory_order_relaxed);
    fixedBias_.store(config.haveActiveTimeBias ? config.activeTimeBias : kNoFixedBias, std::memory_order_relaxed);
    threshold_ = config.msgQueueSizeThreshold;
    batchCount_ = config.batchLogMessageCount;
    inactivitySeconds_.store(std::clamp<uint32_t>(config.inactivityTimeoutSeconds, 1, 30 * 86400));
  }

  int32_t CurrentBias() const {
    int64_t fixed = fixedBias_.load(std::memory_order_relaxed);
    return fixed != kNoFixedBias ? static_cast<int32_t>(fixed) : platform::GetCurrentTimeZoneBias();
  }

  platform::SystemTime LocalNow() const {
    return LocalTimeFromFileTime(platform::GetSystemTimeAsFileTime(), CurrentBias());
  }

  // Time stamp, level and identity of a line. The date and time to the second are formatted once
  // per second per thread; the identity once per thread (and after a change of settings).
  void AppendPrefix(std::string& line, int level, ThreadCache* cache) {
    ThreadCache local;
    ThreadCache& tc = cache != nullptr ? *cache : local;
    uint32_t generation = generation_.load(std::memory_order_acquire);
    if (tc.generation != generation) {
      tc.threadId = platform::GetCurrentThreadId();
      std::wstring name = tc.name.empty() ? std::to_wstring(tc.threadId) : tc.name;
      tc.identity.clear();
      AppendIdentity(tc.identity, processId_, tc.threadId, truncate_.load(std::memory_order_relaxed));
      tc.identity.append(" <");
      AppendWideAsUtf8(tc.identity, name);
      tc.identity.append("> [");
      AppendWideAsUtf8(tc.identity, module_);
      tc.identity.append("] ");
      tc.utcSecond = INT64_MIN;
      tc.generation = generation;
    }
    uint64_t fileTime = platform::GetSystemTimeAsFileTime();
    int64_t utcMs = static_cast<int64_t>(fileTime / 10000) - static_cast<int64_t>(kFileTimeUnixEpoch / 10000);
    int64_t second = utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000;
    if (second != tc.utcSecond) {
      int32_t bias = CurrentBias();
      platform::SystemTime local = LocalTimeFromFileTime(fileTime, bias);
      std::string stamp;
      AppendTimeStamp(stamp, local, 0);
      tc.stamp.assign(stamp, 0, stamp.size() - 4);  // drop "mmmZ"
      tc.offset.clear();
      AppendUtcOffset(tc.offset, bias);
      tc.utcSecond = second;
    }
    auto ms = static_cast<uint32_t>(utcMs - second * 1000);
    line.append(tc.stamp);
    line.push_back(static_cast<char>('0' + ms / 100));
    line.push_back(static_cast<char>('0' + ms / 10 % 10));
    line.push_back(static_cast<char>('0' + ms % 10));
    line.append(tc.offset);
    line.push_back(' ');
    line.append(LevelName(level));
    line.append(tc.identity);
  }

  void Enqueue(const std::string& line, bool toDebug, bool toMain) {
    uint32_t tick = platform::GetTickCount();
    uint32_t lockWait = 0;
    std::unique_lock<std::mutex> lock(queueMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      lock.lock();
      lockWait = platform::GetTickCount() - tick;
    }
    if (pending_.messages >= threshold_) {
      if (blockWhenFull_.load() && state_.load() == kRunning) {
        roomCv_.wait(lock, [&] {
          return pending_.messages < threshold_ || stopRequested_ || !blockWhenFull_.load() ||
                 state_.load() != kRunning;
        });
      }
      if (pending_.messages >= threshold_) {
        if (!thresholdLogged_) {
          thresholdLogged_ = true;
          std::string error;
          AppendPrefix(error, static_cast<int>(LogLevel::Error), CurrentCache());
          AppendWideAsUtf8(error,
                           Text(L"Log message threshold %zu reached dropping log messages for exe %s with PID %u.",
                                static_cast<size_t>(threshold_), program_, processId_));
          error.append("\r\n");
          AppendLocked(error, debugOn_.load(), mainOn_.load(), tick, lockWait);
        }
        return;
      }
    }
    AppendLocked(line, toDebug, toMain, tick, lockWait);
    int state = state_.load();
    bool wake = state == kRunning && writerIdle_ && !wakeSent_;
    if (wake) wakeSent_ = true;
    lock.unlock();
    if (wake) writerCv_.notify_one();
    if (state == kSynchronous) DrainInline();
  }

  void AppendLocked(const std::string& line, bool toDebug, bool toMain, uint32_t tick, uint32_t lockWait) {
    if (toDebug) {
      pending_.debugBytes.append(line);
      pending_.debugLines.push_back({pending_.debugBytes.size(), tick, lockWait});
    }
    if (toMain) {
      pending_.mainBytes.append(line);
      pending_.mainLines.push_back({pending_.mainBytes.size(), tick, lockWait});
    }
    ++pending_.messages;
    ++enqueued_;
  }

  void Run() {
    CORE::OnFrameworkThreadStart();
    writerThreadId_.store(std::this_thread::get_id());
    SetThreadName(L"LogWriter");
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
      writerCv_.wait(lock, [&] { return !paused_ || stopRequested_; });
      if (pending_.messages == 0 && !flushRequested_) {
        if (stopRequested_) break;
        writerIdle_ = true;
        wakeSent_ = false;
        auto ready = [&] { return pending_.messages > 0 || stopRequested_ || flushRequested_ || paused_; };
        bool woken = true;
        if (filesOpen_.load()) {
          woken = writerCv_.wait_for(lock, std::chrono::seconds(inactivitySeconds_.load()), ready);
        } else {
          writerCv_.wait(lock, ready);
        }
        writerIdle_ = false;
        if (!woken) {
          lock.unlock();
          CloseForInactivity();
          lock.lock();
          continue;
        }
        if (paused_ || (pending_.messages == 0 && !flushRequested_)) continue;
      }
      // A moment for concurrent producers to fill a batch before the write call.
      for (int spin = 0; spin < 2 && pending_.messages < batchCount_ && !stopRequested_ && !flushRequested_; ++spin) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
      }
      std::swap(pending_, work_);
      uint64_t upTo = enqueued_;
      flushRequested_ = false;
      lock.unlock();
      roomCv_.notify_all();
      {
        std::lock_guard<std::mutex> write(writeMutex_);
        WriteBatch(work_);
      }
      work_.Clear();
      lock.lock();
      written_ = upTo;
      flushedCv_.notify_all();
    }
  }

  // Writes what is queued on the calling thread (no writer thread, or after it stopped).
  void DrainInline() {
    std::lock_guard<std::mutex> write(writeMutex_);
    Batch batch;
    uint64_t upTo;
    {
      std::lock_guard<std::mutex> queue(queueMutex_);
      std::swap(pending_, batch);
      upTo = enqueued_;
    }
    WriteBatch(batch);
    std::lock_guard<std::mutex> queue(queueMutex_);
    written_ = std::max(written_, upTo);
    flushedCv_.notify_all();
  }

  // --- everything below runs with the write lock held ----------------------------------------

  void WriteBatch(Batch& batch) {
    if (batch.messages == 0) return;
    try {
      if (!filesReady_ && !TryOpenFiles()) return;
      platform::SystemTime now = LocalNow();
      std::wstring today = FileTimePart(now).substr(0, 10);
      if (!mainFile_.path.empty() && mainFile_.date != today) StartNewFile(mainFile_, config_.fileNameBase, false, now);
      if (!debugFile_.path.empty() && debugFile_.date != today) {
        StartNewFile(debugFile_, config_.debugNameBase, true, now);
      }
      if (!DiskGuardAllows()) return;
      AddDelayReports(batch.debugBytes, batch.debugLines);
      AddDelayReports(batch.mainBytes, batch.mainLines);
      WriteTo(debugFile_, batch.debugBytes);
      WriteTo(mainFile_, batch.mainBytes);
      if (!debugFile_.path.empty() && debugFile_.size >= uint64_t{config_.maxDebugLogSizeMB} * kMegabyte) {
        StartNewFile(debugFile_, config_.debugNameBase, true, LocalNow());
      }
    } catch (const std::exception& e) {
      SystemMessage(Text(L"System error occurred while attempting to log a message\n\nError = %s", e.what()));
    } catch (...) {
      SystemMessage(L"System exception occurred while attempting to log a message");
    }
  }

  void AddDelayReports(std::string& bytes, const std::vector<LineMeta>& lines) {
    uint32_t limit = config_.logDelayNotificationTreshold;
    if (limit == 0 || lines.empty()) return;
    uint32_t now = platform::GetTickCount();
    bool any = false;
    for (const auto& meta : lines) {
      if (now - meta.tick > limit || meta.lockWait > limit) {
        any = true;
        break;
      }
    }
    if (!any) return;
    std::string rebuilt;
    rebuilt.reserve(bytes.size() + lines.size() * 48);
    uint64_t start = 0;
    for (const auto& meta : lines) {
      uint32_t delay = now - meta.tick;
      if (delay > limit || meta.lockWait > limit) {
        rebuilt.append(bytes, start, meta.end - 2 - start);  // the line without its CR LF
        AppendWideAsUtf8(rebuilt, Text(L" (LogDelayTicks=%u, LogLockWaitTicks=%u)", delay, meta.lockWait));
        rebuilt.append("\r\n");
      } else {
        rebuilt.append(bytes, start, meta.end - start);
      }
      start = meta.end;
    }
    bytes.swap(rebuilt);
  }

  bool DiskGuardAllows() {
    uint64_t thresholdBytes = uint64_t{config_.diskThresholdForLogAndEventsMB} * kMegabyte;
    if (thresholdBytes == 0) return true;
    uint64_t freeBytes = 0;
    if (!platform::GetDiskFreeSpaceEx(directory_.c_str(), &freeBytes, nullptr, nullptr)) return true;
    if (freeBytes < thresholdBytes) {
      if (!diskThresholdReached_) {
        diskThresholdReached_ = true;
        std::wstring warning =
            L"Disk space free threshold for log reached.  No more messages will be logged until more disk space has become available or the threshold is reduced.";
        WriteSelfLine(mainFile_, LogLevel::Warn, warning);
        WriteSelfLine(debugFile_, LogLevel::Warn, warning);
        PersistThresholdReached(true);
      }
      return false;
    }
    if (diskThresholdReached_) {
      diskThresholdReached_ = false;
      PersistThresholdReached(false);
    }
    return true;
  }

  void PersistThresholdReached(bool reached) {
    UniqueHKey key;
    if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kLogConfigKey, platform::kRegOptionNonVolatile,
                                 platform::kKeySetValue, key.put(), nullptr) != platform::kErrorSuccess) {
      return;
    }
    auto bytes = common::util::ToUtf16LeBytes(reached ? L"true" : L"false");
    platform::RegSetValueEx(key.get(), L"loggedThresholdReached", platform::kRegSz, bytes.data(),
                            static_cast<uint32_t>(bytes.size()));
  }

  std::wstring LogDirectory() {
    std::wstring directory = config_.logFileDirectory;
    if (directory.empty()) directory = L"%ProgramData%\\Talvora\\Quorvel\\logs";
    wchar_t buffer[1024];
    uint32_t needed = platform::ExpandEnvironmentStrings(directory.c_str(), buffer, 1024);
    if (needed > 0 && needed <= 1024) directory = buffer;
    if (directory.find(L'%') != std::wstring::npos && config_.logFileDirectory.empty()) {
      directory = L"C:\\ProgramData\\Talvora\\Quorvel\\logs";
    }
    if (directory.back() != L'\\' && directory.back() != L'/') directory.push_back(L'\\');
    return directory;
  }

  bool EnsureDirectory(const std::wstring& directory) {
    for (size_t pos = directory.find_first_of(L"\\/", 3); pos != std::wstring::npos;
         pos = directory.find_first_of(L"\\/", pos + 1)) {
      std::wstring part = directory.substr(0, pos);
      if (platform::GetFileAttributes(part.c_str()) == platform::kInvalidFileAttributes) {
        platform::CreateDirectory(part.c_str());
      }
    }
    uint32_t attributes = platform::GetFileAttributes(directory.c_str());
    return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
  }

  void ReportOpenError(const std::wstring& path, const std::wstring& message) {
    uint32_t error = platform::GetLastError();
    SystemMessage(Text(L"Open file error, errno=0x%p\n\nfile = %s\n\nMessage = %s",
                       reinterpret_cast<const void*>(static_cast<uintptr_t>(error)), path, message));
  }

  // The directory must take a file before the writer relies on it.
  bool TestFileCheck(bool report) {
    std::wstring path = directory_ + L"TestFile.txt";
    UniqueFile file(
        platform::CreateFile(path.c_str(), platform::kGenericWrite,
                             platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
                             platform::kCreateAlways, platform::kFileAttributeNormal));
    if (!file) {
      if (report) ReportOpenError(path, kTestFileText);
      return false;
    }
    std::string text = ToUtf8(kTestFileText);
    uint32_t written = 0;
    bool ok = platform::WriteFile(file.get(), text.data(), static_cast<uint32_t>(text.size()), &written);
    if (!ok && report) ReportOpenError(path, kTestFileText);
    file.reset();
    platform::DeleteFile(path.c_str());
    return ok;
  }

  bool TryOpenFiles() {
    auto now = std::chrono::steady_clock::now();
    if (everAttemptedOpen_ && now - lastOpenAttempt_ < kOpenRetryInterval) return false;
    everAttemptedOpen_ = true;
    lastOpenAttempt_ = now;
    directory_ = LogDirectory();
    // Retries stay quiet: the first failure has been reported.
    bool ready = EnsureDirectory(directory_);
    if (!ready && !openReported_) ReportOpenError(directory_, kTestFileText);
    if (ready) ready = TestFileCheck(/*report=*/!openReported_);
    if (!ready) {
      openReported_ = true;
      return false;
    }
    filesReady_ = true;
    std::wstring start = StartLine();
    if (config_.logEnabled) {
      OpenLogFile(mainFile_, config_.fileNameBase, /*isDebug=*/false);
      WriteSelfLine(mainFile_, LogLevel::Info, start);
      WriteDebugSwitchLine();
    }
    if (config_.EffectiveDebug()) {
      OpenLogFile(debugFile_, config_.debugNameBase, /*isDebug=*/true);
      WriteSelfLine(debugFile_, LogLevel::Info, start);
    }
    return true;
  }

  static std::wstring& ProgramVersionSlot() {
    static auto* version = new std::wstring(kDefaultVersion);
    return *version;
  }
  static std::wstring ProgramVersion() {
    std::lock_guard<std::mutex> guard(VersionLock());
    return ProgramVersionSlot();
  }
  static std::mutex& VersionLock() {
    static auto* lock = new std::mutex;
    return *lock;
  }

 public:
  static void SetProgramVersion(std::wstring_view version) {
    std::lock_guard<std::mutex> guard(VersionLock());
    ProgramVersionSlot() = std::wstring(version);
  }

 private:
  std::wstring StartLine() {
    return Text(
        L"Program '%s' started, version=%s, pid=0x%X, buildtype=%s, usethread=%u, closeafterwrite=%u, sessionId=%d",
        program_, ProgramVersion(), processId_, kBuildType, usesThread_.load() ? 1u : 0u, 0u, 0);
  }

  void WriteDebugSwitchLine() {
    const wchar_t* prefix = config_.EffectiveDebug() ? L"********** Debug log file is enabled for"
                                                     : L"********** Debug log file is disabled for";
    WriteSelfLine(mainFile_, LogLevel::Info, Text(L"%s %s. **********", prefix, program_));
  }

  // Names of the files of one base in the directory that match the pattern, sorted by name.
  std::vector<platform::FindData> ListFiles(const std::wstring& pattern) {
    std::vector<platform::FindData> files;
    platform::FindData data;
    platform::Handle find = platform::FindFirstFile((directory_ + pattern).c_str(), &data);
    if (find == platform::InvalidHandleValue()) return files;
    do {
      if ((data.attributes & platform::kFileAttributeDirectory) == 0) files.push_back(data);
    } while (platform::FindNextFile(find, &data));
    platform::FindClose(find);
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return ToUpper(a.fileName) < ToUpper(b.fileName); });
    return files;
  }

  void CleanUp(const std::wstring& base, bool isDebug, const std::wstring& current) {
    std::wstring currentName = current.substr(current.find_last_of(L"\\/") + 1);
    if (config_.maxDaysKept != 0) {
      uint64_t cutoff = platform::GetSystemTimeAsFileTime() - uint64_t{config_.maxDaysKept} * 86400ULL * 10000000ULL;
      std::wstring cutoffName = ToUpper(LogFileName(L"", base, LocalTimeFromFileTime(cutoff, CurrentBias())));
      for (const auto& file : ListFiles(base + L"-*.*")) {
        if (ToUpper(file.fileName) < cutoffName && ToUpper(file.fileName) != ToUpper(currentName)) {
          platform::DeleteFile((directory_ + file.fileName).c_str());
        }
      }
    }
    if (isDebug && config_.maxDebugLogs != 0) {
      std::vector<platform::FindData> files;
      for (auto& file : ListFiles(base + kLogFileShape)) {
        if (IsLogFileName(file.fileName, base)) files.push_back(std::move(file));
      }
      size_t excess = files.size() > config_.maxDebugLogs ? files.size() - config_.maxDebugLogs : 0;
      for (size_t i = 0; i < files.size() && excess > 0; ++i) {
        if (ToUpper(files[i].fileName) == ToUpper(currentName)) continue;
        platform::DeleteFile((directory_ + files[i].fileName).c_str());
        --excess;
      }
    }
  }

  bool OpenPath(LogFile& file, const std::wstring& path, uint32_t disposition) {
    file.handle.reset(
        platform::CreateFile(path.c_str(), platform::kGenericWrite,
                             platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
                             disposition, platform::kFileAttributeNormal));
    if (!file.handle) return false;
    int64_t end = 0;
    platform::SetFilePointerEx(file.handle.get(), 0, &end, platform::kFileEnd);
    file.size = static_cast<uint64_t>(end);
    filesOpen_.store(true);
    return true;
  }

  // Reopens the latest file of this base when it is from today (and, for debug files, not full
  // yet); otherwise starts a new one.
  void OpenLogFile(LogFile& file, const std::wstring& base, bool isDebug) {
    platform::SystemTime now = LocalNow();
    std::wstring today = FileTimePart(now).substr(0, 10);
    const platform::FindData* latest = nullptr;
    auto files = ListFiles(base + kLogFileShape);
    for (const auto& candidate : files) {
      if (IsLogFileName(candidate.fileName, base)) latest = &candidate;
    }
    if (latest != nullptr) {
      std::wstring date = latest->fileName.substr(base.size() + 1, 10);
      bool full = isDebug && latest->size >= uint64_t{config_.maxDebugLogSizeMB} * kMegabyte;
      if (date == today && !full) {
        std::wstring path = directory_ + latest->fileName;
        if (OpenPath(file, path, platform::kOpenExisting)) {
          file.path = path;
          file.date = date;
          WriteSelfLine(file, LogLevel::Info, L"Opening latest existing log file");
          CleanUp(base, isDebug, file.path);
          return;
        }
      }
    }
    StartNewFile(file, base, isDebug, now);
  }

  void StartNewFile(LogFile& file, const std::wstring& base, bool isDebug, const platform::SystemTime& now) {
    std::wstring path = LogFileName(directory_, base, now);
    if (path == file.path && file.handle) return;  // same second: keep writing where we are
    file.handle.reset();
    file.path = path;
    file.date = FileTimePart(now).substr(0, 10);
    file.size = 0;
    if (!OpenPath(file, path, platform::kOpenAlways)) ReportOpenError(path, L"");
    CleanUp(base, isDebug, path);
  }

  void WriteTo(LogFile& file, const std::string& bytes) {
    if (bytes.empty() || file.path.empty()) return;
    if (!file.handle && !OpenPath(file, file.path, platform::kOpenAlways)) return;
    size_t done = 0;
    while (done < bytes.size()) {
      auto chunk = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, size_t{1} << 30));
      uint32_t written = 0;
      if (!platform::WriteFile(file.handle.get(), bytes.data() + done, chunk, &written)) {
        uint32_t error = platform::GetLastError();
        if (file.writeFailures++ == 0) {
          SystemMessage(Text(
              L"System error occurred while attempting to log a message\n\nError = WriteFile failed: 0x%X", error));
        }
        // The directory or the volume went away underneath: set everything up again a little later.
        mainFile_.handle.reset();
        debugFile_.handle.reset();
        filesReady_ = false;
        filesOpen_.store(false);
        return;
      }
      done += written;
      file.size += written;
    }
    file.writeFailures = 0;
  }

  void WriteSelfLine(LogFile& file, LogLevel level, std::wstring_view text) {
    if (file.path.empty()) return;
    std::string line;
    AppendPrefix(line, static_cast<int>(level), CurrentCache());
    AppendWideAsUtf8(line, text);
    line.append("\r\n");
    WriteTo(file, line);
  }

  void CloseForInactivity() {
    std::lock_guard<std::mutex> write(writeMutex_);
    mainFile_.handle.reset();
    debugFile_.handle.reset();
    filesOpen_.store(false);
    work_.Release();
  }

  void SystemMessage(const std::wstring& text) {
    {
      std::lock_guard<std::mutex> guard(systemMessageMutex_);
      lastSystemMessage_ = text;
    }
    std::string narrow = ToUtf8(text);
    narrow.push_back('\n');
    std::fputs(narrow.c_str(), stderr);  // a console, when there is one
    eventLog_.Report(text);              // a service has none
  }

  // A crash handler's line goes straight to the files, without the write lock: the process is ending and
  // a thread that holds the lock may never let it go. The handles are only read.
  void WriteDirect(const std::string& line, bool toDebug, bool toMain) {
    bool written = false;
    auto write = [&](LogFile& file) {
      platform::Handle handle = file.handle.get();
      if (file.path.empty() || handle == nullptr || handle == platform::InvalidHandleValue()) return;
      uint32_t done = 0;
      written |= platform::WriteFile(handle, line.data(), static_cast<uint32_t>(line.size()), &done);
    };
    if (toDebug) write(debugFile_);
    if (toMain) write(mainFile_);
    if (!written) std::fputs(line.c_str(), stderr);
  }

  static constexpr int64_t kNoFixedBias = INT64_MIN;

  // Read on every message without a lock.
  std::atomic<int> state_{kUninitialised};
  std::atomic<int> minLevel_{0};
  std::atomic<bool> debugOn_{true};
  std::atomic<bool> mainOn_{true};
  std::atomic<bool> truncate_{false};
  std::atomic<int64_t> fixedBias_{kNoFixedBias};
  std::atomic<uint32_t> generation_{1};
  std::atomic<bool> blockWhenFull_{false};
  std::atomic<bool> filesOpen_{false};
  std::atomic<uint32_t> inactivitySeconds_{120};
  std::wstring program_;
  std::wstring module_;
  uint32_t processId_ = 0;

  std::mutex initMutex_;
  std::thread thread_;
  std::atomic<std::thread::id> writerThreadId_{};
  std::atomic<bool> usesThread_{false};

  // The queue.
  std::mutex queueMutex_;
  std::condition_variable writerCv_;
  std::condition_variable roomCv_;
  std::condition_variable flushedCv_;
  Batch pending_;
  Batch work_;
  uint64_t enqueued_ = 0;
  uint64_t written_ = 0;
  uint32_t threshold_ = 150000;
  uint32_t batchCount_ = 10;
  bool writerIdle_ = false;
  bool paused_ = false;
  bool wakeSent_ = false;
  bool stopRequested_ = false;
  bool flushRequested_ = false;
  bool thresholdLogged_ = false;
  LogConfig config_ = DefaultLogConfig();  // written under both locks; read under either

  // The files (write lock).
  std::mutex writeMutex_;
  LogFile mainFile_;
  LogFile debugFile_;
  std::wstring directory_;
  bool filesReady_ = false;
  bool openReported_ = false;
  bool everAttemptedOpen_ = false;
  bool diskThresholdReached_ = false;
  std::chrono::steady_clock::time_point lastOpenAttempt_;

  std::mutex systemMessageMutex_;
  std::wstring lastSystemMessage_;
  EventLogReporter eventLog_{L"tlv-velocyn-ga"};
};

}  // namespace

// --- the Log.h entry points ------------------------------------------------------------------------

namespace {

struct ObserverSlot {
  std::mutex mutex;
  std::shared_ptr<LogObserver> observer;
  std::atomic<bool> present{false};
};

ObserverSlot& Observer() {
  static auto* slot = new ObserverSlot;
  return *slot;
}

}  // namespace

bool IsLevelEnabled(LogLevel level) { return static_cast<int>(level) >= LogWriter::Instance().MinimumLevel(); }

void LogFormatted(LogLevel level, const wchar_t* format, const FormatArg* args, size_t count) {
  try {
    LogWriter& writer = LogWriter::Instance();
    writer.EnsureInitialised();
    if (!IsLevelEnabled(level)) return;
    // Re-entry (an observer that logs) and threads whose cache is gone use buffers of their own.
    ThreadCache* cache = CurrentCache();
    bool nested = cache != nullptr && cache->depth > 0;
    if (nested) cache = nullptr;
    std::wstring localText;
    std::wstring& text = cache != nullptr ? cache->text : localText;
    text.clear();
    try {
      FormatTextTo(text, format != nullptr ? std::wstring_view(format) : std::wstring_view(), args, count,
                   kMaxMessageChars);
    } catch (...) {
      text.assign(L"<***** VPRINTF EXCEPTION *****>");
    }
    ObserverSlot& slot = Observer();
    if (slot.present.load(std::memory_order_acquire) && !nested) {
      std::shared_ptr<LogObserver> observer;
      {
        std::lock_guard<std::mutex> guard(slot.mutex);
        observer = slot.observer;
      }
      if (observer && *observer) {
        if (cache != nullptr) ++cache->depth;
        try {
          (*observer)(level, text);
        } catch (...) {
        }
        if (cache != nullptr) --cache->depth;
      }
    }
    writer.Submit(static_cast<int>(level), text, cache);
  } catch (...) {
    // Logging never fails its caller.
  }
}

void SetLogObserver(LogObserver observer) {
  ObserverSlot& slot = Observer();
  std::lock_guard<std::mutex> guard(slot.mutex);
  slot.observer = observer ? std::make_shared<LogObserver>(std::move(observer)) : nullptr;
  slot.present.store(slot.observer != nullptr, std::memory_order_release);
}

void FlushLog() { LogWriter::Instance().Flush(); }
void ShutdownLog() { LogWriter::Instance().Shutdown(); }
void ResetLogForTest() { LogWriter::Instance().Reset(); }
void SetLogBlockWhenQueueFull(bool block) { LogWriter::Instance().SetBlockWhenFull(block); }
void PauseLogWriterForTest(bool paused) { LogWriter::Instance().SetPaused(paused); }
void SetLogThreadName(std::wstring_view name) { LogWriter::Instance().SetThreadName(name); }
void SetLogProgramVersion(std::wstring_view version) { LogWriter::SetProgramVersion(version); }
void ReloadLogConfig() { LogWriter::Instance().Reload(); }
std::wstring CurrentLogFilePath(bool debugFile) { return LogWriter::Instance().CurrentPath(debugFile); }
void LogCrashText(LogLevel level, std::wstring_view text) {
  try {
    LogWriter::Instance().CrashText(static_cast<int>(level), text);
  } catch (...) {
  }
}
void HoldLogQueueLockForTest(bool hold) { LogWriter::Instance().HoldQueueLock(hold); }
std::wstring LastLogSystemMessage() { return LogWriter::Instance().LastSystemMessage(); }

}  // namespace tamber::framework::log
