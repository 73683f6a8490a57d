#include "HelperStandIn.h"

#include <fstream>
#include <sstream>

#include "common/util/Utf16.h"
#include "platform/Crypto.h"
#include "platform/Registry.h"

namespace tamber::standins {
namespace {

namespace platform = tamber::platform;

constexpr const wchar_t* kDefaultMasterName = L"Rzm";
constexpr uint32_t kMaxRandomBytes = 4096;

void Wipe(std::vector<uint8_t>& bytes) {
  volatile uint8_t* p = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
  bytes.clear();
}

std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

bool FromHex(const std::string& text, std::vector<uint8_t>* bytes) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = digit(text[i]);
    int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

CORE::ResponseType Fail(CORE::PropertyBag* response, int64_t code, const std::wstring& text) {
  response->Clear();
  response->SetErrorText(text);
  response->SetErrorCode(code);
  return CORE::ResponseType::Error;
}

// A whole positive number from a text item.
bool GetCount(const CORE::PropertyBag& bag, const std::wstring& name, int64_t* value) {
  return bag.GetInteger(name, value) && *value > 0;
}

// RSA through CNG: the handles are released on every path.
struct RsaKey {
  platform::BCryptAlgHandle algorithm = nullptr;
  platform::BCryptKeyHandle key = nullptr;
  ~RsaKey() {
    if (key != nullptr) platform::BCryptDestroyKey(key);
    if (algorithm != nullptr) platform::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  bool Open() {
    if (platform::NtSuccess(
            platform::BCryptOpenAlgorithmProvider(&algorithm, platform::kBCryptRsaAlgorithm, nullptr, 0))) {
      return true;
    }
    algorithm = nullptr;
    return false;
  }
  bool Import(const wchar_t* blobType, const std::vector<uint8_t>& blob) {
    if (!Open()) return false;
    if (platform::NtSuccess(platform::BCryptImportKeyPair(algorithm, nullptr, blobType, &key, blob.data(),
                                                          static_cast<uint32_t>(blob.size()), 0))) {
      return true;
    }
    key = nullptr;
    return false;
  }
  bool Generate(uint32_t bits) {
    if (!Open()) return false;
    if (!platform::NtSuccess(platform::BCryptGenerateKeyPair(algorithm, &key, bits, 0))) {
      key = nullptr;
      return false;
    }
    return platform::NtSuccess(platform::BCryptFinalizeKeyPair(key, 0));
  }
  bool Export(const wchar_t* blobType, std::vector<uint8_t>* blob) {
    uint32_t size = 0;
    if (!platform::NtSuccess(platform::BCryptExportKey(key, nullptr, blobType, nullptr, 0, &size, 0))) return false;
    blob->assign(size, 0);
    if (!platform::NtSuccess(platform::BCryptExportKey(key, nullptr, blobType, blob->data(), size, &size, 0))) {
      return false;
    }
    blob->resize(size);
    return true;
  }
};

}  // namespace

bool Sha256(const std::string& data, std::vector<uint8_t>* digest) {
  platform::BCryptAlgHandle algorithm = nullptr;
  if (!platform::NtSuccess(
          platform::BCryptOpenAlgorithmProvider(&algorithm, platform::kBCryptSha256Algorithm, nullptr, 0))) {
    return false;
  }
  platform::BCryptHashHandle hash = nullptr;
  digest->assign(32, 0);
  bool ok = platform::NtSuccess(platform::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
            platform::NtSuccess(platform::BCryptHashData(hash, reinterpret_cast<const uint8_t*>(data.data()),
                                                         static_cast<uint32_t>(data.size()), 0)) &&
            platform::NtSuccess(platform::BCryptFinishHash(hash, digest->data(), 32, 0));
  if (hash != nullptr) platform::BCryptDestroyHash(hash);
  platform::BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

std::wstring FirstRdnValue(const std::wstring& dn) {
  std::wstring value;
  bool inValue = false;
  bool quoted = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    wchar_t c = dn[i];
    if (c == L'\\' && i + 1 < dn.size()) {
      if (inValue) value.push_back(dn[i + 1]);
      ++i;
    } else if (c == L'"') {
      quoted = !quoted;
    } else if (!quoted && (c == L',' || c == L';')) {
      break;
    } else if (!inValue && c == L'=') {
      inValue = true;
    } else if (inValue) {
      value.push_back(c);
    }
  }
  while (!value.empty() && value.back() == L' ') value.pop_back();
  while (!value.empty() && value.front() == L' ') value.erase(value.begin());
  return value;
}

std::wstring ReadServerDn() {
  platform::HKey key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), L"Software\\Talvora\\Quorvel\\Node Manager", 0,
                             platform::kKeyRead, &key) != platform::kErrorSuccess) {
    return {};
  }
  uint32_t type = 0;
  uint32_t size = 0;
  std::wstring value;
  if (platform::RegQueryValueEx(key, L"Server DN", &type, nullptr, &size) == platform::kErrorSuccess &&
      type == platform::kRegSz) {
    std::vector<uint8_t> data(size);
    if (platform::RegQueryValueEx(key, L"Server DN", &type, data.data(), &size) == platform::kErrorSuccess) {
      value = common::util::FromUtf16LeBytes(data.data(), size);
      auto end = value.find(L'\0');
      if (end != std::wstring::npos) value.resize(end);
    }
  }
  platform::RegCloseKey(key);
  return value;
}

