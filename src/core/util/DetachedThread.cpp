#include "core/util/DetachedThread.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/util/Singleton.h"
#include "core/util/System.h"

namespace tamber::core::util {
namespace {

struct RunningThreads {
  std::mutex lock;
  std::condition_variable ended;
  int count = 0;
};

RunningThreads& Running() {
  static auto* running = new RunningThreads;  // never destroyed: detached threads reach it at exit
  return *running;
}

void CountEnded() {
  auto& running = Running();
  std::lock_guard<std::mutex> guard(running.lock);
  --running.count;
  running.ended.notify_all();
}

void FinishDetachedThreadsForTest() {
  auto& running = Running();
  std::unique_lock<std::mutex> guard(running.lock);
  if (running.count == 0) return;
  guard.unlock();
  System::Instance()->SetShutdownEvent();  // ends their waits
  guard.lock();
  running.ended.wait(guard, [&running] { return running.count == 0; });
}

}  // namespace

bool StartDetachedThread(std::function<void()> work, std::string* error) {
  static const bool quiesceRegistered = (RegisterBeforeSingletonResetForTest(&FinishDetachedThreadsForTest), true);
  (void)quiesceRegistered;
  {
    std::lock_guard<std::mutex> guard(Running().lock);
    ++Running().count;
  }
  try {
    std::thread([work = std::move(work)] {
      work();
      CountEnded();
    }).detach();
  } catch (const std::system_error& failure) {
    CountEnded();
    if (error != nullptr) *error = failure.what();
    return false;
  }
  return true;
}

}  // namespace tamber::core::util
