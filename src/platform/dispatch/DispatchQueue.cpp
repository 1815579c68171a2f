#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/ThreadContext.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vpk {

namespace {

// The queues whose tasks run on this thread, innermost last.
thread_local std::vector<DispatchQueue*> tCurrentQueues;

struct CurrentQueueFrame {
  explicit CurrentQueueFrame(DispatchQueue* q) { tCurrentQueues.push_back(q); }
  ~CurrentQueueFrame() { tCurrentQueues.pop_back(); }
};

void runGuarded(const Task& task, const std::string& label) {
  try {
    task();
  } catch (const std::exception& e) {
    VPKLog(1, "Dispatch: a task on queue '{}' threw and was stopped: {}", label, e.what());
  } catch (...) {
    VPKLog(1, "Dispatch: a task on queue '{}' threw and was stopped", label);
  }
}

class SerialQueue final : public DispatchQueue, public detail::BlockableQueue {
 public:
  SerialQueue(std::string label, QueuePriority p) : DispatchQueue(Kind::Serial, std::move(label)), priority_(p) {}

  void async(Task task) override {
    if (!task) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (blockedDepth_ == 0) detail::Activity::instance().add();  // else counted at the resumption
    tasks_.push_back(std::move(task));
    if (scheduled_) return;
    scheduled_ = true;
    lock.unlock();
    submit();
  }

  void setTargetPriority(QueuePriority p) override { priority_.store(p); }
  QueuePriority targetPriority() const override { return priority_.load(); }

 private:
  void submit() {
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    detail::Pool::instance().submit(priority_.load(), [self] { self->drain(); });
  }

  void drain() {
    // Run a batch, then go back to the pool so that other queues get their turn.
    for (int i = 0; i < 64; ++i) {
      Task task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty()) {
          scheduled_ = false;
          return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      detail::BlockableQueue::Scope scope(this);
      runTask(task);
    }
    submit();
  }

  // The queued tasks stop counting while the running one is blocked (nested waits count once).
  void runningTaskBlocked() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blockedDepth_++ == 0 && !tasks_.empty()) detail::Activity::instance().remove(long(tasks_.size()));
  }
  void runningTaskResumed() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--blockedDepth_ == 0 && !tasks_.empty()) detail::Activity::instance().add(long(tasks_.size()));
  }

  std::mutex mutex_;
  std::deque<Task> tasks_;
  int blockedDepth_ = 0;
  bool scheduled_ = false;
  std::atomic<QueuePriority> priority_;
};

class ConcurrentQueue final : public DispatchQueue {
 public:
  ConcurrentQueue(std::string label, QueuePriority p, bool global)
      : DispatchQueue(Kind::Concurrent, std::move(label)), priority_(p), global_(global) {}

  void async(Task task) override {
    if (!task) return;
    detail::Activity::instance().add();
    auto self = shared_from_this();
    detail::Pool::instance().submit(priority_.load(), [self, t = std::move(task)]() mutable {
      static_cast<ConcurrentQueue*>(self.get())->runTask(t);
    });
  }

  void setTargetPriority(QueuePriority p) override {
    if (!global_) priority_.store(p);
  }
  QueuePriority targetPriority() const override { return priority_.load(); }

 private:
  std::atomic<QueuePriority> priority_;
  bool global_;
};

class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : DispatchQueue(Kind::Main, "com.vemra.vpk.main") {}

  void async(Task task) override {
    if (!task) return;
    std::function<void(std::function<void()>)> exec;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
      exec = executor_;
      cv_.notify_all();
    }
    if (exec) exec([] { detail::drainMainQueue(); });
    detail::Activity::instance().poke();
  }

  size_t drain() {
    detail::markMainThread();
    size_t n;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      n = tasks_.size();
    }
    size_t ran = 0;
    for (; ran < n; ++ran) {
      Task task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty()) break;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      runTask(task);
    }
    return ran;
  }

  bool empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.empty();
  }

  void run() {
    detail::markMainThread();
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
        if (stop_) {
          stop_ = false;
          return;
        }
      }
      drain();
    }
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }

  bool runUntil(const std::function<bool()>& done, double realSeconds) {
    detail::markMainThread();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(0.0, realSeconds)));
    for (;;) {
      drain();
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return done();
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, std::chrono::milliseconds(2), [this] { return !tasks_.empty(); });
    }
  }

  void setExecutor(std::function<void(std::function<void()>)> exec) {
    size_t waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      executor_ = std::move(exec);
      waiting = executor_ ? tasks_.size() : 0;
    }
    if (waiting) {
      std::function<void(std::function<void()>)> e;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        e = executor_;
      }
      if (e) e([] { detail::drainMainQueue(); });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  std::function<void(std::function<void()>)> executor_;
  bool stop_ = false;
};

std::shared_ptr<MainQueue>& mainQueue() {
  static auto* q = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return *q;
}

}  // namespace

// ---------------------------------------------------------------- DispatchQueue

