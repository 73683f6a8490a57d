// Printable protection of a byte buffer keyed by two seed texts, and the digest used for checksums.
// Stateless. The key and IV are SHA-256(seed1 seed2) split in halves; the bytes are encrypted with
// AES-128 in CFB mode with 128-bit feedback (so the ciphertext has the data's length) and written as
// standard Base64 with padding. CFB has no integrity check: wrong seeds give wrong bytes, not an error.
//
// Buffers handed to callers are zero-filled heap blocks that the caller gives back to FreeData, which
// wipes them before freeing. Every temporary that held plain data, keys, seeds or digests is wiped on
// every path, and a failed operation leaves its outputs untouched.
#pragma once

#include <cstdint>

namespace tamber::common::windows {

class Encryption {
 public:
  static constexpr uint32_t kDigestLength = 32;
  static constexpr uint32_t kKeyLength = 16;
  static constexpr uint32_t kIvLength = 16;
  // The two seeds together have fewer characters than this.
  static constexpr uint32_t kSeedBufferSize = 129;

  // SHA-256 of length bytes into digest (kDigestLength bytes); returns kDigestLength, or 0 on failure.
  static uint32_t computeHash(const uint8_t* data, uint32_t length, uint8_t* digest);

  // Base64 of length bytes in a new zero-terminated text of ((length + 2) / 3) * 4 + 1 bytes;
  // *textLength is the text's length without the terminator.
  static bool encode(const uint8_t* data, uint32_t length, char** text, uint32_t* textLength);
  // The bytes of a Base64 text in a new buffer of exactly their length. Whitespace is skipped, decoding
  // stops at the first "=" (or the end), and any other character outside the alphabet, an impossible
  // character count or a text without data is a failure.
  static bool decode(const char* text, uint8_t** data, uint32_t* length);

  // key (kKeyLength bytes) and iv (kIvLength bytes) from the two seeds.
  static bool initCryptoParams(const char* seed1, const char* seed2, uint8_t* key, uint8_t* iv);

  // AES-128-CFB128 into a new buffer of length + 32 bytes; the result's length is length.
  static bool encrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* data, uint32_t length, uint8_t** cipher,
                      uint32_t* cipherLength);
  static bool decrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* cipher, uint32_t length, uint8_t** data,
                      uint32_t* dataLength);

  // The obfuscated text of length (at least 1) bytes, zero-terminated; *textLength without the terminator.
  static bool obfuscate(const char* seed1, const char* seed2, const uint8_t* data, uint32_t length, char** text,
                        uint32_t* textLength);
  // The plain bytes of an obfuscated text, with their exact length.
  static bool unobfuscate(const char* seed1, const char* seed2, const char* text, uint8_t** data, uint32_t* dataLength);

  // Wipes and frees a buffer of this class, then sets it to null and the size to 0.
  static void FreeData(uint8_t** data, uint32_t* size);
  static void FreeData(char** text, uint32_t* size);
};

}  // namespace tamber::common::windows
