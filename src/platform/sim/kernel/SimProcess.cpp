// Processes and pipes of the simulated guest. Pipes are real POSIX pipes, so that a host child can
// inherit them; processes are either simulated tools running on a thread of their own or real host
// processes started with posix_spawn.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cwctype>
#include <filesystem>
#include <map>
#include <thread>
#include <utility>

#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/kernel/SimStreams.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPowerCut.h"
#include "platform/sim/tools/SimTools.h"

extern char** environ;

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kErrorBadExeFormat = 193;
// The exit code of a process that died of an unhandled C++ exception on Windows.
constexpr uint32_t kUnhandledCppException = 0xE06D7363;

uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOEXEC:
      return kErrorBadExeFormat;
    case ENOMEM:
    case EAGAIN:
      return kErrorNotEnoughMemory;
    case EBADF:
      return kErrorInvalidHandle;
    case EPIPE:
      return kErrorBrokenPipe;
    default:
      return kErrorInvalidFunction;
  }
}

// Thread ids are small numbers handed out in order, multiples of four as on Windows.
std::atomic<uint32_t> g_nextThreadId{0x100};
thread_local uint32_t t_threadId = 0;
uint32_t NewThreadId() { return g_nextThreadId.fetch_add(4); }

// Simulated tools get process ids above the host's pid_max (at most 2^22), so they never collide
// with the id of a host child.
std::atomic<uint32_t> g_nextToolProcessId{0x00800000};

// ---- pipes ----------------------------------------------------------------------------------------

class PipeEnd : public StreamObject {
 public:
  PipeEnd(int fd, bool readEnd, bool inheritable) : fd_(fd), readEnd_(readEnd), inheritable_(inheritable) {}
  ~PipeEnd() override { ::close(fd_); }
  PipeEnd(const PipeEnd&) = delete;
  PipeEnd& operator=(const PipeEnd&) = delete;

  int fd() const { return fd_; }
  bool readEnd() const { return readEnd_; }
  bool inheritable() const { return inheritable_; }

  bool Read(void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) override {
    *bytesRead = 0;
    if (!readEnd_) {
      SetLastError(kErrorAccessDenied);
      return false;
    }
    if (bytesToRead == 0) return true;
    for (;;) {
      ssize_t count = ::read(fd_, buffer, bytesToRead);
      if (count > 0) {
        *bytesRead = static_cast<uint32_t>(count);
        return true;
      }
      if (count == 0) {
        SetLastError(kErrorBrokenPipe);  // every writer is gone and the pipe is empty
        return false;
      }
      if (errno != EINTR) {
        SetLastError(Win32ErrorFromErrno(errno));
        return false;
      }
    }
  }

