// CNG: the BCrypt calls themselves, except AES's CFB mode, which is built here on CNG's ECB mode.
// Wine's CNG gives CFB with 8-bit feedback only and does not implement the message block length, and
// CNG's CFB is block-wise anyway; over ECB the bytes are those of the standard mode on every CNG, which
// the shared test vectors check. The chaining mode and feedback of each AES handle are kept here; the
// real handles are always in ECB mode.
#include "platform/Crypto.h"

#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>

#include "platform/win32/Win32Api.h"

// bcrypt.h after windows.h.
#include <bcrypt.h>

namespace tamber::platform {

static_assert(sizeof(NTSTATUS) == sizeof(NtStatus));
static_assert(sizeof(BCRYPT_PKCS1_PADDING_INFO) == sizeof(BCryptPkcs1PaddingInfo));
static_assert(sizeof(BCRYPT_RSAKEY_BLOB) == kBCryptRsaKeyBlobHeaderSize);
static_assert(BCRYPT_RSAPUBLIC_MAGIC == kBCryptRsaPublicMagic);
static_assert(BCRYPT_RSAFULLPRIVATE_MAGIC == kBCryptRsaFullPrivateMagic);
static_assert(BCRYPT_PAD_PKCS1 == kBCryptPadPkcs1);
static_assert(BCRYPT_USE_SYSTEM_PREFERRED_RNG == kBCryptUseSystemPreferredRng);

namespace {

constexpr ULONG kAesBlock = 16;

enum class ChainMode { Cbc, Cfb, Ecb };

struct AesKeyState {
  ChainMode mode = ChainMode::Cbc;
  uint32_t feedback = 1;  // CFB feedback in bytes; CNG's default is 8-bit
};

struct AesHandles {
  std::mutex lock;
  std::map<void*, ChainMode> algorithms;  // what keys made from the algorithm start with
  std::map<void*, AesKeyState> keys;
};

AesHandles& Aes() {
  static auto* handles = new AesHandles;  // outlives every thread that might still call in
  return *handles;
}

bool SameText(const wchar_t* a, const wchar_t* b) { return a != nullptr && std::wcscmp(a, b) == 0; }

// A chaining-mode text given as property bytes: the wide string must end inside them.
bool ParseChainMode(const uint8_t* input, uint32_t inputSize, ChainMode* mode) {
  if (input == nullptr) return false;
  const size_t count = inputSize / sizeof(wchar_t);
  const auto* text = reinterpret_cast<const wchar_t*>(input);
  if (std::wmemchr(text, L'\0', count) == nullptr) return false;
  if (SameText(text, kBCryptChainModeCbc)) {
    *mode = ChainMode::Cbc;
  } else if (SameText(text, kBCryptChainModeCfb)) {
    *mode = ChainMode::Cfb;
  } else if (SameText(text, kBCryptChainModeEcb)) {
    *mode = ChainMode::Ecb;
  } else {
    return false;
  }
  return true;
}

// CFB with a feedback of 1 or 16 bytes: the register goes through the ECB key, the stream is XORed
// in, and the ciphertext bytes shift into the register. Input and output may be the same buffer.
NtStatus CfbCrypt(BCRYPT_KEY_HANDLE key, bool encrypt, uint32_t feedback, const uint8_t* input, uint32_t size,
                  uint8_t* iv, uint8_t* output) {
  UCHAR reg[kAesBlock];
  UCHAR stream[kAesBlock];
  UCHAR cipher[kAesBlock];
  std::memcpy(reg, iv, kAesBlock);
  NTSTATUS status = kStatusSuccess;
  for (uint32_t position = 0; position < size && NtSuccess(status); position += feedback) {
    ULONG written = 0;
    status = ::BCryptEncrypt(key, reg, kAesBlock, nullptr, nullptr, 0, stream, kAesBlock, &written, 0);
    if (NtSuccess(status) && written != kAesBlock) status = kStatusInternalError;
    if (!NtSuccess(status)) break;
    for (uint32_t i = 0; i < feedback; ++i) {
      const uint8_t in = input[position + i];  // read before the write: the buffers may be one
      const uint8_t out = static_cast<uint8_t>(in ^ stream[i]);
      output[position + i] = out;
      cipher[i] = encrypt ? out : in;
    }
    if (feedback == kAesBlock) {
      std::memcpy(reg, cipher, kAesBlock);
    } else {
      std::memmove(reg, reg + 1, kAesBlock - 1);
      reg[kAesBlock - 1] = cipher[0];
    }
  }
  if (NtSuccess(status)) std::memcpy(iv, reg, kAesBlock);
  ::SecureZeroMemory(reg, sizeof(reg));
  ::SecureZeroMemory(stream, sizeof(stream));
  ::SecureZeroMemory(cipher, sizeof(cipher));
  return status;
}

NtStatus AesCrypt(BCryptKeyHandle key, bool encrypt, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                  uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                  uint32_t flags) {
  AesKeyState state;
  {
    auto& aes = Aes();
    std::lock_guard<std::mutex> guard(aes.lock);
    auto found = aes.keys.find(key);
    if (found == aes.keys.end()) return kStatusInvalidHandle;
    state = found->second;
  }
  if (paddingInfo != nullptr || resultSize == nullptr || (input == nullptr && inputSize != 0)) {
    return kStatusInvalidParameter;
  }
  if (flags != 0) return kStatusNotSupported;  // block padding is not carried
  switch (state.mode) {
    case ChainMode::Ecb:
      if (iv != nullptr || ivSize != 0) return kStatusInvalidParameter;
      break;
    case ChainMode::Cfb:
      if (iv == nullptr || ivSize != kAesBlock) return kStatusInvalidParameter;
      break;
    case ChainMode::Cbc:
      return kStatusNotSupported;
  }
  if (inputSize % kAesBlock != 0) return kStatusInvalidBufferSize;
  *resultSize = inputSize;
  if (output == nullptr) return kStatusSuccess;
  if (outputSize < inputSize) return kStatusBufferTooSmall;
  if (inputSize == 0) return kStatusSuccess;
  if (state.mode == ChainMode::Cfb) return CfbCrypt(key, encrypt, state.feedback, input, inputSize, iv, output);
  ULONG written = 0;
  NTSTATUS status = encrypt ? ::BCryptEncrypt(key, const_cast<PUCHAR>(input), inputSize, nullptr, nullptr, 0, output,
                                              outputSize, &written, 0)
                            : ::BCryptDecrypt(key, const_cast<PUCHAR>(input), inputSize, nullptr, nullptr, 0, output,
                                              outputSize, &written, 0);
  *resultSize = written;
  return status;
}

BCRYPT_PKCS1_PADDING_INFO* Padding(const BCryptPkcs1PaddingInfo* info, BCRYPT_PKCS1_PADDING_INFO* native) {
  if (info == nullptr) return nullptr;
  native->pszAlgId = info->algorithmId;
  return native;
}

}  // namespace

NtStatus BCryptOpenAlgorithmProvider(BCryptAlgHandle* algorithm, const wchar_t* algorithmId,
                                     const wchar_t* implementation, uint32_t flags) {
  BCRYPT_ALG_HANDLE opened = nullptr;
  NTSTATUS status =
      ::BCryptOpenAlgorithmProvider(algorithm != nullptr ? &opened : nullptr, algorithmId, implementation, flags);
  if (!NtSuccess(status)) return status;
  if (SameText(algorithmId, kBCryptAesAlgorithm)) {
    status = ::BCryptSetProperty(opened, BCRYPT_CHAINING_MODE,
                                 reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                                 sizeof(BCRYPT_CHAIN_MODE_ECB), 0);
    if (!NtSuccess(status)) {
      ::BCryptCloseAlgorithmProvider(opened, 0);
      return status;
    }
    auto& aes = Aes();
    std::lock_guard<std::mutex> guard(aes.lock);
    aes.algorithms[opened] = ChainMode::Cbc;
  }
  *algorithm = opened;
  return status;
}

NtStatus BCryptCloseAlgorithmProvider(BCryptAlgHandle algorithm, uint32_t flags) {
  {
    auto& aes = Aes();
    std::lock_guard<std::mutex> guard(aes.lock);
    aes.algorithms.erase(algorithm);
  }
  return ::BCryptCloseAlgorithmProvider(algorithm, flags);
}

NtStatus BCryptSetProperty(void* object, const wchar_t* property, const uint8_t* input, uint32_t inputSize,
                           uint32_t flags) {
  {
    auto& aes = Aes();
    std::lock_guard<std::mutex> guard(aes.lock);
    auto algorithm = aes.algorithms.find(object);
    auto key = aes.keys.find(object);
    const bool isAes = algorithm != aes.algorithms.end() || key != aes.keys.end();
    if (isAes && property == nullptr) return kStatusInvalidParameter;
    if (isAes && SameText(property, kBCryptChainingMode)) {
      ChainMode mode;
      if (flags != 0) return kStatusInvalidParameter;
      if (!ParseChainMode(input, inputSize, &mode)) return kStatusNotSupported;
      if (key != aes.keys.end()) {
        key->second.mode = mode;
      } else {
        algorithm->second = mode;
      }
      return kStatusSuccess;
    }
    if (isAes && SameText(property, kBCryptMessageBlockLength)) {
      if (key == aes.keys.end()) return kStatusNotSupported;
      uint32_t feedback = 0;
      if (flags != 0 || input == nullptr || inputSize != sizeof(feedback)) return kStatusInvalidParameter;
      std::memcpy(&feedback, input, sizeof(feedback));
      if (feedback != 1 && feedback != kAesBlock) return kStatusInvalidParameter;
      key->second.feedback = feedback;
      return kStatusSuccess;
    }
  }
  return ::BCryptSetProperty(object, property, const_cast<PUCHAR>(input), inputSize, flags);
}

NtStatus BCryptGetProperty(BCryptAlgHandle object, const wchar_t* property, uint8_t* output, uint32_t outputSize,
                           uint32_t* resultSize, uint32_t flags) {
  ULONG result = 0;
  NTSTATUS status = ::BCryptGetProperty(object, property, output, outputSize, &result, flags);
  if (resultSize != nullptr) *resultSize = result;
  return status;
}

NtStatus BCryptCreateHash(BCryptAlgHandle algorithm, BCryptHashHandle* hash, uint8_t* hashObject,
                          uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize, uint32_t flags) {
  return ::BCryptCreateHash(algorithm, reinterpret_cast<BCRYPT_HASH_HANDLE*>(hash), hashObject, hashObjectSize,
                            const_cast<PUCHAR>(secret), secretSize, flags);
}

NtStatus BCryptHashData(BCryptHashHandle hash, const uint8_t* input, uint32_t inputSize, uint32_t flags) {
  return ::BCryptHashData(hash, const_cast<PUCHAR>(input), inputSize, flags);
}

NtStatus BCryptFinishHash(BCryptHashHandle hash, uint8_t* output, uint32_t outputSize, uint32_t flags) {
  return ::BCryptFinishHash(hash, output, outputSize, flags);
}

NtStatus BCryptDestroyHash(BCryptHashHandle hash) { return ::BCryptDestroyHash(hash); }

NtStatus BCryptGenRandom(BCryptAlgHandle algorithm, uint8_t* buffer, uint32_t bufferSize, uint32_t flags) {
  return ::BCryptGenRandom(algorithm, buffer, bufferSize, flags);
}

NtStatus BCryptGenerateKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint32_t length, uint32_t flags) {
  return ::BCryptGenerateKeyPair(algorithm, reinterpret_cast<BCRYPT_KEY_HANDLE*>(key), length, flags);
}

