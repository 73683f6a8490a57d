// What the agent asks the directory service about the machine's domain: the controller in use, the
// machine's site and the controllers of that site; and pinning the machine's secure channel to a chosen
// controller with nltest.
#pragma once

#include <string>
#include <unordered_set>

namespace tamber::common::util {

class DomainServices {
 public:
  // The controller's host name without its leading backslashes; empty when none was found.
  std::wstring GetCurrentDC(const std::wstring& domain);
  // The machine's site, asked once and then remembered; empty (and asked again next time) when unknown.
  std::wstring GetCurrentSite();
  // The controllers of the machine's site, each as the domain, a backslash and the DNS host name.
  std::unordered_set<std::wstring> GetDCsInCurrentSite(const std::wstring& domain);
  // Whether the last enumeration listed the controller (domain, backslash, host name; DNS names compare
  // without regard to case).
  bool IsDcInCurrentSite(const std::wstring& controller);
  // Whether the last enumeration ran to its end, so that its list is the whole site.
  bool IsDcListComplete() const { return dcsFilled_; }
  // Resets the secure channel of the local Netlogon (host.domain) to the controller (domain\host). Names
  // that are not DNS names are refused before any command is built.
  bool SetPreferredDc(const std::wstring& host, const std::wstring& domain, const std::wstring& controller);

 private:
  std::wstring siteName_;
  bool siteNameKnown_ = false;
  std::unordered_set<std::wstring> dcsInCurrentSite_;
  bool dcsFilled_ = false;
};

}  // namespace tamber::common::util
