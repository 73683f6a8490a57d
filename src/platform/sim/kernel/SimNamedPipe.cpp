// Named pipes of the simulated guest: every pipe name is one Unix-domain socket of mode 0600 in
// "<machine>/pipes/" (a directory of mode 0700), so only processes of this host user on this machine
// reach it. Server instances of one name share the listening socket; each accepted connection belongs
// to the instance whose ConnectNamedPipe took it. Blocking calls poll in short slices so that
// CancelNamedPipe and the last CloseHandle end them.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NamedPipe.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform {
namespace {

constexpr int kPollSliceMs = 50;

// A socket address for a host path; paths too long for sun_path go through the directory's
// /proc/self/fd entry, which the kernel resolves like the directory itself.
class SocketAddress {
 public:
  explicit SocketAddress(const std::filesystem::path& path) {
    std::memset(&addr_, 0, sizeof(addr_));
    addr_.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof(addr_.sun_path)) {
      dirFd_ = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dirFd_ < 0) return;
      text = "/proc/self/fd/" + std::to_string(dirFd_) + "/" + path.filename().string();
      if (text.size() >= sizeof(addr_.sun_path)) return;
    }
    std::memcpy(addr_.sun_path, text.c_str(), text.size() + 1);
    valid_ = true;
  }
  ~SocketAddress() {
    if (dirFd_ >= 0) ::close(dirFd_);
  }
  SocketAddress(const SocketAddress&) = delete;
  SocketAddress& operator=(const SocketAddress&) = delete;
  bool valid() const { return valid_; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t size() const { return sizeof(addr_); }

 private:
  sockaddr_un addr_;
  int dirFd_ = -1;
  bool valid_ = false;
};

// "\\.\pipe\<name>" -> the host file of the name (case-insensitive as on Windows), or empty.
std::filesystem::path PipeHostPath(const wchar_t* name, uint32_t* error) {
  *error = kErrorInvalidName;
  if (name == nullptr) return {};
  std::wstring text(name);
  const std::wstring prefix = L"\\\\.\\pipe\\";
  if (text.size() <= prefix.size()) return {};
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(text[i])) != static_cast<wint_t>(prefix[i])) return {};
  }
  std::string file;
  for (char c : sim::NarrowUtf8(text.substr(prefix.size()))) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.') {
      file.push_back(static_cast<char>(std::tolower(u)));
    } else {
      static const char hex[] = "0123456789abcdef";
      file += '%';
      file += hex[u >> 4];
      file += hex[u & 15];
    }
  }
  if (file == "." || file == ".." || file.size() > 200) return {};
  if (!sim::Machine::IsBooted()) {
    *error = kErrorPathNotFound;
    return {};
  }
  *error = 0;
  return sim::Machine::Directory() / "pipes" / file;
}

uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    default:
      return kErrorBrokenPipe;
  }
}

// The listening socket of one pipe name, shared by its server instances.
struct Listener {
  int fd = -1;
  std::filesystem::path path;
  ~Listener() {
    if (fd >= 0) {
      ::close(fd);
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  }
};

std::mutex g_listenersLock;
std::map<std::string, std::weak_ptr<Listener>> g_listeners;

class PipeObject : public sim::KernelObject {
 public:
  PipeObject(std::shared_ptr<Listener> listener, int fd) : listener_(std::move(listener)), fd_(fd) {}
  ~PipeObject() override {
    if (fd_ >= 0) ::close(fd_);
    for (int fd : retired_) ::close(fd);
  }
  PipeObject(const PipeObject&) = delete;
  PipeObject& operator=(const PipeObject&) = delete;
  bool IsWaitable() const override { return false; }
  // A call blocked in another thread sees this and returns; the descriptor goes with the object.
  void OnLastHandleClosed() override { cancelled_ = true; }

  void Cancel() { cancelled_ = true; }

  bool Connect() {
    if (!listener_) return Fail(kErrorInvalidFunction);
    if (Connection() >= 0) return true;  // ERROR_PIPE_CONNECTED counts as success
    {
      std::lock_guard<std::mutex> lock(fdLock_);
      for (int fd : retired_) ::close(fd);
      retired_.clear();
    }
    for (;;) {
      if (cancelled_) return Fail(kErrorOperationAborted);
      pollfd p{listener_->fd, POLLIN, 0};
      int ready = ::poll(&p, 1, kPollSliceMs);
      if (ready < 0 && errno != EINTR) return Fail(ErrorFromErrno(errno));
      if (ready <= 0) continue;
      int fd = ::accept4(listener_->fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
        return Fail(ErrorFromErrno(errno));
      }
      // Only processes of the same host user (the machine's own processes) may talk to us.
      ucred peer{};
      socklen_t length = sizeof(peer);
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid()) {
        ::close(fd);
        continue;
      }
      std::lock_guard<std::mutex> lock(fdLock_);
      fd_ = fd;
      return true;
    }
  }

  bool Disconnect() {
    if (!listener_) return Fail(kErrorInvalidFunction);
    std::lock_guard<std::mutex> lock(fdLock_);
    if (fd_ >= 0) {
      ::shutdown(fd_, SHUT_RDWR);
      // Closed when no call uses it any more: a blocked reader sees the shutdown first.
      retired_.push_back(fd_);
      fd_ = -1;
    }
    return true;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    int fd = Connection();
    if (fd < 0) return Fail(kErrorPipeNotConnected);
    if (size == 0) return true;
    for (;;) {
      if (cancelled_) return Fail(kErrorOperationAborted);
      pollfd p{fd, POLLIN, 0};
      int ready = ::poll(&p, 1, kPollSliceMs);
      if (ready < 0 && errno != EINTR) return Fail(kErrorBrokenPipe);
      if (ready <= 0) continue;
      ssize_t count = ::recv(fd, buffer, size, 0);
      if (count > 0) {
        *done = static_cast<uint32_t>(count);
        return true;
      }
      if (count == 0) return Fail(kErrorBrokenPipe);
      if (errno != EINTR && errno != EAGAIN) return Fail(kErrorBrokenPipe);
    }
  }

