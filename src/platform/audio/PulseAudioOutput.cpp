// The sound server's output through PulseAudio's asynchronous API (PipeWire serves it too).
//
// Each unit owns a threaded main loop, a context and one playback stream of 32-bit float mono.
// initialize connects with a deadline (the server may be missing, or hung): nothing waits
// longer than the connect timeout. The stream starts corked; start and stop uncork and cork it.
// The server's write requests run the render callback on the main loop's thread. A stream or
// context that fails while we use it, or a request from the server to cork (another
// application took the output), is an interruption of the audio session.
#include <VemraPlatformKit/platform/audio/AudioOutput.h>

#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vpk {

namespace {

double connectTimeout() {
  const char* env = std::getenv("VPK_AUDIO_CONNECT_TIMEOUT");
  if (env && *env) {
    char* end = nullptr;
    const double v = std::strtod(env, &end);
    if (end && *end == '\0' && std::isfinite(v) && v > 0 && v <= 60) return v;
  }
  return 3.0;
}

class PulseUnit : public AudioOutputUnit {
 public:
  ~PulseUnit() override { dispose(); }

  int setRenderCallback(RenderCallback callback) override {
    Lock lock(loop_);
    callback_ = std::move(callback);
    return kAudioStatusOK;
  }

  int setStreamFormat(const AudioStreamFormat& format) override {
    if (!format.isFloatMono()) return fail(kAudioStatusInvalidFormat, "the sound server output plays 32-bit float mono only");
    if (stream_) return fail(kAudioStatusInvalidFormat, "the format cannot change while initialized");
    format_ = format;
    return kAudioStatusOK;
  }

