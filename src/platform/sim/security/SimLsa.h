// The LSA private data (secrets) of the simulated guest, kept where Windows keeps them: one key per
// secret under HKLM\SECURITY\Policy\Secrets, its value in the default value of the "CurrVal" subkey and
// the value it replaced in "OldVal". Secrets are therefore exactly as durable as the SECURITY hive: a
// store is lost by a power cut that comes before the hive is flushed.
//
// Fault plan: "LsaStoreFails" = an NTSTATUS (decimal or 0x-hex, e.g. 0xC0000022 for
// STATUS_ACCESS_DENIED) makes LsaStorePrivateData fail with it and change nothing; "<status>@<name>"
// fails only the stores of that secret.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tamber::platform::sim {

inline constexpr wchar_t kLsaSecretsKey[] = L"SECURITY\\Policy\\Secrets";
inline constexpr char kLsaStoreFailsFault[] = "LsaStoreFails";

// The value of a secret of the booted machine as the LSA holds it now, or nothing when it is not stored
// (or no machine is booted). Names are compared without case, as the registry compares them.
std::optional<std::vector<uint8_t>> ReadLsaSecret(const std::wstring& name);
// The durable value of a secret in a machine directory (what the next boot will find), read from the
// SECURITY hive's file; nothing when it is not there or the file is damaged.
std::optional<std::vector<uint8_t>> ReadLsaSecret(const std::filesystem::path& machineDir, const std::wstring& name);
// Stores a secret of the booted machine as the operating system would (no fault applies): machine
// set-up, such as the machine account password "$MACHINE.ACC" of a machine that joined a domain.
bool WriteLsaSecret(const std::wstring& name, const std::vector<uint8_t>& value);

}  // namespace tamber::platform::sim
