// Values the management side hands to other software inside a clone: the "inter-agent." guestinfo
// variables, written under the agent's AgentIntegration key where the sibling agents read them, and the
// lifecycle-management configuration, handed to a provisioning component as a custom data file.
#pragma once

#include <cstdint>
#include <string>

#include "core/util/GuestInfo.h"
#include "platform/Types.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
}  // namespace tamber::core::util

namespace tamber::core::windows {

// One guestinfo variable and the registry value it becomes.
struct IntegrationEntry {
  platform::HKey root;
  const char* command;  // the complete guestinfo command
  const wchar_t* shortName;
  const wchar_t* keyPath;  // under root
  const wchar_t* valueName;
  uint32_t type;  // REG_SZ or REG_MULTI_SZ
};

inline constexpr const wchar_t* kAgentIntegrationKeyPath =
    L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent\\AgentIntegration";
inline constexpr const char* kVesConfigVariable = "clone.ves.vmhubconfig";
inline constexpr const wchar_t* kCustomDataDirectory = L"C:\\AzureData";
inline constexpr const wchar_t* kCustomDataFile = L"CustomData.bin";

class AgentIntegration {
 public:
  // The integration values' phases.
  static constexpr int kPreCustomization = 1;
  static constexpr int kPostCustomization = 2;

  AgentIntegration();
  virtual ~AgentIntegration();
  AgentIntegration(const AgentIntegration&) = delete;
  AgentIntegration& operator=(const AgentIntegration&) = delete;

  // Creates (or opens) the AgentIntegration key.
  virtual bool CreateAgentIntegrationKey();
  // Writes the phase's values once per clone: 1 pre-customization, 2 post-customization.
  virtual void ParseAgentIntegrationValues(int phase);
  // Hands the lifecycle-management configuration to the provisioning component, then clears it.
  virtual void VesIntegration();

 protected:
  // Writes one entry's reply (UTF-16) as the entry's value.
  void WriteEntry(const IntegrationEntry& entry, const std::wstring& reply);
  // Writes the configuration to the custom data file; true when every byte is on disk.
  bool WriteCustomData(const char* data, size_t length);
  // Makes the local system account the owner of the written file.
  void SetCustomDataOwner(const std::wstring& path);

  util::GuestInfo guestInfo_;
  util::CustomizationPersistentInfo* persistentInfo_;
};

}  // namespace tamber::core::windows
