#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <mutex>

// windows.h spells RtlCaptureStackBackTrace this way as a macro; the seam function has the same name.
#undef CaptureStackBackTrace

#include "platform/StackTrace.h"

namespace tamber::platform {
namespace {

// The parts of dbghelp we use, loaded on first need so the agent starts on machines without it.
using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using SymFromAddrFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);

struct Symbols {
  std::mutex lock;  // dbghelp is single-threaded
  bool tried = false;
  SymFromAddrFn fromAddr = nullptr;
};

Symbols& GetSymbols() {
  static auto* symbols = new Symbols;
  return *symbols;
}

std::string Narrow(const wchar_t* text) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.resize(static_cast<size_t>(size - 1));
  return result;
}

}  // namespace

uint16_t CaptureStackBackTrace(uint32_t framesToSkip, uint32_t framesToCapture, void** backTrace) {
  if (backTrace == nullptr || framesToCapture == 0) return 0;
  if (framesToCapture > 62) framesToCapture = 62;  // the limit of older Windows versions
  return ::RtlCaptureStackBackTrace(framesToSkip + 1, framesToCapture, backTrace, nullptr);
}

std::string DescribeCodeAddress(void* address) {
  char text[64];
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module)) {
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(module, path, MAX_PATH);
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  std::string result = Narrow(name);

  auto& symbols = GetSymbols();
  std::lock_guard<std::mutex> guard(symbols.lock);
  if (!symbols.tried) {
    symbols.tried = true;
    if (HMODULE dbghelp = ::LoadLibraryW(L"dbghelp.dll")) {
      auto init =
          reinterpret_cast<SymInitializeFn>(reinterpret_cast<void*>(::GetProcAddress(dbghelp, "SymInitialize")));
      auto from = reinterpret_cast<SymFromAddrFn>(reinterpret_cast<void*>(::GetProcAddress(dbghelp, "SymFromAddr")));
      if (init != nullptr && from != nullptr && init(::GetCurrentProcess(), nullptr, TRUE)) symbols.fromAddr = from;
    }
  }
  if (symbols.fromAddr != nullptr) {
    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 256] = {};
    auto* info = reinterpret_cast<SYMBOL_INFO*>(buffer);
    info->SizeOfStruct = sizeof(SYMBOL_INFO);
    info->MaxNameLen = 256;
    DWORD64 displacement = 0;
    if (symbols.fromAddr(::GetCurrentProcess(), reinterpret_cast<DWORD64>(address), &displacement, info)) {
      std::string symbol(info->Name, strnlen(info->Name, 256));
      std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(displacement));
      return result + "!" + symbol + text;
    }
  }
  std::snprintf(
      text, sizeof text, "+0x%llx",
      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module)));
  return result + text;
}

}  // namespace tamber::platform
