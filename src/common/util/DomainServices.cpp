#include "common/util/DomainServices.h"

#include "common/util/DnsName.h"
#include "common/util/Util.h"
#include "common/windows/DirectoryHandles.h"
#include "framework/log/Log.h"
#include "platform/Directory.h"

namespace tamber::common::util {

using windows::UniqueDcEnumeration;
using windows::UniqueNetApiBuffer;

std::wstring DomainServices::GetCurrentDC(const std::wstring& domain) {
  UniqueNetApiBuffer<platform::DomainControllerInfoW> info;
  uint32_t result = platform::DsGetDcNameW(nullptr, domain.empty() ? nullptr : domain.c_str(), nullptr, nullptr,
                                           platform::kDsReturnDnsName, info.put());
  if (result != platform::kErrorSuccess) {
    Log(LogLevel::Error, L"tamber::common::util::DomainServices::GetCurrentDC(): DsGetDcNameW Failed. Error: 0x%X",
        result);
    return {};
  }
  std::wstring name = info && info.get()->domainControllerName != nullptr ? info.get()->domainControllerName : L"";
  if (name.size() < 2) {
    Log(LogLevel::Error,
        L"tamber::common::util::DomainServices::GetCurrentDC(): DsGetDcNameW returned invalid DC Name: %ws", name);
    return name;
  }
  // The locator writes "\\" in front of the name.
  if (name.compare(0, 2, L"\\\\") == 0) {
    name.erase(0, 2);
  } else if (name[0] == L'\\') {
    name.erase(0, 1);
  }
  Log(LogLevel::Debug, L"tamber::common::util::DomainServices::GetCurrentDC(): Current DC Name: %ws", name);
  return name;
}

std::wstring DomainServices::GetCurrentSite() {
  if (siteNameKnown_) return siteName_;
  UniqueNetApiBuffer<wchar_t> site;
  uint32_t result = platform::DsGetSiteNameW(nullptr, site.put());
  if (result != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::common::util::DomainServices::GetCurrentSite(): Failed to get site name. Error: 0x%X", result);
    siteName_.clear();
    return siteName_;
  }
  siteName_ = site ? site.get() : L"";
  siteNameKnown_ = true;
  Log(LogLevel::Trace, L"tamber::common::util::DomainServices::GetCurrentSite(): Current Site Name: %ws", siteName_);
  return siteName_;
}

std::unordered_set<std::wstring> DomainServices::GetDCsInCurrentSite(const std::wstring& domain) {
  dcsInCurrentSite_.clear();
  dcsFilled_ = false;
  std::wstring site = GetCurrentSite();
  UniqueDcEnumeration enumeration;
  // Without a site name the enumeration takes the machine's own site, which is the one wanted.
  uint32_t result =
      platform::DsGetDcOpenW(domain.c_str(), platform::kDsOnlyDoSiteName, site.empty() ? nullptr : site.c_str(),
                             nullptr, nullptr, 0, enumeration.put());
  if (result != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::common::util::DomainServices::GetDCsInCurrentSite(): Failed to get DC Enumeration handle. Error: 0x%X",
        result);
    return dcsInCurrentSite_;
  }
  for (;;) {
    UniqueNetApiBuffer<wchar_t> host;
    result = platform::DsGetDcNextW(enumeration.get(), nullptr, nullptr, host.put());
    if (result != platform::kErrorSuccess) break;
    if (host) dcsInCurrentSite_.insert(domain + L"\\" + host.get());
  }
  if (result == platform::kErrorNoMoreItems || result == platform::kErrorFilemarkDetected) {
    Log(LogLevel::Trace, L"tamber::common::util::DomainServices::GetDCsInCurrentSite(): Completed Enumerating DCs");
    dcsFilled_ = true;
  } else {
    Log(LogLevel::Error,
        L"tamber::common::util::DomainServices::GetDCsInCurrentSite(): Failed to enumerate DC. Error: 0x%X", result);
  }
  return dcsInCurrentSite_;
}

bool DomainServices::IsDcInCurrentSite(const std::wstring& controller) {
  if (controller.empty() || controller.find(L'\\') == std::wstring::npos) return false;
  if (dcsInCurrentSite_.count(controller) != 0) return true;
  for (const auto& known : dcsInCurrentSite_) {
    if (DnsName::Equal(known, controller)) return true;
  }
  return false;
}

bool DomainServices::SetPreferredDc(const std::wstring& host, const std::wstring& domain,
                                    const std::wstring& controller) {
  // The names come from outside (guest variables, the registry); only DNS names may reach the command line.
  const wchar_t* refused = nullptr;
  std::wstring_view text;
  if (!DnsName::IsValidName(host)) {
    refused = L"Host";
    text = host;
  } else if (!DnsName::IsValidName(domain) || !DnsName::IsValidName(host + L"." + domain)) {
    refused = L"Domain";
    text = domain;
  } else if (!DnsName::IsValidControllerName(controller)) {
    refused = L"DC";
    text = controller;
  }
  if (refused != nullptr) {
    Log(LogLevel::Error,
        L"tamber::common::util::DomainServices::SetPreferredDc(): Invalid %ws Name, Not Setting Preferred DC: \"%ws\"",
        refused, DnsName::Printable(text));
    return false;
  }
  std::wstring command = L"Nltest /Server:" + host + L"." + domain + L" /SC_RESET:" + controller;
  if (!Util::RunScript(command)) {
    Log(LogLevel::Warn, L"tamber::common::util::DomainServices::SetPreferredDc(): Failed Setting Preferred DC: %ws",
        command);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::common::util::DomainServices::SetPreferredDc(): Set Preferred DC: %ws", command);
  return true;
}

}  // namespace tamber::common::util
