#include <VemraPlatformKit/dsp/VPKDFT.h>

#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

namespace {

const bool registered = vpk::registerArchivableClass(
    "VPKDFT", {"VPKDFT", "NSObject"},
    [](vpk::KeyedUnarchiver& coder) -> std::shared_ptr<vpk::Archivable> {
      return VPKDFT::createWithCoder(coder);
    });

}  // namespace

VPKDFT::VPKDFT(std::shared_ptr<VPKFloatBuffer> amplitude,
               std::shared_ptr<VPKFloatBuffer> frequencies, std::optional<float> DCOffset)
    : amplitude_(std::move(amplitude)), frequencies_(std::move(frequencies)), DCOffset_(DCOffset) {}

VPKDFT::~VPKDFT() = default;

std::shared_ptr<VPKDFT> VPKDFT::create() { return std::make_shared<VPKDFT>(); }

std::shared_ptr<VPKDFT> VPKDFT::create(std::shared_ptr<VPKFloatBuffer> amplitude,
                                       std::shared_ptr<VPKFloatBuffer> frequencies,
                                       std::optional<float> DCOffset) {
  return std::make_shared<VPKDFT>(std::move(amplitude), std::move(frequencies), DCOffset);
}

std::shared_ptr<VPKDFT> VPKDFT::copy() const { return create(amplitude_, frequencies_, DCOffset_); }

std::shared_ptr<VPKDFT> VPKDFT::deepCopy() const {
  return create(amplitude_ ? amplitude_->immutableCopy() : nullptr,
                frequencies_ ? frequencies_->immutableCopy() : nullptr, DCOffset_);
}

void VPKDFT::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  coder.encodeObject("amplitude", amplitude_);
  coder.encodeObject("frequencies", frequencies_);
  coder.encodeValue("DCOffset", DCOffset_ ? vpk::Value(*DCOffset_) : vpk::Value());
}

std::shared_ptr<VPKDFT> VPKDFT::createWithCoder(vpk::KeyedUnarchiver& coder) {
  (void)registered;
  auto amplitude = coder.decodeObjectOfClass<VPKFloatBuffer>("amplitude");
  auto frequencies = coder.decodeObjectOfClass<VPKFloatBuffer>("frequencies");
  const vpk::Value dc = coder.decodeValue("DCOffset");
  if (coder.failed()) return nullptr;
  std::optional<float> DCOffset;
  if (dc.isNumber()) DCOffset = static_cast<float>(dc.doubleValue());
  return create(std::move(amplitude), std::move(frequencies), DCOffset);
}
