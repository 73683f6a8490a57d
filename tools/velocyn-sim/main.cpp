// velocyn-sim: the simulator's command line. Makes simulated Windows guests (blank, or a golden image with
// the agent installed), boots them with the real agent process, sends it service controls, and shows what
// the agent decided and left behind.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "AgentBoot.h"
#include "Chain.h"
#include "DiskView.h"
#include "DomainView.h"
#include "Inspect.h"
#include "Json.h"
#include "MachineImage.h"
#include "NetworkView.h"
#include "RegistryView.h"
#include "ServiceControls.h"
#include "Torture.h"
#include "framework/log/LogWriter.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/machine/SimPower.h"
#include "platform/sim/storage/SimStorage.h"

namespace fs = std::filesystem;
using namespace velocyn::sim_cli;
using tamber::platform::sim::Machine;
using tamber::platform::sim::NarrowUtf8;
using tamber::platform::sim::Power;
using tamber::platform::sim::WidenUtf8;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr double kDefaultTimeScale = 1000.0;
constexpr size_t kDefaultLines = 20;

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;  // "--name value" (repeatable) or "--flag"
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = options.find(name);
    return it == options.end() || it->second.empty() ? fallback : it->second.back();
  }
};

struct Command {
  const char* usage;  // the command's lines of the help text
  std::vector<std::string> flags;
  std::vector<std::string> valueOptions;
  std::function<int(const Args&)> run;
};

using CommandTable = std::vector<std::pair<std::string, Command>>;
const CommandTable& Commands();
const Command* FindCommand(const std::string& name) {
  for (const auto& [commandName, command] : Commands()) {
    if (commandName == name) return &command;
  }
  return nullptr;
}

const char* const kOverview =
    "usage: velocyn-sim <command> [arguments] [--help]\n\n"
    "Simulated Windows guests for the Velocyn Agent. A machine is a directory; its hypervisor side (guestinfo,\n"
    "hypervisor log) is kept apart from the guest, as a real hypervisor keeps it.\n\n"
    "Exit status: 0 success, 1 the operation failed, 2 the command line is wrong.\n\n"
    "commands:\n";

int Usage(std::ostream& out, int status) {
  out << kOverview;
  for (const auto& [name, command] : Commands()) out << command.usage;
  return status;
}

int CommandUsage(const std::string& name, std::ostream& out, int status) {
  out << "usage:\n" << FindCommand(name)->usage;
  return status;
}

// Writes "velocyn-sim <command>: <text>" on stderr and returns the usage status.
int UsageError(const Args& args, const std::string& text) {
  std::cerr << "velocyn-sim " << args.command << ": " << text << " (see velocyn-sim " << args.command << " --help)\n";
  return kExitUsage;
}

int Failure(const Args& args, const std::string& text) {
  std::cerr << "velocyn-sim " << args.command << ": " << text << "\n";
  return kExitFailure;
}

// nullopt after writing the reason on stderr.
std::optional<Args> Parse(const std::string& name, const Command& command, int argc, char** argv) {
  Args args;
  args.command = name;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h") arg = "--help";
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      args.positional.push_back(arg);
      continue;
    }
    auto isIn = [&](const std::vector<std::string>& list) {
      return std::find(list.begin(), list.end(), arg) != list.end();
    };
    if (isIn(command.valueOptions)) {
      if (i + 1 >= argc) {
        UsageError(args, "option " + arg + " needs a value");
        return std::nullopt;
      }
      args.options[arg].push_back(argv[++i]);
    } else if (isIn(command.flags) || arg == "--help") {
      args.options[arg];
    } else if (arg == "--power-cut" && name == "boot") {
      UsageError(args, "a power cut takes a machine time: --power-cut-at MS");
      return std::nullopt;
    } else {
      UsageError(args, "unknown option " + arg);
      return std::nullopt;
    }
  }
  return args;
}

