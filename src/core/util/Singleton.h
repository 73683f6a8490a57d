// Process-wide services: one instance per class, created on first use under a lock of that class and
// kept until the process ends. Tests that boot the simulated machine several times in one process reset
// them between boots, because what they cache (open keys, handles) belongs to the boot that made it.
#pragma once

#include <atomic>
#include <mutex>

namespace tamber::core::util {

namespace detail {
// Remembers how to reset a singleton class that has an instance; the newest is reset first.
void RegisterSingletonReset(void (*reset)());
}  // namespace detail

// Test only: quiesce runs at the start of every ResetSingletonsForTest, before any instance goes; it
// lets threads that outlive their owners (the completion worker) finish first. Registered once.
void RegisterBeforeSingletonResetForTest(void (*quiesce)());

// Test only: destroys every singleton instance made so far, newest first, so that the next use builds
// fresh ones. No other thread may be using them.
void ResetSingletonsForTest();

template <class T>
class Singleton {
 public:
  // The instance, created on the first call. Classes make Singleton<T> a friend and keep their
  // constructor private.
  static T* Instance() {
    T* instance = Slot().load(std::memory_order_acquire);
    if (instance != nullptr) return instance;
    std::lock_guard<std::mutex> guard(Lock());
    instance = Slot().load(std::memory_order_relaxed);
    if (instance == nullptr) {
      instance = new T();
      Slot().store(instance, std::memory_order_release);
      detail::RegisterSingletonReset(&Singleton::ResetForTest);
    }
    return instance;
  }

  // Test only: destroys the instance (if any); the next Instance() makes a new one.
  static void ResetForTest() {
    T* old = nullptr;
    {
      std::lock_guard<std::mutex> guard(Lock());
      old = Slot().exchange(nullptr, std::memory_order_acq_rel);
    }
    delete old;
  }

  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;

 protected:
  Singleton() = default;
  ~Singleton() = default;

 private:
  // Never destroyed: threads may still reach the instance while static destructors run at exit.
  static std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
  }
  static std::atomic<T*>& Slot() {
    static std::atomic<T*> slot{nullptr};
    return slot;
  }
};

}  // namespace tamber::core::util
