// What a chain run shows: a table for people, JSON for programs, and one self-contained HTML page with
// the pool and a per-boot timeline.
#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

#include "Chain.h"
#include "Json.h"

namespace velocyn::sim_cli {

namespace {

std::string Outcome(const ChainMachine& machine) {
  std::string text = machine.status.empty() ? "-" : machine.status;
  if (machine.status == "error" && machine.errorCode) {
    text += " " + std::to_string(*machine.errorCode);
    if (!machine.errorCategory.empty()) text += " (" + machine.errorCategory + ")";
  }
  return text;
}

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", ms);
  return text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool IsClone(const ChainMachine& machine) { return machine.role == "clone"; }

}  // namespace

void PrintChain(const ChainResult& result, std::ostream& out) {
  if (!result.error.empty()) {
    out << "chain not run: " << result.error << "\n";
    return;
  }
  char line[256];
  std::snprintf(line, sizeof line, "%-11s %-12s %-6s %-30s %-7s %12s %10s  %s\n", "machine", "name", "boots", "status",
                "policy", "machine ms", "real ms", "ended by");
  out << line;
  for (const auto& machine : result.machines) {
    std::string endings;
    for (const auto& boot : machine.boots) endings += (endings.empty() ? "" : ", ") + boot.endedBy;
    std::snprintf(line, sizeof line, "%-11s %-12s %-6zu %-30s %-7s %12llu %10s  %s\n", machine.name.c_str(),
                  machine.hostName.c_str(), machine.boots.size(), Outcome(machine).c_str(),
                  machine.policyState ? std::to_string(*machine.policyState).c_str() : "-",
                  static_cast<unsigned long long>(machine.machineTimeMs), Ms(machine.realMs).c_str(), endings.c_str());
    out << line;
    if (!machine.problem.empty()) out << "            NOT AS PREDICTED: " << machine.problem << "\n";
  }
  std::map<std::string, size_t> outcomes;
  size_t clones = 0;
  for (const auto& machine : result.machines) {
    if (!IsClone(machine)) continue;
    ++clones;
    ++outcomes[Outcome(machine)];
  }
  out << "\nclones: " << clones;
  for (const auto& [outcome, count] : outcomes) out << ", " << outcome << ": " << count;
  out << "\nwall time: " << Ms(result.realMs) << " ms; "
      << (result.ok() ? "every machine as predicted" : "NOT as predicted") << "\n";
}

void PrintChainJson(const ChainResult& result, std::ostream& out) {
  JsonWriter json(out);
  json.BeginObject();
  json.Key("ok").Bool(result.ok());
  if (!result.error.empty()) json.Key("error").String(result.error);
  json.Key("realMs").Number(static_cast<uint64_t>(result.realMs));
  json.Key("machines").BeginArray();
  for (const auto& machine : result.machines) {
    json.BeginObject();
    json.Key("name").String(machine.name).Key("role").String(machine.role).Key("hostName").String(machine.hostName);
    json.Key("status").String(machine.status);
    if (machine.errorCode) json.Key("errorCode").Number(static_cast<uint64_t>(*machine.errorCode));
    if (!machine.errorCategory.empty()) json.Key("errorCategory").String(machine.errorCategory);
    if (machine.policyState) json.Key("policyState").Number(static_cast<uint64_t>(*machine.policyState));
    if (IsClone(machine)) {
      json.Key("computerName").String(machine.computerName).Key("trustHolds").Bool(machine.trustHolds);
      if (machine.cloneSuccessful) {
        json.Key("isCloneCustomizationSuccessful").Number(static_cast<uint64_t>(*machine.cloneSuccessful));
      }
    }
    json.Key("machineMs").Number(machine.machineTimeMs).Key("realMs").Number(static_cast<uint64_t>(machine.realMs));
    json.Key("problem").String(machine.problem);
    json.Key("boots").BeginArray();
    for (const auto& boot : machine.boots) {
      json.BeginObject();
      json.Key("endedBy").String(boot.endedBy).Key("status").String(boot.status);
      json.Key("exitCode").Number(static_cast<int64_t>(boot.exitCode));
      json.Key("machineMs").Number(boot.machineTimeMs).Key("realMs").Number(static_cast<uint64_t>(boot.realMs));
      json.Key("steps").Number(static_cast<uint64_t>(boot.steps.size()));
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  out << "\n";
}

void WriteChainReport(const ChainResult& result, std::ostream& out) {
  double total = 1;
  for (const auto& machine : result.machines) {
    for (const auto& boot : machine.boots) total = std::max(total, boot.startRealMs + boot.realMs);
  }
  out << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>velocyn-sim chain</title><style>\n"
         "body{font:13px sans-serif;margin:1em}table{border-collapse:collapse}td,th{border:1px solid #ccc;"
         "padding:2px 6px;text-align:left}.bad{color:#b00;font-weight:bold}.lane{position:relative;height:18px;"
         "background:#f4f4f4;margin:2px 0}.boot{position:absolute;top:2px;height:14px;background:#6a9;"
         "border-radius:3px}.boot.failed{background:#d55}.step{position:absolute;top:0;width:1px;height:18px;"
         "background:#234}.step.error{background:#f00;width:2px}.label{display:inline-block;width:11em}"
         ".timeline{display:inline-block;width:calc(100% - 12em);vertical-align:middle}\n"
         "</style></head><body>\n";
  out << "<h1>Cloning chain</h1><p>"
      << (result.ok() ? "Every machine ended as predicted."
                      : "<span class=\"bad\">Not every machine ended as predicted.</span>")
      << " Wall time " << Ms(result.realMs) << " ms.</p>\n";
  if (!result.error.empty()) out << "<p class=\"bad\">" << Escape(result.error) << "</p>\n";
  out << "<h2>Pool</h2><table><tr><th>machine</th><th>name</th><th>boots</th><th>status</th><th>PolicyState</th>"
         "<th>machine ms</th><th>real ms</th><th>problem</th></tr>\n";
  for (const auto& m : result.machines) {
    out << "<tr" << (m.problem.empty() ? "" : " class=\"bad\"") << "><td>" << Escape(m.name) << "</td><td>"
        << Escape(m.hostName) << "</td><td>" << m.boots.size() << "</td><td>" << Escape(Outcome(m)) << "</td><td>"
        << (m.policyState ? std::to_string(*m.policyState) : "-") << "</td><td>" << m.machineTimeMs << "</td><td>"
        << Ms(m.realMs) << "</td><td>" << Escape(m.problem) << "</td></tr>\n";
  }
  out << "</table>\n<h2>Timeline (real time; hover a bar or a tick for the boot and its steps)</h2>\n";
  for (const auto& m : result.machines) {
    out << "<div><span class=\"label\">" << Escape(m.name) << "</span><div class=\"timeline\"><div class=\"lane\">";
    for (size_t i = 0; i < m.boots.size(); ++i) {
      const ChainBoot& boot = m.boots[i];
      const bool failed = boot.status == "error" || boot.endedBy.rfind("not started", 0) == 0 ||
                          boot.endedBy == "timed out" || (i + 1 == m.boots.size() && !m.problem.empty());
      const double left = 100.0 * boot.startRealMs / total;
      const double width = std::max(0.2, 100.0 * boot.realMs / total);
      out << "<div class=\"boot" << (failed ? " failed" : "") << "\" style=\"left:" << left << "%;width:" << width
          << "%\" title=\"boot " << i + 1 << ": " << Escape(boot.endedBy) << ", status " << Escape(boot.status) << ", "
          << boot.machineTimeMs << " ms machine time\">";
      const double span = static_cast<double>(std::max<uint64_t>(1, boot.machineTimeMs));
      for (const auto& step : boot.steps) {
        const double at = std::min(100.0, 100.0 * static_cast<double>(step.atMs) / span);
        out << "<div class=\"step" << (step.level == "ERROR" ? " error" : "") << "\" style=\"left:" << at
            << "%\" title=\"" << step.atMs << " ms " << Escape(step.level) << " " << Escape(step.text) << "\"></div>";
      }
      out << "</div>";
    }
    out << "</div></div></div>\n";
  }
  out << "</body></html>\n";
}

}  // namespace velocyn::sim_cli
