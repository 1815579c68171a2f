#include <VemraPlatformKit/analysis/VPKRange.h>

#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <memory>

namespace {

// NSValue's code for a boxed range.
constexpr int64_t kRangeSpecial = 4;

class RangeBox final : public vpk::Archivable {
 public:
  explicit RangeBox(VPKRange range) : range_(range) {}
  std::string archiveClassName() const override { return "NSValue"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override {
    coder.encodeInt("NS.special", kRangeSpecial);
    coder.encodeInt("NS.rangeval.location", static_cast<int64_t>(range_.location));
    coder.encodeInt("NS.rangeval.length", static_cast<int64_t>(range_.length));
  }
  std::string description() const override {
    return "NSRange: {" + std::to_string(range_.location) + ", " + std::to_string(range_.length) + "}";
  }
  VPKRange range() const { return range_; }

  static std::shared_ptr<vpk::Archivable> decode(vpk::KeyedUnarchiver& coder) {
    if (coder.decodeInt("NS.special") != kRangeSpecial) {
      coder.refuse("NSValue holds something other than a range");
      return nullptr;
    }
    return std::make_shared<RangeBox>(VPKRange{static_cast<uint64_t>(coder.decodeInt("NS.rangeval.location")),
                                               static_cast<uint64_t>(coder.decodeInt("NS.rangeval.length"))});
  }

 private:
  VPKRange range_;
};

const bool registered = vpk::registerArchivableClass("NSValue", {"NSValue", "NSObject"}, &RangeBox::decode);

}  // namespace

vpk::Value VPKValueWithRange(VPKRange range) { return vpk::Value(std::make_shared<RangeBox>(range)); }

std::optional<VPKRange> VPKRangeFromValue(const vpk::Value& value) {
  (void)registered;
  if (auto box = value.object<RangeBox>()) return box->range();
  if (const auto* d = value.getDictionary()) {
    const auto* location = d->find("location");
    const auto* length = d->find("length");
    if (location && length && location->isNumber() && length->isNumber())
      return VPKRange{location->unsignedValue(), length->unsignedValue()};
  }
  return std::nullopt;
}
