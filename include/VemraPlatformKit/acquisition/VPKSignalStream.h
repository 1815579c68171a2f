#pragma once
/// @file VPKSignalStream.h
/// One headband's signal: 20-byte notification packets in, timestamped left/right samples
/// out to a sorted list of outputs.
///
/// Packet (20 bytes):
///   byte 0      kind: 0xA0 data (startByte), 0xFE accelerometer (accelerometerByte),
///               0xFF battery (batteryByte)
///   byte 1      not interpreted
///   bytes 2-19  three samples, each left then right, each value 24 bits unsigned, most
///               significant byte first; value x 0.047683723 (single precision) gives the
///               float handed to outputs (full scale just above 800000)
/// A data packet carries 12 ms of signal: its three pairs are stamped now - 0.008,
/// now - 0.004 and now (library clock, seconds since 2001-01-01 00:00:00 UTC). Other kinds
/// and wrong lengths are logged and produce no values; every packet, corrupt or not, is
/// forwarded raw to the outputs (didRecieveData) and to the delegate.
///
/// Pacing: processData(packet) decodes at once (direct path), or, with latency correction
/// enabled, queues the packet and releases one per 4 ms tick of a timer on the shared
/// queue, speeding the timer up (4 ms without leeway, then 1 ms) or flushing the queue
/// when packets pile up during Bluetooth bursts. packetLatency() estimates the resulting
/// delay in milliseconds.
///
/// Threads: all state belongs to the library's shared work queue
/// (VPKResourceManager::sharedQueue()). Every operation may be called from any thread: it
/// runs on the shared queue and waits, or runs inline when the caller already works there,
/// so outputs may call the stream from their callbacks. latencyCorrectionEnabled and
/// packetLatency are guarded by their own spin lock instead. Outputs are called on the
/// shared queue; the delegate on the main queue unless it asks for the shared queue.
///
/// Ownership: create streams with create(); the stream holds its outputs strongly and its
/// delegate and device weakly. The pacing timer refers to the stream weakly and is
/// cancelled when the stream is destroyed. Outputs that kept the stream weakly see the
/// reference expire; the destructor makes no calls to outputs.
///
/// Name mapping:
///   initWithStreamType:                -> create(streamType)
///   opened / isOpened, streamOpened    -> isOpened()
///   dataBuffer                         -> pendingPacketCount() (the packets stay private)
///   processData: / processData         -> processData(packet) / processData()
///   performBlock: / performBlockAndWait: -> performBlock(task) / performBlockAndWait(task)
///   isCurrentlyExecutingInBufferQueue  -> isCurrentlyExecutingInBufferQueue()

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/acquisition/VPKSignalStreamDelegate.h>
#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class VPKPeripheral;

namespace vpk::detail {
struct SignalStreamAccess;
}

class VPK_EXPORT VPKSignalStream : public std::enable_shared_from_this<VPKSignalStream> {
  struct Token {
    explicit Token() = default;
  };

 public:
  /// Length of every well-formed packet.
  static constexpr size_t kPacketLength = 20;
  using Packet = std::array<uint8_t, kPacketLength>;

  /// A closed stream with no outputs, latency correction off and no timer. The library
  /// passes stream type 0; the value does not change the stream's behaviour.
  static std::shared_ptr<VPKSignalStream> create(long streamType = 0);
  /// Logs "Dealloc:VPKSignalStream" (level 0) and cancels the pacing timer.
  ~VPKSignalStream();
  VPKSignalStream(const VPKSignalStream&) = delete;
  VPKSignalStream& operator=(const VPKSignalStream&) = delete;

  // ---- class constants (each a byte string; views of static storage) ----
  static std::span<const uint8_t> startByte();          ///< 0xA0
  static std::span<const uint8_t> accelerometerByte();  ///< 0xFE
  static std::span<const uint8_t> batteryByte();        ///< 0xFF
  static std::span<const uint8_t> endByte();            ///< 0xC0
  static std::span<const uint8_t> headerStart();        ///< "<h>"
  static std::span<const uint8_t> headerEnd();          ///< "<h/>"

  /// A synthetic data packet: 0xA0, 0, then three left and three right values, each
  /// Gaussian noise (about 2345 counts, 112 after scaling, standard deviation) plus a small
  /// sine whose phase advances 2*pi/25 per value and is shared by every call in the
  /// process, folded to positive values. Callable from any thread.
  static Packet generateSimulatedPacket();
  /// Restarts the simulated-packet generator from `seed` and its shared phase from 0, so
  /// that the packets generated afterwards are the same in every run (replays, tests).
  /// Callable from any thread.
  static void seedSimulatedPacketGenerator(uint64_t seed);

