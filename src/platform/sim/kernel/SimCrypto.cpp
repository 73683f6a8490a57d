// CNG of the simulated guest, over OpenSSL 3 libcrypto. Results, sizes and blob layouts are CNG's, so
// that the same bytes come out of both backends (checked by shared test vectors).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "platform/Crypto.h"

namespace tamber::platform::sim {
namespace {

enum class AlgorithmKind { Sha256, Rsa, Rng, Aes };
enum class ChainMode { Cbc, Cfb, Ecb };

// Every object starts with a tag, so that a handle of the wrong kind is refused as CNG refuses it.
constexpr uint32_t kAlgorithmTag = 0x414C4731;     // "ALG1"
constexpr uint32_t kHashTag = 0x48534831;          // "HSH1"
constexpr uint32_t kKeyTag = 0x4B455931;           // "KEY1"
constexpr uint32_t kSymmetricKeyTag = 0x53594D31;  // "SYM1"

// What Windows reports as the SHA-256 hash object's size; callers only allocate it.
constexpr uint32_t kSha256ObjectLength = 0x13E;
constexpr uint32_t kSha256DigestLength = 32;
constexpr uint32_t kAesBlockLength = 16;

struct Algorithm {
  uint32_t tag = kAlgorithmTag;
  AlgorithmKind kind;
  ChainMode chainMode = ChainMode::Cbc;  // AES: what keys made from here start with
};

struct Hash {
  uint32_t tag = kHashTag;
  EVP_MD_CTX* context = nullptr;
  ~Hash() {
    EVP_MD_CTX_free(context);
    tag = 0;
  }
};

struct Key {
  uint32_t tag = kKeyTag;
  uint32_t bits = 0;
  EVP_PKEY* pkey = nullptr;  // null until the pair is finalized
  bool hasPrivate = false;
  ~Key() {
    EVP_PKEY_free(pkey);
    tag = 0;
  }
};

// An AES key: its secret, chaining mode and CFB feedback size in bytes.
struct SymmetricKey {
  uint32_t tag = kSymmetricKeyTag;
  std::vector<uint8_t> secret;
  ChainMode chainMode = ChainMode::Cbc;
  uint32_t feedback = 1;
  ~SymmetricKey() {
    OPENSSL_cleanse(secret.data(), secret.size());
    tag = 0;
  }
};

Algorithm* AsAlgorithm(void* handle) {
  auto* algorithm = static_cast<Algorithm*>(handle);
  return algorithm != nullptr && algorithm->tag == kAlgorithmTag ? algorithm : nullptr;
}
Hash* AsHash(void* handle) {
  auto* hash = static_cast<Hash*>(handle);
  return hash != nullptr && hash->tag == kHashTag ? hash : nullptr;
}
Key* AsKey(void* handle) {
  auto* key = static_cast<Key*>(handle);
  return key != nullptr && key->tag == kKeyTag ? key : nullptr;
}

SymmetricKey* AsSymmetricKey(void* handle) {
  auto* key = static_cast<SymmetricKey*>(handle);
  return key != nullptr && key->tag == kSymmetricKeyTag ? key : nullptr;
}

bool Equal(const wchar_t* a, const wchar_t* b) { return a != nullptr && std::wcscmp(a, b) == 0; }

// A chaining-mode text given as property bytes: the wide string must end inside them.
std::optional<ChainMode> ParseChainMode(const uint8_t* input, uint32_t inputSize) {
  if (input == nullptr) return std::nullopt;
  const size_t count = inputSize / sizeof(wchar_t);
  std::vector<wchar_t> text(count);
  std::memcpy(text.data(), input, count * sizeof(wchar_t));
  if (std::find(text.begin(), text.end(), L'\0') == text.end()) return std::nullopt;
  if (Equal(text.data(), kBCryptChainModeCbc)) return ChainMode::Cbc;
  if (Equal(text.data(), kBCryptChainModeCfb)) return ChainMode::Cfb;
  if (Equal(text.data(), kBCryptChainModeEcb)) return ChainMode::Ecb;
  return std::nullopt;
}

const EVP_CIPHER* AesCipher(const SymmetricKey& key) {
  const size_t bits = key.secret.size() * 8;
  if (key.chainMode == ChainMode::Ecb) {
    return bits == 128 ? EVP_aes_128_ecb() : bits == 192 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
  }
  if (key.feedback == kAesBlockLength) {
    return bits == 128 ? EVP_aes_128_cfb128() : bits == 192 ? EVP_aes_192_cfb128() : EVP_aes_256_cfb128();
  }
  return bits == 128 ? EVP_aes_128_cfb8() : bits == 192 ? EVP_aes_192_cfb8() : EVP_aes_256_cfb8();
}

// BCryptEncrypt and BCryptDecrypt without padding, with CNG's checks and its IV update.
NtStatus AesCrypt(BCryptKeyHandle handle, bool encrypt, const uint8_t* input, uint32_t inputSize,
                  const void* paddingInfo, uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize,
                  uint32_t* resultSize, uint32_t flags) {
  SymmetricKey* key = AsSymmetricKey(handle);
  if (key == nullptr) return kStatusInvalidHandle;
  if (paddingInfo != nullptr || resultSize == nullptr || (input == nullptr && inputSize != 0)) {
    return kStatusInvalidParameter;
  }
  if (flags != 0) return kStatusNotSupported;  // block padding is not carried
  switch (key->chainMode) {
    case ChainMode::Ecb:
      if (iv != nullptr || ivSize != 0) return kStatusInvalidParameter;
      break;
    case ChainMode::Cfb:
      if (iv == nullptr || ivSize != kAesBlockLength) return kStatusInvalidParameter;
      break;
    case ChainMode::Cbc:
      return kStatusNotSupported;
  }
  if (inputSize % kAesBlockLength != 0) return kStatusInvalidBufferSize;
  *resultSize = inputSize;
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < inputSize) return kStatusBufferTooSmall;
  if (inputSize == 0) return kStatusSuccess;

