#pragma once
// Value <-> nlohmann::json, for library code that builds or reads JSON documents
// (recording headers, diagnostics reports). Same mapping as Value::toJSONString.

#include <VemraPlatformKit/platform/values/Value.h>

#include <nlohmann/json.hpp>

#include <optional>

namespace vpk::detail {

/// nullopt (with a log line) for a non-finite real, an archivable object, or nesting deeper
/// than Value::kMaxNestingDepth.
std::optional<nlohmann::json> valueToJSON(const Value& value);
/// Every JSON document has a Value (binary JSON values become bytes); nullopt only for
/// nesting deeper than Value::kMaxNestingDepth.
std::optional<Value> valueFromJSON(const nlohmann::json& json);

}  // namespace vpk::detail
