// vemra tone: a sine tone on the sound server, or into a WAV file.
#include "Command.h"

#include <VemraPlatformKit/auxiliary/VPKToneGenerator.h>
#include <VemraPlatformKit/platform/audio/WavFileOutput.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct ToneOptions {
  double frequency = 440;
  double seconds = 2;
  double amplitude = 0.5;
  double rate = 44100;
  std::string wav;
};

int tone(const ToneOptions& o) {
  auto generator = VPKToneGenerator::sharedToneGenerator();
  if (!o.wav.empty()) generator->setOutputComponent(vpk::WavFileOutput::create(o.wav));
  generator->setSamplingRate(o.rate);
  generator->setAmplitude(o.amplitude);
  generator->setFrequency(o.frequency);
  generator->setVolume(1.0);
  generator->startWithDuration(o.seconds);
  if (!generator->isStarted()) {
    std::fprintf(stderr, "vemra tone: cannot play: %s\n", generator->lastError().c_str());
    return 1;
  }
  vpk::DispatchQueue::runMainUntil([&] { return !generator->isStarted(); }, o.seconds + 5.0);
  generator->stop();
  std::printf("played %g Hz for %g s at %g Hz sampling rate to %s\n", o.frequency, o.seconds, o.rate,
              o.wav.empty() ? "the sound server" : o.wav.c_str());
  return 0;
}

vemra::VemraCommand toneCommand({"tone", "Play a sine tone (or write it to a WAV file)", 61, [](CLI::App& sub) {
                                   auto o = std::make_shared<ToneOptions>();
                                   sub.add_option("--frequency", o->frequency, "Hz (default 440)")
                                       ->check(CLI::Range(1.0, 20000.0));
                                   sub.add_option("--seconds", o->seconds, "How long (default 2)")
                                       ->check(CLI::Range(0.01, 3600.0));
                                   sub.add_option("--amplitude", o->amplitude, "Peak sample value (default 0.5)")
                                       ->check(CLI::Range(0.0, 1.0));
                                   sub.add_option("--rate", o->rate, "Sampling rate in Hz (default 44100)")
                                       ->check(CLI::Range(8000.0, 192000.0));
                                   sub.add_option("--wav", o->wav, "Write the tone to this WAV file instead");
                                   sub.callback([o] { vemra::exitStatus() = tone(*o); });
                                 }});

}  // namespace