  // The register after the call is the last ciphertext block (for CFB-8 too, as whole blocks pass).
  uint8_t nextIv[kAesBlockLength] = {};
  if (!encrypt) std::memcpy(nextIv, input + inputSize - kAesBlockLength, kAesBlockLength);  // before in place
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int written = 0;
  int finalWritten = 0;
  const bool ok = context &&
                  EVP_CipherInit_ex(context.get(), AesCipher(*key), nullptr, key->secret.data(),
                                    key->chainMode == ChainMode::Cfb ? iv : nullptr, encrypt ? 1 : 0) == 1 &&
                  EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
                  EVP_CipherUpdate(context.get(), output, &written, input, static_cast<int>(inputSize)) == 1 &&
                  EVP_CipherFinal_ex(context.get(), output + written, &finalWritten) == 1 &&
                  static_cast<uint32_t>(written + finalWritten) == inputSize;
  if (ok && key->chainMode == ChainMode::Cfb) {
    if (encrypt) std::memcpy(nextIv, output + inputSize - kAesBlockLength, kAesBlockLength);
    std::memcpy(iv, nextIv, kAesBlockLength);
  }
  OPENSSL_cleanse(nextIv, sizeof(nextIv));
  return ok ? kStatusSuccess : kStatusInvalidParameter;
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void WriteLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct BignumFree {
  void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumFree>;

// The RSA numbers in blob order: e, n, p, q, dp, dq, qinv, d.
constexpr const char* kRsaParams[] = {
    OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_N,
    OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,
    OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2,
    OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
    OSSL_PKEY_PARAM_RSA_D,
};

Bignum GetNumber(EVP_PKEY* pkey, const char* name) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &number) != 1) return nullptr;
  return Bignum(number);
}

