// Reports the log writer's own failures to the Windows Application event log: a service has no console,
// so a failure to open or write its log file would otherwise leave no trace. Rate-limited, so a log
// directory that keeps failing cannot flood the event log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/EventLog.h"

namespace tamber::framework::log {

class EventLogReporter {
 public:
  static constexpr uint32_t kMaxReportsPerWindow = 5;
  static constexpr uint64_t kWindowMs = 60000;
  static constexpr uint32_t kEventId = 1;

  explicit EventLogReporter(std::wstring sourceName);
  ~EventLogReporter();
  EventLogReporter(const EventLogReporter&) = delete;
  EventLogReporter& operator=(const EventLogReporter&) = delete;

  // Reports text as an error event unless this window's share is used up; true when it was reported.
  // The first report of a later window says how many were held back.
  bool Report(const std::wstring& text);

 private:
  bool Send(const std::wstring& text);  // under lock_

  std::mutex lock_;
  std::wstring sourceName_;
  platform::EventSourceHandle source_ = nullptr;  // registered at the first report
  uint64_t windowStartMs_ = 0;
  uint32_t reportsInWindow_ = 0;
  uint32_t heldBack_ = 0;
  bool started_ = false;
};

}  // namespace tamber::framework::log
