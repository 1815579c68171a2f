#pragma once
// The idle-transition rule of the analyzer's cycle: from the allowed-transitions mask, the
// idle state the analyzer last reported and this cycle's idle verdict, which notification
// (if any) the outputs receive and whether the descriptions' idle flags are overridden.

#include <cstdint>
#include <optional>

namespace vpk::detail {

enum class IdleNotification { None = 0, Enter = 1, Leave = 2 };

struct IdleDecision {
  IdleNotification notification = IdleNotification::None;
  /// When set, both descriptions' idle flag becomes this value.
  std::optional<bool> markDescriptionsIdle;

  friend bool operator==(const IdleDecision&, const IdleDecision&) = default;
};

/// Bit 0 of `mask`: entering idle may be reported; bit 1: leaving idle may be reported.
///   mask 0:                 any change of `idleNow` against `wasIdle` is reported;
///   idleNow, bit 0 clear:   nothing reported, descriptions marked not idle;
///   idleNow, bit 0 set:     "enter" when not `wasIdle`;
///   !idleNow, bit 1 clear:  nothing reported, descriptions marked idle;
///   !idleNow, bit 1 set:    "leave" when `wasIdle`.
IdleDecision decideIdleTransition(uint64_t mask, bool wasIdle, bool idleNow);

}  // namespace vpk::detail
