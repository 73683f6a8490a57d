// The simulated "nltest": the Netlogon debug flags (/DBFlag:) and the secure channel reset to a chosen
// controller (/SC_RESET:<domain>[\<dc>], optionally with /Server:<this machine>) and the machine password
// change (/SC_CHANGE_PWD:<domain>), on the model of
// SimDomain.h, printed and ended as the real tool does for those cases. Any other option is refused with
// the usage text, as the real tool refuses options it does not know.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kFailed = 1;
constexpr const wchar_t* kParametersKey = L"SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters";
constexpr const char* kCompleted = "The command completed successfully\r\n";
constexpr const char* kUsage =
    "Usage: nltest [/OPTIONS]\r\n\r\n"
    "    /SERVER:<ServerName> - Specify <ServerName>\r\n\r\n"
    "    /SC_QUERY:<DomainName> - Query secure channel for <Domain> on <ServerName>\r\n"
    "    /SC_RESET:<DomainName>[\\<DcName>] - Reset secure channel for <Domain> on <ServerName> to <DcName>\r\n"
    "    /SC_VERIFY:<DomainName> - Verify secure channel for <Domain> on <ServerName>\r\n"
    "    /SC_CHANGE_PWD:<DomainName> - Change a secure channel password for <Domain> on <ServerName>\r\n"
    "    /DCLIST:<DomainName> - Get list of DC's for <DomainName>\r\n"
    "    /DSGETDC:<DomainName> - Call DsGetDcName\r\n"
    "    /DSGETSITE - Returns the name of the site this machine is in\r\n"
    "    /DBFLAG:<HexFlags> - New debug flag\r\n";

uint32_t Fail(ToolContext& context, uint32_t status, const char* name) {
  char line[128];
  std::snprintf(line, sizeof line, "I_NetLogonControl failed: Status = %u 0x%x %s\r\n", status, status, name);
  context.Out(line);
  return kFailed;
}

uint32_t Usage(ToolContext& context) {
  context.Out(kUsage);
  return kFailed;
}

// "2fffffff" or "0x2fffffff": at most eight hex digits.
std::optional<uint32_t> ParseFlags(const std::wstring& text) {
  std::wstring digits = text;
  if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) digits.erase(0, 2);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (wchar_t c : digits) {
    uint32_t digit;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<uint32_t>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      digit = static_cast<uint32_t>(c - L'a' + 10);
    } else if (c >= L'A' && c <= L'F') {
      digit = static_cast<uint32_t>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  return value;
}

// The server names this machine: its computer name, alone or with the DNS name of its domain.
bool IsThisMachine(const std::wstring& server) {
  std::string name = NarrowUtf8(server);
  while (!name.empty() && name.front() == '\\') name.erase(0, 1);
  if (name.empty()) return false;
  auto dot = name.find('.');
  std::string host = name.substr(0, dot);
  std::string own = BootedComputerName();
  if (!own.empty() && !SimDomain::SameName(host, own)) return false;
  if (dot == std::string::npos) return true;
  auto view = BootedMachineDomain();
  return view && SimDomain::SameName(name.substr(dot + 1), view->domain.Name());
}

uint32_t SetDebugFlags(ToolContext& context, uint32_t flags) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", flags);
  std::vector<uint8_t> bytes;
  for (const char* c = text;; ++c) {
    bytes.push_back(static_cast<uint8_t>(*c));
    bytes.push_back(0);
    if (*c == '\0') break;
  }
  HKey key = nullptr;
  uint32_t disposition = 0;
  uint32_t result =
      RegCreateKeyEx(HKeyLocalMachine(), kParametersKey, kRegOptionNonVolatile, kKeyAllAccess, &key, &disposition);
  if (result == kErrorSuccess) {
    result = RegSetValueEx(key, L"DbFlag", kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
    RegCloseKey(key);
  }
  if (result != kErrorSuccess) {
    char line[128];
    std::snprintf(line, sizeof line, "Cannot write registry: Status = %u 0x%x\r\n", result, result);
    context.Out(line);
    return kFailed;
  }
  context.Out("SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters set to " + std::string(text) + "\r\n" +
              kCompleted);
  return 0;
}

