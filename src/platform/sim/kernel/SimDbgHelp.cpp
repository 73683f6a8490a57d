// The simulated guest's symbol helper: stack walks symbolized by Boost.Stacktrace (over libbacktrace
// where the toolchain has it, else the dynamic loader's symbol table), and dump files in a core-style
// format of the simulator's own: the fault, the registers, the symbolized frames, the memory map, and the
// memory itself (the faulting thread's stack for a small dump, every writable mapping for a full one),
// read through /proc so that an unreadable page never faults the writer.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <boost/stacktrace.hpp>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DbgHelp.h"
#include "platform/Process.h"
#include "platform/sim/kernel/SimExceptions.h"
#include "platform/sim/kernel/SimKernel.h"
#include "platform/sim/machine/SimFaultPlan.h"

namespace tamber::platform {
namespace {

constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint64_t kFullDumpLimit = 256ull * 1024 * 1024;
constexpr uint64_t kStackWindow = 64 * 1024;
int g_dbghelpAnchor;
bool g_symbolsInitialised = false;

class ProcessReference : public sim::KernelObject {
 public:
  explicit ProcessReference(uint32_t id) : id_(id) {}
  bool IsWaitable() const override { return false; }
  uint32_t Id() const { return id_; }

 private:
  uint32_t id_;
};

// The simulated library's own entry points (what GetProcAddress hands out).
using SymInitializeEntry = bool (*)(const char* searchPath);
using StackWalkEntry = uint32_t (*)(const ExceptionPointers* exception, StackFrameInfo* frames, uint32_t maxFrames);
using MiniDumpEntry = bool (*)(uint32_t processId, Handle file, uint32_t dumpType, uint32_t threadId,
                               const ExceptionPointers* exception);
using SymSetOptionsEntry = uint32_t (*)(uint32_t options);

void Copy(char* target, size_t size, const std::string& text) {
  size_t length = std::min(size - 1, text.size());
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

void Describe(void* address, StackFrameInfo* frame) {
  frame->address = reinterpret_cast<uintptr_t>(address);
  Dl_info info{};
  if (::dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
    std::string module = info.dli_fname;
    if (auto slash = module.rfind('/'); slash != std::string::npos) module.erase(0, slash + 1);
    Copy(frame->module, sizeof frame->module, module);
  } else {
    Copy(frame->module, sizeof frame->module, "?");
  }
  boost::stacktrace::frame symbol(reinterpret_cast<boost::stacktrace::frame::native_frame_ptr_t>(address));
  std::string name = symbol.name();
  Copy(frame->function, sizeof frame->function, name.empty() ? "?" : name);
  std::string file = symbol.source_file();
  Copy(frame->file, sizeof frame->file, file.empty() ? "?" : file);
  frame->line = static_cast<uint32_t>(symbol.source_line());
}

// SymFromAddr and SymGetLineFromAddr64 of the simulated library: both describe one address.
bool SimSymFromAddr(void* address, StackFrameInfo* frame) {
  Describe(address, frame);
  return true;
}

// SymGetModuleBase64 (SymFunctionTableAccess64 is the same lookup here: unwinding needs no tables).
uint64_t SimModuleBase(uint64_t address) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(address), &info) == 0) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

bool SimSymInitialize(const char* /*searchPath*/) {
  g_symbolsInitialised = true;
  return true;
}

uint32_t SimSymSetOptions(uint32_t options) { return options; }

uint32_t SimStackWalk(const ExceptionPointers* exception, StackFrameInfo* frames, uint32_t maxFrames) {
  if (frames == nullptr || maxFrames == 0) return 0;
  std::vector<void*> addresses;
  if (exception != nullptr && exception->contextRecord != nullptr) {
    const auto* fault = static_cast<const sim::FaultContext*>(exception->contextRecord);
    addresses.assign(fault->frames, fault->frames + fault->frameCount);
    // The first frames are the signal handler's own; the fault's instruction starts the walk.
    if (exception->exceptionRecord != nullptr && exception->exceptionRecord->exceptionAddress != nullptr) {
      for (size_t i = 0; i < addresses.size(); ++i) {
        auto delta = reinterpret_cast<intptr_t>(addresses[i]) -
                     reinterpret_cast<intptr_t>(exception->exceptionRecord->exceptionAddress);
        if (delta >= -16 && delta <= 16) {
          addresses.erase(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
      if (addresses.empty() || addresses.front() != exception->exceptionRecord->exceptionAddress) {
        // A fault in a frame the unwinder did not see through (or a jump to nowhere): its address first.
        std::vector<void*> rest;
        for (size_t i = 0; i < addresses.size(); ++i) {
          Dl_info info{};
          if (::dladdr(addresses[i], &info) != 0 && info.dli_sname != nullptr &&
              std::strstr(info.dli_sname, "OnFaultSignal") != nullptr) {
            rest.assign(addresses.begin() + static_cast<std::ptrdiff_t>(i) + 2, addresses.end());
            break;
          }
        }
        if (!rest.empty()) addresses = rest;
        addresses.insert(addresses.begin(), exception->exceptionRecord->exceptionAddress);
      }
    }
  } else {
    boost::stacktrace::stacktrace trace(2, maxFrames);
    for (const auto& frame : trace) addresses.push_back(const_cast<void*>(frame.address()));
  }
  uint32_t count = 0;
  for (void* address : addresses) {
    if (count == maxFrames || address == nullptr) break;
    frames[count] = StackFrameInfo{};
    SimSymFromAddr(address, &frames[count++]);
  }
  return count;
}

bool WriteAll(Handle file, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size, 1u << 20));
    uint32_t written = 0;
    if (!WriteFile(file, at, chunk, &written) || written == 0) return false;
    at += written;
    size -= written;
  }
  return true;
}

bool WriteText(Handle file, const std::string& text) { return WriteAll(file, text.data(), text.size()); }

// Copies [begin, end) of the process's memory into the dump as a section; unreadable pages are left out.
bool WriteMemory(Handle file, int memory, uint64_t begin, uint64_t end, uint64_t* budget) {
  std::vector<char> buffer(1 << 16);
  for (uint64_t at = begin; at<end&& * budget> 0;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>({end - at, buffer.size(), *budget}));
    ssize_t got = ::pread(memory, buffer.data(), want, static_cast<off_t>(at));
    if (got <= 0) {
      at = (at | 0xFFF) + 1;  // the next page
      continue;
    }
    char header[64];
    std::snprintf(header, sizeof header, "memory 0x%llx %zd\n", static_cast<unsigned long long>(at), got);
    if (!WriteText(file, header) || !WriteAll(file, buffer.data(), static_cast<size_t>(got))) return false;
    at += static_cast<uint64_t>(got);
    *budget -= static_cast<uint64_t>(got);
  }
  return true;
}

