// Fuzzes the persistent-disk specification items as they come from the hypervisor: the list text split at
// commas, each item through Disk::SetDiskSpec. An accepted item sets a target letter (or "*") with its
// colon, a usage of 0 to 2 and a one-digit SCSI bus and target; a refused item sets nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/util/Utf16.h"
#include "core/windows/Disk.h"

using tamber::core::windows::Disk;

namespace {

bool IsDigit(const std::wstring& text) { return text.size() == 1 && text[0] >= L'0' && text[0] <= L'9'; }

void CheckItem(const std::wstring& item) {
  Disk disk(nullptr);
  if (!disk.SetDiskSpec(item)) {
    if (!disk.TargetMountPoint().empty() || !disk.ScsiString().empty() || disk.Usage() != 0) std::abort();
    return;
  }
  const std::wstring& target = disk.TargetMountPoint();
  if (!(target == L"*" || (target.size() == 2 && target[1] == L':'))) std::abort();
  if (disk.Usage() > 2) std::abort();
  if (!IsDigit(disk.ScsiBus()) || !IsDigit(disk.ScsiTargetId())) std::abort();
  if (disk.ScsiString() != L"Bus Number " + disk.ScsiBus() + L", Target Id " + disk.ScsiTargetId() + L", LUN 0") {
    std::abort();
  }
  if (Disk::Normalize(target) != target) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as UTF-16LE, so that any wide character can reach the pattern.
  std::wstring text = tamber::common::util::FromUtf16LeBytes(data, size);
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(L',', start);
    CheckItem(text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  Disk::Normalize(text);
  return 0;
}
