// The agent's one logging call: Log(level, L"format", args...).
#pragma once

#include <functional>
#include <string>

#include "framework/log/Format.h"

namespace tamber::framework::log {

enum class LogLevel : int { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

// True when a message of this level passes the current filter (always true before initialisation).
bool IsLevelEnabled(LogLevel level);
// Formats and queues one message; never fails its caller.
void LogFormatted(LogLevel level, const wchar_t* format, const FormatArg* args, size_t count);

template <class... Args>
void Log(LogLevel level, const wchar_t* format, const Args&... args) {
  if (!IsLevelEnabled(level)) return;
  const FormatArg packed[] = {FormatArg(args)..., FormatArg()};
  LogFormatted(level, format, packed, sizeof...(Args));
}

// Blocks until every message queued so far is written (before the process ends abruptly).
void FlushLog();

// Test hook: called on the logging thread with every message that passed the filter, after formatting.
using LogObserver = std::function<void(LogLevel, const std::wstring&)>;
void SetLogObserver(LogObserver observer);

}  // namespace tamber::framework::log

namespace tamber {
using framework::log::Log;
using framework::log::LogLevel;
}  // namespace tamber
