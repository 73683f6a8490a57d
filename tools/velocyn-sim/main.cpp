// velocyn-sim: the simulator's command line. Makes simulated Windows guests, boots them with the agent,
// and shows what the agent left behind.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BootSequence.h"
#include "Json.h"
#include "RegistryView.h"
#include "platform/Registry.h"
#include "platform/guestrpc/SimHypervisor.h"
#include "platform/sim/SimMachine.h"
#include "platform/sim/SimPaths.h"
#include "platform/sim/SimPower.h"

namespace fs = std::filesystem;
using namespace velocyn::sim_cli;
using tamber::platform::sim::Machine;
using tamber::platform::sim::NarrowUtf8;
using tamber::platform::sim::WidenUtf8;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The keys "show" prints: the agent's own settings and markers, and its service key.
const wchar_t* const kShownKeys[] = {L"HKLM\\SOFTWARE\\Talvora",
                                     L"HKLM\\SYSTEM\\CurrentControlSet\\services\\tlv-velocyn-ga"};
const wchar_t* const kLogDirectory = L"C:\\ProgramData\\Talvora\\Quorvel\\logs";

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--name value" or "--flag" (value "")
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

// Options that take a value; every other "--x" is a flag.
const char* const kValueOptions[] = {"--time-scale", "--utc-bias", "--lines", "--type"};

std::optional<Args> Parse(int argc, char** argv, int first) {
  Args args;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      args.positional.push_back(arg);
      continue;
    }
    bool takesValue = std::find(std::begin(kValueOptions), std::end(kValueOptions), arg) != std::end(kValueOptions);
    if (takesValue) {
      if (i + 1 >= argc) {
        std::cerr << "velocyn-sim: option " << arg << " needs a value\n";
        return std::nullopt;
      }
      args.options[arg] = argv[++i];
    } else {
      args.options[arg] = "";
    }
  }
  return args;
}

int Usage(std::ostream& out, int status) {
  out << "usage: velocyn-sim <command> [arguments] [--help]\n\n"
         "Simulated Windows guests for the Velocyn Agent.\n\n"
         "commands:\n"
         "  create <machine> [--force] [--time-scale N] [--utc-bias MINUTES]\n"
         "                          make a new simulated machine in directory <machine>\n"
         "  boot <machine> [--power-cut]\n"
         "                          boot it once with the agent's log writer and registry layer; end the boot\n"
         "                          cleanly, or by a power cut that loses whatever was not yet durable\n"
         "  show <machine> [--json] [--lines N]\n"
         "                          the agent's registry keys and the last N lines of its log (default 20), the\n"
         "                          guestinfo variables and the last N lines of the hypervisor log, and a shutdown\n"
         "                          or reboot the agent requested that has not been carried out yet\n"
         "  reg get <machine> <key> [value]        print a key's values (or one value)\n"
         "  reg set <machine> <key> <value> <data> [--type dword|sz|expand_sz|multi_sz]\n"
         "  reg delete <machine> <key> <value>\n"
         "                          keys are written HKLM\\...; a set is durable when the command ends\n"
         "  demo <machine>          create (replacing what is there), boot, and show\n"
         "  guestinfo list <machine> [--json]      the machine's guestinfo variables, as the hypervisor keeps them\n"
         "  guestinfo get <machine> <name>         print one variable (exit 1 when it is not set)\n"
         "  guestinfo set <machine> <name> <value> set one (an empty value clears it); the leading \"guestinfo.\"\n"
         "                          of a name is optional; the hypervisor side lasts across the guest's power cuts\n";
  return status;
}

bool WantsHelp(const Args& args) { return args.Has("--help") || args.Has("-h"); }

std::optional<fs::path> ExistingMachine(const Args& args, size_t index = 0) {
  if (args.positional.size() <= index) {
    std::cerr << "velocyn-sim: name the machine directory (see --help)\n";
    return std::nullopt;
  }
  fs::path dir = args.positional[index];
  if (!Machine::Exists(dir)) {
    std::cerr << "velocyn-sim: " << dir << " is not a simulated machine; make one with: velocyn-sim create " << dir
              << "\n";
    return std::nullopt;
  }
  return dir;
}

