// The computer part of group policy, applied after the clock is resynchronised: "gpupdate" with retries and
// growing pauses, where the persistent settings allow it.
#pragma once

#include <array>
#include <cstdint>

namespace tamber::core::util {
class CustomizationPersistentInfo;
class MachineType;
class Support;
class System;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Time;

class GroupPolicy {
 public:
  // Pauses after a failed attempt, by attempt (ms).
  static constexpr std::array<uint32_t, 3> kRetryPausesMs = {30000, 120000, 300000};
  static constexpr uint32_t kCloneAttempts = 4;
  static constexpr uint32_t kOtherAttempts = 2;

  GroupPolicy();
  virtual ~GroupPolicy();
  GroupPolicy(const GroupPolicy&) = delete;
  GroupPolicy& operator=(const GroupPolicy&) = delete;

  // True when the update ran successfully or was skipped by configuration (or by the machine's role).
  virtual bool UpdateGroupPolicy();

 private:
  // Waits before the next attempt; false when the agent is stopping and no attempt should follow.
  bool PauseBeforeRetry(uint32_t milliseconds);

  util::CustomizationPersistentInfo* persistentInfo_;
  util::MachineType* machineType_;
  util::Support* support_;
  util::System* system_;
  Time* time_;
};

}  // namespace tamber::core::windows
