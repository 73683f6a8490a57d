// Structured exceptions, thread-local storage and the report thread: the Win32 calls themselves. The
// agent's filter and handler take the seam's records, which have the system's layout; a trampoline of the
// system's signature passes them on. abort() is turned into an exception (as the C runtime would only
// end the process), so that it is reported like any other fatal fault.
#include "platform/Exceptions.h"
#include "platform/win32/Win32Api.h"

#include <atomic>
#include <csignal>
#include <cstddef>

namespace tamber::platform {
namespace {

static_assert(sizeof(ExceptionRecord) == sizeof(EXCEPTION_RECORD));
static_assert(offsetof(ExceptionRecord, exceptionAddress) == offsetof(EXCEPTION_RECORD, ExceptionAddress));
static_assert(offsetof(ExceptionRecord, numberParameters) == offsetof(EXCEPTION_RECORD, NumberParameters));
static_assert(offsetof(ExceptionRecord, exceptionInformation) == offsetof(EXCEPTION_RECORD, ExceptionInformation));
static_assert(sizeof(ExceptionPointers) == sizeof(EXCEPTION_POINTERS));

std::atomic<TopLevelExceptionFilter> g_filter{nullptr};
LPTOP_LEVEL_EXCEPTION_FILTER g_systemPrevious = nullptr;
constexpr size_t kMaxHandlers = 16;
std::atomic<VectoredExceptionHandler> g_handlers[kMaxHandlers];

LONG WINAPI FilterTrampoline(EXCEPTION_POINTERS* exception) {
  TopLevelExceptionFilter filter = g_filter.load();
  if (filter == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  return filter(reinterpret_cast<ExceptionPointers*>(exception));
}

template <size_t N>
LONG WINAPI HandlerTrampoline(EXCEPTION_POINTERS* exception) {
  VectoredExceptionHandler handler = g_handlers[N].load();
  if (handler == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  return handler(reinterpret_cast<ExceptionPointers*>(exception));
}

PVECTORED_EXCEPTION_HANDLER TrampolineFor(size_t index) {
  static constexpr PVECTORED_EXCEPTION_HANDLER table[kMaxHandlers] = {
      &HandlerTrampoline<0>,  &HandlerTrampoline<1>,  &HandlerTrampoline<2>,  &HandlerTrampoline<3>,
      &HandlerTrampoline<4>,  &HandlerTrampoline<5>,  &HandlerTrampoline<6>,  &HandlerTrampoline<7>,
      &HandlerTrampoline<8>,  &HandlerTrampoline<9>,  &HandlerTrampoline<10>, &HandlerTrampoline<11>,
      &HandlerTrampoline<12>, &HandlerTrampoline<13>, &HandlerTrampoline<14>, &HandlerTrampoline<15>};
  return table[index];
}

void OnAbortSignal(int) { ::RaiseException(kStatusFatalAppExit, EXCEPTION_NONCONTINUABLE, 0, nullptr); }

}  // namespace

TopLevelExceptionFilter SetUnhandledExceptionFilter(TopLevelExceptionFilter filter) {
  TopLevelExceptionFilter previous = g_filter.exchange(filter);
  if (filter != nullptr) {
    LPTOP_LEVEL_EXCEPTION_FILTER system = ::SetUnhandledExceptionFilter(&FilterTrampoline);
    if (system != &FilterTrampoline) g_systemPrevious = system;
    std::signal(SIGABRT, &OnAbortSignal);
  } else {
    ::SetUnhandledExceptionFilter(g_systemPrevious);
  }
  // A filter of someone else's before ours is not one the seam can hand back; the caller keeps ours.
  return previous;
}

void* AddVectoredExceptionHandler(bool first, VectoredExceptionHandler handler) {
  if (handler == nullptr) return nullptr;
  for (size_t i = 0; i < kMaxHandlers; ++i) {
    VectoredExceptionHandler expected = nullptr;
    if (g_handlers[i].compare_exchange_strong(expected, handler)) {
      void* handle = ::AddVectoredExceptionHandler(first ? 1 : 0, TrampolineFor(i));
      if (handle == nullptr) g_handlers[i] = nullptr;
      return handle;
    }
  }
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

bool RemoveVectoredExceptionHandler(void* handle) { return ::RemoveVectoredExceptionHandler(handle) != 0; }

void PrepareThreadForExceptions() {
  ULONG guarantee = 64 * 1024;
  ::SetThreadStackGuarantee(&guarantee);
}

uint32_t TlsAlloc() { return ::TlsAlloc(); }
bool TlsFree(uint32_t index) { return ::TlsFree(index) != FALSE; }
void* TlsGetValue(uint32_t index) { return ::TlsGetValue(index); }
bool TlsSetValue(uint32_t index, void* value) { return ::TlsSetValue(index, value) != FALSE; }

namespace {

struct ReportThread {
  void (*routine)(void*);
  void* argument;
};

DWORD WINAPI ReportThreadMain(void* raw) {
  auto* report = static_cast<ReportThread*>(raw);
  report->routine(report->argument);
  return 0;
}

}  // namespace

bool RunOnReportThread(void (*routine)(void*), void* argument, uint32_t timeoutMs) {
  static ReportThread report;  // outlives a report that overran its time
  report.routine = routine;
  report.argument = argument;
  HANDLE thread = ::CreateThread(nullptr, 8 * 1024 * 1024, &ReportThreadMain, &report, 0, nullptr);
  if (thread == nullptr) return false;
  bool finished = ::WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
  ::CloseHandle(thread);
  return finished;
}

void EndProcessForFault(uint32_t exceptionCode) {
  ::TerminateProcess(::GetCurrentProcess(), exceptionCode);
  ::ExitProcess(exceptionCode);  // not reached: TerminateProcess of the own process does not return
}

}  // namespace tamber::platform
