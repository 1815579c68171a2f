#pragma once
/// @file MotionSource.h
/// Accelerometer samples for the shake-to-search gesture: the library's stand-in for the
/// platform's motion manager.
///
/// Two sources:
/// - IIOMotionSource reads the machine's accelerometer through the Linux industrial-I/O
///   sysfs files: acceleration on an axis = in_accel_<axis>_raw x in_accel_scale (or the
///   axis's own in_accel_<axis>_scale), in m/s^2, reported in g (/ 9.80665). The first
///   device under /sys/bus/iio/devices with an in_accel_x_raw file is used; a machine
///   without one has no accelerometer (isAvailable() false, start() does nothing).
/// - ScriptedMotionSource delivers the samples a test or a demo hands it (inject()).
///
/// Threads: start() and stop() may be called from any thread. Samples are delivered on the
/// queue given to start(), one at a time (the queue should be serial); no sample is
/// delivered after stop() returns, except one whose delivery had already started.
/// Timing follows the library clock.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace vpk {

/// One accelerometer reading, in g, with its library-clock time.
struct AccelerometerSample {
  double x = 0;
  double y = 0;
  double z = 0;
  double timestamp = 0;
};

class VPK_EXPORT MotionSource {
 public:
  using Handler = std::function<void(const AccelerometerSample& sample)>;
  virtual ~MotionSource();
  virtual bool isAvailable() const = 0;
  /// Starts (or restarts) delivering samples every `interval` seconds to `handler` on `queue`.
  virtual void start(double interval, DispatchQueuePtr queue, Handler handler) = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;

  /// The machine's accelerometer when it has one, else a scripted source that stays silent.
  static std::shared_ptr<MotionSource> createDefault();
};

using MotionSourcePtr = std::shared_ptr<MotionSource>;

class VPK_EXPORT IIOMotionSource : public MotionSource {
 public:
  /// The device folder (e.g. /sys/bus/iio/devices/iio:device0), or nullptr when
  /// `devicesRoot` holds no accelerometer.
  static std::shared_ptr<IIOMotionSource> find(const std::filesystem::path& devicesRoot = "/sys/bus/iio/devices");
  explicit IIOMotionSource(std::filesystem::path device);
  ~IIOMotionSource() override;

  bool isAvailable() const override;
  void start(double interval, DispatchQueuePtr queue, Handler handler) override;
  void stop() override;
  bool isActive() const override;
  /// One reading now; nullopt when the files cannot be read or parsed.
  std::optional<AccelerometerSample> read() const;

 private:
  std::filesystem::path device_;
  mutable std::mutex mutex_;
  TimerSourcePtr timer_;
};

class VPK_EXPORT ScriptedMotionSource : public MotionSource {
 public:
  bool isAvailable() const override { return true; }
  void start(double interval, DispatchQueuePtr queue, Handler handler) override;
  void stop() override;
  bool isActive() const override;
  /// Delivers `sample` (timestamp set to now when 0) to the handler on its queue, when active.
  void inject(AccelerometerSample sample);
  /// The interval start() was given last.
  double interval() const;

 private:
  mutable std::mutex mutex_;
  DispatchQueuePtr queue_;
  std::shared_ptr<Handler> handler_;
  double interval_ = 0;
};

}  // namespace vpk
