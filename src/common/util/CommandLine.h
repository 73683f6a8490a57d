// Building command lines that the Windows rules split back into the arguments given.
#pragma once

#include <string>

namespace tamber::common::util {

// One argument in double quotes: a quote inside is escaped and backslashes before a quote (or before the
// closing quote) are doubled, so that no text can end the argument early or add arguments of its own.
std::wstring QuoteCommandLineArgument(const std::wstring& argument);

}  // namespace tamber::common::util
