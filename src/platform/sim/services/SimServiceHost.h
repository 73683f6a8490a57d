// The line protocol between a service process of the simulated guest and whoever plays its service
// control manager (velocyn-sim's boot controller). The manager listens on a Unix socket whose path it
// hands to the service process in VELOCYN_SIM_SCM; the process connects when it calls
// StartServiceCtrlDispatcher. Lines, UTF-8, '\n'-terminated:
//   process -> manager   "service <name>"                                   once, first
//   process -> manager   "status <state> <accepted> <exit> <specific> <checkpoint> <waithint>"
//   manager -> process   "control <code> <eventType> <sessionId>"
//   process -> manager   "handled <code> <result>"                          after the handler returned
//   manager -> process   "power shutdown" | "power reboot"   the hypervisor's guest shutdown (its tools)
//   process -> manager   "power ok" | "power refused"
// Another process delivers a control through the manager by connecting and sending
// "deliver <code> <eventType> <sessionId>"; the manager answers "ok" or "error <text>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamber::platform::sim {

inline constexpr const char* kScmSocketVariable = "VELOCYN_SIM_SCM";
// Set by the boot controller: the process is a boot of the machine, so the boot-time agent runs first.
inline constexpr const char* kBootVariable = "VELOCYN_SIM_BOOT";

// Splits a protocol line into words; empty on a blank line.
std::vector<std::string> SplitProtocolLine(const std::string& line);
// Parses an unsigned decimal word; nullopt on anything else.
std::optional<uint32_t> ParseProtocolNumber(const std::string& word);

// A connected line stream over a Unix socket (the file descriptor is owned).
class LineSocket {
 public:
  explicit LineSocket(int fd = -1) : fd_(fd) {}
  ~LineSocket();
  LineSocket(LineSocket&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)) { other.fd_ = -1; }
  LineSocket& operator=(LineSocket&& other) noexcept;
  LineSocket(const LineSocket&) = delete;
  LineSocket& operator=(const LineSocket&) = delete;

  static LineSocket Connect(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  bool Send(const std::string& line);
  // Waits up to timeoutMs (host time) for a whole line. nullopt on time-out; *closed set at end of stream.
  std::optional<std::string> Receive(int timeoutMs, bool* closed);
  void Close();

 private:
  int fd_;
  std::string buffer_;
};

}  // namespace tamber::platform::sim
