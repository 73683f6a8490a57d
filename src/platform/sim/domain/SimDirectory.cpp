// The domain controller locator of the simulated guest (DsGetDcNameW, DsGetSiteNameW, the DsGetDcOpenW
// enumeration), answered from the machine's domain (SimDomain.h). Buffers come from malloc and go back
// through NetApiBufferFree, as one block per answer as netapi32 hands them out.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Directory.h"
#include "platform/sim/domain/SimDomain.h"
#include "platform/sim/machine/SimFaultPlan.h"
#include "platform/sim/machine/SimMachine.h"
#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform {
namespace {

constexpr uint32_t kRpcServerUnavailable = 1722;
constexpr uint32_t kControllerFlags = kDsGcFlag | kDsLdapFlag | kDsDsFlag | kDsKdcFlag | kDsTimeservFlag |
                                      kDsWritableFlag | kDsDnsControllerFlag | kDsDnsDomainFlag | kDsDnsForestFlag;

std::string Narrow(const wchar_t* text) { return text == nullptr ? std::string() : sim::NarrowUtf8(text); }

std::string Upper(std::string text) {
  for (auto& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return text;
}

std::string FirstLabel(const std::string& host) { return host.substr(0, host.find('.')); }

// Lays out a record and its texts in one block: the record first, then each text with its null.
class Block {
 public:
  explicit Block(size_t head) : head_(head) {}
  // The offset of the text within the block.
  size_t Add(const std::string& text) {
    size_t offset = head_ + used_;
    std::wstring wide = sim::WidenUtf8(text);
    wide.push_back(L'\0');
    used_ += wide.size() * sizeof(wchar_t);
    texts_.push_back(std::move(wide));
    return offset;
  }
  uint8_t* Allocate() const {
    auto* block = static_cast<uint8_t*>(std::calloc(1, head_ + used_));
    if (block == nullptr) return nullptr;
    size_t offset = head_;
    for (const auto& text : texts_) {
      std::memcpy(block + offset, text.data(), text.size() * sizeof(wchar_t));
      offset += text.size() * sizeof(wchar_t);
    }
    return block;
  }

 private:
  size_t head_;
  size_t used_ = 0;
  std::vector<std::wstring> texts_;
};

wchar_t* CopyText(const std::string& text) {
  Block block(0);
  block.Add(text);
  return reinterpret_cast<wchar_t*>(block.Allocate());
}

// Whether a computer name names this machine (null or empty is this machine too).
bool IsThisComputer(const wchar_t* computerName) {
  std::string name = Narrow(computerName);
  while (!name.empty() && name.front() == '\\') name.erase(0, 1);
  if (name.empty()) return true;
  std::string own = sim::BootedComputerName();
  return !own.empty() && (sim::SimDomain::SameName(name, own) || sim::SimDomain::SameName(FirstLabel(name), own));
}

struct Enumeration {
  std::vector<std::string> hosts;
  size_t position = 0;
  size_t siteRecords = 0;      // hosts before this index are the site's own
  bool notifySiteEnd = false;  // kDsNotifyAfterSiteRecords: report 1101 once between the two
  bool siteEndReported = false;
  uint32_t endCode = kErrorNoMoreItems;
};

struct Enumerations {
  std::mutex mutex;
  uintptr_t next = 0x4000;
  std::map<uintptr_t, Enumeration> open;
};

Enumerations& OpenEnumerations() {
  static auto* enumerations = new Enumerations;
  return *enumerations;
}

}  // namespace

uint32_t DsGetDcNameW(const wchar_t* computerName, const wchar_t* domainName, const Guid* /*domainGuid*/,
                      const wchar_t* siteName, uint32_t flags, DomainControllerInfoW** info) {
  if (info == nullptr) return kErrorInvalidParameter;
  if (auto fault = sim::TakeCountedFault("DsGetDcNameFails", kErrorNoSuchDomain)) return *fault;
  auto view = sim::BootedMachineDomain();
  if (!view) return kErrorNoSuchDomain;
  if (!IsThisComputer(computerName)) return kRpcServerUnavailable;
  std::string wanted = Narrow(domainName);
  if (!wanted.empty() && !view->domain.IsNamed(wanted)) return kErrorNoSuchDomain;

  const sim::SimDomainController* controller = nullptr;
  std::vector<sim::SimDomainController> inSite;
  if (siteName != nullptr && *siteName != L'\0') {
    inSite = view->domain.ControllersInSite(Narrow(siteName));
    if (!inSite.empty()) controller = &inSite.front();
  } else {
    controller = sim::CurrentController(*view);
  }
  if (controller == nullptr) return kErrorNoSuchDomain;

  const bool flat = (flags & kDsReturnFlatName) != 0;
  Block block(sizeof(DomainControllerInfoW));
  size_t name = block.Add("\\\\" + (flat ? Upper(FirstLabel(controller->host)) : controller->host));
  size_t address = block.Add("\\\\" + Upper(FirstLabel(controller->host)));
  size_t domain = block.Add(flat ? view->domain.NetbiosName() : view->domain.Name());
  size_t forest = block.Add(view->domain.Name());
  size_t dcSite = block.Add(controller->site);
  size_t clientSite = block.Add(view->site);
  uint8_t* memory = block.Allocate();
  if (memory == nullptr) return kErrorNotEnoughMemory;
  auto* record = reinterpret_cast<DomainControllerInfoW*>(memory);
  record->domainControllerName = reinterpret_cast<wchar_t*>(memory + name);
  record->domainControllerAddress = reinterpret_cast<wchar_t*>(memory + address);
  record->domainControllerAddressType = kDsNetbiosAddress;
  record->domainGuid = view->domain.DomainGuid();
  record->domainName = reinterpret_cast<wchar_t*>(memory + domain);
  record->dnsForestName = reinterpret_cast<wchar_t*>(memory + forest);
  record->flags = kControllerFlags;
  if (!view->domain.Controllers().empty() && view->domain.Controllers().front().host == controller->host) {
    record->flags |= kDsPdcFlag;  // the first controller holds the PDC role
  }
  if (sim::SimDomain::SameName(controller->site, view->site)) record->flags |= kDsClosestFlag;
  record->dcSiteName = reinterpret_cast<wchar_t*>(memory + dcSite);
  record->clientSiteName = reinterpret_cast<wchar_t*>(memory + clientSite);
  *info = record;
  return kErrorSuccess;
}

uint32_t DsGetSiteNameW(const wchar_t* computerName, wchar_t** siteName) {
  if (siteName == nullptr) return kErrorInvalidParameter;
  if (auto fault = sim::TakeCountedFault("DsGetSiteNameFails", kErrorNoSiteName)) return *fault;
  auto view = sim::BootedMachineDomain();
  if (!view) return kErrorNoSiteName;
  if (!IsThisComputer(computerName)) return kRpcServerUnavailable;
  wchar_t* copy = CopyText(view->site);
  if (copy == nullptr) return kErrorNotEnoughMemory;
  *siteName = copy;
  return kErrorSuccess;
}

uint32_t DsGetDcOpenW(const wchar_t* dnsName, uint32_t optionFlags, const wchar_t* siteName, const Guid* /*domainGuid*/,
                      const wchar_t* /*dnsForestName*/, uint32_t /*dcFlags*/, Handle* context) {
  if (context == nullptr || dnsName == nullptr || *dnsName == L'\0') return kErrorInvalidParameter;
  if (auto fault = sim::TakeCountedFault("DsGetDcOpenFails", kErrorNoSuchDomain)) return *fault;
  auto view = sim::BootedMachineDomain();
  if (!view || !view->domain.IsNamed(Narrow(dnsName))) return kErrorNoSuchDomain;

  Enumeration enumeration;
  std::string site = (siteName != nullptr && *siteName != L'\0') ? Narrow(siteName) : view->site;
  for (const auto& controller : view->domain.ControllersInSite(site)) enumeration.hosts.push_back(controller.host);
  enumeration.siteRecords = enumeration.hosts.size();
  if ((optionFlags & kDsOnlyDoSiteName) == 0) {
    for (const auto& controller : view->domain.Controllers()) {
      if (!sim::SimDomain::SameName(controller.site, site)) enumeration.hosts.push_back(controller.host);
    }
    enumeration.notifySiteEnd = (optionFlags & kDsNotifyAfterSiteRecords) != 0;
  }
  if (auto end = sim::FaultPlan::Get("DsGetDcNextEnd")) {
    uint32_t code = static_cast<uint32_t>(std::strtoul(end->c_str(), nullptr, 0));
    if (code != 0) enumeration.endCode = code;
  }

  auto& enumerations = OpenEnumerations();
  std::lock_guard<std::mutex> guard(enumerations.mutex);
  uintptr_t id = enumerations.next;
  enumerations.next += 4;
  enumerations.open[id] = std::move(enumeration);
  *context = reinterpret_cast<Handle>(id);
  return kErrorSuccess;
}

uint32_t DsGetDcNextW(Handle context, uint32_t* sockAddressCount, SocketAddress** sockAddresses,
                      wchar_t** dnsHostName) {
  auto& enumerations = OpenEnumerations();
  std::lock_guard<std::mutex> guard(enumerations.mutex);
  auto it = enumerations.open.find(reinterpret_cast<uintptr_t>(context));
  if (it == enumerations.open.end()) return kErrorInvalidHandle;
  Enumeration& enumeration = it->second;
  if (enumeration.notifySiteEnd && !enumeration.siteEndReported && enumeration.position == enumeration.siteRecords) {
    enumeration.siteEndReported = true;
    return kErrorFilemarkDetected;
  }
  if (enumeration.position >= enumeration.hosts.size()) return enumeration.endCode;
  if (dnsHostName != nullptr) {
    wchar_t* copy = CopyText(enumeration.hosts[enumeration.position]);
    if (copy == nullptr) return kErrorNotEnoughMemory;
    *dnsHostName = copy;
  }
  // The simulated network keeps no controller addresses.
  if (sockAddressCount != nullptr) *sockAddressCount = 0;
  if (sockAddresses != nullptr) *sockAddresses = nullptr;
  ++enumeration.position;
  return kErrorSuccess;
}

void DsGetDcCloseW(Handle context) {
  auto& enumerations = OpenEnumerations();
  std::lock_guard<std::mutex> guard(enumerations.mutex);
  enumerations.open.erase(reinterpret_cast<uintptr_t>(context));
}

uint32_t NetApiBufferFree(void* buffer) {
  std::free(buffer);
  return kErrorSuccess;
}

}  // namespace tamber::platform
