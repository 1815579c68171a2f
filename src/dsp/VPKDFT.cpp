#include <VemraPlatformKit/dsp/VPKDFT.h>

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
