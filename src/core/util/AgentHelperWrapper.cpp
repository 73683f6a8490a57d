#include "core/util/AgentHelperWrapper.h"

#include <algorithm>
#include <cstdint>

#include "common/util/StringConverter.h"
#include "core/util/Registry.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Network.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace tamber::core::util {

using common::i18n::StringConverter;
using common::windows::HResultFromWin32;
using common::windows::UniqueHandle;

namespace {

constexpr uint32_t kAdaptersInfoBufferSize = 11264;
constexpr uint32_t kKeyVaultRetrySleepMs = 1000;
constexpr int kKeyVaultAttempts = 2;
constexpr uint32_t kSysprepDialogExitCode = 259;

int HandleValue(platform::Handle handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

std::wstring Hex(const uint8_t* data, size_t size) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0xF]);
  }
  return text;
}

// The comparison the helper's answer gets: over the answer's length plus its terminator, at most
// four characters, so that only the exact text "Ack" matches.
bool IsAck(const std::wstring& resultText) {
  static const wchar_t kAck[] = L"Ack";  // with its terminator: four characters
  const size_t count = std::min<size_t>(resultText.size() + 1, 4);
  for (size_t i = 0; i < count; ++i) {
    wchar_t ours = i < resultText.size() ? resultText[i] : L'\0';
    if (ours != kAck[i]) return false;
  }
  return true;
}

// Frees the algorithm provider and hash object of createHash on every path.
struct HashResources {
  platform::BCryptAlgHandle algorithm = nullptr;
  platform::BCryptHashHandle hash = nullptr;
  std::vector<uint8_t> hashObject;
  ~HashResources() {
    if (hash != nullptr) platform::BCryptDestroyHash(hash);
    if (algorithm != nullptr) platform::BCryptCloseAlgorithmProvider(algorithm, 0);
    WipeSecret(hashObject);
  }
};

}  // namespace

