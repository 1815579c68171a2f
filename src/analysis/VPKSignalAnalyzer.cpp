#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>
#include <VemraPlatformKit/dsp/VPKBasicFilter.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKDadeFocusAnalyzer.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Thread.h>

#include "analysis/AnalyzerSpinLock.h"
#include "analysis/DataProcessorStages.h"
#include "analysis/ElectrodeFailureFlags.h"
#include "analysis/IdleTransition.h"
#include "analysis/InterferenceFrequency.h"
#include "analysis/PendingSampleQueue.h"
#include "analysis/SignalWindows.h"
#include "analysis/ThreadCPUMeter.h"
#include "platform/dispatch/DispatchInternal.h"

#include <pthread.h>
#include <syslog.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

using vpk::detail::AnalyzerSpinLock;
using vpk::detail::IdleNotification;

namespace {

constexpr uint64_t kDefaultBufferSize = 512;
constexpr uint64_t kDefaultSamplingRate = 250;
constexpr double kDefaultAnalysisRate = 0.1;
constexpr uint64_t kDefaultLeftMask = 15;
constexpr uint64_t kDefaultRightMask = 5;
constexpr uint64_t kDefaultIdleTransitions = 3;
constexpr uint64_t kCyclesPerCPUSample = 25;
constexpr uint64_t kReadyAfterSamples = 249;
constexpr size_t kMinimumStackBytes = 1048576;
constexpr double kThreadPriority = 0.5;
constexpr size_t kPendingSampleFloor = 65536;
constexpr float kFilterSamplingRate = 250.0f;

// Runs one call into application code (outputs, processors, handlers); an exception is
// logged and the cycle goes on.
template <typename F>
void guarded(const char* what, F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    VPKLog(1, "Signal analyzer: {} threw: {}", what, e.what());
  } catch (...) {
    VPKLog(1, "Signal analyzer: {} threw", what);
  }
}

size_t processingStackBytes() {
  size_t stack = 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
  }
  return std::max(stack, kMinimumStackBytes);
}

struct OutputEntry {
  VPKSignalAnalyzerOutputPtr output;
  std::optional<uint64_t> priority;
};
using OutputList = std::vector<OutputEntry>;

}  // namespace

// ---------------------------------------------------------------- state

struct VPKSignalAnalyzer::ThreadControl {
  std::shared_ptr<vpk::Thread> thread;
  bool cancelled = false;  // main mutex
  bool executing = true;   // main mutex; true from creation until the loop has unwound
  // Set when the analyzer is destroyed on its own processing thread: the loop must not
  // touch the analyzer again.
  std::atomic<bool> orphaned{false};
};

struct VPKSignalAnalyzer::Impl {
  Impl(uint64_t bufferSize_, uint64_t samplingRate_, uint64_t type_)
      : bufferSize(bufferSize_),
        samplingRate(samplingRate_),
        type(type_),
        pending(std::max<size_t>(kPendingSampleFloor, 4 * bufferSize_)),
        windows(bufferSize_, samplingRate_, type_ == 0) {}

  const uint64_t bufferSize;
  const uint64_t samplingRate;
  const uint64_t type;

  // ---- main mutex
  std::mutex mutex;
  std::condition_variable cond;
  vpk::detail::PendingSampleQueue pending;
  std::weak_ptr<VPKSignalStream> stream;
  std::string deviceName;
  std::weak_ptr<VPKSignalAnalyzerDelegate> delegate;
  std::shared_ptr<ThreadControl> control;
  bool usesThread = true;
  bool activityHeld = false;                             // the dispatch layer's activity count is raised for due work
  std::vector<std::shared_ptr<ThreadControl>> retiring;  // stopped threads not yet ended
  bool resetInProgress = false;
  bool callerCycleRunning = false;
  std::thread::id callerCycleThread;
  bool validatorResetRequested = false;
  bool dropLogged = false;

  // ---- property lock
  AnalyzerSpinLock propertyLock;
  bool enabled = true;
  double analysisRate = kDefaultAnalysisRate;
  uint64_t leftMask = kDefaultLeftMask;
  uint64_t rightMask = kDefaultRightMask;
  uint64_t idleTransitions = kDefaultIdleTransitions;
  bool outputsAreEnabled = true;
  DiagnosticsHandler diagnosticsHandler;
  std::shared_ptr<VPKCompoundFilter> leftFilter;
  std::shared_ptr<VPKCompoundFilter> rightFilter;
  std::shared_ptr<VPKDataProcessor> validator;
  std::shared_ptr<const vpk::DataProcessorList> processors = std::make_shared<const vpk::DataProcessorList>();
  uint64_t processorsVersion = 0;
  std::shared_ptr<const OutputList> outputs = std::make_shared<const OutputList>();
  std::shared_ptr<VPKChannelSet> analysisResult;

  std::atomic<unsigned> mains{60};
  std::atomic<bool> filteredOnly{false};
  std::atomic<bool> recordDiagnostics{false};
  std::atomic<uint64_t> cycles{0};
  std::atomic<uint64_t> cpuUsage{0};

  // ---- latency lock
  AnalyzerSpinLock latencyLock;
  uint64_t latency = 0;
  vpk::detail::ThreadCPUMeter cpuMeter;
  VPKMovingAverage cpuAverager{10};

