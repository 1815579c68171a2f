#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>

#include <VemraPlatformKit/dsp/VPKBasicFilter.h>

#include "dsp/BiquadSection.h"

#include <algorithm>
#include <typeinfo>

namespace {

using Section = vpk::detail::BiquadSection;

// Each section's output feeds the next one's input at the same sample, but every
// section's own recursion is independent of the others', so taking the block sample by
// sample through all sections lets the processor overlap them; section by section, each
// waits for its own chain of 25 dependent steps. The values are the same either way.
template <int N>
void cascade(Section* sections, float* values, std::size_t length) {
  Section s[N];
  std::copy_n(sections, N, s);
  for (std::size_t n = 0; n < length; ++n) {
    float v = values[n];
#pragma GCC unroll 4
    for (int i = 0; i < N; ++i) v = s[i].step(v);
    values[n] = v;
  }
  std::copy_n(s, N, sections);
}

}  // namespace

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
  constexpr std::size_t kMaxRun = 4;
  const std::size_t members = orderedFilters_.size();
  for (std::size_t i = 0; i < members;) {
    // A run of distinct plain biquad sections (not subclasses, whose filter() may differ;
    // a section added twice must see its own first pass, so it ends the run).
    VPKBasicFilter* run[kMaxRun];
    std::size_t count = 0;
    while (count < kMaxRun && i + count < members) {
      VPKFilter* member = orderedFilters_[i + count].get();
      if (typeid(*member) != typeid(VPKBasicFilter) || std::find(run, run + count, member) != run + count) break;
      run[count] = static_cast<VPKBasicFilter*>(member);
      ++count;
    }
    if (count < 2) {
      orderedFilters_[i]->filter(values, length);
      ++i;
      continue;
    }
    Section sections[kMaxRun];
    for (std::size_t k = 0; k < count; ++k) sections[k] = run[k]->section();
    switch (count) {
      case 2: cascade<2>(sections, values, length); break;
      case 3: cascade<3>(sections, values, length); break;
      default: cascade<4>(sections, values, length); break;
    }
    for (std::size_t k = 0; k < count; ++k) run[k]->setState(sections[k]);
    i += count;
  }
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
