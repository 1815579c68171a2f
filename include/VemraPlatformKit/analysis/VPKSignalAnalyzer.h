#pragma once
/// @file VPKSignalAnalyzer.h
/// The analysis engine: listens to one headband's signal stream and, once per analysis
/// cycle, turns the newest samples into a VPKChannelSet for its outputs.
///
/// What a cycle does (every `analysisRate` seconds of signal, 25 samples at the defaults):
///   1. takes the oldest n pending samples (n = floor(analysisRate x samplingRate));
///   2. pushes them into the raw signal windows (bufferSize samples per channel, oldest
///      first), filters them with the channel's filter (mains notch and 1-49 Hz band-pass by
///      default) into the filtered windows, and feeds the four spectra (raw and filtered,
///      left and right, 240-sample windows) - a channel's spectra are recomputed only when
///      bit 0 (VPKDataProcesserTypeFFT) of its type mask is set;
///   3. builds a VPKChannelSet with a left and (for type 0) a right VPKChannelDescription;
///   4. runs the signal validity monitor, decides the idle transition (see
///      allowedIdleTransitions), runs the focus detectors and the listed data processors;
///   5. posts the set to every output on the queue that output names (the main queue by
///      default), then calls the diagnostics handler.
/// The first 256 samples after a reset fill the windows: until then every description has
/// fftStatus 0 (not ready), and isReady() turns true after 250 samples.
///
/// Threads
/// - Samples arrive through didRecieveValues() on the stream's queue (the library's shared
///   work queue), or through processData() from any thread. They are queued under the main
///   mutex; nothing else happens on the caller's thread.
/// - While the analyzer is attached to a stream, a processing thread of its own (priority
///   0.5 on a 0-1 scale, at least 1 MiB of stack) runs the cycles. The data processors and
///   the diagnostics handler are called on it; outputs are called on their own queues.
///   Adding the analyzer to a stream starts the thread, removing it stops it.
/// - Caller-driven processing: with setUsesProcessingThread(false) no thread is started;
///   cycles run only when the owner calls processPendingSamples(), on the calling thread,
///   one cycle after the other until fewer than n samples are pending. This is the mode for
///   deterministic offline replay (the `vemra analyze` tool uses it): feed a packet, run the
///   due cycles, feed the next.
/// - Every setting may be read and written from any thread. Settings are guarded by the
///   property lock (a spin lock) and read once per cycle, at its start, so a change takes
///   effect at the next cycle. `latency` has its own spin lock, which a cycle only tries.
///   The main mutex guards the pending samples, the stream and delegate references and
///   the thread's start and stop.
/// - The output list is replaced (copy on write) under the property lock on every change;
///   a cycle notifies the snapshot it took, so adding or removing outputs never races the
///   walk. An output removed while a cycle is under way may receive that cycle's calls.
///
/// Ownership
/// - Create analyzers with the static factories; they are held by std::shared_ptr. The
///   analyzer owns its buffers, filters, spectra, validity monitor, focus detectors, data
///   processors, outputs (strongly) and processing thread.
/// - It refers to its stream and delegate weakly. A stream holds its outputs strongly, so
///   an attached analyzer lives at least as long as it stays in the stream's list.
/// - Destroying the analyzer stops its thread (waiting for a cycle under way to end).
///
/// Do not wait for the shared work queue from a data processor or the diagnostics handler
/// (removeFromSignalStream() called on the processing thread is posted, not waited for):
/// removing an analyzer from its stream waits on the shared queue for the processing
/// thread to end.
///
/// Name mapping:
///   initWithBufferSize:samplingRate:type:   -> create(bufferSize, samplingRate, type)
///   initWithSamplingRate:type:              -> create(samplingRate, type)
///   analyzer, analyzerWithSize:, analyzerWithSamplingRate:type:,
///   analyzerWithSize:samplingRate:type:     -> the static functions of the same names
///   stream:didRecieveValues:timestamp:moreComing: -> didRecieveValues(stream, left, right, timestamp, moreComing)
///   processData:timestamp:moreComing:       -> processData(left, right, timestamp, moreComing)
///   setFilter: / filter                     -> setFilter(f) / filter()
///   lockWithBlock: and the other wrappers   -> lockWithBlock(f), propertyLockWithBlock(f), ...
///   convertFrequencyToTimeInterval:         -> convertFrequencyToTimeInterval(k)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerDelegate.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerOutput.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class VPKChannelSet;
class VPKCompoundFilter;
class VPKDataProcessor;
class VPKDadeFocusAnalyzer;
class VPKFFTBuffer;
class VPKSignalStream;

