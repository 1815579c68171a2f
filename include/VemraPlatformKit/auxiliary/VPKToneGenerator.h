#pragma once
/// @file VPKToneGenerator.h
/// A continuous sine tone on the audio output: neurofeedback cues and test signals.
///
/// start() sets up an output unit (32-bit float mono at samplingRate) whose render callback
/// writes amplitude x sin(theta) per frame, advancing theta by 2 pi x frequency / samplingRate
/// and wrapping it once past 2 pi, so the phase runs on across buffers. volume is an on/off
/// switch: only 0.0 and 1.0 act (1.0 runs the output, 0.0 silences it); a generator started
/// at volume 0.0 is ready but silent until setVolume(1.0).
///
/// Output: the sound server by default (vpk::AudioComponent::defaultOutput()); any other
/// component through setOutputComponent (vpk::WavFileOutput writes a file). Where no sound
/// server runs, start() logs the failing call ("Tone error:<status>"), keeps no unit
/// (isStarted() stays false) and lastError() says why; nothing waits longer than the
/// connect timeout.
///
/// Threads: control operations are meant for the main thread; delayed mutes and stops run on
/// the main queue (library clock). The render callback runs on the output's audio thread; the
/// values it reads (frequency, samplingRate, amplitude, theta) are atomics, so it never waits.
/// Console lines ("Setting frequency:<hz>hz", "INTERUPT!") go to standard error.
///
/// Name mapping: startWithDuration: -> startWithDuration(seconds); setVolume:forDuration: ->
/// setVolume(volume, seconds); playFrequencies:forDuration:seperatedByInterval:complete: ->
/// playFrequencies(frequencies, duration, interval, complete).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/audio/AudioOutput.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class VPK_EXPORT VPKToneGenerator : public std::enable_shared_from_this<VPKToneGenerator> {
 public:
  /// "genr"
  static constexpr uint32_t kDefaultType = 0x67656E72;

  /// The two process-wide generators (each created on first use, configured alike, never
  /// destroyed).
  static std::shared_ptr<VPKToneGenerator> sharedToneGenerator();
  static std::shared_ptr<VPKToneGenerator> sharedHALToneGenerator();
  /// A generator of your own; destroying it stops it.
  static std::shared_ptr<VPKToneGenerator> create();
  ~VPKToneGenerator();

  void start();
  void stop();
  /// An output unit exists.
  bool isStarted() const { return toneUnit_ != nullptr; }
  /// start(), then a stop after `seconds` (a pending delayed stop is cancelled first).
  void startWithDuration(double seconds);

  double volume() const { return volume_; }
  void setVolume(double volume);
  /// setVolume(volume), then setVolume(0.0) after `seconds`.
  void setVolume(double volume, double seconds);

  double frequency() const { return frequency_.load(std::memory_order_relaxed); }
  /// Hz; a value that is not finite is refused with a log line.
  void setFrequency(double hz);
  double samplingRate() const { return samplingRate_.load(std::memory_order_relaxed); }
  /// Hz; takes effect at the next start. A value that is not finite and positive is refused.
  void setSamplingRate(double hz);
  double amplitude() const { return amplitude_.load(std::memory_order_relaxed); }
  void setAmplitude(double amplitude);
  double theta() const { return theta_.load(std::memory_order_relaxed); }
  void setTheta(double theta);
  uint32_t type() const { return type_; }
  void setType(uint32_t type) { type_ = type; }

  /// Stops the shared generator, schedules on the main queue one slot per entry,
  /// (duration + interval) x k seconds apart, calls `complete` in the last slot, and starts
  /// the shared generator. The tone keeps the generator's own frequency and keeps playing
  /// afterwards; an empty list never calls `complete`.
  static void playFrequencies(const std::vector<double>& frequencies, double duration, double interval,
                              std::function<void()> complete);

  /// The render callback: fills `frames` samples and carries theta over to the next call.
  void render(float* samples, size_t frames);

  /// Where start() plays (nullptr: the sound server).
  void setOutputComponent(std::shared_ptr<vpk::AudioComponent> component);
  std::shared_ptr<vpk::AudioComponent> outputComponent() const;
  /// The current unit (nullptr when stopped).
  const std::shared_ptr<vpk::AudioOutputUnit>& toneUnit() const { return toneUnit_; }
  /// Why the last start (or switch to volume 1.0) failed; empty after a clean start.
  const std::string& lastError() const { return lastError_; }

  /// The audio session reports an interruption: "INTERUPT!" and stop.
  void handleInterruption();

  VPKToneGenerator();  // use create()

 private:
  int check(int status, const char* what);
  void cancelDelayedMute();
  void cancelDelayedStop();
  vpk::TimerSourcePtr scheduleOnMain(double seconds, std::function<void(VPKToneGenerator&)> action);

  std::atomic<double> frequency_{0.0};
  std::atomic<double> samplingRate_{44100.0};
  std::atomic<double> amplitude_{0.5};
  std::atomic<double> theta_{0.0};
  double volume_ = 0.0;
  uint32_t type_ = kDefaultType;
  std::shared_ptr<vpk::AudioOutputUnit> toneUnit_;
  std::shared_ptr<vpk::AudioComponent> component_;
  vpk::TimerSourcePtr delayedMute_;
  vpk::TimerSourcePtr delayedStop_;
  std::string lastError_;
};