  // ---- cycle state: used by whoever runs the cycles, one at a time; cleared only while
  // no cycle runs
  vpk::detail::SignalWindows windows;
  std::vector<VPKSignalAnalyzerSample> cycleSamples;
  std::shared_ptr<VPKDadeFocusAnalyzer> leftFocus;
  std::shared_ptr<VPKDadeFocusAnalyzer> rightFocus;
  uint64_t cyclesLeftTillCPUSample = kCyclesPerCPUSample;
  bool firstCycle = true;
  double previousElapsed = 0;
  std::optional<bool> reportedIdle;
  uint64_t clearings = 0;                            // counts clearBuffersLocked(): a reset inside a cycle
  std::weak_ptr<VPKDataProcessor> preparedValidator;  // the validator last reset

  vpk::DispatchQueuePtr privateQueue;

  uint64_t samplesPerCycleLocked() const {
    const double product = analysisRate * static_cast<double>(samplingRate);
    const float n = std::floor(static_cast<float>(product));
    if (!(n >= 1.0f)) return 1;
    return std::min<uint64_t>(static_cast<uint64_t>(n), bufferSize);
  }
  uint64_t samplesPerCycle() {
    std::lock_guard<AnalyzerSpinLock> lock(propertyLock);
    return samplesPerCycleLocked();
  }

  // Main mutex held: once a cycle's worth is pending, counts the work for the dispatch
  // layer's settling (virtual-time tests) and wakes the thread.
  void wakeIfDueLocked(uint64_t n) {
    if (pending.size() < n || !control || control->cancelled) return;
    if (!activityHeld) {
      activityHeld = true;
      vpk::detail::Activity::instance().add();
    }
    cond.notify_all();
  }
  void lowerActivityLocked() {
    if (!activityHeld) return;
    activityHeld = false;
    vpk::detail::Activity::instance().remove();
  }
  bool callerCycleElsewhereLocked() const {
    return callerCycleRunning && callerCycleThread != std::this_thread::get_id();
  }
  // Main mutex held: waits until no caller-driven cycle runs (unless the caller is us).
  void waitForCallerCycleLocked(std::unique_lock<std::mutex>& lock) {
    cond.wait(lock, [&] { return !callerCycleElsewhereLocked(); });
  }
  // Main mutex held: whether a stopped processing thread other than `self` is still
  // running (a reset called from inside a cycle hands over to a new thread while the old
  // one finishes that cycle).
  bool predecessorRunningLocked(const ThreadControl* self) const {
    return std::any_of(retiring.begin(), retiring.end(),
                       [&](const auto& c) { return c.get() != self && c->executing; });
  }
  // Main mutex held: whether the calling thread is a processing thread of this analyzer.
  bool onProcessingThreadLocked() const {
    if (control && control->thread->isCurrent()) return true;
    return std::any_of(retiring.begin(), retiring.end(), [](const auto& c) { return c->thread->isCurrent(); });
  }
};

// ---------------------------------------------------------------- creation

uint64_t VPKSignalAnalyzer::nextPowerOfTwo(uint64_t x) {
  if (x > (uint64_t{1} << 63)) return 0;
  uint64_t v = x - 1;
  for (unsigned shift = 1; shift < 64; shift <<= 1) v |= v >> shift;
  return v + 1;
}

VPKSignalAnalyzer::VPKSignalAnalyzer(Token, uint64_t bufferSize, uint64_t samplingRate, uint64_t type)
    : d_(std::make_unique<Impl>(bufferSize, samplingRate, type)) {}

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::create(uint64_t bufferSize, uint64_t samplingRate, uint64_t type) {
  VPKLog(0, "Creating siganl analyzer(size = {}, rate = {})", bufferSize, samplingRate);
  if (bufferSize == 0 || bufferSize > kMaxBufferSize || samplingRate == 0 || samplingRate > kMaxSamplingRate) {
    VPKLog(1, "Signal analyzer refused: buffer size {} and rate {} must lie in 1...{} and 1...{}", bufferSize,
           samplingRate, kMaxBufferSize, kMaxSamplingRate);
    return nullptr;
  }
  auto analyzer = std::make_shared<VPKSignalAnalyzer>(Token{}, bufferSize, samplingRate, type);
  analyzer->setUp();
  return analyzer;
}

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::create(uint64_t samplingRate, uint64_t type) {
  return create(2 * nextPowerOfTwo(samplingRate), samplingRate, type);
}

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::analyzer() { return create(kDefaultBufferSize, kDefaultSamplingRate, 0); }

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::analyzerWithSize(uint64_t size) {
  return create(nextPowerOfTwo(size), kDefaultSamplingRate, 0);
}

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::analyzerWithSamplingRate(uint64_t samplingRate, uint64_t) {
  return create(2 * nextPowerOfTwo(samplingRate), samplingRate, 0);
}

VPKSignalAnalyzer::Ptr VPKSignalAnalyzer::analyzerWithSize(uint64_t size, uint64_t samplingRate, uint64_t) {
  return create(std::max(2 * nextPowerOfTwo(samplingRate), nextPowerOfTwo(size)), samplingRate, 0);
}

void VPKSignalAnalyzer::setUp() {
  Impl& d = *d_;
  d.privateQueue = vpk::DispatchQueue::createSerial("com.vemra.vpk.analyzer");
  d.mains = vpk::mainsInterferenceFrequency();
  d.leftFocus = VPKDadeFocusAnalyzer::create(0);
  d.rightFocus = VPKDadeFocusAnalyzer::create(1);
  d.validator = VPKSignalValidityMonitor::create();
  setFilter(defaultHeadbandFilter(d.mains));
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    clearBuffersLocked();
  }
  resetProcessors();
}

