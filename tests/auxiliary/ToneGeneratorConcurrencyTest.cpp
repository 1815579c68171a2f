// The render callback on the output's own thread while the main thread changes the tone.
#include <VemraPlatformKit/auxiliary/VPKToneGenerator.h>
#include <VemraPlatformKit/platform/audio/WavFileOutput.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

TEST(ToneGeneratorConcurrencyTest, ControlChangesRaceNothingWithTheRenderThread) {
  vpk::DispatchQueue::drainMain();  // this thread is the main thread
  const auto path = std::filesystem::temp_directory_path() / "concurrent-tone.wav";
  auto tone = VPKToneGenerator::create();
  tone->setOutputComponent(vpk::WavFileOutput::create(path));
  tone->setSamplingRate(8000);
  tone->setVolume(1.0);
  tone->start();
  ASSERT_TRUE(tone->isStarted()) << tone->lastError();
  for (int i = 0; i < 100; ++i) {
    tone->setFrequency(200.0 + i);
    tone->setAmplitude(0.1 + i / 200.0);
    EXPECT_LE(tone->theta(), 6.3);
    if (i % 25 == 0) tone->setVolume(i % 50 == 0 ? 0.0 : 1.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  tone->stop();
  EXPECT_GT(std::filesystem::file_size(path), 58u);
}