void WipeSecret(void* data, size_t size) {
  volatile uint8_t* bytes = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

// ---- the helper process -------------------------------------------------------------------------

AgentHelperWrapper::~AgentHelperWrapper() = default;

std::wstring AgentHelperWrapper::GetHelperPath() { return std::wstring(L"\"") + helper::kHelperPath + L"\""; }

std::wstring AgentHelperWrapper::GetInterceptionString() {
  return GetHelperPath() + L" " + helper::kPreSpecializeArgument;
}

bool AgentHelperWrapper::LaunchHelperInServiceMode() {
  if (helperProcess_) {
    Log(LogLevel::Debug,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Helper tool is already running");
    return false;
  }
  UniqueHandle readyEvent(
      platform::CreateEvent(/*manualReset=*/false, /*initialState=*/false, helper::kReadyEventName));
  if (!readyEvent) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Failed to create event for helper tool ready signal. Error code: 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return false;
  }

  std::wstring commandLine = GetHelperPath() + L" " + helper::kServiceModeArgument;
  Log(LogLevel::Trace,
      L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Executing command line: %s", commandLine);
  platform::ProcessInformation info;
  if (!platform::CreateProcess(commandLine, /*inheritHandles=*/false, /*creationFlags=*/0, platform::StartupInfo{},
                               &info)) {
    Log(LogLevel::Debug,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Unable to create process with the above command. Error code: 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  platform::CloseHandle(info.thread);
  helperProcess_.reset(info.process);
  Log(LogLevel::Debug,
      L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Command line: %s executed asynchronously. Process handle: %d, Process ID: %d",
      commandLine, HandleValue(info.process), static_cast<int>(info.processId));

  uint32_t wait = platform::WaitForSingleObject(readyEvent.get(), helper::kReadyWaitMs);
  if (wait == platform::kWaitObject0) {
    Log(LogLevel::Trace,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Agent helper signalled it is ready");
    return true;
  }
  if (wait == platform::kWaitTimeout) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Agent helper not ready after expected time");
  } else {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::LaunchHelperInServiceMode(): Wait call failed.for ready event, Error code: 0x%X",
        HResultFromWin32(platform::GetLastError()));
  }
  CloseHelperInServiceMode();
  return false;
}

void AgentHelperWrapper::CloseHelperInServiceMode() {
  if (!helperProcess_) {
    Log(LogLevel::Debug, L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Invalid Process Handle");
    return;
  }
  {
    UniqueHandle shutdownEvent(platform::OpenEvent(helper::kShutdownEventName));
    if (!shutdownEvent) {
      Log(LogLevel::Error,
          L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Failed to open event for helper tool shutdown signal. Error code: 0x%X",
          platform::GetLastError());
      return;
    }
    if (!platform::SetEvent(shutdownEvent.get())) {
      Log(LogLevel::Error,
          L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Failed to signal shutdown event. Error code: 0x%X",
          HResultFromWin32(platform::GetLastError()));
    }
  }

  uint32_t wait = platform::WaitForSingleObject(helperProcess_.get(), helper::kExitWaitMs);
  if (wait == platform::kWaitObject0) {
    Log(LogLevel::Debug,
        L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Agent helper exited gracefully");
  } else if (wait == platform::kWaitTimeout) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Agent helper did not exit gracefully within the timeout period. Will forcibly terminate it.");
    if (platform::TerminateProcess(helperProcess_.get(), 0)) {
      platform::WaitForSingleObject(helperProcess_.get(), platform::kInfinite);
      Log(LogLevel::Debug,
          L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Successfully terminated agent helper process forcibly");
    } else {
      Log(LogLevel::Error,
          L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Failed to terminate agent helper process. Error code: 0x%X",
          HResultFromWin32(platform::GetLastError()));
    }
  } else {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::CloseHelperInServiceMode(): Wait call failed for agent helper process to exit. Error code: 0x%X",
        HResultFromWin32(platform::GetLastError()));
  }
  helperProcess_.reset();
}

bool AgentHelperWrapper::LaunchTemplateHelper() {
  if (!LaunchHelperInServiceMode()) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::LaunchTemplateHelper(): Failed to launch agent helper process");
    return false;
  }
  CORE::PropertyBag request;
  bool result = SendMsgToHelper(helper::kTemplateQueue, helper::kTemplateHint, request, /*appendProof=*/true);
  CloseHelperInServiceMode();
  return result;
}

bool AgentHelperWrapper::LaunchCloneHelper(const std::wstring& hint, const std::wstring& domainControllerName,
                                           const std::wstring& siteName, const std::wstring& nextStep) {
  if (!LaunchHelperInServiceMode()) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::LaunchCloneHelper(): Failed to launch agent helper process");
    return false;
  }
  CORE::PropertyBag request;
  request.AddText(helper::kAdServerName, domainControllerName);
  request.AddText(helper::kAdSiteName, siteName);
  if (!nextStep.empty()) request.AddText(helper::kNextStepName, nextStep);
  bool result = SendMsgToHelper(helper::kCloneQueue, hint, request, /*appendProof=*/false);
  CloseHelperInServiceMode();
  return result;
}

// ---- synchronous processes ----------------------------------------------------------------------

uint32_t AgentHelperWrapper::RunProcess(const std::wstring& executablePath, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + executablePath + L"\" " + arguments;
  Log(LogLevel::Debug, L"tamber::core::util::AgentHelperWrapper::RunProcess(): Executing command line: %s",
      commandLine);
  platform::ProcessInformation info;
  if (!platform::CreateProcess(commandLine, /*inheritHandles=*/false, /*creationFlags=*/0, platform::StartupInfo{},
                               &info)) {
    uint32_t error = platform::GetLastError();
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::RunProcess(): Unable to create process with the above command. Error code: 0x%X",
        HResultFromWin32(error));
    return error;
  }
  UniqueHandle process(info.process);
  UniqueHandle thread(info.thread);
  // A process still running when the wait runs out reads as STILL_ACTIVE and is left running.
  platform::WaitForSingleObject(process.get(), helper::kProcessWaitMs);
  uint32_t exitCode = 0;
  if (!platform::GetExitCodeProcess(process.get(), &exitCode)) {
    uint32_t error = platform::GetLastError();
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::RunProcess(): Unable to get exit code from the above command. Error code: 0x%X",
        HResultFromWin32(error));
    return error;
  }
  Log(LogLevel::Debug,
      L"tamber::core::util::AgentHelperWrapper::RunProcess(): Command line: %s finished with exit code: %d",
      commandLine, static_cast<int>(exitCode));
  return exitCode;
}

