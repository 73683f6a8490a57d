#include "platform/sim/eventlog/SimEventLog.h"

#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform::sim {
namespace {

constexpr uint32_t kErrorNotReady = 21;

struct EventSource {
  std::string name;
};

const char* TypeText(uint16_t type) {
  switch (type) {
    case kEventLogErrorType:
      return "Error";
    case kEventLogWarningType:
      return "Warning";
    default:
      return "Information";
  }
}

// One line a record: a line end inside a string is kept as "\n", a backslash as "\\".
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::filesystem::path EventLogFile(const std::filesystem::path& machine) {
  return machine / "eventlog" / "Application.log";
}

std::vector<EventLogRecord> ReadEventLog(const std::filesystem::path& machine, size_t count) {
  std::lock_guard<std::mutex> guard(FileLock());
  std::ifstream in(EventLogFile(machine));
  std::deque<EventLogRecord> records;
  std::string line;
  while (std::getline(in, line)) {
    // "<ms>\t<type>\t<source>\t<id>\t<text>"
    std::istringstream fields(line);
    EventLogRecord record;
    std::string ms, id;
    if (!std::getline(fields, ms, '\t') || !std::getline(fields, record.type, '\t') ||
        !std::getline(fields, record.source, '\t') || !std::getline(fields, id, '\t') ||
        !std::getline(fields, record.text)) {
      continue;
    }
    try {
      record.machineTimeMs = std::stoull(ms);
      record.eventId = static_cast<uint32_t>(std::stoul(id));
    } catch (const std::exception&) {
      continue;
    }
    records.push_back(std::move(record));
    if (records.size() > count) records.pop_front();
  }
  return {records.begin(), records.end()};
}

}  // namespace tamber::platform::sim

namespace tamber::platform {

EventSourceHandle RegisterEventSource(const wchar_t* sourceName) {
  if (sourceName == nullptr || *sourceName == L'\0') {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  if (!sim::Machine::IsBooted()) {
    SetLastError(sim::kErrorNotReady);
    return nullptr;
  }
  return new sim::EventSource{sim::NarrowUtf8(sourceName)};
}

bool ReportEvent(EventSourceHandle source, uint16_t type, uint16_t /*category*/, uint32_t eventId, uint16_t stringCount,
                 const wchar_t** strings) {
  if (source == nullptr || (stringCount > 0 && strings == nullptr)) {
    SetLastError(source == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
    return false;
  }
  if (!sim::Machine::IsBooted()) {
    SetLastError(sim::kErrorNotReady);
    return false;
  }
  std::string text;
  for (uint16_t i = 0; i < stringCount; ++i) {
    if (i > 0) text += "\n\n";
    if (strings[i] != nullptr) text += sim::NarrowUtf8(strings[i]);
  }
  const std::filesystem::path file = sim::EventLogFile(sim::Machine::Directory());
  std::lock_guard<std::mutex> guard(sim::FileLock());
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  std::ofstream out(file, std::ios::app);
  out << GetTickCount64() << '\t' << sim::TypeText(type) << '\t' << static_cast<sim::EventSource*>(source)->name << '\t'
      << eventId << '\t' << sim::Escape(text) << '\n';
  out.close();
  if (!out) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

bool DeregisterEventSource(EventSourceHandle source) {
  if (source == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  delete static_cast<sim::EventSource*>(source);
  return true;
}

}  // namespace tamber::platform
