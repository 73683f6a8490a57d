#include "support/TestEnvironment.h"

namespace tamber::test {

LogCapture::LogCapture() {
  framework::log::SetLogObserver([this](LogLevel level, const std::wstring& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.push_back({level, text});
  });
}

LogCapture::~LogCapture() { framework::log::SetLogObserver(nullptr); }

std::vector<LogCapture::Entry> LogCapture::Entries() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_;
}

size_t LogCapture::Count(LogLevel level, const std::wstring& fragment) const {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t count = 0;
  for (const auto& entry : entries_) {
    if (entry.level == level && entry.text.find(fragment) != std::wstring::npos) ++count;
  }
  return count;
}

}  // namespace tamber::test