uint32_t ResetSecureChannel(ToolContext& context, const std::wstring& target) {
  if (!IsServiceRunning(L"Netlogon")) return Fail(context, 1717, "RPC_S_UNKNOWN_IF");
  std::string text = NarrowUtf8(target);
  auto slash = text.find('\\');
  std::string domainName = text.substr(0, slash);
  std::string controllerName = slash == std::string::npos ? std::string() : text.substr(slash + 1);
  auto view = BootedMachineDomain();
  if (!view || !view->domain.IsNamed(domainName)) return Fail(context, 1355, "ERROR_NO_SUCH_DOMAIN");
  if (controllerName.empty()) {
    UnpinController();  // rediscovery: the locator's choice
    view = BootedMachineDomain();
  } else if (!PinController(controllerName)) {
    return Fail(context, 1311, "ERROR_NO_LOGON_SERVERS");
  } else {
    view = BootedMachineDomain();
  }
  const SimDomainController* controller = view ? CurrentController(*view) : nullptr;
  if (controller == nullptr) return Fail(context, 1311, "ERROR_NO_LOGON_SERVERS");
  context.Out("Flags: 30 HAS_IP  HAS_TIMESERV\r\nTrusted DC Name \\\\" + controller->host +
              "\r\nTrusted DC Connection Status Status = 0 0x0 NERR_Success\r\n" + kCompleted);
  return 0;
}

const char* ErrorName(uint32_t status) {
  switch (status) {
    case 1311:
      return "ERROR_NO_LOGON_SERVERS";
    case 1355:
      return "ERROR_NO_SUCH_DOMAIN";
    case 1717:
      return "RPC_S_UNKNOWN_IF";
    case 1787:
      return "ERROR_NO_TRUST_SAM_ACCOUNT";
    case 1789:
      return "ERROR_TRUSTED_RELATIONSHIP_FAILURE";
    case 5:
      return "ERROR_ACCESS_DENIED";
    default:
      return "";
  }
}

// A new machine password on both sides of the secure channel; the agent reads only the exit code.
uint32_t ChangePassword(ToolContext& context, const std::wstring& domain) {
  const uint32_t status = ChangeSecureChannelPassword(NarrowUtf8(domain));
  if (status != 0) return Fail(context, status, ErrorName(status));
  context.Out(std::string("Flags: 0\r\nConnection Status = 0 0x0 NERR_Success\r\n") + kCompleted);
  return 0;
}

uint32_t Nltest(ToolContext& context) {
  if (!Machine::IsBooted()) return kFailed;
  std::optional<std::wstring> server;
  std::optional<std::wstring> debugFlags;
  std::optional<std::wstring> reset;
  std::optional<std::wstring> changePassword;
  const auto& argv = context.Argv();
  for (size_t i = 1; i < argv.size(); ++i) {
    std::wstring name;
    std::wstring value;
    if (!SplitToolOption(argv[i], &name, &value) || value.empty()) return Usage(context);
    if (name == L"server") {
      server = value;
    } else if (name == L"dbflag") {
      debugFlags = value;
    } else if (name == L"sc_reset") {
      reset = value;
    } else if (name == L"sc_change_pwd") {
      changePassword = value;
    } else {
      return Usage(context);
    }
  }
  // One operation per run.
  if (int(debugFlags.has_value()) + int(reset.has_value()) + int(changePassword.has_value()) != 1) {
    return Usage(context);
  }
  if (server && !IsThisMachine(*server)) return Fail(context, 1722, "RPC_S_SERVER_UNAVAILABLE");
  if (debugFlags) {
    auto flags = ParseFlags(*debugFlags);
    if (!flags) return Usage(context);
    return SetDebugFlags(context, *flags);
  }
  if (changePassword) return ChangePassword(context, *changePassword);
  return ResetSecureChannel(context, *reset);
}

}  // namespace

ToolFunction SimNltestTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return Nltest(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return kFailed;
    }
  };
}

}  // namespace tamber::platform::sim
