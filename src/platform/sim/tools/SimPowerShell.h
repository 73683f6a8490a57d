// The simulated "powershell" of the guest. It understands what the agent asks of it, and nothing more:
//   powershell Get-ExecutionPolicy           prints the machine's policy ("Restricted" when unset), kept as
//                                            ExecutionPolicy in HKLM SOFTWARE\Microsoft\PowerShell\1\ShellIds\Microsoft.PowerShell
//   powershell Set-ExecutionPolicy <policy>  stores it (Undefined removes the setting); an unknown name fails
//   powershell <file>.ps1 -interfaceAlias <hash literal>
//                                            runs the agent's answer-file script, and only it: the file must exist
//                                            at that path with exactly that script's text (kSysprepXmlScript), and
//                                            the policy must let local scripts run. The argument is PowerShell
//                                            source text; this model takes a literal of single-quoted strings only
//                                            (ParseHashLiteral) and refuses anything else as PowerShell's parser
//                                            would refuse or, worse, run it: a literal that is not whole is the
//                                            sign of a name that escaped its quotes.
// What the script does is modelled on the answer file (C:\Windows\Panther\unattend.xml, read and written with
// pugixml), with its own output lines and exit codes (0 success, 3 error). PowerShell's arguments are joined
// with single blanks into the command text, as powershell.exe does with what follows the script path.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamber::platform::sim {

// The answer-file script as the agent writes it; the model recognises the script by this text alone.
extern const char* const kSysprepXmlScript;

// Parses "@{'key'='value';...}" (blanks, tabs and line breaks between the parts; entries separated by ';'
// or a line break; '' inside a string is one quote, as are PowerShell's other single quotation marks).
// False with PowerShell's kind of reason on anything else, including keys that repeat (compared without
// regard to case, as PowerShell's hash tables compare them).
bool ParseHashLiteral(std::wstring_view text, std::vector<std::pair<std::wstring, std::wstring>>* entries,
                      std::string* error);

// The script's work on the answer file with the given map; the lines it prints go to *output. Its exit code.
uint32_t RunSysprepXmlScript(const std::vector<std::pair<std::wstring, std::wstring>>& interfaceAlias,
                             std::string* output);

}  // namespace tamber::platform::sim
