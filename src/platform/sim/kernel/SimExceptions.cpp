// Structured exceptions over POSIX signals: SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT become
// exception records, dispatched to the vectored handlers in order and then to the unhandled-exception
// filter, on an alternate signal stack so that a stack overflow can be reported too. When no handler
// continues execution the process ends by the same signal, as an unhandled fault ends a Windows process.
#include "platform/sim/kernel/SimExceptions.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/stacktrace/safe_dump_to.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Exceptions.h"
#include "platform/Types.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELOCYN_SIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELOCYN_SIM_ASAN 1
#endif

namespace tamber::platform {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kMaxVectoredHandlers = 16;
constexpr size_t kAltStackSize = 256 * 1024;
constexpr size_t kStackGuardSlack = 64 * 1024;  // a fault this close below the stack is an overflow

std::atomic<TopLevelExceptionFilter> g_filter{nullptr};
std::array<std::atomic<VectoredExceptionHandler>, kMaxVectoredHandlers> g_handlers{};
std::mutex g_handlersMutex;  // changes only; the signal handler reads the atomics
std::once_flag g_signalsInstalled;

// What a fault needs of its thread, ready before the fault.
struct ThreadFaultState {
  void* altStack = nullptr;
  void* stackLow = nullptr;
  void* stackHigh = nullptr;
  ~ThreadFaultState() {
    if (altStack == nullptr) return;
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    ::sigaltstack(&disable, nullptr);
    ::munmap(altStack, kAltStackSize);
  }
};
thread_local ThreadFaultState t_faultState;

// Each thread dispatches its own faults from records of its own; a fault inside the dispatch on the
// same thread (the handler itself faulted) ends the process at once.
thread_local bool t_dispatching = false;
thread_local int t_signal = 0;  // the signal being dispatched
thread_local ExceptionRecord t_record;
thread_local sim::FaultContext t_context;

uint32_t CodeOf(int signal, const siginfo_t* info, const ucontext_t* context, uintptr_t* access, bool* overflow) {
  *overflow = false;
  switch (signal) {
    case SIGSEGV: {
      auto fault = reinterpret_cast<uintptr_t>(info->si_addr);
      auto low = reinterpret_cast<uintptr_t>(t_faultState.stackLow);
      if (low != 0 && fault < low + 4096 && fault + kStackGuardSlack >= low) {
        *overflow = true;
        return kExceptionStackOverflow;
      }
#if defined(__x86_64__)
      auto pc = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
      bool write = (context->uc_mcontext.gregs[REG_ERR] & 0x2) != 0;
      *access = fault == pc ? kAccessExecute : (write ? kAccessWrite : kAccessRead);
#else
      (void)context;
      *access = kAccessRead;
#endif
      return kExceptionAccessViolation;
    }
    case SIGBUS:
      return kExceptionInPageError;
    case SIGILL:
      return info->si_code == ILL_PRVOPC ? kExceptionPrivilegedInstruction : kExceptionIllegalInstruction;
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV:
          return kExceptionIntDivideByZero;
        case FPE_INTOVF:
          return kExceptionIntOverflow;
        case FPE_FLTDIV:
          return kExceptionFltDivideByZero;
        case FPE_FLTOVF:
          return kExceptionFltOverflow;
        default:
          return kExceptionFltInvalidOperation;
      }
    default:
      return kStatusFatalAppExit;
  }
}