  bool Write(const void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    int fd = Connection();
    if (fd < 0) return Fail(kErrorPipeNotConnected);
    const auto* data = static_cast<const uint8_t*>(buffer);
    while (*done < size) {
      if (cancelled_) return Fail(kErrorOperationAborted);
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, kPollSliceMs);
      if (ready < 0 && errno != EINTR) return Fail(kErrorBrokenPipe);
      if (ready <= 0) continue;
      ssize_t count = ::send(fd, data + *done, size - *done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count > 0) {
        *done += static_cast<uint32_t>(count);
      } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        return Fail(kErrorBrokenPipe);
      }
    }
    return true;
  }

 private:
  static bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
  }
  int Connection() {
    std::lock_guard<std::mutex> lock(fdLock_);
    return fd_;
  }

  std::shared_ptr<Listener> listener_;  // null on a client end
  std::mutex fdLock_;
  int fd_ = -1;
  std::vector<int> retired_;  // disconnected descriptors, closed with the object
  std::atomic<bool> cancelled_{false};
};

std::shared_ptr<PipeObject> LookupPipe(Handle handle) {
  auto pipe = sim::LookupHandleAs<PipeObject>(handle);
  if (!pipe) SetLastError(kErrorInvalidHandle);
  return pipe;
}

std::shared_ptr<Listener> OpenListener(const std::filesystem::path& path, bool firstInstance, uint32_t* error) {
  std::lock_guard<std::mutex> lock(g_listenersLock);
  auto it = g_listeners.find(path.string());
  if (it != g_listeners.end()) {
    if (auto existing = it->second.lock()) {
      if (!firstInstance) return existing;
      *error = kErrorAccessDenied;
      return nullptr;
    }
  }
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  ::chmod(path.parent_path().c_str(), 0700);
  SocketAddress address(path);
  if (!address.valid()) {
    *error = kErrorInvalidName;
    return nullptr;
  }
  // A socket file nobody listens on is left from an earlier boot; one that answers belongs to a
  // server in another process, and the name is taken.
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ignored))) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && ::connect(probe, address.get(), address.size()) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      *error = kErrorAccessDenied;
      return nullptr;
    }
    std::filesystem::remove(path, ignored);
  }
  auto listener = std::make_shared<Listener>();
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  if (::bind(fd, address.get(), address.size()) != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
    *error = errno == EADDRINUSE ? kErrorAccessDenied : ErrorFromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  listener->fd = fd;
  listener->path = path;
  g_listeners[path.string()] = listener;
  return listener;
}

}  // namespace

Handle CreateNamedPipe(const wchar_t* name, bool firstInstance) {
  uint32_t error = 0;
  std::filesystem::path path = PipeHostPath(name, &error);
  if (path.empty()) {
    SetLastError(error);
    return InvalidHandleValue();
  }
  auto listener = OpenListener(path, firstInstance, &error);
  if (!listener) {
    SetLastError(error);
    return InvalidHandleValue();
  }
  return sim::InsertHandle(std::make_shared<PipeObject>(std::move(listener), -1));
}

bool ConnectNamedPipe(Handle pipe) {
  auto object = LookupPipe(pipe);
  return object && object->Connect();
}

bool DisconnectNamedPipe(Handle pipe) {
  auto object = LookupPipe(pipe);
  return object && object->Disconnect();
}

Handle OpenNamedPipe(const wchar_t* name, uint32_t timeoutMs) {
  uint32_t error = 0;
  std::filesystem::path path = PipeHostPath(name, &error);
  if (path.empty()) {
    SetLastError(error);
    return InvalidHandleValue();
  }
  SocketAddress address(path);
  if (!address.valid()) {
    SetLastError(kErrorInvalidName);
    return InvalidHandleValue();
  }
  const auto deadline = sim::HostDeadline(timeoutMs);
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetLastError(ErrorFromErrno(errno));
      return InvalidHandleValue();
    }
    if (::connect(fd, address.get(), address.size()) == 0) {
      return sim::InsertHandle(std::make_shared<PipeObject>(nullptr, fd));
    }
    int connectError = errno;
    ::close(fd);
    // A full backlog is a busy pipe: wait for an instance, as WaitNamedPipe does.
    if (connectError != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
      SetLastError(connectError == EAGAIN ? kErrorPipeBusy : ErrorFromErrno(connectError));
      return InvalidHandleValue();
    }
    ::usleep(kPollSliceMs * 1000);
  }
}

bool ReadNamedPipe(Handle pipe, void* buffer, uint32_t bytesToRead, uint32_t* bytesRead) {
  uint32_t ignored = 0;
  if (bytesRead == nullptr) bytesRead = &ignored;
  *bytesRead = 0;
  auto object = LookupPipe(pipe);
  if (!object) return false;
  if (buffer == nullptr && bytesToRead > 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return object->Read(buffer, bytesToRead, bytesRead);
}

bool WriteNamedPipe(Handle pipe, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
  uint32_t ignored = 0;
  if (bytesWritten == nullptr) bytesWritten = &ignored;
  *bytesWritten = 0;
  auto object = LookupPipe(pipe);
  if (!object) return false;
  if (buffer == nullptr && bytesToWrite > 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return object->Write(buffer, bytesToWrite, bytesWritten);
}

bool CancelNamedPipe(Handle pipe) {
  auto object = LookupPipe(pipe);
  if (!object) return false;
  object->Cancel();
  return true;
}

}  // namespace tamber::platform
