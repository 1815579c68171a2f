#include "analysis/DataProcessorStages.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace vpk {

void sortDataProcessors(DataProcessorList& processors) {
  std::vector<std::pair<std::optional<std::int64_t>, std::shared_ptr<VPKDataProcessor>>> keyed;
  keyed.reserve(processors.size());
  for (auto& p : processors) keyed.emplace_back(p ? p->dataProcessorPriority() : std::nullopt, std::move(p));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    if (a.first && b.first) return *a.first < *b.first;
    return a.first.has_value() && !b.first.has_value();
  });
  for (size_t i = 0; i < keyed.size(); ++i) processors[i] = std::move(keyed[i].second);
}

bool runValidityStage(VPKDataProcessor* validator, const VPKChannelSet& set, std::uint64_t leftMask,
                      std::uint64_t rightMask) {
  const auto& left = set.leftChannel();
  const auto& right = set.rightChannel();
  const bool runs = ((leftMask | rightMask) & VPKDataProcesserTypeSignalValidity) != 0;
  bool idle = false;
  if (runs && validator) {
    if (left) validator->updateChannelDescription(*left);
    if (right) validator->updateChannelDescription(*right);
    idle = validator->idleSignalRecognized();
  }
  if (left) left->setIdle(idle);
  if (right) right->setIdle(idle);
  return runs;
}

void runFocusStage(VPKDataProcessor* leftDetector, VPKDataProcessor* rightDetector, const VPKChannelSet& set,
                   std::uint64_t leftMask, std::uint64_t rightMask) {
  if ((leftMask & VPKDataProcesserTypeFocus) && leftDetector && set.leftChannel())
    leftDetector->updateChannelDescription(*set.leftChannel());
  if ((rightMask & VPKDataProcesserTypeFocus) && rightDetector && set.rightChannel())
    rightDetector->updateChannelDescription(*set.rightChannel());
}

void runProcessorStage(const DataProcessorList& processors, const VPKChannelSet& set, std::uint64_t leftMask,
                       std::uint64_t rightMask) {
  for (const auto& p : processors) {
    if (!p) continue;
    const VPKDataProcesserType type = p->dataProcessorType();
    const bool all = p->requiresUpdateToApplyToAllChannels();
    const auto run = [&](const VPKChannelDescription::Ptr& d, std::uint64_t mask) {
      if (!d || (!all && (type & mask) != type)) return;
      if (p->prepareToUpdateChannelDescription(*d)) p->updateChannelDescription(*d);
    };
    run(set.leftChannel(), leftMask);
    run(set.rightChannel(), rightMask);
  }
}

void resetDataProcessors(VPKSignalAnalyzer* analyzer, VPKDataProcessor* validator, VPKDataProcessor* leftDetector,
                         VPKDataProcessor* rightDetector, const DataProcessorList& processors) {
  if (validator) validator->resetWithAnalyzer(analyzer);
  if (leftDetector) leftDetector->resetWithAnalyzer(analyzer);
  if (rightDetector) rightDetector->resetWithAnalyzer(analyzer);
  for (const auto& p : processors)
    if (p) p->resetWithAnalyzer(analyzer);
}

std::uint64_t channelFFTStatus(std::uint64_t cycles, std::uint64_t mask, const VPKFloatBuffer* filteredAmplitude) {
  if (cycles <= 255 || !(mask & VPKDataProcesserTypeFFT) || !filteredAmplitude) return 0;
  return filteredAmplitude->containsNaNs() ? 4 : 2;
}

}  // namespace vpk