FaultLookup FaultsFromText(const std::string& text) {
  std::map<std::string, std::string> faults;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ';')) {
    auto eq = item.find('=');
    if (eq != std::string::npos && eq > 0) faults[item.substr(0, eq)] = item.substr(eq + 1);
  }
  return [faults](const std::string& name) -> std::optional<std::string> {
    auto it = faults.find(name);
    if (it == faults.end()) return std::nullopt;
    return it->second;
  };
}

// ---- key vault ----------------------------------------------------------------------------------

KeyVaultStandIn::KeyVaultStandIn(std::filesystem::path storeFile, FaultLookup faults)
    : storeFile_(std::move(storeFile)), faults_(std::move(faults)) {
  Load();
}

KeyVaultStandIn::~KeyVaultStandIn() {
  for (auto& [name, master] : masters_) Wipe(master.secret);
  for (auto& [name, pair] : keyPairs_) Wipe(pair.privateBlob);
}

bool KeyVaultStandIn::TakeCountedFault(const std::string& name, int* remaining, bool* loaded) {
  // A count is read once; it then runs down with the requests it answers.
  if (!*loaded) {
    auto value = faults_(name);
    if (value) {
      try {
        *remaining = std::stoi(*value);
      } catch (...) {
        *remaining = 0;
      }
      *loaded = true;
    }
  }
  if (*remaining <= 0) return false;
  --*remaining;
  return true;
}

CORE::ResponseType KeyVaultStandIn::Handle(const CORE::Message& request, CORE::PropertyBag* response) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (TakeCountedFault("keyvault.busy", &busyRemaining_, &busyLoaded_)) {
    response->SetErrorText(L"The key vault is busy");
    return CORE::ResponseType::SystemBusy;
  }
  if (TakeCountedFault("keyvault.busy30001", &busy30001Remaining_, &busy30001Loaded_)) {
    return Fail(response, kKeyVaultErrorBusy, L"The key vault is busy, try again");
  }
  const std::wstring& operation = request.queueHint;
  if (auto failing = faults_("keyvault.fail"); failing && Widen(*failing) == operation) {
    return Fail(response, kKeyVaultErrorInjected, L"Injected failure of " + operation);
  }
  if (operation == L"getrandom") return GetRandom(request.bag, response);
  if (operation == L"latest") return Latest(request.bag, response);
  if (operation == L"addmaster") return AddMaster(request.bag, response);
  if (operation == L"addkeypair") return AddKeyPair(request.bag, response);
  if (operation == L"getpublic") return GetPublic(request.bag, response);
  return Fail(response, kKeyVaultErrorBadRequest, L"Unknown operation: " + operation);
}

CORE::ResponseType KeyVaultStandIn::GetRandom(const CORE::PropertyBag& request, CORE::PropertyBag* response) {
  int64_t length = 0;
  if (!GetCount(request, L"length", &length) || length > kMaxRandomBytes) {
    return Fail(response, kKeyVaultErrorBadRequest, L"Invalid length");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!platform::NtSuccess(platform::BCryptGenRandom(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                     platform::kBCryptUseSystemPreferredRng))) {
    return Fail(response, kKeyVaultErrorInternal, L"No random bytes");
  }
  response->AddBinary(L"bindata", bytes);
  Wipe(bytes);
  return CORE::ResponseType::Ok;
}

