#include <VemraPlatformKit/platform/audio/WavFileOutput.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vpk {

namespace {

constexpr double kPumpInterval = 0.02;
constexpr size_t kChunkFrames = 4096;
constexpr uint32_t kHeaderBytes = 58;  // RIFF (12) + fmt (8 + 18) + fact (8 + 4) + data header (8)
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - kHeaderBytes;

void put16(unsigned char* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void header(unsigned char* h, uint32_t rate, uint32_t dataBytes) {
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, kHeaderBytes - 8 + dataBytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 18);
  put16(h + 20, 3);  // IEEE float
  put16(h + 22, 1);
  put32(h + 24, rate);
  put32(h + 28, rate * 4);
  put16(h + 32, 4);
  put16(h + 34, 32);
  put16(h + 36, 0);
  std::memcpy(h + 38, "fact", 4);
  put32(h + 42, 4);
  put32(h + 46, dataBytes / 4);
  std::memcpy(h + 50, "data", 4);
  put32(h + 54, dataBytes);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "WAV samples are written in the machine's byte order");

class WavFileUnit : public AudioOutputUnit, public std::enable_shared_from_this<WavFileUnit> {
 public:
  explicit WavFileUnit(std::filesystem::path path)
      : path_(std::move(path)), queue_(DispatchQueue::createSerial("com.vemra.vpk.audio.wav")) {}
  ~WavFileUnit() override { dispose(); }

  int setRenderCallback(RenderCallback callback) override {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(callback);
    return kAudioStatusOK;
  }

  int setStreamFormat(const AudioStreamFormat& format) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!format.isFloatMono()) return fail(kAudioStatusInvalidFormat, "the WAV output writes 32-bit float mono only");
    if (file_) return fail(kAudioStatusInvalidFormat, "the format cannot change while initialized");
    format_ = format;
    return kAudioStatusOK;
  }

  int initialize() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) return kAudioStatusOK;
    file_ = std::fopen(path_.c_str(), "wb");
    if (!file_) return fail(kAudioStatusFileError, "cannot write " + path_.string() + ": " + std::strerror(errno));
    dataBytes_ = 0;
    full_ = false;
    return writeHeaderLocked();
  }

  int uninitialize() override {
    std::unique_lock<std::mutex> lock(mutex_);
    TimerSourcePtr source = stopLocked();
    int status = kAudioStatusOK;
    if (file_) {
      status = writeHeaderLocked();
      if (std::fclose(file_) != 0 && status == kAudioStatusOK)
        status = fail(kAudioStatusFileError, "cannot finish " + path_.string() + ": " + std::strerror(errno));
      file_ = nullptr;
    }
    lock.unlock();
    if (source) source->cancel();
    return status;
  }

  int start() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return fail(kAudioStatusNotInitialized, "the WAV output is not initialized");
    if (running_) return kAudioStatusOK;
    running_ = true;
    startTime_ = Clock::timestamp();
    framesThisRun_ = 0;
    source_ = TimerSource::create(queue_);
    std::weak_ptr<WavFileUnit> weak = weak_from_this();
    source_->setEventHandler([weak] {
      if (auto self = weak.lock()) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->pumpLocked();
      }
    });
    source_->schedule(kPumpInterval, kPumpInterval, kPumpInterval / 10);
    source_->resume();
    return kAudioStatusOK;
  }

  int stop() override {
    std::unique_lock<std::mutex> lock(mutex_);
    TimerSourcePtr source = stopLocked();
    const int status = file_ ? writeHeaderLocked() : kAudioStatusOK;
    lock.unlock();
    if (source) source->cancel();
    return status;
  }

  int dispose() override { return uninitialize(); }

  bool isRunning() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }

  std::string lastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
  }

 private:
  int fail(int status, std::string description) {
    lastError_ = std::move(description);
    return status;
  }

  // Renders the frames due since the start of this run and appends them.
  void pumpLocked() {
    if (!running_ || !file_ || full_) return;
    const double elapsed = std::max(0.0, Clock::timestamp() - startTime_);
    const uint64_t due = static_cast<uint64_t>(std::floor(elapsed * format_.sampleRate));
    std::vector<float> chunk;
    while (framesThisRun_ < due) {
      const size_t frames = static_cast<size_t>(std::min<uint64_t>(kChunkFrames, due - framesThisRun_));
      if (dataBytes_ + frames * 4 > kMaxDataBytes) {
        full_ = true;
        lastError_ = path_.string() + " reached the largest size a WAV file can have";
        VPKLog(1, "WAV output: {}", lastError_);
        return;
      }
      chunk.assign(frames, 0.0f);
      if (callback_) callback_(chunk.data(), frames);
      if (std::fwrite(chunk.data(), sizeof(float), frames, file_) != frames) {
        full_ = true;
        lastError_ = "cannot write " + path_.string() + ": " + std::strerror(errno);
        VPKLog(1, "WAV output: {}", lastError_);
        return;
      }
      framesThisRun_ += frames;
      dataBytes_ += frames * 4;
    }
  }

  TimerSourcePtr stopLocked() {
    if (!running_) return nullptr;
    pumpLocked();
    running_ = false;
    return std::move(source_);
  }

  int writeHeaderLocked() {
    unsigned char h[kHeaderBytes];
    header(h, static_cast<uint32_t>(std::lround(format_.sampleRate)), static_cast<uint32_t>(dataBytes_));
    const long end = std::ftell(file_);
    bool ok = std::fseek(file_, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    if (ok && end > static_cast<long>(kHeaderBytes)) ok = std::fseek(file_, end, SEEK_SET) == 0;
    ok = ok && std::fflush(file_) == 0;
    return ok ? kAudioStatusOK : fail(kAudioStatusFileError, "cannot write " + path_.string() + ": " + std::strerror(errno));
  }

  std::filesystem::path path_;
  DispatchQueuePtr queue_;
  mutable std::mutex mutex_;
  RenderCallback callback_;
  AudioStreamFormat format_;
  std::FILE* file_ = nullptr;
  TimerSourcePtr source_;
  bool running_ = false;
  bool full_ = false;
  double startTime_ = 0;
  uint64_t framesThisRun_ = 0;
  uint64_t dataBytes_ = 0;
  std::string lastError_;
};

}  // namespace

std::shared_ptr<WavFileOutput> WavFileOutput::create(std::filesystem::path path) {
  return std::make_shared<WavFileOutput>(std::move(path));
}

WavFileOutput::WavFileOutput(std::filesystem::path path) : path_(std::move(path)) {}

std::shared_ptr<AudioOutputUnit> WavFileOutput::createInstance() { return std::make_shared<WavFileUnit>(path_); }

std::string WavFileOutput::name() const { return "WAV file " + path_.string(); }

}  // namespace vpk
