// Synthetic data packets for tools, demos and tests: Gaussian noise around a small sine,
// folded to positive 24-bit values.
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>

#include "acquisition/PacketFormat.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <random>

namespace {

constexpr double kPhaseStep = 0.25132741228718347;  // 2*pi/25 per value
constexpr double kTwoPi = 6.283185307179586;
constexpr float kNoiseScale = 11.18034f;
constexpr float kSineAmplitude = 14.142136f;

struct Generator {
  std::mutex mutex;
  std::mt19937 random{std::random_device{}()};
  float phase = 0;  // one phase for the whole process, advanced by every value
};

Generator& generator() {
  static Generator* g = new Generator();  // lives for the process
  return *g;
}

float uniform(std::mt19937& random) { return static_cast<float>(random()) * 0x1p-32f; }

}  // namespace

VPKSignalStream::Packet VPKSignalStream::generateSimulatedPacket() {
  using vpk::detail::valueOffset;
  Packet packet{};
  packet[0] = vpk::detail::kDataKind;
  packet[1] = 0;
  Generator& g = generator();
  std::lock_guard<std::mutex> lock(g.mutex);
  for (size_t channel = 0; channel < 2; ++channel) {
    for (size_t sample = 0; sample < 3; ++sample) {
      // u1 must not be 0: ln(0) would make the noise infinite. Draw again instead.
      float u1 = uniform(g.random);
      while (u1 == 0.0f) u1 = uniform(g.random);
      const float u2 = uniform(g.random);
      const float gauss = std::sqrt(-2.0f * std::log(u1)) * std::sin(static_cast<float>(kTwoPi) * u2);
      const float noise = gauss * kNoiseScale / vpk::detail::kValueScale * 10.0f;
      double phase = static_cast<double>(g.phase) + kPhaseStep;
      if (phase > kTwoPi) phase -= kTwoPi;
      g.phase = static_cast<float>(phase);
      const float v = std::fabs(noise + std::sin(g.phase) * kSineAmplitude);
      // |v| stays below about 16000 counts, far inside the 24-bit range.
      const auto counts = static_cast<uint32_t>(static_cast<int32_t>(v)) & 0xFFFFFFu;
      uint8_t* out = packet.data() + valueOffset(sample, channel);
      out[0] = static_cast<uint8_t>(counts >> 16);
      out[1] = static_cast<uint8_t>(counts >> 8);
      out[2] = static_cast<uint8_t>(counts);
    }
  }
  return packet;
}

void VPKSignalStream::seedSimulatedPacketGenerator(uint64_t seed) {
  std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
  Generator& g = generator();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.random.seed(sequence);
  g.phase = 0;
}