CORE::ResponseType KeyVaultStandIn::Latest(const CORE::PropertyBag& request, CORE::PropertyBag* response) {
  std::wstring name;
  if (!request.GetText(L"name", &name) || name.empty()) return Fail(response, kKeyVaultErrorBadRequest, L"No name");
  auto it = masters_.find(name);
  if (it == masters_.end()) return Fail(response, kKeyVaultErrorNotFound, L"No master key named " + name);
  response->AddInteger(L"gen", it->second.generation);
  return CORE::ResponseType::Ok;
}

CORE::ResponseType KeyVaultStandIn::AddMaster(const CORE::PropertyBag& request, CORE::PropertyBag* response) {
  int64_t bits = 0;
  if (!GetCount(request, L"length", &bits) || bits % 8 != 0 || bits > 16384) {
    return Fail(response, kKeyVaultErrorBadRequest, L"Invalid length");
  }
  std::wstring name = kDefaultMasterName;
  request.GetText(L"name", &name);
  MasterKey& master = masters_[name];
  Wipe(master.secret);
  master.secret.assign(static_cast<size_t>(bits / 8), 0);
  if (!platform::NtSuccess(platform::BCryptGenRandom(nullptr, master.secret.data(),
                                                     static_cast<uint32_t>(master.secret.size()),
                                                     platform::kBCryptUseSystemPreferredRng))) {
    return Fail(response, kKeyVaultErrorInternal, L"No random bytes");
  }
  ++master.generation;
  if (!Save()) return Fail(response, kKeyVaultErrorInternal, L"Cannot store the master key");
  response->AddInteger(L"gen", master.generation);
  return CORE::ResponseType::Ok;
}

CORE::ResponseType KeyVaultStandIn::AddKeyPair(const CORE::PropertyBag& request, CORE::PropertyBag* response) {
  int64_t bits = 0;
  int64_t generation = 0;
  std::wstring name, encipherName, persist;
  if (!GetCount(request, L"length", &bits) || bits < 1024 || bits > 4096 || bits % 64 != 0 ||
      !GetCount(request, L"enciphergen", &generation) || !request.GetText(L"name", &name) || name.empty() ||
      !request.GetText(L"enciphername", &encipherName)) {
    return Fail(response, kKeyVaultErrorBadRequest, L"Invalid key pair request");
  }
  request.GetText(L"persist", &persist);
  auto master = masters_.find(encipherName);
  if (master == masters_.end() || master->second.generation != generation) {
    return Fail(response, kKeyVaultErrorNotFound, L"No master key " + encipherName + L" of that generation");
  }
  auto existing = keyPairs_.find(name);
  if (existing != keyPairs_.end() && existing->second.bits == static_cast<uint32_t>(bits)) {
    return CORE::ResponseType::Ok;  // the pair is there already: the same identity on every call
  }
  RsaKey key;
  KeyPair pair;
  if (!key.Generate(static_cast<uint32_t>(bits)) ||
      !key.Export(platform::kBCryptRsaFullPrivateBlob, &pair.privateBlob)) {
    return Fail(response, kKeyVaultErrorInternal, L"Cannot generate the key pair");
  }
  pair.bits = static_cast<uint32_t>(bits);
  pair.encipherName = encipherName;
  pair.encipherGeneration = generation;
  pair.persist = persist == L"true";
  if (existing != keyPairs_.end()) Wipe(existing->second.privateBlob);
  keyPairs_[name] = std::move(pair);
  if (!Save()) return Fail(response, kKeyVaultErrorInternal, L"Cannot store the key pair");
  return CORE::ResponseType::Ok;
}

