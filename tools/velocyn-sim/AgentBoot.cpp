#include "AgentBoot.h"

#include "Inspect.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>
#include <thread>

#include "common/util/Utf16.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/kernel/SimTimeJumps.h"
#include "platform/sim/machine/SimCallCounter.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPowerCut.h"
#include "platform/sim/services/SimServiceHost.h"

extern char** environ;

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
using tamber::platform::sim::LineSocket;
namespace sim = tamber::platform::sim;

namespace {

constexpr const wchar_t* kAgentServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga";
constexpr uint32_t kSessionId = 1;

fs::path RunDirectory(const fs::path& machine) { return machine / "run"; }

fs::path DefaultAgentExecutable() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (error ? fs::path(".") : self.parent_path()) / "tlv-velocyn-ga";
}

// The agent's installed image path, read from the machine's registry without changing the machine.
std::optional<std::wstring> ReadImagePath(const fs::path& machine, fs::path* hostImage) {
  sim::Machine::Boot(machine);
  std::optional<std::wstring> imagePath;
  tamber::platform::HKey key = nullptr;
  if (tamber::platform::RegOpenKeyEx(tamber::platform::HKeyLocalMachine(), kAgentServiceKey, 0,
                                     tamber::platform::kKeyRead, &key) == 0) {
    uint32_t size = 0;
    std::vector<uint8_t> bytes;
    if (tamber::platform::RegQueryValueEx(key, L"ImagePath", nullptr, nullptr, &size) == 0 && size > 0) {
      bytes.resize(size);
      if (tamber::platform::RegQueryValueEx(key, L"ImagePath", nullptr, bytes.data(), &size) != 0) bytes.clear();
    }
    if (!bytes.empty()) {
      std::wstring value = tamber::common::util::FromUtf16LeBytes(bytes.data(), bytes.size());
      value = value.substr(0, value.find(L'\0'));
      std::wstring path;
      for (wchar_t c : value) {
        if (c != L'"') path.push_back(c);
      }
      imagePath = path;
      *hostImage = sim::HostPath(path);
    }
    tamber::platform::RegCloseKey(key);
  }
  sim::Machine::PowerCut();  // nothing was written: leave the machine exactly as it was
  return imagePath;
}

class Listener {
 public:
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  bool Open(const fs::path& machine, std::string* error) {
    // Unix socket paths are short: a machine deep in the tree gets its socket in /tmp.
    path_ = (RunDirectory(machine) / "scm.sock").string();
    if (path_.size() >= sizeof(sockaddr_un::sun_path)) {
      path_ = "/tmp/velocyn-sim-" + std::to_string(::getpid()) + ".sock";
    }
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd_, 8) != 0) {
      *error = "cannot listen on " + path_ + ": " + std::strerror(errno);
      return false;
    }
    std::ofstream(RunDirectory(machine) / "boot.socket") << path_ << "\n";
    return true;
  }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// One boot at a time per machine.
