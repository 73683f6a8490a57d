// A service of the test's own, installed in the machine under test: on Windows (Wine) the program
// velocyn_test_service registered with "sc create"; on the simulated guest a service-table entry.
#pragma once

#include <string>

namespace tamber::test {

class TestService {
 public:
  // options go to the service program's command line (see tests/programs/velocyn_test_service.cpp);
  // dependsOn names one service it depends on, or is empty.
  TestService(std::wstring name, const std::wstring& options = L"", const std::wstring& dependsOn = L"");
  // Stops and deletes it.
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  // Empty when installed, else what went wrong.
  const std::wstring& Failure() const { return failure_; }
  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
  std::wstring failure_;
  // Windows: the manager and service handles, kept open while the service is installed. The
  // simulated guest's version has no handles.
  [[maybe_unused]] void* manager_ = nullptr;
  [[maybe_unused]] void* service_ = nullptr;
};

}  // namespace tamber::test
