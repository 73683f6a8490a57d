// The symbol helper and dumps: DbgHelp from the system directory, called through the entry points the
// caller looked up; OpenProcess and GetCurrentProcess.
#include "platform/DbgHelp.h"
#include "platform/win32/Win32Api.h"
// windows.h first
#include <dbghelp.h>

#include <cstring>

#undef GetSystemDirectory

namespace tamber::platform {
namespace {

using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID, PREAD_PROCESS_MEMORY_ROUTINE64,
                                    PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                    PTRANSLATE_ADDRESS_ROUTINE64);
using SymFromAddrFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

template <class T>
T Entry(void* address) {
  return reinterpret_cast<T>(address);
}

void CopyText(char* target, size_t size, const char* text) {
  size_t length = strnlen(text, size - 1);
  std::memcpy(target, text, length);
  target[length] = '\0';
}

void ModuleName(DWORD64 address, char* target, size_t size) {
  HMODULE module = nullptr;
  wchar_t path[MAX_PATH] = {};
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module) ||
      ::GetModuleFileNameW(module, path, MAX_PATH) == 0) {
    CopyText(target, size, "?");
    return;
  }
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  if (::WideCharToMultiByte(CP_UTF8, 0, name, -1, target, static_cast<int>(size), nullptr, nullptr) == 0) {
    CopyText(target, size, "?");
  }
}

}  // namespace

ModuleHandle LoadSystemLibrary(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

uint32_t GetSystemDirectory(wchar_t* buffer, uint32_t size) { return ::GetSystemDirectoryW(buffer, size); }

bool SymInitialize(const DbgHelpEntryPoints& dbghelp, const char* searchPath) {
  if (dbghelp.symInitialize == nullptr) return false;
  if (dbghelp.symSetOptions != nullptr) {
    Entry<SymSetOptionsFn>(dbghelp.symSetOptions)(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS |
                                                  SYMOPT_FAIL_CRITICAL_ERRORS);
  }
  return Entry<SymInitializeFn>(dbghelp.symInitialize)(::GetCurrentProcess(), searchPath, TRUE) != FALSE;
}

uint32_t WalkStack(const DbgHelpEntryPoints& dbghelp, const ExceptionPointers* exception, StackFrameInfo* frames,
                   uint32_t maxFrames) {
  if (dbghelp.stackWalk64 == nullptr || frames == nullptr || maxFrames == 0) return 0;
  CONTEXT context{};
  if (exception != nullptr && exception->contextRecord != nullptr) {
    context = *static_cast<const CONTEXT*>(exception->contextRecord);
  } else {
    ::RtlCaptureContext(&context);
  }
  STACKFRAME64 frame{};
  frame.AddrPC.Offset = context.Rip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Rsp;
  frame.AddrStack.Mode = AddrModeFlat;
  HANDLE process = ::GetCurrentProcess();
  auto walk = Entry<StackWalk64Fn>(dbghelp.stackWalk64);
  auto tableAccess = Entry<PFUNCTION_TABLE_ACCESS_ROUTINE64>(dbghelp.symFunctionTableAccess64);
  auto moduleBase = Entry<PGET_MODULE_BASE_ROUTINE64>(dbghelp.symGetModuleBase64);
  uint32_t count = 0;
  while (count < maxFrames && walk(IMAGE_FILE_MACHINE_AMD64, process, ::GetCurrentThread(), &frame, &context, nullptr,
                                   tableAccess, moduleBase, nullptr)) {
    if (frame.AddrPC.Offset == 0) break;
    StackFrameInfo& out = frames[count++];
    out = StackFrameInfo{};
    out.address = frame.AddrPC.Offset;
    ModuleName(frame.AddrPC.Offset, out.module, sizeof out.module);
    CopyText(out.function, sizeof out.function, "?");
    CopyText(out.file, sizeof out.file, "?");
    if (dbghelp.symFromAddr != nullptr) {
      alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + sizeof out.function] = {};
      auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
      symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
      symbol->MaxNameLen = sizeof out.function - 1;
      DWORD64 displacement = 0;
      if (Entry<SymFromAddrFn>(dbghelp.symFromAddr)(process, frame.AddrPC.Offset, &displacement, symbol)) {
        CopyText(out.function, sizeof out.function, symbol->Name);
      }
    }
    if (dbghelp.symGetLineFromAddr64 != nullptr) {
      IMAGEHLP_LINE64 line{};
      line.SizeOfStruct = sizeof line;
      DWORD displacement = 0;
      if (Entry<SymGetLineFromAddr64Fn>(dbghelp.symGetLineFromAddr64)(process, frame.AddrPC.Offset, &displacement,
                                                                      &line) &&
          line.FileName != nullptr) {
        CopyText(out.file, sizeof out.file, line.FileName);
        out.line = line.LineNumber;
      }
    }
  }
  return count;
}

Handle OpenProcess(uint32_t access, uint32_t processId) { return ::OpenProcess(access, FALSE, processId); }

Handle GetCurrentProcess() { return ::GetCurrentProcess(); }

bool MiniDumpWriteDump(const DbgHelpEntryPoints& dbghelp, Handle process, uint32_t processId, Handle file,
                       uint32_t dumpType, uint32_t threadId, const ExceptionPointers* exception) {
  if (dbghelp.miniDumpWriteDump == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  MINIDUMP_EXCEPTION_INFORMATION information{};
  information.ThreadId = threadId;
  information.ExceptionPointers = reinterpret_cast<EXCEPTION_POINTERS*>(const_cast<ExceptionPointers*>(exception));
  information.ClientPointers = FALSE;
  return Entry<MiniDumpWriteDumpFn>(dbghelp.miniDumpWriteDump)(
             process, processId, file, static_cast<MINIDUMP_TYPE>(dumpType),
             exception != nullptr ? &information : nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace tamber::platform
