#include "framework/crash/CrashHandler.h"

#include <atomic>
#include <chrono>
#include <cwctype>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/security/FileProtection.h"
#include "common/windows/Handles.h"
#include "framework/log/Format.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "framework/log/Utf8.h"
#include "platform/Clock.h"
#include "platform/DbgHelp.h"
#include "platform/Environment.h"
#include "platform/Exceptions.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/Power.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Types.h"

namespace CORE {
namespace {

namespace platform = tamber::platform;
namespace log = tamber::framework::log;
using tamber::LogLevel;
using tamber::common::windows::UniqueFile;
using tamber::common::windows::UniqueHKey;

constexpr wchar_t kProductKey[] = L"Software\\Talvora\\Quorvel";
constexpr wchar_t kDumpKey[] = L"Software\\Talvora\\Quorvel\\Dump";
constexpr wchar_t kDumpFolder[] = L"%ProgramData%\\Talvora\\Quorvel\\Dumps";
constexpr uint32_t kDefaultMaxDumpCount = 10;
constexpr uint32_t kFileNameCandidates = 10;
// A report (a full dump included) that has not finished by then will not: the process ends without it
// rather than hang on a desktop no one watches.
constexpr uint32_t kReportTimeoutMs = 120000;
constexpr uint32_t kMaxFrames = 64;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr wchar_t kNoSymbolsReport[] =
    L"Program %s, thread 0x%lX encountered a machine exception code 0x%08lX at address 0x%p (no pdb files found or DbgHelp.dll not loaded)";
constexpr wchar_t kAsteriskRow[] = L"******************************************";

std::atomic<int> g_installed{0};
std::atomic<platform::TopLevelExceptionFilter> g_previousFilter{nullptr};
std::atomic<bool> g_processDumped{false};
std::atomic<bool> g_reporting{false};
std::atomic<uint32_t> g_reportThreadId{0};

// The report thread logs the crash's own way (bounded waits, straight to the files if need be).
thread_local bool t_crashContext = false;
// Set while the faulting thread is inside the handler: a fault of the handler itself is dropped.
thread_local bool t_inHandler = false;
thread_local ExceptionTracker t_tracker;

template <class... Args>
void CrashLog(LogLevel level, const wchar_t* format, const Args&... args) {
  if (!t_crashContext) {
    tamber::Log(level, format, args...);
    return;
  }
  const log::FormatArg packed[] = {log::FormatArg(args)..., log::FormatArg()};
  try {
    log::LogCrashText(level, log::FormatText(format, packed, sizeof...(Args), 8192));
  } catch (...) {
  }
}

template <class... Args>
std::wstring Text(const wchar_t* format, const Args&... args) {
  const log::FormatArg packed[] = {log::FormatArg(args)..., log::FormatArg()};
  try {
    return log::FormatText(format, packed, sizeof...(Args), 8192);
  } catch (...) {
    return {};
  }
}

std::wstring ErrorText(uint32_t error) { return Text(L"%u (0x%X)", error, error); }

// --- registry ------------------------------------------------------------------------------------

std::optional<std::wstring> ReadString(platform::HKey key, const wchar_t* name) {
  uint32_t type = 0;
  uint32_t size = 0;
  if (platform::RegQueryValueEx(key, name, &type, nullptr, &size) != platform::kErrorSuccess) return std::nullopt;
  if ((type != platform::kRegSz && type != platform::kRegExpandSz) || size > 64 * 1024) return std::nullopt;
  std::vector<uint8_t> bytes(size + 2, 0);
  if (platform::RegQueryValueEx(key, name, &type, bytes.data(), &size) != platform::kErrorSuccess) return std::nullopt;
  std::wstring text;
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == L'\0') break;
    text.push_back(unit);
  }
  return text;
}

