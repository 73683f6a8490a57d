#include "common/security/Encryption.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>

#include "common/security/SecureMemory.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Crypto.h"

namespace tamber::common::windows {
namespace {

constexpr uint32_t kAesBlock = 16;
constexpr uint32_t kCipherSlack = 32;  // the cipher buffers are this much longer than the data
constexpr int kErange = 34;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline void CloseAlgorithm(platform::BCryptAlgHandle algorithm) {
  platform::BCryptCloseAlgorithmProvider(algorithm, 0);
}
inline void DestroyHash(platform::BCryptHashHandle hash) { platform::BCryptDestroyHash(hash); }
inline void DestroyKey(platform::BCryptKeyHandle key) { platform::BCryptDestroyKey(key); }
inline bool IsNonNull(void* handle) { return handle != nullptr; }
using UniqueAlgorithm = UniqueAny<platform::BCryptAlgHandle, &CloseAlgorithm, &IsNonNull>;
using UniqueHash = UniqueAny<platform::BCryptHashHandle, &DestroyHash, &IsNonNull>;
using UniqueKey = UniqueAny<platform::BCryptKeyHandle, &DestroyKey, &IsNonNull>;

// The value of a Base64 character, -1 for a character outside the alphabet.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBase64Whitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The length of a text, looking at no more than limit + 1 characters.
size_t BoundedLength(const char* text, size_t limit) {
  size_t length = 0;
  while (length <= limit && text[length] != '\0') ++length;
  return length;
}

// strcpy_s and strcat_s: 0, or ERANGE when the text and its terminator do not fit (destination unchanged).
int CopyText(char* destination, size_t size, size_t used, const char* text) {
  const size_t length = BoundedLength(text, size);
  if (used + length + 1 > size) return kErange;
  std::memcpy(destination + used, text, length + 1);
  return 0;
}

// The Base64 decoding, sized from the characters it actually decodes.
bool DecodeInto(const char* text, SecureBuffer* bytes) {
  size_t characters = 0;
  for (const char* p = text; *p != '\0' && *p != '='; ++p) {
    if (IsBase64Whitespace(*p)) continue;
    if (Base64Value(*p) < 0) return false;
    ++characters;
  }
  if (characters % 4 == 1) return false;  // six bits cannot make a byte
  const size_t size = characters / 4 * 3 + (characters % 4 == 0 ? 0 : characters % 4 - 1);
  if (size == 0 || size > std::numeric_limits<uint32_t>::max()) return false;
  SecureBuffer decoded(size);
  if (!decoded.Valid()) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::decode(): HeapAlloc Failed");
    return false;
  }
  uint32_t bits = 0;
  int pending = 0;
  size_t written = 0;
  for (const char* p = text; *p != '\0' && *p != '='; ++p) {
    if (IsBase64Whitespace(*p)) continue;
    bits = (bits << 6) | static_cast<uint32_t>(Base64Value(*p));
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      decoded.Data()[written++] = static_cast<uint8_t>(bits >> pending);
    }
  }
  if (written != size) return false;
  *bytes = std::move(decoded);
  return true;
}

bool Decode(const char* text, SecureBuffer* bytes) {
  if (text != nullptr && DecodeInto(text, bytes)) return true;
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  Log(LogLevel::Error, L"tamber::common::windows::Encryption::decode(): Failed Decoding String [%d]",
      static_cast<int>(std::min<size_t>(length, std::numeric_limits<int>::max())));
  bool valid = true;
  for (size_t i = 0; i < length && valid; ++i) valid = Base64Value(text[i]) >= 0 || text[i] == '=';
  if (valid) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::decode(): Input string has valid encoding chars");
  } else {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::decode(): Input string has invalid encoding chars");
  }
  return false;
}

