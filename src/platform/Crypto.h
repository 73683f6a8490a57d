// Cryptography seam: the CNG (BCrypt) calls the agent and its stand-ins use, with CNG's arguments,
// NTSTATUS results and key blob layouts. Hashing (SHA-256), random bytes, RSA key pairs with
// PKCS #1 v1.5 signatures over SHA-256 digests, and AES in the ECB and CFB chaining modes.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

using BCryptAlgHandle = void*;
using BCryptHashHandle = void*;
using BCryptKeyHandle = void*;

// Algorithm identifiers, provider, properties and blob types, as CNG spells them.
inline constexpr const wchar_t* kBCryptSha256Algorithm = L"SHA256";
inline constexpr const wchar_t* kBCryptRsaAlgorithm = L"RSA";
inline constexpr const wchar_t* kBCryptRngAlgorithm = L"RNG";
inline constexpr const wchar_t* kBCryptAesAlgorithm = L"AES";
inline constexpr const wchar_t* kMsPrimitiveProvider = L"Microsoft Primitive Provider";
inline constexpr const wchar_t* kBCryptObjectLength = L"ObjectLength";
inline constexpr const wchar_t* kBCryptHashLength = L"HashDigestLength";
inline constexpr const wchar_t* kBCryptBlockLength = L"BlockLength";
// A wide text naming one of the chaining modes below; settable on an AES algorithm (for the keys made
// from it afterwards) or on a key. CNG's default is CBC.
inline constexpr const wchar_t* kBCryptChainingMode = L"ChainingMode";
inline constexpr const wchar_t* kBCryptChainModeCbc = L"ChainingModeCBC";
inline constexpr const wchar_t* kBCryptChainModeCfb = L"ChainingModeCFB";
inline constexpr const wchar_t* kBCryptChainModeEcb = L"ChainingModeECB";
// A DWORD on a key: the CFB feedback size in bytes, 1 (CNG's default, CFB-8) or the block length (16,
// CFB-128).
inline constexpr const wchar_t* kBCryptMessageBlockLength = L"MessageBlockLength";
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
// Sets a property of an algorithm or key handle: a wide text (the bytes of the wchar_t string and its
// null) or a DWORD, as the property wants.
NtStatus BCryptSetProperty(void* object, const wchar_t* property, const uint8_t* input, uint32_t inputSize,
                           uint32_t flags);

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

// AES keys (16, 24 or 32 secret bytes). The key object lives in keyObject or, when it is null, in
// memory of the provider's own. A key takes the chaining mode its algorithm had when it was made.
NtStatus BCryptGenerateSymmetricKey(BCryptAlgHandle algorithm, BCryptKeyHandle* key, uint8_t* keyObject,
                                    uint32_t keyObjectSize, const uint8_t* secret, uint32_t secretSize, uint32_t flags);
// Without padding (paddingInfo null, flags 0), as CNG does it: the input is a whole number of 16-byte
// blocks (else STATUS_INVALID_BUFFER_SIZE) and the output has the input's length; output null asks for
// the size; input and output may be the same buffer. ECB takes no IV; CFB takes a 16-byte IV, which
// the call updates so that a following call continues the stream. CBC is not carried by this seam
// (STATUS_NOT_SUPPORTED).
NtStatus BCryptEncrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags);
NtStatus BCryptDecrypt(BCryptKeyHandle key, const uint8_t* input, uint32_t inputSize, const void* paddingInfo,
                       uint8_t* iv, uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* resultSize,
                       uint32_t flags);

}  // namespace tamber::platform
