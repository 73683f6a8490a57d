// Windows paths of the simulated guest: "C:\..." lives under the machine directory's drive_c.
#pragma once

#include <filesystem>
#include <string>

namespace tamber::platform::sim {

// Maps an absolute Windows path (drive C:, or another letter with a formatted volume on it; either slash,
// case-insensitive per component as NTFS names are) onto the host; components that exist are matched
// case-insensitively, the rest are kept as given. Empty on a path that is not absolute or not on such a drive, or when
// no machine is booted.
std::filesystem::path HostPath(const std::wstring& windowsPath);

// UTF-8 text of a wide string and back (host file names, stored registry names).
std::string NarrowUtf8(const std::wstring& text);
std::wstring WidenUtf8(const std::string& text);

}  // namespace tamber::platform::sim
