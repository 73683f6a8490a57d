// CNG: the BCrypt calls themselves.
#include "platform/Crypto.h"

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

BCRYPT_PKCS1_PADDING_INFO* Padding(const BCryptPkcs1PaddingInfo* info, BCRYPT_PKCS1_PADDING_INFO* native) {
  if (info == nullptr) return nullptr;
  native->pszAlgId = info->algorithmId;
  return native;
}

}  // namespace

NtStatus BCryptOpenAlgorithmProvider(BCryptAlgHandle* algorithm, const wchar_t* algorithmId,
                                     const wchar_t* implementation, uint32_t flags) {
  return ::BCryptOpenAlgorithmProvider(reinterpret_cast<BCRYPT_ALG_HANDLE*>(algorithm), algorithmId, implementation,
                                       flags);
}

NtStatus BCryptCloseAlgorithmProvider(BCryptAlgHandle algorithm, uint32_t flags) {
  return ::BCryptCloseAlgorithmProvider(algorithm, flags);
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

NtStatus BCryptDestroyKey(BCryptKeyHandle key) { return ::BCryptDestroyKey(key); }

}  // namespace tamber::platform
