// Registry string data is UTF-16LE bytes on every build, whatever the width of wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamber::common::util {

// The characters as UTF-16LE plus one terminating null (2 x length + 2 bytes for text without
// surrogate pairs).
std::vector<uint8_t> ToUtf16LeBytes(std::wstring_view text);
// The text up to the first null code unit, never reading past size (an odd trailing byte is ignored).
std::wstring FromUtf16LeBytes(const uint8_t* data, size_t size);

}  // namespace tamber::common::util
