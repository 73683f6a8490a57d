// Environment seam: variables, expansion and text conversion.
#pragma once

#include <cstdint>

namespace tamber::platform {

// ExpandEnvironmentStringsW: returns the size in wide characters needed including the null, 0 on
// failure; writes only when size is large enough.
uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* destination, uint32_t size);
// GetEnvironmentVariableW: length without the null on success, size needed when the buffer is too
// small, 0 with ERROR_ENVVAR_NOT_FOUND when missing.
uint32_t GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer, uint32_t size);
bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value);

constexpr uint32_t kCodePageUtf8 = 65001;
constexpr uint32_t kMbErrInvalidChars = 0x8;
// WideCharToMultiByte / MultiByteToWideChar for UTF-8. Lengths are in characters of the source
// (-1: up to and including the null); output size 0 asks for the size. 0 on failure.
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* source, int sourceLength, char* output,
                        int outputSize);
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength, wchar_t* output,
                        int outputSize);

}  // namespace tamber::platform
