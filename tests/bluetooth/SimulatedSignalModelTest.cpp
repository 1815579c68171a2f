// What the simulated EEG looks like once decoded: level, amplitude, spectrum, contact.
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

using namespace vpk;

namespace {

struct Channels {
  std::vector<double> left, right;  // decoded microvolts
};

Channels take(SimulatedSignalModel& model, size_t samples) {
  Channels c;
  for (size_t i = 0; i < samples; ++i) {
    const auto s = model.nextSample();
    c.left.push_back(SimulatedSignalModel::decode(s[0]));
    c.right.push_back(SimulatedSignalModel::decode(s[1]));
  }
  return c;
}

double mean(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); }
double rms(const std::vector<double>& v) {
  const double m = mean(v);
  double s = 0;
  for (double x : v) s += (x - m) * (x - m);
  return std::sqrt(s / v.size());
}
// Mean power between `lo` and `hi` Hz (plain DFT bins of the whole record).
double bandPower(const std::vector<double>& v, double lo, double hi) {
  const double m = mean(v);
  const size_t n = v.size();
  double total = 0;
  int bins = 0;
  for (size_t k = 1; k < n / 2; ++k) {
    const double f = k * 250.0 / n;
    if (f < lo || f > hi) continue;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
      const double a = 2 * M_PI * k * i / n;
      re += (v[i] - m) * std::cos(a);
      im -= (v[i] - m) * std::sin(a);
    }
    total += (re * re + im * im) / (n * n);
    ++bins;
  }
  return total / bins;
}
double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double ma = mean(a), mb = mean(b);
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return ab / std::sqrt(aa * bb);
}

SimulatedSignalModel model(const char* scenario, uint64_t seed = 3, double mains = 50) {
  return SimulatedSignalModel(*SimulatedSignalScenario::named(scenario), seed, mains);
}

TEST(SimulatedSignalModel, DecodesToMicrovoltEEGAroundMidScale) {
  auto m = model("focused");
  const Channels c = take(m, 250 * 20);
  // Mid-scale is about 400000 uV; each electrode adds its DC offset.
  EXPECT_NEAR(mean(c.left), 400000.0 + 1200.0, 5.0);
  EXPECT_NEAR(mean(c.right), 400000.0 - 850.0, 5.0);
  EXPECT_GT(rms(c.left), 10.0);
  EXPECT_LT(rms(c.left), 30.0);
  // Forehead channels share their rhythms.
  const double r = correlation(c.left, c.right);
  EXPECT_GT(r, 0.6);
  EXPECT_LT(r, 0.99);
}

TEST(SimulatedSignalModel, ScenariosShapeTheSpectrum) {
  auto focused = model("focused"), relaxed = model("relaxed"), mains = model("mains-noise"),
       mains60 = model("mains-noise", 3, 60.0);
  const auto f = take(focused, 2000).left, r = take(relaxed, 2000).left;
  EXPECT_GT(bandPower(r, 8, 13), 10 * bandPower(f, 8, 13));  // alpha
  EXPECT_GT(bandPower(f, 13, 30), 4 * bandPower(r, 13, 30));  // beta
  EXPECT_GT(bandPower(f, 13, 30), bandPower(f, 8, 13));

  const auto m50 = take(mains, 2000).left, m60 = take(mains60, 2000).left;
  EXPECT_GT(bandPower(m50, 49.5, 50.5), 1000 * bandPower(m50, 55, 65));
  EXPECT_GT(bandPower(m60, 59.5, 60.5), 1000 * bandPower(m60, 45, 55));
  EXPECT_NEAR(rms(m50), 250.0, 15.0);
  // Nothing of the model lives above the gamma band but mains and noise.
  EXPECT_LT(bandPower(f, 70, 120), bandPower(f, 30, 45) / 10);
}

TEST(SimulatedSignalModel, ElectrodesOffShowAsRailsOrFlatLines) {
  auto notWorn = model("not-worn");
  for (int i = 0; i < 100; ++i) {
    const auto s = notWorn.nextSample();
    EXPECT_EQ(s[0], SimulatedSignalModel::kMaxCode);
    EXPECT_EQ(s[1], SimulatedSignalModel::kMaxCode);
  }
  auto flatLeft = model("flat-left");
  const Channels c = take(flatLeft, 1000);
  EXPECT_EQ(rms(c.left), 0.0);
  EXPECT_GT(rms(c.right), 10.0);

  // Contact can change mid-stream; the other channel does not notice.
  auto a = model("relaxed", 9), b = model("relaxed", 9);
  b.setContact(SimulatedChannel::Left, ElectrodeContact::Saturated);
  for (int i = 0; i < 500; ++i) {
    const auto x = a.nextSample(), y = b.nextSample();
    EXPECT_EQ(x[1], y[1]);
    EXPECT_EQ(y[0], SimulatedSignalModel::kMaxCode);
  }
}

TEST(SimulatedSignalModel, SeedAndScenarioFixTheSamples) {
  auto a = model("focused", 5), b = model("focused", 5), c = model("focused", 6);
  bool differs = false;
  for (int i = 0; i < 1000; ++i) {
    const auto x = a.nextSample(), y = b.nextSample(), z = c.nextSample();
    EXPECT_EQ(x, y);
    differs = differs || x != z;
  }
  EXPECT_TRUE(differs);
  EXPECT_FALSE(SimulatedSignalScenario::named("sleepy"));
  for (const auto& name : SimulatedSignalScenario::names()) EXPECT_TRUE(SimulatedSignalScenario::named(name)) << name;
}

}  // namespace
