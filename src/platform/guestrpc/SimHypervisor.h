// The simulated hypervisor: the hypervisor side of a simulated machine ("<machine>/hypervisor/"), with
// the machine's guestinfo variables and the hypervisor log. It lives apart from the guest's state and
// every change is on disk when the command returns, so a guest power cut never touches it, as with a real
// hypervisor. It reads the guest's command texts the way the hypervisor does and answers as it does.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/GuestRpc.h"

namespace tamber::platform::guestrpc {

class SimHypervisor {
 public:
  explicit SimHypervisor(std::filesystem::path directory);

  // One guest command ("info-get guestinfo.x", "info-set guestinfo.x value", "log text") and the
  // hypervisor's reply: "1 " + result, or "0 " + reason.
  std::string HandleCommand(std::string_view command);

  // The management side's view: variables by full name without the "guestinfo." prefix.
  std::optional<std::string> GetVariable(const std::string& name) const;
  bool SetVariable(const std::string& name, const std::string& value);
  std::map<std::string, std::string> Variables() const;
  // The last lines of the hypervisor log, oldest first.
  std::vector<std::string> LogTail(size_t lines) const;
  void AppendLog(std::string_view text);

  const std::filesystem::path& Directory() const { return directory_; }

  static constexpr size_t kMaxValueSize = 64 * 1024;
  static constexpr size_t kMaxNameSize = 256;

 private:
  std::filesystem::path VariablesFile() const;
  std::filesystem::path LogFile() const;
  std::map<std::string, std::string> Load() const;
  bool Store(const std::map<std::string, std::string>& variables) const;

  std::filesystem::path directory_;
};

// A transport that hands each command to a simulated hypervisor directory.
class SimHypervisorTransport : public GuestRpcTransport {
 public:
  explicit SimHypervisorTransport(std::filesystem::path directory) : hypervisor_(std::move(directory)) {}
  GuestRpcError Exchange(std::string_view command, std::string* reply) override;

 private:
  SimHypervisor hypervisor_;
};

}  // namespace tamber::platform::guestrpc
