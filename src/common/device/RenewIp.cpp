#include "common/device/RenewIp.h"

#include <atomic>
#include <exception>
#include <thread>

#include "common/util/StringConverter.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationState.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

namespace tamber::common::windows::device {
namespace {

constexpr uint32_t kDomainJoinFailed = 18;
constexpr uint32_t kNoValidIpAddress = 27;

const wchar_t* StatusText(bool succeeded) { return succeeded ? L"SUCCESS" : L"FAIL"; }

std::string Joined(const std::vector<std::wstring>& addresses) {
  std::string text;
  for (const auto& address : addresses) {
    if (!text.empty()) text += ", ";
    text += i18n::StringConverter::ToUtf8String(address);
  }
  return text;
}

// An adapter list that the object and its workers hold together; the last holder frees it.
std::shared_ptr<const platform::IpAdapterAddresses> Shared(AdapterList list) {
  return std::shared_ptr<const platform::IpAdapterAddresses>(
      list.release(), [](const platform::IpAdapterAddresses* adapters) {
        AdapterListFree{}(const_cast<platform::IpAdapterAddresses*>(adapters));
      });
}

}  // namespace

// One worker of one attempt. The worker thread and the RenewIp object share it; whichever lets go last
// frees it, so an abandoned worker never reads freed memory and never writes into an object that has
// moved on to the next attempt.
struct RenewIp::Worker {
  RenewRequest request;
  std::shared_ptr<const platform::IpAdapterAddresses> adapters;  // what request.adapters points into
  UniqueHandle done;                                             // manual-reset, set when the worker returns
  std::atomic<uint32_t> exitCode{platform::kStillActive};
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);

  bool Ended() const { return platform::WaitForSingleObject(done.get(), 0) == platform::kWaitObject0; }
  bool Succeeded() const { return exitCode.load() != 0 && exitCode.load() != platform::kStillActive; }
};

RenewIp::RenewIp() : state_(core::util::CustomizationState::Instance()) {}

RenewIp::~RenewIp() {
  terminate();
  closeThreads();
  lists_.Clear();
}

void RenewIp::setTries(uint32_t retries, uint32_t delayMs) {
  maxTries_ = retries;
  delayMs_ = delayMs;
}

uint32_t RenewIp::hasIpAddress() { return alreadyHasIp_; }

void RenewIp::start(IpProtocolUsage protocol) {
  protocol_ = protocol;
  if (protocol == IpProtocolUsage::IPv4 || protocol == IpProtocolUsage::IPv6) {
    if (isIpAddressAvailable()) {
      alreadyHasIp_ = 1;
      return;
    }
  }
  startAsync(protocol);
}

RenewIp::WorkerPtr RenewIp::StartWorker(IpProtocolUsage stack) {
  auto worker = std::make_shared<Worker>();
  worker->request.protocol = stack;
  worker->request.expectedCount = expectedCount_;
  worker->request.adapters = adapters_.get();
  worker->request.abandoned = worker->abandoned;
  worker->adapters = adapters_;
  worker->done.reset(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  try {
    std::thread([worker] {
      Util util;
      uint32_t succeeded = util.RenewIPAddress(&worker->request);
      worker->exitCode.store(succeeded);
      platform::SetEvent(worker->done.get());
    }).detach();
  } catch (const std::exception&) {
    // No thread: the attempt ends at once as a failed one.
    Log(LogLevel::Error, L"tamber::common::windows::device::RenewIp::startAsync(): Failed starting %ws renew thread",
        IpProtocolUsageText(stack));
    worker->exitCode.store(0);
    platform::SetEvent(worker->done.get());
  }
  return worker;
}

void RenewIp::startAsync(IpProtocolUsage protocol) {
  if (tries_ >= maxTries_) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::RenewIp::startAsync(): No tries left to Renew IP, quitting");
    return;
  }
  ++tries_;
  protocol_ = protocol;
  AdapterList list = GetAdapters();
  if (!list) {
    // The workers still run and report that they found no adapter.
    Log(LogLevel::Error, L"tamber::common::windows::device::RenewIp::startAsync(): No adapters found");
  }
  adapters_ = Shared(std::move(list));
  // An unsigned copy: a negative count reads as 0xFFFFFFFF (no early stop), never as "one adapter".
  expectedCount_ = static_cast<uint32_t>(GetNetworkAdapterCount());
  if (IncludesIPv4(protocol)) ipv4Thread_ = StartWorker(IpProtocolUsage::IPv4);
  if (IncludesIPv6(protocol)) ipv6Thread_ = StartWorker(IpProtocolUsage::IPv6);
}