// Exports a key in CNG's layout: public (e, n) or full private (all eight numbers).
NtStatus ExportRsa(const Key& key, bool fullPrivate, std::vector<uint8_t>* blob) {
  Bignum numbers[8];
  const int count = fullPrivate ? 8 : 2;
  for (int i = 0; i < count; ++i) {
    numbers[i] = GetNumber(key.pkey, kRsaParams[i]);
    if (!numbers[i]) return kStatusNotSupported;
  }
  const uint32_t exponentSize = static_cast<uint32_t>(BN_num_bytes(numbers[0].get()));
  const uint32_t modulusSize = (key.bits + 7) / 8;
  const uint32_t primeSize = fullPrivate ? (key.bits / 2 + 7) / 8 : 0;
  const uint32_t sizes[8] = {exponentSize, modulusSize, primeSize, primeSize,
                             primeSize,    primeSize,   primeSize, modulusSize};
  uint32_t total = kBCryptRsaKeyBlobHeaderSize;
  for (int i = 0; i < count; ++i) total += sizes[i];
  blob->assign(total, 0);
  uint8_t* p = blob->data();
  WriteLe32(p, fullPrivate ? kBCryptRsaFullPrivateMagic : kBCryptRsaPublicMagic);
  WriteLe32(p + 4, key.bits);
  WriteLe32(p + 8, exponentSize);
  WriteLe32(p + 12, modulusSize);
  WriteLe32(p + 16, primeSize);
  WriteLe32(p + 20, primeSize);
  p += kBCryptRsaKeyBlobHeaderSize;
  for (int i = 0; i < count; ++i) {
    if (BN_bn2binpad(numbers[i].get(), p, static_cast<int>(sizes[i])) < 0) return kStatusInvalidParameter;
    p += sizes[i];
  }
  return kStatusSuccess;
}

NtStatus ImportRsa(const uint8_t* input, uint32_t inputSize, bool fullPrivate, Key* key) {
  if (input == nullptr || inputSize < kBCryptRsaKeyBlobHeaderSize) return kStatusInvalidParameter;
  const uint32_t magic = ReadLe32(input);
  const uint32_t bits = ReadLe32(input + 4);
  const uint32_t exponentSize = ReadLe32(input + 8);
  const uint32_t modulusSize = ReadLe32(input + 12);
  const uint32_t primeSize = ReadLe32(input + 16);
  if (magic != (fullPrivate ? kBCryptRsaFullPrivateMagic : kBCryptRsaPublicMagic) || bits < 512 || bits > 16384 ||
      exponentSize == 0 || exponentSize > 8 || modulusSize != (bits + 7) / 8 ||
      (fullPrivate && (primeSize == 0 || primeSize > modulusSize || ReadLe32(input + 20) != primeSize))) {
    return kStatusInvalidParameter;
  }
  const int count = fullPrivate ? 8 : 2;
  const uint64_t sizes[8] = {exponentSize, modulusSize, primeSize, primeSize,
                             primeSize,    primeSize,   primeSize, modulusSize};
  uint64_t needed = kBCryptRsaKeyBlobHeaderSize;
  for (int i = 0; i < count; ++i) needed += sizes[i];
  if (needed != inputSize) return kStatusInvalidParameter;

  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> builder(OSSL_PARAM_BLD_new(), &OSSL_PARAM_BLD_free);
  if (!builder) return kStatusNoMemory;
  Bignum numbers[8];
  const uint8_t* p = input + kBCryptRsaKeyBlobHeaderSize;
  for (int i = 0; i < count; ++i) {
    numbers[i].reset(BN_bin2bn(p, static_cast<int>(sizes[i]), nullptr));
    if (!numbers[i] || OSSL_PARAM_BLD_push_BN(builder.get(), kRsaParams[i], numbers[i].get()) != 1) {
      return kStatusNoMemory;
    }
    p += sizes[i];
  }
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(builder.get()),
                                                                 &OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* pkey = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &pkey, fullPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) !=
          1) {
    return kStatusInvalidParameter;
  }
  key->pkey = pkey;
  key->bits = bits;
  key->hasPrivate = fullPrivate;
  return kStatusSuccess;
}

