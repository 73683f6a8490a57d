// Environment variables and UTF-8 conversion: the Win32 calls themselves.
#include "platform/Environment.h"

#include "platform/win32/Win32Api.h"

namespace tamber::platform {

uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* destination, uint32_t size) {
  return ::ExpandEnvironmentStringsW(source, destination, size);
}

uint32_t GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer, uint32_t size) {
  return ::GetEnvironmentVariableW(name, buffer, size);
}

bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) {
  return ::SetEnvironmentVariableW(name, value) != FALSE;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* source, int sourceLength, char* output,
                        int outputSize) {
  // For UTF-8 the default-character arguments must be null.
  return ::WideCharToMultiByte(codePage, flags, source, sourceLength, output, outputSize, nullptr, nullptr);
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength, wchar_t* output,
                        int outputSize) {
  return ::MultiByteToWideChar(codePage, flags, source, sourceLength, output, outputSize);
}

}  // namespace tamber::platform