NtStatus BCryptFinalizeKeyPair(BCryptKeyHandle key, uint32_t flags) { return ::BCryptFinalizeKeyPair(key, flags); }

NtStatus BCryptImportKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle importKey, const wchar_t* blobType,
                             BCryptKeyHandle* key, const uint8_t* input, uint32_t inputSize, uint32_t flags) {
  return ::BCryptImportKeyPair(algorithm, importKey, blobType, reinterpret_cast<BCRYPT_KEY_HANDLE*>(key),
                               const_cast<PUCHAR>(input), inputSize, flags);
}

NtStatus BCryptExportKey(BCryptKeyHandle key, BCryptKeyHandle exportKey, const wchar_t* blobType, uint8_t* output,
                         uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
  ULONG result = 0;
  NTSTATUS status = ::BCryptExportKey(key, exportKey, blobType, output, outputSize, &result, flags);
  if (resultSize != nullptr) *resultSize = result;
  return status;
}

NtStatus BCryptSignHash(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                        uint32_t hashSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
  BCRYPT_PKCS1_PADDING_INFO native{};
  ULONG result = 0;
  NTSTATUS status = ::BCryptSignHash(key, Padding(paddingInfo, &native), const_cast<PUCHAR>(hash), hashSize, output,
                                     outputSize, &result, flags);
  if (resultSize != nullptr) *resultSize = result;
  return status;
}