class BootLock {
 public:
  ~BootLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  // A boot that follows a power cut at once may find the lock still held for a moment: a child that
  // another thread of this program was starting just then carries a copy of the lock's descriptor until
  // it has replaced its image. Only a lock held for seconds is another boot.
  bool Take(const fs::path& machine) {
    fd_ = ::open((RunDirectory(machine) / "boot.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    for (int attempt = 0; attempt < 250; ++attempt) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  int fd_ = -1;
};

pid_t SpawnAgent(const fs::path& executable, const fs::path& machine, const AgentBootOptions& options,
                 const std::string& socketPath, std::string* error) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("VELOCYN_SIM_", 0) == 0) continue;
    environment.push_back(text);
  }
  environment.push_back("VELOCYN_SIM_MACHINE=" + fs::absolute(machine).string());
  environment.push_back("VELOCYN_SIM_TIME_SCALE=" + std::to_string(options.timeScale));
  environment.push_back(std::string(sim::kScmSocketVariable) + "=" + socketPath);
  environment.push_back(std::string(sim::kBootVariable) + "=1");
  environment.push_back(std::string(sim::kCountCallsVariable) + "=1");
  if (options.timeJumps) environment.push_back(std::string(sim::kTimeJumpsVariable) + "=1");
  if (!options.helperProgram.empty()) {
    environment.push_back("VELOCYN_SIM_HELPER_PROGRAM=" + fs::absolute(options.helperProgram).string());
  }
  std::vector<char*> envp;
  for (auto& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string program = executable.string();
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string output = (RunDirectory(machine) / "agent.out").string();
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "cannot start " + program + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

std::string ControlLine(uint32_t control, uint32_t eventType) {
  return "control " + std::to_string(control) + " " + std::to_string(eventType) + " " + std::to_string(kSessionId);
}

// The manager's side of a running boot: status reports in, controls out.
class BootController {
 public:
  BootController(pid_t pid, const Listener& listener, const AgentBootOptions& options, AgentBootResult* result,
                 const fs::path& machine)
      : pid_(pid),
        listener_(listener),
        options_(options),
        result_(result),
        hypervisor_(machine / "hypervisor"),
        clock_(RunDirectory(machine) / sim::kJumpedTimeFile) {
    start_ = std::chrono::steady_clock::now();
  }

  void Run() {
    size_t nextControl = 0;
    for (;;) {
      PollOnce();
      uint64_t now = MachineNow();
      // As the service control manager, deliver controls only to a service that reported running.
      while (service_.IsOpen() && Running() && nextControl < options_.controls.size() &&
             options_.controls[nextControl].atMs <= now) {
        const auto& control = options_.controls[nextControl++];
        service_.Send(ControlLine(control.control, control.eventType));
      }
      if (!killed_ && options_.powerCutAtMs && now >= *options_.powerCutAtMs) Kill("power cut");
      WatchForGuestShutdown();
      if (!killed_ && HostElapsedMs() >= options_.hostTimeoutMs) Kill("timed out");
      int status = 0;
      struct rusage usage {};
      if (::wait4(pid_, &status, WNOHANG, &usage) == pid_) {
        DrainService();
        result_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        // Until the process's own figures are read: these add the host tool processes it waited for, and
        // the peak is at least this process's own.
        result_->cpuUs = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000u +
                         static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        result_->peakRssKiB = static_cast<uint64_t>(usage.ru_maxrss);
        result_->hostTimeMs = HostElapsedMs();
        crashed_ = !killed_ && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL;
        result_->machineTimeMs = now;
        return;
      }
    }
  }

  const std::string& KilledBy() const { return killedBy_; }
  // The agent ended by a fault of its own (the signal its crash handler let end it).
  bool Crashed() const { return crashed_; }

  bool Running() const {
    return std::find(result_->reportedStates.begin(), result_->reportedStates.end(),
                     tamber::platform::kServiceRunning) != result_->reportedStates.end();
  }

 private:
  uint64_t HostElapsedMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count());
  }
  // The guest's machine time: real time at the scale, and what the guest has jumped over.
  uint64_t MachineNow() const {
    uint64_t now = static_cast<uint64_t>(static_cast<double>(HostElapsedMs()) * options_.timeScale);
    if (options_.timeJumps) now += clock_.Read().value_or(0);
    return now;
  }

  // Once the variable has the value, the guest is asked to shut down, once; a guest whose service is not
  // connected yet is asked again later.
  void WatchForGuestShutdown() {
    if (killed_ || guestShutdownSent_ || options_.guestShutdownVariable.empty() || !service_.IsOpen()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextGuestLook_) return;
    nextGuestLook_ = now + std::chrono::milliseconds(20);
    if (hypervisor_.GetVariable(options_.guestShutdownVariable).value_or("") != options_.guestShutdownValue) return;
    guestShutdownSent_ = service_.Send("power shutdown");
  }

  void Kill(const char* why) {
    ::kill(pid_, SIGKILL);
    killed_ = true;
    killedBy_ = why;
  }

