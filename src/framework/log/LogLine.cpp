#include "framework/log/LogLine.h"

#include <chrono>

#include "framework/log/Utf8.h"

namespace tamber::framework::log {
namespace {

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

void AppendDigits(std::string& out, uint32_t value, int width) {
  char buffer[10];
  int n = 0;
  do {
    buffer[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 10);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buffer[--n]);
}

void AppendHex(std::string& out, uint32_t value, int width) {
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buffer[--n]);
}

wchar_t Fold(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

}  // namespace

std::string_view LevelName(int level) {
  switch (level) {
    case 0:
      return "TRACE";
    case 1:
      return "DEBUG";
    case 2:
      return "INFO ";
    case 3:
      return "WARN ";
    case 4:
      return "ERROR";
    case 5:
      return "FATAL";
    default:
      return "UNKNOWN";
  }
}

platform::SystemTime LocalTimeFromFileTime(uint64_t fileTime, int32_t biasMinutes) {
  using namespace std::chrono;
  int64_t unixMs = static_cast<int64_t>(fileTime / 10000) - static_cast<int64_t>(kFileTimeUnixEpoch / 10000) -
                   static_cast<int64_t>(biasMinutes) * 60000;
  sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(unixMs)));
  year_month_day ymd{day};
  int64_t msOfDay = unixMs - duration_cast<milliseconds>(day.time_since_epoch()).count();
  platform::SystemTime out{};
  out.year = static_cast<uint16_t>(static_cast<int>(ymd.year()));
  out.month = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
  out.day = static_cast<uint16_t>(static_cast<unsigned>(ymd.day()));
  out.dayOfWeek = static_cast<uint16_t>(weekday{day}.c_encoding());
  out.hour = static_cast<uint16_t>(msOfDay / 3600000);
  out.minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
  out.second = static_cast<uint16_t>(msOfDay / 1000 % 60);
  out.milliseconds = static_cast<uint16_t>(msOfDay % 1000);
  return out;
}

void AppendUtcOffset(std::string& out, int32_t biasMinutes) {
  if (biasMinutes == 0) {
    out.push_back('Z');
    return;
  }
  // Local time = UTC - bias, so the offset from UTC is -bias.
  out.push_back(biasMinutes < 0 ? '+' : '-');
  uint32_t minutes = static_cast<uint32_t>(biasMinutes < 0 ? -static_cast<int64_t>(biasMinutes) : biasMinutes);
  AppendDigits(out, minutes / 60, 2);
  out.push_back(':');
  AppendDigits(out, minutes % 60, 2);
}

void AppendTimeStamp(std::string& out, const platform::SystemTime& local, int32_t biasMinutes) {
  AppendDigits(out, local.year, 4);
  out.push_back('-');
  AppendDigits(out, local.month, 2);
  out.push_back('-');
  AppendDigits(out, local.day, 2);
  out.push_back('T');
  AppendDigits(out, local.hour, 2);
  out.push_back(':');
  AppendDigits(out, local.minute, 2);
  out.push_back(':');
  AppendDigits(out, local.second, 2);
  out.push_back('.');
  AppendDigits(out, local.milliseconds, 3);
  AppendUtcOffset(out, biasMinutes);
}

void AppendIdentity(std::string& out, uint32_t processId, uint32_t threadId, bool truncate) {
  out.append(" (");
  if (truncate) {
    AppendHex(out, processId & 0xFFFF, 4);
    out.push_back('-');
    AppendHex(out, threadId & 0xFFFF, 4);
  } else {
    AppendHex(out, processId, 4);
    out.push_back('-');
    AppendHex(out, threadId, threadId > 0xFFFF ? 1 : 4);
  }
  out.push_back(')');
}

void AppendLine(std::string& out, const platform::SystemTime& local, int32_t biasMinutes, int level, uint32_t processId,
                uint32_t threadId, bool truncate, std::wstring_view threadName, std::wstring_view module,
                std::wstring_view text) {
  AppendTimeStamp(out, local, biasMinutes);
  out.push_back(' ');
  out.append(LevelName(level));
  AppendIdentity(out, processId, threadId, truncate);
  out.append(" <");
  AppendWideAsUtf8(out, threadName);
  out.append("> [");
  AppendWideAsUtf8(out, module);
  out.append("] ");
  AppendWideAsUtf8(out, text);
  out.append("\r\n");
}

std::wstring FileTimePart(const platform::SystemTime& local) {
  std::string text;
  AppendDigits(text, local.year, 4);
  text.push_back('-');
  AppendDigits(text, local.month, 2);
  text.push_back('-');
  AppendDigits(text, local.day, 2);
  text.push_back('-');
  AppendDigits(text, local.hour, 2);
  AppendDigits(text, local.minute, 2);
  AppendDigits(text, local.second, 2);
  return std::wstring(text.begin(), text.end());
}

std::wstring LogFileName(std::wstring_view directory, std::wstring_view base, const platform::SystemTime& created) {
  std::wstring name(directory);
  name.append(base);
  name.push_back(L'-');
  name.append(FileTimePart(created));
  name.append(L".txt");
  return name;
}

bool IsLogFileName(std::wstring_view name, std::wstring_view base) {
  constexpr std::wstring_view kShape = kLogFileShape;
  if (name.size() != base.size() + kShape.size()) return false;
  for (size_t i = 0; i < base.size(); ++i) {
    if (Fold(name[i]) != Fold(base[i])) return false;
  }
  for (size_t i = 0; i < kShape.size(); ++i) {
    wchar_t c = name[base.size() + i];
    if (kShape[i] == L'?') {
      if (c < L'0' || c > L'9') return false;
    } else if (Fold(c) != Fold(kShape[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace tamber::framework::log
