// Fuzzes the simulated PowerShell's hash literal parser and the agent's literal and command-line
// quoting: any text must parse without fault, and any map the agent builds must come back whole through
// the Windows command-line splitting and the parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/windows/Sysprep.h"
#include "platform/sim/tools/SimPowerShell.h"
#include "platform/sim/tools/SimTools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace sim = tamber::platform::sim;
  using tamber::core::windows::Sysprep;
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (unit != 0 && (unit < 0xD800 || unit > 0xDFFF)) text.push_back(unit);
  }
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  std::string error;
  sim::ParseHashLiteral(text, &entries, &error);

  // The text as one adapter name: what the agent writes must reach the script as that name.
  const std::wstring literal = Sysprep::BuildInterfaceAliasLiteral({{L"02-54-56-00-00-01", text}});
  const auto argv =
      sim::SplitCommandLine(L"powershell x.ps1 -interfaceAlias " + Sysprep::QuoteCommandLineArgument(literal));
  if (argv.size() < 4) std::abort();
  std::wstring joined = argv[3];
  for (size_t i = 4; i < argv.size(); ++i) joined += L" " + argv[i];
  if (joined != literal) std::abort();
  if (!sim::ParseHashLiteral(joined, &entries, &error) || entries.size() != 1 || entries[0].second != text)
    std::abort();
  return 0;
}