  void PollOnce() {
    pollfd entries[2] = {{listener_.Fd(), POLLIN, 0}, {service_.Fd(), POLLIN, 0}};
    int count = service_.IsOpen() ? 2 : 1;
    if (::poll(entries, count, 2) <= 0) return;
    if (entries[0].revents & POLLIN) Accept();
    if (count == 2 && (entries[1].revents & (POLLIN | POLLHUP))) DrainService();
  }

  void Accept() {
    int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    LineSocket peer(fd);
    bool closed = false;
    auto hello = peer.Receive(1000, &closed);
    if (!hello) return;
    auto words = sim::SplitProtocolLine(*hello);
    if (words.size() == 2 && words[0] == "service" && !service_.IsOpen()) {
      service_ = std::move(peer);
      // The first read may have brought the service's first reports along with its hello: they are
      // in the socket's buffer now, and no poll would announce them.
      DrainService();
      return;
    }
    if (words.size() == 1 && words[0] == "cut") {
      if (!killed_) Kill("power cut");
      peer.Send("ok");
      return;
    }
    if (words.size() == 4 && words[0] == "deliver") {
      auto code = sim::ParseProtocolNumber(words[1]);
      auto eventType = sim::ParseProtocolNumber(words[2]);
      if (!code || !eventType) {
        peer.Send("error malformed control");
      } else if (!service_.IsOpen() || !Running()) {
        peer.Send("error the service is not running yet; try again in a moment");
      } else {
        service_.Send(ControlLine(*code, *eventType));
        peer.Send("ok");
      }
      return;
    }
    peer.Send("error unknown request");
  }

  void DrainService() {
    bool closed = false;
    while (service_.IsOpen()) {
      auto line = service_.Receive(0, &closed);
      if (closed) {
        service_.Close();
        break;
      }
      if (!line) break;
      auto words = sim::SplitProtocolLine(*line);
      if (words.size() >= 2 && words[0] == "status") {
        if (auto state = sim::ParseProtocolNumber(words[1])) result_->reportedStates.push_back(*state);
      }
    }
  }

  pid_t pid_;
  const Listener& listener_;
  const AgentBootOptions& options_;
  AgentBootResult* result_;
  LineSocket service_;
  tamber::platform::guestrpc::SimHypervisor hypervisor_;
  mutable sim::JumpedTimeReader clock_;
  bool guestShutdownSent_ = false;
  std::chrono::steady_clock::time_point nextGuestLook_{};
  std::chrono::steady_clock::time_point start_;
  bool killed_ = false;
  bool crashed_ = false;
  std::string killedBy_;
};

}  // namespace

std::mutex& InProcessMachineLock() {
  static std::mutex lock;
  return lock;
}

