#pragma once
/// @file VPKCompoundFilter.h
/// A chain of filters applied one after the other to the same block.
///
/// The chain holds its members strongly. `addFilter` adds the given object itself,
/// so a caller that keeps a reference sees the member's state move; the constructor
/// from a list and `copy()` hold copies. A chain's state is its members' states.
///
/// Names: `initWithFilters:` is the list constructor; `filters` and
/// `orderedFilters` both return the members; `addFilterWithType:…` are the two
/// `addFilterWithType` overloads.

#include <VemraPlatformKit/dsp/VPKBasicFilter.h>

#include <vector>

class VPK_EXPORT VPKCompoundFilter : public VPKFilter {
 public:
  /// An empty chain; it leaves values unchanged.
  VPKCompoundFilter() = default;
  /// A chain of copies of `filters`, in list order (null entries are skipped).
  explicit VPKCompoundFilter(const std::vector<std::shared_ptr<VPKFilter>>& filters);

  static std::shared_ptr<VPKCompoundFilter> create();
  static std::shared_ptr<VPKCompoundFilter> create(
      const std::vector<std::shared_ptr<VPKFilter>>& filters);

  /// Appends `filter` itself (no copy). Adding null, the chain itself, or a chain
  /// that already contains this one (which would make filtering recurse forever) is
  /// ignored.
  void addFilter(const std::shared_ptr<VPKFilter>& filter);
  /// Removes every member for which `member->isEqual(*filter)` holds.
  void removeFilter(const std::shared_ptr<VPKFilter>& filter);

  /// Creates a basic filter with the matching constructor, appends it and returns it.
  std::shared_ptr<VPKBasicFilter> addFilterWithType(VPKFilterType type, float centerFrequency,
                                                    float samplingRate, float qFactor);
  std::shared_ptr<VPKBasicFilter> addFilterWithType(VPKFilterType type, float samplingRate,
                                                    VPKFrequencyRange range);

  const std::vector<std::shared_ptr<VPKFilter>>& filters() const { return orderedFilters_; }
  const std::vector<std::shared_ptr<VPKFilter>>& orderedFilters() const { return orderedFilters_; }

  /// Runs every member over the same values, in chain order.
  void filter(float* values, std::size_t length) override;
  /// Resets every member.
  void reset() override;
  /// A new chain made of each member's `filterWithSamplingRate(rate)`.
  std::shared_ptr<VPKFilter> filterWithSamplingRate(std::uint64_t rate) const override;
  /// A new chain holding copies of the members (with their state).
  std::shared_ptr<VPKCompoundFilter> copy() const;

  /// True when `filter` is this chain or is reachable through its member chains.
  bool contains(const VPKFilter& filter) const;

 protected:
  std::shared_ptr<VPKFilter> copyFilter() const override;

 private:
  std::vector<std::shared_ptr<VPKFilter>> orderedFilters_;
};