  bool Write(const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) override {
    *bytesWritten = 0;
    if (readEnd_) {
      SetLastError(kErrorAccessDenied);
      return false;
    }
    // A write without a reader raises SIGPIPE; keep it blocked on this thread and swallow it, so
    // the caller gets ERROR_BROKEN_PIPE as on Windows and the process's signal handling is untouched.
    sigset_t pipeSignal, previousMask, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigpending(&pending);
    bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    const char* data = static_cast<const char*>(buffer);
    uint32_t done = 0;
    int error = 0;
    while (done < bytesToWrite) {
      ssize_t count = ::write(fd_, data + done, bytesToWrite - done);
      if (count >= 0) {
        done += static_cast<uint32_t>(count);
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
    if (error == EPIPE && !alreadyPending) {
      timespec zero{};
      while (sigtimedwait(&pipeSignal, nullptr, &zero) == -1 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    *bytesWritten = done;
    if (error != 0) {
      SetLastError(Win32ErrorFromErrno(error));
      return false;
    }
    return true;
  }

  // PeekNamedPipe: FIONREAD gives what is buffered; an empty pipe whose writers are all gone is a
  // broken pipe.
  bool Peek(uint32_t* available) {
    if (!readEnd_) {
      SetLastError(kErrorAccessDenied);
      return false;
    }
    int count = 0;
    if (::ioctl(fd_, FIONREAD, &count) != 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return false;
    }
    if (count == 0) {
      pollfd entry{fd_, POLLIN, 0};
      int ready;
      while ((ready = ::poll(&entry, 1, 0)) == -1 && errno == EINTR) {
      }
      if (ready > 0 && (entry.revents & POLLHUP) != 0) {
        // Data may have arrived between the two calls; it is still there for the next peek.
        if (::ioctl(fd_, FIONREAD, &count) == 0 && count == 0) {
          SetLastError(kErrorBrokenPipe);
          return false;
        }
      }
    }
    if (available != nullptr) *available = static_cast<uint32_t>(count);
    return true;
  }

 private:
  int fd_;
  bool readEnd_;
  bool inheritable_;
};

// ---- processes ------------------------------------------------------------------------------------

// What the process handle and its primary thread handle share.
struct ProcessState {
  uint32_t processId = 0;
  uint32_t threadId = 0;
  // Guarded by the kernel lock.
  bool exited = false;
  uint32_t exitCode = kStillActive;

  // Host children. The mutex orders kill() against the reaping of the pid, so that a terminate
  // never reaches a recycled pid.
  std::mutex hostMutex;
  pid_t hostPid = -1;
  bool reaped = false;
  bool terminateRequested = false;
  uint32_t terminateCode = 0;

  // Simulated tools.
  std::shared_ptr<ToolContext> tool;

  // A start with CREATE_SUSPENDED: a host child is stopped until its thread is resumed; a tool's thread
  // is started only then. Guarded by hostMutex.
  bool stopped = false;
  std::function<void()> pendingStart;

  // Sets the exit code and signals the process, once.
  void Finish(uint32_t code) {
    {
      std::lock_guard<std::mutex> guard(KernelLock());
      if (exited) return;
      exited = true;
      exitCode = code;
    }
    NotifyKernelChange();
  }
  bool HasExited() {
    std::lock_guard<std::mutex> guard(KernelLock());
    return exited;
  }
};

class ProcessObject : public KernelObject {
 public:
  explicit ProcessObject(std::shared_ptr<ProcessState> state) : state(std::move(state)) {}
  bool IsSignaled() const override { return state->exited; }
  std::shared_ptr<ProcessState> state;
};

// The primary thread ends with its process.
class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ProcessState> state) : state(std::move(state)) {}
  bool IsSignaled() const override { return state->exited; }
  std::shared_ptr<ProcessState> state;
};

// Waits for a host child and reaps it, so that no zombie is left whatever happens to the handles.
void ReapHostChild(std::shared_ptr<ProcessState> state) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(state->hostPid), &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
  }
  int status = 0;
  bool terminated = false;
  uint32_t terminateCode = 0;
  {
    std::lock_guard<std::mutex> guard(state->hostMutex);
    while (::waitpid(state->hostPid, &status, 0) == -1 && errno == EINTR) {
    }
    state->reaped = true;
    terminated = state->terminateRequested;
    terminateCode = state->terminateCode;
  }
  NoteHostChildEnded();
  uint32_t code;
  if (terminated) {
    code = terminateCode;
  } else if (WIFEXITED(status)) {
    code = static_cast<uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    code = 128u + static_cast<uint32_t>(WTERMSIG(status));  // as a shell reports it
  } else {
    code = kErrorInvalidFunction;
  }
  state->Finish(code);
}

// A job: the processes assigned to it, and with them everything they start (a host child leads a
// process group of its own, which its descendants join).
class JobObject : public KernelObject {
 public:
  bool IsWaitable() const override { return false; }
  void OnLastHandleClosed() override {
    if (limitFlags.load() & kJobObjectLimitKillOnJobClose) Terminate(1);
  }

  void Add(std::shared_ptr<ProcessState> process) {
    std::lock_guard<std::mutex> guard(mutex_);
    members_.push_back(std::move(process));
  }

  void Terminate(uint32_t exitCode) {
    std::vector<std::weak_ptr<ProcessState>> members;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      members = members_;
    }
    for (auto& weak : members) {
      auto state = weak.lock();
      if (!state) continue;
      if (state->tool) {
        state->tool->Detach();
        state->Finish(exitCode);
        continue;
      }
      std::lock_guard<std::mutex> guard(state->hostMutex);
      // Once the leader is reaped its group id may be handed out again; until then the group is its tree.
      if (state->reaped || state->hostPid <= 0) continue;
      if (!state->terminateRequested) {
        state->terminateRequested = true;
        state->terminateCode = exitCode;
      }
      ::killpg(state->hostPid, SIGKILL);
      if (state->stopped) ::killpg(state->hostPid, SIGCONT);
    }
  }

  std::atomic<uint32_t> limitFlags{0};

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<ProcessState>> members_;
};

