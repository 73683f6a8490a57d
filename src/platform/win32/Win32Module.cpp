// The executable's resources, loaded modules, version resources and COM: the Win32 calls themselves.
#include "platform/Module.h"
#include "platform/win32/Win32Api.h"

#include <objbase.h>

#undef LoadString
#undef GetModuleHandle
#undef GetFileVersionInfoSize
#undef GetFileVersionInfo
#undef VerQueryValue

namespace tamber::platform {

static_assert(sizeof(FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));

ModuleHandle GetExecutableModule() { return ::GetModuleHandleW(nullptr); }

int LoadString(ModuleHandle module, uint32_t id, wchar_t* buffer, int bufferSize) {
  return ::LoadStringW(static_cast<HINSTANCE>(module), id, buffer, bufferSize);
}

ModuleHandle GetModuleHandle(const wchar_t* moduleName) { return ::GetModuleHandleW(moduleName); }

void* GetProcAddress(ModuleHandle module, const char* procName) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), procName));
}

uint32_t GetFileVersionInfoSize(const wchar_t* fileName) { return ::GetFileVersionInfoSizeW(fileName, nullptr); }

bool GetFileVersionInfo(const wchar_t* fileName, uint32_t size, void* data) {
  return ::GetFileVersionInfoW(fileName, 0, size, data) != FALSE;
}

bool VerQueryValue(const void* data, const wchar_t* subBlock, void** value, uint32_t* length) {
  UINT size = 0;
  BOOL ok = ::VerQueryValueW(data, subBlock, value, &size);
  if (length != nullptr) *length = size;
  return ok != FALSE;
}

int32_t CoInitialize() { return static_cast<int32_t>(::CoInitialize(nullptr)); }

void CoUninitialize() { ::CoUninitialize(); }

}  // namespace tamber::platform