  int initialize() override {
    if (stream_) return kAudioStatusOK;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) return failAndTearDown(kAudioStatusNoServer, "cannot start the audio thread");
    Lock lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "VemraPlatformKit");
    if (!context_) return failAndTearDownLocked(lock, kAudioStatusNoServer, "cannot create a sound server context");
    pa_context_set_state_callback(context_, &PulseUnit::contextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      return failAndTearDownLocked(lock, -pa_context_errno(context_),
                                   std::string("no sound server: ") + pa_strerror(pa_context_errno(context_)));
    timedOut_ = false;
    pa_time_event* deadline = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(connectTimeout() * 1e6), &PulseUnit::deadlinePassed, this);
    const int status = waitForReady(lock);
    if (deadline) pa_threaded_mainloop_get_api(loop_)->time_free(deadline);
    if (status != kAudioStatusOK) return failAndTearDownLocked(lock, status, lastError_);
    return kAudioStatusOK;
  }

  int uninitialize() override {
    tearDown();
    return kAudioStatusOK;
  }

  int start() override {
    if (!stream_) return fail(kAudioStatusNotInitialized, "the sound server output is not initialized");
    Lock lock(loop_);
    if (pa_operation* op = pa_stream_cork(stream_, 0, nullptr, nullptr)) pa_operation_unref(op);
    running_ = true;
    return kAudioStatusOK;
  }

  int stop() override {
    if (!stream_) return kAudioStatusOK;
    Lock lock(loop_);
    if (pa_operation* op = pa_stream_cork(stream_, 1, nullptr, nullptr)) pa_operation_unref(op);
    if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
    running_ = false;
    return kAudioStatusOK;
  }

  int dispose() override {
    tearDown();
    return kAudioStatusOK;
  }

  bool isRunning() const override { return running_; }

  std::string lastError() const override { return lastError_; }

 private:
  // Holds the main loop's lock (nothing when there is no loop).
  struct Lock {
    explicit Lock(pa_threaded_mainloop* loop) : loop(loop) {
      if (loop) pa_threaded_mainloop_lock(loop);
    }
    ~Lock() { unlock(); }
    void unlock() {
      if (loop) pa_threaded_mainloop_unlock(loop);
      loop = nullptr;
    }
    pa_threaded_mainloop* loop;
  };

  int fail(int status, std::string description) {
    lastError_ = std::move(description);
    return status;
  }
  int failAndTearDown(int status, std::string description) {
    tearDown();
    return fail(status, std::move(description));
  }
  int failAndTearDownLocked(Lock& lock, int status, std::string description) {
    lock.unlock();
    return failAndTearDown(status, std::move(description));
  }

  // Waits (lock held) for the context and then the stream to become ready, or the deadline.
  int waitForReady(Lock&) {
    while (true) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state))
        return fail(kAudioStatusNoServer, std::string("no sound server: ") + pa_strerror(pa_context_errno(context_)));
      if (timedOut_) return fail(kAudioStatusTimedOut, "the sound server did not answer in time");
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(std::lround(format_.sampleRate)), 1};
    stream_ = pa_stream_new(context_, "tone", &sampleFormat, nullptr);
    if (!stream_) return fail(-pa_context_errno(context_), std::string("cannot create a stream: ") + pa_strerror(pa_context_errno(context_)));
    pa_stream_set_state_callback(stream_, &PulseUnit::streamState, this);
    pa_stream_set_write_callback(stream_, &PulseUnit::writeRequest, this);
    pa_stream_set_event_callback(stream_, &PulseUnit::streamEvent, this);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);  // server defaults, except a short target length
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(50000, &sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0)
      return fail(-pa_context_errno(context_), std::string("cannot play: ") + pa_strerror(pa_context_errno(context_)));
    while (true) {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) return kAudioStatusOK;
      if (!PA_STREAM_IS_GOOD(state))
        return fail(-pa_context_errno(context_), std::string("the stream failed: ") + pa_strerror(pa_context_errno(context_)));
      if (timedOut_) return fail(kAudioStatusTimedOut, "the sound server did not open the stream in time");
      pa_threaded_mainloop_wait(loop_);
    }
  }

  void tearDown() {
    if (!loop_) return;
    {
      Lock lock(loop_);
      tearingDown_ = true;
      if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_event_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
      }
      if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
      }
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
    running_ = false;
    tearingDown_ = false;
  }

  void interrupted() {
    if (!tearingDown_ && stream_) AudioSession::shared().interrupt();
  }

  static void contextState(pa_context* c, void* self) {
    auto* unit = static_cast<PulseUnit*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) unit->interrupted();
    pa_threaded_mainloop_signal(unit->loop_, 0);
  }
  static void streamState(pa_stream* s, void* self) {
    auto* unit = static_cast<PulseUnit*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) unit->interrupted();
    pa_threaded_mainloop_signal(unit->loop_, 0);
  }
  static void streamEvent(pa_stream*, const char* name, pa_proplist*, void* self) {
    if (name && std::strcmp(name, PA_STREAM_EVENT_REQUEST_CORK) == 0) static_cast<PulseUnit*>(self)->interrupted();
  }
  static void deadlinePassed(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* unit = static_cast<PulseUnit*>(self);
    unit->timedOut_ = true;
    pa_threaded_mainloop_signal(unit->loop_, 0);
  }
  static void writeRequest(pa_stream* s, size_t bytes, void* self) {
    auto* unit = static_cast<PulseUnit*>(self);
    void* data = nullptr;
    if (pa_stream_begin_write(s, &data, &bytes) < 0 || !data) return;
    const size_t frames = bytes / sizeof(float);
    auto* samples = static_cast<float*>(data);
    if (unit->callback_) unit->callback_(samples, frames);
    else std::memset(samples, 0, frames * sizeof(float));
    pa_stream_write(s, data, frames * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  RenderCallback callback_;  // read on the loop's thread; written under its lock
  AudioStreamFormat format_;
  bool running_ = false;
  bool timedOut_ = false;     // written on the loop's thread under its lock
  bool tearingDown_ = false;  // under the loop's lock
  std::string lastError_;
};

class PulseComponent : public AudioComponent {
 public:
  std::shared_ptr<AudioOutputUnit> createInstance() override { return std::make_shared<PulseUnit>(); }
  std::string name() const override { return "sound server"; }
};

}  // namespace

std::shared_ptr<AudioComponent> AudioComponent::defaultOutput() {
  static const std::shared_ptr<AudioComponent> component = std::make_shared<PulseComponent>();
  return component;
}

}  // namespace vpk
