#pragma once
/// @file AudioOutput.h
/// Sound out: the library's stand-in for the platform's audio output unit and audio session.
///
/// An AudioComponent makes output units; an AudioOutputUnit pulls samples from its render
/// callback while it runs. Two components exist: the sound server's (PulseAudio's API, which
/// PipeWire also serves; AudioComponent::defaultOutput()) and WavFileOutput, which writes what
/// it renders to a WAV file in step with the library clock (tests, `vemra tone --wav`).
///
/// Statuses: every unit operation returns 0 on success, another number otherwise (a negative
/// sound-server error code, or one of the kAudioStatus values), and keeps a readable
/// description of the last failure.
///
/// Threads: control operations are meant for one thread at a time (the owner's); the render
/// callback runs on the unit's audio thread, never concurrently with itself.

#include <VemraPlatformKit/VPKExport.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vpk {

/// Four-character code, first character in the high byte ("lpcm" -> 0x6C70636D).
constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8) |
         uint32_t(uint8_t(code[3]));
}

inline constexpr int kAudioStatusOK = 0;
inline constexpr int kAudioStatusInvalidFormat = -1000;    ///< a format the unit cannot play
inline constexpr int kAudioStatusNotInitialized = -1001;   ///< start before initialize
inline constexpr int kAudioStatusNoServer = -1002;         ///< the sound server cannot be reached
inline constexpr int kAudioStatusTimedOut = -1003;         ///< the sound server did not answer in time
inline constexpr int kAudioStatusFileError = -1004;        ///< the output file cannot be written

/// Linear PCM stream description (the platform's layout).
struct VPK_EXPORT AudioStreamFormat {
  static constexpr uint32_t kLinearPCM = fourCharCode("lpcm");
  /// float | packed | non-interleaved
  static constexpr uint32_t kFloatPackedNonInterleaved = 41;

  double sampleRate = 44100.0;
  uint32_t formatID = kLinearPCM;
  uint32_t formatFlags = kFloatPackedNonInterleaved;
  uint32_t bytesPerPacket = 4;
  uint32_t framesPerPacket = 1;
  uint32_t bytesPerFrame = 4;
  uint32_t channelsPerFrame = 1;
  uint32_t bitsPerChannel = 32;

  /// 32-bit float mono at `rate`.
  static AudioStreamFormat floatMono(double rate);
  /// True for the one layout the units here play: 32-bit float, packed, one channel, a
  /// finite positive rate up to 384 kHz.
  bool isFloatMono() const;
};

class VPK_EXPORT AudioOutputUnit {
 public:
  /// Fills `frames` samples of the single channel.
  using RenderCallback = std::function<void(float* samples, size_t frames)>;
  virtual ~AudioOutputUnit() = default;

  virtual int setRenderCallback(RenderCallback callback) = 0;
  virtual int setStreamFormat(const AudioStreamFormat& format) = 0;
  virtual int initialize() = 0;
  virtual int uninitialize() = 0;
  virtual int start() = 0;
  virtual int stop() = 0;
  /// Releases everything (stops and uninitializes first when needed).
  virtual int dispose() = 0;
  virtual bool isRunning() const = 0;
  /// The last failure, readable ("" when none).
  virtual std::string lastError() const = 0;
};

class VPK_EXPORT AudioComponent {
 public:
  virtual ~AudioComponent() = default;
  /// A new unit, or nullptr.
  virtual std::shared_ptr<AudioOutputUnit> createInstance() = 0;
  virtual std::string name() const = 0;
  /// The sound server's output (PulseAudio's API), connecting with a timeout of
  /// $VPK_AUDIO_CONNECT_TIMEOUT seconds (default 3).
  static std::shared_ptr<AudioComponent> defaultOutput();
};

/// The process's audio session: the category, whether it is active, and the listeners that
/// hear about interruptions (the sound server dropping or corking our stream).
class VPK_EXPORT AudioSession {
 public:
  static constexpr uint32_t kCategoryMediaPlayback = fourCharCode("medi");

  static AudioSession& shared();

  /// Adds `listener` under `owner` (replacing that owner's earlier one); it is called on the
  /// main queue for every interruption. Returns 0.
  int initialize(const void* owner, std::function<void()> listener);
  void removeListener(const void* owner);
  int setCategory(uint32_t category);
  uint32_t category() const;
  int setActive(bool active);
  bool isActive() const;
  /// Reports an interruption to every listener (output units call it; tests may too).
  void interrupt();

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<const void*, std::function<void()>>> listeners_;
  uint32_t category_ = 0;
  bool active_ = false;
};

}  // namespace vpk