void EndBySignal(int signal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  sigset_t unblock;
  ::sigemptyset(&unblock);
  ::sigaddset(&unblock, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

void OnFaultSignal(int signal, siginfo_t* info, void* rawContext) {
  int savedErrno = errno;
  if (t_dispatching) EndBySignal(signal);
  t_dispatching = true;
  t_signal = signal;
  auto* context = static_cast<ucontext_t*>(rawContext);
  uintptr_t access = kAccessRead;
  bool overflow = false;
  t_record = ExceptionRecord{};
  t_record.exceptionCode = CodeOf(signal, info, context, &access, &overflow);
  t_record.exceptionFlags = kExceptionNoncontinuableFlag;
#if defined(__x86_64__)
  t_record.exceptionAddress = reinterpret_cast<void*>(context->uc_mcontext.gregs[REG_RIP]);
#endif
  if (t_record.exceptionCode == kExceptionAccessViolation || overflow) {
    t_record.numberParameters = 2;
    t_record.exceptionInformation[0] = overflow ? kAccessWrite : access;
    t_record.exceptionInformation[1] = reinterpret_cast<uintptr_t>(info->si_addr);
  }
  t_context = sim::FaultContext{};
  t_context.machineContext = rawContext;
  t_context.stackLow = t_faultState.stackLow;
  t_context.stackHigh = t_faultState.stackHigh;
  // Return addresses only, into static storage: nothing here allocates (the signal may have come from
  // inside the allocator).
  t_context.frameCount = boost::stacktrace::safe_dump_to(0, t_context.frames, sizeof(t_context.frames));
  ExceptionPointers pointers{&t_record, &t_context};

  for (auto& slot : g_handlers) {
    VectoredExceptionHandler handler = slot.load();
    if (handler != nullptr && handler(&pointers) == kExceptionContinueExecution) {
      t_dispatching = false;
      errno = savedErrno;
      return;
    }
  }
  TopLevelExceptionFilter filter = g_filter.load();
  if (filter != nullptr && filter(&pointers) == kExceptionContinueExecution) {
    t_dispatching = false;
    errno = savedErrno;
    return;
  }
  EndBySignal(signal);
}

void InstallSignals() {
  if (sim::SanitizerOwnsFaultSignals()) return;
  std::call_once(g_signalsInstalled, [] {
    for (int signal : kFaultSignals) {
      struct sigaction action {};
      action.sa_sigaction = &OnFaultSignal;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK;
      ::sigemptyset(&action.sa_mask);
      ::sigaction(signal, &action, nullptr);
    }
    // The unwinder loads its library on first use: not inside a fault.
    void* warm[4];
    boost::stacktrace::safe_dump_to(0, warm, sizeof(warm));
  });
}

struct TlsTable {
  std::mutex mutex;
  std::array<bool, 128> used{};
};
TlsTable& Tls() {
  static auto* table = new TlsTable;
  return *table;
}
thread_local std::array<void*, 128> t_tlsValues{};

}  // namespace

namespace sim {

namespace {
volatile bool g_deeper = true;
int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
volatile int g_seven = 7;  // not 1: the compiler turns 1 / x into a comparison that never faults

int Recurse(int depth) {
  volatile char pad[4096];
  pad[0] = static_cast<char>(depth);
  if (g_deeper) return Recurse(depth + 1) + pad[0];
  return pad[0];
}
}  // namespace

void RaiseDeliberateFault(const std::string& kind) {
  if (kind == "stack-overflow") {
    Recurse(0);
  } else if (kind == "abort") {
    std::abort();
  } else if (kind == "divide") {
    g_zero = g_seven / g_zero;
  }
  *g_nowhere = 1;
  std::abort();
}

void FaultIfPlanned(const std::string& valueName) {
  if (!Machine::IsBooted()) return;
  auto plan = FaultPlan::Get("AgentFault");
  if (!plan) return;
  std::string target = *plan;
  std::string kind = "null-write";
  if (auto colon = target.find(':'); colon != std::string::npos) {
    kind = target.substr(colon + 1);
    target.erase(colon);
  }
  if (target == valueName) RaiseDeliberateFault(kind);
}

bool SanitizerOwnsFaultSignals() {
#if defined(VELOCYN_SIM_ASAN)
  return true;
#else
  return false;
#endif
}

}  // namespace sim

TopLevelExceptionFilter SetUnhandledExceptionFilter(TopLevelExceptionFilter filter) {
  InstallSignals();
  return g_filter.exchange(filter);
}

void* AddVectoredExceptionHandler(bool first, VectoredExceptionHandler handler) {
  if (handler == nullptr) return nullptr;
  InstallSignals();
  std::lock_guard<std::mutex> guard(g_handlersMutex);
  size_t count = 0;
  while (count < kMaxVectoredHandlers && g_handlers[count].load() != nullptr) ++count;
  if (count == kMaxVectoredHandlers) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  if (first) {
    for (size_t i = count; i > 0; --i) g_handlers[i].store(g_handlers[i - 1].load());
    g_handlers[0].store(handler);
  } else {
    g_handlers[count].store(handler);
  }
  return reinterpret_cast<void*>(handler);
}

bool RemoveVectoredExceptionHandler(void* handle) {
  std::lock_guard<std::mutex> guard(g_handlersMutex);
  for (size_t i = 0; i < kMaxVectoredHandlers; ++i) {
    if (reinterpret_cast<void*>(g_handlers[i].load()) != handle || handle == nullptr) continue;
    for (size_t j = i; j + 1 < kMaxVectoredHandlers; ++j) g_handlers[j].store(g_handlers[j + 1].load());
    g_handlers[kMaxVectoredHandlers - 1].store(nullptr);
    return true;
  }
  return false;
}

void PrepareThreadForExceptions() {
  ThreadFaultState& state = t_faultState;
  if (state.stackLow == nullptr) {
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) == 0) {
      void* low = nullptr;
      size_t size = 0;
      if (::pthread_attr_getstack(&attributes, &low, &size) == 0) {
        state.stackLow = low;
        state.stackHigh = static_cast<char*>(low) + size;
      }
      ::pthread_attr_destroy(&attributes);
    }
  }
  if (state.altStack != nullptr || sim::SanitizerOwnsFaultSignals()) return;
  void* stack = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return;
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = kAltStackSize;
  if (::sigaltstack(&alternate, nullptr) != 0) {
    ::munmap(stack, kAltStackSize);
    return;
  }
  state.altStack = stack;
}

