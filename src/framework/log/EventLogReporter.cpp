#include "framework/log/EventLogReporter.h"

#include "platform/Clock.h"

namespace tamber::framework::log {

EventLogReporter::EventLogReporter(std::wstring sourceName) : sourceName_(std::move(sourceName)) {}

EventLogReporter::~EventLogReporter() {
  if (source_ != nullptr) platform::DeregisterEventSource(source_);
}

bool EventLogReporter::Report(const std::wstring& text) {
  std::lock_guard<std::mutex> guard(lock_);
  const uint64_t now = platform::GetTickCount64();
  if (!started_ || now - windowStartMs_ >= kWindowMs) {
    started_ = true;
    windowStartMs_ = now;
    reportsInWindow_ = 0;
    if (heldBack_ > 0) {
      const uint32_t heldBack = heldBack_;
      heldBack_ = 0;
      ++reportsInWindow_;
      Send(L"Velocyn Agent log writer: " + std::to_wstring(heldBack) +
           L" further reports of its own failures were not written to the event log");
    }
  }
  if (reportsInWindow_ >= kMaxReportsPerWindow) {
    ++heldBack_;
    return false;
  }
  ++reportsInWindow_;
  return Send(text);
}

bool EventLogReporter::Send(const std::wstring& text) {
  if (source_ == nullptr) source_ = platform::RegisterEventSource(sourceName_.c_str());
  if (source_ == nullptr) return false;
  const wchar_t* strings[] = {text.c_str()};
  return platform::ReportEvent(source_, platform::kEventLogErrorType, /*category=*/0, kEventId, 1, strings);
}

}  // namespace tamber::framework::log