bool AgentHelperWrapper::SysprepGeneralize() {
  std::wstring arguments = std::wstring(L"/generalize /oobe /mode:vm /quit /unattend:") + helper::kUnattendPath;
  uint32_t exitCode = RunProcess(helper::kSysprepPath, arguments);
  if (exitCode == kSysprepDialogExitCode) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::SysprepGeneralize(): Sysprep generalize failed with an invisible error dialog. Please fix the issue in your golden image.");
    return false;
  }
  if (exitCode != 0) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::SysprepGeneralize(): Sysprep generalize failed with exit code: %d",
        static_cast<int>(exitCode));
    return false;
  }
  return true;
}

std::wstring AgentHelperWrapper::GetCurrentMacAddress() {
  std::vector<platform::IpAdapterInfo> buffer(kAdaptersInfoBufferSize / sizeof(platform::IpAdapterInfo));
  uint32_t size = kAdaptersInfoBufferSize;
  uint32_t status = platform::GetAdaptersInfo(buffer.data(), &size);
  if (status != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::core::util::AgentHelperWrapper::GetCurrentMacAddress(): GetAdaptersInfo failed with status: %d",
        static_cast<int>(status));
    return std::wstring();
  }
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (const platform::IpAdapterInfo* adapter = buffer.data(); adapter != nullptr; adapter = adapter->next) {
    const uint32_t length = std::min<uint32_t>(adapter->addressLength, platform::kMaxAdapterAddressLength);
    for (uint32_t i = 0; i < length; ++i) {
      text.push_back(kDigits[adapter->address[i] >> 4]);
      text.push_back(kDigits[adapter->address[i] & 0xF]);
      if (i + 1 < length) text.push_back(L':');
    }
  }
  return text;
}

// ---- messages -----------------------------------------------------------------------------------

bool SendMsgToHelper(const std::wstring& queueName, const std::wstring& queueHint, CORE::PropertyBag& request,
                     bool appendProof) {
  CORE::MessageFrameWork frameWork;
  if (!frameWork.Start()) {
    Log(LogLevel::Error, L"SendMsgToHelper(): Failed to start MessageFrameWork");
    return false;
  }
  Log(LogLevel::Debug, L"SendMsgToHelper(): Successfully started MessageFrameWork");
  if (!frameWork.IsReady()) {
    Log(LogLevel::Error, L"SendMsgToHelper(): MessageFrameWork is not ready to use");
    frameWork.Stop();
    return false;
  }
  Log(LogLevel::Debug, L"SendMsgToHelper(): MessageFrameWork is ready to use");
  HelperLink link{&frameWork, nullptr};
  if (!frameWork.Connect(CORE::kLocalChannelName, &link.channel)) {
    Log(LogLevel::Error, L"SendMsgToHelper(): Failed to connect to the message channel using shared memory");
    frameWork.Stop();
    return false;
  }
  Log(LogLevel::Debug, L"SendMsgToHelper(): Successfully connected to the message channel using shared memory");

  bool result = false;
  if (appendProof && !AppendEncryptEntities(link, request)) {
    Log(LogLevel::Error, L"SendMsgToHelper(): Failed to append encrypt entities");
  } else {
    Log(LogLevel::Debug, L"SendMsgToHelper(): About to send a message to agent helper over mfw with queue/hint: %s/%s",
        queueName, queueHint);
    CORE::PropertyBag response;
    CORE::ResponseType type =
        frameWork.Send(link.channel, queueName, queueHint, request, helper::kRequestTimeoutMs, &response);
    if (type == CORE::ResponseType::NoQueueHandler) {
      Log(LogLevel::Error,
          L"SendMsgToHelper(): No queue handler was found. Possibly Quorvel Agent might be still running and intercepted the message");
    } else if (type != CORE::ResponseType::Ok) {
      Log(LogLevel::Error, L"SendMsgToHelper(): Failed to send above message to agent helper over mfw. respType: %S",
          CORE::ResponseTypeName(type));
    } else if (response.HasErrorText()) {
      Log(LogLevel::Error, L"SendMsgToHelper(): The response bag contains an error text: %s", response.GetErrorText());
    } else {
      std::wstring resultText;
      response.GetText(helper::kResultTextName, &resultText);
      if (IsAck(resultText)) {
        Log(LogLevel::Debug,
            L"SendMsgToHelper(): Successfully sent above message to agent helper over mfw and got expected response");
        result = true;
      } else {
        Log(LogLevel::Error,
            L"SendMsgToHelper(): The response bag does not contain an Ack in the resultText. Actual resultText: %s",
            resultText);
      }
    }
  }
  frameWork.Close(link.channel);
  frameWork.Stop();
  return result;
}

