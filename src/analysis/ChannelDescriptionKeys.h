#pragma once
// Archive key of a channel description's custom values.

namespace vpk {

inline constexpr const char* kCustomValuesKey = "customValues__";

}  // namespace vpk