void RenewIp::terminate() {
  // The worker is left to finish its current call on its own (it owns what it reads, and nobody reads
  // what it returns), but it releases and renews nothing after that.
  if (IncludesIPv4(protocol_) && ipv4Thread_ && !ipv4Thread_->Ended()) {
    ipv4Thread_->abandoned->store(true);
    Log(LogLevel::Debug, L"tamber::common::windows::device::RenewIp::terminate(): Terminating IPv4 async renew");
  }
  if (IncludesIPv6(protocol_) && ipv6Thread_ && !ipv6Thread_->Ended()) {
    ipv6Thread_->abandoned->store(true);
    Log(LogLevel::Debug, L"tamber::common::windows::device::RenewIp::terminate(): Terminating IPv6 async renew");
  }
}

void RenewIp::closeThreads() {
  // A worker nobody holds any more is abandoned too, logged or not.
  for (const WorkerPtr& worker : {ipv4Thread_, ipv6Thread_, pendingThread_}) {
    if (worker && !worker->Ended()) worker->abandoned->store(true);
  }
  ipv4Thread_.reset();
  ipv6Thread_.reset();
  pendingThread_.reset();
  adapters_.reset();
}

bool RenewIp::retry() {
  if (tries_ >= maxTries_) return false;
  terminate();
  closeThreads();
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::RenewIp::retry(): Failed renewing IP address. Iteration: %d, Retrying...",
      tries_);
  platform::Sleep(delayMs_);
  startAsync(protocol_);
  return true;
}

bool RenewIp::waitForFirstIp() {
  switch (protocol_) {
    case IpProtocolUsage::Dual4:
    case IpProtocolUsage::Dual6:
      return waitForDualStackFirstIp();
    case IpProtocolUsage::IPv4:
    case IpProtocolUsage::IPv6:
      return alreadyHasIp_ != 0 || waitForSingleStack();
    default:
      return false;
  }
}

bool RenewIp::waitForAllIp() {
  switch (protocol_) {
    case IpProtocolUsage::Dual4:
    case IpProtocolUsage::Dual6:
      return waitForDualStack();
    case IpProtocolUsage::IPv4:
    case IpProtocolUsage::IPv6:
      return alreadyHasIp_ != 0 || waitForSingleStack();
    default:
      return false;
  }
}

bool RenewIp::waitForPendingIp() {
  switch (protocol_) {
    case IpProtocolUsage::Dual4:
    case IpProtocolUsage::Dual6:
      return waitForDualStackPendingIp();
    case IpProtocolUsage::IPv4:
    case IpProtocolUsage::IPv6:
      // One stack has one worker: its first result is also the pending one.
      return alreadyHasIp_ != 0 || waitForSingleStack();
    default:
      return false;
  }
}

bool RenewIp::waitForSingleStack() {
  for (;;) {
    WorkerPtr worker =
        (protocol_ == IpProtocolUsage::IPv6 || static_cast<uint32_t>(protocol_) >= 4) ? ipv6Thread_ : ipv4Thread_;
    pendingThread_ = worker;
    uint32_t wait = platform::WaitForSingleObject(worker ? worker->done.get() : nullptr, kRenewTimeoutMs);
    if (wait == platform::kWaitObject0) {
      bool succeeded = worker->Succeeded();
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForSingleStack(): %ws renew completed. Status: %ws",
          IpProtocolUsageText(protocol_), StatusText(succeeded));
      if (succeeded) {
        lists_.Clear();  // the addresses of this validation only
        if (LogIpAddresses(nullptr, &lists_)) {
          Log(LogLevel::Debug,
              L"tamber::common::windows::device::RenewIp::waitForSingleStack(): Renew IP succeeded. Iteration: %d",
              tries_);
          return true;
        }
        Log(LogLevel::Debug, L"tamber::common::windows::device::RenewIp::waitForSingleStack(): LogIpAddresses failed");
      }
    } else if (wait == platform::kWaitTimeout) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::RenewIp::waitForSingleStack(): RenewIP time-out elapsed");
    } else {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForSingleStack(): WaitForSingleObject Failed. Return: 0x%X, Error: 0x%X",
          wait, platform::GetLastError());
    }
    if (!retry()) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForSingleStack(): Renew IP failed. Iteration: %d", tries_);
      return false;
    }
  }
}

