// Runs a command line on the booted simulated machine as the agent's runner does, with standard output
// and standard error captured, and gives the exit code and the output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/windows/Handles.h"
#include "platform/Process.h"
#include "platform/Sync.h"

namespace tamber::test {

struct ToolRun {
  uint32_t exitCode = 0;
  std::string output;
};

inline ToolRun RunTool(const std::wstring& commandLine) {
  using common::windows::UniqueHandle;
  ToolRun run;
  UniqueHandle inRead, inWrite, outRead, outWrite;
  EXPECT_TRUE(platform::CreatePipe(inRead.put(), inWrite.put(), true, 0));
  EXPECT_TRUE(platform::CreatePipe(outRead.put(), outWrite.put(), true, 0));
  platform::StartupInfo startup{true, inRead.get(), outWrite.get(), outWrite.get()};
  platform::ProcessInformation info;
  if (!platform::CreateProcess(commandLine, true, platform::kCreateNoWindow, startup, &info)) {
    ADD_FAILURE() << "cannot start the command";
    return run;
  }
  UniqueHandle process(info.process), thread(info.thread);
  outWrite.reset();
  inRead.reset();
  char buffer[512];
  uint32_t count = 0;
  while (platform::ReadFile(outRead.get(), buffer, sizeof buffer, &count)) run.output.append(buffer, count);
  // The tool closed its output: it ends at once, but a loaded host may hold its thread back for many
  // scaled machine seconds.
  EXPECT_EQ(platform::WaitForSingleObject(process.get(), 3600000), platform::kWaitObject0);
  EXPECT_TRUE(platform::GetExitCodeProcess(process.get(), &run.exitCode));
  return run;
}

}  // namespace tamber::test