VPKSignalAnalyzer::~VPKSignalAnalyzer() {
  syslog(LOG_USER | LOG_DEBUG, "Dealloc: VPKSignalAnalyzer");
  std::unique_lock<std::mutex> lock(d_->mutex);
  if (d_->control && d_->control->thread && d_->control->thread->isCurrent()) d_->control->orphaned = true;
  closeLocked(lock);
  d_->waitForCallerCycleLocked(lock);
}

// ---------------------------------------------------------------- filter factories

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::defaultHeadbandFilter() {
  return defaultHeadbandFilter(vpk::mainsInterferenceFrequency());
}

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::defaultHeadbandFilter(unsigned mainsFrequency) {
  const auto mains = static_cast<float>(mainsFrequency);
  auto chain = VPKCompoundFilter::create();
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeNotch, mains, kFilterSamplingRate, VPKButterworthQFactor));
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeBandpass, kFilterSamplingRate, VPKFrequencyRange{1.0f, 49.0f},
                                          VPKButterworthQFactor));
  return chain;
}

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::noiseBoostingFilter() {
  return noiseBoostingFilter(vpk::mainsInterferenceFrequency());
}

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::noiseBoostingFilter(unsigned mainsFrequency) {
  const auto mains = static_cast<float>(mainsFrequency);
  auto chain = VPKCompoundFilter::create();
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeBandpass, kFilterSamplingRate,
                                          VPKFrequencyRange{mains - 2.0f, mains + 2.0f}, VPKButterworthQFactor));
  return chain;
}

// ---------------------------------------------------------------- configuration, settings

uint64_t VPKSignalAnalyzer::bufferSize() const { return d_->bufferSize; }
uint64_t VPKSignalAnalyzer::samplingRate() const { return d_->samplingRate; }
uint64_t VPKSignalAnalyzer::type() const { return d_->type; }
uint64_t VPKSignalAnalyzer::samplesPerCycle() const { return d_->samplesPerCycle(); }

namespace {
template <typename T, typename Lock>
T readLocked(Lock& lock, const T& field) {
  std::lock_guard<Lock> guard(lock);
  return field;
}
template <typename T, typename Lock>
void writeLocked(Lock& lock, T& field, T value) {
  std::lock_guard<Lock> guard(lock);
  field = std::move(value);
}
}  // namespace

unsigned VPKSignalAnalyzer::mainsFrequency() const { return d_->mains.load(); }

bool VPKSignalAnalyzer::setMainsFrequency(unsigned hz) {
  if (hz != 50 && hz != 60) {
    VPKLog(1, "Signal analyzer: mains frequency {} Hz refused (50 or 60)", hz);
    return false;
  }
  d_->mains.store(hz);
  setFilter(defaultHeadbandFilter(hz));
  // The validator rebuilds its chain for the new frequency before the next cycle.
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->validatorResetRequested = true;
  return true;
}

bool VPKSignalAnalyzer::isEnabled() const { return readLocked(d_->propertyLock, d_->enabled); }
void VPKSignalAnalyzer::setEnabled(bool enabled) { writeLocked(d_->propertyLock, d_->enabled, enabled); }

double VPKSignalAnalyzer::analysisRate() const { return readLocked(d_->propertyLock, d_->analysisRate); }

void VPKSignalAnalyzer::setAnalysisRate(double seconds) {
  if (std::isnan(seconds)) {
    VPKLog(1, "Signal analyzer: analysis rate NaN ignored");
    return;
  }
  const double rate = static_cast<double>(d_->samplingRate);
  const double clamped = std::max(1.0 / rate, std::min(static_cast<double>(d_->bufferSize) / rate, seconds));
  writeLocked(d_->propertyLock, d_->analysisRate, clamped);
  // A shorter cycle may already be due.
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->wakeIfDueLocked(d_->samplesPerCycle());
}

bool VPKSignalAnalyzer::performFFTOnFilteredSignalOnly() const { return d_->filteredOnly.load(); }
void VPKSignalAnalyzer::setPerformFFTOnFilteredSignalOnly(bool on) { d_->filteredOnly.store(on); }

uint64_t VPKSignalAnalyzer::leftChannelEnabledDataProcesserTypes() const {
  return readLocked(d_->propertyLock, d_->leftMask);
}
void VPKSignalAnalyzer::setLeftChannelEnabledDataProcesserTypes(uint64_t mask) {
  writeLocked(d_->propertyLock, d_->leftMask, mask);
}
uint64_t VPKSignalAnalyzer::rightChannelEnabledDataProcesserTypes() const {
  return readLocked(d_->propertyLock, d_->rightMask);
}
void VPKSignalAnalyzer::setRightChannelEnabledDataProcesserTypes(uint64_t mask) {
  writeLocked(d_->propertyLock, d_->rightMask, mask);
}

uint64_t VPKSignalAnalyzer::allowedIdleTransitions() const { return readLocked(d_->propertyLock, d_->idleTransitions); }

void VPKSignalAnalyzer::setAllowedIdleTransitions(uint64_t mask) {
  bool changed = false;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
    changed = d_->idleTransitions != mask;
    d_->idleTransitions = mask;
  }
  if (!changed || mask == 0) return;
  // The validator belongs to the cycle: it is reset before the next cycle, on the thread
  // that runs it, rather than here while a cycle may be using it.
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->validatorResetRequested = true;
}

