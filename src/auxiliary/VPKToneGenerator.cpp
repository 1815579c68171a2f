#include <VemraPlatformKit/auxiliary/VPKToneGenerator.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <numbers>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The platform's console: standard error, beside (not through) the library's log.
void console(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

double usableDelay(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0; }

}  // namespace

std::shared_ptr<VPKToneGenerator> VPKToneGenerator::sharedToneGenerator() {
  static std::once_flag once;
  // Lives as long as the process: a generator still playing at exit is cut off with it.
  static std::shared_ptr<VPKToneGenerator>* shared = nullptr;
  std::call_once(once, [] { shared = new std::shared_ptr<VPKToneGenerator>(create()); });
  return *shared;
}

std::shared_ptr<VPKToneGenerator> VPKToneGenerator::sharedHALToneGenerator() {
  static std::once_flag once;
  // Lives as long as the process: a generator still playing at exit is cut off with it.
  static std::shared_ptr<VPKToneGenerator>* shared = nullptr;
  std::call_once(once, [] { shared = new std::shared_ptr<VPKToneGenerator>(create()); });
  return *shared;
}

std::shared_ptr<VPKToneGenerator> VPKToneGenerator::create() { return std::make_shared<VPKToneGenerator>(); }

VPKToneGenerator::VPKToneGenerator() = default;

VPKToneGenerator::~VPKToneGenerator() {
  stop();
  vpk::AudioSession::shared().removeListener(this);
}

int VPKToneGenerator::check(int status, const char* what) {
  VPKLog(0, "Tone error:{}", status);
  if (status != vpk::kAudioStatusOK && lastError_.empty()) {
    const std::string detail = toneUnit_ ? toneUnit_->lastError() : std::string{};
    lastError_ = std::string(what) + (detail.empty() ? "" : ": " + detail);
  }
  return status;
}

void VPKToneGenerator::start() {
  stop();
  lastError_.clear();
  auto component = component_ ? component_ : vpk::AudioComponent::defaultOutput();
  toneUnit_ = component->createInstance();
  if (check(toneUnit_ ? vpk::kAudioStatusOK : vpk::kAudioStatusNoServer, "no audio output unit") != vpk::kAudioStatusOK)
    return;
  // The unit is disposed of before this generator goes away (stop), so it may call back into it.
  check(toneUnit_->setRenderCallback([this](float* samples, size_t frames) { render(samples, frames); }),
        "cannot set the render callback");
  const int format = check(toneUnit_->setStreamFormat(vpk::AudioStreamFormat::floatMono(samplingRate())),
                           "cannot set the stream format");
  auto& session = vpk::AudioSession::shared();
  std::weak_ptr<VPKToneGenerator> weak = weak_from_this();
  const int sessionStatus = check(session.initialize(this, [weak] {
    if (auto self = weak.lock()) self->handleInterruption();
  }), "cannot set up the audio session");
  if (sessionStatus == vpk::kAudioStatusOK)
    check(session.setCategory(vpk::AudioSession::kCategoryMediaPlayback), "cannot set the session category");
  check(session.setActive(true), "cannot activate the audio session");
  const int initialized = check(toneUnit_->initialize(), "cannot open the audio output");
  if (format != vpk::kAudioStatusOK || initialized != vpk::kAudioStatusOK) {
    // A unit that cannot play is not kept: isStarted() must not claim a tone.
    const std::string why = lastError_;
    stop();
    lastError_ = why;
    VPKLog(1, "Tone: cannot start: {}", why);
    return;
  }
  if (volume_ == 1.0) check(toneUnit_->start(), "cannot start the audio output");
}

void VPKToneGenerator::stop() {
  cancelDelayedMute();
  cancelDelayedStop();
  vpk::AudioSession::shared().setActive(false);
  if (!toneUnit_) return;
  auto unit = std::move(toneUnit_);
  unit->stop();
  unit->uninitialize();
  unit->dispose();
}