AgentBootResult BootWithAgent(const fs::path& machine, const AgentBootOptions& options) {
  AgentBootResult result;
  if (!sim::Machine::Exists(machine)) {
    result.error = "not a simulated machine: " + machine.string() + " (make one with: velocyn-sim create DIR)";
    return result;
  }
  fs::path executable = options.agentExecutable.empty() ? DefaultAgentExecutable() : options.agentExecutable;
  if (!fs::exists(executable)) {
    result.error = "agent executable not found: " + executable.string();
    return result;
  }
  fs::path hostImage;
  std::unique_lock<std::mutex> booted(InProcessMachineLock());
  auto imagePath = ReadImagePath(machine, &hostImage);
  booted.unlock();
  if (!imagePath) {
    result.error =
        "the machine has no agent service (HKLM\\SYSTEM\\CurrentControlSet\\Services\\tlv-velocyn-ga "
        "with ImagePath); create it with: velocyn-sim create DIR --golden-image";
    return result;
  }
  std::error_code error;
  fs::create_directories(RunDirectory(machine), error);
  // The image at ImagePath is the executable booted, as an installation would have put it there.
  if (!hostImage.empty()) {
    fs::create_directories(hostImage.parent_path(), error);
    // A link where the file system allows it: a pool boots the same image thousands of times.
    if (!fs::equivalent(executable, hostImage, error)) {
      fs::remove(hostImage, error);
      fs::create_hard_link(executable, hostImage, error);
      if (error) fs::copy_file(executable, hostImage, fs::copy_options::overwrite_existing, error);
    }
  }
  BootLock lock;
  if (!lock.Take(machine)) {
    result.error = "a boot of " + machine.string() + " is already running";
    return result;
  }
  Listener listener;
  if (!listener.Open(machine, &result.error)) return result;
  fs::remove(RunDirectory(machine) / sim::kCallCountsFile, error);  // the counts and jumps of an earlier boot
  fs::remove(RunDirectory(machine) / sim::kJumpedTimeFile, error);
  pid_t pid = SpawnAgent(executable, machine, options, listener.Path(), &result.error);
  if (pid < 0) return result;
  result.started = true;

  BootController controller(pid, listener, options, &result, machine);
  controller.Run();
  fs::remove(RunDirectory(machine) / "boot.socket", error);

  if (auto counts = sim::ReadCallCounts(machine)) {
    result.registryCalls = counts->registry;
    result.guestInfoCalls = counts->guestInfo;
    // The process's own figures where it gave them; wait4's include its parent's and its tools' share.
    if (counts->cpuUs != 0) result.cpuUs = counts->cpuUs;
    if (counts->peakRssKiB != 0) result.peakRssKiB = counts->peakRssKiB;
    result.toolsRealMs = counts->toolsRealUs / 1000;
    result.jumps = counts->jumps;
    result.idleRealUs = counts->idleRealUs;
  }
  result.power = tamber::platform::sim::Power::Take(machine);
  // A power cut planned at a platform call ends the process from inside.
  const auto cutAtCall = sim::TakePowerCutNote(machine);
  if (!controller.KilledBy().empty()) {
    result.endedBy = controller.KilledBy();
  } else if (cutAtCall) {
    result.endedBy = "power cut";
    result.powerCutAt = *cutAtCall;
  } else if (controller.Crashed()) {
    result.endedBy = "crash";
    result.crashReport = LastCrashReport(machine);
  } else if (result.power) {
    result.endedBy = tamber::platform::sim::Power::ActionName(result.power->action);
  } else if (!result.reportedStates.empty() && result.reportedStates.back() == tamber::platform::kServiceStopped) {
    result.endedBy = "service stopped";
  } else {
    result.endedBy = "exited";
  }
  return result;
}

namespace {

// One request to the controller of a running boot; false with the reason when it was not done.
bool AskRunningBoot(const fs::path& machine, const std::string& request, std::string* error) {
  std::ifstream in(RunDirectory(machine) / "boot.socket");
  std::string path;
  if (!std::getline(in, path) || path.empty()) {
    *error = "no boot of " + machine.string() + " is running";
    return false;
  }
  LineSocket socket = LineSocket::Connect(path);
  if (!socket.IsOpen() || !socket.Send(request)) {
    *error = "no boot of " + machine.string() + " is running";
    return false;
  }
  bool closed = false;
  auto reply = socket.Receive(5000, &closed);
  if (!reply) {
    *error = "the boot of " + machine.string() + " did not answer";
    return false;
  }
  if (*reply != "ok") {
    *error = reply->rfind("error ", 0) == 0 ? reply->substr(6) : *reply;
    return false;
  }
  return true;
}

}  // namespace

bool SendServiceControl(const fs::path& machine, uint32_t control, uint32_t eventType, std::string* error) {
  return AskRunningBoot(
      machine,
      "deliver " + std::to_string(control) + " " + std::to_string(eventType) + " " + std::to_string(kSessionId), error);
}

bool CutPower(const fs::path& machine, std::string* error) { return AskRunningBoot(machine, "cut", error); }

}  // namespace velocyn::sim_cli
