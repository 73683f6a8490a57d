// Scripts on Windows: batch files for cmd.exe, JScript for cscript.
#include "support/ScriptFiles.h"

#include "support/LogFiles.h"

namespace tamber::test {

std::wstring ScriptExtension() { return L".cmd"; }

bool WriteMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode) {
  return WriteWholeFile(
      path, "@echo ran %~1> \"" + Narrow(markerPath) + "\"\r\n@exit /b " + std::to_string(exitCode) + "\r\n");
}

bool WriteWaitingScript(const std::wstring& path, const std::wstring& commandLine) {
  return WriteWholeFile(path, "@" + Narrow(commandLine) + "\r\n");
}

std::wstring InterpreterPath() { return L"C:\\windows\\system32\\cscript.exe"; }

std::wstring InterpretedExtension() { return L".js"; }

bool WriteInterpretedMarkerScript(const std::wstring& path, const std::wstring& markerPath, uint32_t exitCode) {
  std::string marker;
  for (char c : Narrow(markerPath)) {
    marker += c;
    if (c == '\\') marker += '\\';
  }
  return WriteWholeFile(path,
                        "var fso = new ActiveXObject(\"Scripting.FileSystemObject\");\r\n"
                        "var f = fso.CreateTextFile(\"" +
                            marker +
                            "\", true);\r\n"
                            "f.WriteLine(\"ran \" + WScript.Arguments(0)); f.Close();\r\n"
                            "WScript.Quit(" +
                            std::to_string(exitCode) + ");\r\n");
}

}  // namespace tamber::test