int Create(const Args& args) {
  if (args.positional.size() != 1) return Usage(std::cerr, kExitUsage);
  fs::path dir = args.positional[0];
  if (Machine::Exists(dir) && !args.Has("--force")) {
    std::cerr << "velocyn-sim: " << dir << " already holds a machine; add --force to replace it\n";
    return kExitFailure;
  }
  if (args.Has("--force")) fs::remove_all(dir);
  tamber::platform::sim::MachineConfig config;
  try {
    if (args.Has("--time-scale")) config.timeScale = std::stod(args.Get("--time-scale"));
    if (args.Has("--utc-bias")) config.utcBiasMinutes = std::stoi(args.Get("--utc-bias"));
  } catch (const std::exception&) {
    std::cerr << "velocyn-sim: --time-scale takes a positive number and --utc-bias a whole number of minutes\n";
    return kExitUsage;
  }
  if (config.timeScale <= 0) {
    std::cerr << "velocyn-sim: --time-scale must be positive\n";
    return kExitUsage;
  }
  Machine::Create(dir);
  Machine::SaveConfig(dir, config);
  std::cout << "created machine " << dir.string() << "\n";
  return kExitOk;
}

int Boot(const Args& args) {
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  bool powerCut = args.Has("--power-cut");
  BootResult result = RunBoot(*dir, powerCut);
  std::cout << "booted " << dir->string() << ": " << result.keysOpened << " agent keys open, support test "
            << (result.supportTestPassed ? "passed" : "FAILED") << ", ended by "
            << (powerCut ? "a power cut" : "a clean shutdown") << "\n";
  return result.supportTestPassed ? kExitOk : kExitFailure;
}

std::vector<std::string> LogTail(size_t lines) {
  fs::path dir = tamber::platform::sim::HostPath(kLogDirectory);
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (entry.is_regular_file() && entry.path().filename().string().rfind("debug-", 0) == 0) {
      files.push_back(entry.path());
    }
  }
  std::vector<std::string> tail;
  if (files.empty()) return tail;
  std::sort(files.begin(), files.end());  // the names sort by creation time
  std::ifstream in(files.back(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    tail.push_back(line);
    if (tail.size() > lines) tail.erase(tail.begin());
  }
  return tail;
}

int Show(const Args& args) {
  auto dir = ExistingMachine(args);
  if (!dir) return kExitUsage;
  size_t lines = 20;
  try {
    if (args.Has("--lines")) lines = std::stoul(args.Get("--lines"));
  } catch (const std::exception&) {
    std::cerr << "velocyn-sim: --lines takes a number\n";
    return kExitUsage;
  }
  // Read before the inspection boot: a request stays until whoever carries it out takes it.
  auto powerRequest = tamber::platform::sim::Power::Pending(*dir);
  Machine::Boot(*dir);
  std::vector<RegistryKeyView> keys;
  for (const wchar_t* root : kShownKeys) {
    auto tree = ReadTree(root);
    keys.insert(keys.end(), tree.begin(), tree.end());
  }
  auto tail = LogTail(lines);
  Machine::Shutdown();
  tamber::platform::guestrpc::SimHypervisor hypervisor(*dir / "hypervisor");
  auto variables = hypervisor.Variables();
  auto hypervisorLog = hypervisor.LogTail(lines);

  if (args.Has("--json")) {
    JsonWriter json(std::cout);
    json.BeginObject();
    json.Key("machine").String(fs::absolute(*dir).string());
    if (powerRequest) {
      json.Key("powerRequest")
          .BeginObject()
          .Key("action")
          .String(tamber::platform::sim::Power::ActionName(powerRequest->action))
          .Key("machineTimeMs")
          .String(std::to_string(powerRequest->machineTimeMs))
          .Key("reason")
          .String(std::to_string(powerRequest->reason))
          .EndObject();
    }
    json.Key("registry").BeginArray();
    for (const auto& key : keys) {
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
    json.Key("log").BeginArray();
    for (const auto& line : tail) json.String(line);
    json.EndArray();
    json.Key("guestinfo").BeginObject();
    for (const auto& [name, value] : variables) json.Key(name).String(value);
    json.EndObject();
    json.Key("hypervisorLog").BeginArray();
    for (const auto& line : hypervisorLog) json.String(line);
    json.EndArray().EndObject();
    std::cout << "\n";
    return kExitOk;
  }
  std::cout << "machine " << fs::absolute(*dir).string() << "\n";
  if (powerRequest)
    std::cout << "pending power request: " << tamber::platform::sim::Power::Describe(*powerRequest) << "\n";
  std::cout << "\nregistry:\n";
  for (const auto& key : keys) {
    std::cout << "  " << NarrowUtf8(key.path) << "\n";
    for (const auto& value : key.values) {
      std::cout << "      " << NarrowUtf8(value.name) << "  " << TypeName(value.type) << "  " << value.display << "\n";
    }
  }
  std::cout << "\nlog (last " << tail.size() << " lines):\n";
  for (const auto& line : tail) std::cout << "  " << line << "\n";
  std::cout << "\nguestinfo:\n";
  for (const auto& [name, value] : variables) std::cout << "  " << name << " = " << value << "\n";
  std::cout << "\nhypervisor log (last " << hypervisorLog.size() << " lines):\n";
  for (const auto& line : hypervisorLog) std::cout << "  " << line << "\n";
  return kExitOk;
}

// The management side's view of the guestinfo variables: no boot needed, the hypervisor keeps them.
int GuestInfo(const Args& args) {
  if (args.positional.size() < 2) return Usage(std::cerr, kExitUsage);
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
    if (!value) {
      std::cerr << "velocyn-sim: guestinfo." << name() << " is not set\n";
      return kExitFailure;
    }
    std::cout << *value << "\n";
    return kExitOk;
  }
  if (verb == "set" && args.positional.size() == 4) {
    if (!hypervisor.SetVariable(name(), args.positional[3])) {
      std::cerr << "velocyn-sim: cannot set guestinfo." << name()
                << ": a name is printable text without blanks (at most "
                << tamber::platform::guestrpc::SimHypervisor::kMaxNameSize << " bytes) and a value at most "
                << tamber::platform::guestrpc::SimHypervisor::kMaxValueSize << " bytes\n";
      return kExitFailure;
    }
    return kExitOk;
  }
  return Usage(std::cerr, kExitUsage);
}