// The PKCS #1 v1.5 context for a SHA-256 digest.
std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> SignatureContext(Key* key, bool sign) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key->pkey, nullptr),
                                                                      &EVP_PKEY_CTX_free);
  if (!context) return context;
  if ((sign ? EVP_PKEY_sign_init(context.get()) : EVP_PKEY_verify_init(context.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    context.reset();
  }
  return context;
}

// The padding CNG accepts here: PKCS #1 with a SHA-256 digest of the right length.
NtStatus CheckPadding(const BCryptPkcs1PaddingInfo* paddingInfo, uint32_t hashSize, uint32_t flags) {
  if (flags != kBCryptPadPkcs1 || paddingInfo == nullptr) return kStatusInvalidParameter;
  if (!Equal(paddingInfo->algorithmId, kBCryptSha256Algorithm)) return kStatusNotSupported;
  if (hashSize != kSha256DigestLength) return kStatusInvalidParameter;
  return kStatusSuccess;
}

}  // namespace
}  // namespace tamber::platform::sim

namespace tamber::platform {

using sim::Algorithm;
using sim::AlgorithmKind;
using sim::Hash;
using sim::Key;

NtStatus BCryptOpenAlgorithmProvider(BCryptAlgHandle* algorithm, const wchar_t* algorithmId,
                                     const wchar_t* implementation, uint32_t flags) {
  if (algorithm == nullptr || algorithmId == nullptr || flags != 0) return kStatusInvalidParameter;
  if (implementation != nullptr && !sim::Equal(implementation, kMsPrimitiveProvider)) return kStatusNotFound;
  AlgorithmKind kind;
  if (sim::Equal(algorithmId, kBCryptSha256Algorithm)) {
    kind = AlgorithmKind::Sha256;
  } else if (sim::Equal(algorithmId, kBCryptRsaAlgorithm)) {
    kind = AlgorithmKind::Rsa;
  } else if (sim::Equal(algorithmId, kBCryptRngAlgorithm)) {
    kind = AlgorithmKind::Rng;
  } else if (sim::Equal(algorithmId, kBCryptAesAlgorithm)) {
    kind = AlgorithmKind::Aes;
  } else {
    return kStatusNotFound;
  }
  auto* created = new (std::nothrow) Algorithm{sim::kAlgorithmTag, kind, sim::ChainMode::Cbc};
  if (created == nullptr) return kStatusNoMemory;
  *algorithm = created;
  return kStatusSuccess;
}

NtStatus BCryptCloseAlgorithmProvider(BCryptAlgHandle algorithm, uint32_t flags) {
  (void)flags;
  Algorithm* object = sim::AsAlgorithm(algorithm);
  if (object == nullptr) return kStatusInvalidHandle;
  object->tag = 0;
  delete object;
  return kStatusSuccess;
}

NtStatus BCryptGetProperty(BCryptAlgHandle object, const wchar_t* property, uint8_t* output, uint32_t outputSize,
                           uint32_t* resultSize, uint32_t flags) {
  (void)flags;
  Algorithm* algorithm = sim::AsAlgorithm(object);
  if (algorithm == nullptr) return kStatusInvalidHandle;
  if (property == nullptr || resultSize == nullptr) return kStatusInvalidParameter;
  uint32_t value;
  if (algorithm->kind == AlgorithmKind::Sha256 && sim::Equal(property, kBCryptObjectLength)) {
    value = sim::kSha256ObjectLength;
  } else if (algorithm->kind == AlgorithmKind::Sha256 && sim::Equal(property, kBCryptHashLength)) {
    value = sim::kSha256DigestLength;
  } else if (algorithm->kind == AlgorithmKind::Aes && sim::Equal(property, kBCryptBlockLength)) {
    value = sim::kAesBlockLength;
  } else {
    return kStatusNotSupported;
  }
  *resultSize = sizeof(value);
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < sizeof(value)) return kStatusBufferTooSmall;
  std::memcpy(output, &value, sizeof(value));
  return kStatusSuccess;
}

