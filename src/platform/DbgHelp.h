// Debug help seam: the symbol helper library loaded from the system directory, stack walks with
// symbols and line numbers (SymInitialize, StackWalk64, SymFromAddr, SymGetLineFromAddr64) and dump
// files (MiniDumpWriteDump), and OpenProcess for a dump of another process. The entry points are looked
// up by name through GetProcAddress (Module.h), as the library differs between systems.
#pragma once

#include <cstdint>

#include "platform/Exceptions.h"
#include "platform/Module.h"
#include "platform/Types.h"

namespace tamber::platform {

// MINIDUMP_TYPE bits.
constexpr uint32_t kMiniDumpNormal = 0x00000000;
constexpr uint32_t kMiniDumpWithDataSegs = 0x00000001;
constexpr uint32_t kMiniDumpWithFullMemory = 0x00000002;
constexpr uint32_t kMiniDumpWithHandleData = 0x00000004;
constexpr uint32_t kMiniDumpWithUnloadedModules = 0x00000020;
constexpr uint32_t kMiniDumpWithFullMemoryInfo = 0x00000800;
constexpr uint32_t kMiniDumpWithThreadInfo = 0x00001000;

// Process access rights.
constexpr uint32_t kProcessVmRead = 0x0010;
constexpr uint32_t kProcessQueryInformation = 0x0400;

// LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32): null with the last error set when the
// system directory has no such library.
ModuleHandle LoadSystemLibrary(const wchar_t* name);
// The directory of the system's own libraries (GetSystemDirectoryW).
uint32_t GetSystemDirectory(wchar_t* buffer, uint32_t size);

// The entry points of the symbol helper, each from GetProcAddress (null: missing).
struct DbgHelpEntryPoints {
  void* symInitialize = nullptr;
  void* symSetOptions = nullptr;
  void* stackWalk64 = nullptr;
  void* symFunctionTableAccess64 = nullptr;
  void* symGetModuleBase64 = nullptr;
  void* symFromAddr = nullptr;
  void* symGetLineFromAddr64 = nullptr;
  void* miniDumpWriteDump = nullptr;
};

// One frame of a walk, in fixed buffers: a report may not allocate after a stack overflow.
struct StackFrameInfo {
  uint64_t address = 0;
  uint32_t line = 0;  // 0: unknown
  char module[64] = {};
  char function[256] = {};
  char file[260] = {};
};

// SymSetOptions (undecorated names, line numbers, deferred loads) and SymInitialize of this process
// with the search path, invading the loaded modules.
bool SymInitialize(const DbgHelpEntryPoints& dbghelp, const char* searchPath);
// StackWalk64 from the exception's context (null: from the caller's own frame) with SymFromAddr and
// SymGetLineFromAddr64 for each frame; the number of frames written.
uint32_t WalkStack(const DbgHelpEntryPoints& dbghelp, const ExceptionPointers* exception, StackFrameInfo* frames,
                   uint32_t maxFrames);

// OpenProcess; null with the last error set on failure. GetCurrentProcess: the pseudo-handle.
Handle OpenProcess(uint32_t access, uint32_t processId);
Handle GetCurrentProcess();

// MiniDumpWriteDump of the process into the file; the exception (of the thread threadId of this
// process) goes into the dump when given. False with the last error set on failure.
bool MiniDumpWriteDump(const DbgHelpEntryPoints& dbghelp, Handle process, uint32_t processId, Handle file,
                       uint32_t dumpType, uint32_t threadId, const ExceptionPointers* exception);

}  // namespace tamber::platform
