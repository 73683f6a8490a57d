// Test support shared by both tiers.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "framework/log/Log.h"

namespace tamber::test {

::testing::Environment* CreateTestEnvironment();

// A fresh guest for each test. On the simulated guest: a new machine directory, booted in this
// process, removed afterwards. On Windows: the real machine (under Wine, the run's own prefix) with
// the agent's registry keys removed before the test.
class GuestTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Records every message that passes the log filter while it lives.
class LogCapture {
 public:
  struct Entry {
    LogLevel level;
    std::wstring text;
  };
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Entry> Entries() const;
  // Number of messages at this level whose text contains the fragment.
  size_t Count(LogLevel level, const std::wstring& fragment) const;
  bool Contains(LogLevel level, const std::wstring& fragment) const { return Count(level, fragment) > 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace tamber::test
