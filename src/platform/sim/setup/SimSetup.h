// Windows setup of the simulated guest: the image state that sysprep and the setup passes leave in the
// registry, and the passes themselves, in machine time and across the machine's boots as Windows runs them.
//
//   installed          ImageState IMAGE_STATE_COMPLETE, SYSTEM\Setup CmdLine "" and SetupType 0
//   sysprep /generalize /oobe (a running machine; SimSysprep.cpp): ImageState IMAGE_STATE_UNDEPLOYABLE while
//                      it works, then IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE, CmdLine "oobe\windeploy.exe",
//                      SetupType 2, the answer file (/unattend:FILE) cached as C:\Windows\Panther\unattend.xml,
//                      the hives flushed; then the shutdown or reboot it was asked for (/shutdown, /reboot;
//                      /quit or neither: none)
//   next boot          specialize: once the boot's services are up, setup runs SYSTEM\Setup\CmdLine as a
//                      process (SetupType 2); the stock command is the simulated windeploy, which marks
//                      IMAGE_STATE_UNDEPLOYABLE, applies the specialize pass of the cached answer file
//                      (SimUnattend.h: computer name; the network settings of the interfaces it names by
//                      Identifier, adapter name or MAC text) and on success writes
//                      IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE, flushes and reboots. A command installed in
//                      CmdLine in its place really runs (an interception: it must run windeploy itself)
//   next boot          out-of-box experience: IMAGE_STATE_UNDEPLOYABLE, then IMAGE_STATE_COMPLETE with
//                      CmdLine "" and SetupType 0; no reboot
// A failed pass leaves IMAGE_STATE_UNDEPLOYABLE (as Windows does) and a line in
// C:\Windows\Panther\setuperr.log; progress goes to setupact.log beside it.
//
// Fault plan (value: a phase name "generalize", "specialize" or "oobe", or several joined by commas):
//   SetupPhaseHangs   the phase starts and never finishes (its ImageState stays IMAGE_STATE_UNDEPLOYABLE)
//   SetupPhaseFails   the phase fails: sysprep's own error state, sysprep.exe exits with 1
//   SetupPhaseMs.<phase>=N   the phase takes N ms of machine time instead of its default
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tamber::platform::sim {

inline constexpr const wchar_t* kSetupStateKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\State";
inline constexpr const wchar_t* kImageStateValue = L"ImageState";
inline constexpr const wchar_t* kSystemSetupKeyPath = L"SYSTEM\\Setup";
inline constexpr const wchar_t* kSetupCmdLineValue = L"CmdLine";
inline constexpr const wchar_t* kSetupTypeValue = L"SetupType";
inline constexpr const wchar_t* kWindeployCommand = L"oobe\\windeploy.exe";
inline constexpr const wchar_t* kCachedAnswerFile = L"C:\\Windows\\Panther\\unattend.xml";
inline constexpr const wchar_t* kSysprepProgram = L"C:\\Windows\\System32\\Sysprep\\sysprep.exe";

namespace image_state {
inline constexpr const wchar_t* kComplete = L"IMAGE_STATE_COMPLETE";
inline constexpr const wchar_t* kUndeployable = L"IMAGE_STATE_UNDEPLOYABLE";
inline constexpr const wchar_t* kGeneralizeResealToOobe = L"IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE";
inline constexpr const wchar_t* kSpecializeResealToOobe = L"IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE";
}  // namespace image_state

enum class SetupPhase { Generalize, Specialize, Oobe };
const char* SetupPhaseName(SetupPhase phase);

inline constexpr const char* kSetupPhaseHangsFault = "SetupPhaseHangs";
inline constexpr const char* kSetupPhaseFailsFault = "SetupPhaseFails";

// Machine time a phase takes when the fault plan names no other.
uint32_t SetupPhaseDurationMs(SetupPhase phase);

// ImageState of the booted machine; nullopt when absent.
std::optional<std::wstring> ReadImageState();
std::wstring ReadSetupCmdLine();
// Writes ImageState and flushes its hive (setup makes every state it reaches durable).
bool WriteImageState(const std::wstring& state);
// The state of an installed Windows that was never generalized (the golden image is made so).
void InstallSetupState();

// What sysprep asks for after generalize.
enum class AfterGeneralize { Quit, Shutdown, Reboot };

// The generalize pass on the calling thread (sysprep.exe runs it). answerFile: the Windows path given
// with /unattend, empty for none. Returns the tool's exit code (0 on success); *message says why not.
// stopped is asked while the pass takes its time; true ends the pass early (exit code 1), as does the end
// of the boot.
uint32_t RunGeneralize(const std::wstring& answerFile, AfterGeneralize after, const std::function<bool()>& stopped,
                       std::string* message);
// The specialize pass (the simulated windeploy runs it). Same conventions.
uint32_t RunSpecialize(const std::function<bool()>& stopped, std::string* message);

// A line in setupact.log (and setuperr.log when error is set), as setup keeps its own log.
void SetupLog(const std::string& line, bool error);

// Starts, for the boot that just began, the setup work that runs by itself: the pending pass (specialize
// through CmdLine, or the out-of-box experience) and the hypervisor's queued guest operations
// (SimGuestOperations.h). The boot sequence calls it after the boot-time agent; in-process tests that
// boot machines call it themselves. Idempotent within a boot.
void StartSetupAtBoot();
// Ends that work (the boot ends). Called before the machine's boot state is torn down.
void StopSetupAtBoot();
// A service of this boot has reported running (the service host tells; setup waits for the services).
void NoteServiceRunning();

}  // namespace tamber::platform::sim
