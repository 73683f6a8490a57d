// The sibling agent's helper stand-in (tools/stand-ins) put in place for a test: on the simulated
// guest as the guest's program at the helper's path (running the stand-in as a host process), on
// Windows as the stand-in executable copied to that path.
#pragma once

#include <filesystem>
#include <string>

namespace tamber::test {

void InstallHelperStandIn();
void RemoveHelperStandIn();
// Sets (value given) or clears a fault the stand-in reads (see tools/stand-ins/HelperStandIn.h).
void SetStandInFault(const std::string& name, const std::string& value);
void ClearStandInFault(const std::string& name);
// A program built beside the test program ("velocyn_test_child"), with ".exe" on Windows.
std::filesystem::path TestProgramPath(const std::string& name);

}  // namespace tamber::test
