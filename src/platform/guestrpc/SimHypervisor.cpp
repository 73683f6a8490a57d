#include "platform/guestrpc/SimHypervisor.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <system_error>

namespace tamber::platform::guestrpc {
namespace {

constexpr std::string_view kGuestInfoPrefix = "guestinfo.";

// One lock for every simulated hypervisor of the process: commands from several agent threads must not
// interleave their read-modify-write of the variables file.
std::mutex& FileLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// Stored as "name=value" lines; bytes that would break a line, and the separators, are written \xHH.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '=') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
    unsigned value = 0;
    for (size_t k = i + 2; k < i + 4; ++k) {
      char c = text[k];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<unsigned>(c - '0');
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<unsigned>(c - 'A' + 10);
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<unsigned>(c - 'a' + 10);
      else
        return std::nullopt;
    }
    out += static_cast<char>(value);
    i += 3;
  }
  return out;
}

// A variable name the hypervisor accepts: printable, no blanks, not too long.
bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > SimHypervisor::kMaxNameSize) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string Timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto days = floor<std::chrono::days>(now);
  year_month_day date{days};
  hh_mm_ss<milliseconds> time{duration_cast<milliseconds>(now - days)};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace

SimHypervisor::SimHypervisor(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path SimHypervisor::VariablesFile() const { return directory_ / "guestinfo.txt"; }
std::filesystem::path SimHypervisor::LogFile() const { return directory_ / "hypervisor.log"; }

std::map<std::string, std::string> SimHypervisor::Load() const {
  std::map<std::string, std::string> variables;
  std::ifstream in(VariablesFile(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto name = Unescape(std::string_view(line).substr(0, eq));
    auto value = Unescape(std::string_view(line).substr(eq + 1));
    if (name && value) variables[*name] = *value;
  }
  return variables;
}

bool SimHypervisor::Store(const std::map<std::string, std::string>& variables) const {
  std::error_code error;
  std::filesystem::create_directories(directory_, error);
  auto temporary = VariablesFile();
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& [name, value] : variables) out << Escape(name) << '=' << Escape(value) << '\n';
    out.flush();
    if (!out) return false;
  }
  // Replacing the whole file in one step: a reader (or a crash) sees the old set or the new one.
  std::filesystem::rename(temporary, VariablesFile(), error);
  return !error;
}

std::optional<std::string> SimHypervisor::GetVariable(const std::string& name) const {
  std::lock_guard<std::mutex> guard(FileLock());
  auto variables = Load();
  auto it = variables.find(name);
  if (it == variables.end()) return std::nullopt;
  return it->second;
}

bool SimHypervisor::SetVariable(const std::string& name, const std::string& value) {
  if (!IsValidName(name) || value.size() > kMaxValueSize) return false;
  std::lock_guard<std::mutex> guard(FileLock());
  auto variables = Load();
  variables[name] = value;
  return Store(variables);
}

std::map<std::string, std::string> SimHypervisor::Variables() const {
  std::lock_guard<std::mutex> guard(FileLock());
  return Load();
}

void SimHypervisor::AppendLog(std::string_view text) {
  std::string line = Timestamp() + " | guest| ";
  for (unsigned char c : text) line += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);  // one entry, one line
  line += '\n';
  std::lock_guard<std::mutex> guard(FileLock());
  std::error_code error;
  std::filesystem::create_directories(directory_, error);
  std::ofstream out(LogFile(), std::ios::binary | std::ios::app);
  out << line;
}

std::vector<std::string> SimHypervisor::LogTail(size_t lines) const {
  std::lock_guard<std::mutex> guard(FileLock());
  std::ifstream in(LogFile(), std::ios::binary);
  std::deque<std::string> tail;
  std::string line;
  while (std::getline(in, line)) {
    tail.push_back(line);
    if (tail.size() > lines) tail.pop_front();
  }
  return {tail.begin(), tail.end()};
}

std::string SimHypervisor::HandleCommand(std::string_view command) {
  auto blank = command.find(' ');
  std::string_view verb = command.substr(0, blank);
  std::string_view arguments = blank == std::string_view::npos ? std::string_view{} : command.substr(blank + 1);

  if (verb == "log") {
    AppendLog(arguments);
    return "1 ";
  }
  if (verb == "info-get") {
    if (arguments.substr(0, kGuestInfoPrefix.size()) != kGuestInfoPrefix) return "0 Unknown key";
    std::string name(arguments.substr(kGuestInfoPrefix.size()));
    if (!IsValidName(name)) return "0 No value found";
    auto value = GetVariable(name);
    if (!value) return "0 No value found";
    return "1 " + *value;
  }
  if (verb == "info-set") {
    auto separator = arguments.find(' ');
    if (separator == std::string_view::npos) return "0 Two and exactly two arguments expected";
    std::string_view key = arguments.substr(0, separator);
    std::string value(arguments.substr(separator + 1));
    if (key.substr(0, kGuestInfoPrefix.size()) != kGuestInfoPrefix) return "0 Invalid key";
    std::string name(key.substr(kGuestInfoPrefix.size()));
    if (!IsValidName(name)) return "0 Invalid key";
    if (value.size() > kMaxValueSize) return "0 Value too long";
    if (!SetVariable(name, value)) return "0 Unable to store the value";
    return "1 ";
  }
  return "0 Unknown command";
}

GuestRpcError SimHypervisorTransport::Exchange(std::string_view command, std::string* reply) {
  *reply = hypervisor_.HandleCommand(command);
  return GuestRpcError::kNone;
}

}  // namespace tamber::platform::guestrpc