// AES-128-CFB128 of length bytes into a new buffer of length + 32 bytes. CNG works in whole blocks,
// so the data is zero-padded to one inside the buffer and what the padding became is wiped again:
// with CFB the bytes before it are exactly the stream mode's.
bool Crypt(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* input, uint32_t length,
           SecureBuffer* output) {
  const LogLevel level = encrypt ? LogLevel::Error : LogLevel::Debug;
  if (key == nullptr || iv == nullptr || input == nullptr ||
      length > std::numeric_limits<uint32_t>::max() - kCipherSlack) {
    Log(level, encrypt ? L"tamber::common::windows::Encryption::encrypt(): Failed Initalizing Encrypt"
                       : L"tamber::common::windows::Encryption::decrypt(): Failed Initalizing Decrypt");
    return false;
  }
  SecureBuffer buffer(static_cast<size_t>(length) + kCipherSlack);
  if (!buffer.Valid()) {
    Log(level, encrypt ? L"tamber::common::windows::Encryption::encrypt(): HeapAlloc Failed"
                       : L"tamber::common::windows::Encryption::decrypt(): HeapAlloc Failed");
    return false;
  }
  const uint32_t blocks = (length + kAesBlock - 1) / kAesBlock * kAesBlock;
  if (length != 0) std::memcpy(buffer.Data(), input, length);

  UniqueAlgorithm algorithm;
  UniqueKey aesKey;
  const uint32_t feedback = kAesBlock;
  const bool ready = platform::BCryptOpenAlgorithmProvider(algorithm.put(), platform::kBCryptAesAlgorithm, nullptr,
                                                           0) == platform::kStatusSuccess &&
                     platform::BCryptSetProperty(
                         algorithm.get(), platform::kBCryptChainingMode,
                         reinterpret_cast<const uint8_t*>(platform::kBCryptChainModeCfb),
                         static_cast<uint32_t>((std::wcslen(platform::kBCryptChainModeCfb) + 1) * sizeof(wchar_t)),
                         0) == platform::kStatusSuccess &&
                     platform::BCryptGenerateSymmetricKey(algorithm.get(), aesKey.put(), nullptr, 0, key,
                                                          Encryption::kKeyLength, 0) == platform::kStatusSuccess &&
                     platform::BCryptSetProperty(aesKey.get(), platform::kBCryptMessageBlockLength,
                                                 reinterpret_cast<const uint8_t*>(&feedback), sizeof(feedback),
                                                 0) == platform::kStatusSuccess;
  if (!ready) {
    Log(level, encrypt ? L"tamber::common::windows::Encryption::encrypt(): Failed Initalizing Encrypt"
                       : L"tamber::common::windows::Encryption::decrypt(): Failed Initalizing Decrypt");
    return false;
  }
  uint8_t chainIv[Encryption::kIvLength];  // CNG advances the IV it is given
  ScopedWipe wipeIv(chainIv, sizeof(chainIv));
  std::memcpy(chainIv, iv, sizeof(chainIv));
  uint32_t written = 0;
  platform::NtStatus status = encrypt ? platform::BCryptEncrypt(aesKey.get(), buffer.Data(), blocks, nullptr, chainIv,
                                                                sizeof(chainIv), buffer.Data(), blocks, &written, 0)
                                      : platform::BCryptDecrypt(aesKey.get(), buffer.Data(), blocks, nullptr, chainIv,
                                                                sizeof(chainIv), buffer.Data(), blocks, &written, 0);
  if (status != platform::kStatusSuccess) {
    Log(level, encrypt ? L"tamber::common::windows::Encryption::encrypt(): Failing Updating Encrypt"
                       : L"tamber::common::windows::Encryption::decrypt(): Failing Updating Decrypt");
    return false;
  }
  if (written != blocks) {
    Log(level, encrypt ? L"tamber::common::windows::Encryption::encrypt(): Failed Finalizing Encrpyt"
                       : L"tamber::common::windows::Encryption::decrypt(): Failed Finalizing Decrpyt");
    return false;
  }
  WipeMemory(buffer.Data() + length, blocks - length);
  *output = std::move(buffer);
  return true;
}

