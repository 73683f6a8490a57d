// The agent's only way to the guestinfo variables that the management side hands each machine, and to
// the hypervisor's log. Commands go over the hypervisor's guest RPC channel; on the golden image the same
// operations work on a registry mirror under the agent's guestInfo key instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/GuestRpc.h"

namespace tamber::core::util {

// What GuestInfo asks of the rest of the customization core: whether the registry-equivalent mode is on
// (asked afresh on every call), the mirror values, and the machine's role text. The default context
// reads the agent's keys through the Registry key map and takes the role text from the source installed
// with SetRoleTextSource; the state classes and tests may pass their own.
class GuestInfoContext {
 public:
  virtual ~GuestInfoContext() = default;
  // True when the DWORD GoldenImage under the setup key is 1 (absent counts as 0).
  virtual bool IsGoldenImage() = 0;
  // The mirror value; a missing value reads as empty. HRESULT-style result.
  virtual int32_t GetMirrorValue(const std::wstring& name, std::wstring* value) = 0;
  virtual int32_t SetMirrorValue(const std::wstring& name, const std::wstring& value) = 0;
  // "master", "it", "replica", "parent", "clone" or "unknown".
  virtual std::string GetRoleText() = 0;

  // The process-wide default context.
  static GuestInfoContext& Default();
  // Where the default context takes the role text from (MachineType installs itself); null restores
  // the built-in answer "unknown".
  static void SetRoleTextSource(std::function<std::string()> source);
};

class GuestInfo {
 public:
  // Null arguments take the process-wide defaults: the default context and the machine's transport.
  explicit GuestInfo(GuestInfoContext* context = nullptr, platform::GuestRpcTransport* transport = nullptr);
  virtual ~GuestInfo() = default;

  // Sends a complete command. On success *reply (if given) takes a new zero-terminated buffer with the
  // hypervisor's answer, to be released with FreeValue, and *replyLength its length. Refused on the
  // golden image, where the caller's stack is logged instead.
  virtual bool Run(const char* command, char** reply = nullptr, size_t* replyLength = nullptr);
  // Signed decimal text of value.
  virtual bool SetValue(const char* name, int32_t value);
  // An empty value clears the variable.
  virtual bool SetValue(const char* name, const char* value);
  // A line in the hypervisor's log (on the golden image, in the agent's own log).
  virtual bool Log(const char* text);
  virtual bool GetValue(const char* name, std::string* value);
  virtual bool GetValue(const char* name, std::wstring* value);
  // The raw form: *buffer is a new zero-terminated buffer, released with FreeValue.
  virtual bool GetValue(const char* name, char** buffer, size_t* length = nullptr);
  // True when the variable reads and its value begins with '1'.
  virtual bool IsGuestInfoVmStateSet(const char* name);
  // prefix + "." + role + "." + suffix, or role + "." + suffix without a prefix; empty without a suffix.
  virtual std::string BuildRoleVariableName(std::string* out, const char* prefix, const char* suffix);
  // Wipes and frees a reply buffer, and sets the pointer to null.
  virtual void FreeValue(char** buffer);

 private:
  bool RegistryMode();
  static void NoteChannelOnce();

  GuestInfoContext& context_;
  platform::GuestRpcTransport& transport_;
  bool defaultTransport_;
};

}  // namespace tamber::core::util
