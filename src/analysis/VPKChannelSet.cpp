#include <VemraPlatformKit/analysis/VPKChannelSet.h>

#include <VemraPlatformKit/platform/values/KeyedArchiver.h>

VPKChannelSet::VPKChannelSet() = default;
VPKChannelSet::~VPKChannelSet() = default;

VPKChannelSet::Ptr VPKChannelSet::create() { return std::make_shared<VPKChannelSet>(); }

VPKChannelSet::Ptr VPKChannelSet::create(VPKChannelDescription::Ptr left, VPKChannelDescription::Ptr right) {
  auto set = create();
  if (left) left->setChannelSet(set);
  if (right) right->setChannelSet(set);
  set->leftChannel_ = std::move(left);
  set->rightChannel_ = std::move(right);
  return set;
}

bool VPKChannelSet::isIdle() const {
  if (leftChannel_ && leftChannel_->isIdle()) return true;
  return rightChannel_ && rightChannel_->isIdle();
}

namespace {
template <class Op>
VPKChannelSet::Ptr copySet(const VPKChannelSet& source, Op op) {
  auto set = VPKChannelSet::create();
  if (source.leftChannel()) set->setLeftChannel(op(*source.leftChannel()));
  if (source.rightChannel()) set->setRightChannel(op(*source.rightChannel()));
  return set;
}
}  // namespace

VPKChannelSet::Ptr VPKChannelSet::copy() const {
  return copySet(*this, [](const VPKChannelDescription& d) { return d.copy(); });
}

VPKChannelSet::Ptr VPKChannelSet::copyPreservingAnalysisResultsOnly() const {
  return copySet(*this, [](const VPKChannelDescription& d) { return d.copyPreservingAnalysisResultsOnly(); });
}

VPKChannelSet::Ptr VPKChannelSet::copyWithoutPreservingCollections() const {
  return copySet(*this, [](const VPKChannelDescription& d) { return d.copyWithoutPreservingCollections(); });
}

void VPKChannelSet::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  coder.encodeObject("leftChannel", leftChannel_);
  coder.encodeObject("rightChannel", rightChannel_);
}