// A DWORD, or a string holding a decimal number.
std::optional<uint32_t> ReadNumber(platform::HKey key, const wchar_t* name) {
  uint32_t type = 0;
  uint8_t bytes[4] = {};
  uint32_t size = sizeof bytes;
  uint32_t status = platform::RegQueryValueEx(key, name, &type, bytes, &size);
  if (status == platform::kErrorSuccess && type == platform::kRegDword && size == 4) {
    return static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                 (static_cast<uint32_t>(bytes[3]) << 24));
  }
  auto text = ReadString(key, name);
  if (!text || text->empty() || text->size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (wchar_t c : *text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

struct DumpSettings {
  bool trackDumps = true;
  std::optional<uint32_t> programValue;
  uint32_t maxCount = kDefaultMaxDumpCount;
  bool mini = true;
  bool dumpOnVerifierStop = false;
};

DumpSettings ReadDumpSettings(const std::wstring& program) {
  DumpSettings settings;
  UniqueHKey product;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kProductKey, 0, platform::kKeyRead, product.put()) ==
      platform::kErrorSuccess) {
    if (auto verifier = ReadString(product.get(), L"dumpOnAppVerifierStop")) {
      settings.dumpOnVerifierStop = EqualsIgnoringCase(*verifier, L"true");
    }
  }
  UniqueHKey dump;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kDumpKey, 0, platform::kKeyRead, dump.put()) !=
      platform::kErrorSuccess) {
    return settings;
  }
  if (auto tracking = ReadString(dump.get(), L"EnableDumpTracking")) {
    settings.trackDumps = !EqualsIgnoringCase(*tracking, L"false");
  } else if (auto number = ReadNumber(dump.get(), L"EnableDumpTracking")) {
    settings.trackDumps = *number != 0;
  }
  settings.programValue = ReadNumber(dump.get(), program.c_str());
  if (auto count = ReadNumber(dump.get(), L"GlobalMaxDumpCount")) settings.maxCount = *count;
  // A full dump holds all of the process's memory: without a setting the small one is written.
  if (auto type = ReadString(dump.get(), L"GlobalDumpType")) settings.mini = EqualsIgnoringCase(*type, L"mini");
  return settings;
}

// --- the symbol helper ---------------------------------------------------------------------------

struct DbgHelpState {
  std::mutex lock;  // the library is single-threaded
  bool libraryTried = false;
  bool symbolsTried = false;
  bool symbolsReady = false;
  platform::DbgHelpEntryPoints entry;
};

DbgHelpState& DbgHelp() {
  static auto* state = new DbgHelpState;  // used by a crash during static destruction too
  return *state;
}

// Loads the library and looks up its entry points, once (lock held).
void LoadDbgHelpLocked(DbgHelpState& state) {
  if (state.libraryTried) return;
  state.libraryTried = true;
  platform::ModuleHandle module = platform::LoadSystemLibrary(L"DbgHelp.dll");
  if (module == nullptr) {
    CrashLog(LogLevel::Error, L"DbgHelp.dll not found");
    return;
  }
  CrashLog(LogLevel::Debug, L"System dir DbgHelp selected");
  const std::pair<const char*, void**> names[] = {
      {"SymInitialize", &state.entry.symInitialize},
      {"SymSetOptions", &state.entry.symSetOptions},
      {"StackWalk64", &state.entry.stackWalk64},
      {"SymFunctionTableAccess64", &state.entry.symFunctionTableAccess64},
      {"SymGetModuleBase64", &state.entry.symGetModuleBase64},
      {"SymFromAddr", &state.entry.symFromAddr},
      {"SymGetLineFromAddr64", &state.entry.symGetLineFromAddr64},
      {"MiniDumpWriteDump", &state.entry.miniDumpWriteDump},
  };
  for (const auto& [name, slot] : names) {
    *slot = platform::GetProcAddress(module, name);
    if (*slot == nullptr) {
      CrashLog(LogLevel::Error, L"DbgHelp GetProcAddress of '%S', error: %s", name,
               ErrorText(platform::GetLastError()));
    }
  }
}

std::wstring DirectoryOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool IsDirectory(const std::wstring& path) {
  uint32_t attributes = platform::GetFileAttributes(path.c_str());
  return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
}

std::wstring Expand(const wchar_t* text) {
  wchar_t buffer[1024];
  uint32_t needed = platform::ExpandEnvironmentStrings(text, buffer, 1024);
  return needed > 0 && needed <= 1024 ? std::wstring(buffer) : std::wstring(text);
}