bool VPKSignalAnalyzer::outputsAreEnabled() const { return readLocked(d_->propertyLock, d_->outputsAreEnabled); }
void VPKSignalAnalyzer::setOutputsAreEnabled(bool enabled) {
  writeLocked(d_->propertyLock, d_->outputsAreEnabled, enabled);
}

bool VPKSignalAnalyzer::recordDiagnosticInformation() const { return d_->recordDiagnostics.load(); }
void VPKSignalAnalyzer::setRecordDiagnosticInformation(bool on) { d_->recordDiagnostics.store(on); }

VPKSignalAnalyzer::DiagnosticsHandler VPKSignalAnalyzer::diagnosticsHandler() const {
  return readLocked(d_->propertyLock, d_->diagnosticsHandler);
}
void VPKSignalAnalyzer::setDiagnosticsHandler(DiagnosticsHandler handler) {
  // The old handler is destroyed outside the spin lock.
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  std::swap(d_->diagnosticsHandler, handler);
}

// ---------------------------------------------------------------- read-outs

uint64_t VPKSignalAnalyzer::cycles() const { return d_->cycles.load(); }
uint64_t VPKSignalAnalyzer::latency() const { return readLocked(d_->latencyLock, d_->latency); }
uint64_t VPKSignalAnalyzer::processingCPUUsage() const { return d_->cpuUsage.load(); }
std::shared_ptr<VPKChannelSet> VPKSignalAnalyzer::analysisResult() const {
  return readLocked(d_->propertyLock, d_->analysisResult);
}
bool VPKSignalAnalyzer::isReady() const { return cycles() > kReadyAfterSamples; }
bool VPKSignalAnalyzer::isIdle() const {
  const auto result = analysisResult();
  return result && result->isIdle();
}

std::shared_ptr<VPKSignalStream> VPKSignalAnalyzer::stream() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->stream.lock();
}

std::shared_ptr<VPKSignalAnalyzerDelegate> VPKSignalAnalyzer::delegate() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->delegate.lock();
}

void VPKSignalAnalyzer::setDelegate(std::weak_ptr<VPKSignalAnalyzerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(d_->mutex);
  d_->delegate = std::move(delegate);
}

// ---------------------------------------------------------------- filters

void VPKSignalAnalyzer::setFilter(const std::shared_ptr<VPKCompoundFilter>& filter) {
  auto left = filter ? filter->copy() : nullptr;
  auto right = filter ? filter->copy() : nullptr;
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  std::swap(d_->leftFilter, left);
  std::swap(d_->rightFilter, right);
}

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::filter() const { return leftChannelFilter(); }

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::leftChannelFilter() const {
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  return d_->leftFilter ? d_->leftFilter->copy() : nullptr;
}

std::shared_ptr<VPKCompoundFilter> VPKSignalAnalyzer::rightChannelFilter() const {
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  return d_->rightFilter ? d_->rightFilter->copy() : nullptr;
}

// ---------------------------------------------------------------- processors

std::shared_ptr<VPKDadeFocusAnalyzer> VPKSignalAnalyzer::leftChannelFocusDetector() const { return d_->leftFocus; }
std::shared_ptr<VPKDadeFocusAnalyzer> VPKSignalAnalyzer::rightChannelFocusDetector() const { return d_->rightFocus; }

namespace {
// Replaces the processor list by edit(copy), sorted. The processors' priorities are asked
// without the spin lock held; a change that raced another one is made again.
template <typename Impl, typename Edit>
void updateProcessors(Impl& d, Edit&& edit) {
  for (;;) {
    std::shared_ptr<const vpk::DataProcessorList> current;
    uint64_t version = 0;
    {
      std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
      current = d.processors;
      version = d.processorsVersion;
    }
    auto next = std::make_shared<vpk::DataProcessorList>(*current);
    if (!edit(*next)) return;
    bool sorted = false;
    guarded("dataProcessorPriority", [&] {
      vpk::sortDataProcessors(*next);
      sorted = true;
    });
    if (!sorted) return;  // the list stays as it was
    std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
    if (d.processorsVersion != version) continue;
    d.processors = std::move(next);
    ++d.processorsVersion;
    return;
  }
}
}  // namespace

void VPKSignalAnalyzer::addDataProcessor(const std::shared_ptr<VPKDataProcessor>& processor) {
  if (!processor) return;
  updateProcessors(*d_, [&](vpk::DataProcessorList& list) {
    if (std::find(list.begin(), list.end(), processor) != list.end()) return false;
    list.push_back(processor);
    return true;
  });
}

void VPKSignalAnalyzer::removeDataProcessor(const std::shared_ptr<VPKDataProcessor>& processor) {
  if (!processor) return;
  updateProcessors(*d_, [&](vpk::DataProcessorList& list) {
    const auto it = std::find(list.begin(), list.end(), processor);
    if (it == list.end()) return false;
    list.erase(it);
    return true;
  });
}

std::vector<std::shared_ptr<VPKDataProcessor>> VPKSignalAnalyzer::allDataProcessors() const {
  return *readLocked(d_->propertyLock, d_->processors);
}

void VPKSignalAnalyzer::setSignalValidityMonitor(std::shared_ptr<VPKDataProcessor> monitor) {
  if (!monitor) monitor = VPKSignalValidityMonitor::create();
  // The cycle resets a validator it has not run before (resetWithAnalyzer) before its
  // first update, so an installed monitor works from its first cycle.
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  std::swap(d_->validator, monitor);
}