CORE::ResponseType KeyVaultStandIn::GetPublic(const CORE::PropertyBag& request, CORE::PropertyBag* response) {
  std::wstring name, algorithm;
  std::vector<uint8_t> data;
  const CORE::Properties* transform = request.GetBag(L"transform");
  if (!request.GetText(L"name", &name) || !request.GetBinary(L"bindatatosign", &data) || transform == nullptr ||
      !transform->GetText(L"KP_ALGID", &algorithm)) {
    return Fail(response, kKeyVaultErrorBadRequest, L"Invalid public key request");
  }
  if (algorithm != L"SHA256" || data.size() != 32) {
    return Fail(response, kKeyVaultErrorBadRequest, L"Only SHA256 digests are signed");
  }
  auto it = keyPairs_.find(name);
  if (it == keyPairs_.end()) return Fail(response, kKeyVaultErrorNotFound, L"No key pair named " + name);
  RsaKey key;
  std::vector<uint8_t> publicBlob;
  if (!key.Import(platform::kBCryptRsaFullPrivateBlob, it->second.privateBlob) ||
      !key.Export(platform::kBCryptRsaPublicBlob, &publicBlob)) {
    return Fail(response, kKeyVaultErrorInternal, L"Cannot load the key pair");
  }
  platform::BCryptPkcs1PaddingInfo padding{platform::kBCryptSha256Algorithm};
  uint32_t size = 0;
  std::vector<uint8_t> signature((it->second.bits + 7) / 8);
  if (!platform::NtSuccess(platform::BCryptSignHash(key.key, &padding, data.data(), static_cast<uint32_t>(data.size()),
                                                    signature.data(), static_cast<uint32_t>(signature.size()), &size,
                                                    platform::kBCryptPadPkcs1))) {
    return Fail(response, kKeyVaultErrorInternal, L"Cannot sign");
  }
  signature.resize(size);
  response->AddBinary(L"publickey", publicBlob);
  response->AddBinary(L"bindatasigned", signature);
  return CORE::ResponseType::Ok;
}

// The store: one line per key, "master <name> <generation> <hex>" and
// "keypair <name> <bits> <encipher name> <generation> <hex private blob>". Names carry no blanks.
void KeyVaultStandIn::Load() {
  std::ifstream in(storeFile_);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, name, hex;
    fields >> kind >> name;
    if (kind == "master") {
      MasterKey master;
      if (fields >> master.generation >> hex && FromHex(hex, &master.secret)) masters_[Widen(name)] = std::move(master);
    } else if (kind == "keypair") {
      KeyPair pair;
      std::string encipher;
      if (fields >> pair.bits >> encipher >> pair.encipherGeneration >> hex && FromHex(hex, &pair.privateBlob)) {
        pair.encipherName = Widen(encipher);
        pair.persist = true;
        keyPairs_[Widen(name)] = std::move(pair);
      }
    }
    std::fill(line.begin(), line.end(), '\0');
    std::fill(hex.begin(), hex.end(), '\0');
  }
}

bool KeyVaultStandIn::Save() {
  std::error_code error;
  std::filesystem::create_directories(storeFile_.parent_path(), error);
  auto temporary = storeFile_;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!out) return false;
    // Only the owner may read the keys.
    std::filesystem::permissions(temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 error);
    for (const auto& [name, master] : masters_) {
      std::string hex = ToHex(master.secret);
      out << "master " << Narrow(name) << ' ' << master.generation << ' ' << hex << '\n';
      std::fill(hex.begin(), hex.end(), '\0');
    }
    for (const auto& [name, pair] : keyPairs_) {
      if (!pair.persist) continue;
      std::string hex = ToHex(pair.privateBlob);
      out << "keypair " << Narrow(name) << ' ' << pair.bits << ' ' << Narrow(pair.encipherName) << ' '
          << pair.encipherGeneration << ' ' << hex << '\n';
      std::fill(hex.begin(), hex.end(), '\0');
    }
    if (!out.flush()) return false;
  }
  std::filesystem::rename(temporary, storeFile_, error);
  return !error;
}

// ---- helper queues ------------------------------------------------------------------------------

HelperStandIn::HelperStandIn(std::wstring serverDn, std::filesystem::path keyVaultFile, FaultLookup faults)
    : serverDn_(std::move(serverDn)), faults_(faults), keyVault_(std::move(keyVaultFile), faults) {}