// The environment's symbol path, the program's own folder (and its "pdb" folder), the product's install
// folders, and the system's symbol folders.
std::wstring BuildSymbolPath(bool* pdbDirExists) {
  std::vector<std::wstring> parts;
  wchar_t buffer[2048];
  uint32_t length = platform::GetEnvironmentVariable(L"_NT_SYMBOL_PATH", buffer, 2048);
  if (length > 0 && length < 2048) parts.emplace_back(buffer, length);
  std::wstring programDir = DirectoryOf(platform::GetModuleFileName());
  if (!programDir.empty()) parts.push_back(programDir);
  std::wstring pdbDir = programDir + L"\\pdb";
  *pdbDirExists = !programDir.empty() && IsDirectory(pdbDir);
  if (*pdbDirExists) parts.push_back(pdbDir);
  UniqueHKey product;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kProductKey, 0, platform::kKeyRead, product.put()) ==
      platform::kErrorSuccess) {
    for (const wchar_t* name : {L"ServerInstallPath", L"AgentInstallPath", L"ClientInstallPath"}) {
      if (auto folder = ReadString(product.get(), name); folder && !folder->empty()) parts.push_back(*folder);
    }
  }
  parts.push_back(Expand(L"%SystemRoot%\\symbols\\exe"));
  parts.push_back(Expand(L"%SystemRoot%\\symbols\\dll"));
  std::wstring path;
  for (const auto& part : parts) {
    if (!path.empty()) path.push_back(L';');
    path += part;
  }
  return path;
}

// The library with its symbols loaded, once; false when stack traces cannot be had (lock held).
bool SymbolsReadyLocked(DbgHelpState& state) {
  LoadDbgHelpLocked(state);
  if (state.symbolsTried) return state.symbolsReady;
  state.symbolsTried = true;
  if (state.entry.symInitialize == nullptr || state.entry.stackWalk64 == nullptr ||
      state.entry.symFromAddr == nullptr) {
    return false;
  }
  bool pdbDirExists = false;
  std::wstring path = BuildSymbolPath(&pdbDirExists);
  CrashLog(LogLevel::Debug, L"SymbolPath = %s (pdb dir exist = %u)", path, pdbDirExists ? 1u : 0u);
  state.symbolsReady = platform::SymInitialize(state.entry, log::ToUtf8(path).c_str());
  return state.symbolsReady;
}

// The frames of the exception's thread (or the caller's), one line each; false without symbols.
bool WalkFrames(const platform::ExceptionPointers* exception, std::wstring* text) {
  DbgHelpState& state = DbgHelp();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!SymbolsReadyLocked(state)) return false;
  std::vector<platform::StackFrameInfo> frames(kMaxFrames);
  uint32_t count = platform::WalkStack(state.entry, exception, frames.data(), kMaxFrames);
  if (count == 0) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const auto& frame = frames[i];
    *text += Text(L"(%s) %s [0x%I64X] @ %d in %s\r\n", frame.module, frame.function, frame.address,
                  static_cast<int>(frame.line), frame.file);
  }
  return true;
}

std::wstring Banner(const wchar_t* line) {
  return std::wstring(kAsteriskRow) + L"\r\n" + line + L"\r\n" + kAsteriskRow + L"\r\n";
}

// --- dumps ---------------------------------------------------------------------------------------

enum class DumpOutcome { kWritten, kSkipped, kFailed };

bool EnsureDumpDirectory(const std::wstring& directory) {
  if (directory.empty()) return false;
  if (tamber::common::security::FileProtection::IsPlainDirectory(directory)) return true;
  // The folder and the parents the product has not made yet, each protected as the agent's own.
  std::wstring parent = DirectoryOf(directory);
  if (!parent.empty() && parent.size() > 3 && !IsDirectory(parent) && !EnsureDumpDirectory(parent)) return false;
  uint32_t status = tamber::common::security::FileProtection::CreateFolder(directory);
  return (status == 0 || status == platform::kErrorAlreadyExists) &&
         tamber::common::security::FileProtection::IsPlainDirectory(directory);
}

// Deletes the oldest dumps of the program until one more fits under the maximum.
void MakeRoom(const std::wstring& directory, const std::wstring& program, uint32_t maxCount) {
  std::set<std::pair<uint64_t, std::wstring>> dumps;  // oldest first
  platform::FindData data;
  std::wstring pattern = Text(L"%s\\%s-*.dmp", directory, program);
  platform::Handle find = platform::FindFirstFile(pattern.c_str(), &data);
  if (find == platform::InvalidHandleValue()) return;
  do {
    if ((data.attributes & platform::kFileAttributeDirectory) == 0) dumps.emplace(data.lastWriteTime, data.fileName);
  } while (platform::FindNextFile(find, &data));
  platform::FindClose(find);
  if (dumps.size() < maxCount) return;
  size_t excess = dumps.size() - maxCount + 1;
  for (auto it = dumps.begin(); it != dumps.end() && excess > 0; ++it, --excess) {
    platform::DeleteFile((directory + L"\\" + it->second).c_str());
  }
}