bool RenewIp::waitForDualStack() {
  for (;;) {
    // Both workers within one time-out: the second gets what the first left of it.
    WorkerPtr v4 = ipv4Thread_, v6 = ipv6Thread_;
    const uint32_t begin = platform::GetTickCount();
    uint32_t wait = platform::WaitForSingleObject(v4 ? v4->done.get() : nullptr, kRenewTimeoutMs);
    if (wait == platform::kWaitObject0) {
      uint32_t elapsed = platform::GetTickCount() - begin;
      wait = platform::WaitForSingleObject(v6 ? v6->done.get() : nullptr,
                                           elapsed < kRenewTimeoutMs ? kRenewTimeoutMs - elapsed : 0);
    }
    if (wait == platform::kWaitObject0) {
      bool v4Succeeded = v4->Succeeded(), v6Succeeded = v6->Succeeded();
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStack(): IPv4 renew completed. Status: %ws",
          StatusText(v4Succeeded));
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStack(): IPv6 renew completed. Status: %ws",
          StatusText(v6Succeeded));
      if ((v4Succeeded || v6Succeeded) && LogIpAddresses(nullptr, nullptr)) {
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::RenewIp::waitForDualStack(): Renew IP succeeded. Iteration: %d", tries_);
        return true;
      }
    } else if (wait == platform::kWaitTimeout) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::RenewIp::waitForDualStack(): RenewIP time-out elapsed");
    } else {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStack(): WaitForSingleObject Failed. Return: 0x%X, Error: 0x%X",
          wait, platform::GetLastError());
    }
    if (!retry()) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStack(): Renew IP failed. Iteration: %d", tries_);
      return false;
    }
  }
}

bool RenewIp::waitForDualStackFirstIp() { return RunDualStack(DualPhase::First); }

bool RenewIp::waitForDualStackPendingIp() { return RunDualStack(DualPhase::Pending); }

// The first-address policy and its pending half hand over to each other after restarts; one loop keeps
// that from growing the stack with every attempt.
bool RenewIp::RunDualStack(DualPhase phase) {
  for (;;) {
    if (phase == DualPhase::First) {
      WorkerPtr v4 = ipv4Thread_, v6 = ipv6Thread_;
      platform::Handle handles[2] = {v4 ? v4->done.get() : nullptr, v6 ? v6->done.get() : nullptr};
      uint32_t wait = platform::WaitForMultipleObjects(2, handles, kRenewTimeoutMs);
      if (wait == platform::kWaitObject0 || wait == platform::kWaitObject0 + 1) {
        const bool firstIsV4 = wait == platform::kWaitObject0;
        WorkerPtr first = firstIsV4 ? v4 : v6;
        bool succeeded = first->Succeeded();
        if (firstIsV4) {
          Log(LogLevel::Debug,
              L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): IPv4 renew completed. Status: %ws",
              StatusText(succeeded));
        } else {
          Log(LogLevel::Debug,
              L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): IPv6 renew completed. Status: %ws",
              StatusText(succeeded));
        }
        pendingThread_ = firstIsV4 ? v6 : v4;
        if (succeeded && LogIpAddresses(nullptr, nullptr)) {
          Log(LogLevel::Debug,
              L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): Renew IP succeeded. Iteration: %d",
              tries_);
          return true;
        }
        phase = DualPhase::Pending;
        continue;
      }
      if (wait == platform::kWaitTimeout) {
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): RenewIP time-out elapsed");
        if (retry()) continue;
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): Renew IP failed. Iteration: %d",
            tries_);
        return false;
      }
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStackFirstIp(): WaitForMultipleObjects Failed. Return: 0x%X, Error: 0x%X",
          wait, platform::GetLastError());
      phase = DualPhase::Pending;
      continue;
    }

    WorkerPtr pending = pendingThread_;
    if (!pending) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStackPendingIp(): Pending renew IP thread not found");
      return false;
    }
    uint32_t wait = platform::WaitForSingleObject(pending->done.get(), kRenewTimeoutMs);
    if (wait == platform::kWaitObject0) {
      bool succeeded = pending->Succeeded();
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStackPendingIp(): Pending renew IP completed. Status: %ws",
          StatusText(succeeded));
      if (succeeded && LogIpAddresses(nullptr, nullptr)) return true;
    } else if (wait == platform::kWaitTimeout) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStackPendingIp(): RenewIP time-out elapsed");
    } else {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::RenewIp::waitForDualStackPendingIp(): WaitForSingleObject Failed. Return: 0x%X, Error: 0x%X",
          wait, platform::GetLastError());
    }
    if (retry()) {
      phase = DualPhase::First;
      continue;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::RenewIp::waitForDualStackPendingIp(): Renew IP failed. Iteration: %d",
        tries_);
    return false;
  }
}

