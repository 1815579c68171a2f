#include <VemraPlatformKit/acquisition/VPKSignalStream.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "acquisition/PacketFormat.h"
#include "acquisition/PacketQueue.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

namespace {

using vpk::detail::kPacketLength;
using OutputList = std::vector<VPKSignalStreamOutputPtr>;

constexpr double kSampleSpacing = 0.004;  // 250 samples per second
constexpr uint64_t kDelayAveragePeriod = 48;
constexpr size_t kOutputCapacity = 5;
constexpr size_t kBufferCapacity = 100;

// Pacing timer settings (seconds).
constexpr double kTickInterval = 0.004;
constexpr double kNormalLeeway = 0.001;
constexpr double kSevereInterval = 0.001;
constexpr double kNominalIntervalMs = 4.0;

// Packets still waiting after a tick that call for action.
constexpr size_t kCriticalBacklog = 11;
constexpr size_t kSevereBacklog = 6;
constexpr size_t kTimelockBacklog = 4;

class SpinLock {
 public:
  void lock() const {
    while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() const { flag_.clear(std::memory_order_release); }

 private:
  mutable std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// Runs one call into an output or the delegate; a callee that throws is logged and
// skipped so that the stream's own state stays whole.
template <typename F>
void guarded(const char* what, F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    VPKLog(1, "Signal stream: a listener threw in {}: {}", what, e.what());
  } catch (...) {
    VPKLog(1, "Signal stream: a listener threw in {}", what);
  }
}

constexpr uint8_t kStartBytes[] = {vpk::detail::kDataKind};
constexpr uint8_t kAccelerometerBytes[] = {vpk::detail::kAccelerometerKind};
constexpr uint8_t kBatteryBytes[] = {vpk::detail::kBatteryKind};
constexpr uint8_t kEndBytes[] = {vpk::detail::kEndByte};
constexpr uint8_t kHeaderStart[] = {'<', 'h', '>'};
constexpr uint8_t kHeaderEnd[] = {'<', 'h', '/', '>'};

}  // namespace

// ---------------------------------------------------------------- state

struct VPKSignalStream::Impl {
  explicit Impl(long type) : streamType(type), queue(VPKResourceManager::sharedQueue()) {
    OutputList empty;
    empty.reserve(kOutputCapacity);
    outputs = std::make_shared<const OutputList>(std::move(empty));
  }

  // Runs `f` on the shared queue and returns its result (inline when already there).
  template <typename F>
  auto run(F&& f) const -> decltype(f()) {
    if (queue->isCurrent()) return f();
    return vpkrsrc_return_sync(std::forward<F>(f));
  }

  // The output list is replaced, never changed in place: a fan-out walks the snapshot it
  // started with, which stays alive however callbacks change the list. Every change bumps
  // `version`; while it is unchanged, no membership test is needed during a fan-out.
  void install(OutputList list) {
    outputs = std::make_shared<const OutputList>(std::move(list));
    ++version;
  }
  bool beingRemoved(const VPKSignalStreamOutput* o) const {
    return std::find(removing.begin(), removing.end(), o) != removing.end();
  }
  bool listed(const VPKSignalStreamOutput* o) const {
    return std::any_of(outputs->begin(), outputs->end(), [o](const auto& x) { return x.get() == o; });
  }
  // Still to be called: in the list and not on its way out.
  bool live(const VPKSignalStreamOutput* o, uint64_t since) const {
    return version == since || (listed(o) && !beingRemoved(o));
  }
  template <typename F>
  void forEachOutput(const char* what, const OutputList& list, uint64_t since, F&& call) {
    for (const auto& o : list) {
      if (!live(o.get(), since)) continue;
      guarded(what, [&] { call(*o); });
    }
  }
  template <typename F>
  void forEachOutput(const char* what, F&& call) {
    const std::shared_ptr<const OutputList> snapshot = outputs;
    forEachOutput(what, *snapshot, version, std::forward<F>(call));
  }

  const long streamType;
  const vpk::DispatchQueuePtr queue;