// ---- tools ----------------------------------------------------------------------------------------

struct ToolRegistry {
  std::mutex mutex;
  std::map<std::wstring, ToolFunction> byName;  // lower-case base name without .exe/.com
  std::map<std::wstring, ToolFunction> byPath;  // lower-case full path with backslashes
};

std::wstring NormalizedBaseName(std::wstring_view name);

// Begins with the guest's built-in tools, so that they are there before anything looks for one.
ToolRegistry& Tools() {
  static auto* registry = [] {
    auto* tools = new ToolRegistry;
    for (auto& [name, tool] : BuiltinTools()) tools->byName[NormalizedBaseName(name)] = std::move(tool);
    return tools;
  }();
  return *registry;
}

std::wstring Lower(std::wstring_view text) {
  std::wstring result(text);
  for (auto& c : result) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return result;
}

bool IsPath(std::wstring_view name) { return name.find_first_of(L"\\/:") != std::wstring_view::npos; }

std::wstring NormalizedPath(std::wstring_view path) {
  std::wstring result = Lower(path);
  for (auto& c : result) {
    if (c == L'/') c = L'\\';
  }
  return result;
}

std::wstring NormalizedBaseName(std::wstring_view name) {
  auto slash = name.find_last_of(L"\\/:");
  std::wstring base = Lower(slash == std::wstring_view::npos ? name : name.substr(slash + 1));
  for (std::wstring_view extension : {std::wstring_view(L".exe"), std::wstring_view(L".com")}) {
    if (base.size() > extension.size() && base.ends_with(extension)) {
      base.resize(base.size() - extension.size());
      break;
    }
  }
  return base;
}

ToolFunction FindTool(const std::wstring& program) {
  auto& tools = Tools();
  std::lock_guard<std::mutex> guard(tools.mutex);
  if (IsPath(program)) {
    auto it = tools.byPath.find(NormalizedPath(program));
    if (it != tools.byPath.end()) return it->second;
  }
  auto it = tools.byName.find(NormalizedBaseName(program));
  return it == tools.byName.end() ? nullptr : it->second;
}

// ---- host children --------------------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size =
      tamber::platform::WideCharToMultiByte(kCodePageUtf8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::string result(static_cast<size_t>(size), '\0');
  tamber::platform::WideCharToMultiByte(kCodePageUtf8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                                        size);
  return result;
}

// The host file a program token names: a Windows path lives in the machine's drive, a host path
// stays as it is, and a bare name is looked up in PATH by posix_spawnp.
bool ResolveHostProgram(const std::wstring& program, std::string* hostProgram, bool* searchPath) {
  *searchPath = false;
  bool windowsPath = program.size() >= 2 && program[1] == L':';
  if (windowsPath || program.find(L'\\') != std::wstring::npos) {
    auto mapped = HostPath(program);
    if (mapped.empty()) return false;
    *hostProgram = mapped.string();
    return true;
  }
  *hostProgram = Utf8(program);
  *searchPath = program.find(L'/') == std::wstring::npos;
  return true;
}

// Starts a host child whose standard handles are the given fds (-1: /dev/null). Returns its pid or
// -1 with the last error set.
pid_t SpawnHostChild(const std::vector<std::wstring>& argv, const int (&stdFds)[3]) {
  std::string program;
  bool searchPath = false;
  if (!ResolveHostProgram(argv[0], &program, &searchPath)) {
    SetLastError(kErrorFileNotFound);
    return -1;
  }
  std::vector<std::string> arguments;
  arguments.reserve(argv.size());
  for (const auto& argument : argv) arguments.push_back(Utf8(argument));
  std::vector<char*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  // A source fd below 3 could be overwritten by an earlier dup2; move such fds out of the way.
  int sources[3];
  int temporaries[3] = {-1, -1, -1};
  for (int i = 0; i < 3; ++i) {
    sources[i] = stdFds[i];
    if (stdFds[i] >= 0 && stdFds[i] < 3) {
      temporaries[i] = ::fcntl(stdFds[i], F_DUPFD_CLOEXEC, 3);
      sources[i] = temporaries[i];
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, sources[i], i);
    } else {
      posix_spawn_file_actions_addopen(&actions, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  // The child gets its three standard handles and nothing else of ours.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a job can end the child with everything it starts.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&signals, signal);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = -1;
  int error = searchPath ? ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, pointers.data(), environ)
                         : ::posix_spawn(&pid, program.c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : temporaries) {
    if (fd >= 0) ::close(fd);
  }
  if (error != 0) {
    SetLastError(Win32ErrorFromErrno(error));
    return -1;
  }
  return pid;
}

void ReturnHandles(const std::shared_ptr<ProcessState>& state, ProcessInformation* info) {
  Handle process = InsertHandle(std::make_shared<ProcessObject>(state));
  Handle thread = InsertHandle(std::make_shared<ThreadObject>(state));
  if (info == nullptr) {
    CloseHandle(thread);
    CloseHandle(process);
    return;
  }
  info->process = process;
  info->thread = thread;
  info->processId = state->processId;
  info->threadId = state->threadId;
}

}  // namespace

