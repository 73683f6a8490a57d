// IP renewal on worker threads, one per IP stack, so that the customization flow can start renewal early,
// do other work, and later wait for the result under a fixed time-out with a bounded number of whole
// restarts; and the diagnostic sentence that explains a failed customization by what the network shows.
//
// A worker that outlives its time-out is abandoned, never killed: killing a thread that may hold a lock
// (the heap's, the loader's, the log's) can hang the whole service. An abandoned worker keeps shared
// ownership of its request and of the adapter list it reads until it returns, and its late result is
// discarded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/device/Util.h"

namespace tamber::core::util {
class CustomizationState;
}  // namespace tamber::core::util

namespace tamber::common::windows::device {

class RenewIp final : public Util {
 public:
  // Every wait gives one attempt this much machine time.
  static constexpr uint32_t kRenewTimeoutMs = 150000;
  static constexpr uint32_t kDefaultMaxTries = 5;
  static constexpr uint32_t kDefaultDelayMs = 15000;

  RenewIp();
  // Abandons the workers still running and drops the adapter list and the addresses seen.
  ~RenewIp();
  RenewIp(const RenewIp&) = delete;
  RenewIp& operator=(const RenewIp&) = delete;

  // ---- Virtual operations, after those of Util. ----
  // Single stack: when an address is already usable nothing is started (hasIpAddress); otherwise, and for
  // both stacks, startAsync.
  virtual void start(IpProtocolUsage protocol);
  // One more attempt, when any is left: a fresh adapter list and one worker per stack the usage includes.
  virtual void startAsync(IpProtocolUsage protocol);
  virtual bool waitForFirstIp();
  virtual bool waitForPendingIp();
  virtual bool waitForAllIp();
  // retries: attempts in all, the first included; delayMs: the pause before each restart.
  virtual void setTries(uint32_t retries, uint32_t delayMs);
  virtual uint32_t hasIpAddress();
  // The description, with what the agent saw on the network appended for the two network errors.
  virtual void getErrorDiagnostics(std::string& out, const std::string& description);

  // ---- Non-virtual members. ----
  bool retry();
  // Abandons the workers of the current attempt that have not ended.
  void terminate();
  void closeThreads();
  bool waitForSingleStack();
  bool waitForDualStack();
  bool waitForDualStackFirstIp();
  bool waitForDualStackPendingIp();
  std::string CheckNetworkAdapters();
  std::string DiagnoseNetworkErrors();

  // For inspection.
  IpProtocolUsage protocol() const { return protocol_; }
  uint32_t tries() const { return tries_; }
  const AddressLists& lists() const { return lists_; }

 private:
  struct Worker;
  using WorkerPtr = std::shared_ptr<Worker>;
  enum class DualPhase { First, Pending };

  WorkerPtr StartWorker(IpProtocolUsage stack);
  bool RunDualStack(DualPhase phase);
  // Addresses of the stacks the usage includes, as "(a, b, c)"; empty when both lists are.
  std::string AddressText(const std::vector<std::wstring>& ipv4, const std::vector<std::wstring>& ipv6) const;

  IpProtocolUsage protocol_ = IpProtocolUsage::Unknown;
  uint32_t tries_ = 0;
  uint32_t maxTries_ = kDefaultMaxTries;
  uint32_t delayMs_ = kDefaultDelayMs;
  uint32_t expectedCount_ = 0;
  uint32_t alreadyHasIp_ = 0;
  WorkerPtr ipv4Thread_;
  WorkerPtr ipv6Thread_;
  WorkerPtr pendingThread_;
  std::shared_ptr<const platform::IpAdapterAddresses> adapters_;
  AddressLists lists_;
  core::util::CustomizationState* state_;
};

}  // namespace tamber::common::windows::device
