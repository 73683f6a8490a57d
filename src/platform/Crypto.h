// Cryptography seam: the CNG (BCrypt) calls the agent and its stand-ins use, with CNG's arguments,
// NTSTATUS results and key blob layouts. Hashing (SHA-256), random bytes, and RSA key pairs with
// PKCS #1 v1.5 signatures over SHA-256 digests.
#pragma once

#include <cstdint>

namespace tamber::platform {

using NtStatus = int32_t;
using BCryptAlgHandle = void*;
using BCryptHashHandle = void*;
using BCryptKeyHandle = void*;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008u);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017u);
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023u);
constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BBu);
constexpr NtStatus kStatusInvalidBufferSize = static_cast<NtStatus>(0xC0000206u);
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225u);
constexpr NtStatus kStatusInvalidSignature = static_cast<NtStatus>(0xC000A000u);

inline bool NtSuccess(NtStatus status) { return status >= 0; }

// Algorithm identifiers, provider, properties and blob types, as CNG spells them.
inline constexpr const wchar_t* kBCryptSha256Algorithm = L"SHA256";
inline constexpr const wchar_t* kBCryptRsaAlgorithm = L"RSA";
inline constexpr const wchar_t* kBCryptRngAlgorithm = L"RNG";
inline constexpr const wchar_t* kMsPrimitiveProvider = L"Microsoft Primitive Provider";
inline constexpr const wchar_t* kBCryptObjectLength = L"ObjectLength";
inline constexpr const wchar_t* kBCryptHashLength = L"HashDigestLength";
inline constexpr const wchar_t* kBCryptRsaPublicBlob = L"RSAPUBLICBLOB";
inline constexpr const wchar_t* kBCryptRsaFullPrivateBlob = L"RSAFULLPRIVATEBLOB";

// BCryptGenRandom without an algorithm handle.
constexpr uint32_t kBCryptUseSystemPreferredRng = 0x00000002;
// BCryptSignHash / BCryptVerifySignature padding.
constexpr uint32_t kBCryptPadPkcs1 = 0x00000002;

// BCRYPT_PKCS1_PADDING_INFO: the digest's algorithm, written into the DigestInfo of the signature.
struct BCryptPkcs1PaddingInfo {
  const wchar_t* algorithmId;
};

// Key blob headers (BCRYPT_RSAKEY_BLOB): six little-endian 32-bit fields, then big-endian numbers:
// public exponent and modulus; a full private blob adds prime1, prime2, exponent1, exponent2,
// coefficient (each of the primes' size) and the private exponent (the modulus's size).
constexpr uint32_t kBCryptRsaPublicMagic = 0x31415352;       // "RSA1"
constexpr uint32_t kBCryptRsaFullPrivateMagic = 0x33415352;  // "RSA3"
constexpr uint32_t kBCryptRsaKeyBlobHeaderSize = 24;

NtStatus BCryptOpenAlgorithmProvider(BCryptAlgHandle* algorithm, const wchar_t* algorithmId,
                                     const wchar_t* implementation, uint32_t flags);
NtStatus BCryptCloseAlgorithmProvider(BCryptAlgHandle algorithm, uint32_t flags);
// Reads a DWORD property ("ObjectLength", "HashDigestLength") of an algorithm.
NtStatus BCryptGetProperty(BCryptAlgHandle object, const wchar_t* property, uint8_t* output, uint32_t outputSize,
                           uint32_t* resultSize, uint32_t flags);

// The hash object lives in hashObject (of "ObjectLength" bytes), or in memory of the provider's own
// when hashObject is null.
NtStatus BCryptCreateHash(BCryptAlgHandle algorithm, BCryptHashHandle* hash, uint8_t* hashObject,
                          uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize, uint32_t flags);
NtStatus BCryptHashData(BCryptHashHandle hash, const uint8_t* input, uint32_t inputSize, uint32_t flags);
// outputSize must be the digest length exactly.
NtStatus BCryptFinishHash(BCryptHashHandle hash, uint8_t* output, uint32_t outputSize, uint32_t flags);
NtStatus BCryptDestroyHash(BCryptHashHandle hash);

NtStatus BCryptGenRandom(BCryptAlgHandle algorithm, uint8_t* buffer, uint32_t bufferSize, uint32_t flags);

// RSA key pairs: generate (then finalize), import and export as the blobs above, sign and verify a digest.
NtStatus BCryptGenerateKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint32_t length, uint32_t flags);
NtStatus BCryptFinalizeKeyPair(BCryptKeyHandle key, uint32_t flags);
NtStatus BCryptImportKeyPair(BCryptAlgHandle algorithm, BCryptKeyHandle importKey, const wchar_t* blobType,
                             BCryptKeyHandle* key, const uint8_t* input, uint32_t inputSize, uint32_t flags);
// output null asks for the size.
NtStatus BCryptExportKey(BCryptKeyHandle key, BCryptKeyHandle exportKey, const wchar_t* blobType, uint8_t* output,
                         uint32_t outputSize, uint32_t* resultSize, uint32_t flags);
// output null asks for the size.
NtStatus BCryptSignHash(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                        uint32_t hashSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize, uint32_t flags);
NtStatus BCryptVerifySignature(BCryptKeyHandle key, const BCryptPkcs1PaddingInfo* paddingInfo, const uint8_t* hash,
                               uint32_t hashSize, const uint8_t* signature, uint32_t signatureSize, uint32_t flags);
NtStatus BCryptDestroyKey(BCryptKeyHandle key);

}  // namespace tamber::platform