// ---- ToolContext ----------------------------------------------------------------------------------

ToolContext::ToolContext(std::wstring commandLine, std::vector<std::wstring> argv, std::shared_ptr<StreamObject> in,
                         std::shared_ptr<StreamObject> out, std::shared_ptr<StreamObject> err)
    : commandLine_(std::move(commandLine)), argv_(std::move(argv)), streams_{in, out, err} {}

std::shared_ptr<StreamObject> ToolContext::Stream(int which) {
  std::lock_guard<std::mutex> guard(mutex_);
  return streams_[which];
}

bool ToolContext::WriteTo(int which, std::string_view text) {
  auto stream = Stream(which);
  if (!stream) return false;
  uint32_t written = 0;
  return stream->Write(text.data(), static_cast<uint32_t>(text.size()), &written);
}

bool ToolContext::Out(std::string_view text) { return WriteTo(1, text); }
bool ToolContext::Err(std::string_view text) { return WriteTo(2, text); }

bool ToolContext::ReadAllInput(std::string* text) {
  auto stream = Stream(0);
  if (!stream) return false;
  char buffer[4096];
  for (;;) {
    uint32_t count = 0;
    if (!stream->Read(buffer, sizeof(buffer), &count) || count == 0) return true;
    text->append(buffer, count);
  }
}

void ToolContext::Detach() {
  std::shared_ptr<StreamObject> dropped[3];
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (int i = 0; i < 3; ++i) dropped[i] = std::move(streams_[i]);
  }
  terminated_ = true;
}

void RegisterTool(const std::wstring& name, ToolFunction tool) {
  auto& tools = Tools();
  std::lock_guard<std::mutex> guard(tools.mutex);
  if (IsPath(name)) {
    tools.byPath[NormalizedPath(name)] = std::move(tool);
  } else {
    tools.byName[NormalizedBaseName(name)] = std::move(tool);
  }
}

void UnregisterTool(const std::wstring& name) {
  auto& tools = Tools();
  std::lock_guard<std::mutex> guard(tools.mutex);
  if (IsPath(name)) {
    tools.byPath.erase(NormalizedPath(name));
  } else {
    tools.byName.erase(NormalizedBaseName(name));
  }
}

