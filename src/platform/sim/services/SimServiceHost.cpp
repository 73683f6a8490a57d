// The service host of the simulated guest: StartServiceCtrlDispatcher and friends, talking to the
// boot controller that plays the service control manager (protocol in SimServiceHost.h).
#include "platform/sim/services/SimServiceHost.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/ServiceHost.h"
#include "platform/Types.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/setup/SimSetup.h"

namespace tamber::platform {

namespace sim {

std::vector<std::string> SplitProtocolLine(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

std::optional<uint32_t> ParseProtocolNumber(const std::string& word) {
  if (word.empty() || word.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

LineSocket::~LineSocket() { Close(); }

LineSocket& LineSocket::operator=(LineSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    buffer_ = std::move(other.buffer_);
    other.fd_ = -1;
  }
  return *this;
}

LineSocket LineSocket::Connect(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return LineSocket();
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LineSocket();
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return LineSocket();
  }
  return LineSocket(fd);
}

bool LineSocket::Send(const std::string& line) {
  if (fd_ < 0) return false;
  std::string data = line + "\n";
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> LineSocket::Receive(int timeoutMs, bool* closed) {
  *closed = false;
  for (;;) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (fd_ < 0) {
      *closed = true;
      return std::nullopt;
    }
    pollfd entry{fd_, POLLIN, 0};
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[512];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *closed = true;
      return std::nullopt;
    }
    // A line longer than any the protocol has is a broken peer: drop the connection.
    if (buffer_.size() + static_cast<size_t>(n) > 4096) {
      Close();
      *closed = true;
      return std::nullopt;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

void LineSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace sim

namespace {

struct PendingControl {
  uint32_t code = 0;
  uint32_t eventType = 0;
  uint32_t sessionId = 0;
  bool reply = false;  // came from the manager, which wants to hear the result
};

struct HostState {
  std::mutex mutex;
  bool dispatching = false;
  std::wstring serviceName;
  HandlerFunctionEx handler = nullptr;
  void* context = nullptr;
  uint32_t controlsAccepted = 0;
  std::atomic<bool> stopped{false};
  std::deque<PendingControl> injected;  // controls raised inside the machine (its own shutdown)
  sim::LineSocket socket;
  std::mutex sendMutex;
};

HostState& Host() {
  static HostState state;
  return state;
}

int g_statusHandleAnchor;

void SendLine(const std::string& line) {
  auto& host = Host();
  std::lock_guard<std::mutex> guard(host.sendMutex);
  host.socket.Send(line);
}

void Deliver(const PendingControl& control) {
  auto& host = Host();
  HandlerFunctionEx handler;
  void* context;
  {
    std::lock_guard<std::mutex> guard(host.mutex);
    handler = host.handler;
    context = host.context;
  }
  uint32_t result = kErrorServiceCannotAcceptCtrl;
  if (handler != nullptr) {
    WtsSessionNotification session;
    session.sessionId = control.sessionId;
    void* eventData = control.code == kServiceControlSessionChange ? &session : nullptr;
    result = handler(control.code, control.eventType, eventData, context);
  }
  if (control.reply) {
    SendLine("handled " + std::to_string(control.code) + " " + std::to_string(result));
  }
}

// How long the manager waits for a service to stop after its pre-shutdown control (machine time): the
// default of current Windows releases.
constexpr uint32_t kPreshutdownTimeoutMs = 10000;

// The machine is going down on its own request: the service gets its pre-shutdown or shutdown control
// on the dispatcher thread, as Windows delivers them before it stops what still runs, and the shutdown
// goes on when the service has stopped or the pre-shutdown time is up.
void OnMachineStopping(const sim::PowerRequest&) {
  auto& host = Host();
  {
    std::lock_guard<std::mutex> guard(host.mutex);
    if (host.stopped) return;
    if (host.controlsAccepted & kServiceAcceptPreshutdown) {
      host.injected.push_back({kServiceControlPreshutdown, 0, 0, false});
    } else if (host.controlsAccepted & kServiceAcceptShutdown) {
      host.injected.push_back({kServiceControlShutdown, 0, 0, false});
    } else {
      return;
    }
  }
  sim::SleepUnlessStopped(kPreshutdownTimeoutMs, [&host] { return host.stopped.load(); });
}

std::optional<PendingControl> TakeInjected() {
  auto& host = Host();
  std::lock_guard<std::mutex> guard(host.mutex);
  if (host.injected.empty()) return std::nullopt;
  PendingControl control = host.injected.front();
  host.injected.pop_front();
  return control;
}

std::optional<PendingControl> ParseControl(const std::string& line) {
  auto words = sim::SplitProtocolLine(line);
  if (words.size() != 4 || words[0] != "control") return std::nullopt;
  auto code = sim::ParseProtocolNumber(words[1]);
  auto eventType = sim::ParseProtocolNumber(words[2]);
  auto session = sim::ParseProtocolNumber(words[3]);
  if (!code || !eventType || !session) return std::nullopt;
  return PendingControl{*code, *eventType, *session, true};
}

// "power shutdown" / "power reboot": the hypervisor shuts the guest down through its tools, a clean
// shutdown of Windows that the machine itself carries out. Answered with "power ok" or "power refused".
bool HandlePowerLine(const std::string& line) {
  auto words = sim::SplitProtocolLine(line);
  if (words.size() != 2 || words[0] != "power" || (words[1] != "shutdown" && words[1] != "reboot")) return false;
  const bool done = sim::Power::RequestFromMachine(
      words[1] == "reboot" ? sim::PowerAction::Reboot : sim::PowerAction::Shutdown, "hypervisor guest " + words[1]);
  SendLine(done ? "power ok" : "power refused");
  return true;
}

// The dispatcher thread: controls from the manager and from the machine, until the service stopped.
void DispatchControls() {
  auto& host = Host();
  bool closed = false;
  while (!host.stopped) {
    while (auto injected = TakeInjected()) Deliver(*injected);
    if (closed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    auto line = host.socket.Receive(5, &closed);
    if (!line) continue;
    if (HandlePowerLine(*line)) continue;
    if (auto control = ParseControl(*line)) {
      Deliver(*control);
    } else {
      SendLine("handled 0 " + std::to_string(kErrorInvalidServiceControl));
    }
  }
}

}  // namespace

bool StartServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMainFunction serviceMain) {
  auto& host = Host();
  const char* socketPath = std::getenv(sim::kScmSocketVariable);
  if (serviceName == nullptr || serviceMain == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(host.mutex);
    if (host.dispatching) {
      SetLastError(kErrorServiceAlreadyRunning);
      return false;
    }
    if (socketPath == nullptr || *socketPath == '\0') {
      SetLastError(kErrorFailedServiceControllerConnect);
      return false;
    }
    host.socket = sim::LineSocket::Connect(socketPath);
    if (!host.socket.IsOpen()) {
      SetLastError(kErrorFailedServiceControllerConnect);
      return false;
    }
    host.dispatching = true;
    host.serviceName = serviceName;
    host.stopped = false;
  }
  SendLine("service " + sim::NarrowUtf8(serviceName));
  sim::Power::SetBeforeStop(&OnMachineStopping);
  std::wstring name = serviceName;
  std::thread serviceThread([serviceMain, name]() mutable {
    wchar_t* argv[] = {name.data(), nullptr};
    serviceMain(1, argv);
    // A service main that returns without reporting stopped: the manager sees the process's service
    // go away all the same.
    Host().stopped = true;
    sim::NotifyKernelChange();
  });
  DispatchControls();
  serviceThread.join();
  sim::Power::SetBeforeStop(nullptr);
  std::lock_guard<std::mutex> guard(host.mutex);
  host.socket.Close();
  host.dispatching = false;
  host.handler = nullptr;
  return true;
}

ServiceStatusHandle RegisterServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerFunctionEx handler, void* context) {
  constexpr uint32_t kErrorServiceNotInExe = 1083;
  auto& host = Host();
  std::lock_guard<std::mutex> guard(host.mutex);
  // As on Windows, an own-process service's name is not checked.
  (void)serviceName;
  if (!host.dispatching) {
    SetLastError(kErrorServiceNotInExe);
    return nullptr;
  }
  host.handler = handler;
  host.context = context;
  return &g_statusHandleAnchor;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  auto& host = Host();
  if (handle != &g_statusHandleAnchor) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(host.mutex);
    host.controlsAccepted = status.controlsAccepted;
  }
  std::ostringstream line;
  line << "status " << status.currentState << ' ' << status.controlsAccepted << ' ' << status.win32ExitCode << ' '
       << status.serviceSpecificExitCode << ' ' << status.checkPoint << ' ' << status.waitHint;
  SendLine(line.str());
  if (status.currentState == kServiceStopped) {
    host.stopped = true;
    sim::NotifyKernelChange();  // the machine's shutdown may be waiting for it
  }
  if (status.currentState == kServiceRunning) sim::NoteServiceRunning();
  return true;
}

}  // namespace tamber::platform
