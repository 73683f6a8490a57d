#include "common/util/Utf16.h"

namespace tamber::common::util {

std::vector<uint8_t> ToUtf16LeBytes(std::wstring_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2 + 2);
  auto put = [&bytes](uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (wchar_t ch : text) {
    auto code = static_cast<uint32_t>(ch);
    if constexpr (sizeof(wchar_t) == 4) {
      if (code >= 0x10000 && code <= 0x10FFFF) {
        code -= 0x10000;
        put(0xD800 + (code >> 10));
        put(0xDC00 + (code & 0x3FF));
        continue;
      }
    }
    put(code & 0xFFFF);
  }
  put(0);
  return bytes;
}

std::wstring FromUtf16LeBytes(const uint8_t* data, size_t size) {
  std::wstring text;
  if (data == nullptr) return text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t unit = data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
    if (unit == 0) break;
    if constexpr (sizeof(wchar_t) == 4) {
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
        uint32_t low = data[i + 2] | (static_cast<uint32_t>(data[i + 3]) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
          continue;
        }
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

}  // namespace tamber::common::util