int Reg(const Args& args) {
  if (args.positional.size() < 3) return Usage(std::cerr, kExitUsage);
  const std::string& verb = args.positional[0];
  auto dir = ExistingMachine(args, 1);
  if (!dir) return kExitUsage;
  std::wstring key = WidenUtf8(args.positional[2]);
  if (!SubKeyOfLocalMachine(key)) {
    std::cerr << "velocyn-sim: keys are written HKLM\\<path>\n";
    return kExitUsage;
  }
  Machine::Boot(*dir);
  int status = kExitOk;
  if (verb == "get") {
    auto tree = ReadTree(key);
    if (tree.empty()) {
      std::cerr << "velocyn-sim: no key " << args.positional[2] << "\n";
      status = kExitFailure;
    } else {
      bool shown = false;
      for (const auto& value : tree.front().values) {
        if (args.positional.size() > 3 && NarrowUtf8(value.name) != args.positional[3]) continue;
        std::cout << NarrowUtf8(value.name) << "  " << TypeName(value.type) << "  " << value.display << "\n";
        shown = true;
      }
      if (args.positional.size() > 3 && !shown) {
        std::cerr << "velocyn-sim: no value " << args.positional[3] << "\n";
        status = kExitFailure;
      }
    }
  } else if (verb == "set" && args.positional.size() == 5) {
    uint32_t error = WriteValue(key, WidenUtf8(args.positional[3]), args.Get("--type", "sz"), args.positional[4]);
    if (error != 0) {
      std::cerr << "velocyn-sim: could not set the value (Win32 error " << error
                << "); --type is dword, sz, expand_sz or multi_sz and a dword is decimal or 0x-hex\n";
      status = kExitFailure;
    }
  } else if (verb == "delete" && args.positional.size() == 4) {
    uint32_t error = DeleteValue(key, WidenUtf8(args.positional[3]));
    if (error != 0) {
      std::cerr << "velocyn-sim: could not delete the value (Win32 error " << error << ")\n";
      status = kExitFailure;
    }
  } else {
    Machine::Shutdown();
    return Usage(std::cerr, kExitUsage);
  }
  Machine::Shutdown();  // a clean end makes the change durable
  return status;
}

int Demo(const Args& args) {
  if (args.positional.size() != 1) return Usage(std::cerr, kExitUsage);
  Args create = args;
  create.options["--force"] = "";
  if (int status = Create(create); status != kExitOk) return status;
  if (int status = Boot(args); status != kExitOk) return status;
  std::cout << "\n";
  return Show(args);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(std::cerr, kExitUsage);
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(std::cout, kExitOk);
  auto args = Parse(argc, argv, 2);
  if (!args) return kExitUsage;
  if (WantsHelp(*args)) return Usage(std::cout, kExitOk);
  const std::map<std::string, std::function<int(const Args&)>> commands = {
      {"create", Create}, {"boot", Boot}, {"show", Show}, {"reg", Reg}, {"demo", Demo}, {"guestinfo", GuestInfo}};
  auto it = commands.find(command);
  if (it == commands.end()) {
    std::cerr << "velocyn-sim: unknown command '" << command << "' (see velocyn-sim --help)\n";
    return kExitUsage;
  }
  try {
    return it->second(*args);
  } catch (const std::exception& error) {
    std::cerr << "velocyn-sim: " << error.what() << "\n";
    return kExitFailure;
  }
}
