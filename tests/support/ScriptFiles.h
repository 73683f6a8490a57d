// Administrator scripts for the script tests, in the tier's own form: batch files run by cmd.exe on
// Windows, shell scripts on the simulated guest (a script in the guest's drive is a host file that the
// guest's process runner starts). Paths are the guest's Windows paths.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::test {

// ".cmd" or ".sh".
std::wstring ScriptExtension();
// Writes a script that writes "ran <its first argument>" into the marker file and exits with the code.
bool WriteMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode);
// Writes a script that runs the command line and waits for it.
bool WriteWaitingScript(const std::wstring& path, const std::wstring& commandLine);

// An interpreter that takes a script's path as its first argument and runs it with the rest: cscript on
// Windows, a launcher tool of the simulated guest. The path exists in the guest's drive.
std::wstring InterpreterPath();
// The extension of the scripts it runs, and such a script writing "ran <first argument>" into the marker.
std::wstring InterpretedExtension();
bool WriteInterpretedMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode);

}  // namespace tamber::test