void HelperStandIn::Register(CORE::MessageFrameWork& frameWork, bool helperQueues) {
  frameWork.RegisterQueueHandler(L"KeyVault", [this](const CORE::Message& request, CORE::PropertyBag* response) {
    return keyVault_.Handle(request, response);
  });
  if (!helperQueues) return;
  frameWork.RegisterQueueHandler(L"TemplateHelper", [this](const CORE::Message& request, CORE::PropertyBag* response) {
    return HandleTemplate(request, response);
  });
  frameWork.RegisterQueueHandler(L"CloneHelper", [this](const CORE::Message& request, CORE::PropertyBag* response) {
    return HandleClone(request, response);
  });
}

CORE::ResponseType HelperStandIn::Answer(CORE::PropertyBag* response) {
  if (auto error = faults_("helper.error")) {
    response->SetErrorText(Widen(*error));
    return CORE::ResponseType::Ok;
  }
  auto result = faults_("helper.result");
  response->AddText(L"resultText", result ? Widen(*result) : L"Ack");
  return CORE::ResponseType::Ok;
}

std::wstring HelperStandIn::CheckIdentityProof(const CORE::PropertyBag& request) const {
  std::vector<uint8_t> publicKey, signature;
  std::wstring nonce;
  if (!request.GetBinary(L"qxe-public-key", &publicKey) || !request.GetBinary(L"qxe-pop-blob", &signature) ||
      !request.GetText(L"nonce", &nonce)) {
    return L"the identity proof is missing";
  }
  if (nonce.size() != 32 || nonce.find_first_not_of(L"0123456789abcdef") != std::wstring::npos) {
    return L"the nonce is not 16 bytes in lower-case hexadecimal";
  }
  std::wstring guid = FirstRdnValue(serverDn_);
  if (guid.empty()) return L"this machine has no identity";
  std::vector<uint8_t> digest;
  if (!Sha256(Narrow(guid) + Narrow(nonce), &digest)) return L"cannot hash the proof";
  RsaKey key;
  if (!key.Import(platform::kBCryptRsaPublicBlob, publicKey)) return L"the public key is not an RSA public key blob";
  platform::BCryptPkcs1PaddingInfo padding{platform::kBCryptSha256Algorithm};
  if (!platform::NtSuccess(platform::BCryptVerifySignature(
          key.key, &padding, digest.data(), static_cast<uint32_t>(digest.size()), signature.data(),
          static_cast<uint32_t>(signature.size()), platform::kBCryptPadPkcs1))) {
    return L"the signature does not match this machine's identity";
  }
  return {};
}

CORE::ResponseType HelperStandIn::HandleTemplate(const CORE::Message& request, CORE::PropertyBag* response) {
  if (request.queueHint != L"PrepInternalTemplate") {
    response->SetErrorText(L"Unknown template request: " + request.queueHint);
    return CORE::ResponseType::Ok;
  }
  std::wstring refusal = CheckIdentityProof(request.bag);
  if (!refusal.empty()) {
    response->SetErrorText(L"Identity proof refused: " + refusal);
    return CORE::ResponseType::Ok;
  }
  CORE::ResponseType answer = Answer(response);
  std::wstring result;
  if (reportPool_ && response->GetText(L"resultText", &result) && result == L"Ack" && !faults_("helper.no-pool-id")) {
    reportPool_(L"pool-" + FirstRdnValue(serverDn_));
  }
  return answer;
}

CORE::ResponseType HelperStandIn::HandleClone(const CORE::Message& request, CORE::PropertyBag* response) {
  if (request.queueHint == L"WaitForCheckpointing") return Answer(response);
  if (request.queueHint != L"PrepClone") {
    response->SetErrorText(L"Unknown clone request: " + request.queueHint);
    return CORE::ResponseType::Ok;
  }
  std::wstring server, site, next;
  if (!request.bag.GetText(L"ad-server-name", &server) || !request.bag.GetText(L"ad-site", &site) || server.empty() ||
      site.empty()) {
    response->SetErrorText(L"The clone request lacks the domain controller or the site");
    return CORE::ResponseType::Ok;
  }
  if (request.bag.GetText(L"next-step", &next) && next != L"WaitForCheckpointing") {
    response->SetErrorText(L"Unknown next step after PrepClone: " + next);
    return CORE::ResponseType::Ok;
  }
  if (knowsController_ && !knowsController_(server)) {
    response->SetErrorText(L"The domain has no controller named " + server);
    return CORE::ResponseType::Ok;
  }
  return Answer(response);
}

}  // namespace tamber::standins
