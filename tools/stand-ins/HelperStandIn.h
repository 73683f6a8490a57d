// Stand-ins for two components of the sibling desktop agent that lie outside this system, written
// from their contracts with the agent:
//  - the agent helper's queues "TemplateHelper" and "CloneHelper": each request is answered with a
//    bag whose "resultText" is "Ack", or with an error text; the template request must carry a valid
//    identity proof (a signature, with the sent public key, of SHA-256 over the machine's GUID text
//    followed by the nonce text);
//  - the key vault's queue "KeyVault": "getrandom", "latest", "addmaster", "addkeypair" and
//    "getpublic", with real RSA key pairs and PKCS #1 v1.5 signatures over SHA-256 digests, the keys
//    kept in a protected file of the machine.
//
// Both are served by the helper stand-in process on the machine's one message channel: the agent
// reaches the key vault over the channel it opened to the helper, and the channel has one server.
//
// The clone queue knows "PrepClone" (the domain controller and the site the clone uses, and the step it
// goes on to, which is "WaitForCheckpointing") and "WaitForCheckpointing"; a controller that the
// machine's domain does not know is refused. An acknowledged template request puts the machine in its
// pool: the helper reports the pool's ID, which the host writes as PoolID.
//
// Faults (looked up by name on every request, so a test may change them while the helper runs):
//   helper.result=<text>        answer this resultText instead of "Ack"
//   helper.error=<text>         answer an error text instead
//   helper.no-pool-id=1         put the template in no pool
//   keyvault.busy=<n>           answer the next n key vault requests SystemBusy
//   keyvault.busy30001=<n>      answer the next n key vault requests Error with code 30001
//   keyvault.fail=<operation>   answer that operation Error with an error text
// and, read by the program around it: helper.no-handlers, helper.never-ready, helper.ignore-shutdown;
// and by the pre-specialize work of the simulated guest's tool: helper.prespecialize-fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/message/MessageFrameWork.h"

namespace tamber::standins {

using FaultLookup = std::function<std::optional<std::string>(const std::string& name)>;
// Where the pool's ID goes once the template is in its pool.
using PoolReporter = std::function<void(const std::wstring& poolId)>;
// Whether the machine's domain has this controller (true when the machine knows no domain).
using ControllerCheck = std::function<bool(const std::wstring& controller)>;

// Key vault error codes. 30001: busy, try again.
constexpr int64_t kKeyVaultErrorBusy = 30001;
constexpr int64_t kKeyVaultErrorNotFound = 30002;
constexpr int64_t kKeyVaultErrorBadRequest = 30003;
constexpr int64_t kKeyVaultErrorInternal = 30004;
constexpr int64_t kKeyVaultErrorInjected = 30005;

class KeyVaultStandIn {
 public:
  KeyVaultStandIn(std::filesystem::path storeFile, FaultLookup faults);
  ~KeyVaultStandIn();
  KeyVaultStandIn(const KeyVaultStandIn&) = delete;
  KeyVaultStandIn& operator=(const KeyVaultStandIn&) = delete;

  CORE::ResponseType Handle(const CORE::Message& request, CORE::PropertyBag* response);

 private:
  struct MasterKey {
    int64_t generation = 0;
    std::vector<uint8_t> secret;
  };
  struct KeyPair {
    uint32_t bits = 0;
    std::wstring encipherName;
    int64_t encipherGeneration = 0;
    bool persist = false;
    std::vector<uint8_t> privateBlob;  // RSAFULLPRIVATEBLOB
  };

  CORE::ResponseType GetRandom(const CORE::PropertyBag& request, CORE::PropertyBag* response);
  CORE::ResponseType Latest(const CORE::PropertyBag& request, CORE::PropertyBag* response);
  CORE::ResponseType AddMaster(const CORE::PropertyBag& request, CORE::PropertyBag* response);
  CORE::ResponseType AddKeyPair(const CORE::PropertyBag& request, CORE::PropertyBag* response);
  CORE::ResponseType GetPublic(const CORE::PropertyBag& request, CORE::PropertyBag* response);
  // Takes one from a counting fault; true while the count was above 0.
  bool TakeCountedFault(const std::string& name, int* remaining, bool* loaded);
  void Load();
  bool Save();

  std::filesystem::path storeFile_;
  FaultLookup faults_;
  std::mutex mutex_;
  std::map<std::wstring, MasterKey> masters_;
  std::map<std::wstring, KeyPair> keyPairs_;
  int busyRemaining_ = 0;
  bool busyLoaded_ = false;
  int busy30001Remaining_ = 0;
  bool busy30001Loaded_ = false;
};

class HelperStandIn {
 public:
  // serverDn: the machine's "Server DN", whose first component's value is its GUID.
  HelperStandIn(std::wstring serverDn, std::filesystem::path keyVaultFile, FaultLookup faults);

  // Registers the key vault, and unless told otherwise the helper's two queues.
  void Register(CORE::MessageFrameWork& frameWork, bool helperQueues);
  void SetPoolReporter(PoolReporter reporter) { reportPool_ = std::move(reporter); }
  void SetControllerCheck(ControllerCheck check) { knowsController_ = std::move(check); }

  CORE::ResponseType HandleTemplate(const CORE::Message& request, CORE::PropertyBag* response);
  CORE::ResponseType HandleClone(const CORE::Message& request, CORE::PropertyBag* response);

  // Empty when the proof holds, else why it does not.
  std::wstring CheckIdentityProof(const CORE::PropertyBag& request) const;

 private:
  CORE::ResponseType Answer(CORE::PropertyBag* response);

  std::wstring serverDn_;
  FaultLookup faults_;
  KeyVaultStandIn keyVault_;
  PoolReporter reportPool_;
  ControllerCheck knowsController_;
};

// The value of the first component of a distinguished name (attribute type, quotes and escapes
// removed).
std::wstring FirstRdnValue(const std::wstring& dn);
// Faults given as "name=value;name=value" (the Windows stand-in reads them from its environment).
FaultLookup FaultsFromText(const std::string& text);
// SHA-256 through the platform's CNG.
bool Sha256(const std::string& data, std::vector<uint8_t>* digest);

}  // namespace tamber::standins

namespace tamber::standins {
// "Server DN" of HKLM "Software\Talvora\Quorvel\Node Manager" through the platform's registry; empty
// when missing.
std::wstring ReadServerDn();
}  // namespace tamber::standins
