#pragma once
/// @file VPKBlockDataProcessor.h
/// A data processor whose behaviour is given by callbacks: the quickest way for an
/// application to add its own step to the analyzer's cycle.
///
///   auto p = VPKBlockDataProcessor::create();
///   p->setPrepareToUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription&) {
///     return true;
///   });
///   p->setUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription& d) {
///     d.setObject(d.filteredSignal() ? d.filteredSignal()->maxFloatValue() : 0.0f, "peak");
///     return true;
///   });
///   analyzer->addDataProcessor(p);
///
/// Every callback receives the processor itself first, then the operation's argument if any.
/// Without a callback an operation returns its default:
///
/// | callback                                   | operation                            | default   |
/// |--------------------------------------------|--------------------------------------|-----------|
/// | resetWithAnalyzerBlock                     | resetWithAnalyzer                    | nothing   |
/// | dataProcessorPriorityBlock                 | dataProcessorPriority                | INT64_MAX |
/// | supportsIdleSignalRecognitionBlock         | supportsIdleSignalRecognition        | false     |
/// | idleSignalRecognitionPossibleBlock         | idleSignalRecognitionPossible        | false     |
/// | idleSignalRecognizedBlock                  | idleSignalRecognized                 | false     |
/// | requiresUpdateEveryCycleBlock              | requiresUpdateEveryCycle             | false     |
/// | requiresUpdateToApplyToAllChannelsBlock    | requiresUpdateToApplyToAllChannels   | false     |
/// | dataProcessorTypeBlock                     | dataProcessorType                    | 8 (custom)|
/// | supportsProcessingOfChannelBlock           | supportsProcessingOfChannel(channel) | false     |
/// | prepareToUpdateChannelDescriptionBlock     | prepareToUpdateChannelDescription    | false     |
/// | updateChannelDescriptionBlock              | updateChannelDescription             | false     |
///
/// So a block processor without a prepare callback never updates anything, and it always
/// reports a priority (INT64_MAX without a callback), which sorts it after every processor
/// with a smaller priority but before processors that report none.
///
/// idleSignalRecognitionPossible, requiresUpdateEveryCycle and supportsProcessingOfChannel
/// are not consulted by the analyzer; they are there for applications.
///
/// Threads: the callbacks are called on the analyzer's processing thread (operations called
/// directly run their callback on the calling thread). Callbacks may be set and read from
/// any thread at any time: each is stored as a copy, and a call that has started keeps using
/// the callback it started with. A callback may call back into its processor.
///
/// Names: each callback property `fooBlock` is fooBlock() / setFooBlock(callback); an empty
/// std::function clears it.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class VPK_EXPORT VPKBlockDataProcessor : public VPKDataProcessor {
 public:
  using ResetBlock = std::function<void(VPKBlockDataProcessor& processor, VPKSignalAnalyzer* analyzer)>;
  using PriorityBlock = std::function<std::int64_t(VPKBlockDataProcessor& processor)>;
  using QueryBlock = std::function<bool(VPKBlockDataProcessor& processor)>;
  using TypeBlock = std::function<VPKDataProcesserType(VPKBlockDataProcessor& processor)>;
  using ChannelBlock = std::function<bool(VPKBlockDataProcessor& processor, std::uint64_t channel)>;
  using DescriptionBlock =
      std::function<bool(VPKBlockDataProcessor& processor, VPKChannelDescription& description)>;

  /// A processor without callbacks.
  static std::shared_ptr<VPKBlockDataProcessor> create();
  VPKBlockDataProcessor();
  ~VPKBlockDataProcessor() override;
  VPKBlockDataProcessor(const VPKBlockDataProcessor&) = delete;
  VPKBlockDataProcessor& operator=(const VPKBlockDataProcessor&) = delete;

  // ------------------------------------------------------------ VPKDataProcessor
  void resetWithAnalyzer(VPKSignalAnalyzer* analyzer) override;
  VPKDataProcesserType dataProcessorType() override;
  bool prepareToUpdateChannelDescription(VPKChannelDescription& description) override;
  bool updateChannelDescription(VPKChannelDescription& description) override;
  /// Always a value: the callback's, or INT64_MAX.
  std::optional<std::int64_t> dataProcessorPriority() override;
  bool supportsIdleSignalRecognition() override;
  bool idleSignalRecognized() override;
  bool requiresUpdateToApplyToAllChannels() override;

  // ------------------------------------------------------------ further queries
  bool idleSignalRecognitionPossible();
  bool requiresUpdateEveryCycle();
  bool supportsProcessingOfChannel(std::uint64_t channel);

  // ------------------------------------------------------------ callbacks
  ResetBlock resetWithAnalyzerBlock() const;
  void setResetWithAnalyzerBlock(ResetBlock block);
  PriorityBlock dataProcessorPriorityBlock() const;
  void setDataProcessorPriorityBlock(PriorityBlock block);
  QueryBlock supportsIdleSignalRecognitionBlock() const;
  void setSupportsIdleSignalRecognitionBlock(QueryBlock block);
  QueryBlock idleSignalRecognitionPossibleBlock() const;
  void setIdleSignalRecognitionPossibleBlock(QueryBlock block);
  QueryBlock idleSignalRecognizedBlock() const;
  void setIdleSignalRecognizedBlock(QueryBlock block);
  QueryBlock requiresUpdateEveryCycleBlock() const;
  void setRequiresUpdateEveryCycleBlock(QueryBlock block);
  QueryBlock requiresUpdateToApplyToAllChannelsBlock() const;
  void setRequiresUpdateToApplyToAllChannelsBlock(QueryBlock block);
  TypeBlock dataProcessorTypeBlock() const;
  void setDataProcessorTypeBlock(TypeBlock block);
  ChannelBlock supportsProcessingOfChannelBlock() const;
  void setSupportsProcessingOfChannelBlock(ChannelBlock block);
  DescriptionBlock prepareToUpdateChannelDescriptionBlock() const;
  void setPrepareToUpdateChannelDescriptionBlock(DescriptionBlock block);
  DescriptionBlock updateChannelDescriptionBlock() const;
  void setUpdateChannelDescriptionBlock(DescriptionBlock block);

 private:
  template <class F>
  std::shared_ptr<const F> load(const std::shared_ptr<const F>& slot) const;
  template <class F>
  void store(std::shared_ptr<const F>& slot, F block);

  mutable std::mutex lock_;
  std::shared_ptr<const ResetBlock> reset_;
  std::shared_ptr<const PriorityBlock> priority_;
  std::shared_ptr<const QueryBlock> supportsIdle_, idlePossible_, idleRecognized_, everyCycle_, allChannels_;
  std::shared_ptr<const TypeBlock> type_;
  std::shared_ptr<const ChannelBlock> supportsChannel_;
  std::shared_ptr<const DescriptionBlock> prepare_, update_;
};
