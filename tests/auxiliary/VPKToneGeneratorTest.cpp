// The tone generator's arithmetic and control logic against a recording output, the WAV
// output in virtual time, and the sound-server output where no server can be reached.
#include <VemraPlatformKit/auxiliary/VPKToneGenerator.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/audio/WavFileOutput.h>

#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

// Units that write what is done to them into one shared journal ("init#2", "dispose#1"...).
class RecordingOutput : public vpk::AudioComponent {
 public:
  struct Unit : vpk::AudioOutputUnit {
    Unit(RecordingOutput& owner, int id) : owner(owner), id(id) {}
    int note(const char* what, int status = 0) {
      owner.journal.push_back(std::string(what) + "#" + std::to_string(id));
      return status;
    }
    int setRenderCallback(RenderCallback) override { return note("callback"); }
    int setStreamFormat(const vpk::AudioStreamFormat& f) override {
      owner.format = f;
      return note("format");
    }
    int initialize() override { return note("init", owner.failInitialize ? vpk::kAudioStatusNoServer : 0); }
    int uninitialize() override { return note("uninit"); }
    int start() override {
      running = true;
      return note("start");
    }
    int stop() override {
      running = false;
      return note("stop");
    }
    int dispose() override { return note("dispose"); }
    bool isRunning() const override { return running; }
    std::string lastError() const override { return owner.failInitialize ? "no server here" : ""; }
    RecordingOutput& owner;
    int id;
    bool running = false;
  };
  std::shared_ptr<vpk::AudioOutputUnit> createInstance() override {
    journal.push_back("create#" + std::to_string(++units));
    return std::make_shared<Unit>(*this, units);
  }
  std::string name() const override { return "recording"; }
  bool running(const VPKToneGenerator& g) const { return g.toneUnit() && g.toneUnit()->isRunning(); }

  std::vector<std::string> journal;
  vpk::AudioStreamFormat format;
  bool failInitialize = false;
  int units = 0;
};

class ToneGeneratorTest : public vpk::test::VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    output_ = std::make_shared<RecordingOutput>();
    tone_ = VPKToneGenerator::create();
    tone_->setOutputComponent(output_);
  }
  std::shared_ptr<RecordingOutput> output_;
  std::shared_ptr<VPKToneGenerator> tone_;
};

TEST_F(ToneGeneratorTest, RenderCarriesThePhaseAcrossBuffers) {
  tone_->setFrequency(440);
  tone_->setSamplingRate(44100);
  std::vector<float> a(1000), b(1000);
  tone_->render(a.data(), 300);  // one buffer of 300, then one of 700
  tone_->render(a.data() + 300, 700);
  auto whole = VPKToneGenerator::create();
  whole->setFrequency(440);
  whole->render(b.data(), 1000);
  EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * a.size()), 0);
  EXPECT_LE(tone_->theta(), kTwoPi);  // the frequency: the WAV file test
}

TEST_F(ToneGeneratorTest, StartSetsUpTheFormatAndVolumeSwitchesOnlyBetweenZeroAndOne) {
  tone_->setSamplingRate(48000);
  tone_->start();
  ASSERT_TRUE(tone_->isStarted());
  EXPECT_EQ(output_->format.sampleRate, 48000);
  EXPECT_FALSE(output_->running(*tone_));  // volume 0: ready but silent

  tone_->setVolume(0.5);
  EXPECT_FALSE(output_->running(*tone_));
  tone_->setVolume(0.0);
  tone_->setVolume(1.0);
  EXPECT_TRUE(output_->running(*tone_));
  const size_t before = output_->journal.size();
  tone_->setVolume(0.5);
  EXPECT_EQ(output_->journal.size(), before);
  EXPECT_TRUE(output_->running(*tone_));
}

TEST_F(ToneGeneratorTest, ASecondStartTearsDownTheFirstUnitAndAnInterruptionStopsTheTone) {
  tone_->setVolume(1.0);
  tone_->start();
  tone_->start();
  const std::vector<std::string> expected{"create#1", "callback#1", "format#1", "init#1",    "start#1",
                                          "stop#1",   "uninit#1",   "dispose#1", "create#2", "callback#2",
                                          "format#2", "init#2",     "start#2"};
  EXPECT_EQ(output_->journal, expected);
  vpk::AudioSession::shared().interrupt();  // an interruption stops the tone
  settle();
  EXPECT_FALSE(tone_->isStarted());
}