bool SimMiniDump(uint32_t processId, Handle file, uint32_t dumpType, uint32_t threadId,
                 const ExceptionPointers* exception) {
  std::ostringstream head;
  head << "VELOCYN-SIM-DUMP 1\n";
  head << "process " << processId << "\nthread " << threadId << "\n";
  char line[160];
  std::snprintf(line, sizeof line, "type 0x%08X\n", dumpType);
  head << line;
  const sim::FaultContext* fault = nullptr;
  if (exception != nullptr && exception->exceptionRecord != nullptr) {
    const ExceptionRecord& record = *exception->exceptionRecord;
    std::snprintf(line, sizeof line, "exception 0x%08X at %p flags 0x%X\n", record.exceptionCode,
                  record.exceptionAddress, record.exceptionFlags);
    head << line;
    for (uint32_t i = 0; i < record.numberParameters && i < kExceptionMaximumParameters; ++i) {
      std::snprintf(line, sizeof line, "parameter %u 0x%llx\n", i,
                    static_cast<unsigned long long>(record.exceptionInformation[i]));
      head << line;
    }
    fault = static_cast<const sim::FaultContext*>(exception->contextRecord);
  }
  uint64_t stackPointer = 0;
#if defined(__x86_64__)
  if (fault != nullptr && fault->machineContext != nullptr) {
    const auto* context = static_cast<const ucontext_t*>(fault->machineContext);
    static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rdi",
                                         "rsi", "rbp", "rbx", "rdx", "rax", "rcx", "rsp", "rip"};
    for (int i = 0; i < 17; ++i) {
      std::snprintf(line, sizeof line, "register %s 0x%016llx\n", kNames[i],
                    static_cast<unsigned long long>(context->uc_mcontext.gregs[i]));
      head << line;
    }
    stackPointer = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
  }
#endif
  std::vector<StackFrameInfo> frames(64);
  uint32_t count = SimStackWalk(exception, frames.data(), 64);
  for (uint32_t i = 0; i < count; ++i) {
    head << "frame " << i << " " << frames[i].module << " " << frames[i].function << " " << frames[i].file << ":"
         << frames[i].line << "\n";
  }
  std::string procDir = "/proc/" + std::to_string(processId);
  std::ifstream mapsFile(procDir + "/maps");
  if (!mapsFile) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::vector<std::pair<uint64_t, uint64_t>> writable;
  head << "maps\n";
  for (std::string map; std::getline(mapsFile, map);) {
    head << map << "\n";
    unsigned long long begin = 0, end = 0;
    char permissions[8] = {};
    if (std::sscanf(map.c_str(), "%llx-%llx %7s", &begin, &end, permissions) == 3 && permissions[0] == 'r' &&
        permissions[1] == 'w' && map.find("[vvar]") == std::string::npos) {
      writable.emplace_back(begin, end);
    }
  }
  head << "end maps\n";
  if (!WriteText(file, head.str())) return false;

  int memory = ::open((procDir + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (memory < 0) return WriteText(file, "memory unavailable\n");
  uint64_t budget = kFullDumpLimit;
  bool ok = true;
  if ((dumpType & kMiniDumpWithFullMemory) != 0) {
    for (const auto& [begin, end] : writable) {
      if (!(ok = WriteMemory(file, memory, begin, end, &budget))) break;
    }
  } else if (stackPointer != 0) {
    uint64_t end = stackPointer + kStackWindow;
    if (fault != nullptr && fault->stackHigh != nullptr) {
      end = std::min<uint64_t>(end, reinterpret_cast<uintptr_t>(fault->stackHigh));
    }
    ok = WriteMemory(file, memory, stackPointer, end, &budget);
  }
  ::close(memory);
  return ok && WriteText(file, "end\n");
}

}  // namespace