void VPKToneGenerator::startWithDuration(double seconds) {
  cancelDelayedStop();
  start();
  delayedStop_ = scheduleOnMain(seconds, [](VPKToneGenerator& g) { g.stop(); });
}

void VPKToneGenerator::setVolume(double volume) {
  cancelDelayedMute();
  if (toneUnit_) {
    if (volume_ == 1.0 && volume == 0.0) {
      toneUnit_->stop();
    } else if (volume_ == 0.0 && volume == 1.0) {
      lastError_.clear();
      check(toneUnit_->start(), "cannot start the audio output");
    }
  }
  volume_ = volume;
}

void VPKToneGenerator::setVolume(double volume, double seconds) {
  cancelDelayedMute();
  setVolume(volume);
  delayedMute_ = scheduleOnMain(seconds, [](VPKToneGenerator& g) { g.setVolume(0.0); });
}

void VPKToneGenerator::setFrequency(double hz) {
  if (!std::isfinite(hz)) {
    VPKLog(1, "Tone: refusing frequency {}", hz);
    return;
  }
  frequency_.store(hz, std::memory_order_relaxed);
  console(fmt::format("Setting frequency:{}hz", hz));
}

void VPKToneGenerator::setSamplingRate(double hz) {
  if (!std::isfinite(hz) || hz <= 0) {
    VPKLog(1, "Tone: refusing sampling rate {}", hz);
    return;
  }
  samplingRate_.store(hz, std::memory_order_relaxed);
}

void VPKToneGenerator::setAmplitude(double amplitude) { amplitude_.store(amplitude, std::memory_order_relaxed); }
void VPKToneGenerator::setTheta(double theta) { theta_.store(theta, std::memory_order_relaxed); }

void VPKToneGenerator::render(float* samples, size_t frames) {
  const double amplitude = amplitude_.load(std::memory_order_relaxed);
  const double step = kTwoPi * frequency_.load(std::memory_order_relaxed) / samplingRate_.load(std::memory_order_relaxed);
  double theta = theta_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<float>(amplitude * std::sin(theta));
    theta += step;
    if (theta > kTwoPi) theta -= kTwoPi;
  }
  theta_.store(theta, std::memory_order_relaxed);
}

void VPKToneGenerator::setOutputComponent(std::shared_ptr<vpk::AudioComponent> component) {
  component_ = std::move(component);
}

std::shared_ptr<vpk::AudioComponent> VPKToneGenerator::outputComponent() const {
  return component_ ? component_ : vpk::AudioComponent::defaultOutput();
}

void VPKToneGenerator::handleInterruption() {
  console("INTERUPT!");
  stop();
}

void VPKToneGenerator::playFrequencies(const std::vector<double>& frequencies, double duration, double interval,
                                       std::function<void()> complete) {
  auto generator = sharedToneGenerator();
  generator->stop();
  const size_t n = frequencies.size();
  for (size_t k = 0; k < n; ++k) {
    const double delay = usableDelay((duration + interval) * static_cast<double>(k));
    vpk::DispatchQueue::main()->after(delay, [k, n, complete] {
      if (k == n - 1 && complete) complete();
    });
  }
  generator->start();
}

void VPKToneGenerator::cancelDelayedMute() {
  if (auto source = std::move(delayedMute_)) source->cancel();
}

void VPKToneGenerator::cancelDelayedStop() {
  if (auto source = std::move(delayedStop_)) source->cancel();
}

vpk::TimerSourcePtr VPKToneGenerator::scheduleOnMain(double seconds, std::function<void(VPKToneGenerator&)> action) {
  auto source = vpk::TimerSource::create(vpk::DispatchQueue::main());
  std::weak_ptr<VPKToneGenerator> weak = weak_from_this();
  source->setEventHandler([weak, action = std::move(action)] {
    if (auto self = weak.lock()) action(*self);
  });
  source->schedule(usableDelay(seconds), std::numeric_limits<double>::infinity(), 0);
  source->resume();
  return source;
}