int KvCallWithRetry(const HelperLink& link, const std::wstring& operation, const CORE::PropertyBag& request,
                    CORE::PropertyBag* response) {
  std::string typeName;
  std::wstring errorText;
  for (int attempt = 1;; ++attempt) {
    CORE::ResponseType type =
        link.frameWork->Send(link.channel, helper::kKeyVaultQueue, operation, request, CORE::kNoTimeout, response);
    typeName = CORE::ResponseTypeName(type);
    errorText = response->GetErrorText();
    if (type == CORE::ResponseType::Ok) {
      Log(LogLevel::Debug, L"KvCallWithRetry(): KeyVault call '%s' succeeded on attempt %d", operation, attempt);
      return 0;
    }
    const bool busy = type == CORE::ResponseType::SystemBusy ||
                      (type == CORE::ResponseType::Error && response->GetErrorCode() == helper::kKeyVaultBusyErrorCode);
    if (busy) {
      Log(LogLevel::Trace, L"KvCallWithRetry(): KeyVault call '%s' not executed: %S (%s)", operation, typeName,
          errorText);
      platform::Sleep(kKeyVaultRetrySleepMs);
      response->Clear();
      if (attempt >= kKeyVaultAttempts) break;
      continue;
    }
    if (type == CORE::ResponseType::Error) {
      if (attempt > 1) {
        Log(LogLevel::Warn, L"KvCallWithRetry(): KeyVault call '%s' returned %S (%s) on attempt %d", operation,
            typeName, errorText, attempt);
      } else {
        Log(LogLevel::Warn, L"KvCallWithRetry(): KeyVault call '%s' failed: %S (%s)", operation, typeName, errorText);
      }
      return 1;
    }
    break;
  }
  Log(LogLevel::Error, L"KvCallWithRetry(): KeyVault call '%s' could not be executed: %S (%s)", operation, typeName,
      errorText);
  return 2;
}

bool GenerateNonce(const HelperLink& link, uint32_t length, std::vector<uint8_t>* nonce) {
  CORE::PropertyBag request;
  request.AddText(helper::kKvLength, std::to_wstring(length));
  CORE::PropertyBag response;
  int result = KvCallWithRetry(link, L"getrandom", request, &response);
  if (result == 2) {
    Log(LogLevel::Debug, L"GenerateNonce(): Failed to execute the KeyVault operation.");
    return false;
  }
  if (result == 1) {
    Log(LogLevel::Error, L"GenerateNonce(): Failed to generate nonce: %s", response.GetErrorText());
    return false;
  }
  std::vector<uint8_t> bytes;
  // A short answer would weaken the proof; it counts as a failure.
  if (!response.GetBinary(helper::kKvRandomData, &bytes) || bytes.size() != length) {
    WipeSecret(bytes);
    Log(LogLevel::Error, L"GenerateNonce(): Failed to generate nonce: %s",
        std::wstring(L"wrong number of random bytes"));
    return false;
  }
  WipeSecret(*nonce);
  *nonce = std::move(bytes);
  return true;
}

