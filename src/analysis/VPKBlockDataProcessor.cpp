#include <VemraPlatformKit/analysis/VPKBlockDataProcessor.h>

#include <limits>

VPKDataProcessor::~VPKDataProcessor() = default;

VPKBlockDataProcessor::VPKBlockDataProcessor() = default;
VPKBlockDataProcessor::~VPKBlockDataProcessor() = default;

std::shared_ptr<VPKBlockDataProcessor> VPKBlockDataProcessor::create() {
  return std::make_shared<VPKBlockDataProcessor>();
}

// A callback is taken out of its slot under the lock and called after the lock is released,
// so a callback may set callbacks of its own processor and a setter never waits for a call.
template <class F>
std::shared_ptr<const F> VPKBlockDataProcessor::load(const std::shared_ptr<const F>& slot) const {
  std::lock_guard<std::mutex> guard(lock_);
  return slot;
}

template <class F>
void VPKBlockDataProcessor::store(std::shared_ptr<const F>& slot, F block) {
  auto stored = block ? std::make_shared<const F>(std::move(block)) : nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  slot.swap(stored);
  // `stored` (the previous callback) is released after the lock.
}

namespace {
template <class F>
F unwrap(const std::shared_ptr<const F>& p) {
  return p ? *p : F();
}
}  // namespace

void VPKBlockDataProcessor::resetWithAnalyzer(VPKSignalAnalyzer* analyzer) {
  if (auto b = load(reset_)) (*b)(*this, analyzer);
}

VPKDataProcesserType VPKBlockDataProcessor::dataProcessorType() {
  auto b = load(type_);
  return b ? (*b)(*this) : VPKDataProcesserTypeCustom;
}

bool VPKBlockDataProcessor::prepareToUpdateChannelDescription(VPKChannelDescription& description) {
  auto b = load(prepare_);
  return b && (*b)(*this, description);
}

bool VPKBlockDataProcessor::updateChannelDescription(VPKChannelDescription& description) {
  auto b = load(update_);
  return b && (*b)(*this, description);
}

std::optional<std::int64_t> VPKBlockDataProcessor::dataProcessorPriority() {
  auto b = load(priority_);
  return b ? (*b)(*this) : std::numeric_limits<std::int64_t>::max();
}

bool VPKBlockDataProcessor::supportsIdleSignalRecognition() {
  auto b = load(supportsIdle_);
  return b && (*b)(*this);
}

bool VPKBlockDataProcessor::idleSignalRecognized() {
  auto b = load(idleRecognized_);
  return b && (*b)(*this);
}

bool VPKBlockDataProcessor::requiresUpdateToApplyToAllChannels() {
  auto b = load(allChannels_);
  return b && (*b)(*this);
}

bool VPKBlockDataProcessor::idleSignalRecognitionPossible() {
  auto b = load(idlePossible_);
  return b && (*b)(*this);
}

bool VPKBlockDataProcessor::requiresUpdateEveryCycle() {
  auto b = load(everyCycle_);
  return b && (*b)(*this);
}

bool VPKBlockDataProcessor::supportsProcessingOfChannel(std::uint64_t channel) {
  auto b = load(supportsChannel_);
  return b && (*b)(*this, channel);
}

#define VPK_BLOCK_PROPERTY(Type, getter, setter, slot)                          \
  VPKBlockDataProcessor::Type VPKBlockDataProcessor::getter() const { return unwrap(load(slot)); } \
  void VPKBlockDataProcessor::setter(Type block) { store(slot, std::move(block)); }

VPK_BLOCK_PROPERTY(ResetBlock, resetWithAnalyzerBlock, setResetWithAnalyzerBlock, reset_)
VPK_BLOCK_PROPERTY(PriorityBlock, dataProcessorPriorityBlock, setDataProcessorPriorityBlock, priority_)
VPK_BLOCK_PROPERTY(QueryBlock, supportsIdleSignalRecognitionBlock, setSupportsIdleSignalRecognitionBlock, supportsIdle_)
VPK_BLOCK_PROPERTY(QueryBlock, idleSignalRecognitionPossibleBlock, setIdleSignalRecognitionPossibleBlock, idlePossible_)
VPK_BLOCK_PROPERTY(QueryBlock, idleSignalRecognizedBlock, setIdleSignalRecognizedBlock, idleRecognized_)
VPK_BLOCK_PROPERTY(QueryBlock, requiresUpdateEveryCycleBlock, setRequiresUpdateEveryCycleBlock, everyCycle_)
VPK_BLOCK_PROPERTY(QueryBlock, requiresUpdateToApplyToAllChannelsBlock, setRequiresUpdateToApplyToAllChannelsBlock,
                   allChannels_)
VPK_BLOCK_PROPERTY(TypeBlock, dataProcessorTypeBlock, setDataProcessorTypeBlock, type_)
VPK_BLOCK_PROPERTY(ChannelBlock, supportsProcessingOfChannelBlock, setSupportsProcessingOfChannelBlock,
                   supportsChannel_)
VPK_BLOCK_PROPERTY(DescriptionBlock, prepareToUpdateChannelDescriptionBlock, setPrepareToUpdateChannelDescriptionBlock,
                   prepare_)
VPK_BLOCK_PROPERTY(DescriptionBlock, updateChannelDescriptionBlock, setUpdateChannelDescriptionBlock, update_)

#undef VPK_BLOCK_PROPERTY