TEST_F(ToneGeneratorTest, TimedVolumeAndTimedStartRunOnTheLibraryClock) {
  tone_->start();
  tone_->setVolume(1.0, 2.0);
  advance(1.0);
  tone_->setVolume(1.0, 2.0);  // re-arms: the first mute is cancelled
  advance(1.5);
  EXPECT_EQ(tone_->volume(), 1.0);
  advance(0.6);
  EXPECT_EQ(tone_->volume(), 0.0);
  EXPECT_FALSE(output_->running(*tone_));

  tone_->startWithDuration(3.0);
  advance(2.9);
  EXPECT_TRUE(tone_->isStarted());
  advance(0.2);
  EXPECT_FALSE(tone_->isStarted());
}

TEST_F(ToneGeneratorTest, AFailedStartKeepsNoUnitAndSaysWhy) {
  VPKLogSetEnabled(true);
  vpk::test::LogCapture log;
  output_->failInitialize = true;
  tone_->start();
  VPKLogSetEnabled(false);
  EXPECT_FALSE(tone_->isStarted());
  EXPECT_NE(tone_->lastError().find("no server here"), std::string::npos);
  EXPECT_TRUE(log.contains("Tone error:0"));
  EXPECT_TRUE(log.contains("Tone error:" + std::to_string(vpk::kAudioStatusNoServer)));
}

TEST_F(ToneGeneratorTest, PlayFrequenciesCompletesInTheLastSlotAndLeavesTheToneOn) {
  auto shared = VPKToneGenerator::sharedToneGenerator();
  shared->setOutputComponent(output_);
  int completions = 0;
  VPKToneGenerator::playFrequencies({440, 550, 660}, 1.0, 0.5, [&] { ++completions; });
  EXPECT_TRUE(shared->isStarted());
  advance(2.9);
  EXPECT_EQ(completions, 0);
  advance(0.1);  // slot 2 at (1.0 + 0.5) x 2
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(shared->isStarted());
  VPKToneGenerator::playFrequencies({}, 1.0, 0.5, [&] { ++completions; });
  advance(10.0);
  EXPECT_EQ(completions, 1);
  shared->stop();
  shared->setOutputComponent(nullptr);
}

// Reads back a float WAV: rate, sample count, and the frequency from upward zero crossings.
TEST_F(ToneGeneratorTest, WavOutputHoldsTheToneAtItsRateAndFrequency) {
  const auto path = std::filesystem::temp_directory_path() / "tone.wav";
  tone_->setOutputComponent(vpk::WavFileOutput::create(path));
  tone_->setSamplingRate(8000);
  tone_->setFrequency(1000);
  tone_->setVolume(1.0);
  tone_->startWithDuration(0.5);
  ASSERT_TRUE(tone_->isStarted()) << tone_->lastError();
  advance(1.0);
  ASSERT_FALSE(tone_->isStarted());

  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 58u + 4000u * 4u);
  auto u32 = [&](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24; };
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(u32(4), bytes.size() - 8);
  EXPECT_EQ(bytes[20], 3);  // IEEE float
  EXPECT_EQ(u32(24), 8000u);
  EXPECT_EQ(u32(54), 16000u);
  std::vector<float> samples(4000);
  std::memcpy(samples.data(), bytes.data() + 58, 16000);
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  EXPECT_NEAR(crossings / 0.5, 1000, 4);
}

TEST_F(ToneGeneratorTest, WithoutASoundServerStartFailsCleanly) {
  ::setenv("PULSE_SERVER", "unix:/nonexistent/vpk-test-pulse", 1);
  ::setenv("VPK_AUDIO_CONNECT_TIMEOUT", "1", 1);
  auto tone = VPKToneGenerator::create();
  tone->setVolume(1.0);
  tone->start();
  EXPECT_FALSE(tone->isStarted());
  EXPECT_NE(tone->lastError().find("sound server"), std::string::npos) << tone->lastError();
  ::unsetenv("PULSE_SERVER");
  ::unsetenv("VPK_AUDIO_CONNECT_TIMEOUT");
}

}  // namespace
