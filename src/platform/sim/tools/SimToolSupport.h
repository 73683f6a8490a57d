// What the simulated Windows tools share: their option syntax and a look at the service control manager.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::platform::sim {

// One "/name:value" (or "-name:value") argument: the name in lower case without its slash, and the value
// as written ("" when there is no colon). False for an argument that is no option.
bool SplitToolOption(const std::wstring& argument, std::wstring* name, std::wstring* value);

// Lower case, ASCII letters only, as the tools compare their options.
std::wstring LowerAscii(std::wstring text);

// Whether the service runs now on the booted machine.
bool IsServiceRunning(const wchar_t* name);

}  // namespace tamber::platform::sim