std::shared_ptr<VPKDataProcessor> VPKSignalAnalyzer::signalValidator() const {
  return readLocked(d_->propertyLock, d_->validator);
}

// ---------------------------------------------------------------- outputs

void VPKSignalAnalyzer::addOutput(const VPKSignalAnalyzerOutputPtr& output) {
  if (!output) return;
  std::optional<uint64_t> priority;
  guarded("outputPriorityForSignalAnalyzer", [&] { priority = output->outputPriorityForSignalAnalyzer(*this); });
  std::shared_ptr<const OutputList> replaced;
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  const OutputList& current = *d_->outputs;
  if (std::any_of(current.begin(), current.end(), [&](const OutputEntry& e) { return e.output == output; })) return;
  auto next = std::make_shared<OutputList>(current);
  next->push_back({output, priority});
  std::stable_sort(next->begin(), next->end(), [](const OutputEntry& a, const OutputEntry& b) {
    if (a.priority && b.priority) return *a.priority < *b.priority;
    return a.priority.has_value() && !b.priority.has_value();
  });
  replaced = std::exchange(d_->outputs, std::move(next));
}

void VPKSignalAnalyzer::removeOutput(const VPKSignalAnalyzerOutputPtr& output) {
  std::shared_ptr<const OutputList> replaced;  // released after the lock
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  const OutputList& current = *d_->outputs;
  auto next = std::make_shared<OutputList>();
  next->reserve(current.size());
  for (const auto& e : current)
    if (e.output != output) next->push_back(e);
  if (next->size() == current.size()) return;
  replaced = std::exchange(d_->outputs, std::move(next));
}

void VPKSignalAnalyzer::removeAllOutputs() {
  std::shared_ptr<const OutputList> replaced = std::make_shared<const OutputList>();
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  std::swap(d_->outputs, replaced);
}

bool VPKSignalAnalyzer::containsOutput(const VPKSignalAnalyzerOutputPtr& output) const {
  const auto list = readLocked(d_->propertyLock, d_->outputs);
  return std::any_of(list->begin(), list->end(), [&](const OutputEntry& e) { return e.output == output; });
}

std::vector<VPKSignalAnalyzerOutputPtr> VPKSignalAnalyzer::allOutputs() const {
  const auto list = readLocked(d_->propertyLock, d_->outputs);
  std::vector<VPKSignalAnalyzerOutputPtr> result;
  result.reserve(list->size());
  for (const auto& e : *list) result.push_back(e.output);
  return result;
}

// ---------------------------------------------------------------- samples and the stream

void VPKSignalAnalyzer::didRecieveValues(VPKSignalStream&, float left, float right, double timestamp, bool moreComing) {
  processData(left, right, timestamp, moreComing);
}

void VPKSignalAnalyzer::processData(float left, float right, double timestamp, bool) {
  bool enabled = false;
  uint64_t n = 0;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
    enabled = d_->enabled;
    n = d_->samplesPerCycleLocked();
  }
  if (!enabled) return;
  std::lock_guard<std::mutex> lock(d_->mutex);
  if (!d_->pending.push(VPKSignalAnalyzerSample(left, right, timestamp)) && !d_->dropLogged) {
    d_->dropLogged = true;
    VPKLog(1, "Signal analyzer: more than {} samples pending, dropping the oldest", d_->pending.bound());
  }
  d_->wakeIfDueLocked(n);
}

void VPKSignalAnalyzer::setStream(const std::shared_ptr<VPKSignalStream>& stream) {
  // The name is read before the mutex is taken: the stream answers on the shared queue.
  const std::string name = stream ? stream->name() : std::string();
  std::unique_lock<std::mutex> lock(d_->mutex);
  const auto old = d_->stream.lock();
  d_->stream = stream;
  if (stream) d_->deviceName = name;
  if (!stream) {
    closeLocked(lock);
  } else if ((stream != old || !d_->control) && d_->usesThread) {
    openLocked(lock);
  }
}

void VPKSignalAnalyzer::removeFromSignalStream() {
  std::shared_ptr<VPKSignalStream> stream;
  bool onProcessingThread = false;
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    stream = d_->stream.lock();
    onProcessingThread = d_->control && d_->control->thread && d_->control->thread->isCurrent();
  }
  if (!stream) return;
  auto self = shared_from_this();
  if (onProcessingThread) {
    // Removal waits for this thread to end: hand it to the shared queue instead.
    VPKResourceManager::performBlock([stream, self] { stream->removeOutput(self); });
    return;
  }
  stream->removeOutput(self);
}

size_t VPKSignalAnalyzer::pendingSampleCount() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->pending.size();
}

size_t VPKSignalAnalyzer::maxPendingSamples() const { return d_->pending.bound(); }

// ---------------------------------------------------------------- the processing thread

bool VPKSignalAnalyzer::usesProcessingThread() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->usesThread;
}

void VPKSignalAnalyzer::setUsesProcessingThread(bool uses) {
  std::unique_lock<std::mutex> lock(d_->mutex);
  if (d_->usesThread == uses) return;
  d_->usesThread = uses;
  if (!uses)
    closeLocked(lock);
  else if (!d_->stream.expired())
    openLocked(lock);
}

bool VPKSignalAnalyzer::hasProcessingThread() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->control != nullptr;
}