std::string RenewIp::AddressText(const std::vector<std::wstring>& ipv4, const std::vector<std::wstring>& ipv6) const {
  if (ipv4.empty() && ipv6.empty()) return std::string();
  std::string text = "(";
  if (IncludesIPv4(protocol_)) text += Joined(ipv4);
  if (IncludesIPv6(protocol_)) {
    std::string v6 = Joined(ipv6);
    // The separator only between two lists that both say something.
    if (text.size() > 1 && !v6.empty()) text += ", ";
    text += v6;
  }
  text += ")";
  return text;
}

void RenewIp::getErrorDiagnostics(std::string& out, const std::string& description) {
  out = description;
  if (description == i18n::StringConverter::ToUtf8String(state_->GetDescription(kDomainJoinFailed))) {
    out += ". Verify DNS " + AddressText(lists_.ipv4Dns, lists_.ipv6Dns) + " on master vm.";
  } else if (description == i18n::StringConverter::ToUtf8String(state_->GetDescription(kNoValidIpAddress))) {
    out += ". " + DiagnoseNetworkErrors();
  } else {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::RenewIp::getErrorDiagnostics(): Could not diagnose error for %S",
        description);
  }
}

std::string RenewIp::DiagnoseNetworkErrors() {
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::RenewIp::DiagnoseNetworkErrors(): Attempting to diagnose network errors:");
  lists_.Clear();
  LogIpAddresses(nullptr, &lists_);
  std::string addresses = AddressText(lists_.ipv4Unicast, lists_.ipv6Unicast);
  if (!addresses.empty()) return "Address assigned " + addresses + ". Check DHCP server connectivity.";
  return CheckNetworkAdapters();
}

std::string RenewIp::CheckNetworkAdapters() {
  if (!adapters_) {
    AdapterList list = GetAdapters();
    if (!list) {
      Log(LogLevel::Error, L"tamber::common::windows::device::RenewIp::CheckNetworkAdapters(): Failed to get Adapters");
      return std::string();
    }
    adapters_ = Shared(std::move(list));
  }
  bool anyValid = false, anyDisconnected = false;
  for (const platform::IpAdapterAddresses* adapter = adapters_.get(); adapter != nullptr; adapter = adapter->next) {
    bool valid = static_cast<uint32_t>(adapter->tunnelType) != platform::kTunnelTypeIsatap &&
                 (adapter->ifType == platform::kIfTypeEthernetCsmacd || adapter->ifType == platform::kIfTypeIeee80211);
    if (!valid) continue;
    anyValid = true;
    if (adapter->operStatus == static_cast<int32_t>(platform::kIfOperStatusDown)) anyDisconnected = true;
  }
  if (!anyValid) return "No valid network adapters found on vm.";
  if (anyDisconnected) return "Some adapters were disconnected.";
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::RenewIp::CheckNetworkAdapters(): Adapters are valid and connected.");
  return std::string();
}

}  // namespace tamber::common::windows::device
