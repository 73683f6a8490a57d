// The simulated domain. As a real one, it lives outside the machines: a directory that several machines
// attach to. It holds the domain's name, its sites and controllers, and one computer account per machine
// name with that account's current password.
//
//   <domain>/domain.conf          name=, guid=, one site= line per site (the first is the default site)
//                                 and one "dc=<DNS host name> <site>" line per controller
//   <domain>/accounts/<NAME>      the account's password, as bytes (NAME is the machine name in upper case)
//
// A machine attaches through "<machine>/membership.conf": the domain directory, the machine's site (the
// domain's default site when none is named) and the controller that "nltest /SC_RESET:" pinned. Netlogon
// forgets the pin when the machine boots again, as the real service does when it restarts.
//
// The directory seam (DsGetDcNameW and the rest, SimDirectory.cpp) and the simulated nltest, w32tm and
// gpupdate work on this model. Faults (the machine's fault plan; N is a count of calls, "error" a Win32
// code in decimal or 0x-hex):
//   DsGetDcNameFails=N[:error]   the next N DsGetDcNameW calls fail (default ERROR_NO_SUCH_DOMAIN, 1355;
//                                1311 is ERROR_NO_LOGON_SERVERS); while set, w32tm finds no time source and
//                                gpupdate cannot reach a controller
//   DsGetSiteNameFails=N[:error] the next N DsGetSiteNameW calls fail (default ERROR_NO_SITENAME, 1919)
//   DsGetDcOpenFails=N[:error]   the next N DsGetDcOpenW calls fail (default 1355)
//   DsGetDcNextEnd=error         every enumeration ends with this code instead of ERROR_NO_MORE_ITEMS (259),
//                                e.g. 1101 (ERROR_FILEMARK_DETECTED) or 1722
//   ServiceStartFails.w32time=N[:error]   the time service does not start (see SimServices.cpp)
//   w32tmFails=N                 the next N "w32tm /resync" fail with an error text and a non-zero exit
//   w32tmNoTimeData=N            the next N find no time data: another text, exit code 0
//   gpupdateFails=N              the next N "gpupdate" fail (exit code 1)
//   NetJoinDomain.errors=LIST    NetJoinDomain fails with the list's errors in order, one per call, before
//                                it may succeed: "53,53" twice ERROR_BAD_NETPATH, "1355*3" three times
//                                ERROR_NO_SUCH_DOMAIN, "53,1355*2" both
//   NetLogonControlFails=N[:error]  the next N I_NetLogonControl2 calls fail (default 1311)
//   nltestChangePwdFails=N[:error]  the next N "nltest /SC_CHANGE_PWD:" fail (default 1311) and change nothing
//
// Joining (SimJoin.cpp): NetJoinDomain with the machine password passed sets that password on the account
// of the machine's (new) name, creating it, and in the machine's "$MACHINE.ACC"; the secure channel holds
// only while "$MACHINE.ACC" equals the password of the account of the machine's current name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Devices.h"  // Guid

namespace tamber::platform::sim {

// Password bytes that are wiped when they go.
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  ~SecretBytes() { Wipe(); }
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool operator==(const SecretBytes& other) const { return bytes_ == other.bytes_; }
  // Constant-time against a candidate of the same length.
  bool Equals(const uint8_t* data, size_t size) const;

 private:
  void Wipe();
  std::vector<uint8_t> bytes_;
};

struct SimDomainController {
  std::string host;  // DNS host name ("dc1.corp.example"), as the locator returns it
  std::string site;
};

class SimDomain {
 public:
  // Makes a new domain in dir (absent or empty). sites are in order, the first is the default; every
  // controller's site must be one of them. Returns "" or what is wrong.
  static std::string Create(const std::filesystem::path& dir, const std::string& name,
                            const std::vector<std::string>& sites, const std::vector<SimDomainController>& controllers);
  // What is wrong with these names for a domain (Create's own check); "" when nothing is.
  static std::string CheckNames(const std::string& name, const std::vector<std::string>& sites,
                                const std::vector<SimDomainController>& controllers);
  static bool Exists(const std::filesystem::path& dir);
  // The domain in dir; nullopt (with *error set when given) when there is none or its file is damaged.
  static std::optional<SimDomain> Open(const std::filesystem::path& dir, std::string* error = nullptr);

  // Names as Windows checks them: DNS names of letters, digits and hyphens in dot-separated labels of 1 to
  // 63 characters (no label begins or ends with a hyphen; at most 253 characters); a site name is one
  // such label; a machine (account) name is 1 to 15 letters, digits and hyphens, not only digits.
  static bool IsDnsName(const std::string& name);
  static bool IsSiteName(const std::string& name);
  static bool IsAccountName(const std::string& name);
  // DNS compares names without regard to case.
  static bool SameName(const std::string& a, const std::string& b);