void VPKSignalAnalyzer::openLocked(std::unique_lock<std::mutex>& lock) {
  Impl& d = *d_;
  // Stopping and waiting release the mutex: start only once nothing else runs cycles.
  for (;;) {
    closeLocked(lock);
    if (d.resetInProgress) return;  // the reset starts the thread when it is done
    if (d.callerCycleElsewhereLocked()) {
      d.cond.wait(lock);
      continue;
    }
    if (!d.control) break;
  }
  auto control = std::make_shared<ThreadControl>();
  std::weak_ptr<VPKSignalAnalyzer> weak = weak_from_this();
  Impl* impl = d_.get();
  control->thread = vpk::Thread::start("VPKAnalyzer", kThreadPriority, processingStackBytes(),
                                       [weak, impl, control] { threadMain(weak, impl, control); });
  if (!control->thread) {
    VPKLog(1, "Signal analyzer: the processing thread could not be started");
    return;
  }
  d.control = control;
  d.firstCycle = true;
  d.wakeIfDueLocked(d.samplesPerCycle());
}

void VPKSignalAnalyzer::closeLocked(std::unique_lock<std::mutex>& lock) {
  Impl& d = *d_;
  if (auto control = std::exchange(d.control, nullptr)) {
    control->cancelled = true;
    d.retiring.push_back(std::move(control));
    d.cond.notify_all();
  }
  // Wait for every stopped thread to end (also one that another caller stopped), except
  // the calling thread itself. The wait releases the mutex, which the threads need to end.
  for (;;) {
    bool waiting = false;
    for (auto it = d.retiring.begin(); it != d.retiring.end();) {
      if (!(*it)->executing) {
        (*it)->thread.reset();  // joins: the thread has let go of the mutex for good
        it = d.retiring.erase(it);
        continue;
      }
      waiting = waiting || !(*it)->thread->isCurrent();
      ++it;
    }
    if (!waiting) break;
    VPKLog(0, "Waiting for thread to close...");
    if (d.cond.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) d.cond.notify_all();
  }
  if (!d.control) d.lowerActivityLocked();
  VPKLog(0, "Signal stream buffer thread exited:{}", d.deviceName);
}

void VPKSignalAnalyzer::threadMain(std::weak_ptr<VPKSignalAnalyzer> weak, Impl* d,
                                   std::shared_ptr<ThreadControl> control) {
  std::unique_lock<std::mutex> lock(d->mutex);
  {
    std::lock_guard<AnalyzerSpinLock> latency(d->latencyLock);
    d->cpuMeter.registerCurrentThread();
  }
  VPKLog(0, "Loading signal stream buffer thread:{}", d->deviceName);
  d->cond.notify_all();
  for (;;) {
    // A cycle starts once enough samples are pending and no predecessor thread is still
    // finishing a cycle: the cycle state (windows, detectors, latency and CPU sampling)
    // belongs to one thread at a time.
    uint64_t n = d->samplesPerCycle();
    while (!control->cancelled) {
      if (d->pending.size() < n)
        d->lowerActivityLocked();  // the work handed over is done
      else if (!d->predecessorRunningLocked(control.get()))
        break;
      d->cond.wait(lock);
      n = d->samplesPerCycle();
    }
    if (control->cancelled) break;
    auto self = weak.lock();
    if (!self) break;  // being destroyed: the destructor stops this thread
    const bool resetValidator = std::exchange(d->validatorResetRequested, false);
    d->pending.take(n, d->cycleSamples);
    if (!d->activityHeld) {  // woken without a hand-over (the cycle length shrank)
      d->activityHeld = true;
      vpk::detail::Activity::instance().add();
    }
    lock.unlock();
    {
      vpk::detail::CountedThreadScope counted;
      guarded("the analysis cycle", [&] { self->runCycle(resetValidator); });
    }
    self.reset();
    if (control->orphaned.load()) return;  // the analyzer is gone
    lock.lock();
  }
  {
    std::lock_guard<AnalyzerSpinLock> latency(d->latencyLock);
    d->cpuMeter.withdrawCurrentThread();  // a successor's registration stays
  }
  // A successor thread (a reset called from this thread) keeps the samples.
  if (!d->control || d->control == control) d->pending.clear();
  VPKLog(0, "Unloading signal stream buffer thread:{}", d->deviceName);
  control->executing = false;
  d->cond.notify_all();
}

size_t VPKSignalAnalyzer::processPendingSamples() {
  Impl& d = *d_;
  auto self = shared_from_this();  // a handler may drop the caller's last reference
  size_t ran = 0;
  std::unique_lock<std::mutex> lock(d.mutex);
  if (d.callerCycleRunning) return 0;  // called from inside a cycle
  for (;;) {
    const uint64_t n = d.samplesPerCycle();
    if (d.control || d.resetInProgress || d.pending.size() < n) break;
    const bool resetValidator = std::exchange(d.validatorResetRequested, false);
    d.pending.take(n, d.cycleSamples);
    d.callerCycleRunning = true;
    d.callerCycleThread = std::this_thread::get_id();
    lock.unlock();
    guarded("the analysis cycle", [&] { runCycle(resetValidator); });
    lock.lock();
    d.callerCycleRunning = false;
    d.cond.notify_all();
    ++ran;
  }
  return ran;
}

// ---------------------------------------------------------------- reset

void VPKSignalAnalyzer::clearBuffersLocked() {
  Impl& d = *d_;
  d.pending.clear();
  d.windows.reset();
  {
    std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
    if (d.leftFilter) d.leftFilter->reset();
    if (d.rightFilter) d.rightFilter->reset();
    d.analysisResult.reset();
  }
  d.cycles = 0;
  d.cyclesLeftTillCPUSample = kCyclesPerCPUSample;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d.latencyLock);
    d.latency = 0;
  }
  d.firstCycle = true;
  d.reportedIdle.reset();
  d.validatorResetRequested = false;
  ++d.clearings;
  d.dropLogged = false;
}

