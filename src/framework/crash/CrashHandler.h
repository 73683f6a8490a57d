// The framework's crash handler: on the first start of a framework thread it installs a process-wide
// unhandled-exception filter and a vectored exception handler. A fatal exception that reaches them is
// reported to the log with a stack trace, and one dump file of the process is written within the limits
// set under "HKLM\Software\Talvora\Quorvel\Dump". An exception tracker in a thread-local slot shared by
// every module of the process makes sure one exception gives at most one dump.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Exceptions.h"

namespace CORE {

// What the tracker of a thread knows about the exception it is handling.
struct ExceptionTracker {
  const void* exception = nullptr;  // the record being handled (its address identifies it)
  uint32_t code = 0;
  bool dumpWritten = false;
  bool reported = false;
};

// Installs the filter (keeping the one before it) and the vectored handler (at the end of the list),
// once per process, and gets the calling thread ready to report its own faults. Every framework thread
// calls this first thing.
void OnFrameworkThreadStart();
// The installation alone; later calls do nothing.
void InstallCrashHandler();

// The calling thread's tracker; creates the process's slot on first use. Null when no slot could be had
// (exceptions are then not tracked and dumps not de-duplicated).
ExceptionTracker* GetExceptionTracker();

// Writes one dump file of the process (0: this process) with the exception when given. True when the
// dump was written.
bool CreateMiniDump(uint32_t processId, const tamber::platform::ExceptionPointers* exception);

// The report of a fatal exception: the special cases, the report text with the stack trace, and the
// dump. The handlers run it on a thread of its own; tests call it directly.
void ReportFatalException(tamber::platform::ExceptionPointers* exception);

// The trace of the calling thread between the plain stack trace banners, or the line that says symbols
// are not available.
std::wstring CurrentStackTrace();

// Which exceptions are fatal: an error-severity system code, or abort(); never an application's own
// codes (C++ exceptions), breakpoints or debugger notifications.
bool IsFatalException(uint32_t code);
// Which the vectored handler reports itself, before any frame handler could take them: those no frame
// handler recovers from. Everything else is reported by the filter once no handler took it.
bool IsFatalBeforeFrameHandlers(uint32_t code);

// The dump folder ("%ProgramData%\Talvora\Quorvel\Dumps", expanded) and the program name dumps are
// named after (the executable's name without its extension).
std::wstring DumpDirectory();
std::wstring DumpProgramName();

// Test only: forgets that this process instance has a dump, what the calling thread's tracker holds, the
// loaded DbgHelp and the tracker's slot.
void ResetCrashHandlerForTest();

}  // namespace CORE
