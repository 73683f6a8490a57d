// The simulated machine's Application event log: a text file of the machine directory
// ("eventlog/Application.log"), one event a line, durable once written as a closed file is.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tamber::platform::sim {

struct EventLogRecord {
  uint64_t machineTimeMs = 0;
  std::string type;  // "Error", "Warning" or "Information"
  std::string source;
  uint32_t eventId = 0;
  std::string text;  // the event's strings, joined by a blank line; line ends kept as "\n" escapes
};

std::filesystem::path EventLogFile(const std::filesystem::path& machine);
// The last count records of a machine's Application log, oldest first; malformed lines are skipped.
std::vector<EventLogRecord> ReadEventLog(const std::filesystem::path& machine, size_t count);

}  // namespace tamber::platform::sim
