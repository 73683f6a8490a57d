// The line layout and file naming of the log writer, as pure functions.
//
//   2024-05-01T10:00:00.123+01:00 DEBUG (1A2C-0B10) <2832> [tlv-velocyn-ga] text\r\n
//
// time stamp, level, " (process-thread)", " <thread name> [module] ", the message text. The process id
// prints in hex like the thread id ("%04X"), so both parts of the pair read alike. The thread name
// is the one a thread gave itself through SetLogThreadName, else its id in decimal; the module is
// the executable's name without its extension.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace tamber::framework::log {

// "TRACE", "DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"; "UNKNOWN" for any other number.
std::string_view LevelName(int level);

// The local time of a UTC file time (100 ns since 1601) for a bias in minutes (UTC = local + bias).
platform::SystemTime LocalTimeFromFileTime(uint64_t fileTime, int32_t biasMinutes);

// "%04d-%02d-%02dT%02d:%02d:%02d.%03d" then "Z" for a zero offset or "%c%02d:%02d" (sign, hours and
// minutes of the offset from UTC; a negative bias is ahead of UTC and prints "+").
void AppendTimeStamp(std::string& out, const platform::SystemTime& local, int32_t biasMinutes);
// The offset part alone ("Z", "+01:00", "-05:30").
void AppendUtcOffset(std::string& out, int32_t biasMinutes);

// " (%04X-%04X)" from the low 16 bits with truncate; otherwise " (" + process id + "-%04X)", or
// "-%X)" for a thread id above 0xFFFF.
void AppendIdentity(std::string& out, uint32_t processId, uint32_t threadId, bool truncate);

// A whole line from its parts, ended by CR LF; the text is wide and written as UTF-8.
void AppendLine(std::string& out, const platform::SystemTime& local, int32_t biasMinutes, int level, uint32_t processId,
                uint32_t threadId, bool truncate, std::wstring_view threadName, std::wstring_view module,
                std::wstring_view text);

// "YYYY-MM-DD-HHMMSS": the creation part of a log file name.
std::wstring FileTimePart(const platform::SystemTime& local);
// "%s%s-%s%s": directory (with its trailing backslash), base name, creation time, ".txt".
std::wstring LogFileName(std::wstring_view directory, std::wstring_view base, const platform::SystemTime& created);
// Whether a file name has the shape base + "-????-??-??-??????.txt" (base compared without case).
bool IsLogFileName(std::wstring_view name, std::wstring_view base);
// The find pattern after the base name for the files of that shape (escaped: "??" opens a trigraph).
inline constexpr wchar_t kLogFileShape[] = L"-\?\?\?\?-\?\?-\?\?-\?\?\?\?\?\?.txt";

}  // namespace tamber::framework::log