void VPKSignalAnalyzer::resetProcessors() {
  Impl& d = *d_;
  std::shared_ptr<VPKDataProcessor> validator;
  std::shared_ptr<const vpk::DataProcessorList> processors;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
    validator = d.validator;
    processors = d.processors;
  }
  d.preparedValidator = validator;
  guarded("resetWithAnalyzer",
          [&] { vpk::resetDataProcessors(this, validator.get(), d.leftFocus.get(), d.rightFocus.get(), *processors); });
}

void VPKSignalAnalyzer::reset() {
  Impl& d = *d_;
  std::unique_lock<std::mutex> lock(d.mutex);
  const std::string name = d.deviceName;
  lock.unlock();
  VPKLog(0, "Accquiring signal stream buffer lock for reset:{}", name);
  lock.lock();
  if (d.resetInProgress) {
    // A reset under way waits for this thread's cycle to end: it resets everything anyway.
    const bool inCycle = d.callerCycleRunning && d.callerCycleThread == std::this_thread::get_id();
    if (inCycle || d.onProcessingThreadLocked()) return;
    d.cond.wait(lock, [&] { return !d.resetInProgress; });
  }
  d.resetInProgress = true;
  VPKLog(0, "Resetting signal stream buffer:{}", d.deviceName);
  VPKLog(0, "Closing signal stream buffer thread:{}", d.deviceName);
  closeLocked(lock);
  VPKLog(0, "Closed signal stream buffer thread:{}", d.deviceName);
  d.waitForCallerCycleLocked(lock);
  clearBuffersLocked();
  // The processors are application code (and may wait for the shared queue, whose sample
  // intake needs the mutex): they are reset with no lock held. No cycle can start
  // meanwhile: the thread is stopped and caller-driven cycles wait for the reset.
  lock.unlock();
  resetProcessors();
  lock.lock();
  d.resetInProgress = false;
  d.cond.notify_all();
  if (!d.stream.expired() && d.usesThread) {
    VPKLog(0, "Opening signal stream buffer thread:{}", d.deviceName);
    openLocked(lock);
    VPKLog(0, "Opened signal stream buffer thread:{}", d.deviceName);
  }
  VPKLog(0, "Reset signal stream buffer:{}", d.deviceName);
}

// ---------------------------------------------------------------- the cycle

void VPKSignalAnalyzer::runCycle(bool resetValidator) {
  Impl& d = *d_;
  const double start = vpk::Clock::timestamp();
  const uint64_t clearings = d.clearings;

  // The settings, read once for the whole cycle.
  uint64_t idleTransitions = 0;
  uint64_t leftMask = 0;
  uint64_t rightMask = 0;
  float analysisRate = 0;
  std::shared_ptr<const vpk::DataProcessorList> processors;
  std::shared_ptr<VPKDataProcessor> validator;
  std::shared_ptr<VPKCompoundFilter> leftFilter;
  std::shared_ptr<VPKCompoundFilter> rightFilter;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
    idleTransitions = d.idleTransitions;
    leftMask = d.leftMask;
    rightMask = d.rightMask;
    analysisRate = static_cast<float>(d.analysisRate);
    processors = d.processors;
    validator = d.validator;
    leftFilter = d.leftFilter;
    rightFilter = d.rightFilter;
  }
  if (validator && (resetValidator || d.preparedValidator.lock() != validator)) {
    d.preparedValidator = validator;
    guarded("resetWithAnalyzer", [&] { validator->resetWithAnalyzer(this); });
  }

  // The channel set.
  const size_t count = d.cycleSamples.size();
  vpk::detail::SignalWindows::Cycle cycle;
  cycle.samples = d.cycleSamples.data();
  cycle.count = count;
  cycle.leftMask = leftMask;
  cycle.rightMask = rightMask;
  cycle.cycles = d.cycles.fetch_add(count) + count;
  cycle.analysisRate = analysisRate;
  cycle.filteredOnly = d.filteredOnly.load();
  cycle.leftFilter = leftFilter.get();
  cycle.rightFilter = rightFilter.get();
  cycle.filterLock = &d.propertyLock;
  cycle.now = vpk::Clock::timestamp();
  const std::shared_ptr<VPKChannelSet> set = d.windows.analyze(cycle);

  // Validity and idle transitions.
  bool validatorWasIdle = false;
  bool validatorRan = false;
  bool validatorIsIdle = false;
  guarded("the signal validator", [&] {
    validatorWasIdle = validator && validator->idleSignalRecognized();
    validatorRan = vpk::runValidityStage(validator.get(), *set, leftMask, rightMask);
    validatorIsIdle = validator && validator->idleSignalRecognized();
  });
  const bool idleNow = validatorIsIdle && validatorRan;
  if (d.recordDiagnostics.load()) {
    if (const auto* monitor = dynamic_cast<VPKSignalValidityMonitor*>(validator.get()))
      postElectrodeUpdate(monitor->leftFlatline(), monitor->rightFlatline());
  }
  const bool wasIdle = d.reportedIdle.value_or(validatorWasIdle);
  const auto decision = vpk::detail::decideIdleTransition(idleTransitions, wasIdle, idleNow);
  d.reportedIdle = idleNow;
  if (decision.markDescriptionsIdle) {
    if (set->leftChannel()) set->leftChannel()->setIdle(*decision.markDescriptionsIdle);
    if (set->rightChannel()) set->rightChannel()->setIdle(*decision.markDescriptionsIdle);
  }

  // Focus and the other processors.
  guarded("a focus detector",
          [&] { vpk::runFocusStage(d.leftFocus.get(), d.rightFocus.get(), *set, leftMask, rightMask); });
  guarded("a data processor", [&] { vpk::runProcessorStage(*processors, *set, leftMask, rightMask); });

  // A reset from inside this cycle started the bookkeeping afresh: the rest of the cycle
  // is delivered but not counted.
  if (d.clearings == clearings) {
    recordLatency(vpk::Clock::timestamp() - start);
    if (--d.cyclesLeftTillCPUSample == 0) {
      d.cyclesLeftTillCPUSample = kCyclesPerCPUSample;
      updateCPUUsageIfNeeded();
    }
  }

  DiagnosticsHandler handler;
  std::shared_ptr<const OutputList> outputs;
  {
    std::lock_guard<AnalyzerSpinLock> lock(d.propertyLock);
    d.analysisResult = set;
    handler = d.diagnosticsHandler;
    outputs = d.outputs;
  }
  for (const auto& entry : *outputs) {
    vpk::DispatchQueuePtr queue;
    guarded("methodInvocationQueueForSignalAnalyzer",
            [&] { queue = entry.output->methodInvocationQueueForSignalAnalyzer(*this); });
    if (!queue) queue = vpk::DispatchQueue::main();
    queue->async([self = shared_from_this(), output = entry.output, set, notification = decision.notification] {
      if (notification == IdleNotification::Enter)
        guarded("signalAnalyzerDidEnterIdleState", [&] { output->signalAnalyzerDidEnterIdleState(*self); });
      else if (notification == IdleNotification::Leave)
        guarded("signalAnalyzerDidLeaveIdleState", [&] { output->signalAnalyzerDidLeaveIdleState(*self); });
      guarded("signalAnalyzerDidPerformAnalysis", [&] { output->signalAnalyzerDidPerformAnalysis(*self, set); });
      guarded("signalAnalyzerDidCompleteCycle", [&] { output->signalAnalyzerDidCompleteCycle(*self); });
    });
  }
  if (handler) guarded("the diagnostics handler", [&] { handler(set); });
}

