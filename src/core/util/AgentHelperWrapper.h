// The link to the sibling desktop agent's helper executable: start it in service mode, wait until it
// is ready, send it one request over the message framework (with an identity proof of this machine
// for the template step), check for the "Ack" answer, and stop it again. Also runs short programs
// synchronously (sysprep generalize) and reports the current MAC address.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/windows/Handles.h"
#include "core/util/Singleton.h"
#include "framework/message/MessageFrameWork.h"
#include "framework/message/PropertyBag.h"

namespace tamber::core::util {

// The contract with the helper and the key vault.
namespace helper {
inline constexpr const wchar_t* kHelperPath = L"C:\\Program Files\\Talvora\\Quorvel\\Agent\\bin\\tqaprep.exe";
inline constexpr const wchar_t* kServiceModeArgument = L"/service";
inline constexpr const wchar_t* kReadyEventName = L"QX_HELPER_TOOL_READY";
inline constexpr const wchar_t* kShutdownEventName = L"QX_HELPER_TOOL_SHUTDOWN";
constexpr uint32_t kReadyWaitMs = 30000;
constexpr uint32_t kExitWaitMs = 10000;
constexpr uint32_t kRequestTimeoutMs = 3960000;
constexpr uint32_t kProcessWaitMs = 300000;
inline constexpr const wchar_t* kTemplateQueue = L"TemplateHelper";
inline constexpr const wchar_t* kTemplateHint = L"PrepInternalTemplate";
inline constexpr const wchar_t* kCloneQueue = L"CloneHelper";
inline constexpr const wchar_t* kKeyVaultQueue = L"KeyVault";
inline constexpr const wchar_t* kGuestKeyPairName = L"QXe";
constexpr uint32_t kGuestKeyPairBits = 2048;
inline constexpr const wchar_t* kMasterKeyName = L"Rzm";
constexpr uint32_t kNonceLength = 16;
// The key vault answers this error code when it cannot take a request now; such a call is retried.
constexpr int64_t kKeyVaultBusyErrorCode = 30001;
inline constexpr const wchar_t* kSysprepPath = L"C:\\Windows\\System32\\Sysprep\\sysprep.exe";
inline constexpr const wchar_t* kUnattendPath = L"C:\\Progra~1\\Talvora\\Quorvel\\Agent\\unattend.xml";
// The helper's argument for the work it does when setup runs it at a clone's specialize pass.
inline constexpr const wchar_t* kPreSpecializeArgument = L"/prespecialize";

// Request and response items.
inline constexpr const wchar_t* kResultTextName = L"resultText";
inline constexpr const wchar_t* kPublicKeyProofName = L"qxe-public-key";
inline constexpr const wchar_t* kPopBlobName = L"qxe-pop-blob";
inline constexpr const wchar_t* kNonceName = L"nonce";
inline constexpr const wchar_t* kAdServerName = L"ad-server-name";
inline constexpr const wchar_t* kAdSiteName = L"ad-site";
// The step the clone's helper goes on to after its request ("WaitForCheckpointing").
inline constexpr const wchar_t* kNextStepName = L"next-step";
// Key vault items. The names of the random bytes and of the public key in the answers are the key
// vault's; the others are the requests' own.
inline constexpr const wchar_t* kKvLength = L"length";
inline constexpr const wchar_t* kKvName = L"name";
inline constexpr const wchar_t* kKvGeneration = L"gen";
inline constexpr const wchar_t* kKvEncipherGeneration = L"enciphergen";
inline constexpr const wchar_t* kKvEncipherName = L"enciphername";
inline constexpr const wchar_t* kKvPersist = L"persist";
inline constexpr const wchar_t* kKvDataToSign = L"bindatatosign";
inline constexpr const wchar_t* kKvDataSigned = L"bindatasigned";
inline constexpr const wchar_t* kKvTransform = L"transform";
inline constexpr const wchar_t* kKvAlgorithmId = L"KP_ALGID";
inline constexpr const wchar_t* kKvRandomData = L"bindata";
inline constexpr const wchar_t* kKvPublicKey = L"publickey";
}  // namespace helper

class AgentHelperWrapper : public Singleton<AgentHelperWrapper> {
 public:
  virtual ~AgentHelperWrapper();

  // Runs sysprep's generalize pass and waits for it.
  virtual bool SysprepGeneralize();
  // The helper executable's path in double quotes.
  virtual std::wstring GetHelperPath();
  // The process's exit code, or the Windows error when it could not be run.
  virtual uint32_t RunProcess(const std::wstring& executablePath, const std::wstring& arguments);
  virtual bool LaunchTemplateHelper();
  // nextStep, when given, travels as "next-step": what the helper goes on to after the request.
  virtual bool LaunchCloneHelper(const std::wstring& hint, const std::wstring& domainControllerName,
                                 const std::wstring& siteName, const std::wstring& nextStep = {});
  // The physical addresses of every adapter, "%02X" bytes joined by ':' within one adapter.
  virtual std::wstring GetCurrentMacAddress();
  // The helper's interception command: what setup is to run in place of its own command at a clone's
  // specialize pass, so that the helper does its pre-specialize work there.
  virtual std::wstring GetInterceptionString();

  bool LaunchHelperInServiceMode();
  void CloseHelperInServiceMode();

 protected:
  AgentHelperWrapper() = default;

 private:
  friend class Singleton<AgentHelperWrapper>;

  common::windows::UniqueHandle helperProcess_;  // null while no helper runs
};

// The framework and channel a request travels on; the key vault is reached on the same channel.
struct HelperLink {
  CORE::MessageFrameWork* frameWork = nullptr;
  CORE::MessageChannelPtr channel;
};

bool SendMsgToHelper(const std::wstring& queueName, const std::wstring& queueHint, CORE::PropertyBag& request,
                     bool appendProof);
bool AppendEncryptEntities(const HelperLink& link, CORE::PropertyBag& bag);
// The first component's value of the "Server DN" of the node manager key.
bool GetVmGuid(std::wstring* guid);
bool GenerateNonce(const HelperLink& link, uint32_t length, std::vector<uint8_t>* nonce);
bool CreatePersistentKeyPair(const HelperLink& link, const std::wstring& name, uint32_t bits);
bool GetPublicKey(const HelperLink& link, const std::wstring& name, const std::vector<uint8_t>& dataToSign,
                  std::vector<uint8_t>* publicKey, std::vector<uint8_t>* signature);
bool createHash(const std::string& algorithm, const std::string& data, std::vector<uint8_t>* digest, uint32_t* length);
// 0: the operation ran and succeeded; 1: it ran and failed; 2: it could not be executed.
int KvCallWithRetry(const HelperLink& link, const std::wstring& operation, const CORE::PropertyBag& request,
                    CORE::PropertyBag* response);

// The value of the first component of a distinguished name, split as LDAP's explode rule splits it
// (attribute types left out); empty when there is none.
std::wstring FirstDnComponentValue(const std::wstring& distinguishedName);
// Overwrites memory that held a secret; the compiler may not drop it.
void WipeSecret(void* data, size_t size);
template <class Container>
void WipeSecret(Container& container) {
  WipeSecret(container.data(), container.size() * sizeof(*container.data()));
}

}  // namespace tamber::core::util