std::optional<double> ParseScale(const std::string& text) {
  try {
    size_t used = 0;
    double value = std::stod(text, &used);
    if (used == text.size() && value > 0 && value <= 1e9) return value;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// --time-scale N (machine ms per real ms), or where jumps is given also "max": machine time jumps over
// the moments when the whole guest waits, and runs at the scale between them. The exit status of a usage
// error, or nullopt.
std::optional<int> TimeScaleOption(const Args& args, double* scale, bool* jumps) {
  if (!args.Has("--time-scale")) return std::nullopt;
  const std::string text = args.Get("--time-scale");
  if (jumps != nullptr && text == "max") {
    *jumps = true;
    return std::nullopt;
  }
  auto value = ParseScale(text);
  if (!value) {
    return UsageError(args, jumps != nullptr ? "--time-scale takes a positive number (machine ms per real ms) or max"
                                             : "--time-scale takes a positive number (machine ms per real ms)");
  }
  *scale = *value;
  return std::nullopt;
}

// The machine directory at positional[index], which must hold a machine. nullopt after the message.
std::optional<fs::path> ExistingMachine(const Args& args, size_t index = 0) {
  if (args.positional.size() <= index) {
    UsageError(args, "name the machine directory");
    return std::nullopt;
  }
  fs::path dir = args.positional[index];
  if (!Machine::Exists(dir)) {
    std::cerr << "velocyn-sim " << args.command << ": " << dir.string()
              << " is not a simulated machine; make one with: velocyn-sim create " << dir.string() << "\n";
    return std::nullopt;
  }
  return dir;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Runs body in a boot of the machine that ends cleanly, so what it wrote is durable.
template <class Body>
auto WithMachineBooted(const fs::path& dir, Body body) {
  Machine::Boot(dir);
  auto result = body();
  tamber::framework::log::ShutdownLog();
  Machine::Shutdown();
  return result;
}

// ---- create -------------------------------------------------------------------------------------

int Create(const Args& args) {
  if (args.positional.size() != 1) return UsageError(args, "name one machine directory");
  fs::path dir = args.positional[0];
  tamber::platform::sim::MachineConfig config;
  config.timeScale = kDefaultTimeScale;
  if (auto failed = TimeScaleOption(args, &config.timeScale, nullptr)) return *failed;
  if (args.Has("--utc-bias")) {
    try {
      size_t used = 0;
      config.utcBiasMinutes = std::stoi(args.Get("--utc-bias"), &used);
      if (used != args.Get("--utc-bias").size()) throw std::invalid_argument("trailing text");
    } catch (const std::exception&) {
      return UsageError(args, "--utc-bias takes a whole number of minutes");
    }
  }
  GoldenImageOptions golden;
  if (args.Has("--shutdown-delay")) {
    auto delay = ParseCount(args.Get("--shutdown-delay"));
    if (!delay || *delay > UINT32_MAX) return UsageError(args, "--shutdown-delay takes milliseconds (a whole number)");
    if (!args.Has("--golden-image")) return UsageError(args, "--shutdown-delay goes with --golden-image");
    golden.shutdownDelayMs = static_cast<uint32_t>(*delay);
  }
  if (args.Has("--domain") && !tamber::platform::sim::SimDomain::Exists(args.Get("--domain"))) {
    return UsageError(
        args, args.Get("--domain") +
                  " is not a simulated domain; make one with: velocyn-sim domain create DIR --name NAME --dc DC");
  }
  if (Machine::Exists(dir) && !args.Has("--force")) {
    return Failure(args, dir.string() + " already holds a machine; add --force to replace it");
  }
  std::error_code error;
  if (!Machine::Exists(dir) && fs::exists(dir) && !fs::is_empty(dir, error)) {
    return Failure(args, dir.string() + " is a directory that holds something else; name a new or empty directory");
  }
  if (Machine::Exists(dir)) fs::remove_all(dir);
  Machine::Create(dir);
  Machine::SaveConfig(dir, config);
  // Every virtual machine has a network adapter with a DHCP lease; tests and users change or remove it
  // with "net".
  if (std::string netError = AddAdapter(dir, "Ethernet0",
                                        {"ip=192.168.10.5/255.255.255.0", "gateway=192.168.10.1", "dns=192.168.10.2",
                                         "dhcpServer=192.168.10.1", "lease=192.168.10.5/255.255.255.0"});
      !netError.empty()) {
    return Failure(args, netError);
  }
  if (args.Has("--domain")) {
    std::string error = tamber::platform::sim::AttachToDomain(dir, args.Get("--domain"));
    if (!error.empty()) return Failure(args, "cannot attach the machine to its domain: " + error);
  }
  if (args.Has("--golden-image")) {
    std::string error = WithMachineBooted(dir, [&] { return InstallGoldenImage(golden); });
    if (!error.empty()) return Failure(args, error);
    std::cout << "created golden image " << dir.string() << " (agent installed as service tlv-velocyn-ga)\n";
  } else {
    std::cout << "created machine " << dir.string() << "\n";
  }
  return kExitOk;
}

// ---- boot and control ---------------------------------------------------------------------------

void PrintBoot(const fs::path& dir, const AgentBootResult& result, bool json) {
  if (json) {
    JsonWriter out(std::cout);
    out.BeginObject().Key("machine").String(fs::absolute(dir).string());
    out.Key("started").Bool(result.started).Key("endedBy").String(result.endedBy);
    if (result.endedBy == "crash") out.Key("crashReport").String(result.crashReport);
    out.Key("exitCode").Number(static_cast<int64_t>(result.exitCode));
    out.Key("machineTimeMs").Number(result.machineTimeMs);
    out.Key("states").BeginArray();
    for (uint32_t state : result.reportedStates) out.String(ServiceStateName(state));
    out.EndArray().Key("powerRequest");
    if (result.power) {
      out.BeginObject()
          .Key("action")
          .String(Power::ActionName(result.power->action))
          .Key("reason")
          .Number(static_cast<uint64_t>(result.power->reason))
          .Key("machineTimeMs")
          .Number(result.power->machineTimeMs)
          .EndObject();
    } else {
      out.Null();
    }
    if (!result.error.empty()) out.Key("error").String(result.error);
    out.EndObject();
    std::cout << "\n";
    return;
  }
  std::cout << "booted " << dir.string() << ": ended by " << result.endedBy << " after " << result.machineTimeMs
            << " ms machine time (agent exit code " << result.exitCode << ")\n";
  if (result.endedBy == "crash") {
    std::cout << "  crash report: " << (result.crashReport.empty() ? "none in the log" : result.crashReport) << "\n";
  }
  std::cout << "  service states reported:";
  if (result.reportedStates.empty()) std::cout << " none";
  for (size_t i = 0; i < result.reportedStates.size(); ++i) {
    std::cout << (i == 0 ? " " : ", ") << ServiceStateName(result.reportedStates[i]);
  }
  std::cout << "\n  power request: " << (result.power ? Power::Describe(*result.power) : "none") << "\n";
}

int Boot(const Args& args) {
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  if (args.positional.size() != 1) return UsageError(args, "name one machine directory");
  AgentBootOptions options;
  options.timeScale = Machine::LoadConfig(*dir).timeScale;
  if (auto failed = TimeScaleOption(args, &options.timeScale, &options.timeJumps)) return *failed;
  if (args.Has("--power-cut-at")) {
    auto at = ParseCount(args.Get("--power-cut-at"));
    if (!at) return UsageError(args, "--power-cut-at takes machine milliseconds since the boot started");
    options.powerCutAtMs = *at;
  }
  if (args.Has("--timeout")) {
    auto seconds = ParseCount(args.Get("--timeout"));
    if (!seconds || *seconds == 0 || *seconds > 86400) return UsageError(args, "--timeout takes 1 to 86400 seconds");
    options.hostTimeoutMs = *seconds * 1000;
  }
  if (args.Has("--control")) {
    for (const auto& text : args.options.at("--control")) {
      auto control = ParseScheduledControl(text);
      if (!control) return UsageError(args, "--control takes NAME@MS, NAME one of: " + ControlNames());
      options.controls.push_back(*control);
    }
  }
  if (args.Has("--agent")) options.agentExecutable = args.Get("--agent");
  AgentBootResult result = BootWithAgent(*dir, options);
  if (!result.started) {
    return Failure(args, "the boot did not start: " + result.error);
  }
  PrintBoot(*dir, result, args.Has("--json"));
  if (result.endedBy == "timed out") {
    return Failure(args, "the boot did not end within the time-out; the power was cut (give --timeout more seconds)");
  }
  if (result.endedBy == "crash") {
    return Failure(args, "the agent crashed; see its report and dump with: velocyn-sim show " + dir->string());
  }
  if (result.endedBy == "exited" && result.exitCode != 0) {
    return Failure(args, "the agent process ended on its own with exit code " + std::to_string(result.exitCode) +
                             "; see its log with: velocyn-sim show " + dir->string());
  }
  return kExitOk;
}

int Control(const Args& args) {
  if (args.positional.size() != 2) return UsageError(args, "name the machine directory and one control");
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  auto control = FindControl(args.positional[1]);
  if (!control) return UsageError(args, "unknown control '" + args.positional[1] + "'; one of: " + ControlNames());
  std::string error;
  if (!SendServiceControl(*dir, control->control, control->eventType, &error)) {
    return Failure(args, "cannot deliver " + args.positional[1] + ": " + error +
                             " (controls reach a running boot: start one with velocyn-sim boot " + dir->string() + ")");
  }
  std::cout << "delivered " << args.positional[1] << " to " << dir->string() << "\n";
  return kExitOk;
}

int PowerCut(const Args& args) {
  if (args.positional.size() != 1) return UsageError(args, "name the machine directory");
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  std::string error;
  if (!CutPower(*dir, &error)) {
    return Failure(args, "cannot cut the power: " + error + " (a boot that is not running has no power to cut)");
  }
  std::cout << "cut the power of " << dir->string() << "\n";
  return kExitOk;
}

// ---- show ---------------------------------------------------------------------------------------

void ShowJson(const MachineReport& report) {
  JsonWriter json(std::cout);
  auto optionalNumber = [&](const std::optional<uint32_t>& value) {
    if (value) {
      json.Number(static_cast<uint64_t>(*value));
    } else {
      json.Null();
    }
  };
  json.BeginObject().Key("machine").String(report.machine.string());
  json.Key("role").String(report.role).Key("roleText").String(report.roleText);
  json.Key("roleCode").Number(static_cast<uint64_t>(report.roleCode));
  json.Key("customizationType").String(report.customizationType);
  json.Key("flags").Number(static_cast<uint64_t>(report.flags)).Key("flagsText").String(report.flagsText);
  json.Key("status").BeginObject().Key("variable").String(report.statusVariable).Key("value");
  if (report.status) {
    json.String(*report.status);
  } else {
    json.Null();
  }
  json.EndObject();
  json.Key("markers").BeginArray();
  for (const auto& marker : report.markers) {
    json.BeginObject().Key("name").String(marker.name).Key("key").String(marker.key);
    json.Key("type").String(TypeName(marker.value.type)).Key("data").String(marker.value.display);
    if (marker.value.dword) json.Key("number").Number(static_cast<uint64_t>(*marker.value.dword));
    json.EndObject();
  }
  json.EndArray();
  json.Key("siblingStatus").BeginObject().Key("value");
  optionalNumber(report.siblingStatus);
  json.Key("text").String(report.siblingStatusText).EndObject();
  json.Key("policyState").BeginObject().Key("value");
  optionalNumber(report.policyState);
  json.Key("text").String(report.policyStateText).EndObject();
  json.Key("bootExecute");
  if (report.bootExecute) {
    json.BeginArray();
    for (const auto& item : *report.bootExecute) json.String(item);
    json.EndArray();
  } else {
    json.Null();
  }
  json.Key("powerRequest");
  if (report.powerRequest) {
    json.BeginObject()
        .Key("action")
        .String(Power::ActionName(report.powerRequest->action))
        .Key("machineTimeMs")
        .Number(report.powerRequest->machineTimeMs)
        .Key("reason")
        .Number(static_cast<uint64_t>(report.powerRequest->reason))
        .EndObject();
  } else {
    json.Null();
  }
  json.Key("registry").BeginArray();
  for (const auto& key : report.keys) {
    json.BeginObject().Key("key").String(NarrowUtf8(key.path)).Key("values").BeginArray();
    for (const auto& value : key.values) {
      json.BeginObject()
          .Key("name")
          .String(NarrowUtf8(value.name))
          .Key("type")
          .String(TypeName(value.type))
          .Key("data")
          .String(value.display)
          .EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray();
  json.Key("logFile").String(report.logFile).Key("log").BeginArray();
  for (const auto& line : report.logTail) json.String(line);
  json.EndArray();
  json.Key("lastCrash").String(report.lastCrash).Key("dumps").BeginArray();
  for (const auto& name : report.dumps) json.String(name);
  json.EndArray();
  json.Key("guestinfo").BeginObject();
  for (const auto& [name, value] : report.guestinfo) json.Key(name).String(value);
  json.EndObject();
  json.Key("hypervisorLog").BeginArray();
  for (const auto& line : report.hypervisorLog) json.String(line);
  json.EndArray();
  json.Key("eventLog").BeginArray();
  for (const auto& event : report.eventLog) {
    json.BeginObject()
        .Key("machineTimeMs")
        .Number(event.machineTimeMs)
        .Key("type")
        .String(event.type)
        .Key("source")
        .String(event.source)
        .Key("eventId")
        .Number(static_cast<uint64_t>(event.eventId))
        .Key("text")
        .String(event.text)
        .EndObject();
  }
  json.EndArray().EndObject();
  std::cout << "\n";
}

void ShowText(const MachineReport& report) {
  auto& out = std::cout;
  out << "machine " << report.machine.string() << "\n";
  out << "role:               " << report.role << " (" << report.roleText << ")\n";
  out << "customization type: " << report.customizationType << "\n";
  out << "flags:              " << report.flags << " " << report.flagsText << "\n";
  out << "status:             " << report.statusVariable << " = " << (report.status ? *report.status : "(not set)")
      << "\n";
  out << "sibling status:     ";
  if (report.siblingStatus) out << *report.siblingStatus << " ";
  out << report.siblingStatusText << "\n";
  out << "PolicyState:        ";
  if (report.policyState) out << *report.policyState << " ";
  out << report.policyStateText << "\n";
  out << "BootExecute:        ";
  if (!report.bootExecute) out << "(absent)";
  if (report.bootExecute) {
    for (size_t i = 0; i < report.bootExecute->size(); ++i) out << (i == 0 ? "" : " | ") << (*report.bootExecute)[i];
  }
  out << "\npower request:      " << (report.powerRequest ? Power::Describe(*report.powerRequest) : "none") << "\n";
  out << "\nmarkers set:\n";
  if (report.markers.empty()) out << "  (none)\n";
  for (const auto& marker : report.markers) {
    out << "  " << marker.name << " = " << (marker.value.display.empty() ? "(empty)" : marker.value.display) << "    ["
        << marker.key << "]\n";
  }
  out << "\nregistry:\n";
  for (const auto& key : report.keys) {
    out << "  " << NarrowUtf8(key.path) << "\n";
    for (const auto& value : key.values) {
      out << "      " << NarrowUtf8(value.name) << "  " << TypeName(value.type) << "  " << value.display << "\n";
    }
  }
  out << "\nlog (" << (report.logFile.empty() ? "no log file" : report.logFile) << ", last " << report.logTail.size()
      << " lines):\n";
  for (const auto& line : report.logTail) out << "  " << line << "\n";
  out << "\ncrash: " << (report.lastCrash.empty() ? "none in this log" : "ended by crash: " + report.lastCrash) << "\n";
  out << "dumps (C:\\ProgramData\\Talvora\\Quorvel\\Dumps): " << (report.dumps.empty() ? "none" : "") << "\n";
  for (const auto& name : report.dumps) out << "  " << name << "\n";
  out << "\nguestinfo:\n";
  for (const auto& [name, value] : report.guestinfo) out << "  " << name << " = " << value << "\n";
  out << "\nhypervisor log (last " << report.hypervisorLog.size() << " lines):\n";
  for (const auto& line : report.hypervisorLog) out << "  " << line << "\n";
  out << "\nApplication event log (last " << report.eventLog.size() << " events):\n";
  for (const auto& event : report.eventLog) {
    out << "  " << event.machineTimeMs << " ms  " << event.type << "  " << event.source << "  " << event.eventId << "  "
        << event.text << "\n";
  }
}

int Show(const Args& args) {
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  if (args.positional.size() != 1) return UsageError(args, "name one machine directory");
  size_t lines = kDefaultLines;
  if (args.Has("--lines")) {
    auto count = ParseCount(args.Get("--lines"));
    if (!count || *count > 100000) return UsageError(args, "--lines takes a number of lines (0 to 100000)");
    lines = static_cast<size_t>(*count);
  }
  MachineReport report = Inspect(*dir, lines);
  if (args.Has("--json")) {
    ShowJson(report);
  } else {
    ShowText(report);
  }
  return kExitOk;
}

// ---- guestinfo and reg --------------------------------------------------------------------------

// The management side's view of the guestinfo variables: no boot needed, the hypervisor keeps them.
int GuestInfo(const Args& args) {
  if (args.positional.size() < 2) return UsageError(args, "say list, get or set, then the machine directory");
  const std::string& verb = args.positional[0];
  auto dir = ExistingMachine(args, 1);
  if (!dir) return kExitUsage;
  tamber::platform::guestrpc::SimHypervisor hypervisor(*dir / "hypervisor");
  auto name = [&]() {
    std::string text = args.positional[2];
    if (text.rfind("guestinfo.", 0) == 0) text.erase(0, 10);
    return text;
  };
  if (verb == "list" && args.positional.size() == 2) {
    auto variables = hypervisor.Variables();
    if (args.Has("--json")) {
      JsonWriter json(std::cout);
      json.BeginObject();
      for (const auto& [key, value] : variables) json.Key(key).String(value);
      json.EndObject();
      std::cout << "\n";
    } else {
      for (const auto& [key, value] : variables) std::cout << key << " = " << value << "\n";
    }
    return kExitOk;
  }
  if (verb == "get" && args.positional.size() == 3) {
    auto value = hypervisor.GetVariable(name());
    if (!value) return Failure(args, "guestinfo." + name() + " is not set");
    std::cout << *value << "\n";
    return kExitOk;
  }
  if (verb == "set" && args.positional.size() == 4) {
    if (!hypervisor.SetVariable(name(), args.positional[3])) {
      return Failure(args, "cannot set guestinfo." + name() + ": a name is printable text without blanks (at most " +
                               std::to_string(tamber::platform::guestrpc::SimHypervisor::kMaxNameSize) +
                               " bytes) and a value at most " +
                               std::to_string(tamber::platform::guestrpc::SimHypervisor::kMaxValueSize) + " bytes");
    }
    return kExitOk;
  }
  return UsageError(args, "expected list <machine>, get <machine> <name> or set <machine> <name> <value>");
}

int Reg(const Args& args) {
  if (args.positional.size() < 3) return UsageError(args, "say get, set or delete, then the machine and the key");
  const std::string& verb = args.positional[0];
  auto dir = ExistingMachine(args, 1);
  if (!dir) return kExitUsage;
  std::wstring key = WidenUtf8(args.positional[2]);
  if (!SubKeyOfLocalMachine(key)) return UsageError(args, "keys are written HKLM\\<path>");
  const std::string type = args.Get("--type", "sz");
  if (verb == "get" && args.positional.size() <= 4) {
    // Reading changes nothing, but a boot of the machine is how its registry is reached.
    return WithMachineBooted(*dir, [&] {
      auto values = ReadValues(key);
      if (!values) return Failure(args, "no key " + args.positional[2]);
      bool shown = false;
      for (const auto& value : *values) {
        if (args.positional.size() > 3 && Lower(NarrowUtf8(value.name)) != Lower(args.positional[3])) continue;
        std::cout << NarrowUtf8(value.name) << "  " << TypeName(value.type) << "  " << value.display << "\n";
        shown = true;
      }
      if (args.positional.size() > 3 && !shown) return Failure(args, "no value " + args.positional[3]);
      return kExitOk;
    });
  }
  if (verb == "set" && args.positional.size() == 5) {
    if (type != "dword" && type != "sz" && type != "expand_sz" && type != "multi_sz") {
      return UsageError(args, "--type is dword, sz, expand_sz or multi_sz");
    }
    uint32_t error = WithMachineBooted(
        *dir, [&] { return WriteValue(key, WidenUtf8(args.positional[3]), type, args.positional[4]); });
    if (error != 0) {
      return Failure(args, "could not set the value (Win32 error " + std::to_string(error) +
                               "); a dword is decimal or 0x-hex, multi_sz items are separated by ';'");
    }
    return kExitOk;
  }
  if (verb == "delete" && args.positional.size() == 4) {
    uint32_t error = WithMachineBooted(*dir, [&] { return DeleteValue(key, WidenUtf8(args.positional[3])); });
    if (error != 0) return Failure(args, "could not delete the value (Win32 error " + std::to_string(error) + ")");
    return kExitOk;
  }
  return UsageError(args,
                    "expected get <machine> <key> [value], set <machine> <key> <value> <data> or delete "
                    "<machine> <key> <value>");
}

// ---- chain --------------------------------------------------------------------------------------

// A whole-number option: its fallback when absent; nothing when it is not a whole number up to max.
std::optional<uint64_t> CountOption(const Args& args, const char* name, uint64_t fallback, uint64_t max) {
  if (!args.Has(name)) return fallback;
  auto value = ParseCount(args.Get(name));
  if (!value || *value > max) return std::nullopt;
  return value;
}

constexpr const char* kNoHelperStandIn =
    "universalprep pools need the helper stand-in tqaprep beside velocyn-sim; build the tqaprep target";

// The sibling agent's helper stand-in, built beside the tests; empty when it is not there.
std::filesystem::path FindHelperStandIn() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  for (const auto& candidate : {self / "tqaprep", self / "tests" / "tqaprep"}) {
    if (std::filesystem::exists(candidate, error)) return candidate;
  }
  return {};
}

const std::vector<std::string>& MachineKinds() {
  static const std::vector<std::string> kinds = {"it", "replica", "parent", "clone"};
  return kinds;
}

// "[KIND:]REST": the kind named in front, or "clone".
std::pair<std::string, std::string> SplitKind(const std::string& text) {
  const auto colon = text.find(':');
  if (colon != std::string::npos) {
    const std::string kind = text.substr(0, colon);
    if (std::find(MachineKinds().begin(), MachineKinds().end(), kind) != MachineKinds().end()) {
      return {kind, text.substr(colon + 1)};
    }
  }
  return {"clone", text};
}

// "STATUS" or "error:CODE".
std::optional<ChainExpectation> ParseExpectation(const std::string& text) {
  ChainExpectation expect;
  const auto colon = text.find(':');
  expect.status = text.substr(0, colon);
  if (expect.status != "success" && expect.status != "error" && expect.status != "running") return std::nullopt;
  if (colon != std::string::npos) {
    auto code = ParseCount(text.substr(colon + 1));
    if (!code || *code > UINT32_MAX || expect.status != "error") return std::nullopt;
    expect.errorCode = static_cast<uint32_t>(*code);
  }
  return expect;
}

int Chain(const Args& args) {
  if (args.positional.size() != 1) return UsageError(args, "name one directory for the chain");
  ChainOptions options;
  options.dir = args.positional[0];
  options.force = args.Has("--force");
  options.flavour = args.Get("--flavour", "cloneprep");
  if (options.flavour != "cloneprep" && options.flavour != "sysprep" && options.flavour != "universalprep") {
    return UsageError(args, "--flavour is cloneprep, sysprep or universalprep");
  }
  auto clones = CountOption(args, "--clones", 3, 100000);
  auto jobs = CountOption(args, "--jobs", 0, 256);
  auto seed = CountOption(args, "--seed", 1, UINT64_MAX);
  auto boots = CountOption(args, "--max-boots", 10, 1000);
  if (!clones || *clones == 0) return UsageError(args, "--clones takes 1 to 100000");
  if (!jobs) return UsageError(args, "--jobs takes 1 to 256");
  if (!seed) return UsageError(args, "--seed takes a whole number");
  if (!boots || *boots == 0) return UsageError(args, "--max-boots takes 1 to 1000");
  options.clones = static_cast<uint32_t>(*clones);
  options.jobs = static_cast<uint32_t>(*jobs);
  options.seed = *seed;
  options.maxBootsPerMachine = static_cast<uint32_t>(*boots);
  if (auto failed = TimeScaleOption(args, &options.timeScale, &options.timeJumps)) return *failed;
  if (args.Has("--fault")) {
    for (const auto& text : args.options.at("--fault")) {
      auto [kind, assignment] = SplitKind(text);
      auto eq = assignment.find('=');
      if (eq == 0 || eq == std::string::npos)
        return UsageError(args, "--fault takes [KIND:]NAME=VALUE, got '" + text + "'");
      options.faults[kind][assignment.substr(0, eq)] = assignment.substr(eq + 1);
    }
  }
  if (args.Has("--expect")) {
    for (const auto& text : args.options.at("--expect")) {
      auto [kind, rest] = SplitKind(text);
      auto expect = ParseExpectation(rest);
      if (!expect) return UsageError(args, "--expect takes [KIND:]success|running|error[:CODE], got '" + text + "'");
      options.expect[kind] = *expect;
    }
  }
  if (args.Has("--persistent-disk")) {
    uint64_t bytes = 0;
    if (!ParseDiskSize(args.Get("--persistent-disk"), &bytes)) {
      return UsageError(args, "--persistent-disk takes a disk size such as 10G");
    }
    options.persistentDiskBytes = bytes;
  }
  if (args.Has("--agent")) options.agentExecutable = args.Get("--agent");
  if (options.flavour == "universalprep") {
    options.helperProgram = FindHelperStandIn();
    if (options.helperProgram.empty()) return Failure(args, kNoHelperStandIn);
  }
  const bool json = args.Has("--json");
  if (!json) options.progress = [](const std::string& line) { std::cerr << "  " << line << "\n"; };
  ChainResult result = RunChain(options);
  if (!result.error.empty() && result.machines.empty()) return Failure(args, result.error);
  if (json) {
    PrintChainJson(result, std::cout);
  } else {
    PrintChain(result, std::cout);
  }
  if (args.Has("--report")) {
    std::ofstream report(args.Get("--report"));
    WriteChainReport(result, report);
    if (!report) return Failure(args, "cannot write the report to " + args.Get("--report"));
    if (!json) std::cout << "report: " << args.Get("--report") << "\n";
  }
  return result.ok() ? kExitOk : kExitFailure;
}

// ---- torture ------------------------------------------------------------------------------------

int Torture(const Args& args) {
  if (args.positional.size() != 1) return UsageError(args, "name one directory for the runs");
  TortureOptions options;
  options.dir = args.positional[0];
  options.flavour = args.Get("--flavour", "cloneprep");
  if (options.flavour != "cloneprep" && options.flavour != "sysprep" && options.flavour != "universalprep" &&
      options.flavour != "mixed") {
    return UsageError(args, "--flavour is cloneprep, sysprep, universalprep or mixed");
  }
  auto runs = CountOption(args, "--runs", 100, 100000000);
  auto jobs = CountOption(args, "--jobs", 1, 64);
  auto seed = CountOption(args, "--seed", 1, UINT64_MAX);
  auto run = CountOption(args, "--run", 0, UINT32_MAX);
  if (!runs || *runs == 0) return UsageError(args, "--runs takes a whole number from 1");
  if (!jobs || *jobs == 0) return UsageError(args, "--jobs takes 1 to 64");
  if (!seed) return UsageError(args, "--seed takes a whole number");
  if (!run) return UsageError(args, "--run takes a run index");
  options.runs = static_cast<uint32_t>(*runs);
  options.jobs = static_cast<uint32_t>(*jobs);
  options.seed = *seed;
  if (args.Has("--run")) {
    options.onlyRun = static_cast<uint32_t>(*run);
    options.keep = true;  // a replay is for looking at
  }
  if (args.Has("--keep")) options.keep = true;
  if (auto failed = TimeScaleOption(args, &options.timeScale, &options.timeJumps)) return *failed;
  if (args.Has("--agent")) options.agentExecutable = args.Get("--agent");
  if (options.flavour == "universalprep" || options.flavour == "mixed") {
    options.helperProgram = FindHelperStandIn();
    if (options.helperProgram.empty()) return Failure(args, kNoHelperStandIn);
  }
  const bool json = args.Has("--json");
  if (!json) {
    options.progress = [&options](const TortureRunResult& done) {
      std::cerr << "  run " << done.plan.run << ": " << (done.ok() ? "ok" : "FAILED") << " (" << done.boots
                << " boots, " << done.powerCuts << " power cuts, " << static_cast<uint64_t>(done.realMs) << " ms)";
      if (!done.ok()) std::cerr << "  replay: " << ReplayCommand(options, done.plan);
      std::cerr << "\n";
      for (const auto& finding : done.findings) {
        std::cerr << "    broken: invariant " << InvariantName(finding.invariant) << " on " << finding.machine << ": "
                  << finding.detail << "\n";
      }
      if (!done.error.empty()) std::cerr << "    could not run: " << done.error << "\n";
    };
  }
  TortureResult result = RunTorture(options);
  if (!result.error.empty()) return Failure(args, result.error);
  if (json) {
    PrintTortureJson(options, result, std::cout);
  } else {
    PrintTorture(options, result, std::cout);
  }
  return result.ok() ? kExitOk : kExitFailure;
}

// ---- demo ---------------------------------------------------------------------------------------

int Demo(const Args& args) {
  if (args.positional.size() != 1) return UsageError(args, "name one machine directory");
  Args create = args;
  create.options["--force"];
  create.options["--golden-image"];
  if (int status = Create(create); status != kExitOk) return status;
  if (int status = Boot(args); status != kExitOk) return status;
  std::cout << "\n";
  return Show(args);
}

// The adapters of a machine and what they do (see SimAdapters.h for the settings).
int Net(const Args& args) {
  if (args.positional.size() < 2) return UsageError(args, "needs a subcommand and a machine");
  const std::string& verb = args.positional[0];
  fs::path machine = args.positional[1];
  if (!Machine::Exists(machine)) return Failure(args, "not a simulated machine: " + machine.string());
  std::vector<std::string> rest(args.positional.begin() + 2, args.positional.end());
  std::string error;
  if (verb == "list") {
    if (!rest.empty()) return UsageError(args, "list takes only the machine");
    if (args.Has("--json")) {
      PrintAdaptersJson(machine, std::cout);
    } else {
      PrintAdapters(machine, std::cout);
    }
    return kExitOk;
  }
  if (verb == "set" || verb == "add") {
    if (rest.empty()) return UsageError(args, verb + " needs an adapter");
    std::vector<std::string> assignments(rest.begin() + 1, rest.end());
    error = verb == "set" ? SetAdapterValues(machine, rest[0], assignments) : AddAdapter(machine, rest[0], assignments);
  } else if (verb == "remove") {
    if (rest.size() != 1) return UsageError(args, "remove needs exactly one adapter");
    error = RemoveAdapter(machine, rest[0]);
  } else {
    return UsageError(args, "unknown subcommand '" + verb + "'");
  }
  return error.empty() ? kExitOk : Failure(args, error);
}

// The machine's fault plan (faults.conf): what the simulated areas and stand-ins are told to get wrong.
int Fault(const Args& args) {
  namespace sim = tamber::platform::sim;
  if (args.positional.size() < 2) return UsageError(args, "needs a subcommand and a machine");
  const std::string& verb = args.positional[0];
  fs::path machine = args.positional[1];
  if (!Machine::Exists(machine)) return Failure(args, "not a simulated machine: " + machine.string());
  auto plan = sim::FaultPlan::Load(machine);
  if (verb == "list") {
    for (const auto& [name, value] : plan) std::cout << name << "=" << value << "\n";
    return kExitOk;
  }
  if (args.positional.size() < 3) return UsageError(args, verb + " needs a fault name");
  if (verb == "set") {
    for (size_t i = 2; i < args.positional.size(); ++i) {
      const std::string& assignment = args.positional[i];
      auto eq = assignment.find('=');
      if (eq == 0 || eq == std::string::npos) return UsageError(args, "expected NAME=VALUE, got '" + assignment + "'");
      plan[assignment.substr(0, eq)] = assignment.substr(eq + 1);
    }
  } else if (verb == "clear") {
    for (size_t i = 2; i < args.positional.size(); ++i) plan.erase(args.positional[i]);
  } else {
    return UsageError(args, "unknown subcommand '" + verb + "'");
  }
  sim::FaultPlan::Save(machine, plan);
  return kExitOk;
}

// Data disks: images outside the machines, attached to and detached from their SCSI slots.
int DiskCommand(const Args& args) {
  namespace sim = tamber::platform::sim;
  if (args.positional.empty()) return UsageError(args, "expected create, attach, detach or show");
  const std::string& verb = args.positional[0];
  uint32_t bus = 0;
  uint32_t target = 0;
  if (args.Has("--scsi") && !ParseScsiSlot(args.Get("--scsi"), &bus, &target)) {
    return UsageError(args, "--scsi takes BUS:TARGET, each 0 to 255, such as 0:1");
  }
  if (verb == "create") {
    if (args.positional.size() != 2) return UsageError(args, "expected create <image> --size SIZE");
    uint64_t size = 0;
    if (!ParseDiskSize(args.Get("--size"), &size)) {
      return UsageError(args, "--size takes bytes or a number with K, M, G or T, from 64M, in whole sectors");
    }
    std::string error = CreateDataDisk(args.positional[1], size);
    if (!error.empty()) return Failure(args, error);
    std::cout << "created blank disk " << args.positional[1] << " (" << size << " bytes)\n";
    return kExitOk;
  }
  if (verb == "attach" || verb == "detach") {
    size_t expected = verb == "attach" ? 3 : 2;
    if (args.positional.size() != expected || !args.Has("--scsi")) {
      return UsageError(args, verb == "attach" ? "expected attach <machine> <image> --scsi BUS:TARGET"
                                               : "expected detach <machine> --scsi BUS:TARGET");
    }
    fs::path machine = args.positional[1];
    if (!sim::Machine::Exists(machine)) return Failure(args, machine.string() + " is not a simulated machine");
    std::string error;
    bool ok = verb == "attach" ? sim::AttachDisk(machine, bus, target, args.positional[2], &error)
                               : sim::DetachDisk(machine, bus, target, &error);
    if (!ok) return Failure(args, error);
    std::cout << (verb == "attach" ? "attached " + args.positional[2] + " at" : "detached the disk at") << " SCSI "
              << bus << ":" << target << "\n";
    return kExitOk;
  }
  if (verb == "show") {
    if (args.positional.size() != 2) return UsageError(args, "expected show <machine> or show <image>");
    fs::path dir = args.positional[1];
    sim::SimDiskImage image;
    if (sim::LoadDiskImage(dir, &image)) {
      PrintDiskImage(dir, args.Has("--json"), std::cout);
    } else if (sim::Machine::Exists(dir)) {
      PrintMachineStorage(dir, args.Has("--json"), std::cout);
    } else {
      return Failure(args, dir.string() + " is neither a machine nor a disk image");
    }
    return kExitOk;
  }
  return UsageError(args, "unknown subcommand '" + verb + "'");
}

// The simulated domain: a directory outside the machines, as a real domain is outside them.
int Domain(const Args& args) {
  namespace sim = tamber::platform::sim;
  if (args.positional.size() != 2) {
    return UsageError(args, "expected create <dir>, show <dir> or prime <machine>");
  }
  const std::string& verb = args.positional[0];
  fs::path dir = args.positional[1];
  if (verb != "prime" && (args.Has("--host") || args.Has("--uuid")))
    return UsageError(args, "--host and --uuid go with prime");
  if (verb == "prime") {
    if (args.Has("--name") || args.Has("--dc") || args.Has("--site")) {
      return UsageError(args, "--name, --dc and --site go with create");
    }
    PrimeResult primed = PrimeMachine(dir, args.Get("--host"), args.Get("--uuid"));
    if (primed.usage) return UsageError(args, primed.error);
    if (!primed.error.empty()) return Failure(args, primed.error);
    if (args.Has("--json")) {
      JsonWriter json(std::cout);
      json.BeginObject().Key("machine").String(dir.string()).Key("domain").String(primed.domain);
      json.Key("account").String(primed.account).Key("variables").BeginArray();
      for (const auto& name : PrimedVariables()) json.String(name);
      json.EndArray().EndObject();
      std::cout << "\n";
    } else {
      std::cout << "primed " << dir.string() << ": computer account " << primed.account << " in " << primed.domain
                << " has a new password; guestinfo";
      for (const auto& name : PrimedVariables()) std::cout << " " << name;
      std::cout << " set\n";
    }
    return kExitOk;
  }
  if (verb == "create") {
    if (args.Has("--json")) return UsageError(args, "--json goes with show");
    DomainSpec spec;
    spec.name = args.Get("--name");
    if (args.Has("--dc")) spec.controllers = args.options.at("--dc");
    if (args.Has("--site")) spec.sites = args.options.at("--site");
    DomainSpecError error = CreateDomain(dir, spec);
    if (error.usage) return UsageError(args, error.text);
    if (!error.text.empty()) return Failure(args, error.text);
    std::cout << "created domain " << spec.name << " in " << dir.string() << "\n";
    return kExitOk;
  }
  if (verb == "show") {
    if (args.Has("--name") || args.Has("--dc") || args.Has("--site")) {
      return UsageError(args, "--name, --dc and --site go with create");
    }
    std::string why;
    if (!sim::SimDomain::Open(dir, &why)) {
      std::cerr << "velocyn-sim domain: " << why
                << (sim::SimDomain::Exists(dir)
                        ? ""
                        : "; make one with: velocyn-sim domain create " + dir.string() + " --name NAME --dc DC")
                << "\n";
      return sim::SimDomain::Exists(dir) ? kExitFailure : kExitUsage;
    }
    if (args.Has("--json")) {
      PrintDomainJson(dir, std::cout);
    } else {
      PrintDomain(dir, std::cout);
    }
    return kExitOk;
  }
  return UsageError(args, "unknown subcommand '" + verb + "'");
}

// In the order of a machine's life, which is the order of the help text.
const CommandTable& Commands() {
  static const CommandTable commands = {
      {"domain",
       {"  domain create <dir> --name DNS-NAME [--dc DC[,DC...]]... [--site SITE[:DC[,DC...]]]...\n"
        "      make a simulated domain in directory <dir>, outside any machine: --dc controllers join the first\n"
        "      site named (the default site; \"Default-First-Site-Name\" when none is), SITE:DC puts them in that\n"
        "      site; a controller written without dots is DC.DNS-NAME\n"
        "  domain show <dir> [--json]\n"
        "      its sites with their controllers and its computer accounts by name (never their passwords)\n"
        "  domain prime <machine> --host NAME --uuid UUID [--json]\n"
        "      the management side's password step for a clone of a machine in a domain: computer account NAME\n"
        "      gets a fresh random password, and the machine's guestinfo carries it (machinePasswd, obfuscated\n"
        "      with NAME and UUID, machinePasswdChecksum, hostName, cloneprep.clone.uuid, primed.fqdn)\n",
        {"--json"},
        {"--name", "--dc", "--site", "--host", "--uuid"},
        Domain}},
      {"disk",
       {"  disk create <image> --size SIZE\n"
        "      make a blank data disk in directory <image>, outside any machine (SIZE in bytes or with K, M, G, T)\n"
        "  disk attach <machine> <image> --scsi BUS:TARGET\n"
        "      put the disk in a SCSI slot of the machine (0:0 is the system disk); its volumes arrive, and one\n"
        "      without the no-drive-letter attribute gets the first free letter\n"
        "  disk detach <machine> --scsi BUS:TARGET\n"
        "      take the disk out of the slot, with everything on it, for a successor clone\n"
        "  disk show <machine>|<image> [--json]\n"
        "      a machine's SCSI disks and drive letters, or an image's partition table\n",
        {"--json"},
        {"--size", "--scsi"},
        DiskCommand}},
      {"create",
       {"  create <machine> [--golden-image [--shutdown-delay MS]] [--force] [--time-scale N] [--utc-bias MINUTES]\n"
        "         [--domain DIR]\n"
        "      make a new simulated machine in directory <machine>: a blank Windows guest, or a golden image with\n"
        "      the agent installed as service tlv-velocyn-ga and marked GoldenImage; --shutdown-delay sets the\n"
        "      agent's ServiceShutdownDelay (absent: the agent's own default); --time-scale is the machine's\n"
        "      default scale for boots (machine ms per real ms, default 1000); --domain attaches it to the\n"
        "      simulated domain in DIR (see domain), in the domain's default site\n",
        {"--golden-image", "--force"},
        {"--time-scale", "--utc-bias", "--shutdown-delay", "--domain"},
        Create}},
      {"boot",
       {"  boot <machine> [--time-scale N|max] [--power-cut-at MS] [--control NAME@MS]... [--timeout S] [--agent PATH]\n"
        "       [--json]\n"
        "      boot it once: the boot-time agent, then the agent process (tlv-velocyn-ga next to velocyn-sim, or\n"
        "      --agent) as its service; print how the boot ended, the states the service reported, the power\n"
        "      request and the machine time. --power-cut-at cuts the power MS machine ms after the boot starts;\n"
        "      --control delivers a control (names as for control) at MS; --timeout (default 600) cuts the power\n"
        "      after S real seconds; --time-scale defaults to the machine's own (set by create); max: machine\n"
        "      time runs at that scale and jumps to the next deadline whenever the whole guest waits\n",
        {"--json"},
        {"--time-scale", "--power-cut-at", "--control", "--timeout", "--agent"},
        Boot}},
      {"control",
       {"  control <machine> stop|shutdown|preshutdown|pause|continue|interrogate|sessionchange:logon|\n"
        "          sessionchange:logoff|deviceevent\n"
        "      deliver a service control to the agent of a boot of <machine> that is running now\n",
        {},
        {},
        Control}},
      {"power-cut",
       {"  power-cut <machine>\n"
        "      cut the power of a boot of <machine> that is running now: only what the registry had made\n"
        "      durable is left (for a cut at a known machine time, use boot --power-cut-at)\n",
        {},
        {},
        PowerCut}},
      {"show",
       {"  show <machine> [--json] [--lines N]\n"
        "      the agent's view of the machine (role, customization type, flags, status, every marker that is set,\n"
        "      sibling status, PolicyState, BootExecute), a pending power request, the agent's registry keys, the\n"
        "      last N lines (default 20) of its log and of the hypervisor log, and the guestinfo variables;\n"
        "      showing never changes the machine\n",
        {"--json"},
        {"--lines"},
        Show}},
      {"reg",
       {"  reg get <machine> <key> [value]         print a key's values (or one value)\n"
        "  reg set <machine> <key> <value> <data> [--type dword|sz|expand_sz|multi_sz]\n"
        "  reg delete <machine> <key> <value>\n"
        "      keys are written HKLM\\...; a change is durable when the command ends; multi_sz items split at ';'\n",
        {},
        {"--type"},
        Reg}},
      {"guestinfo",
       {"  guestinfo list <machine> [--json]        the machine's guestinfo variables, as the hypervisor keeps them\n"
        "  guestinfo get <machine> <name>           print one variable (exit 1 when it is not set)\n"
        "  guestinfo set <machine> <name> <value>   set one (an empty value clears it); the leading \"guestinfo.\"\n"
        "      of a name is optional; the hypervisor side lasts across the guest's power cuts\n",
        {"--json"},
        {},
        GuestInfo}},
      {"net",
       {"  net list <machine> [--json]             the machine's network adapters with every setting\n"
        "  net set <machine> <adapter> NAME=VALUE...   change an adapter (by friendly name, GUID or position):\n"
        "      addresses, DHCP behaviour (a lease, a delay, no answer), the hypervisor-assigned MAC, device state\n"
        "  net add <machine> <friendly-name> [NAME=VALUE...]    a new Ethernet adapter\n"
        "  net remove <machine> <adapter>\n",
        {"--json"},
        {},
        Net}},
      {"fault",
       {"  fault list <machine>                     the machine's fault plan\n"
        "  fault set <machine> NAME=VALUE...        e.g. BootTimeAgentFails=1, NicEnableNeedsReboot=1;\n"
        "                                           AgentFault=VALUE[:KIND] makes the agent fault when it writes\n"
        "                                           the registry value VALUE (KIND: null-write, stack-overflow,\n"
        "                                           abort, divide)\n"
        "  fault clear <machine> NAME...\n",
        {},
        {},
        Fault}},
      {"chain",
       {"  chain <dir> [--flavour cloneprep|sysprep] [--clones N] [--jobs J] [--seed S] [--fault [KIND:]NAME=VALUE]...\n"
        "        [--expect [KIND:]STATUS[:CODE]]... [--time-scale N|max] [--max-boots N] [--json] [--report FILE.html]\n"
        "        [--persistent-disk SIZE] [--force] [--agent PATH]\n"
        "      customize a whole pool: make a domain and a golden image in <dir>, derive the internal template,\n"
        "      the replica and the parent from one another's disks and boot each through its role, then fork N\n"
        "      clones (default 3) from the parent and boot each until it is customized, J at a time (default:\n"
        "      the number of cores). Prints each machine's boots, status, PolicyState and time, and the clones'\n"
        "      outcomes. KIND is it, replica, parent or clone (default clone): --fault puts a fault in the plan\n"
        "      of those machines, --expect predicts their status (default success; STATUS is success, running or\n"
        "      error, CODE an error code). Exit 0 only when every machine ends as predicted and every clone's\n"
        "      success is true of the machine (its name, its secure channel, PolicyState 0,\n"
        "      IsCloneCustomizationSuccessful 1). --report writes one self-contained HTML page with the pool and\n"
        "      a per-boot timeline; --force replaces an earlier chain in <dir>; --persistent-disk SIZE gives\n"
        "      each clone a blank data disk (images in <dir>/disks) as its Primary persistent disk on D:.\n"
        "      --flavour sysprep: Windows setup gives each clone its identity; the replica gets an answer file,\n"
        "      the management side runs sysprep generalize on each clone, snapshots it when it reports\n"
        "      snapshotting and powers it on again (setup faults: SetupPhaseHangs, SetupPhaseFails).\n"
        "      --time-scale max: each boot's machine time jumps over the moments its whole guest waits\n",
        {"--json", "--force"},
        {"--flavour", "--clones", "--jobs", "--seed", "--fault", "--expect", "--time-scale", "--max-boots", "--report",
         "--agent", "--persistent-disk"},
        Chain}},
      {"torture",
       {"  torture <dir> [--runs N] [--seed S] [--flavour cloneprep|sysprep|universalprep|mixed] [--jobs J]\n"
        "          [--run I] [--keep] [--time-scale N|max] [--agent PATH] [--json]\n"
        "      customize N small pools (default 100; a parent and 1 to 3 clones, the template and replica under\n"
        "      faults in a share of runs), each under a fault plan drawn from seed S and the run's index: the\n"
        "      simulated machine's faults, power cuts at a machine time or at a registry write, registry flush,\n"
        "      file write or process start, a lazy flush interval, and a registry that may keep only part of what\n"
        "      it had not flushed. After each run the invariants are checked (no crash, hang or undocumented\n"
        "      exit; every machine ends in a documented state; success only when true; no marker without its\n"
        "      effect and no join or data format done twice; no secret in a log) and the first one broken on each\n"
        "      machine is named. A failing run stays in <dir>/run-NNNNNN with the command that replays it\n"
        "      (--run I: the same seed and index draw the same plan); passing runs are removed unless --keep.\n"
        "      --flavour mixed draws a flavour per run. J runs at a time (default 1). Exit 0 only when every run\n"
        "      keeps every invariant\n",
        {"--json", "--keep"},
        {"--runs", "--seed", "--flavour", "--jobs", "--run", "--time-scale", "--agent"},
        Torture}},
      {"demo",
       {"  demo <machine> [--time-scale N] [--lines N]\n"
        "      create a golden image (replacing what is there), boot it, and show the result\n",
        {},
        {"--time-scale", "--lines"},
        Demo}},
  };
  return commands;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(std::cerr, kExitUsage);
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") return Usage(std::cout, kExitOk);
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    std::cerr << "velocyn-sim: unknown command '" << name << "' (see velocyn-sim --help)\n";
    return kExitUsage;
  }
  auto args = Parse(name, *command, argc, argv);
  if (!args) return kExitUsage;
  if (args->Has("--help")) return CommandUsage(name, std::cout, kExitOk);
  try {
    return command->run(*args);
  } catch (const std::exception& error) {
    std::cerr << "velocyn-sim " << name << ": " << error.what() << "\n";
    return kExitFailure;
  }
}