void ClearTools() {
  auto& tools = Tools();
  std::lock_guard<std::mutex> guard(tools.mutex);
  tools.byName.clear();
  tools.byPath.clear();
}

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> result;
  size_t i = 0;
  const size_t n = line.size();
  auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  while (i < n && isBlank(line[i])) ++i;
  if (i == n) return result;

  // The program name: quotes group, backslashes are plain characters.
  std::wstring program;
  bool inQuotes = false;
  while (i < n && (inQuotes || !isBlank(line[i]))) {
    if (line[i] == L'"') {
      inQuotes = !inQuotes;
    } else {
      program.push_back(line[i]);
    }
    ++i;
  }
  result.push_back(std::move(program));

  for (;;) {
    while (i < n && isBlank(line[i])) ++i;
    if (i == n) break;
    std::wstring argument;
    inQuotes = false;
    for (;;) {
      size_t backslashes = 0;
      while (i < n && line[i] == L'\\') {
        ++backslashes;
        ++i;
      }
      bool copy = true;
      if (i < n && line[i] == L'"') {
        if (backslashes % 2 == 0) {
          if (inQuotes && i + 1 < n && line[i + 1] == L'"') {
            ++i;  // "" inside quotes: one literal quote, still quoted
          } else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        backslashes /= 2;
      }
      argument.append(backslashes, L'\\');
      if (i == n || (!inQuotes && isBlank(line[i]))) break;
      if (copy) argument.push_back(line[i]);
      ++i;
    }
    result.push_back(std::move(argument));
  }
  return result;
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::PipeEnd;
using sim::ProcessObject;
using sim::ProcessState;
using sim::StreamObject;
using sim::ThreadObject;

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

uint32_t GetCurrentThreadId() {
  if (sim::t_threadId == 0) sim::t_threadId = sim::NewThreadId();
  return sim::t_threadId;
}

bool CreatePipe(Handle* readPipe, Handle* writePipe, bool inheritHandles, uint32_t size) {
  if (readPipe == nullptr || writePipe == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(sim::Win32ErrorFromErrno(errno));
    return false;
  }
  if (size > 0) ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));  // a hint, as on Windows
  auto readEnd = std::make_shared<PipeEnd>(fds[0], /*readEnd=*/true, inheritHandles);
  auto writeEnd = std::make_shared<PipeEnd>(fds[1], /*readEnd=*/false, inheritHandles);
  *readPipe = sim::InsertHandle(std::move(readEnd));
  *writePipe = sim::InsertHandle(std::move(writeEnd));
  return true;
}

bool CreateProcess(const std::wstring& commandLine, bool inheritHandles, uint32_t creationFlags,
                   const StartupInfo& startup, ProcessInformation* info) {
  sim::PowerCutPoint(sim::PowerCutSite::ProcessStart);
  // No windows or consoles in this guest; a suspended start waits for ResumeThread.
  const bool suspended = (creationFlags & kCreateSuspended) != 0;
  std::vector<std::wstring> argv = sim::SplitCommandLine(commandLine);
  if (argv.empty() || argv[0].empty()) {
    SetLastError(kErrorFileNotFound);
    return false;
  }

  // The child's standard handles, when it is given any: only inherited handles reach a child.
  std::shared_ptr<StreamObject> streams[3];
  if (startup.useStdHandles && inheritHandles) {
    const Handle handles[3] = {startup.stdInput, startup.stdOutput, startup.stdError};
    for (int i = 0; i < 3; ++i) {
      if (handles[i] != nullptr && handles[i] != InvalidHandleValue()) {
        streams[i] = sim::LookupHandleAs<StreamObject>(handles[i]);
      }
    }
  }

  auto state = std::make_shared<ProcessState>();
  state->threadId = sim::NewThreadId();

  if (auto tool = sim::FindTool(argv[0])) {
    state->processId = sim::g_nextToolProcessId.fetch_add(4);
    state->tool = std::make_shared<sim::ToolContext>(commandLine, argv, streams[0], streams[1], streams[2]);
    auto start = [state, tool = std::move(tool)]() {
      std::thread([state, tool]() {
        sim::t_threadId = state->threadId;
        uint32_t code;
        try {
          code = tool(*state->tool);
        } catch (...) {
          code = sim::kUnhandledCppException;
        }
        // The process's handles close before it is signalled, as when a Windows process ends.
        state->tool->Detach();
        state->Finish(code);
      }).detach();
    };
    if (suspended) {
      state->pendingStart = std::move(start);
    } else {
      start();
    }
    sim::ReturnHandles(state, info);
    SetLastError(kErrorSuccess);
    return true;
  }

  int fds[3] = {-1, -1, -1};
  for (int i = 0; i < 3; ++i) {
    auto pipe = std::dynamic_pointer_cast<PipeEnd>(streams[i]);
    if (pipe && pipe->inheritable()) fds[i] = pipe->fd();
  }
  // Counted from before the spawn: the child runs at once, and its real time is all the tool's.
  sim::NoteHostChildStarted();  // its work runs in real time: machine time must not jump past it
  pid_t pid = sim::SpawnHostChild(argv, fds);
  if (pid < 0) {
    sim::NoteHostChildEnded();
    return false;
  }
  if (suspended) {
    // Stopped as soon as it exists; what it may have started in that moment is in its group.
    ::kill(pid, SIGSTOP);
    state->stopped = true;
  }
  state->hostPid = pid;
  state->processId = static_cast<uint32_t>(pid);
  std::thread(sim::ReapHostChild, state).detach();
  sim::ReturnHandles(state, info);
  SetLastError(kErrorSuccess);
  return true;
}

