// Running a command line as a hidden child process and collecting what it prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Types.h"

namespace tamber::common::util {

class Util {
 public:
  // What becomes of a child still running at the time-out.
  enum class OnTimeout {
    LeaveRunning,    // it runs on by itself
    EndProcessTree,  // it is ended with every process it started (a job object holds them all)
  };

  // Runs the command line with standard output and standard error captured into output (cleared
  // first), logging each line when logOutput is set, and waits at most timeoutMs, counted in polls
  // of one second. True when the child exited with 0, or when the command line is empty. A child
  // still running at the time-out is left running.
  static bool RunScript(const std::wstring& commandLine, std::string& output, bool logOutput, uint32_t timeoutMs,
                        OnTimeout onTimeout = OnTimeout::LeaveRunning);
  // The same with the output discarded, logged, and no time limit to speak of.
  static bool RunScript(const std::wstring& commandLine);

  // Polls the read end of the child's output pipe until the child has ended and the pipe is
  // drained, or until more than timeoutSeconds polls have passed.
  static void GetScriptOutput(platform::Handle readPipe, platform::Handle process, uint32_t timeoutSeconds,
                              bool logOutput, std::string& output);

 private:
  // Logs each line of one chunk; a line split between two chunks is logged in two pieces.
  static void LogScriptOutput(std::string_view chunk);
};

}  // namespace tamber::common::util
