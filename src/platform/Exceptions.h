// Structured exception seam: the process's unhandled-exception filter and vectored exception handlers,
// thread-local storage slots, and the thread a crash report runs on. The records have the layout of
// EXCEPTION_RECORD and EXCEPTION_POINTERS on 64-bit Windows; the filter and handler results are the
// EXCEPTION_* dispositions. The simulated guest raises the same records from POSIX signals.
#pragma once

#include <cstdint>

namespace tamber::platform {

// Exception codes.
constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionInPageError = 0xC0000006;
constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
constexpr uint32_t kExceptionNoncontinuable = 0xC0000025;
constexpr uint32_t kExceptionArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t kExceptionFltDivideByZero = 0xC000008E;
constexpr uint32_t kExceptionFltInvalidOperation = 0xC0000090;
constexpr uint32_t kExceptionFltOverflow = 0xC0000091;
constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094;
constexpr uint32_t kExceptionIntOverflow = 0xC0000095;
constexpr uint32_t kExceptionPrivilegedInstruction = 0xC0000096;
constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
constexpr uint32_t kStatusHeapCorruption = 0xC0000374;
constexpr uint32_t kStatusStackBufferOverrun = 0xC0000409;
constexpr uint32_t kStatusVerifierStop = 0xC0000421;
constexpr uint32_t kStatusFatalAppExit = 0x40000015;  // abort()
constexpr uint32_t kExceptionBreakpoint = 0x80000003;
constexpr uint32_t kExceptionSingleStep = 0x80000004;

// ExceptionFlags.
constexpr uint32_t kExceptionNoncontinuableFlag = 0x1;

// An access violation's first parameter: what the faulting instruction attempted.
constexpr uintptr_t kAccessRead = 0;
constexpr uintptr_t kAccessWrite = 1;
constexpr uintptr_t kAccessExecute = 8;  // a data-execution-prevention fault

// Dispositions of a filter or handler.
constexpr int32_t kExceptionContinueExecution = -1;
constexpr int32_t kExceptionContinueSearch = 0;
constexpr int32_t kExceptionExecuteHandler = 1;

constexpr uint32_t kExceptionMaximumParameters = 15;

struct ExceptionRecord {
  uint32_t exceptionCode = 0;
  uint32_t exceptionFlags = 0;
  ExceptionRecord* exceptionRecord = nullptr;
  void* exceptionAddress = nullptr;
  uint32_t numberParameters = 0;
  uintptr_t exceptionInformation[kExceptionMaximumParameters] = {};
};

// contextRecord is the platform's own thread context (CONTEXT on Windows), opaque to the agent.
struct ExceptionPointers {
  ExceptionRecord* exceptionRecord = nullptr;
  void* contextRecord = nullptr;
};

using TopLevelExceptionFilter = int32_t (*)(ExceptionPointers* exception);
using VectoredExceptionHandler = int32_t (*)(ExceptionPointers* exception);

// SetUnhandledExceptionFilter: the previous filter (null when there was none).
TopLevelExceptionFilter SetUnhandledExceptionFilter(TopLevelExceptionFilter filter);
// AddVectoredExceptionHandler: first true puts the handler at the front of the list, false at its end.
// A handle for RemoveVectoredExceptionHandler, null on failure.
void* AddVectoredExceptionHandler(bool first, VectoredExceptionHandler handler);
bool RemoveVectoredExceptionHandler(void* handle);

// Gets the calling thread ready to report its own faults: room on its stack for the handler after a
// stack overflow (SetThreadStackGuarantee; the simulated guest gives it an alternate signal stack).
void PrepareThreadForExceptions();

// TlsAlloc / TlsFree / TlsGetValue / TlsSetValue.
constexpr uint32_t kTlsOutOfIndexes = 0xFFFFFFFF;
uint32_t TlsAlloc();
bool TlsFree(uint32_t index);
void* TlsGetValue(uint32_t index);
bool TlsSetValue(uint32_t index, void* value);

// Runs routine(argument) on a new thread with a full stack of its own and waits for it at most
// timeoutMs. True when it finished in time. The faulting thread hands its report over this way: after a
// stack overflow it has almost no stack left, and it must not wait forever on anything.
bool RunOnReportThread(void (*routine)(void*), void* argument, uint32_t timeoutMs);

// Ends the process at once, from inside the dispatch of a fault no handler can recover from, with the
// fault's own outcome (its code as the exit code; the signal's default action in the simulated guest).
// Dispatching on after a stack overflow runs the frame handlers on a spent stack, where a second
// overflow can leave the process hung instead of ended.
[[noreturn]] void EndProcessForFault(uint32_t exceptionCode);

}  // namespace tamber::platform