std::wstring CandidateName(const std::wstring& directory, const std::wstring& program, uint32_t attempt) {
  platform::SystemTime now{};
  platform::GetLocalTime(&now);
  std::wstring name = Text(L"%s\\%s-%04u%02u%02u-%02u%02u%02u-%u", directory, program, now.year, now.month, now.day,
                           now.hour, now.minute, now.second, platform::GetCurrentProcessId());
  if (attempt > 0) name += Text(L"-%u", attempt);
  return name + L".dmp";
}

DumpOutcome MakeDump(uint32_t processId, const platform::ExceptionPointers* exception, ExceptionTracker* tracker,
                     uint32_t threadId) {
  const std::wstring program = DumpProgramName();
  const DumpSettings settings = ReadDumpSettings(program);
  const bool tracked = settings.trackDumps && tracker != nullptr && exception != nullptr;
  if (tracked && tracker->exception == exception->exceptionRecord && tracker->dumpWritten) {
    CrashLog(LogLevel::Info,
             L"CreateMiniDump(): Skipping dump creation as its already been created for this exception.");
    return DumpOutcome::kSkipped;
  }
  if (settings.programValue && *settings.programValue == 0) {
    CrashLog(LogLevel::Info, L"CreateMiniDump(): Dump creation disabled for process %s.", program);
    return DumpOutcome::kSkipped;
  }
  if (settings.maxCount == 0) {
    CrashLog(LogLevel::Info, L"CreateMiniDump(): Dump creation disabled.");
    return DumpOutcome::kSkipped;
  }
  const std::wstring directory = DumpDirectory();
  if (!EnsureDumpDirectory(directory)) {
    CrashLog(LogLevel::Info, L"No crashdump written, no dir found");
    return DumpOutcome::kFailed;
  }
  MakeRoom(directory, program, settings.maxCount);

  std::wstring path;
  for (uint32_t attempt = 0; attempt < kFileNameCandidates && path.empty(); ++attempt) {
    std::wstring candidate = CandidateName(directory, program, attempt);
    if (platform::GetFileAttributes(candidate.c_str()) == platform::kInvalidFileAttributes) path = candidate;
  }
  if (path.empty()) {
    CrashLog(LogLevel::Error, L"No crashdump written, cannot open file, error: %s",
             ErrorText(platform::kErrorFileExists));
    return DumpOutcome::kFailed;
  }
  // The dump holds the process's memory (secrets included): the system and the administrators only.
  UniqueFile file(platform::CreateFileWithSecurity(path.c_str(), platform::kGenericRead | platform::kGenericWrite, 0,
                                                   platform::kCreateAlways, platform::kFileAttributeNormal,
                                                   tamber::common::security::FileProtection::AgentOnlyFile()));
  if (!file) {
    CrashLog(LogLevel::Error, L"No crashdump written, cannot open file, error: %s",
             ErrorText(platform::GetLastError()));
    return DumpOutcome::kFailed;
  }
  auto discard = [&] {
    file.reset();
    platform::DeleteFile(path.c_str());
  };

  DbgHelpState& state = DbgHelp();
  std::unique_lock<std::mutex> guard(state.lock);
  LoadDbgHelpLocked(state);
  if (state.entry.miniDumpWriteDump == nullptr) {
    CrashLog(LogLevel::Error, L"No crashdump written, cannot get addr of MiniDumpWriteDump, error: %s",
             ErrorText(kErrorProcNotFound));
    discard();
    return DumpOutcome::kFailed;
  }
  const uint32_t dumpType = settings.mini ? (platform::kMiniDumpWithDataSegs | platform::kMiniDumpWithHandleData)
                                          : (platform::kMiniDumpWithFullMemory | platform::kMiniDumpWithHandleData |
                                             platform::kMiniDumpWithUnloadedModules |
                                             platform::kMiniDumpWithFullMemoryInfo | platform::kMiniDumpWithThreadInfo);
  const uint32_t self = platform::GetCurrentProcessId();
  const bool ownProcess = processId == 0 || processId == self;
  tamber::common::windows::UniqueHandle opened;
  platform::Handle process = platform::GetCurrentProcess();
  if (!ownProcess) {
    opened.reset(platform::OpenProcess(platform::kProcessQueryInformation | platform::kProcessVmRead, processId));
    if (!opened) {
      CrashLog(LogLevel::Error,
               L"CreateMiniDump: Failed to open process handle %d with error %s, no crash dump written.",
               static_cast<int>(processId), ErrorText(platform::GetLastError()));
      discard();
      return DumpOutcome::kFailed;
    }
    process = opened.get();
  }
  bool written = platform::MiniDumpWriteDump(state.entry, process, ownProcess ? self : processId, file.get(), dumpType,
                                             threadId, ownProcess ? exception : nullptr);
  if (!written) {
    CrashLog(LogLevel::Error, L"crashdump write failed, error: %s", ErrorText(platform::GetLastError()));
    guard.unlock();
    discard();
    return DumpOutcome::kFailed;
  }
  file.reset();
  CrashLog(LogLevel::Error, L"crashdump written ok, file = %s", path);
  if (tracked) {
    tracker->exception = exception->exceptionRecord;
    tracker->dumpWritten = true;
  }
  if (ownProcess && exception != nullptr) g_processDumped = true;
  return DumpOutcome::kWritten;
}