bool Encode(const uint8_t* data, uint32_t length, SecureBuffer* text, uint32_t* textLength) {
  const uint64_t size = (static_cast<uint64_t>(length) + 2) / 3 * 4 + 1;
  if ((data == nullptr && length != 0) || size > std::numeric_limits<uint32_t>::max()) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::encode(): Failed encoding data");
    return false;
  }
  SecureBuffer encoded(static_cast<size_t>(size));
  if (!encoded.Valid()) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::encode(): HeapAlloc Failed");
    return false;
  }
  auto* out = reinterpret_cast<char*>(encoded.Data());
  size_t written = 0;
  for (uint32_t i = 0; i < length; i += 3) {
    const uint32_t left = length - i;
    const uint32_t group = static_cast<uint32_t>(data[i]) << 16 |
                           (left > 1 ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) | (left > 2 ? data[i + 2] : 0);
    out[written++] = kAlphabet[group >> 18 & 0x3F];
    out[written++] = kAlphabet[group >> 12 & 0x3F];
    out[written++] = left > 1 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out[written++] = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  if (written + 1 != size) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::encode(): Failed encoding data");
    return false;
  }
  *textLength = static_cast<uint32_t>(written);
  *text = std::move(encoded);
  return true;
}

}  // namespace

uint32_t Encryption::computeHash(const uint8_t* data, uint32_t length, uint8_t* digest) {
  if (data == nullptr || digest == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::computeHash(): Invalid parameters");
    return 0;
  }
  UniqueAlgorithm algorithm;
  UniqueHash hash;
  if (platform::BCryptOpenAlgorithmProvider(algorithm.put(), platform::kBCryptSha256Algorithm, nullptr, 0) !=
          platform::kStatusSuccess ||
      platform::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0) != platform::kStatusSuccess) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::computeHash(): Failed Initalizing Digest");
    return 0;
  }
  if (platform::BCryptHashData(hash.get(), data, length, 0) != platform::kStatusSuccess) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::computeHash(): Failed Updating Digest");
    return 0;
  }
  uint8_t result[kDigestLength];
  ScopedWipe wipeResult(result, sizeof(result));
  if (platform::BCryptFinishHash(hash.get(), result, kDigestLength, 0) != platform::kStatusSuccess) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::computeHash(): Failed Finalizing Digest");
    return 0;
  }
  std::memcpy(digest, result, kDigestLength);
  return kDigestLength;
}

bool Encryption::encode(const uint8_t* data, uint32_t length, char** text, uint32_t* textLength) {
  if (text == nullptr || textLength == nullptr) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::encode(): Failed encoding data");
    return false;
  }
  SecureBuffer encoded;
  uint32_t encodedLength = 0;
  if (!Encode(data, length, &encoded, &encodedLength)) return false;
  *textLength = encodedLength;
  *text = reinterpret_cast<char*>(encoded.Release());
  return true;
}

bool Encryption::decode(const char* text, uint8_t** data, uint32_t* length) {
  if (data == nullptr || length == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::decode(): Invalid output parameters");
    return false;
  }
  SecureBuffer decoded;
  if (!Decode(text, &decoded)) return false;
  *length = static_cast<uint32_t>(decoded.Size());
  *data = decoded.Release();
  return true;
}

bool Encryption::initCryptoParams(const char* seed1, const char* seed2, uint8_t* key, uint8_t* iv) {
  if (seed1 == nullptr || seed2 == nullptr || key == nullptr || iv == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::initCryptoParams(): Invalid crypto parameters");
    return false;
  }
  const size_t length1 = BoundedLength(seed1, kSeedBufferSize);
  const size_t length2 = BoundedLength(seed2, kSeedBufferSize);
  if (length1 + length2 >= kSeedBufferSize) {
    Log(LogLevel::Error,
        L"tamber::common::windows::Encryption::initCryptoParams(): Insufficient buff size for crypto parameters");
    return false;
  }
  char seeds[kSeedBufferSize] = {};
  ScopedWipe wipeSeeds(seeds, sizeof(seeds));
  if (int error = CopyText(seeds, sizeof(seeds), 0, seed1); error != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::Encryption::initCryptoParams(): strcpy_s failed for seed1. ErrorCode: %d", error);
    return false;
  }
  if (int error = CopyText(seeds, sizeof(seeds), length1, seed2); error != 0) {
    Log(LogLevel::Error,
        L"tamber::common::windows::Encryption::initCryptoParams(): strcat_s failed for seed2. ErrorCode: %d", error);
    return false;
  }
  uint8_t digest[kDigestLength];
  ScopedWipe wipeDigest(digest, sizeof(digest));
  if (computeHash(reinterpret_cast<const uint8_t*>(seeds), static_cast<uint32_t>(length1 + length2), digest) == 0) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::initCryptoParams(): computeHash failed");
    return false;
  }
  std::memcpy(key, digest, kKeyLength);
  std::memcpy(iv, digest + kDigestLength - kIvLength, kIvLength);
  return true;
}

