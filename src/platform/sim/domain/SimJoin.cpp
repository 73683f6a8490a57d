// Joining the simulated domain and the secure channel (NetJoinDomain, I_NetLogonControl2), the computer
// name for the next boot (SetComputerNameExA) and the machine's principal name (GetUserNameExW), on the
// model of SimDomain.h.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/Directory.h"
#include "platform/Domain.h"
#include "platform/Registry.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimBootTimeAgent.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/security/SimLsa.h"
#include "platform/sim/tools/SimToolSupport.h"

namespace tamber::platform {
namespace {

constexpr uint32_t kErrorInvalidComputerName = 1210;
constexpr uint32_t kRpcUnknownInterface = 1717;                            // Netlogon is not running
constexpr uint32_t kVerifiedFlags = kNetlogonVerifyStatusReturned | 0x30;  // HAS_IP, HAS_TIMESERV
constexpr const wchar_t* kMachineSecret = L"$MACHINE.ACC";

std::string Narrow(const wchar_t* text) { return text == nullptr ? std::string() : sim::NarrowUtf8(text); }

std::string Upper(std::string text) {
  for (auto& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return text;
}

void WriteName(const wchar_t* path, const wchar_t* name, const std::string& text) {
  std::vector<uint8_t> bytes = sim::PasswordBytes(text);
  bytes.push_back(0);
  bytes.push_back(0);
  HKey key = nullptr;
  if (RegCreateKeyEx(HKeyLocalMachine(), path, kRegOptionNonVolatile, kKeyAllAccess, &key, nullptr) != kErrorSuccess) {
    return;
  }
  RegSetValueEx(key, name, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
  RegCloseKey(key);
}

}  // namespace

uint32_t NetJoinDomain(const wchar_t* /*server*/, const wchar_t* domain, const wchar_t* /*accountOU*/,
                       const wchar_t* /*account*/, const wchar_t* password, uint32_t options) {
  if (domain == nullptr || (options & kNetsetupJoinDomain) == 0) return kErrorInvalidParameter;
  if (!sim::Machine::IsBooted()) return kErrorNoSuchDomain;
  if (auto error = sim::TakeListedFault("NetJoinDomain.errors")) return *error;
  std::string target = Narrow(domain);
  auto slash = target.find('\\');
  std::string domainName = target.substr(0, slash);
  std::string controller = slash == std::string::npos ? std::string() : target.substr(slash + 1);
  auto view = sim::BootedMachineDomain();
  if (!view || !view->domain.IsNamed(domainName)) return kErrorNoSuchDomain;
  if (!controller.empty() && view->domain.FindController(controller) == nullptr) return kErrorNoSuchDomain;
  std::string name = sim::BootedComputerName();
  if (!sim::SimDomain::IsAccountName(name)) return kErrorInvalidComputerName;
  if ((options & kNetsetupMachinePwdPassed) == 0 || password == nullptr) {
    // Joining with credentials instead of a preset password is not part of this model.
    return kErrorInvalidParameter;
  }
  std::vector<uint8_t> bytes = sim::PasswordBytes(Narrow(password));
  const bool stored =
      view->domain.SetAccountPassword(name, bytes.data(), bytes.size()) && sim::WriteLsaSecret(kMachineSecret, bytes);
  std::memset(bytes.data(), 0, bytes.size());
  if (stored) view->domain.RecordEvent("join " + name);
  return stored ? kErrorSuccess : kErrorNoSuchDomain;
}

uint32_t I_NetLogonControl2(const wchar_t* /*serverName*/, uint32_t functionCode, uint32_t queryLevel, const void* data,
                            uint8_t** buffer) {
  if (functionCode != kNetlogonControlTcVerify || queryLevel != 2 || data == nullptr || buffer == nullptr) {
    return kErrorInvalidParameter;
  }
  if (auto error = sim::TakeCountedFault("NetLogonControlFails", kErrorNoLogonServers)) return *error;
  const wchar_t* domainName = *static_cast<const wchar_t* const*>(data);
  uint32_t error = 0;
  auto channel = sim::VerifySecureChannel(Narrow(domainName), &error);
  if (!channel) return error;
  std::wstring controller =
      channel->controller.empty() ? std::wstring() : L"\\\\" + sim::WidenUtf8(channel->controller);
  const size_t textBytes = (controller.size() + 1) * sizeof(wchar_t);
  auto* block = static_cast<uint8_t*>(std::calloc(1, sizeof(NetlogonInfo2) + textBytes));
  if (block == nullptr) return 8;  // ERROR_NOT_ENOUGH_MEMORY
  auto* info = reinterpret_cast<NetlogonInfo2*>(block);
  info->flags = kVerifiedFlags;
  info->pdcConnectionStatus = channel->verificationStatus;
  info->tcConnectionStatus = channel->connectionStatus;
  info->trustedDcName = reinterpret_cast<wchar_t*>(block + sizeof(NetlogonInfo2));
  std::memcpy(info->trustedDcName, controller.c_str(), textBytes);
  *buffer = block;
  return kErrorSuccess;
}

uint32_t SetComputerNameExA(uint32_t nameType, const char* name) {
  if (!sim::Machine::IsBooted()) return kErrorNotReady;
  if (nameType != kComputerNamePhysicalDnsHostname || name == nullptr) return kErrorInvalidParameter;
  if (!sim::IsValidComputerName(name)) return kErrorInvalidParameter;
  // As the boot-time agent names the machine: the computer name and the host name Tcpip takes next boot.
  WriteName(sim::kComputerNameKeyPath, L"ComputerName", name);
  WriteName(sim::kTcpipParametersKeyPath, L"NV Hostname", name);
  return kErrorSuccess;
}

uint32_t GetUserNameExW(uint32_t nameFormat, wchar_t* buffer, uint32_t* size) {
  if (size == nullptr) return kErrorInvalidParameter;
  if (nameFormat != kNameUserPrincipal) return kErrorNoneMapped;
  auto view = sim::BootedMachineDomain();
  std::string name = sim::BootedComputerName();
  if (!view || name.empty()) return kErrorNoneMapped;
  // The local system acts as the computer account: its implicit principal name is the account's
  // SAM name ("NAME$") at the domain's DNS name.
  std::wstring upn = sim::WidenUtf8(Upper(name) + "$@" + view->domain.Name());
  if (buffer == nullptr || *size < upn.size() + 1) {
    *size = static_cast<uint32_t>(upn.size() + 1);
    return kErrorMoreData;
  }
  std::memcpy(buffer, upn.c_str(), (upn.size() + 1) * sizeof(wchar_t));
  *size = static_cast<uint32_t>(upn.size());
  return kErrorSuccess;
}

namespace sim {

std::vector<uint8_t> PasswordBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (unsigned char c : text) {
    bytes.push_back(c);
    bytes.push_back(0);
  }
  return bytes;
}

std::string NewMachinePassword() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#%&()*+,-./:;<=>?@[]^_{|}~";
  std::random_device random;
  std::string password(32, ' ');
  for (auto& c : password) c = kAlphabet[random() % (sizeof kAlphabet - 1)];
  return password;
}

std::optional<SimSecureChannel> VerifySecureChannel(const std::string& domainName, uint32_t* error) {
  auto view = BootedMachineDomain();
  if (!view || !view->domain.IsNamed(domainName)) {
    *error = kErrorNoSuchDomain;
    return std::nullopt;
  }
  if (!IsServiceRunning(L"Netlogon")) {
    *error = kRpcUnknownInterface;
    return std::nullopt;
  }
  SimSecureChannel channel;
  const SimDomainController* controller = CurrentController(*view);
  auto account = view->domain.AccountPassword(BootedComputerName());
  auto secret = ReadLsaSecret(kMachineSecret);
  if (controller == nullptr) {
    channel.connectionStatus = kErrorNoLogonServers;
    channel.verificationStatus = kErrorNoLogonServers;
  } else if (!account) {
    channel.connectionStatus = kErrorNoLogonServers;
    channel.verificationStatus = kErrorNoTrustSamAccount;
  } else if (!secret || !account->Equals(secret->data(), secret->size())) {
    channel.connectionStatus = kErrorNoLogonServers;
    channel.verificationStatus = kErrorTrustedRelationshipFailure;
  } else {
    channel.controller = controller->host;
  }
  if (secret) std::memset(secret->data(), 0, secret->size());
  return channel;
}

uint32_t ChangeSecureChannelPassword(const std::string& domainName) {
  uint32_t error = 0;
  auto channel = VerifySecureChannel(domainName, &error);
  if (!channel) return error;
  if (channel->connectionStatus != 0) return channel->connectionStatus;
  if (auto fault = TakeCountedFault("nltestChangePwdFails", kErrorNoLogonServers)) return *fault;
  auto view = BootedMachineDomain();
  if (!view) return kErrorNoSuchDomain;
  std::string password = NewMachinePassword();
  std::vector<uint8_t> bytes = PasswordBytes(password);
  const bool changed = view->domain.SetAccountPassword(BootedComputerName(), bytes.data(), bytes.size()) &&
                       WriteLsaSecret(kMachineSecret, bytes);
  std::memset(bytes.data(), 0, bytes.size());
  std::memset(password.data(), 0, password.size());
  return changed ? 0 : kErrorNoLogonServers;
}

}  // namespace sim
}  // namespace tamber::platform