// --- the report ----------------------------------------------------------------------------------

void EnablePrivilege(const wchar_t* name) {
  platform::Handle raw = nullptr;
  if (!platform::OpenProcessToken(platform::kTokenAdjustPrivileges | platform::kTokenQuery, &raw)) return;
  tamber::common::windows::UniqueHandle token(raw);
  platform::Luid luid;
  if (platform::LookupPrivilegeValue(nullptr, name, &luid)) {
    platform::AdjustTokenPrivilege(token.get(), luid, platform::kSePrivilegeEnabled);
  }
}

void Report(platform::ExceptionPointers* exception, ExceptionTracker* tracker, uint32_t threadId) {
  if (exception == nullptr || exception->exceptionRecord == nullptr) return;
  const platform::ExceptionRecord& record = *exception->exceptionRecord;
  const uint32_t code = record.exceptionCode;
  const bool accessViolation = code == platform::kExceptionAccessViolation && record.numberParameters >= 2;
  bool dump = true;

  if (code == platform::kStatusHeapCorruption) {
    CrashLog(LogLevel::Error, L"GOT HEAP CORRUPTION (flags=0x%X)", record.exceptionFlags);
  } else if (accessViolation && record.exceptionInformation[0] == platform::kAccessExecute) {
    CrashLog(LogLevel::Error, L"GOT DEP ACCESS VIOLATION");
  } else if (code == platform::kExceptionStackOverflow) {
    CrashLog(LogLevel::Error, L"GOT STACK OVERFLOW");
  } else if (code == platform::kStatusVerifierStop) {
    CrashLog(LogLevel::Error, L"VERIFIER STOP");
    std::string stop = "stop code 0x";
    static const char kHex[] = "0123456789ABCDEF";
    uintptr_t value = record.numberParameters >= 1 ? record.exceptionInformation[0] : 0;
    for (int shift = 28; shift >= 0; shift -= 4) stop.push_back(kHex[(value >> shift) & 0xF]);
    CrashLog(LogLevel::Error, L"VERIFIER: %S", stop);
    dump = ReadDumpSettings(DumpProgramName()).dumpOnVerifierStop;
  }

  const std::wstring program = platform::GetModuleFileName();
  std::wstring frames;
  if (!WalkFrames(exception, &frames)) {
    CrashLog(LogLevel::Error, kNoSymbolsReport, program, threadId, code, record.exceptionAddress);
  } else {
    std::wstring trace = Banner(L"********** Exception StackTrace **********") + frames +
                         Banner(L"********** Exception End StackTrace **********");
    if (accessViolation) {
      const wchar_t* attempted = record.exceptionInformation[0] == platform::kAccessWrite ? L"write to" : L"read from";
      CrashLog(LogLevel::Error, L"Program %s\nThread 0x%lX @ 0x%p attempted to %s address 0x%p\nStack trace:\n%s",
               program, threadId, record.exceptionAddress, attempted,
               reinterpret_cast<const void*>(record.exceptionInformation[1]), trace);
    } else {
      CrashLog(LogLevel::Error,
               L"Program %s\nThread 0x%lX encountered a machine exception code 0x%08lX @ 0x%p\nStack trace:\n%s",
               program, threadId, code, record.exceptionAddress, trace);
    }
  }
  if (!dump) return;

  if (g_processDumped.load()) {
    CrashLog(LogLevel::Info, L"MakeCrashDumpInt: A dump is already created for this process instance, skipping...");
    return;
  }
  EnablePrivilege(L"SeTcbPrivilege");
  EnablePrivilege(L"SeDebugPrivilege");
  CrashLog(LogLevel::Info, L"Trying to make a MiniDump");
  if (MakeDump(0, exception, tracker, threadId) == DumpOutcome::kFailed) {
    CrashLog(LogLevel::Error, L"The MiniDump creation FAILED");
  }
}

