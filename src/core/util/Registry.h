// The agent's registry key map: every key the agent touches has a small number (its registry type).
// Each key is opened (or created) once on first use, kept open for the rest of the process, and reached
// through typed value operations that take the registry type last.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/registry/RegKey.h"
#include "core/util/Singleton.h"
#include "platform/Types.h"

namespace tamber::core::util {

using RegistryType = uint32_t;

// The registry types. Numbers of 18 and above are invalid.
namespace regtype {
constexpr RegistryType kService = 0;             // the agent's own service key
constexpr RegistryType kGa = 1;                  // persistent customization markers and "ga" settings
constexpr RegistryType kNga = 2;                 // markers shared with the boot-time agent
constexpr RegistryType kExternal = 3;            // values for other components
constexpr RegistryType kSessionManager = 4;      // "BootExecute"
constexpr RegistryType kNetlogonParameters = 5;  // Netlogon flags
constexpr RegistryType kAgentIntegration = 6;
constexpr RegistryType kSetupState = 7;  // "ImageState"
constexpr RegistryType kAgentIntegrationAv = 8;
constexpr RegistryType kCachedMachineNames = 9;  // "NameUserPrincipal"
constexpr RegistryType kProfileList = 10;
constexpr RegistryType kSupport = 11;             // customization timings
constexpr RegistryType kGuestInfo = 12;           // registry mirror of guestinfo variables
constexpr RegistryType kSetup = 13;               // "GoldenImage"
constexpr RegistryType kSystemSetup = 14;         // "CmdLine"
constexpr RegistryType kAgentConfiguration = 15;  // the sibling desktop agent's configuration
constexpr RegistryType kNodeManager = 16;
constexpr RegistryType kQuorvelAgent = 17;  // "OPERATION_TYPE"
constexpr RegistryType kCount = 18;
}  // namespace regtype

// The key path of each registry type under HKEY_LOCAL_MACHINE, spelled as the other components spell it.
extern const std::array<const wchar_t*, regtype::kCount> kRegistryKeyPaths;

class Registry : public Singleton<Registry> {
 public:
  using KeyObject = common::windows::registry::ExistingRegKey;

  virtual ~Registry();

  // The strings of a REG_MULTI_SZ value.
  virtual int32_t GetValue(const std::wstring& name, std::vector<std::wstring>* values, RegistryType type);
  // DWORD; *value holds *defaultValue (0 when null) when the value is missing.
  virtual int32_t GetValue(const std::wstring& name, const uint32_t* defaultValue, uint32_t* value, RegistryType type);
  virtual int32_t GetValue(const std::wstring& name, std::wstring* value, RegistryType type);
  // Raw REG_MULTI_SZ bytes, double-null-terminated by the caller.
  virtual int32_t SetValue(const std::wstring& name, const uint8_t* data, uint32_t size, RegistryType type);
  virtual int32_t SetValue(const std::wstring& name, uint32_t value, RegistryType type);
  // REG_SZ.
  virtual int32_t SetValue(const std::wstring& name, const std::wstring& value, RegistryType type);
  // Creates root\path with read and write access; creation errors are logged, the result is always 0.
  virtual int32_t CreateKey(platform::HKey root, const std::wstring& path);
  virtual int32_t FlushKey(RegistryType type);
  virtual int32_t WaitForChange(bool* armed, platform::Handle event, RegistryType type);
  virtual int32_t WaitForDwordValue(const std::wstring& name, uint32_t expected, uint32_t timeoutMs, bool* found,
                                    RegistryType type);
  virtual int32_t WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs,
                                     RegistryType type);
  virtual int32_t WaitForStringValue(const std::wstring& name, const std::wstring& expected, uint32_t timeoutMs,
                                     bool* found, platform::Handle shutdownEvent, RegistryType type);
  virtual int32_t WaitForValueExists(const std::wstring& name, uint32_t timeoutMs, RegistryType type);

  // The cached key object of a registry type, opened (or created) on first use; null for an unknown
  // type. A key that failed to open stays cached as failed.
  std::shared_ptr<KeyObject> GetKeyObj(RegistryType type);
  // Opens root\path, creating it first when it does not exist.
  std::shared_ptr<KeyObject> GetKey(platform::HKey root, const std::wstring& path, uint32_t access);

 protected:
  Registry() = default;

 private:
  friend class Singleton<Registry>;

  std::mutex cacheLock_;  // the cache is filled from several threads (service, control handler, watchers)
  std::array<std::shared_ptr<KeyObject>, regtype::kCount> keys_;
};

}  // namespace tamber::core::util