  // ---- properties (read and written on the shared queue) ----
  long streamType() const;
  /// The owning peripheral's identifier.
  std::string identifier() const;
  void setIdentifier(std::string identifier);
  /// The headband's name as the Bluetooth peripheral reports it.
  std::string name() const;
  void setName(std::string name);
  /// The owning peripheral (weak); nullptr once it is gone.
  std::shared_ptr<VPKPeripheral> device() const;
  void setDevice(std::weak_ptr<VPKPeripheral> device);
  /// The application delegate (weak); nullptr when none or gone.
  std::shared_ptr<VPKSignalStreamDelegate> delegate() const;
  void setDelegate(std::weak_ptr<VPKSignalStreamDelegate> delegate);
  /// Whether the first packet since the last reset has been seen.
  bool notifyRecievedFirstData() const;
  void setNotifyRecievedFirstData(bool seen);

  // ---- life cycle ----
  /// Opens the stream; outputs get streamDidOpen() when it was closed.
  void open();
  /// Closes the stream; outputs get streamDidClose() when it was open. Packets arriving
  /// while closed are dropped; queued ones are discarded on the next timer tick.
  void close();
  /// Forgets the first-packet flag and every pacing state: latency 0, a fresh delay
  /// average, no previous packet, timer cancelled, queued packets discarded. The open flag
  /// and the outputs are kept.
  void reset();
  bool isOpened() const;

  // ---- outputs ----
  /// Appends `output` (once; a second add only re-sorts) after giving it the stream
  /// through setStream(), then sorts the list. nullptr is ignored.
  void addOutput(const VPKSignalStreamOutputPtr& output);
  /// When `output` is in the list: willBeRemovedFromStream(), setStream(nullptr), removal,
  /// re-sort. Outputs that are not in the list (or nullptr) are left alone.
  void removeOutput(const VPKSignalStreamOutputPtr& output);
  /// removeOutput for each listed output that is in the list, in the given order.
  void removeOutputs(const std::vector<VPKSignalStreamOutputPtr>& outputs);
  /// Removes every output, in list order.
  void removeAllOutputs();
  /// A copy of the output list, sorted.
  std::vector<VPKSignalStreamOutputPtr> allOutputs() const;

  // ---- packets and pacing ----
  /// Entry point for every notification payload whose first byte is 0xA0 or 0xFE.
  /// Returns the seconds since the previous packet arrived (0 for the first packet after a
  /// reset), or 0 when the stream is closed (the packet is then dropped).
  double processData(std::span<const uint8_t> packet);
  /// One tick of the pacing timer: decodes the oldest queued packet, updates the latency
  /// estimate and adjusts the timer to the queue's length.
  void processData();
  /// Creates and starts the pacing timer (4 ms, 1 ms leeway) if there is none, running
  /// one tick at once.
  void setupTimerIfNeeded();

  /// Queue arriving packets and release them from the timer (default false). Any thread.
  bool latencyCorrectionEnabled() const;
  void setLatencyCorrectionEnabled(bool enabled);
  /// Latest latency estimate in milliseconds (0 after reset). Any thread.
  double packetLatency() const;
  void setPacketLatency(double milliseconds);

  /// Packets waiting for the timer.
  size_t pendingPacketCount() const;
  /// Arrival time of the previous packet (nullopt before the first since reset).
  std::optional<double> lastPacketDate() const;
  /// Seconds between the previous packet's arrival and the latest one's.
  double currentDelay() const;
  /// A copy of the moving average (period 48) of the gaps between packets.
  VPKMovingAverage bleDelayAverage() const;
  /// The running pacing timer (nullptr in the direct path).
  vpk::TimerSourcePtr processingTimer() const;
  /// Nominal timer interval in milliseconds: 4 once the timer ran at its normal rate.
  double currentTimeInterval() const;
  /// True while the timer runs at a compensating rate.
  bool compensatingForTimeLockFailure() const;

  // ---- the shared queue ----
  /// Runs `task` asynchronously on the shared queue (empty tasks are ignored).
  static void performBlock(vpk::Task task);
  /// Runs `task` on the shared queue and waits (inline when already there).
  static void performBlockAndWait(const vpk::Task& task);
  /// Whether the caller runs on the shared queue (or in its context).
  static bool isCurrentlyExecutingInBufferQueue();

  explicit VPKSignalStream(Token, long streamType);  // use create()

 private:
  friend struct vpk::detail::SignalStreamAccess;
  struct Impl;

  void decodePacket(std::span<const uint8_t> packet, double now);
  void deliverValues(const uint8_t* packet, double now, const std::vector<VPKSignalStreamOutputPtr>& outputs,
                     uint64_t since);
  void notifyBeganStreaming();
  void notifyRecievedData(std::span<const uint8_t> packet, const std::vector<VPKSignalStreamOutputPtr>& outputs,
                          uint64_t since);
  void sortOutputs();
  void removeListed(const std::vector<VPKSignalStreamOutputPtr>& candidates);
  double arrive(std::span<const uint8_t> packet);
  void startTimer();
  void tick();
  void decodeAllWaiting();
  void armTimer(double intervalSeconds, double leewaySeconds);
  void releaseTimer();

  std::unique_ptr<Impl> d_;
};

using VPKSignalStreamPtr = std::shared_ptr<VPKSignalStream>;