struct ReportJob {
  platform::ExceptionPointers* exception;
  ExceptionTracker* tracker;
  uint32_t threadId;
};

void RunReport(void* argument) {
  auto* job = static_cast<ReportJob*>(argument);
  g_reportThreadId = platform::GetCurrentThreadId();
  t_crashContext = true;
  try {
    Report(job->exception, job->tracker, job->threadId);
  } catch (...) {
  }
}

void HandleFatal(platform::ExceptionPointers* exception) {
  const uint32_t self = platform::GetCurrentThreadId();
  if (t_inHandler || (g_reporting.load() && self == g_reportThreadId.load())) {
    log::LogCrashText(LogLevel::Error, L"Secondary SEH handler exception dropped");
    return;
  }
  t_inHandler = true;
  ExceptionTracker* tracker = GetExceptionTracker();
  if (tracker != nullptr) {
    if (tracker->exception == exception->exceptionRecord &&
        tracker->code == exception->exceptionRecord->exceptionCode && tracker->reported) {
      t_inHandler = false;  // the filter after the vectored handler: reported already
      return;
    }
    tracker->exception = exception->exceptionRecord;
    tracker->code = exception->exceptionRecord->exceptionCode;
    tracker->reported = true;
    tracker->dumpWritten = false;
  }
  bool idle = false;
  if (!g_reporting.compare_exchange_strong(idle, true)) {
    // Another thread's fault is being reported: the process ends with that report.
    for (uint32_t waited = 0; g_reporting.load() && waited < kReportTimeoutMs; waited += 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    t_inHandler = false;
    return;
  }
  // The report runs on a thread of its own: the faulting thread may have no stack left, and it makes no
  // allocation and takes no lock of its own here.
  ReportJob job{exception, tracker, self};
  platform::RunOnReportThread(&RunReport, &job, kReportTimeoutMs);
  g_reporting = false;
  t_inHandler = false;
}

int32_t VectoredHandler(platform::ExceptionPointers* exception) {
  if (exception == nullptr || exception->exceptionRecord == nullptr) return platform::kExceptionContinueSearch;
  const uint32_t code = exception->exceptionRecord->exceptionCode;
  if (IsFatalBeforeFrameHandlers(code)) {
    HandleFatal(exception);
    // Nothing recovers from these; handing them on to the frame handlers on a spent or corrupt stack can
    // fault again and hang the process, and a hung service is never restarted. A verifier stop may be
    // continued by the verifier, so it goes on.
    if (code != platform::kStatusVerifierStop) platform::EndProcessForFault(code);
  }
  return platform::kExceptionContinueSearch;
}

int32_t UnhandledFilter(platform::ExceptionPointers* exception) {
  if (exception != nullptr && exception->exceptionRecord != nullptr &&
      IsFatalException(exception->exceptionRecord->exceptionCode)) {
    HandleFatal(exception);
  }
  platform::TopLevelExceptionFilter previous = g_previousFilter.load();
  if (previous != nullptr) return previous(exception);
  return platform::kExceptionExecuteHandler;  // end the process without an error dialog no one would see
}

// --- the tracker's slot --------------------------------------------------------------------------

std::mutex g_slotMutex;
bool g_slotTried = false;
uint32_t g_slot = platform::kTlsOutOfIndexes;

uint32_t TrackerSlot() {
  std::lock_guard<std::mutex> guard(g_slotMutex);
  if (g_slotTried) return g_slot;
  g_slotTried = true;
  const std::wstring name = Text(L"PelmarMfwTlsIndex%d", static_cast<int>(platform::GetCurrentProcessId()));
  wchar_t buffer[32] = {};
  platform::SetLastError(0);
  uint32_t length = platform::GetEnvironmentVariable(name.c_str(), buffer, 32);
  if (length > 0 || platform::GetLastError() != platform::kErrorEnvvarNotFound) {
    // Another module of the process made the slot: use the same one.
    uint64_t index = 0;
    bool valid = length > 0 && length < 11;
    for (uint32_t i = 0; valid && i < length; ++i) {
      valid = buffer[i] >= L'0' && buffer[i] <= L'9';
      index = index * 10 + static_cast<uint64_t>(buffer[i] - L'0');
    }
    if (!valid || index >= platform::kTlsOutOfIndexes) {
      tamber::Log(LogLevel::Error, L"GetExceptionTracker(): Failed to get the tls index unable to track exceptions.");
      return g_slot;
    }
    g_slot = static_cast<uint32_t>(index);
    return g_slot;
  }
  uint32_t index = platform::TlsAlloc();
  if (index == platform::kTlsOutOfIndexes) {
    tamber::Log(LogLevel::Error, L"GetExceptionTracker(): Failed to allocate a tls index unable to track exceptions.");
    return g_slot;
  }
  if (!platform::SetEnvironmentVariable(name.c_str(), std::to_wstring(index).c_str())) {
    platform::TlsFree(index);
    tamber::Log(LogLevel::Error,
                L"GetExceptionTracker(): Failed to set tls index environment variable unable to track exceptions.");
    return g_slot;
  }
  g_slot = index;
  return g_slot;
}

}  // namespace

