// Module seam: the executable's own resources, loaded modules and exported functions, the version
// resource of an executable file, and COM initialisation of a thread, with the Win32 calls' arguments,
// results and error codes.
#pragma once

#include <cstdint>

namespace tamber::platform {

using ModuleHandle = void*;

// VS_FIXEDFILEINFO.
struct FixedFileInfo {
  uint32_t signature = 0;  // 0xFEEF04BD
  uint32_t strucVersion = 0;
  uint32_t fileVersionMS = 0;
  uint32_t fileVersionLS = 0;
  uint32_t productVersionMS = 0;
  uint32_t productVersionLS = 0;
  uint32_t fileFlagsMask = 0;
  uint32_t fileFlags = 0;
  uint32_t fileOS = 0;
  uint32_t fileType = 0;
  uint32_t fileSubtype = 0;
  uint32_t fileDateMS = 0;
  uint32_t fileDateLS = 0;
};
static_assert(sizeof(FixedFileInfo) == 52, "VS_FIXEDFILEINFO is 52 bytes");
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

constexpr uint32_t kErrorResourceTypeNotFound = 1813;
constexpr uint32_t kErrorResourceNameNotFound = 1814;

// The running executable's module (GetModuleHandleW(nullptr)).
ModuleHandle GetExecutableModule();
// LoadStringW into buffer (size in characters, terminator included); the number of characters copied,
// 0 when the string resource does not exist.
int LoadString(ModuleHandle module, uint32_t id, wchar_t* buffer, int bufferSize);
// GetModuleHandleW of a module already loaded in the process; null with the last error set otherwise.
ModuleHandle GetModuleHandle(const wchar_t* moduleName);
// GetProcAddress; null with the last error set when the module does not export the name.
void* GetProcAddress(ModuleHandle module, const char* procName);

// GetFileVersionInfoSizeW / GetFileVersionInfoW / VerQueryValueW for the root block "\".
uint32_t GetFileVersionInfoSize(const wchar_t* fileName);
bool GetFileVersionInfo(const wchar_t* fileName, uint32_t size, void* data);
// VerQueryValueW: subBlock "\" points *value into data at its VS_FIXEDFILEINFO.
bool VerQueryValue(const void* data, const wchar_t* subBlock, void** value, uint32_t* length);

// CoInitialize (apartment model) / CoUninitialize of the calling thread. Returns the HRESULT.
int32_t CoInitialize();
void CoUninitialize();

}  // namespace tamber::platform