NtStatus BCryptSetProperty(void* object, const wchar_t* property, const uint8_t* input, uint32_t inputSize,
                           uint32_t flags) {
  if (property == nullptr || flags != 0) return kStatusInvalidParameter;
  if (Algorithm* algorithm = sim::AsAlgorithm(object)) {
    if (algorithm->kind != AlgorithmKind::Aes || !sim::Equal(property, kBCryptChainingMode)) return kStatusNotSupported;
    auto mode = sim::ParseChainMode(input, inputSize);
    if (!mode) return kStatusNotSupported;
    algorithm->chainMode = *mode;
    return kStatusSuccess;
  }
  sim::SymmetricKey* key = sim::AsSymmetricKey(object);
  if (key == nullptr) return kStatusInvalidHandle;
  if (sim::Equal(property, kBCryptChainingMode)) {
    auto mode = sim::ParseChainMode(input, inputSize);
    if (!mode) return kStatusNotSupported;
    key->chainMode = *mode;
    return kStatusSuccess;
  }
  if (sim::Equal(property, kBCryptMessageBlockLength)) {
    uint32_t feedback = 0;
    if (input == nullptr || inputSize != sizeof(feedback)) return kStatusInvalidParameter;
    std::memcpy(&feedback, input, sizeof(feedback));
    if (feedback != 1 && feedback != sim::kAesBlockLength) return kStatusInvalidParameter;
    key->feedback = feedback;
    return kStatusSuccess;
  }
  return kStatusNotSupported;
}

NtStatus BCryptCreateHash(BCryptAlgHandle algorithm, BCryptHashHandle* hash, uint8_t* hashObject,
                          uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize, uint32_t flags) {
  Algorithm* object = sim::AsAlgorithm(algorithm);
  if (object == nullptr || object->kind != AlgorithmKind::Sha256) return kStatusInvalidHandle;
  if (hash == nullptr || flags != 0 || (secret != nullptr && secretSize != 0)) return kStatusInvalidParameter;
  // The caller's object memory only has to be large enough; the state lives with OpenSSL.
  if (hashObject != nullptr && hashObjectSize < sim::kSha256ObjectLength) return kStatusBufferTooSmall;
  auto created = std::make_unique<Hash>();
  created->context = EVP_MD_CTX_new();
  if (created->context == nullptr || EVP_DigestInit_ex(created->context, EVP_sha256(), nullptr) != 1) {
    return kStatusNoMemory;
  }
  *hash = created.release();
  return kStatusSuccess;
}

NtStatus BCryptHashData(BCryptHashHandle hash, const uint8_t* input, uint32_t inputSize, uint32_t flags) {
  Hash* object = sim::AsHash(hash);
  if (object == nullptr) return kStatusInvalidHandle;
  if (flags != 0 || (input == nullptr && inputSize != 0)) return kStatusInvalidParameter;
  if (inputSize != 0 && EVP_DigestUpdate(object->context, input, inputSize) != 1) return kStatusInvalidParameter;
  return kStatusSuccess;
}

NtStatus BCryptFinishHash(BCryptHashHandle hash, uint8_t* output, uint32_t outputSize, uint32_t flags) {
  Hash* object = sim::AsHash(hash);
  if (object == nullptr) return kStatusInvalidHandle;
  if (output == nullptr || flags != 0 || outputSize != sim::kSha256DigestLength) return kStatusInvalidParameter;
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(object->context, output, &size) != 1) return kStatusInvalidParameter;
  return kStatusSuccess;
}

NtStatus BCryptDestroyHash(BCryptHashHandle hash) {
  Hash* object = sim::AsHash(hash);
  if (object == nullptr) return kStatusInvalidHandle;
  delete object;
  return kStatusSuccess;
}

