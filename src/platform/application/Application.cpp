#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/application/Application.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace vpk {

const char* const kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
const char* const kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

UserAlert::~UserAlert() = default;

void LogUserAlert::show(const std::string& title, const std::string& message) {
  VPKLog(1, "{}: {}", title, message);
}

namespace {

struct AppState {
  std::mutex mutex;
  std::condition_variable changed;
  std::set<uint64_t> tasks;
  uint64_t next = 1;
  std::shared_ptr<UserAlert> alert;
  std::atomic<int> state{static_cast<int>(ApplicationState::Active)};
};

AppState& app() {
  static auto* s = new AppState();  // never destroyed: used from exit paths
  return *s;
}

// Background tasks finish on library queues, so this waits in real time: the work it waits
// for does not need the clock to move.
void waitForBackgroundTasks() {
  auto& s = app();
  std::unique_lock lock(s.mutex);
  const auto limit = std::chrono::duration<double>(Application::kBackgroundTaskLimit);
  if (!s.changed.wait_for(lock, limit, [&] { return s.tasks.empty(); })) {
    VPKLog(1, "Application: {} background task(s) still running after {} s", s.tasks.size(),
           Application::kBackgroundTaskLimit);
  }
}

}  // namespace

ApplicationState Application::state() { return static_cast<ApplicationState>(app().state.load()); }

void Application::willResignActive() {
  app().state = static_cast<int>(ApplicationState::Inactive);
  NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification);
  waitForBackgroundTasks();
}

void Application::willTerminate() {
  app().state = static_cast<int>(ApplicationState::Background);
  NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification);
  waitForBackgroundTasks();
}

void Application::didBecomeActive() { app().state = static_cast<int>(ApplicationState::Active); }

uint64_t Application::beginBackgroundTask() {
  auto& s = app();
  std::lock_guard lock(s.mutex);
  uint64_t id = s.next++;
  s.tasks.insert(id);
  return id;
}

void Application::endBackgroundTask(uint64_t identifier) {
  auto& s = app();
  {
    std::lock_guard lock(s.mutex);
    s.tasks.erase(identifier);
  }
  s.changed.notify_all();
}

size_t Application::backgroundTaskCount() {
  auto& s = app();
  std::lock_guard lock(s.mutex);
  return s.tasks.size();
}

std::shared_ptr<UserAlert> Application::userAlert() {
  auto& s = app();
  std::lock_guard lock(s.mutex);
  if (!s.alert) s.alert = std::make_shared<LogUserAlert>();
  return s.alert;
}

void Application::setUserAlert(std::shared_ptr<UserAlert> alert) {
  auto& s = app();
  std::lock_guard lock(s.mutex);
  s.alert = std::move(alert);
}

}  // namespace vpk
