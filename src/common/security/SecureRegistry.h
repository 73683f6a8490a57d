// Named secrets in the LSA's private data store (HKLM\SECURITY\Policy\Secrets), readable only by the
// local system. Stateless: every store or retrieval opens its own policy handle and closes it at once.
// Every operation logs its own failures and reports them as false, 0 or null; none throws.
//
// A secret's name is one registry key name under the store: 1 to 255 characters, no backslash (an
// empty name or a path would reach other secrets); other names are refused as invalid parameters.
//
// Buffers handed to callers are zero-filled heap blocks that the caller gives back to FreePrivateData,
// which wipes them before freeing. A value is at most 65534 bytes (the LSA's 16-bit counted lengths);
// longer values are refused, never cut.
#pragma once

#include <cstdint>

#include "platform/Lsa.h"

namespace tamber::common::windows {

class SecureRegistry {
 public:
  // The longest value and the longest text (its wide form and terminator within the value limit).
  static constexpr uint32_t kMaxPrivateDataLength = platform::kLsaMaxStringBytes;
  static constexpr uint32_t kMaxPrivateStringLength = (platform::kLsaMaxStringBytes - 2) / 2;

  // The local policy with all access, or null (logged). The caller closes it with LsaClose.
  static platform::LsaHandle GetPolicyHandle();

  // Stores length bytes as the secret's value (length and maximum length both the byte count).
  static bool StorePrivateData(const wchar_t* name, const uint8_t* data, uint32_t length);
  // Stores narrow text as wide characters, one per byte as the C runtime's default locale converts
  // them: length twice the character count, maximum length two bytes more (room for a terminator).
  static bool StorePrivateString(const wchar_t* name, const char* text);
  // Makes what the LSA holds durable now. Its secrets live in the SECURITY hive, which the registry
  // writes lazily; a marker that records a stored secret (a join, a password) must never reach the disk
  // before the secret does, or a power cut leaves the marker without its password. A flush of
  // HKEY_LOCAL_MACHINE writes every hive. False (logged) when the flush failed.
  static bool FlushSecrets();

  // The value in a new zero-filled buffer of the value's maximum length; returns that size, or 0 on
  // failure (*data untouched then).
  static uint32_t RetrievePrivateData(const wchar_t* name, uint8_t** data);
  // The value's wide characters as narrow text with a terminator; returns its size in bytes with the
  // terminator (n + 1 for a text of n characters), or 0 on failure (*text untouched then). A value
  // with an odd byte count ends at its last whole character; an embedded null or a character above
  // U+00FF is a failure.
  static uint32_t RetrievePrivateString(const wchar_t* name, char** text);

  // Deletes the secret's key tree; a secret that does not exist counts as deleted.
  static bool DeleteKey(const wchar_t* name);

  // Wipes and frees a buffer of the retrievals, then sets it to null and the size to 0.
  static void FreePrivateData(uint8_t** data, uint32_t* size);
  static void FreePrivateData(char** text, uint32_t* size);
};

}  // namespace tamber::common::windows