bool PeekNamedPipe(Handle pipe, uint32_t* totalBytesAvailable) {
  auto end = sim::LookupHandleAs<PipeEnd>(pipe);
  if (!end) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return end->Peek(totalBytesAvailable);
}

bool ReadFile(Handle file, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  auto stream = sim::LookupHandleAs<StreamObject>(file);
  if (!stream) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (buffer == nullptr && bytesToRead > 0) {
    SetLastError(kErrorInvalidParameter);  // Windows reports ERROR_NOACCESS; close enough for a caller bug
    return false;
  }
  uint32_t count = 0;
  bool ok = stream->Read(buffer, bytesToRead, &count);
  if (bytesRead != nullptr) *bytesRead = count;
  return ok;
}

bool WriteFile(Handle file, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
  sim::PowerCutPoint(sim::PowerCutSite::FileWrite);
  if (bytesWritten != nullptr) *bytesWritten = 0;
  auto stream = sim::LookupHandleAs<StreamObject>(file);
  if (!stream) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (buffer == nullptr && bytesToWrite > 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  uint32_t count = 0;
  bool ok = stream->Write(buffer, bytesToWrite, &count);
  if (bytesWritten != nullptr) *bytesWritten = count;
  return ok;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
  auto object = sim::LookupHandleAs<ProcessObject>(process);
  if (!object || exitCode == nullptr) {
    SetLastError(object ? kErrorInvalidParameter : kErrorInvalidHandle);
    return false;
  }
  std::lock_guard<std::mutex> guard(sim::KernelLock());
  *exitCode = object->state->exited ? object->state->exitCode : kStillActive;
  return true;
}

bool TerminateProcess(Handle process, uint32_t exitCode) {
  auto object = sim::LookupHandleAs<ProcessObject>(process);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  auto& state = *object->state;
  if (state.HasExited()) {
    SetLastError(kErrorAccessDenied);  // what Windows says for a process that has ended
    return false;
  }
  if (state.tool) {
    // A thread cannot be killed: the tool loses its handles and its process ends now; the tool's
    // own code runs on until it returns, its exit code ignored.
    state.tool->Detach();
    state.Finish(exitCode);
    return true;
  }
  std::lock_guard<std::mutex> guard(state.hostMutex);
  if (state.reaped) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (!state.terminateRequested) {
    state.terminateRequested = true;
    state.terminateCode = exitCode;
  }
  ::kill(state.hostPid, SIGKILL);
  return true;
}

uint32_t ResumeThread(Handle thread) {
  auto object = sim::LookupHandleAs<ThreadObject>(thread);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return 0xFFFFFFFF;
  }
  auto& state = *object->state;
  std::function<void()> start;
  uint32_t previous = 0;
  {
    std::lock_guard<std::mutex> guard(state.hostMutex);
    if (state.stopped) {
      state.stopped = false;
      previous = 1;
      if (!state.reaped) ::kill(state.hostPid, SIGCONT);
    }
    if (state.pendingStart) {
      start = std::move(state.pendingStart);
      state.pendingStart = nullptr;
      previous = 1;
    }
  }
  if (start) start();
  return previous;
}

Handle CreateJobObject() { return sim::InsertHandle(std::make_shared<sim::JobObject>()); }

bool SetJobObjectLimitFlags(Handle job, uint32_t limitFlags) {
  auto object = sim::LookupHandleAs<sim::JobObject>(job);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  object->limitFlags = limitFlags;
  return true;
}

bool AssignProcessToJobObject(Handle job, Handle process) {
  auto object = sim::LookupHandleAs<sim::JobObject>(job);
  auto member = sim::LookupHandleAs<ProcessObject>(process);
  if (!object || !member) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (member->state->HasExited()) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  object->Add(member->state);
  return true;
}

bool TerminateJobObject(Handle job, uint32_t exitCode) {
  auto object = sim::LookupHandleAs<sim::JobObject>(job);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  object->Terminate(exitCode);
  return true;
}

}  // namespace tamber::platform
