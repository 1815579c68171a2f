#include <VemraPlatformKit/analysis/VPKSignalAnalyzerDelegate.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerOutput.h>

VPKSignalAnalyzerOutput::~VPKSignalAnalyzerOutput() = default;

vpk::DispatchQueuePtr VPKSignalAnalyzerOutput::methodInvocationQueueForSignalAnalyzer(VPKSignalAnalyzer&) {
  return nullptr;
}
void VPKSignalAnalyzerOutput::signalAnalyzerDidEnterIdleState(VPKSignalAnalyzer&) {}
void VPKSignalAnalyzerOutput::signalAnalyzerDidLeaveIdleState(VPKSignalAnalyzer&) {}
void VPKSignalAnalyzerOutput::signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&,
                                                               const std::shared_ptr<VPKChannelSet>&) {}
void VPKSignalAnalyzerOutput::signalAnalyzerDidCompleteCycle(VPKSignalAnalyzer&) {}
std::optional<uint64_t> VPKSignalAnalyzerOutput::outputPriorityForSignalAnalyzer(VPKSignalAnalyzer&) {
  return std::nullopt;
}

VPKSignalAnalyzerDelegate::~VPKSignalAnalyzerDelegate() = default;

std::optional<bool> VPKSignalAnalyzerDelegate::signalAnalyzerShouldEnterIdleState(VPKSignalAnalyzer&) {
  return std::nullopt;
}
std::optional<bool> VPKSignalAnalyzerDelegate::signalAnalyzerShouldLeaveIdleState(VPKSignalAnalyzer&) {
  return std::nullopt;
}
