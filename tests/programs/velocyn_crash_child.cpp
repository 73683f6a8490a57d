// A program that crashes on purpose, for the crash handler's tests.
//   velocyn_crash_child MODE [--hold-log-lock]
// MODE: null-write, stack-overflow, abort, divide (each ends the process by that fault, after the crash
// handler's report and dump), or caught-exceptions (throws and catches a thousand C++ exceptions, then
// exits with 0). With --hold-log-lock a second thread holds the log queue's lock when the fault comes,
// as a thread that crashed in the middle of a message would.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "framework/crash/CrashHandler.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"

#ifndef _WIN32
#include "platform/sim/machine/SimMachine.h"
#endif

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

void HoldLogLock() {
  std::mutex mutex;
  std::condition_variable held;
  bool ready = false;
  std::thread holder([&] {
    tamber::framework::log::HoldLogQueueLockForTest(true);
    {
      std::lock_guard<std::mutex> guard(mutex);
      ready = true;
    }
    held.notify_one();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  });
  holder.detach();
  std::unique_lock<std::mutex> lock(mutex);
  held.wait(lock, [&] { return ready; });
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  if (!tamber::platform::sim::Machine::EnsureBooted()) {
    std::fprintf(stderr, "velocyn_crash_child: VELOCYN_SIM_MACHINE must name a simulated machine directory\n");
    return 2;
  }
#endif
  if (argc < 2) {
    std::fprintf(stderr, "usage: velocyn_crash_child MODE [--hold-log-lock]\n");
    return 2;
  }
  const std::string mode = argv[1];
  CORE::OnFrameworkThreadStart();
  tamber::Log(tamber::LogLevel::Info, L"velocyn_crash_child: %S", mode);
  tamber::framework::log::FlushLog();
  if (argc > 2 && std::string(argv[2]) == "--hold-log-lock") HoldLogLock();

  if (mode == "caught-exceptions") {
    int caught = 0;
    for (int i = 0; i < 1000; ++i) {
      try {
        throw std::runtime_error("expected");
      } catch (const std::exception&) {
        ++caught;
      }
    }
    tamber::Log(tamber::LogLevel::Info, L"velocyn_crash_child: caught %d", caught);
    tamber::framework::log::ShutdownLog();
    return caught == 1000 ? 0 : 1;
  }
  if (mode == "stack-overflow") {
    Recurse(0);
  } else if (mode == "abort") {
    std::abort();
  } else if (mode == "divide") {
    g_zero = g_seven / g_zero;
  } else if (mode == "null-write") {
    *g_nowhere = 1;
  }
  std::fprintf(stderr, "velocyn_crash_child: unknown mode %s\n", mode.c_str());
  return 2;
}
