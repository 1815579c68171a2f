#include "analysis/IdleTransition.h"

namespace vpk::detail {

IdleDecision decideIdleTransition(uint64_t mask, bool wasIdle, bool idleNow) {
  constexpr uint64_t kEnter = 1;
  constexpr uint64_t kLeave = 2;
  if ((mask & (kEnter | kLeave)) == 0) {
    if (idleNow == wasIdle) return {};
    return {idleNow ? IdleNotification::Enter : IdleNotification::Leave, std::nullopt};
  }
  if (idleNow) {
    if (!(mask & kEnter)) return {IdleNotification::None, false};
    return {wasIdle ? IdleNotification::None : IdleNotification::Enter, std::nullopt};
  }
  if (!(mask & kLeave)) return {IdleNotification::None, true};
  return {wasIdle ? IdleNotification::Leave : IdleNotification::None, std::nullopt};
}

}  // namespace vpk::detail