uint32_t TlsAlloc() {
  TlsTable& table = Tls();
  std::lock_guard<std::mutex> guard(table.mutex);
  for (uint32_t i = 0; i < table.used.size(); ++i) {
    if (!table.used[i]) {
      table.used[i] = true;
      return i;
    }
  }
  SetLastError(kErrorNoMoreItems);
  return kTlsOutOfIndexes;
}

bool TlsFree(uint32_t index) {
  TlsTable& table = Tls();
  std::lock_guard<std::mutex> guard(table.mutex);
  if (index >= table.used.size() || !table.used[index]) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  table.used[index] = false;
  return true;
}

void* TlsGetValue(uint32_t index) {
  if (index >= t_tlsValues.size()) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  SetLastError(kErrorSuccess);
  return t_tlsValues[index];
}

bool TlsSetValue(uint32_t index, void* value) {
  if (index >= t_tlsValues.size()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  t_tlsValues[index] = value;
  return true;
}

namespace {

struct ReportThread {
  void (*routine)(void*);
  void* argument;
  sem_t done;
};

void* ReportThreadMain(void* raw) {
  auto* report = static_cast<ReportThread*>(raw);
  report->routine(report->argument);
  ::sem_post(&report->done);
  return nullptr;
}

}  // namespace

void EndProcessForFault(uint32_t exceptionCode) {
  if (t_dispatching) EndBySignal(t_signal);
  ::_exit(static_cast<int>(exceptionCode & 0xFFu));  // outside a dispatch there is no signal to end by
}

bool RunOnReportThread(void (*routine)(void*), void* argument, uint32_t timeoutMs) {
  // Static: the faulting thread gives up after the time-out while the report thread may still use it.
  static ReportThread report;
  report.routine = routine;
  report.argument = argument;
  if (::sem_init(&report.done, 0, 0) != 0) return false;
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, 8 * 1024 * 1024);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  bool started = ::pthread_create(&thread, &attributes, &ReportThreadMain, &report) == 0;
  ::pthread_attr_destroy(&attributes);
  if (!started) return false;
  timespec deadline{};
  ::clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (::sem_timedwait(&report.done, &deadline) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace tamber::platform
