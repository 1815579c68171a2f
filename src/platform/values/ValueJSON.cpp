#include "platform/values/ValueJSON.h"

#include "platform/values/Base64.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <cmath>

namespace vpk {

namespace detail {
namespace {

bool toJSON(const Value& v, int depth, nlohmann::json& out) {
  if (depth > Value::kMaxNestingDepth) {
    VPKLog(1, "JSON: value nested deeper than {} levels, not written", Value::kMaxNestingDepth);
    return false;
  }
  using K = Value::Kind;
  switch (v.kind()) {
    case K::Null: out = nullptr; return true;
    case K::Bool: out = v.boolValue(); return true;
    case K::Int: out = v.intValue(); return true;
    case K::UInt: out = v.unsignedValue(); return true;
    case K::Real:
      if (!std::isfinite(v.doubleValue())) {
        VPKLog(1, "JSON: invalid number {} not written", v.description());
        return false;
      }
      out = v.doubleValue();
      return true;
    case K::String: out = *v.getString(); return true;
    case K::Bytes: out = base64Encode(v.getBytes()->data(), v.getBytes()->size()); return true;
    case K::Date: out = v.getDate()->iso8601(); return true;
    case K::List:
    case K::OrderedSet: {
      const ValueList& items = v.isList() ? *v.getList() : v.getOrderedSet()->elements();
      out = nlohmann::json::array();
      for (const auto& item : items) {
        nlohmann::json j;
        if (!toJSON(item, depth + 1, j)) return false;
        out.push_back(std::move(j));
      }
      return true;
    }
    case K::Dictionary: {
      out = nlohmann::json::object();
      for (const auto& [key, item] : *v.getDictionary()) {
        nlohmann::json j;
        if (!toJSON(item, depth + 1, j)) return false;
        out[key] = std::move(j);
      }
      return true;
    }
    case K::Object:
      VPKLog(1, "JSON: object {} is not a JSON value, not written", v.description());
      return false;
  }
  return false;
}

bool fromJSON(const nlohmann::json& j, int depth, Value& out) {
  if (depth > Value::kMaxNestingDepth) return false;
  using T = nlohmann::json::value_t;
  switch (j.type()) {
    case T::null:
    case T::discarded: out = Value(); return true;
    case T::boolean: out = Value(j.get<bool>()); return true;
    case T::number_integer: out = Value(j.get<int64_t>()); return true;
    case T::number_unsigned: {
      const auto u = j.get<uint64_t>();
      out = u <= static_cast<uint64_t>(INT64_MAX) ? Value(static_cast<int64_t>(u)) : Value(u);
      return true;
    }
    case T::number_float: out = Value(j.get<double>()); return true;
    case T::string: out = Value(j.get_ref<const std::string&>()); return true;
    case T::binary: {
      const auto& b = j.get_binary();
      out = Value(ValueBytes(b.begin(), b.end()));
      return true;
    }
    case T::array: {
      ValueList list;
      list.reserve(j.size());
      for (const auto& item : j) {
        Value v;
        if (!fromJSON(item, depth + 1, v)) return false;
        list.push_back(std::move(v));
      }
      out = Value(std::move(list));
      return true;
    }
    case T::object: {
      ValueDictionary dict;
      for (const auto& [key, item] : j.items()) {
        Value v;
        if (!fromJSON(item, depth + 1, v)) return false;
        dict.set(key, std::move(v));
      }
      out = Value(std::move(dict));
      return true;
    }
  }
  return false;
}

// Builds a Value straight from the parser's events, refusing deep nesting before it is built.
class ValueSax : public nlohmann::json_sax<nlohmann::json> {
 public:
  Value result;
  std::string error;

  bool null() override { return put(Value()); }
  bool boolean(bool b) override { return put(Value(b)); }
  bool number_integer(number_integer_t n) override { return put(Value(static_cast<int64_t>(n))); }
  bool number_unsigned(number_unsigned_t n) override {
    return put(n <= static_cast<uint64_t>(INT64_MAX) ? Value(static_cast<int64_t>(n)) : Value(static_cast<uint64_t>(n)));
  }
  bool number_float(number_float_t d, const string_t&) override { return put(Value(static_cast<double>(d))); }
  bool string(string_t& s) override { return put(Value(std::move(s))); }
  bool binary(binary_t& b) override { return put(Value(ValueBytes(b.begin(), b.end()))); }
  bool start_object(std::size_t) override { return open(Value(ValueDictionary())); }
  bool key(string_t& k) override {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(ValueList())); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
    error = fmt::format("at byte {}: {}", position, ex.what());
    return false;
  }

 private:
  bool put(Value v) {
    if (stack_.empty()) {
      result = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (ValueList* l = top.getList())
      l->push_back(std::move(v));
    else
      top.getDictionary()->set(keys_.back(), std::move(v));
    return true;
  }
  bool open(Value container) {
    if (stack_.size() >= static_cast<size_t>(Value::kMaxNestingDepth)) {
      error = fmt::format("nested deeper than {} levels", Value::kMaxNestingDepth);
      return false;
    }
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return put(std::move(done));
  }
  std::vector<Value> stack_;
  std::vector<std::string> keys_;
};

}  // namespace

std::optional<nlohmann::json> valueToJSON(const Value& value) {
  nlohmann::json j;
  if (!toJSON(value, 0, j)) return std::nullopt;
  return j;
}

std::optional<Value> valueFromJSON(const nlohmann::json& json) {
  Value v;
  if (!fromJSON(json, 0, v)) {
    VPKLog(1, "JSON: document nested deeper than {} levels refused", Value::kMaxNestingDepth);
    return std::nullopt;
  }
  return v;
}

}  // namespace detail

std::optional<std::string> Value::toJSONString(int indent) const {
  auto j = detail::valueToJSON(*this);
  if (!j) return std::nullopt;
  return j->dump(indent > 0 ? indent : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Value> Value::fromJSONString(std::string_view text) {
  detail::ValueSax sax;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &sax);
  } catch (const std::exception& e) {
    sax.error = e.what();
  }
  if (!ok) {
    VPKLog(1, "JSON: malformed document refused ({})", sax.error);
    return std::nullopt;
  }
  return std::move(sax.result);
}

}  // namespace vpk
