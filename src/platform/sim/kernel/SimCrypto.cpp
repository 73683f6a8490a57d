// CNG of the simulated guest, over nettle (with GMP for RSA) and the kernel's random source. Results,
// sizes and blob layouts are CNG's, so that the same bytes come out of both backends (checked by shared
// test vectors). Nettle needs no global set-up, so a boot that hashes once pays only for the hash.
#include <errno.h>
#include <gmp.h>
#include <nettle/aes.h>
#include <nettle/cfb.h>
#include <nettle/nettle-meta.h>
#include <nettle/rsa.h>
#include <nettle/sha2.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstdlib>
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
  sha256_ctx context;
  Hash() { sha256_init(&context); }
  ~Hash() {
    ::explicit_bzero(&context, sizeof(context));
    tag = 0;
  }
};

// Clears a number's limbs before GMP frees them: private key parts are secrets.
void WipeNumber(mpz_ptr number) {
  const size_t limbs = mpz_size(number);
  if (limbs != 0) {
    ::explicit_bzero(mpz_limbs_modify(number, static_cast<mp_size_t>(limbs)), limbs * sizeof(mp_limb_t));
    mpz_limbs_finish(number, 0);
  }
}

// An RSA key pair; the private half is set only for a generated or fully imported key.
struct Key {
  uint32_t tag = kKeyTag;
  uint32_t bits = 0;
  bool finalized = false;  // until the pair is generated or imported
  bool hasPrivate = false;
  rsa_public_key pub;
  rsa_private_key priv;
  Key() {
    rsa_public_key_init(&pub);
    rsa_private_key_init(&priv);
  }
  ~Key() {
    for (mpz_ptr secret : {priv.p, priv.q, priv.a, priv.b, priv.c, priv.d}) WipeNumber(secret);
    rsa_private_key_clear(&priv);
    rsa_public_key_clear(&pub);
    tag = 0;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
};

// An AES key: its secret, chaining mode and CFB feedback size in bytes.
struct SymmetricKey {
  uint32_t tag = kSymmetricKeyTag;
  std::vector<uint8_t> secret;
  ChainMode chainMode = ChainMode::Cbc;
  uint32_t feedback = 1;
  ~SymmetricKey() {
    ::explicit_bzero(secret.data(), secret.size());
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

// The kernel's random source: BCryptGenRandom's system-preferred generator is the system's own.
bool FillRandom(uint8_t* buffer, size_t size) {
  while (size != 0) {
    const ssize_t got = ::getrandom(buffer, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buffer += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Nettle's random callback for key generation and blinding has no way to report a failure.
void NettleRandom(void*, size_t size, uint8_t* buffer) {
  if (!FillRandom(buffer, size)) std::abort();
}

// One AES key schedule, wiped when it goes.
struct AesSchedule {
  union {
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
  } context;
  ~AesSchedule() { ::explicit_bzero(&context, sizeof(context)); }
};

// Whole blocks of AES in the key's mode; CFB runs the cipher forwards both ways.
void AesRun(const SymmetricKey& key, bool encrypt, uint8_t* shift, const uint8_t* input, uint32_t size,
            uint8_t* output) {
  const size_t secretSize = key.secret.size();
  const nettle_cipher* cipher = secretSize == 16 ? &nettle_aes128 : secretSize == 24 ? &nettle_aes192 : &nettle_aes256;
  AesSchedule schedule;
  const bool forward = encrypt || key.chainMode == ChainMode::Cfb;
  (forward ? cipher->set_encrypt_key : cipher->set_decrypt_key)(&schedule.context, key.secret.data());
  if (key.chainMode == ChainMode::Ecb) {
    (encrypt ? cipher->encrypt : cipher->decrypt)(&schedule.context, size, output, input);
  } else if (key.feedback == kAesBlockLength) {
    (encrypt ? cfb_encrypt : cfb_decrypt)(&schedule.context, cipher->encrypt, kAesBlockLength, shift, size, output,
                                          input);
  } else {
    (encrypt ? cfb8_encrypt : cfb8_decrypt)(&schedule.context, cipher->encrypt, kAesBlockLength, shift, size, output,
                                            input);
  }
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
  uint8_t shift[kAesBlockLength] = {};
  if (!encrypt) std::memcpy(nextIv, input + inputSize - kAesBlockLength, kAesBlockLength);  // before in place
  if (iv != nullptr) std::memcpy(shift, iv, kAesBlockLength);
  AesRun(*key, encrypt, shift, input, inputSize, output);
  if (key->chainMode == ChainMode::Cfb) {
    if (encrypt) std::memcpy(nextIv, output + inputSize - kAesBlockLength, kAesBlockLength);
    std::memcpy(iv, nextIv, kAesBlockLength);
  }
  ::explicit_bzero(nextIv, sizeof(nextIv));
  ::explicit_bzero(shift, sizeof(shift));
  return kStatusSuccess;
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void WriteLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The RSA numbers in blob order: e, n, p, q, dp, dq, qinv, d.
std::array<mpz_ptr, 8> BlobNumbers(Key& key) {
  return {key.pub.e, key.pub.n, key.priv.p, key.priv.q, key.priv.a, key.priv.b, key.priv.c, key.priv.d};
}

// A number as a big-endian field of exactly `size` bytes; false when it does not fit.
bool WriteNumber(mpz_srcptr number, uint8_t* field, size_t size) {
  const size_t bytes = mpz_sgn(number) == 0 ? 0 : (mpz_sizeinbase(number, 2) + 7) / 8;
  if (bytes > size) return false;
  std::memset(field, 0, size);
  if (bytes != 0) mpz_export(field + (size - bytes), nullptr, 1, 1, 1, 0, number);
  return true;
}

// Exports a key in CNG's layout: public (e, n) or full private (all eight numbers).
NtStatus ExportRsa(Key& key, bool fullPrivate, std::vector<uint8_t>* blob) {
  const std::array<mpz_ptr, 8> numbers = BlobNumbers(key);
  const int count = fullPrivate ? 8 : 2;
  const uint32_t exponentSize = static_cast<uint32_t>((mpz_sizeinbase(key.pub.e, 2) + 7) / 8);
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
    if (!WriteNumber(numbers[i], p, sizes[i])) return kStatusInvalidParameter;
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

  const std::array<mpz_ptr, 8> numbers = BlobNumbers(*key);
  const uint8_t* p = input + kBCryptRsaKeyBlobHeaderSize;
  for (int i = 0; i < count; ++i) {
    mpz_import(numbers[i], sizes[i], 1, 1, 1, 0, p);
    p += sizes[i];
  }
  if (rsa_public_key_prepare(&key->pub) != 1) return kStatusInvalidParameter;
  if (fullPrivate && (rsa_private_key_prepare(&key->priv) != 1 || key->priv.size != key->pub.size)) {
    return kStatusInvalidParameter;
  }
  key->bits = bits;
  key->finalized = true;
  key->hasPrivate = fullPrivate;
  return kStatusSuccess;
}

// A signature is as long as the modulus, as CNG writes and reads it.
bool SignatureMatchesModulus(const Key& key, uint32_t signatureSize) { return signatureSize == (key.bits + 7) / 8; }

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
  // The caller's object memory only has to be large enough; the state lives here.
  if (hashObject != nullptr && hashObjectSize < sim::kSha256ObjectLength) return kStatusBufferTooSmall;
  auto* created = new (std::nothrow) Hash;
  if (created == nullptr) return kStatusNoMemory;
  *hash = created;
  return kStatusSuccess;
}

NtStatus BCryptHashData(BCryptHashHandle hash, const uint8_t* input, uint32_t inputSize, uint32_t flags) {
  Hash* object = sim::AsHash(hash);
  if (object == nullptr) return kStatusInvalidHandle;
  if (flags != 0 || (input == nullptr && inputSize != 0)) return kStatusInvalidParameter;
  if (inputSize != 0) sha256_update(&object->context, inputSize, input);
  return kStatusSuccess;
}

NtStatus BCryptFinishHash(BCryptHashHandle hash, uint8_t* output, uint32_t outputSize, uint32_t flags) {
  Hash* object = sim::AsHash(hash);
  if (object == nullptr) return kStatusInvalidHandle;
  if (output == nullptr || flags != 0 || outputSize != sim::kSha256DigestLength) return kStatusInvalidParameter;
  sha256_digest(&object->context, sim::kSha256DigestLength, output);
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
  return sim::FillRandom(buffer, bufferSize) ? kStatusSuccess : kStatusNotSupported;
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
  if (flags != 0 || object->finalized) return kStatusInvalidParameter;
  mpz_set_ui(object->pub.e, 65537);  // CNG's public exponent
  if (rsa_generate_keypair(&object->pub, &object->priv, nullptr, sim::NettleRandom, nullptr, nullptr, object->bits,
                           0) != 1) {
    return kStatusNoMemory;
  }
  object->finalized = true;
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
  if (!object->finalized) return kStatusInvalidHandle;
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
  ::explicit_bzero(blob.data(), blob.size());
  return status;
}

NtStatus BCryptSignHash(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                        uint32_t hashSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr || !object->finalized) return kStatusInvalidHandle;
  if (hash == nullptr || resultSize == nullptr) return kStatusInvalidParameter;
  NtStatus status = sim::CheckPadding(paddingInfo, hashSize, flags);
  if (!NtSuccess(status)) return status;
  if (!object->hasPrivate) return kStatusInvalidParameter;
  const uint32_t signatureSize = (object->bits + 7) / 8;
  *resultSize = signatureSize;
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < signatureSize) return kStatusBufferTooSmall;
  mpz_t signature;
  mpz_init(signature);
  const bool ok =
      rsa_sha256_sign_digest_tr(&object->pub, &object->priv, nullptr, sim::NettleRandom, hash, signature) == 1 &&
      sim::WriteNumber(signature, output, signatureSize);
  mpz_clear(signature);
  return ok ? kStatusSuccess : kStatusInvalidParameter;
}

NtStatus BCryptVerifySignature(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                               uint32_t hashSize, const uint8_t* signature, uint32_t signatureSize, uint32_t flags) {
  Key* object = sim::AsKey(key);
  if (object == nullptr || !object->finalized) return kStatusInvalidHandle;
  if (hash == nullptr || signature == nullptr) return kStatusInvalidParameter;
  NtStatus status = sim::CheckPadding(paddingInfo, hashSize, flags);
  if (!NtSuccess(status)) return status;
  if (!sim::SignatureMatchesModulus(*object, signatureSize)) return kStatusInvalidSignature;
  mpz_t number;
  mpz_init(number);
  mpz_import(number, signatureSize, 1, 1, 1, 0, signature);
  const bool valid = rsa_sha256_verify_digest(&object->pub, hash, number) == 1;
  mpz_clear(number);
  return valid ? kStatusSuccess : kStatusInvalidSignature;
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
