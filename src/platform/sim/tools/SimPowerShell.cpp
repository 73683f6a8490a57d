#include "platform/sim/tools/SimPowerShell.h"

#include <cwctype>
#include <exception>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/Registry.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimXml.h"
#include "platform/sim/tools/SimToolSupport.h"
#include "platform/sim/tools/SimTools.h"

namespace tamber::platform::sim {

// The agent's text, kept here as the model's own copy; a test holds the two equal.
const char* const kSysprepXmlScript =
    "# Talvora QX Agent PS Script to update sysprep XML interfaceId\r\n"
    "param([hashtable] $interfaceAlias)\r\n"
    "$success = 0\r\n"
    "$info = 1\r\n"
    "$warn = 2\r\n"
    "$error = 3\r\n"
    "$sysprepXmlPath = 'C:\\Windows\\Panther\\unattend.xml'\r\n"
    "function Set-Interface-Id($settings, [string] $componentName) {\r\n"
    "    try {\r\n"
    "        $component = $settings.component | Where-Object { $_.name -eq $componentName }\r\n"
    "        if ($component -eq $null) {\r\n"
    "            Write-Host \"[Info] $componentName not found. \"\r\n"
    "            return $info\r\n"
    "        }\r\n"
    "        if ($component.Interfaces -eq $null) {\r\n"
    "            Write-Host \"[Warn] $componentName has no Interfaces. \"\r\n"
    "            return $warn\r\n"
    "        }\r\n"
    "        $result = $warn\r\n"
    "        foreach ($interface in $component.Interfaces.Interface) {\r\n"
    "            if ($interface.Identifier -eq $null) {\r\n"
    "                continue\r\n"
    "            }\r\n"
    "            $interfaceId = $interface.Identifier\r\n"
    "            if ($interfaceId.Length -gt 17) {\r\n"
    "                $interfaceId = $interfaceId.Substring(0, 17)\r\n"
    "            }\r\n"
    "            if ($interfaceAlias.ContainsKey($interfaceId)) {\r\n"
    "                $interface.Identifier = $interfaceAlias[$interfaceId]\r\n"
    "                Write-Host \"[Info] $componentName interfaceId $interfaceId set to adapter name. \"\r\n"
    "                $result = $success\r\n"
    "            }\r\n"
    "            elseif ($interfaceAlias.ContainsValue($interfaceId)) {\r\n"
    "                Write-Host \"[Info] $componentName interfaceId already set to adapter name. \"\r\n"
    "                if ($result -ne $success) {\r\n"
    "                    $result = $info\r\n"
    "                }\r\n"
    "            }\r\n"
    "            else {\r\n"
    "                Write-Host \"[Warn] $componentName Unrecognized interfaceId $interfaceId. \"\r\n"
    "            }\r\n"
    "        }\r\n"
    "        return $result\r\n"
    "    }\r\n"
    "    catch {\r\n"
    "        Write-Host \"[Error] $componentName $($_ | Out-String). \"\r\n"
    "        return $error\r\n"
    "    }\r\n"
    "}\r\n"
    "try {\r\n"
    "    [xml] $sysprepXml = Get-Content -Path $sysprepXmlPath\r\n"
    "    $settings = $sysprepXml.unattend.settings | Where-Object { $_.pass -eq 'specialize' }\r\n"
    "    $updated = $false\r\n"
    "    foreach ($componentName in @('Microsoft-Windows-DNS-Client', 'Microsoft-Windows-TCPIP', "
    "'Microsoft-Windows-NetBT')) {\r\n"
    "        $result = Set-Interface-Id $settings $componentName\r\n"
    "        if ($result -eq $success) {\r\n"
    "            $updated = $true\r\n"
    "        }\r\n"
    "    }\r\n"
    "    if ($updated) {\r\n"
    "        $sysprepXml.Save($sysprepXmlPath)\r\n"
    "        Write-Output \"[Info] Sysprep XML InterfaceId updated successfully. \"\r\n"
    "    }\r\n"
    "    else {\r\n"
    "        Write-Output \"[Info] Sysprep XML processed successfully. \"\r\n"
    "    }\r\n"
    "    exit $success\r\n"
    "}\r\n"
    "catch {\r\n"
    "    Write-Output \"[Error] Failed updating sysprep xml ($($Error[0])) : $($_ | Out-String). \"\r\n"
    "    exit $error\r\n"
    "}\r\n";

namespace {

constexpr const wchar_t* kPolicyKeyPath = L"SOFTWARE\\Microsoft\\PowerShell\\1\\ShellIds\\Microsoft.PowerShell";
constexpr const wchar_t* kPolicyValue = L"ExecutionPolicy";
constexpr const wchar_t* kAnswerFilePath = L"C:\\Windows\\Panther\\unattend.xml";
constexpr const char* kPolicies[] = {"Unrestricted", "RemoteSigned", "AllSigned", "Restricted",
                                     "Default",      "Bypass",       "Undefined"};
constexpr const char* kComponents[] = {"Microsoft-Windows-DNS-Client", "Microsoft-Windows-TCPIP",
                                       "Microsoft-Windows-NetBT"};
constexpr uint32_t kScriptSuccess = 0;
constexpr uint32_t kScriptInfo = 1;
constexpr uint32_t kScriptWarn = 2;
constexpr uint32_t kScriptError = 3;

bool IsSingleQuote(wchar_t c) {
  return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f'; }

std::wstring FoldCase(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::string FoldAscii(std::string text) {
  for (auto& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The policy as stored; nullopt when unset.
std::optional<std::string> ReadPolicy() {
  HKey key = nullptr;
  if (RegOpenKeyEx(HKeyLocalMachine(), kPolicyKeyPath, 0, kKeyRead, &key) != kErrorSuccess) return std::nullopt;
  uint8_t bytes[128] = {};
  uint32_t size = sizeof bytes;
  uint32_t type = 0;
  const uint32_t result = RegQueryValueEx(key, kPolicyValue, &type, bytes, &size);
  RegCloseKey(key);
  if (result != kErrorSuccess || type != kRegSz) return std::nullopt;
  std::string text;
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    const uint32_t unit = bytes[i] | bytes[i + 1] << 8;
    if (unit == 0) break;
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

bool WritePolicy(const std::string& policy) {
  HKey key = nullptr;
  if (RegCreateKeyEx(HKeyLocalMachine(), kPolicyKeyPath, kRegOptionNonVolatile, kKeyAllAccess, &key, nullptr) !=
      kErrorSuccess) {
    return false;
  }
  uint32_t result;
  if (policy == "Undefined") {
    result = RegDeleteValue(key, kPolicyValue);
    if (result == kErrorFileNotFound) result = kErrorSuccess;
  } else {
    std::vector<uint8_t> bytes;
    for (char c : policy) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(0);
    }
    bytes.insert(bytes.end(), {0, 0});
    result = RegSetValueEx(key, kPolicyValue, kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  RegCloseKey(key);
  return result == kErrorSuccess;
}

std::string EffectivePolicy() {
  auto stored = ReadPolicy();
  return stored && !stored->empty() ? *stored : std::string("Restricted");
}

// The first 17 characters (UTF-16 code units, as .NET counts them; the texts here are ASCII).
std::string CutToMacLength(const std::string& text) {
  std::wstring wide = WidenUtf8(text);
  if (wide.size() > 17) wide.resize(17);
  return NarrowUtf8(wide);
}

uint32_t SetInterfaceId(const pugi::xml_node& settings, const char* componentName,
                        const std::vector<std::pair<std::wstring, std::wstring>>& map, std::string* output) {
  pugi::xml_node component;
  for (const pugi::xml_node& candidate : xml::Elements(settings, "component")) {
    if (!component && xml::Attribute(candidate, "name") == componentName) component = candidate;
  }
  const std::string name = componentName;
  if (!component) {
    *output += "[Info] " + name + " not found. \r\n";
    return kScriptInfo;
  }
  const auto interfaces = xml::Elements(component, "Interfaces");
  if (interfaces.empty()) {
    *output += "[Warn] " + name + " has no Interfaces. \r\n";
    return kScriptWarn;
  }
  uint32_t result = kScriptWarn;
  for (const pugi::xml_node& entry : xml::Elements(interfaces.front(), "Interface")) {
    const pugi::xml_node identifier = xml::FirstElement(entry, "Identifier");
    if (!identifier) continue;
    // All of the element's text, as PowerShell's XML adapter gives it.
    const std::string id = CutToMacLength(xml::Content(identifier));
    const std::wstring wideId = WidenUtf8(id);
    const std::pair<std::wstring, std::wstring>* byKey = nullptr;
    bool asValue = false;
    for (const auto& pair : map) {
      if (byKey == nullptr && FoldCase(pair.first) == FoldCase(wideId)) byKey = &pair;
      asValue = asValue || pair.second == wideId;
    }
    if (byKey != nullptr) {
      xml::SetContent(identifier, NarrowUtf8(byKey->second));
      *output += "[Info] " + name + " interfaceId " + id + " set to adapter name. \r\n";
      result = kScriptSuccess;
    } else if (asValue) {
      *output += "[Info] " + name + " interfaceId already set to adapter name. \r\n";
      if (result != kScriptSuccess) result = kScriptInfo;
    } else {
      *output += "[Warn] " + name + " Unrecognized interfaceId " + id + ". \r\n";
    }
  }
  return result;
}

uint32_t ScriptFailed(const std::string& reason, std::string* output) {
  *output += "[Error] Failed updating sysprep xml (" + reason + ") : " + reason + "\r\n. \r\n";
  return kScriptError;
}

std::string ReadAll(const std::filesystem::path& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  *ok = static_cast<bool>(in) || in.eof();
  return text.str();
}

uint32_t PowerShell(ToolContext& context) {
  if (!Machine::IsBooted()) return 1;
  const auto& argv = context.Argv();
  if (argv.size() < 2) {
    context.Err("powershell: no command\r\n");
    return 1;
  }
  const std::string first = FoldAscii(NarrowUtf8(argv[1]));
  if (first == "get-executionpolicy" && argv.size() == 2) {
    context.Out(EffectivePolicy() + "\r\n");
    return 0;
  }
  if (first == "set-executionpolicy" && argv.size() == 3) {
    const std::string wanted = FoldAscii(NarrowUtf8(argv[2]));
    for (const char* policy : kPolicies) {
      if (wanted == FoldAscii(policy)) {
        if (WritePolicy(policy)) return 0;
        context.Err("Set-ExecutionPolicy : Access to the registry key is denied.\r\n");
        return 1;
      }
    }
    context.Err("Set-ExecutionPolicy : Cannot bind parameter 'ExecutionPolicy'. Cannot convert value \"" +
                NarrowUtf8(argv[2]) + "\" to type \"Microsoft.PowerShell.ExecutionPolicy\".\r\n");
    return 1;
  }
  const std::wstring& program = argv[1];
  if (program.size() < 4 || FoldCase(program.substr(program.size() - 4)) != L".ps1") {
    context.Err("The term '" + NarrowUtf8(argv[1]) +
                "' is not recognized as the name of a cmdlet, function, script file, or operable program.\r\n");
    return 1;
  }
  const auto host = HostPath(program);
  bool read = false;
  const std::string text =
      host.empty() || !std::filesystem::is_regular_file(host) ? std::string() : ReadAll(host, &read);
  if (!read) {
    context.Err("The term '" + NarrowUtf8(program) +
                "' is not recognized as the name of a cmdlet, function, script file, or operable program.\r\n");
    return 1;
  }
  const std::string policy = FoldAscii(EffectivePolicy());
  if (policy == "restricted" || policy == "allsigned" || policy == "default") {
    context.Err("File " + NarrowUtf8(program) +
                " cannot be loaded because running scripts is disabled on this system.\r\n");
    return 1;
  }
  if (text != kSysprepXmlScript) {
    context.Err("powershell: this simulated PowerShell runs only the agent's answer-file script\r\n");
    return 1;
  }
  if (argv.size() < 4 || FoldAscii(NarrowUtf8(argv[2])) != "-interfacealias") {
    std::string output;
    const uint32_t code =
        ScriptFailed("Cannot bind argument to parameter 'interfaceAlias' because it is null.", &output);
    context.Out(output);
    return code;
  }
  std::wstring literal = argv[3];
  for (size_t i = 4; i < argv.size(); ++i) literal += L" " + argv[i];
  std::vector<std::pair<std::wstring, std::wstring>> map;
  std::string error;
  if (!ParseHashLiteral(literal, &map, &error)) {
    context.Err("At line:1 char:1\r\n" + error + "\r\n");
    return 1;
  }
  std::string output;
  const uint32_t code = RunSysprepXmlScript(map, &output);
  context.Out(output);
  return code;
}

}  // namespace

bool ParseHashLiteral(std::wstring_view text, std::vector<std::pair<std::wstring, std::wstring>>* entries,
                      std::string* error) {
  entries->clear();
  size_t i = 0;
  auto skipBlanks = [&](bool lineBreaks) {
    while (i < text.size() && (IsBlank(text[i]) || (lineBreaks && text[i] == L'\n'))) ++i;
  };
  auto fail = [&](const std::string& reason) {
    *error = reason + " (at offset " + std::to_string(i) + ")";
    entries->clear();
    return false;
  };
  auto quoted = [&](std::wstring* out) {
    if (i >= text.size() || !IsSingleQuote(text[i])) return false;
    ++i;
    out->clear();
    while (i < text.size()) {
      if (IsSingleQuote(text[i])) {
        if (i + 1 < text.size() && IsSingleQuote(text[i + 1])) {
          out->push_back(text[i]);
          i += 2;
          continue;
        }
        ++i;
        return true;
      }
      out->push_back(text[i++]);
    }
    return false;
  };
  skipBlanks(true);
  if (text.substr(i, 2) != L"@{") return fail("Missing '@{' at the start of the hash literal.");
  i += 2;
  for (;;) {
    skipBlanks(true);
    if (i < text.size() && text[i] == L'}') {
      ++i;
      break;
    }
    if (i < text.size() && text[i] == L';') {
      ++i;
      continue;
    }
    std::wstring key;
    std::wstring value;
    if (!quoted(&key)) return fail("Missing key before '=' in hash literal; only single-quoted strings are taken.");
    skipBlanks(false);
    if (i >= text.size() || text[i] != L'=') return fail("Missing '=' operator after key in hash literal.");
    ++i;
    skipBlanks(false);
    if (!quoted(&value))
      return fail("Missing statement after '=' in hash literal; only single-quoted strings are taken.");
    for (const auto& entry : *entries) {
      if (FoldCase(entry.first) == FoldCase(key))
        return fail("Duplicate keys '" + NarrowUtf8(key) + "' are not allowed in hash literals.");
    }
    entries->emplace_back(std::move(key), std::move(value));
    skipBlanks(false);
    if (i < text.size() && (text[i] == L';' || text[i] == L'\n')) {
      ++i;
      continue;
    }
    if (i < text.size() && text[i] == L'}') continue;
    return fail("The hash literal was incomplete.");
  }
  skipBlanks(true);
  if (i != text.size()) return fail("Unexpected token after the hash literal.");
  return true;
}

uint32_t RunSysprepXmlScript(const std::vector<std::pair<std::wstring, std::wstring>>& interfaceAlias,
                             std::string* output) {
  const auto path = HostPath(kAnswerFilePath);
  bool read = false;
  const std::string text =
      path.empty() || !std::filesystem::is_regular_file(path) ? std::string() : ReadAll(path, &read);
  if (!read)
    return ScriptFailed("Cannot find path 'C:\\Windows\\Panther\\unattend.xml' because it does not exist.", output);
  pugi::xml_document doc;
  if (!xml::Parse(text, &doc)) {
    return ScriptFailed("Cannot convert value to type \"System.Xml.XmlDocument\".", output);
  }
  const pugi::xml_node root = xml::Root(doc);
  pugi::xml_node settings;
  if (xml::LocalName(root) == "unattend") {
    for (const pugi::xml_node& candidate : xml::Elements(root, "settings")) {
      if (!settings && xml::Attribute(candidate, "pass") == "specialize") settings = candidate;
    }
  }
  bool updated = false;
  for (const char* component : kComponents) {
    if (!settings) {
      *output += std::string("[Info] ") + component + " not found. \r\n";
      continue;
    }
    updated = SetInterfaceId(settings, component, interfaceAlias, output) == kScriptSuccess || updated;
  }
  if (updated) {
    if (!xml::Save(doc, path)) {
      return ScriptFailed("Exception calling \"Save\" with \"1\" argument(s).", output);
    }
    *output += "[Info] Sysprep XML InterfaceId updated successfully. \r\n";
  } else {
    *output += "[Info] Sysprep XML processed successfully. \r\n";
  }
  return kScriptSuccess;
}

ToolFunction SimPowerShellTool() {
  return [](ToolContext& context) -> uint32_t {
    try {
      return PowerShell(context);
    } catch (const std::exception&) {  // the machine went away under a late run
      return 1;
    }
  };
}

}  // namespace tamber::platform::sim