void VPKSignalAnalyzer::recordLatency(double elapsed) {
  Impl& d = *d_;
  elapsed = std::max(elapsed, 0.0);  // a clock that was set back
  const double smoothed = d.firstCycle ? elapsed : 0.025000000000000022 * d.previousElapsed + 0.975 * elapsed;
  d.firstCycle = false;
  d.previousElapsed = elapsed;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (d.latencyLock.try_lock()) {
      d.latency = static_cast<uint64_t>(smoothed * 1000000.0);
      d.latencyLock.unlock();
      return;
    }
  }
  VPKLog(0, "Failed to update latency readout...");
}

void VPKSignalAnalyzer::postElectrodeUpdate(bool leftFlatline, bool rightFlatline) {
  std::weak_ptr<VPKSignalStream> stream;
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    stream = d_->stream;
  }
  VPKResourceManager::performBlock([stream, leftFlatline, rightFlatline] {
    const auto s = stream.lock();
    if (!s) return;
    if (const auto flags = vpk::detail::electrodeFlagsOf(*s))
      vpk::detail::applyFlatlineVerdicts(*flags, leftFlatline, rightFlatline);
  });
}

// ---------------------------------------------------------------- other operations

double VPKSignalAnalyzer::convertFrequencyToTimeInterval(uint64_t k) const {
  return 1.0 / (static_cast<double>(d_->samplingRate) / static_cast<double>(k));
}

std::shared_ptr<VPKFFTBuffer> VPKSignalAnalyzer::createFFTBuffer() const { return d_->windows.createFFTBuffer(); }

double VPKSignalAnalyzer::sampleCPUUsage() {
  std::lock_guard<AnalyzerSpinLock> lock(d_->latencyLock);
  return d_->cpuMeter.sample();
}

void VPKSignalAnalyzer::updateCPUUsageIfNeeded() {
  std::lock_guard<AnalyzerSpinLock> lock(d_->latencyLock);
  if (!d_->cpuMeter.registered()) return;
  const double usage = d_->cpuMeter.sample();
  if (usage < 0) return;
  d_->cpuAverager.addValue(static_cast<float>(usage));
  d_->cpuUsage.store(static_cast<uint64_t>(usage * 1000.0));
}

void VPKSignalAnalyzer::lockWithBlock(const std::function<void()>& block) {
  std::lock_guard<std::mutex> lock(d_->mutex);
  if (block) block();
}

void VPKSignalAnalyzer::propertyLockWithBlock(const std::function<void()>& block) {
  std::lock_guard<AnalyzerSpinLock> lock(d_->propertyLock);
  if (block) block();
}

void VPKSignalAnalyzer::latencyLockWithBlock(const std::function<void()>& block) {
  std::lock_guard<AnalyzerSpinLock> lock(d_->latencyLock);
  if (block) block();
}

bool VPKSignalAnalyzer::tryLatencyLockWithBlock(const std::function<void()>& block) {
  std::unique_lock<AnalyzerSpinLock> lock(d_->latencyLock, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  if (block) block();
  return true;
}
