#pragma once
/// @file VPKChannelDescriptionProperty.h
/// Typed properties that an application declares on VPKChannelDescription.
///
/// A declared property is a named, typed accessor over the description's custom values, so
/// its value is copied by the copy forms and archived with the custom values like any other
/// custom value, and it is always held strongly. Declare each property once, usually as a
/// constant next to the processor that fills it:
///
///   static const VPKChannelDescriptionProperty<float> kArousal("arousal");
///   static const VPKChannelDescriptionProperty<std::shared_ptr<VPKFloatBuffer>> kEnvelope("envelope");
///
///   kArousal.set(description, 0.4f);             // stores the number 0.4 under "arousal"
///   std::optional<float> a = kArousal.get(description);
///   kEnvelope.set(description, buffer);          // an object type: a null pointer removes it
///   kArousal.set(description, std::nullopt);     // removes the entry
///
/// Types: bool, any arithmetic type (stored as a number), std::string, vpk::Date,
/// vpk::ValueList, vpk::ValueDictionary, vpk::Value (anything), and std::shared_ptr<T> for an
/// archivable class T (VPKFloatBuffer, VPKDFT, VPKMovingAverage, ...). Reading gives
/// std::optional<type> (or a null pointer for object types) when the stored value is absent
/// or of another kind.
///
/// A name that is already a declared property of the class ("focusScore", "cycles", ...)
/// reads and writes that property through the description's keyed access instead.
///
/// Retention: values are always held strongly. Declaring an object-typed property (anything
/// but bool and arithmetic types) as Weak or Assign logs, once per name at its first
/// declaration,
///   "WARNING: Property attribute 'weak' ignored for property <name> in extension of
///    VPKChannelDescription. Property will be treated as strong."
/// (with 'assign' for Assign), and the property then behaves as strong.
///
/// Threads: declarations may be made from any thread. get and set follow the description's
/// rules (fill on the processing thread; read anywhere once handed out).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKChannelDescription.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

/// How a declaration asks its value to be held (only Strong and Copy are honoured as asked;
/// custom values are always strong).
enum class VPKPropertyRetention { Strong, Copy, Weak, Assign };

/// Records a declaration (each name once) and logs the retention warning when it applies.
/// Returns true for the first declaration of `name`. VPKChannelDescriptionProperty calls it.
VPK_EXPORT bool VPKChannelDescriptionDeclareProperty(const std::string& name, bool objectType,
                                                     VPKPropertyRetention retention);
/// The names declared so far (not those of the class's own properties), in declaration order.
VPK_EXPORT std::vector<std::string> VPKChannelDescriptionDeclaredProperties();

namespace vpk::detail {
template <class T>
struct IsSharedArchivable : std::false_type {};
template <class U>
  requires std::derived_from<U, vpk::Archivable>
struct IsSharedArchivable<std::shared_ptr<U>> : std::true_type {
  using Element = U;
};
}  // namespace vpk::detail

template <class T>
  requires(std::is_arithmetic_v<T> || std::same_as<T, std::string> || std::same_as<T, vpk::Date> ||
           std::same_as<T, vpk::ValueList> || std::same_as<T, vpk::ValueDictionary> ||
           std::same_as<T, vpk::Value> || vpk::detail::IsSharedArchivable<T>::value)
class VPKChannelDescriptionProperty {
 public:
  static constexpr bool kObjectType = !std::is_arithmetic_v<T>;
  static constexpr bool kPointer = vpk::detail::IsSharedArchivable<T>::value;
  /// What get() returns: the pointer itself for object pointers, else std::optional<T>.
  using Result = std::conditional_t<kPointer, T, std::optional<T>>;

  explicit VPKChannelDescriptionProperty(std::string name,
                                         VPKPropertyRetention retention = kObjectType ? VPKPropertyRetention::Strong
                                                                                      : VPKPropertyRetention::Assign)
      : name_(std::move(name)), retention_(retention) {
    VPKChannelDescriptionDeclareProperty(name_, kObjectType, retention_);
  }

  const std::string& name() const { return name_; }
  VPKPropertyRetention retention() const { return retention_; }

  Result get(const VPKChannelDescription& d) const {
    const vpk::Value v = d.objectForKeyedSubscript(name_);
    if constexpr (kPointer) {
      return v.template object<typename vpk::detail::IsSharedArchivable<T>::Element>();
    } else if constexpr (std::same_as<T, bool>) {
      if (v.isBool() || v.isNumber()) return v.boolValue();
      return std::nullopt;
    } else if constexpr (std::is_floating_point_v<T>) {
      if (v.isNumber() || v.isBool()) return static_cast<T>(v.doubleValue());
      return std::nullopt;
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      if (v.isNumber() || v.isBool()) return static_cast<T>(v.intValue());
      return std::nullopt;
    } else if constexpr (std::is_integral_v<T>) {
      if (v.isNumber() || v.isBool()) return static_cast<T>(v.unsignedValue());
      return std::nullopt;
    } else if constexpr (std::same_as<T, vpk::Value>) {
      if (v.isNull()) return std::nullopt;
      return v;
    } else if constexpr (std::same_as<T, std::string>) {
      if (const auto* s = v.getString()) return *s;
      return std::nullopt;
    } else if constexpr (std::same_as<T, vpk::Date>) {
      if (const auto* date = v.getDate()) return *date;
      return std::nullopt;
    } else if constexpr (std::same_as<T, vpk::ValueList>) {
      if (const auto* l = v.getList()) return *l;
      return std::nullopt;
    } else {
      if (const auto* dict = v.getDictionary()) return *dict;
      return std::nullopt;
    }
  }

  /// Stores `value`; an absent value (nullopt, a null pointer) removes the entry.
  /// Returns false when a declared property of the class refused the value's kind.
  bool set(VPKChannelDescription& d, const Result& value) const {
    if constexpr (kPointer) {
      return d.setObject(value ? vpk::Value(value) : vpk::Value(), name_);
    } else {
      return d.setObject(value ? vpk::Value(*value) : vpk::Value(), name_);
    }
  }

 private:
  std::string name_;
  VPKPropertyRetention retention_;
};