namespace sim {

// GetProcAddress of the simulated DbgHelp (SimModule.cpp asks here for its module).
bool IsDbgHelpModule(ModuleHandle module) { return module == &g_dbghelpAnchor; }

void* DbgHelpProcAddress(const char* name) {
  struct Entry {
    const char* name;
    void* address;
  };
  static const Entry kEntries[] = {
      {"SymInitialize", reinterpret_cast<void*>(&SimSymInitialize)},
      {"SymSetOptions", reinterpret_cast<void*>(&SimSymSetOptions)},
      {"StackWalk64", reinterpret_cast<void*>(&SimStackWalk)},
      {"SymFunctionTableAccess64", reinterpret_cast<void*>(&SimModuleBase)},
      {"SymGetModuleBase64", reinterpret_cast<void*>(&SimModuleBase)},
      {"SymFromAddr", reinterpret_cast<void*>(&SimSymFromAddr)},
      {"SymGetLineFromAddr64", reinterpret_cast<void*>(&SimSymFromAddr)},
      {"MiniDumpWriteDump", reinterpret_cast<void*>(&SimMiniDump)},
  };
  if (name != nullptr) {
    if (auto missing = FaultPlan::Get("DbgHelpMissingExport"); missing && *missing == name) {
      SetLastError(kErrorProcNotFound);
      return nullptr;
    }
    for (const auto& entry : kEntries) {
      if (std::strcmp(entry.name, name) == 0) return entry.address;
    }
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

}  // namespace sim

ModuleHandle LoadSystemLibrary(const wchar_t* name) {
  std::wstring lower = name == nullptr ? L"" : name;
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  if (lower != L"dbghelp.dll" || sim::FaultPlan::IsSet("DbgHelpMissing")) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return &g_dbghelpAnchor;
}

uint32_t GetSystemDirectory(wchar_t* buffer, uint32_t size) {
  static const wchar_t kDirectory[] = L"C:\\Windows\\System32";
  uint32_t length = static_cast<uint32_t>(std::wcslen(kDirectory));
  if (buffer == nullptr || size <= length) return length + 1;
  std::wmemcpy(buffer, kDirectory, length + 1);
  return length;
}

bool SymInitialize(const DbgHelpEntryPoints& dbghelp, const char* searchPath) {
  if (dbghelp.symInitialize == nullptr) return false;
  if (dbghelp.symSetOptions != nullptr) reinterpret_cast<SymSetOptionsEntry>(dbghelp.symSetOptions)(0);
  return reinterpret_cast<SymInitializeEntry>(dbghelp.symInitialize)(searchPath);
}

uint32_t WalkStack(const DbgHelpEntryPoints& dbghelp, const ExceptionPointers* exception, StackFrameInfo* frames,
                   uint32_t maxFrames) {
  if (dbghelp.stackWalk64 == nullptr || !g_symbolsInitialised) return 0;
  return reinterpret_cast<StackWalkEntry>(dbghelp.stackWalk64)(exception, frames, maxFrames);
}

Handle OpenProcess(uint32_t /*access*/, uint32_t processId) {
  struct stat status {};
  std::string path = "/proc/" + std::to_string(processId);
  if (processId == 0 || ::stat(path.c_str(), &status) != 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  return sim::InsertHandle(std::make_shared<ProcessReference>(processId));
}

Handle GetCurrentProcess() { return InvalidHandleValue(); }

bool MiniDumpWriteDump(const DbgHelpEntryPoints& dbghelp, Handle process, uint32_t processId, Handle file,
                       uint32_t dumpType, uint32_t threadId, const ExceptionPointers* exception) {
  if (dbghelp.miniDumpWriteDump == nullptr) {
    SetLastError(kErrorProcNotFound);
    return false;
  }
  if (process != GetCurrentProcess()) {
    auto reference = sim::LookupHandleAs<ProcessReference>(process);
    if (!reference || reference->Id() != processId) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
  } else if (processId != GetCurrentProcessId()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (auto fault = sim::FaultPlan::Get("MiniDumpWriteFails")) {
    SetLastError(kErrorWriteFault);
    return false;
  }
  return reinterpret_cast<MiniDumpEntry>(dbghelp.miniDumpWriteDump)(processId, file, dumpType, threadId, exception);
}

}  // namespace tamber::platform