NtStatus BCryptGenRandom(BCryptAlgHandle algorithm, uint8_t* buffer, uint32_t bufferSize, uint32_t flags) {
  if (algorithm == nullptr) {
    if (flags != kBCryptUseSystemPreferredRng) return kStatusInvalidHandle;
  } else {
    Algorithm* object = sim::AsAlgorithm(algorithm);
    if (object == nullptr || object->kind != AlgorithmKind::Rng) return kStatusInvalidHandle;
    if (flags != 0) return kStatusInvalidParameter;
  }
  if (buffer == nullptr && bufferSize != 0) return kStatusInvalidParameter;
  if (bufferSize == 0) return kStatusSuccess;
  return RAND_bytes(buffer, static_cast<int>(bufferSize)) == 1 ? kStatusSuccess : kStatusNotSupported;
}

NtStatus BCryptGenerateKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint32_t length, uint32_t flags) {
  Algorithm* object = sim::AsAlgorithm(algorithm);
  if (object == nullptr || object->kind != AlgorithmKind::Rsa) return kStatusInvalidHandle;
  if (key == nullptr || flags != 0) return kStatusInvalidParameter;
  // CNG's RSA key lengths: 512 to 16384 bits in steps of 64.
  if (length < 512 || length > 16384 || length % 64 != 0) return kStatusInvalidParameter;
  auto* created = new (std::nothrow) Key;
  if (created == nullptr) return kStatusNoMemory;
  created->bits = length;
  *key = created;
  return kStatusSuccess;
}

NtStatus BCryptFinalizeKeyPair(BCryptKeyHandle key, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr) return kStatusInvalidHandle;
  if (flags != 0 || object->pkey != nullptr) return kStatusInvalidParameter;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* pkey = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(object->bits)) != 1 ||
      EVP_PKEY_keygen(context.get(), &pkey) != 1) {
    return kStatusNoMemory;
  }
  object->pkey = pkey;
  object->hasPrivate = true;
  return kStatusSuccess;
}

NtStatus BCryptImportKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle importKey, const wchar_t* blobType,
                             BCryptKeyHandle* key, const uint8_t* input, uint32_t inputSize, uint32_t flags) {
  Algorithm* object = sim::AsAlgorithm(algorithm);
  if (object == nullptr || object->kind != AlgorithmKind::Rsa) return kStatusInvalidHandle;
  if (importKey != nullptr || key == nullptr || blobType == nullptr || flags != 0) return kStatusInvalidParameter;
  bool fullPrivate;
  if (sim::Equal(blobType, kBCryptRsaPublicBlob)) {
    fullPrivate = false;
  } else if (sim::Equal(blobType, kBCryptRsaFullPrivateBlob)) {
    fullPrivate = true;
  } else {
    return kStatusNotSupported;
  }
  auto created = std::make_unique<Key>();
  NtStatus status = sim::ImportRsa(input, inputSize, fullPrivate, created.get());
  if (!NtSuccess(status)) return status;
  *key = created.release();
  return kStatusSuccess;
}

NtStatus BCryptExportKey(BCryptKeyHandle key, BCryptKeyHandle exportKey, const wchar_t* blobType, uint8_t* output,
                         uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr) return kStatusInvalidHandle;
  if (exportKey != nullptr || blobType == nullptr || resultSize == nullptr || flags != 0) {
    return kStatusInvalidParameter;
  }
  if (object->pkey == nullptr) return kStatusInvalidHandle;  // not finalized
  bool fullPrivate;
  if (sim::Equal(blobType, kBCryptRsaPublicBlob)) {
    fullPrivate = false;
  } else if (sim::Equal(blobType, kBCryptRsaFullPrivateBlob)) {
    if (!object->hasPrivate) return kStatusInvalidParameter;
    fullPrivate = true;
  } else {
    return kStatusNotSupported;
  }
  std::vector<uint8_t> blob;
  NtStatus status = sim::ExportRsa(*object, fullPrivate, &blob);
  if (NtSuccess(status)) {
    *resultSize = static_cast<uint32_t>(blob.size());
    if (output != nullptr) {
      if (outputSize < blob.size()) {
        status = kStatusBufferTooSmall;
      } else {
        std::memcpy(output, blob.data(), blob.size());
      }
    }
  }
  OPENSSL_cleanse(blob.data(), blob.size());
  return status;
}

