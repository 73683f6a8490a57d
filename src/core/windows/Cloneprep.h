// The default customization flavour. The boot-time agent names each machine before the service starts;
// this flavour finishes the role's identity work: the internal template joins the domain and proves its
// trust (two starts), the replica gives up its address and switches DHCP and Netlogon off (two starts),
// the parent only reports, and each clone takes its own machine password, new MAC address and address,
// restarts Netlogon and time, proves its trust and completes. Every step leaves a marker, so a start
// after a reboot or a power cut goes on where the last one stopped.
#pragma once

#include <cstdint>
#include <string>

#include "core/windows/Customization.h"

namespace tamber::core::windows {

class Cloneprep : public Customization {
 public:
  Cloneprep();
  ~Cloneprep() override;

  bool CustomizeIT() override;
  bool CustomizeParent() override;
  bool CustomizeReplica() override;
  bool CustomizeClone() override;

  // The clone's network and domain membership: join (unless skipped), new MAC address, Netlogon and DHCP
  // started, scripts secured, an address.
  virtual bool InitNetwork();
  // The clone's identity: Netlogon and time restarted, machine password changed, trust proven (with the
  // bounded reboots and the NetJoinDomain fallback), user principal name updated.
  virtual bool ApplyIdentitySet();

 private:
  // The error status of a code, with the description the state table gives it.
  void SetError(uint32_t code, const char* category);
  std::string Description(uint32_t code);
  // Waits up to PostNetlogonStartDelay on the shutdown event, so a stop ends the pause.
  void WaitPostNetlogonStartDelay();
  void ReleaseAddresses();
  // Starts a service and logs the elapsed time; the two texts are the success and failure lines.
  void StartServiceTimed(const wchar_t* name, const wchar_t* started, const wchar_t* failed);
  // The template's second start: trust, fork marker, success, group policy, shutdown. False on a trust
  // failure.
  bool FinishTemplate();
  // The domain join of the template's first start. True when the machine is going down for the join
  // reboot; *failed when the join failed.
  bool JoinTemplate(bool* failed);
  // Marks the template rebooted, makes its markers durable and restarts it; true (going down).
  bool RebootAfterJoin();
};

}  // namespace tamber::core::windows