struct DispatchQueue::Specifics {
  mutable std::mutex mutex;
  std::unordered_map<const void*, void*> values;
};

DispatchQueue::DispatchQueue(Kind kind, std::string label)
    : kind_(kind), label_(std::move(label)), specifics_(std::make_unique<Specifics>()) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label, QueuePriority priority) {
  return std::make_shared<SerialQueue>(std::move(label), priority);
}

std::shared_ptr<DispatchQueue> DispatchQueue::createConcurrent(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label), QueuePriority::Default, false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QueuePriority priority) {
  static auto* queues = new std::shared_ptr<DispatchQueue>[4]{
      std::make_shared<ConcurrentQueue>("com.vemra.vpk.global.background", QueuePriority::Background, true),
      std::make_shared<ConcurrentQueue>("com.vemra.vpk.global.low", QueuePriority::Low, true),
      std::make_shared<ConcurrentQueue>("com.vemra.vpk.global.default", QueuePriority::Default, true),
      std::make_shared<ConcurrentQueue>("com.vemra.vpk.global.high", QueuePriority::High, true)};
  int i = std::clamp(static_cast<int>(priority), 0, 3);
  return queues[i];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() { return mainQueue(); }

DispatchQueue* DispatchQueue::current() { return tCurrentQueues.empty() ? nullptr : tCurrentQueues.back(); }

bool DispatchQueue::isCurrent() const {
  return std::find(tCurrentQueues.begin(), tCurrentQueues.end(), this) != tCurrentQueues.end();
}

void DispatchQueue::runTask(Task& task) {
  const bool counted = kind_ != Kind::Main;
  CurrentQueueFrame frame(this);
  if (counted) detail::Activity::setThreadCounted(1);
  runGuarded(task, label_);
  task = nullptr;  // captured state dies while the work still counts as running
  if (counted) {
    detail::Activity::setThreadCounted(-1);
    detail::Activity::instance().remove();
  }
}

void DispatchQueue::sync(const Task& task) {
  if (!task) return;
  if (isCurrent() || (kind_ == Kind::Main && detail::isMainThread())) {
    CurrentQueueFrame frame(this);
    runGuarded(task, label_);
    return;
  }
  auto slot = std::make_shared<detail::WaitSlot>();
  struct Waker {
    std::shared_ptr<detail::WaitSlot> slot;
    ~Waker() { slot->wake(detail::WaitSlot::Result::Signalled); }
  };
  async([&task, slot] {
    Waker waker{slot};
    task();
  });
  detail::WaitSlot::blockOn(slot, kWaitForever);
}

void DispatchQueue::after(double seconds, Task task) {
  if (!task) return;
  if (!(seconds > 0)) {  // zero, negative and NaN delays mean "now"
    async(std::move(task));
    return;
  }
  const double deadline = Clock::timestamp() + seconds;
  auto self = shared_from_this();
  detail::Scheduler::instance().schedule(deadline, [self, t = std::move(task)]() mutable { self->async(std::move(t)); });
}

void DispatchQueue::setTargetPriority(QueuePriority) {}
QueuePriority DispatchQueue::targetPriority() const { return QueuePriority::Default; }

void DispatchQueue::setSpecific(const void* key, void* value) {
  std::lock_guard<std::mutex> lock(specifics_->mutex);
  if (value)
    specifics_->values[key] = value;
  else
    specifics_->values.erase(key);
}

void* DispatchQueue::getSpecific(const void* key) const {
  std::lock_guard<std::mutex> lock(specifics_->mutex);
  auto it = specifics_->values.find(key);
  return it == specifics_->values.end() ? nullptr : it->second;
}

void* DispatchQueue::currentSpecific(const void* key) {
  DispatchQueue* q = current();
  return q ? q->getSpecific(key) : nullptr;
}

void DispatchQueue::runMain() { mainQueue()->run(); }
void DispatchQueue::stopMain() { mainQueue()->stop(); }
size_t DispatchQueue::drainMain() { return mainQueue()->drain(); }
bool DispatchQueue::runMainUntil(const std::function<bool()>& done, double realSeconds) {
  return mainQueue()->runUntil(done, realSeconds);
}
void DispatchQueue::setMainExecutor(std::function<void(std::function<void()>)> executor) {
  mainQueue()->setExecutor(std::move(executor));
}

void dispatchApply(size_t count, const std::function<void(size_t)>& body, QueuePriority priority) {
  if (count == 0 || !body) return;
  if (count == 1) {
    body(0);
    return;
  }
  const size_t workers = std::min<size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<size_t> next{0};
  auto loop = [&] {
    for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) body(i);
  };
  DispatchGroup group;
  auto queue = DispatchQueue::global(priority);
  for (size_t w = 1; w < workers; ++w) group.async(queue, loop);
  loop();
  group.wait();
}

namespace detail {

size_t drainMainQueue() { return mainQueue()->drain(); }
bool mainQueueEmpty() { return mainQueue()->empty(); }

}  // namespace detail

}  // namespace vpk
