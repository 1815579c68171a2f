#pragma once
/// @file VPKSignalAnalyzerOutput.h
/// The interface of everything that listens to a signal analyzer: once per analysis cycle
/// it receives the cycle's channel set, and it hears when the analyzer enters or leaves the
/// idle state (headband not worn, no usable signal).
///
/// Every operation is optional: override what you need, the defaults do nothing.
///
/// Queues
/// - Each cycle the analyzer asks methodInvocationQueueForSignalAnalyzer() (on its
///   processing thread) and posts one task to the queue it names, or to the main queue
///   when it names none. That task calls, in this order: signalAnalyzerDidEnterIdleState()
///   or signalAnalyzerDidLeaveIdleState() (only in a cycle that changed the idle state),
///   signalAnalyzerDidPerformAnalysis(), signalAnalyzerDidCompleteCycle().
/// - outputPriorityForSignalAnalyzer() is asked once, when the output is added, on the
///   thread that adds it.
///
/// Ownership
/// - The analyzer holds its outputs strongly while they are in its list. Each posted task
///   holds the analyzer, the output and the channel set, so all three stay valid during the
///   calls even if the output has been removed meanwhile (a task already posted still runs).
/// - The channel set is complete when it is handed over and is never changed afterwards by
///   the analyzer: it may be kept, read from any thread, or passed on.
///
/// Name mapping (listener operation -> C++ member):
///   methodInvocationQueueForSignalAnalyzer:        -> methodInvocationQueueForSignalAnalyzer(analyzer)
///   signalAnalyzerDidEnterIdleState:               -> signalAnalyzerDidEnterIdleState(analyzer)
///   signalAnalyzerDidLeaveIdleState:               -> signalAnalyzerDidLeaveIdleState(analyzer)
///   signalAnalyzerDidPerformAnalysis:onChannels:   -> signalAnalyzerDidPerformAnalysis(analyzer, channels)
///   signalAnalyzerDidCompleteCycle:                -> signalAnalyzerDidCompleteCycle(analyzer)
///   outputPriorityForSignalAnalyzer:               -> outputPriorityForSignalAnalyzer(analyzer)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <cstdint>
#include <memory>
#include <optional>

class VPKSignalAnalyzer;
class VPKChannelSet;

class VPK_EXPORT VPKSignalAnalyzerOutput {
 public:
  virtual ~VPKSignalAnalyzerOutput();

  /// The queue on which this output wants its calls; nullptr (the default) means the main
  /// queue.
  virtual vpk::DispatchQueuePtr methodInvocationQueueForSignalAnalyzer(VPKSignalAnalyzer& analyzer);
  /// The analyzer entered the idle state in this cycle.
  virtual void signalAnalyzerDidEnterIdleState(VPKSignalAnalyzer& analyzer);
  /// The analyzer left the idle state in this cycle.
  virtual void signalAnalyzerDidLeaveIdleState(VPKSignalAnalyzer& analyzer);
  /// The cycle's result: a left and (for a two-channel analyzer) a right description.
  virtual void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer& analyzer,
                                                const std::shared_ptr<VPKChannelSet>& channels);
  /// End of the cycle's calls.
  virtual void signalAnalyzerDidCompleteCycle(VPKSignalAnalyzer& analyzer);
  /// The output's place in the analyzer's list: lower values come first; std::nullopt (the
  /// default) sorts after every output that gives a priority. Equal priorities keep the
  /// order in which the outputs were added.
  virtual std::optional<uint64_t> outputPriorityForSignalAnalyzer(VPKSignalAnalyzer& analyzer);
};

using VPKSignalAnalyzerOutputPtr = std::shared_ptr<VPKSignalAnalyzerOutput>;
