// CNG of the simulated guest, over OpenSSL 3 libcrypto. Results, sizes and blob layouts are CNG's, so
// that the same bytes come out of both backends (checked by shared test vectors).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "platform/Crypto.h"

namespace tamber::platform::sim {
namespace {

enum class AlgorithmKind { Sha256, Rsa, Rng };

// Every object starts with a tag, so that a handle of the wrong kind is refused as CNG refuses it.
constexpr uint32_t kAlgorithmTag = 0x414C4731;  // "ALG1"
constexpr uint32_t kHashTag = 0x48534831;       // "HSH1"
constexpr uint32_t kKeyTag = 0x4B455931;        // "KEY1"

// What Windows reports as the SHA-256 hash object's size; callers only allocate it.
constexpr uint32_t kSha256ObjectLength = 0x13E;
constexpr uint32_t kSha256DigestLength = 32;

struct Algorithm {
  uint32_t tag = kAlgorithmTag;
  AlgorithmKind kind;
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

bool Equal(const wchar_t* a, const wchar_t* b) { return a != nullptr && std::wcscmp(a, b) == 0; }

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
  } else {
    return kStatusNotFound;
  }
  auto* created = new (std::nothrow) Algorithm{sim::kAlgorithmTag, kind};
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
  } else {
    return kStatusNotSupported;
  }
  *resultSize = sizeof(value);
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < sizeof(value)) return kStatusBufferTooSmall;
  std::memcpy(output, &value, sizeof(value));
  return kStatusSuccess;
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
  Key* object = sim::AsKey(key);
  if (object == nullptr) return kStatusInvalidHandle;
  delete object;
  return kStatusSuccess;
}

}  // namespace tamber::platform