class VPK_EXPORT VPKSignalAnalyzer : public VPKSignalStreamOutput,
                                     public std::enable_shared_from_this<VPKSignalAnalyzer> {
  struct Token {};

 public:
  using Ptr = std::shared_ptr<VPKSignalAnalyzer>;
  /// Called once per cycle, on the thread that runs the cycle, with the cycle's set.
  using DiagnosticsHandler = std::function<void(const std::shared_ptr<VPKChannelSet>& channels)>;

  /// Largest signal window accepted by the factories (samples per channel).
  static constexpr uint64_t kMaxBufferSize = uint64_t{1} << 24;
  /// Largest sampling rate accepted by the factories (Hz).
  static constexpr uint64_t kMaxSamplingRate = uint64_t{1} << 20;

  // ------------------------------------------------------------------ creation
  // Each logs "Creating siganl analyzer(size = N, rate = R)" (level 0). A buffer size or
  // rate of 0, or one above the limits above, is refused: nullptr and a log line.

  /// Window of `bufferSize` samples at `samplingRate` Hz. Type 0 analyses both channels,
  /// any other type only the left one.
  static Ptr create(uint64_t bufferSize, uint64_t samplingRate, uint64_t type);
  /// Window of 2 x nextPowerOfTwo(samplingRate) samples.
  static Ptr create(uint64_t samplingRate, uint64_t type);
  /// 512 samples at 250 Hz, type 0.
  static Ptr analyzer();
  /// nextPowerOfTwo(size) samples at 250 Hz, type 0.
  static Ptr analyzerWithSize(uint64_t size);
  /// 2 x nextPowerOfTwo(samplingRate) samples; always type 0, whatever `type` says.
  static Ptr analyzerWithSamplingRate(uint64_t samplingRate, uint64_t type);
  /// The larger of 2 x nextPowerOfTwo(samplingRate) and nextPowerOfTwo(size); always type 0.
  static Ptr analyzerWithSize(uint64_t size, uint64_t samplingRate, uint64_t type);
  /// The smallest power of two not below `x` (0 for 0, and for values above 2^63).
  static uint64_t nextPowerOfTwo(uint64_t x);

  /// Stops the processing thread; writes "Dealloc: VPKSignalAnalyzer" to the system log
  /// (standard error), also when library logging is off.
  ~VPKSignalAnalyzer() override;
  VPKSignalAnalyzer(const VPKSignalAnalyzer&) = delete;
  VPKSignalAnalyzer& operator=(const VPKSignalAnalyzer&) = delete;

  // ------------------------------------------------------------------ filter factories
  // Built for 250 Hz whatever the analyzer's rate; Q is VPKButterworthQFactor; the mains
  // frequency is the one given, else VemraPlatformKit::defaultInterferenceFrequency() (60 Hz
  // when none is stored).

  /// Notch at the mains frequency, then a 1-49 Hz band-pass.
  static std::shared_ptr<VPKCompoundFilter> defaultHeadbandFilter();
  static std::shared_ptr<VPKCompoundFilter> defaultHeadbandFilter(unsigned mainsFrequency);
  /// A band-pass from mains - 2 Hz to mains + 2 Hz.
  static std::shared_ptr<VPKCompoundFilter> noiseBoostingFilter();
  static std::shared_ptr<VPKCompoundFilter> noiseBoostingFilter(unsigned mainsFrequency);

  // ------------------------------------------------------------------ configuration
  uint64_t bufferSize() const;
  uint64_t samplingRate() const;
  uint64_t type() const;
  /// n: the samples one cycle takes at the current analysisRate.
  uint64_t samplesPerCycle() const;

  // ------------------------------------------------------------------ settings
  /// The mains frequency this analyzer filters (Hz): at creation the library's stored one
  /// (VemraPlatformKit::defaultInterferenceFrequency(), 60 when none is stored).
  unsigned mainsFrequency() const;
  /// 50 or 60 (anything else is refused: false and a log line). Installs
  /// defaultHeadbandFilter(hz) as both channel filters (replacing any filter set before)
  /// and has the validator rebuild its chain for it (resetWithAnalyzer) before the next
  /// cycle. The library's stored frequency and its parameters file are not touched.
  bool setMainsFrequency(unsigned hz);
  /// Samples arriving while disabled are dropped (the thread stays, starved). Default true.
  bool isEnabled() const;
  void setEnabled(bool enabled);
  /// Cycle length in seconds of signal (default 0.1). Stored clamped to
  /// [1 / samplingRate, bufferSize / samplingRate]: at least one sample, at most a window.
  /// NaN is ignored.
  double analysisRate() const;
  void setAnalysisRate(double seconds);
  /// true: the raw-signal spectra are not computed and descriptions carry no rawDFT.
  bool performFFTOnFilteredSignalOnly() const;
  void setPerformFFTOnFilteredSignalOnly(bool on);
  /// Data-processor types enabled per channel (VPKDataProcessor.h): left 15, right 5.
  uint64_t leftChannelEnabledDataProcesserTypes() const;
  void setLeftChannelEnabledDataProcesserTypes(uint64_t mask);
  uint64_t rightChannelEnabledDataProcesserTypes() const;
  void setRightChannelEnabledDataProcesserTypes(uint64_t mask);
  /// Bit 0: entering idle may be reported; bit 1: leaving idle may be reported (default 3).
  ///   - 0 reports every change, like 3;
  ///   - with bit 0 clear, an idle cycle reports nothing and marks both descriptions not idle;
  ///   - with bit 1 clear, a cycle that is not idle reports nothing and marks both
  ///     descriptions idle.
  /// A change to a non-zero mask also resets the validity monitor (before the next cycle).
  uint64_t allowedIdleTransitions() const;
  void setAllowedIdleTransitions(uint64_t mask);
  /// Stored only (default true).
  bool outputsAreEnabled() const;
  void setOutputsAreEnabled(bool enabled);
  /// true: each cycle copies the validity monitor's flat-line verdicts to the electrode
  /// failure flags of the stream's headband (on the shared work queue). Default false.
  bool recordDiagnosticInformation() const;
  void setRecordDiagnosticInformation(bool on);
  /// Called once per cycle after the outputs were posted to (see DiagnosticsHandler).
  DiagnosticsHandler diagnosticsHandler() const;
  void setDiagnosticsHandler(DiagnosticsHandler handler);

  // ------------------------------------------------------------------ read-outs
  /// Samples analysed since the last reset.
  uint64_t cycles() const;
  /// Smoothed processing time of one cycle, in microseconds, measured on the library clock
  /// (vpk::Clock): the first cycle after the thread started (or a reset) gives its own
  /// time e, later ones 0.025 x (the previous cycle's e) + 0.975 x e. A cycle that a reset
  /// from inside it interrupted is not counted.
  uint64_t latency() const;
  /// CPU use of the processing thread in thousandths of a core, sampled every 25 cycles.
  uint64_t processingCPUUsage() const;
  /// The latest cycle's channel set (nullptr before the first cycle and after a reset). It
  /// is replaced at the end of each cycle's analysis, before the outputs are posted to.
  std::shared_ptr<VPKChannelSet> analysisResult() const;
  /// true once more than 249 samples were analysed since the last reset.
  bool isReady() const;
  /// Whether the latest channel set is idle (false when there is none).
  bool isIdle() const;
  /// The stream the analyzer listens to (nullptr when detached or gone).
  std::shared_ptr<VPKSignalStream> stream() const;
  /// The delegate (weak; nullptr when none or gone).
  std::shared_ptr<VPKSignalAnalyzerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<VPKSignalAnalyzerDelegate> delegate);

  // ------------------------------------------------------------------ filters
  /// Installs a copy of `filter` as the left and another copy as the right filter
  /// (nullptr: signals pass unfiltered and the filtered spectra are not updated).
  void setFilter(const std::shared_ptr<VPKCompoundFilter>& filter);
  /// A copy of the left filter (with its state); nullptr when there is none.
  std::shared_ptr<VPKCompoundFilter> filter() const;
  std::shared_ptr<VPKCompoundFilter> leftChannelFilter() const;
  /// A copy of the right filter.
  std::shared_ptr<VPKCompoundFilter> rightChannelFilter() const;

  // ------------------------------------------------------------------ processors
  /// The focus detectors of channel 0 and channel 1. They run on the processing thread:
  /// read their state only between cycles.
  std::shared_ptr<VPKDadeFocusAnalyzer> leftChannelFocusDetector() const;
  std::shared_ptr<VPKDadeFocusAnalyzer> rightChannelFocusDetector() const;
  /// Appends `processor` (once; nullptr ignored) and re-sorts the list (priority order).
  void addDataProcessor(const std::shared_ptr<VPKDataProcessor>& processor);
  void removeDataProcessor(const std::shared_ptr<VPKDataProcessor>& processor);
  /// A copy of the list, in running order.
  std::vector<std::shared_ptr<VPKDataProcessor>> allDataProcessors() const;
  /// Installs `monitor` as the validator, or a new VPKSignalValidityMonitor for nullptr. The
  /// next cycle resets it (resetWithAnalyzer) before its first update.
  void setSignalValidityMonitor(std::shared_ptr<VPKDataProcessor> monitor);
  /// The validator (a VPKSignalValidityMonitor unless one was installed).
  std::shared_ptr<VPKDataProcessor> signalValidator() const;

  // ------------------------------------------------------------------ outputs
  /// Adds `output` (once; nullptr ignored) and sorts the list by output priority.
  void addOutput(const VPKSignalAnalyzerOutputPtr& output);
  void removeOutput(const VPKSignalAnalyzerOutputPtr& output);
  void removeAllOutputs();
  bool containsOutput(const VPKSignalAnalyzerOutputPtr& output) const;
  /// A copy of the list, sorted.
  std::vector<VPKSignalAnalyzerOutputPtr> allOutputs() const;

  // ------------------------------------------------------------------ samples
  /// The stream's samples: hands them to processData().
  void didRecieveValues(VPKSignalStream& stream, float left, float right, double timestamp, bool moreComing) override;
  /// The stream tells the analyzer it was added (stream) or removed (nullptr). A new
  /// stream starts the processing thread, none stops it.
  void setStream(const std::shared_ptr<VPKSignalStream>& stream) override;
  /// Queues one sample pair (any thread); wakes the processing thread once a cycle's worth
  /// is pending. `moreComing` is not used. Dropped while disabled. At most
  /// maxPendingSamples() are kept: beyond that the oldest are dropped (and logged once).
  void processData(float left, float right, double timestamp, bool moreComing);
  /// Asks the stream to remove this analyzer (waits for it, except on the processing
  /// thread, where the request is posted to the shared work queue).
  void removeFromSignalStream();
  /// Samples waiting for a cycle.
  size_t pendingSampleCount() const;
  /// The bound on pending samples: the larger of 65536 and 4 x bufferSize.
  size_t maxPendingSamples() const;

  // ------------------------------------------------------------------ processing
  /// true (default): attaching to a stream starts a processing thread. false: no thread is
  /// started (a running one is stopped) and cycles run only in processPendingSamples().
  bool usesProcessingThread() const;
  void setUsesProcessingThread(bool uses);
  /// Whether a processing thread currently exists.
  bool hasProcessingThread() const;
  /// Runs, on the calling thread, every cycle that is due (while at least n samples are
  /// pending) and returns how many ran. Does nothing (0) while a processing thread exists
  /// (the thread runs the cycles), while a reset is under way, or while another caller runs
  /// cycles. reset() waits for a cycle that a caller is running.
  size_t processPendingSamples();

  // ------------------------------------------------------------------ other operations
  /// Stops the thread, empties the pending samples and every buffer, resets filters,
  /// spectra, counters, latency and the processors, and restarts the thread when attached.
  /// The processors are reset with no lock of the analyzer held. Called from inside a cycle
  /// (a processor or the diagnostics handler), the reset takes effect at once and the rest
  /// of that cycle still runs and is delivered (without counting for latency or CPU
  /// sampling); on a processing thread, a new thread takes over and starts its first cycle
  /// once the old one has finished.
  void reset();
  /// 1 / (samplingRate / k): the duration of k samples in seconds.
  double convertFrequencyToTimeInterval(uint64_t k) const;
  /// A new spectrum window configured like the analyzer's own (240 samples, its rate).
  std::shared_ptr<VPKFFTBuffer> createFFTBuffer() const;
  /// The processing thread's CPU use since the previous sample, as a fraction of one core:
  /// 0 when there is no processing thread, -1 when it cannot be read.
  double sampleCPUUsage();
  /// With a processing thread: takes a sample and, when it is not negative, feeds the
  /// CPU average and sets processingCPUUsage. The cycle calls it every 25 cycles.
  void updateCPUUsageIfNeeded();

  /// Run `block` with the main mutex / property lock / latency lock held; the lock is
  /// released also when `block` throws (the exception then propagates). Do not call other
  /// operations of the analyzer from inside a property-lock or latency-lock block.
  void lockWithBlock(const std::function<void()>& block);
  void propertyLockWithBlock(const std::function<void()>& block);
  void latencyLockWithBlock(const std::function<void()>& block);
  /// As latencyLockWithBlock, but returns false at once (without running `block`) when the
  /// lock is taken.
  bool tryLatencyLockWithBlock(const std::function<void()>& block);

  VPKSignalAnalyzer(Token, uint64_t bufferSize, uint64_t samplingRate, uint64_t type);  // use the factories

 private:
  struct Impl;
  struct ThreadControl;
  static void threadMain(std::weak_ptr<VPKSignalAnalyzer> weak, Impl* d, std::shared_ptr<ThreadControl> control);
  void setUp();
  void clearBuffersLocked();
  void resetProcessors();
  void openLocked(std::unique_lock<std::mutex>& lock);
  void closeLocked(std::unique_lock<std::mutex>& lock);
  void runCycle(bool resetValidator);
  void postElectrodeUpdate(bool leftFlatline, bool rightFlatline);
  void recordLatency(double elapsedSeconds);

  std::unique_ptr<Impl> d_;
};

using VPKSignalAnalyzerPtr = std::shared_ptr<VPKSignalAnalyzer>;
