// Checks for host, domain and controller names before they reach a command line. Only letters, digits,
// hyphens and dots pass, so a name that passes can carry no blank, quote or shell character into the
// command it is put in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamber::common::util {

class DnsName {
 public:
  static constexpr size_t kMaxNameLength = 253;
  static constexpr size_t kMaxLabelLength = 63;
  static constexpr size_t kMaxPrintableLength = 255;

  // A DNS name: labels of 1 to 63 letters, digits and hyphens that neither begin nor end with a hyphen,
  // separated by single dots, at most 253 characters, no dot at either end. A single label passes.
  static bool IsValidName(std::wstring_view text);
  // A controller as Netlogon names it: a domain name, one backslash, the controller's host name.
  static bool IsValidControllerName(std::wstring_view text);
  // DNS compares names without regard to the case of ASCII letters.
  static bool Equal(std::wstring_view a, std::wstring_view b);
  // The text for a log line about why it was refused: characters outside printable ASCII become '?',
  // and at most 255 characters are kept, so that a refused name cannot forge or flood log lines.
  static std::wstring Printable(std::wstring_view text);
};

}  // namespace tamber::common::util