  const std::filesystem::path& Directory() const { return dir_; }
  const std::string& Name() const { return name_; }
  // The first label in upper case ("CORP" for corp.example).
  std::string NetbiosName() const;
  const Guid& DomainGuid() const { return guid_; }
  const std::vector<std::string>& Sites() const { return sites_; }
  const std::string& DefaultSite() const { return sites_.front(); }
  // The site as the domain spells it, for a name in any case.
  std::optional<std::string> FindSite(const std::string& site) const;
  const std::vector<SimDomainController>& Controllers() const { return controllers_; }
  std::vector<SimDomainController> ControllersInSite(const std::string& site) const;
  // By DNS host name or by its first label, in any case; null when the domain has no such controller.
  const SimDomainController* FindController(const std::string& name) const;
  // The domain's own name, as DNS name or NetBIOS name, in any case.
  bool IsNamed(const std::string& name) const;

  // Computer accounts: one per machine name (any case; kept in upper case), in name order.
  std::vector<std::string> Accounts() const;
  bool HasAccount(const std::string& machineName) const;
  // nullopt when there is no such account.
  std::optional<SecretBytes> AccountPassword(const std::string& machineName) const;
  // Sets the password, creating the account when it is missing. The file is replaced in one step, so a
  // reader sees the old password or the new one. False for a name that is no machine name or a failed write.
  bool SetAccountPassword(const std::string& machineName, const uint8_t* password, size_t size) const;
  bool DeleteAccount(const std::string& machineName) const;

  // What happened to the domain's accounts, one line each in order ("join POOL-CL0001"), kept in
  // "<domain>/events.log" so that a run can check that a machine joined only once.
  void RecordEvent(const std::string& line) const;
  std::vector<std::string> Events() const;

 private:
  SimDomain() = default;
  std::filesystem::path AccountFile(const std::string& machineName) const;

  std::filesystem::path dir_;
  std::string name_;
  Guid guid_{};
  std::vector<std::string> sites_;
  std::vector<SimDomainController> controllers_;
};

// A machine's place in a domain.
struct SimMembership {
  std::filesystem::path domainDirectory;
  std::string site;      // empty: the domain's default site
  std::string pinnedDc;  // the DNS host name "nltest /SC_RESET:" pinned; empty: none
};

// Reads and writes "<machine>/membership.conf" (nullopt: the machine is in no domain).
std::optional<SimMembership> LoadMembership(const std::filesystem::path& machineDir);
void SaveMembership(const std::filesystem::path& machineDir, const SimMembership& membership);
// Attaches the machine to the domain in its default site, or in the site named. Returns "" or what is wrong.
std::string AttachToDomain(const std::filesystem::path& machineDir, const std::filesystem::path& domainDir,
                           const std::string& site = "");
void DetachFromDomain(const std::filesystem::path& machineDir);

// What the booted machine sees of its domain.
struct SimDomainView {
  SimDomain domain;
  SimMembership membership;
  std::string site;  // the machine's site as the domain spells it
};
// nullopt when no machine is booted or it is in no domain (or its domain directory is gone).
std::optional<SimDomainView> BootedMachineDomain();
// The controller the machine uses: the pinned one, else the first of its site, else the first of the
// domain; null when the domain has none.
const SimDomainController* CurrentController(const SimDomainView& view);
// Pins a controller of the booted machine's domain (false when there is none by that name), or unpins.
bool PinController(const std::string& name);
void UnpinController();
// The booted machine's computer name (ComputerName\ComputerName), empty when it has none.
std::string BootedComputerName();

// A counted fault of the booted machine, "<name>=N[:error]": the error (or defaultError) while calls are
// left, each call using one up; nullopt when the fault is not set.
std::optional<uint32_t> TakeCountedFault(const std::string& name, uint32_t defaultError);

// The next error of a listed fault ("<name>=e1,e2*N,..."), each call using one up; nullopt when the
// fault is not set or is used up.
std::optional<uint32_t> TakeListedFault(const std::string& name);

// The booted machine's secure channel as Netlogon verifies it: connection status 0 and verification
// status 0 when it holds, the controller in use (without backslashes, empty when none answered).
struct SimSecureChannel {
  uint32_t connectionStatus = 0;
  uint32_t verificationStatus = 0;
  std::string controller;
};
// nullopt (and *error the code) when the machine is in no domain, the domain is not named so, or Netlogon
// is not running.
std::optional<SimSecureChannel> VerifySecureChannel(const std::string& domainName, uint32_t* error);
// A fresh random machine password: printable ASCII text.
std::string NewMachinePassword();
// Text as the UTF-16LE bytes the LSA and the accounts keep.
std::vector<uint8_t> PasswordBytes(const std::string& text);
// What "nltest /SC_CHANGE_PWD:" does: a fresh password into the account and into "$MACHINE.ACC", only
// over a secure channel that holds. 0 or the Win32 error.
uint32_t ChangeSecureChannelPassword(const std::string& domainName);

}  // namespace tamber::platform::sim
