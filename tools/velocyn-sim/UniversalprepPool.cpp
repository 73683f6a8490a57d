#include "UniversalprepPool.h"

#include <fstream>

#include "AgentBoot.h"
#include "RegistryView.h"
#include "framework/log/LogWriter.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimSetup.h"

namespace velocyn::sim_cli {

namespace fs = std::filesystem;
namespace sim = tamber::platform::sim;

namespace {

constexpr const wchar_t* kMirrorKey = L"HKLM\\SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\guestInfo";
constexpr const wchar_t* kNodeManagerKey = L"HKLM\\Software\\Talvora\\Quorvel\\Node Manager";
constexpr const char* kHelperFile = "Program Files/Talvora/Quorvel/Agent/bin/tqaprep.exe";
// The sibling agent's answer file for generalize, as the helper gives it to sysprep. Setup names the
// clone ("*") unless the helper's interception names it first.
constexpr const wchar_t* kAnswerFile = L"C:\\Progra~1\\Talvora\\Quorvel\\Agent\\unattend.xml";
constexpr const char* kAnswerFileText =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">\n"
    "  <settings pass=\"specialize\">\n"
    "    <component name=\"Microsoft-Windows-Shell-Setup\"><ComputerName>*</ComputerName></component>\n"
    "  </settings>\n"
    "</unattend>\n";

}  // namespace

std::string InstallUniversalprepGolden(const std::string& domainName, const std::string& machineGuid) {
  struct Value {
    const wchar_t* key;
    const wchar_t* name;
    const char* type;
    std::string data;
  };
  const Value values[] = {
      {kMirrorKey, L"AgentCustomizationFlags", "sz", kUniversalprepPoolFlags},
      {kMirrorKey, L"primed.fqdn", "sz", domainName},
      {kNodeManagerKey, L"Use KTQ", "dword", "0"},
      {kNodeManagerKey, L"Server DN", "sz", "CN=" + machineGuid + ",OU=Desktops,DC=corp,DC=example"},
  };
  for (const auto& value : values) {
    if (uint32_t error = WriteValue(value.key, value.name, value.type, value.data); error != 0) {
      return "cannot write " + sim::NarrowUtf8(value.name) + " (Win32 error " + std::to_string(error) + ")";
    }
  }
  const fs::path helper = sim::Machine::DriveRoot() / kHelperFile;
  std::error_code error;
  fs::create_directories(helper.parent_path(), error);
  std::ofstream(helper, std::ios::binary) << "the sibling agent's helper\n";
  if (!fs::exists(helper)) return "cannot write the helper's file";
  const fs::path answers = sim::HostPath(kAnswerFile);
  fs::create_directories(answers.parent_path(), error);
  std::ofstream(answers, std::ios::binary) << kAnswerFileText;
  if (!fs::exists(answers)) return "cannot write the helper's answer file";
  sim::InstallSetupState();  // an installed Windows: setup complete
  return {};
}

std::optional<std::string> ReadMirrorVariable(const fs::path& machine, const std::string& name) {
  std::lock_guard<std::mutex> lock(InProcessMachineLock());
  sim::Machine::Boot(machine);
  auto value = ReadOneValue(kMirrorKey, sim::WidenUtf8(name));
  sim::Machine::PowerCut();  // read only: leave the machine exactly as it was
  if (!value) return std::nullopt;
  return value->display;
}

}  // namespace velocyn::sim_cli