bool Encryption::encrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* data, uint32_t length, uint8_t** cipher,
                         uint32_t* cipherLength) {
  if (cipher == nullptr || cipherLength == nullptr) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::encrypt(): Failed Initalizing Encrypt");
    return false;
  }
  SecureBuffer output;
  if (!Crypt(/*encrypt=*/true, key, iv, data, length, &output)) return false;
  *cipherLength = length;
  *cipher = output.Release();
  return true;
}

bool Encryption::decrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* cipher, uint32_t length, uint8_t** data,
                         uint32_t* dataLength) {
  if (data == nullptr || dataLength == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::decrypt(): Failed Initalizing Decrypt");
    return false;
  }
  SecureBuffer output;
  if (!Crypt(/*encrypt=*/false, key, iv, cipher, length, &output)) return false;
  *dataLength = length;
  *data = output.Release();
  return true;
}

bool Encryption::obfuscate(const char* seed1, const char* seed2, const uint8_t* data, uint32_t length, char** text,
                           uint32_t* textLength) {
  if (seed1 == nullptr || seed2 == nullptr || data == nullptr || length == 0) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::obfuscate(): Invalid input parameters");
    return false;
  }
  if (text == nullptr || textLength == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::obfuscate(): Invalid output parameters");
    return false;
  }
  uint8_t key[kKeyLength];
  uint8_t iv[kIvLength];
  ScopedWipe wipeKey(key, sizeof(key));
  ScopedWipe wipeIv(iv, sizeof(iv));
  if (!initCryptoParams(seed1, seed2, key, iv)) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::obfuscate(): initCryptoParams Failed");
    return false;
  }
  SecureBuffer cipher;
  if (!Crypt(/*encrypt=*/true, key, iv, data, length, &cipher)) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::obfuscate(): Failed encrpyting data");
    return false;
  }
  SecureBuffer encoded;
  uint32_t encodedLength = 0;
  if (!Encode(cipher.Data(), length, &encoded, &encodedLength)) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::obfuscate(): Failed Encoding data");
    return false;
  }
  *textLength = encodedLength;
  *text = reinterpret_cast<char*>(encoded.Release());
  return true;
}

bool Encryption::unobfuscate(const char* seed1, const char* seed2, const char* text, uint8_t** data,
                             uint32_t* dataLength) {
  if (seed1 == nullptr || seed2 == nullptr || text == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::unobfuscate(): Invalid input parameters");
    return false;
  }
  if (data == nullptr || dataLength == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::unobfuscate(): Invalid output parameters");
    return false;
  }
  SecureBuffer cipher;
  if (!Decode(text, &cipher)) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::unobfuscate(): Failed Decoding data");
    return false;
  }
  uint8_t key[kKeyLength];
  uint8_t iv[kIvLength];
  ScopedWipe wipeKey(key, sizeof(key));
  ScopedWipe wipeIv(iv, sizeof(iv));
  if (!initCryptoParams(seed1, seed2, key, iv)) {
    Log(LogLevel::Error, L"tamber::common::windows::Encryption::unobfuscate(): initCryptoParams Failed");
    return false;
  }
  const auto length = static_cast<uint32_t>(cipher.Size());
  SecureBuffer plain;
  if (!Crypt(/*encrypt=*/false, key, iv, cipher.Data(), length, &plain)) {
    Log(LogLevel::Debug, L"tamber::common::windows::Encryption::unobfuscate(): Failed decrypting data");
    return false;
  }
  *dataLength = length;
  *data = plain.Release();
  return true;
}

void Encryption::FreeData(uint8_t** data, uint32_t* size) {
  if (data != nullptr) {
    FreeSecret(*data);
    *data = nullptr;
  }
  if (size != nullptr) *size = 0;
}

void Encryption::FreeData(char** text, uint32_t* size) {
  if (text != nullptr) {
    FreeSecret(*text);
    *text = nullptr;
  }
  if (size != nullptr) *size = 0;
}

}  // namespace tamber::common::windows
