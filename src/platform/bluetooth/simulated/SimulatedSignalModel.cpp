#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include "platform/bluetooth/simulated/SimRandom.h"

#include <cmath>

namespace vpk {

namespace {

constexpr double kTwoPi = 6.283185307179586476925;
constexpr int kBands = 5;
constexpr int kOscillatorsPerBand = 3;
// Lower and upper edge of each rhythm's oscillators, Hz: delta, theta, alpha, beta, gamma.
// Each lies inside its classical band and inside the band the focus score reads for it
// (2-4, 5-8, 10-15 and 16-21 Hz), so a scenario means the same whatever frequencies a seed
// draws.
constexpr double kBandEdges[kBands][2] = {{2.0, 3.8}, {5.0, 7.5}, {10.0, 12.5}, {16.0, 21.0}, {30.0, 45.0}};
// Depth of the slow amplitude modulation of each oscillator.
constexpr double kModulationDepth = 0.5;

double bandAmplitude(const SimulatedChannelSettings& s, int band) {
  switch (band) {
    case 0: return s.delta;
    case 1: return s.theta;
    case 2: return s.alpha;
    case 3: return s.beta;
    default: return s.gamma;
  }
}

SimulatedSignalScenario make(std::string name, SimulatedChannelSettings left, SimulatedChannelSettings right) {
  SimulatedSignalScenario s;
  s.name = std::move(name);
  s.left = left;
  s.right = right;
  return s;
}

// Forehead EEG, RMS microvolts. The focus score reads the slow bands (2-4 and 5-8 Hz) in
// absolute microvolts and the 16-21 Hz band against the 10-15 Hz band: attentive, the slow
// rhythms sink to the noise floor and beta leads; relaxed, alpha and theta dominate.
SimulatedChannelSettings focusedChannel(double offset) {
  SimulatedChannelSettings c;
  c.offset = offset;
  c.delta = 1.5;
  c.theta = 1;
  c.alpha = 5;
  c.beta = 14;
  c.gamma = 5;
  c.mains = 1;
  c.noise = 2;
  return c;
}

SimulatedChannelSettings relaxedChannel(double offset) {
  SimulatedChannelSettings c = focusedChannel(offset);
  c.delta = 6;
  c.theta = 8;
  c.alpha = 25;
  c.beta = 4;
  c.gamma = 1.5;
  return c;
}

constexpr double kLeftOffset = 1200.0;   // uV of electrode DC offset
constexpr double kRightOffset = -850.0;

}  // namespace

std::vector<std::string> SimulatedSignalScenario::names() {
  return {"focused", "relaxed", "mains-noise", "not-worn", "flat-left"};
}

std::optional<SimulatedSignalScenario> SimulatedSignalScenario::named(std::string_view name) {
  if (name == "focused") return make("focused", focusedChannel(kLeftOffset), focusedChannel(kRightOffset));
  if (name == "relaxed") return make("relaxed", relaxedChannel(kLeftOffset), relaxedChannel(kRightOffset));
  if (name == "mains-noise") {
    auto l = focusedChannel(kLeftOffset), r = focusedChannel(kRightOffset);
    l.mains = r.mains = 250;
    l.noise = r.noise = 3;
    return make("mains-noise", l, r);
  }
  if (name == "not-worn") {
    auto l = focusedChannel(kLeftOffset), r = focusedChannel(kRightOffset);
    l.contact = r.contact = ElectrodeContact::Saturated;
    return make("not-worn", l, r);
  }
  if (name == "flat-left") {
    auto l = relaxedChannel(kLeftOffset), r = relaxedChannel(kRightOffset);
    l.contact = ElectrodeContact::Flat;
    return make("flat-left", l, r);
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- the model

struct SimulatedSignalModel::State {
  struct Oscillator {
    double frequency = 0, phase = 0;
    double modulationFrequency = 0, modulationPhase = 0;
    double gain[2] = {1, 1};   // per channel
    double shift[2] = {0, 0};  // per channel phase, radians
  };
  SimulatedSignalScenario scenario;
  double mains = 50;
  double mainsPhase[2] = {0, 0};
  Oscillator oscillators[kBands][kOscillatorsPerBand];
  detail::SimRandom noise;
  uint64_t n = 0;

  State(SimulatedSignalScenario s, uint64_t seed, double mainsFrequency)
      : scenario(std::move(s)), mains(mainsFrequency), noise(detail::SimRandom::mix(seed, 2)) {
    detail::SimRandom shape(detail::SimRandom::mix(seed, 1));
    for (int b = 0; b < kBands; ++b) {
      for (auto& o : oscillators[b]) {
        o.frequency = shape.uniform(kBandEdges[b][0], kBandEdges[b][1]);
        o.phase = shape.uniform(0, kTwoPi);
        o.modulationFrequency = shape.uniform(0.05, 0.3);
        o.modulationPhase = shape.uniform(0, kTwoPi);
        for (int c = 0; c < 2; ++c) {
          o.gain[c] = shape.uniform(0.85, 1.15);
          o.shift[c] = shape.uniform(-0.3, 0.3);
        }
      }
    }
    for (double& p : mainsPhase) p = shape.uniform(0, kTwoPi);
  }

  // Microvolts above mid-scale of channel `c` at time `t` (the noise draw is the caller's).
  double value(int c, double t, double whiteNoise) const {
    const SimulatedChannelSettings& s = scenario.channel(static_cast<SimulatedChannel>(c));
    // An oscillator of amplitude a with the modulation has RMS a * sqrt(1.125 / 2); a band of
    // k of them sqrt(k) times that.
    static const double kNormal = std::sqrt(2.0 / ((1.0 + kModulationDepth * kModulationDepth / 2) * kOscillatorsPerBand));
    double v = s.offset;
    for (int b = 0; b < kBands; ++b) {
      const double amplitude = bandAmplitude(s, b);
      if (amplitude == 0) continue;
      double sum = 0;
      for (const auto& o : oscillators[b]) {
        const double envelope = 1.0 + kModulationDepth * std::sin(kTwoPi * o.modulationFrequency * t + o.modulationPhase);
        sum += o.gain[c] * envelope * std::sin(kTwoPi * o.frequency * t + o.phase + o.shift[c]);
      }
      v += amplitude * kNormal * sum;
    }
    if (s.mains != 0) v += s.mains * std::sqrt(2.0) * std::sin(kTwoPi * mains * t + mainsPhase[c]);
    v += s.noise * whiteNoise;
    return v;
  }
};

SimulatedSignalModel::SimulatedSignalModel(SimulatedSignalScenario scenario, uint64_t seed, double mainsFrequency)
    : state_(std::make_unique<State>(std::move(scenario), seed, mainsFrequency)) {}

SimulatedSignalModel::~SimulatedSignalModel() = default;

void SimulatedSignalModel::setScenario(SimulatedSignalScenario scenario) { state_->scenario = std::move(scenario); }

const SimulatedSignalScenario& SimulatedSignalModel::scenario() const { return state_->scenario; }

void SimulatedSignalModel::setContact(SimulatedChannel channel, ElectrodeContact contact) {
  state_->scenario.channel(channel).contact = contact;
}

double SimulatedSignalModel::mainsFrequency() const { return state_->mains; }

uint64_t SimulatedSignalModel::sampleIndex() const { return state_->n; }

uint32_t SimulatedSignalModel::encode(double microvolts) {
  const double code = std::nearbyint(microvolts / static_cast<double>(kMicrovoltsPerCount)) + kMidScale;
  if (!(code > 0)) return 0;  // also NaN
  if (code >= kMaxCode) return kMaxCode;
  return static_cast<uint32_t>(code);
}

float SimulatedSignalModel::decode(uint32_t code) { return static_cast<float>(code) * kMicrovoltsPerCount; }

std::array<uint32_t, 2> SimulatedSignalModel::nextSample() {
  State& s = *state_;
  const double t = static_cast<double>(s.n) / kSamplingRate;
  ++s.n;
  std::array<uint32_t, 2> codes{};
  for (int c = 0; c < 2; ++c) {
    const double whiteNoise = s.noise.gaussian();  // drawn whatever the contact, so channels stay independent
    const SimulatedChannelSettings& settings = s.scenario.channel(static_cast<SimulatedChannel>(c));
    switch (settings.contact) {
      case ElectrodeContact::Saturated: codes[c] = kMaxCode; break;
      case ElectrodeContact::Flat: codes[c] = encode(settings.offset); break;
      case ElectrodeContact::Good: codes[c] = encode(s.value(c, t, whiteNoise)); break;
    }
  }
  return codes;
}

std::array<uint8_t, SimulatedSignalModel::kPacketSize> SimulatedSignalModel::nextPacket(uint8_t sequence) {
  std::array<uint8_t, kPacketSize> packet{};
  packet[0] = kPacketStartByte;
  packet[1] = sequence;
  size_t at = 2;
  for (unsigned i = 0; i < kSamplesPerPacket; ++i) {
    for (uint32_t code : nextSample()) {
      packet[at++] = static_cast<uint8_t>(code >> 16);
      packet[at++] = static_cast<uint8_t>(code >> 8);
      packet[at++] = static_cast<uint8_t>(code);
    }
  }
  return packet;
}

}  // namespace vpk