bool CreatePersistentKeyPair(const HelperLink& link, const std::wstring& name, uint32_t bits) {
  if (name.empty()) {
    Log(LogLevel::Error, L"CreatePersistentKeyPair(): Empty keypair name string.");
    return false;
  }
  CORE::PropertyBag latest;
  latest.AddText(helper::kKvName, helper::kMasterKeyName);
  CORE::PropertyBag response;
  int result = KvCallWithRetry(link, L"latest", latest, &response);
  if (result == 2) {
    Log(LogLevel::Debug, L"CreatePersistentKeyPair(): Failed to execute the KeyVault operation.");
    return false;
  }
  if (result == 1) {
    // No master key yet: make one.
    CORE::PropertyBag addMaster;
    addMaster.AddInteger(helper::kKvLength, bits);
    response.Clear();
    result = KvCallWithRetry(link, L"addmaster", addMaster, &response);
    if (result == 2) {
      Log(LogLevel::Debug, L"CreatePersistentKeyPair(): Failed to execute the KeyVault operation.");
      return false;
    }
    if (result == 1) {
      Log(LogLevel::Error, L"CreatePersistentKeyPair(): Cannot generate master key: %s", response.GetErrorText());
      return false;
    }
  }
  int64_t generation = 0;
  response.GetInteger(helper::kKvGeneration, &generation);
  if (generation == 0) {
    Log(LogLevel::Error, L"CreatePersistentKeyPair(): Master key is still not generated.");
    return false;
  }

  CORE::PropertyBag addKeyPair;
  addKeyPair.AddInteger(helper::kKvLength, bits);
  addKeyPair.AddInteger(helper::kKvEncipherGeneration, generation);
  addKeyPair.AddText(helper::kKvName, name);
  addKeyPair.AddText(helper::kKvPersist, L"true");
  addKeyPair.AddText(helper::kKvEncipherName, helper::kMasterKeyName);
  response.Clear();
  result = KvCallWithRetry(link, L"addkeypair", addKeyPair, &response);
  if (result == 0) return true;
  if (result == 1) {
    Log(LogLevel::Error, L"CreatePersistentKeyPair(): Cannot generate key pair: %s", response.GetErrorText());
  } else {
    Log(LogLevel::Debug, L"CreatePersistentKeyPair(): Failed to execute the KeyVault operation.");
  }
  return false;
}

bool GetPublicKey(const HelperLink& link, const std::wstring& name, const std::vector<uint8_t>& dataToSign,
                  std::vector<uint8_t>* publicKey, std::vector<uint8_t>* signature) {
  if (name.empty()) {
    Log(LogLevel::Error, L"GetPublicKey(): Empty keypair name");
    return false;
  }
  CORE::PropertyBag request;
  request.AddText(helper::kKvName, name);
  request.AddBinary(helper::kKvDataToSign, dataToSign);
  request.AddBag(helper::kKvTransform).AddText(helper::kKvAlgorithmId, L"SHA256");
  CORE::PropertyBag response;
  int result = KvCallWithRetry(link, L"getpublic", request, &response);
  if (result == 1) {
    Log(LogLevel::Error, L"GetPublicKey(): Cannot get public key:%s", response.GetErrorText());
    return false;
  }
  if (result == 2) {
    Log(LogLevel::Debug, L"GetPublicKey(): Failed to execute the KeyVault operation.");
    return false;
  }
  // An answer without the key or the signature cannot make a proof.
  if (!response.GetBinary(helper::kKvPublicKey, publicKey) || !response.GetBinary(helper::kKvDataSigned, signature) ||
      publicKey->empty() || signature->empty()) {
    Log(LogLevel::Error, L"GetPublicKey(): Cannot get public key:%s", std::wstring(L"incomplete answer"));
    return false;
  }
  return true;
}

// ---- the identity proof -------------------------------------------------------------------------

