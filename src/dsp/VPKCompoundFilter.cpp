#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>

#include <algorithm>

VPKCompoundFilter::VPKCompoundFilter(const std::vector<std::shared_ptr<VPKFilter>>& filters) {
  orderedFilters_.reserve(filters.size());
  for (const auto& f : filters) {
    if (f) orderedFilters_.push_back(f->copy());
  }
}

std::shared_ptr<VPKCompoundFilter> VPKCompoundFilter::create() {
  return std::make_shared<VPKCompoundFilter>();
}

std::shared_ptr<VPKCompoundFilter> VPKCompoundFilter::create(
    const std::vector<std::shared_ptr<VPKFilter>>& filters) {
  return std::make_shared<VPKCompoundFilter>(filters);
}

bool VPKCompoundFilter::contains(const VPKFilter& filter) const {
  if (&filter == this) return true;
  for (const auto& member : orderedFilters_) {
    if (member.get() == &filter) return true;
    const auto* chain = dynamic_cast<const VPKCompoundFilter*>(member.get());
    if (chain != nullptr && chain->contains(filter)) return true;
  }
  return false;
}

void VPKCompoundFilter::addFilter(const std::shared_ptr<VPKFilter>& filter) {
  if (!filter || filter.get() == this) return;
  const auto* chain = dynamic_cast<const VPKCompoundFilter*>(filter.get());
  if (chain != nullptr && chain->contains(*this)) return;
  orderedFilters_.push_back(filter);
}

void VPKCompoundFilter::removeFilter(const std::shared_ptr<VPKFilter>& filter) {
  if (!filter) return;
  std::erase_if(orderedFilters_, [&](const auto& member) { return member->isEqual(*filter); });
}

std::shared_ptr<VPKBasicFilter> VPKCompoundFilter::addFilterWithType(VPKFilterType type,
                                                                     float centerFrequency,
                                                                     float samplingRate,
                                                                     float qFactor) {
  auto f = VPKBasicFilter::create(type, centerFrequency, samplingRate, qFactor);
  orderedFilters_.push_back(f);
  return f;
}

std::shared_ptr<VPKBasicFilter> VPKCompoundFilter::addFilterWithType(VPKFilterType type,
                                                                     float samplingRate,
                                                                     VPKFrequencyRange range) {
  auto f = VPKBasicFilter::create(type, samplingRate, range);
  orderedFilters_.push_back(f);
  return f;
}

void VPKCompoundFilter::filter(float* values, std::size_t length) {
  for (const auto& member : orderedFilters_) member->filter(values, length);
}

void VPKCompoundFilter::reset() {
  for (const auto& member : orderedFilters_) member->reset();
}

std::shared_ptr<VPKFilter> VPKCompoundFilter::filterWithSamplingRate(std::uint64_t rate) const {
  auto chain = create();
  chain->orderedFilters_.reserve(orderedFilters_.size());
  for (const auto& member : orderedFilters_) {
    chain->orderedFilters_.push_back(member->filterWithSamplingRate(rate));
  }
  return chain;
}

std::shared_ptr<VPKCompoundFilter> VPKCompoundFilter::copy() const {
  return create(orderedFilters_);
}

std::shared_ptr<VPKFilter> VPKCompoundFilter::copyFilter() const { return copy(); }
