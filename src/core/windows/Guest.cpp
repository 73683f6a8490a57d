#include "core/windows/Guest.h"

#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/windows/Cloneprep.h"
#include "core/windows/Netlogon.h"
#include "core/windows/Network.h"
#include "core/windows/Sysprep.h"
#include "core/windows/Universalprep.h"
#include "framework/log/Log.h"

namespace tamber::core::windows {

using util::Persisted;
namespace customization = util::customization;

Guest::Guest()
    : type_(util::CustomizationType::Instance()),
      persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      machineType_(util::MachineType::Instance()),
      netlogon_(Netlogon::Instance()),
      network_(Network::Instance()),
      customization_(std::make_shared<Customization>()) {}

Guest::~Guest() = default;

std::shared_ptr<Customization> Guest::GetCustomization() {
  std::lock_guard<std::mutex> guard(flavourLock_);
  return customization_;
}

void Guest::SetCustomization(std::shared_ptr<Customization> flavour) {
  std::shared_ptr<Customization> old;
  {
    std::lock_guard<std::mutex> guard(flavourLock_);
    old = std::move(customization_);
    customization_ = std::move(flavour);
  }
  // The old flavour goes here, outside the lock: its destructor may wait for its completion worker.
}

bool Guest::CustomizeVM(std::shared_ptr<Customization> flavour) {
  // Netlogon's own log covers the whole customization, so it is switched on first; its outcome is only logged.
  netlogon_->EnableNlLogging();
  if (machineType_->IsMaster()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): ** Master **");
    bool result = GetCustomization()->CustomizeMaster();
    if (!result) Log(LogLevel::Error, L"tamber::core::windows::Guest::CustomizeVM(): Master Customization Failed");
    return result;
  }
  // Every other role works on the network, with the one IP stack chosen here.
  network_->InitNetworkProtocol();

  bool known = true;
  switch (type_->GetCustomizationType()) {
    case customization::kCloneprep:
      Log(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): Customization Type: Cloneprep");
      break;
    case customization::kSysprep:
      Log(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): Customization Type: Sysprep");
      break;
    case customization::kUniversalprep:
      Log(LogLevel::Debug, L"tamber::core::windows::Guest::CustomizeVM(): Customization Type: Universalprep");
      break;
    default:
      known = false;
      break;
  }
  if (known && !flavour && type_->GetCustomizationType() == customization::kCloneprep) {
    flavour = std::make_shared<Cloneprep>();
  }
  if (known && !flavour && type_->GetCustomizationType() == customization::kSysprep) {
    flavour = std::make_shared<Sysprep>();
  }
  if (known && !flavour && type_->GetCustomizationType() == customization::kUniversalprep) {
    flavour = std::make_shared<Universalprep>();
  }
  if (known && flavour) {
    SetCustomization(flavour);
    return flavour->CustomizeVM();
  }
  // The Sysprep and Universalprep flavour objects join Cloneprep above once those flavours land; until
  // then such a type without a flavour object passed in goes the way of an unknown one, and the plain
  // Customization fails the role's customization.
  Log(LogLevel::Warn, L"tamber::core::windows::Guest::CustomizeVM(): Add new customization type accordingly");
  if (flavour) return false;
  return GetCustomization()->CustomizeVM();
}

bool Guest::RunPreShutdownRoutine() { return GetCustomization()->RunPreShutdownRoutine(); }

bool Guest::IsPreShutdownScriptReady() { return GetCustomization()->IsPreShutdownScriptReady(); }

bool Guest::IsPersistentDisksReady() { return persistentInfo_->Is(Persisted::PersistentDisksReady); }

}  // namespace tamber::core::windows