NtStatus BCryptSignHash(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                        uint32_t hashSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr || object->pkey == nullptr) return kStatusInvalidHandle;
  if (hash == nullptr || resultSize == nullptr) return kStatusInvalidParameter;
  NtStatus status = sim::CheckPadding(paddingInfo, hashSize, flags);
  if (!NtSuccess(status)) return status;
  if (!object->hasPrivate) return kStatusInvalidParameter;
  const uint32_t signatureSize = (object->bits + 7) / 8;
  *resultSize = signatureSize;
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < signatureSize) return kStatusBufferTooSmall;
  auto context = sim::SignatureContext(object, /*sign=*/true);
  size_t written = outputSize;
  if (!context || EVP_PKEY_sign(context.get(), output, &written, hash, hashSize) != 1) return kStatusInvalidParameter;
  *resultSize = static_cast<uint32_t>(written);
  return kStatusSuccess;
}

NtStatus BCryptVerifySignature(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                               uint32_t hashSize, const uint8_t* signature, uint32_t signatureSize, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr || object->pkey == nullptr) return kStatusInvalidHandle;
  if (hash == nullptr || signature == nullptr) return kStatusInvalidParameter;
  NtStatus status = sim::CheckPadding(paddingInfo, hashSize, flags);
  if (!NtSuccess(status)) return status;
  auto context = sim::SignatureContext(object, /*sign=*/false);
  if (!context) return kStatusInvalidParameter;
  return EVP_PKEY_verify(context.get(), signature, signatureSize, hash, hashSize) == 1 ? kStatusSuccess
                                                                                       : kStatusInvalidSignature;
}

NtStatus BCryptDestroyKey(BCryptKeyHandle key) {
  if (sim::SymmetricKey* symmetric = sim::AsSymmetricKey(key)) {
    delete symmetric;
    return kStatusSuccess;
  }
  Key* object = sim::AsKey(key);
  if (object == nullptr) return kStatusInvalidHandle;
  delete object;
  return kStatusSuccess;
}

NtStatus BCryptGenerateSymmetricKey(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint8_t* keyObject,
                                    uint32_t keyObjectSize, const uint8_t* secret, uint32_t secretSize,
                                    uint32_t flags) {
  (void)keyObject;  // the caller's object memory is not needed: the key lives here
  (void)keyObjectSize;
  Algorithm* object = sim::AsAlgorithm(algorithm);
  if (object == nullptr || object->kind != AlgorithmKind::Aes) return kStatusInvalidHandle;
  if (key == nullptr || secret == nullptr || flags != 0) return kStatusInvalidParameter;
  if (secretSize != 16 && secretSize != 24 && secretSize != 32) return kStatusInvalidParameter;
  auto* created = new (std::nothrow) sim::SymmetricKey;
  if (created == nullptr) return kStatusNoMemory;
  created->secret.assign(secret, secret + secretSize);
  created->chainMode = object->chainMode;
  *key = created;
  return kStatusSuccess;
}

NtStatus BCryptEncrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags) {
  return sim::AesCrypt(key, /*encrypt=*/true, input, inputSize, paddingInfo, iv, ivSize, output, outputSize, resultSize,
                       flags);
}

NtStatus BCryptDecrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags) {
  return sim::AesCrypt(key, /*encrypt=*/false, input, inputSize, paddingInfo, iv, ivSize, output, outputSize,
                       resultSize, flags);
}

}  // namespace tamber::platform
