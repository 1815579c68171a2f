#include <VemraPlatformKit/platform/dispatch/Thread.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vpk {

struct Thread::Start {
  Thread* thread;
  std::function<void()> body;
  int nice;
};

Thread::Thread(std::string name, size_t stackSize) : name_(std::move(name)), stackSize_(stackSize) {}

std::shared_ptr<Thread> Thread::start(std::string name, double priority, size_t minimumStackBytes,
                                      std::function<void()> body) {
  if (!body) return nullptr;
  if (!(priority >= 0)) priority = 0;  // NaN and negatives
  priority = std::min(priority, 1.0);
  const size_t stack = std::max<size_t>(minimumStackBytes, PTHREAD_STACK_MIN);
  auto thread = std::make_shared<Thread>(std::move(name), stack);
  // 0.5 is the normal priority (nice 0); 0 is nice 19, 1 is nice -20.
  const int nice = static_cast<int>(std::lround(priority <= 0.5 ? (0.5 - priority) * 38.0 : (0.5 - priority) * 40.0));

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack);
  auto* start = new Start{thread.get(), std::move(body), nice};
  pthread_t handle;
  const int rc = pthread_create(&handle, &attr, &Thread::trampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    VPKLog(1, "Could not start thread {}: error {}", thread->name_, rc);
    return nullptr;
  }
  thread->handle_ = static_cast<unsigned long>(handle);
  thread->joined_ = false;
  return thread;
}

void* Thread::trampoline(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  Thread* self = start->thread;
  self->id_ = std::this_thread::get_id();
  pthread_setname_np(pthread_self(), self->name_.substr(0, 15).c_str());
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (start->nice != 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(tid), start->nice) == 0) self->nice_ = start->nice;
  try {
    start->body();
  } catch (const std::exception& e) {
    VPKLog(1, "Thread {} stopped by an exception: {}", self->name_, e.what());
  } catch (...) {
    VPKLog(1, "Thread {} stopped by an exception", self->name_);
  }
  return nullptr;
}

void Thread::join() {
  if (joined_) return;
  joined_ = true;
  if (isCurrent()) {
    pthread_detach(static_cast<pthread_t>(handle_));
    return;
  }
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
}

bool Thread::isCurrent() const { return pthread_equal(pthread_self(), static_cast<pthread_t>(handle_)) != 0; }

Thread::~Thread() { join(); }

}  // namespace vpk