  std::string identifier;
  std::string name;
  std::weak_ptr<VPKPeripheral> device;

  // The delegate as the shared queue reads it, and a copy under a mutex for calls posted
  // to the main queue (which look it up when they run).
  std::weak_ptr<VPKSignalStreamDelegate> delegate;
  mutable std::mutex postedDelegateMutex;
  std::weak_ptr<VPKSignalStreamDelegate> postedDelegate;

  bool opened = false;
  bool notifyRecievedFirstData = false;

  std::shared_ptr<const OutputList> outputs;
  uint64_t version = 0;
  std::vector<const VPKSignalStreamOutput*> removing;  // between willBeRemoved and removal

  vpk::detail::PacketQueue dataBuffer{kBufferCapacity};
  std::optional<double> lastPacketDate;
  double currentDelay = 0;
  VPKMovingAverage bleDelayAverage{kDelayAveragePeriod};
  vpk::TimerSourcePtr processingTimer;
  double currentTimeInterval = 0;
  bool compensating = false;

  SpinLock varLock;  // guards the two fields below only
  bool latencyCorrectionEnabled = false;
  double packetLatency = 0;
};

// ---------------------------------------------------------------- construction

VPKSignalStream::VPKSignalStream(Token, long streamType) : d_(std::make_unique<Impl>(streamType)) {}

std::shared_ptr<VPKSignalStream> VPKSignalStream::create(long streamType) {
  return std::make_shared<VPKSignalStream>(Token{}, streamType);
}

VPKSignalStream::~VPKSignalStream() {
  VPKLog(0, "Dealloc:VPKSignalStream");
  if (d_->processingTimer) d_->processingTimer->cancel();
}

std::span<const uint8_t> VPKSignalStream::startByte() { return kStartBytes; }
std::span<const uint8_t> VPKSignalStream::accelerometerByte() { return kAccelerometerBytes; }
std::span<const uint8_t> VPKSignalStream::batteryByte() { return kBatteryBytes; }
std::span<const uint8_t> VPKSignalStream::endByte() { return kEndBytes; }
std::span<const uint8_t> VPKSignalStream::headerStart() { return kHeaderStart; }
std::span<const uint8_t> VPKSignalStream::headerEnd() { return kHeaderEnd; }

// ---------------------------------------------------------------- properties

long VPKSignalStream::streamType() const { return d_->streamType; }

std::string VPKSignalStream::identifier() const {
  return d_->run([&] { return d_->identifier; });
}
void VPKSignalStream::setIdentifier(std::string identifier) {
  d_->run([&] { d_->identifier = std::move(identifier); });
}
std::string VPKSignalStream::name() const {
  return d_->run([&] { return d_->name; });
}
void VPKSignalStream::setName(std::string name) {
  d_->run([&] { d_->name = std::move(name); });
}
std::shared_ptr<VPKPeripheral> VPKSignalStream::device() const {
  return d_->run([&] { return d_->device.lock(); });
}
void VPKSignalStream::setDevice(std::weak_ptr<VPKPeripheral> device) {
  d_->run([&] { d_->device = std::move(device); });
}
std::shared_ptr<VPKSignalStreamDelegate> VPKSignalStream::delegate() const {
  std::lock_guard<std::mutex> lock(d_->postedDelegateMutex);
  return d_->postedDelegate.lock();
}
void VPKSignalStream::setDelegate(std::weak_ptr<VPKSignalStreamDelegate> delegate) {
  d_->run([&] {
    d_->delegate = delegate;
    std::lock_guard<std::mutex> lock(d_->postedDelegateMutex);
    d_->postedDelegate = std::move(delegate);
  });
}
bool VPKSignalStream::notifyRecievedFirstData() const {
  return d_->run([&] { return d_->notifyRecievedFirstData; });
}
void VPKSignalStream::setNotifyRecievedFirstData(bool seen) {
  d_->run([&] { d_->notifyRecievedFirstData = seen; });
}

// ---------------------------------------------------------------- life cycle

void VPKSignalStream::open() {
  d_->run([&] {
    const bool was = std::exchange(d_->opened, true);
    if (!was) d_->forEachOutput("streamDidOpen", [&](VPKSignalStreamOutput& o) { o.streamDidOpen(*this); });
  });
}

void VPKSignalStream::close() {
  d_->run([&] {
    const bool was = std::exchange(d_->opened, false);
    if (was) d_->forEachOutput("streamDidClose", [&](VPKSignalStreamOutput& o) { o.streamDidClose(*this); });
  });
}

void VPKSignalStream::reset() {
  d_->run([&] {
    d_->notifyRecievedFirstData = false;
    setPacketLatency(0);
    d_->bleDelayAverage = VPKMovingAverage(kDelayAveragePeriod);
    // The gap to a packet from before the reset says nothing about the link now.
    d_->lastPacketDate.reset();
    releaseTimer();
    d_->dataBuffer.clear();
  });
}

bool VPKSignalStream::isOpened() const {
  return d_->run([&] { return d_->opened; });
}

// ---------------------------------------------------------------- outputs

void VPKSignalStream::addOutput(const VPKSignalStreamOutputPtr& output) {
  if (!output) return;
  const VPKSignalStreamOutputPtr keep = output;
  d_->run([&] {
    if (!d_->listed(keep.get())) {
      auto self = shared_from_this();
      guarded("setStream", [&] { keep->setStream(self); });
      if (!d_->listed(keep.get())) {  // setStream may have added it already
        OutputList list = *d_->outputs;
        list.push_back(keep);
        d_->install(std::move(list));
      }
    }
    sortOutputs();
  });
}

void VPKSignalStream::removeOutput(const VPKSignalStreamOutputPtr& output) {
  if (!output) return;
  removeOutputs({output});
}

void VPKSignalStream::removeOutputs(const std::vector<VPKSignalStreamOutputPtr>& outputs) {
  const OutputList keep = outputs;  // the caller's list may be what a callback changes
  d_->run([&] { removeListed(keep); });
}

void VPKSignalStream::removeAllOutputs() {
  d_->run([&] {
    const std::shared_ptr<const OutputList> snapshot = d_->outputs;
    removeListed(*snapshot);
  });
}

void VPKSignalStream::removeListed(const OutputList& candidates) {
  OutputList leaving;
  for (const auto& o : candidates) {
    if (!o || !d_->listed(o.get()) || d_->beingRemoved(o.get())) continue;
    if (std::find(leaving.begin(), leaving.end(), o) != leaving.end()) continue;
    leaving.push_back(o);
  }
  if (leaving.empty()) return;
  for (const auto& o : leaving) d_->removing.push_back(o.get());
  ++d_->version;  // fan-outs in progress skip outputs on their way out
  for (const auto& o : leaving) {
    guarded("willBeRemovedFromStream", [&] { o->willBeRemovedFromStream(*this); });
    guarded("setStream", [&] { o->setStream(nullptr); });
  }
  // Callbacks may have changed the list meanwhile: remove exactly the leaving outputs
  // from the list as it is now.
  OutputList list;
  list.reserve(std::max(d_->outputs->size(), kOutputCapacity));
  for (const auto& o : *d_->outputs)
    if (std::find(leaving.begin(), leaving.end(), o) == leaving.end()) list.push_back(o);
  d_->install(std::move(list));
  for (const auto& o : leaving) std::erase(d_->removing, o.get());
  sortOutputs();
}

std::vector<VPKSignalStreamOutputPtr> VPKSignalStream::allOutputs() const {
  return d_->run([&] { return *d_->outputs; });
}

void VPKSignalStream::sortOutputs() {
  const uint64_t since = d_->version;
  const std::shared_ptr<const OutputList> snapshot = d_->outputs;
  std::vector<std::pair<uint64_t, VPKSignalStreamOutputPtr>> keyed;
  keyed.reserve(snapshot->size());
  for (const auto& o : *snapshot) {
    std::optional<uint64_t> priority;
    guarded("outputPriorityForStream", [&] { priority = o->outputPriorityForStream(*this); });
    keyed.emplace_back(priority.value_or(std::numeric_limits<uint64_t>::max()), o);
  }
  // A priority query that changed the list has sorted the newer list itself.
  if (d_->version != since) return;
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  bool inOrder = true;
  for (size_t i = 0; i < keyed.size(); ++i) inOrder = inOrder && keyed[i].second == (*snapshot)[i];
  if (inOrder) return;
  OutputList sorted;
  sorted.reserve(std::max(keyed.size(), kOutputCapacity));
  for (auto& [priority, o] : keyed) sorted.push_back(std::move(o));
  d_->install(std::move(sorted));
}

// ---------------------------------------------------------------- decoding

void VPKSignalStream::decodePacket(std::span<const uint8_t> packet, double now) {
  if (!d_->notifyRecievedFirstData) notifyBeganStreaming();
  // One snapshot serves the whole packet: outputs added while it is delivered start with
  // the next packet, outputs removed meanwhile are skipped.
  const std::shared_ptr<const OutputList> snapshot = d_->outputs;
  const uint64_t since = d_->version;
  if (packet.size() != kPacketLength) {
    VPKLog(0, "Signal stream has corrupt data, reason unkwown");
  } else {
    switch (packet[0]) {
      case vpk::detail::kBatteryKind:
        VPKLog(0, "Signal stream has corruppt data, battery packet found in headband output");
        break;
      case vpk::detail::kAccelerometerKind:
        if (VPKLogIsEnabled()) VPKLog(0, "Accelerometer data found:{}", vpk::detail::describeBytes(packet));
        break;
      case vpk::detail::kDataKind:
        deliverValues(packet.data(), now, *snapshot, since);
        break;
      default:
        VPKLog(0, "Signal stream has corrupt data, reason unkwown");
        break;
    }
  }
  notifyRecievedData(packet, *snapshot, since);
}

void VPKSignalStream::deliverValues(const uint8_t* p, double now, const OutputList& outputs, uint64_t since) {
  using vpk::detail::scaledValue;
  using vpk::detail::valueOffset;
  const float l0 = scaledValue(p + valueOffset(0, 0)), r0 = scaledValue(p + valueOffset(0, 1));
  const float l1 = scaledValue(p + valueOffset(1, 0)), r1 = scaledValue(p + valueOffset(1, 1));
  const float l2 = scaledValue(p + valueOffset(2, 0)), r2 = scaledValue(p + valueOffset(2, 1));
  const double t0 = now - 2 * kSampleSpacing;
  const double t1 = now - kSampleSpacing;

  for (const auto& output : outputs) {
    VPKSignalStreamOutput* o = output.get();
    if (!d_->live(o, since)) continue;
    guarded("didRecieveValues", [&] {
      // One output takes all three pairs before the next output gets any; it stops as
      // soon as it leaves the list.
      o->didRecieveValues(*this, l0, r0, t0, true);
      if (!d_->live(o, since)) return;
      o->didRecieveValues(*this, l1, r1, t1, true);
      if (!d_->live(o, since)) return;
      o->didRecieveValues(*this, l2, r2, now, false);
    });
  }
}

namespace {

bool deliveredInStreamQueue(VPKSignalStreamDelegate& delegate) {
  std::optional<bool> inQueue;
  guarded("requiresMethodsToBeDeliveredInStreamQueue",
          [&] { inQueue = delegate.requiresMethodsToBeDeliveredInStreamQueue(); });
  return inQueue.value_or(false);
}

}  // namespace

void VPKSignalStream::notifyBeganStreaming() {
  // Set first: a callback that resets the stream asks for the next packet to notify again.
  d_->notifyRecievedFirstData = true;
  d_->forEachOutput("streamDidBeginStreaming",
                    [&](VPKSignalStreamOutput& o) { o.streamDidBeginStreaming(*this); });
  const auto delegate = d_->delegate.lock();
  if (!delegate || delegate->skipsBeginStreaming_.load(std::memory_order_relaxed)) return;
  if (deliveredInStreamQueue(*delegate)) {
    guarded("streamDidBeginStreaming", [&] { delegate->streamDidBeginStreaming(*this); });
    return;
  }
  vpk::DispatchQueue::main()->async([weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return;
    if (const auto current = self->delegate())
      guarded("streamDidBeginStreaming", [&] { current->streamDidBeginStreaming(*self); });
  });
}

void VPKSignalStream::notifyRecievedData(std::span<const uint8_t> packet, const OutputList& outputs,
                                         uint64_t since) {
  d_->forEachOutput("didRecieveData", outputs, since,
                    [&](VPKSignalStreamOutput& o) { o.didRecieveData(*this, packet); });
  const auto delegate = d_->delegate.lock();
  if (!delegate || delegate->skipsData_.load(std::memory_order_relaxed)) return;
  if (deliveredInStreamQueue(*delegate)) {
    guarded("didRecieveData", [&] { delegate->didRecieveData(*this, packet); });
    return;
  }
  vpk::DispatchQueue::main()->async(
      [weak = weak_from_this(), bytes = std::vector<uint8_t>(packet.begin(), packet.end())] {
        const auto self = weak.lock();
        if (!self) return;
        if (const auto current = self->delegate())
          guarded("didRecieveData", [&] { current->didRecieveData(*self, bytes); });
      });
}

// ---------------------------------------------------------------- pacing

double VPKSignalStream::processData(std::span<const uint8_t> packet) {
  return d_->run([&] { return arrive(packet); });
}

void VPKSignalStream::processData() {
  d_->run([&] { tick(); });
}

void VPKSignalStream::setupTimerIfNeeded() {
  d_->run([&] { startTimer(); });
}

double VPKSignalStream::arrive(std::span<const uint8_t> packet) {
  if (!d_->opened) return 0;
  const double now = vpk::Clock::timestamp();
  const double delay = d_->lastPacketDate ? std::fabs(now - *d_->lastPacketDate) : 0.0;
  d_->currentDelay = delay;
  d_->bleDelayAverage.addValue(static_cast<float>(delay));
  d_->lastPacketDate = now;

  if (latencyCorrectionEnabled()) {
    d_->dataBuffer.push(packet);
    startTimer();
    return delay;
  }
  setPacketLatency(delay * 1000.0);
  releaseTimer();
  if (!d_->dataBuffer.empty()) {
    decodeAllWaiting();
    decodePacket(packet, vpk::Clock::timestamp());
  } else {
    decodePacket(packet, now);
  }
  return delay;
}

void VPKSignalStream::startTimer() {
  if (d_->processingTimer) return;
  auto timer = vpk::TimerSource::create(d_->queue);
  timer->setEventHandler([weak = weak_from_this()] {
    if (const auto self = weak.lock()) self->tick();
  });
  timer->schedule(0, kTickInterval, kNormalLeeway);
  d_->processingTimer = timer;
  d_->currentTimeInterval = kNominalIntervalMs;
  tick();  // the first queued packet is decoded at once
  if (d_->processingTimer == timer) timer->resume();
}

void VPKSignalStream::tick() {
  if (!d_->opened) {
    d_->dataBuffer.clear();
    return;
  }
  bool took = false;
  if (!d_->dataBuffer.empty()) {
    vpk::detail::QueuedPacket packet;
    d_->dataBuffer.pop(packet);
    decodePacket(packet.bytes(), vpk::Clock::timestamp());
    took = true;
  }
  const size_t waiting = d_->dataBuffer.size();
  const float perSample = d_->bleDelayAverage.movingAverage() * 1000.0f / 3.0f;
  setPacketLatency(static_cast<double>(perSample + perSample * static_cast<float>(waiting)));
  if (!took) return;

  if (waiting >= kCriticalBacklog) {
    VPKLog(0, "WARNING: Critical timelock failure {} pending packets.", waiting);
    const bool wasCompensating = std::exchange(d_->compensating, false);
    decodeAllWaiting();
    // The queue is empty again: a timer left at a compensating rate would keep ticking
    // fast while nothing marks it as compensating any more.
    if (wasCompensating) {
      armTimer(kTickInterval, kNormalLeeway);
      d_->currentTimeInterval = kNominalIntervalMs;
    }
  } else if (waiting >= kSevereBacklog) {
    VPKLog(0, "WARNING: Severe timelock failure {} pending packets.", waiting);
    if (!d_->compensating) {
      armTimer(kSevereInterval, 0);
      d_->compensating = true;
    }
  } else if (waiting >= kTimelockBacklog) {
    if (!d_->compensating) armTimer(kTickInterval, 0);
    VPKLog(0, "Timelock failure {} pending packets.", waiting);
    d_->compensating = true;
  } else if (waiting == 0 && d_->compensating) {
    d_->compensating = false;
    armTimer(kTickInterval, kNormalLeeway);
    d_->currentTimeInterval = kNominalIntervalMs;
  }
}

void VPKSignalStream::decodeAllWaiting() {
  // One at a time, so that a callback that resets the stream (emptying the queue) or
  // queues more packets never leaves this loop holding a stale packet.
  vpk::detail::QueuedPacket packet;
  while (!d_->dataBuffer.empty()) {
    d_->dataBuffer.pop(packet);
    decodePacket(packet.bytes(), vpk::Clock::timestamp());
  }
}

void VPKSignalStream::armTimer(double interval, double leeway) {
  if (d_->processingTimer) d_->processingTimer->schedule(0, interval, leeway);
}

void VPKSignalStream::releaseTimer() {
  if (d_->processingTimer) {
    d_->processingTimer->cancel();
    d_->processingTimer.reset();
  }
  d_->compensating = false;  // it described the timer just released
}

bool VPKSignalStream::latencyCorrectionEnabled() const {
  std::lock_guard<SpinLock> lock(d_->varLock);
  return d_->latencyCorrectionEnabled;
}

void VPKSignalStream::setLatencyCorrectionEnabled(bool enabled) {
  std::lock_guard<SpinLock> lock(d_->varLock);
  d_->latencyCorrectionEnabled = enabled;
}

double VPKSignalStream::packetLatency() const {
  std::lock_guard<SpinLock> lock(d_->varLock);
  return d_->packetLatency;
}

void VPKSignalStream::setPacketLatency(double milliseconds) {
  std::lock_guard<SpinLock> lock(d_->varLock);
  d_->packetLatency = milliseconds;
}

size_t VPKSignalStream::pendingPacketCount() const {
  return d_->run([&] { return d_->dataBuffer.size(); });
}
std::optional<double> VPKSignalStream::lastPacketDate() const {
  return d_->run([&] { return d_->lastPacketDate; });
}
double VPKSignalStream::currentDelay() const {
  return d_->run([&] { return d_->currentDelay; });
}
VPKMovingAverage VPKSignalStream::bleDelayAverage() const {
  std::optional<VPKMovingAverage> copy;
  d_->run([&] { copy = d_->bleDelayAverage; });
  return *copy;
}
vpk::TimerSourcePtr VPKSignalStream::processingTimer() const {
  return d_->run([&] { return d_->processingTimer; });
}
double VPKSignalStream::currentTimeInterval() const {
  return d_->run([&] { return d_->currentTimeInterval; });
}
bool VPKSignalStream::compensatingForTimeLockFailure() const {
  return d_->run([&] { return d_->compensating; });
}

// ---------------------------------------------------------------- the shared queue

void VPKSignalStream::performBlock(vpk::Task task) { VPKResourceManager::performBlock(std::move(task)); }

void VPKSignalStream::performBlockAndWait(const vpk::Task& task) { VPKResourceManager::performBlockAndWait(task); }

bool VPKSignalStream::isCurrentlyExecutingInBufferQueue() { return VPKResourceManager::executingInContext(); }