std::wstring FirstDnComponentValue(const std::wstring& dn) {
  // The first component ends at the first ',' or ';' that is neither escaped nor inside quotes.
  size_t i = 0;
  while (i < dn.size() && dn[i] == L' ') ++i;
  std::wstring component;
  bool quoted = false;
  for (; i < dn.size(); ++i) {
    wchar_t c = dn[i];
    if (c == L'\\' && i + 1 < dn.size()) {
      component.push_back(c);
      component.push_back(dn[++i]);
      continue;
    }
    if (c == L'"') quoted = !quoted;
    if (!quoted && (c == L',' || c == L';')) break;
    component.push_back(c);
  }
  // Without attribute types: the value after the first unescaped '=' (a component without one is
  // taken whole).
  size_t start = 0;
  for (size_t j = 0; j < component.size(); ++j) {
    if (component[j] == L'\\') {
      ++j;
    } else if (component[j] == L'"') {
      break;
    } else if (component[j] == L'=') {
      start = j + 1;
      break;
    }
  }
  std::wstring raw = component.substr(start);
  while (!raw.empty() && raw.front() == L' ') raw.erase(raw.begin());
  while (!raw.empty() && raw.back() == L' ' && !(raw.size() >= 2 && raw[raw.size() - 2] == L'\\')) raw.pop_back();
  if (raw.size() >= 2 && raw.front() == L'"' && raw.back() == L'"') raw = raw.substr(1, raw.size() - 2);

  // Escapes: "\," and the like stand for the character; "\XX" for a byte in hexadecimal.
  std::wstring value;
  auto hexValue = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  for (size_t j = 0; j < raw.size(); ++j) {
    if (raw[j] == L'\\' && j + 1 < raw.size()) {
      if (j + 2 < raw.size() && hexValue(raw[j + 1]) >= 0 && hexValue(raw[j + 2]) >= 0) {
        value.push_back(static_cast<wchar_t>(hexValue(raw[j + 1]) * 16 + hexValue(raw[j + 2])));
        j += 2;
      } else {
        value.push_back(raw[++j]);
      }
    } else {
      value.push_back(raw[j]);
    }
  }
  return value;
}

bool GetVmGuid(std::wstring* guid) {
  std::wstring serverDn;
  Registry::Instance()->GetValue(L"Server DN", &serverDn, regtype::kNodeManager);
  if (serverDn.empty()) {
    Log(LogLevel::Error, L"GetVmGuid(): Server dn is not set in the registry");
    return false;
  }
  std::wstring value = FirstDnComponentValue(serverDn);
  if (value.empty()) {
    Log(LogLevel::Error, L"GetVmGuid(): Empty vm guid in server dn");
    return false;
  }
  Log(LogLevel::Debug, L"GetVmGuid(): Found vm server dn: %ws, and vm guid: %ws", serverDn, value);
  *guid = value;
  return true;
}

bool createHash(const std::string& algorithm, const std::string& data, std::vector<uint8_t>* digest, uint32_t* length) {
  Log(LogLevel::Debug, L"createHash(): BasePrep::createHash algID:%s, data: %s", algorithm, data);
  std::wstring algorithmId(algorithm.begin(), algorithm.end());
  HashResources resources;
  platform::NtStatus status = platform::BCryptOpenAlgorithmProvider(&resources.algorithm, algorithmId.c_str(),
                                                                    platform::kMsPrimitiveProvider, 0);
  if (!platform::NtSuccess(status)) {
    resources.algorithm = nullptr;
    Log(LogLevel::Error, L"createHash(): Failed to open algorithm provider: 0x%x", status);
    return false;
  }
  uint32_t objectLength = 0;
  uint32_t resultSize = 0;
  status = platform::BCryptGetProperty(resources.algorithm, platform::kBCryptObjectLength,
                                       reinterpret_cast<uint8_t*>(&objectLength), sizeof(objectLength), &resultSize, 0);
  if (!platform::NtSuccess(status)) {
    Log(LogLevel::Error, L"createHash(): Failed to identify hash object size: 0x%x", status);
    return false;
  }
  uint32_t hashLength = 0;
  status = platform::BCryptGetProperty(resources.algorithm, platform::kBCryptHashLength,
                                       reinterpret_cast<uint8_t*>(&hashLength), sizeof(hashLength), &resultSize, 0);
  if (!platform::NtSuccess(status)) {
    Log(LogLevel::Error, L"createHash(): Failed to identify hash size: 0x%x", status);
    return false;
  }
  std::vector<uint8_t> binHash(hashLength);
  if (hashLength == 0) {
    Log(LogLevel::Error, L"createHash(): Failed to allocate memory to binHash");
    return false;
  }
  resources.hashObject.resize(objectLength);
  status = platform::BCryptCreateHash(resources.algorithm, &resources.hash, resources.hashObject.data(), objectLength,
                                      nullptr, 0, 0);
  if (!platform::NtSuccess(status)) {
    resources.hash = nullptr;
    Log(LogLevel::Error, L"createHash(): Failed to create hash: 0x%x", status);
    return false;
  }
  status = platform::BCryptHashData(resources.hash, reinterpret_cast<const uint8_t*>(data.data()),
                                    static_cast<uint32_t>(data.size()), 0);
  if (!platform::NtSuccess(status)) {
    Log(LogLevel::Error, L"createHash(): Failed to hash data: 0x%x", status);
    return false;
  }
  status = platform::BCryptFinishHash(resources.hash, binHash.data(), hashLength, 0);
  if (!platform::NtSuccess(status)) {
    WipeSecret(binHash);
    Log(LogLevel::Error, L"createHash(): Failed to finish hash: 0x%x", status);
    return false;
  }
  WipeSecret(*digest);
  *digest = std::move(binHash);
  *length = hashLength;
  return true;
}