bool IsFatalException(uint32_t code) {
  if (code == platform::kStatusFatalAppExit) return true;
  const bool errorSeverity = (code & 0xC0000000u) == 0xC0000000u;
  const bool applicationCode = (code & 0x20000000u) != 0;  // C++ exceptions and other codes of programs
  return errorSeverity && !applicationCode;
}

bool IsFatalBeforeFrameHandlers(uint32_t code) {
  return code == platform::kExceptionStackOverflow || code == platform::kStatusHeapCorruption ||
         code == platform::kStatusStackBufferOverrun || code == platform::kStatusVerifierStop;
}

void InstallCrashHandler() {
  if (g_installed.fetch_add(1) != 0) return;
  platform::TopLevelExceptionFilter previous = platform::SetUnhandledExceptionFilter(&UnhandledFilter);
  if (previous != &UnhandledFilter) g_previousFilter = previous;
  platform::AddVectoredExceptionHandler(/*first=*/false, &VectoredHandler);
}

void OnFrameworkThreadStart() {
  InstallCrashHandler();
  platform::PrepareThreadForExceptions();
  GetExceptionTracker();  // made now, so that a fault finds it without work
}

ExceptionTracker* GetExceptionTracker() {
  uint32_t slot = TrackerSlot();
  if (slot == platform::kTlsOutOfIndexes) return nullptr;
  void* value = platform::TlsGetValue(slot);
  if (value == nullptr) {
    value = &t_tracker;
    if (!platform::TlsSetValue(slot, value)) return nullptr;
  }
  return static_cast<ExceptionTracker*>(value);
}

bool CreateMiniDump(uint32_t processId, const platform::ExceptionPointers* exception) {
  return MakeDump(processId, exception, GetExceptionTracker(), platform::GetCurrentThreadId()) == DumpOutcome::kWritten;
}

void ReportFatalException(platform::ExceptionPointers* exception) {
  Report(exception, GetExceptionTracker(), platform::GetCurrentThreadId());
}

std::wstring CurrentStackTrace() {
  std::wstring frames;
  if (!WalkFrames(nullptr, &frames)) return L"STACKTRACE NOT AVAILABLE WHEN NO PDB FILES AROUND";
  return Banner(L"********** StackTrace **********") + frames + Banner(L"********** End StackTrace **********");
}

std::wstring DumpDirectory() { return Expand(kDumpFolder); }

std::wstring DumpProgramName() {
  std::wstring path = platform::GetModuleFileName();
  size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void ResetCrashHandlerForTest() {
  g_processDumped = false;
  t_tracker = ExceptionTracker{};  // a test's records live where the next test's will
  DbgHelpState& state = DbgHelp();
  std::lock_guard<std::mutex> guard(state.lock);
  state.libraryTried = state.symbolsTried = state.symbolsReady = false;
  state.entry = {};
  std::lock_guard<std::mutex> slot(g_slotMutex);
  g_slotTried = false;
  g_slot = platform::kTlsOutOfIndexes;
}

}  // namespace CORE
