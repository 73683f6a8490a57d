// UTF-8 <-> wide text for the log facility. The facility cannot use the agent's string converter,
// because that converter logs; these never fail: malformed input becomes U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamber::framework::log {

// Appends one code point as wide characters (a surrogate pair where wchar_t is 16 bits).
inline void AppendCodePoint(std::wstring& out, uint32_t code) {
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if constexpr (sizeof(wchar_t) == 2) {
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(code));
}

// Decodes the next code point of UTF-8 text at pos (advancing it); U+FFFD for a malformed sequence.
inline uint32_t NextUtf8CodePoint(std::string_view text, size_t& pos) {
  auto byte = static_cast<uint8_t>(text[pos++]);
  if (byte < 0x80) return byte;
  int extra;
  uint32_t code;
  uint32_t minimum;
  if ((byte & 0xE0) == 0xC0) {
    extra = 1, code = byte & 0x1F, minimum = 0x80;
  } else if ((byte & 0xF0) == 0xE0) {
    extra = 2, code = byte & 0x0F, minimum = 0x800;
  } else if ((byte & 0xF8) == 0xF0) {
    extra = 3, code = byte & 0x07, minimum = 0x10000;
  } else {
    return 0xFFFD;
  }
  for (int i = 0; i < extra; ++i) {
    if (pos >= text.size() || (static_cast<uint8_t>(text[pos]) & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (static_cast<uint8_t>(text[pos++]) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
  return code;
}

// Appends wide text as UTF-8 (surrogate pairs joined where wchar_t is 16 bits; lone surrogates
// become U+FFFD).
inline void AppendWideAsUtf8(std::string& out, std::wstring_view text) {
  // Most log text is ASCII: copy that run without per-character growth checks.
  size_t start = out.size();
  out.resize(start + text.size());
  char* ascii = out.data() + start;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    auto code = static_cast<uint32_t>(text[i]);
    if (code >= 0x80) break;
    ascii[i] = static_cast<char>(code);
  }
  out.resize(start + i);
  for (; i < text.size(); ++i) {
    auto code = static_cast<uint32_t>(text[i]);
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
      continue;
    }
    if constexpr (sizeof(wchar_t) == 2) {
      code &= 0xFFFF;
      if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
        auto low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
}

inline std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  AppendWideAsUtf8(out, text);
  return out;
}

inline std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) AppendCodePoint(out, NextUtf8CodePoint(text, pos));
  return out;
}

}  // namespace tamber::framework::log
