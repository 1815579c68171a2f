#pragma once
/// @file SimulatedSignalModel.h
/// The EEG a simulated headband measures: two channels (left, right) sampled at 250 Hz and
/// encoded as the headband's 24-bit codes.
///
/// Each channel is the sum of
///   - a mid-scale offset (code 0x800000, about 400000 uV) plus the electrode's DC offset;
///   - five rhythms, delta (2-3.8 Hz), theta (5-7.5 Hz), alpha (10-12.5 Hz), beta (16-21 Hz)
///     and gamma (30-45 Hz), each made of a few oscillators whose amplitude waxes and wanes
///     slowly; the oscillators are shared by the two channels with a per-channel gain and
///     phase, so left and right are correlated as on a forehead;
///   - mains interference at 50 or 60 Hz;
///   - white noise;
/// unless the electrode is off: then the channel is a flat line or sits at the top rail.
/// Amplitudes are RMS microvolts; a code is uV / 0.047683723 + 0x800000, clamped to 24 bits.
///
/// Named scenarios set every amplitude at once (docs/simulated-headband.md has the figures
/// and what the analysis makes of them): "focused" (beta-rich, slow rhythms at the noise
/// floor), "relaxed" (strong alpha and theta), "mains-noise" (mains 250 uV RMS on both
/// channels),
/// "not-worn" (both electrodes off: saturated), "flat-left" (left electrode off: flat
/// line; right as "relaxed").
///
/// Determinism: the same scenario and seed give the same samples, on every run.
/// Not thread-safe: one owner calls it (the simulated headband, under its world's lock).

#include <VemraPlatformKit/VPKExport.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpk {

enum class SimulatedChannel : int { Left = 0, Right = 1 };

/// How an electrode touches the skin.
enum class ElectrodeContact : int {
  Good = 0,
  /// Off, and the input holds still: a flat line at the channel's offset.
  Flat = 1,
  /// Off, and the input drifts to the rail: the largest code, 0xFFFFFF.
  Saturated = 2,
};

struct SimulatedChannelSettings {
  /// DC offset of the electrode from mid-scale, uV.
  double offset = 0;
  /// RMS amplitudes, uV.
  double delta = 0, theta = 0, alpha = 0, beta = 0, gamma = 0;
  double mains = 0;
  double noise = 0;
  ElectrodeContact contact = ElectrodeContact::Good;
};

struct VPK_EXPORT SimulatedSignalScenario {
  std::string name;
  SimulatedChannelSettings left, right;

  SimulatedChannelSettings& channel(SimulatedChannel c) { return c == SimulatedChannel::Left ? left : right; }
  const SimulatedChannelSettings& channel(SimulatedChannel c) const {
    return c == SimulatedChannel::Left ? left : right;
  }

  /// The named scenario (see file comment), or nullopt for an unknown name.
  static std::optional<SimulatedSignalScenario> named(std::string_view name);
  /// The names named() knows, in a stable order.
  static std::vector<std::string> names();
};

class VPK_EXPORT SimulatedSignalModel {
 public:
  static constexpr double kSamplingRate = 250.0;
  /// Microvolts per code step of the headband's converter.
  static constexpr float kMicrovoltsPerCount = 0.047683723f;
  static constexpr uint32_t kMidScale = 0x800000;
  static constexpr uint32_t kMaxCode = 0xFFFFFF;
  static constexpr uint8_t kPacketStartByte = 0xA0;
  static constexpr size_t kPacketSize = 20;
  static constexpr unsigned kSamplesPerPacket = 3;

  /// `mainsFrequency` 50 or 60 Hz (other values are taken as they are).
  SimulatedSignalModel(SimulatedSignalScenario scenario, uint64_t seed, double mainsFrequency = 50.0);
  ~SimulatedSignalModel();
  SimulatedSignalModel(const SimulatedSignalModel&) = delete;
  SimulatedSignalModel& operator=(const SimulatedSignalModel&) = delete;

  /// Changes the amplitudes from the next sample on; the rhythms keep their phase.
  void setScenario(SimulatedSignalScenario scenario);
  const SimulatedSignalScenario& scenario() const;
  void setContact(SimulatedChannel channel, ElectrodeContact contact);
  double mainsFrequency() const;

  /// The next sample pair as codes, [left, right].
  std::array<uint32_t, 2> nextSample();
  /// The next three sample pairs as one signal packet: 0xA0, `sequence`, then left and
  /// right of each sample as 24-bit big-endian codes.
  std::array<uint8_t, kPacketSize> nextPacket(uint8_t sequence);
  /// Samples produced so far.
  uint64_t sampleIndex() const;

  /// Code of a value in uV above mid-scale (rounded, clamped to 0..0xFFFFFF).
  static uint32_t encode(double microvoltsAboveMidScale);
  /// The value a code decodes to, uV (code x kMicrovoltsPerCount, in single precision).
  static float decode(uint32_t code);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vpk