bool AppendEncryptEntities(const HelperLink& link, CORE::PropertyBag& bag) {
  std::wstring guid;
  if (!GetVmGuid(&guid)) {
    Log(LogLevel::Error, L"AppendEncryptEntities(): Failed to get vm guid");
    return false;
  }
  std::string guidText = StringConverter::ToUtf8String(guid);

  std::vector<uint8_t> nonce;
  if (!GenerateNonce(link, helper::kNonceLength, &nonce)) {
    Log(LogLevel::Error, L"AppendEncryptEntities(): Failed to generate QXe nonce");
    return false;
  }
  std::wstring nonceHex = Hex(nonce.data(), nonce.size());
  WipeSecret(nonce);
  std::string nonceText(nonceHex.begin(), nonceHex.end());

  std::string signatureData = guidText + nonceText;
  Log(LogLevel::Debug, L"AppendEncryptEntities(): QXe signature data (vmGuid + qxNonce) is: %s", signatureData);

  std::vector<uint8_t> digest;
  std::vector<uint8_t> publicKey;
  std::vector<uint8_t> signature;
  uint32_t digestLength = 0;
  bool result = false;
  if (!createHash("SHA256", signatureData, &digest, &digestLength)) {
    Log(LogLevel::Error, L"AppendEncryptEntities(): Failed to create hash of QXe signature data");
  } else {
    std::wstring digestHex = Hex(digest.data(), digest.size());
    Log(LogLevel::Debug, L"AppendEncryptEntities(): QXe hash size: %d, hex val: %ws", static_cast<int>(digestLength),
        digestHex);
    WipeSecret(digestHex);
    if (!CreatePersistentKeyPair(link, helper::kGuestKeyPairName, helper::kGuestKeyPairBits)) {
      Log(LogLevel::Error, L"AppendEncryptEntities(): Failed to generate QXe keypair");
    } else if (!GetPublicKey(link, helper::kGuestKeyPairName, digest, &publicKey, &signature)) {
      Log(LogLevel::Error, L"AppendEncryptEntities(): Failed to retrieve QXe public key");
    } else {
      bag.AddBinary(helper::kPublicKeyProofName, publicKey);
      bag.AddBinary(helper::kPopBlobName, signature);
      bag.AddText(helper::kNonceName, nonceHex);
      Log(LogLevel::Debug, L"AppendEncryptEntities(): Successfully appended QXe encryption entities");
      result = true;
    }
  }
  WipeSecret(nonceHex);
  WipeSecret(nonceText);
  WipeSecret(signatureData);
  WipeSecret(digest);
  WipeSecret(publicKey);
  WipeSecret(signature);
  return result;
}

}  // namespace tamber::core::util