NtStatus BCryptVerifySignature(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                               uint32_t hashSize, const uint8_t* signature, uint32_t signatureSize, uint32_t flags) {
  BCRYPT_PKCS1_PADDING_INFO native{};
  return ::BCryptVerifySignature(key, Padding(paddingInfo, &native), const_cast<PUCHAR>(hash), hashSize,
                                 const_cast<PUCHAR>(signature), signatureSize, flags);
}

NtStatus BCryptDestroyKey(BCryptKeyHandle key) {
  {
    auto& aes = Aes();
    std::lock_guard<std::mutex> guard(aes.lock);
    aes.keys.erase(key);
  }
  return ::BCryptDestroyKey(key);
}

NtStatus BCryptGenerateSymmetricKey(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint8_t* keyObject,
                                    uint32_t keyObjectSize, const uint8_t* secret, uint32_t secretSize,
                                    uint32_t flags) {
  auto& aes = Aes();
  std::lock_guard<std::mutex> guard(aes.lock);
  auto found = aes.algorithms.find(algorithm);
  BCRYPT_KEY_HANDLE made = nullptr;
  NTSTATUS status = ::BCryptGenerateSymmetricKey(algorithm, key != nullptr ? &made : nullptr, keyObject, keyObjectSize,
                                                 const_cast<PUCHAR>(secret), secretSize, flags);
  if (!NtSuccess(status)) return status;
  if (found != aes.algorithms.end()) aes.keys[made] = AesKeyState{found->second, 1};
  *key = made;
  return status;
}

NtStatus BCryptEncrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags) {
  return AesCrypt(key, /*encrypt=*/true, input, inputSize, paddingInfo, iv, ivSize, output, outputSize, resultSize,
                  flags);
}

NtStatus BCryptDecrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags) {
  return AesCrypt(key, /*encrypt=*/false, input, inputSize, paddingInfo, iv, ivSize, output, outputSize, resultSize,
                  flags);
}

}  // namespace tamber::platform
