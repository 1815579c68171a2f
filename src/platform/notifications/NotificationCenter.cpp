#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>

#include <algorithm>

namespace vpk {

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();  // never destroyed: posts may outlive main()
  return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Handler handler) {
  std::lock_guard lock(mutex_);
  Token token = next_++;
  observers_.push_back({token, std::move(name), std::make_shared<Handler>(std::move(handler))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [token](const Observer& o) { return o.token == token; });
}

void NotificationCenter::post(const std::string& name, std::any object) {
  std::vector<std::shared_ptr<Handler>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& o : observers_) {
      if (o.name.empty() || o.name == name) matching.push_back(o.handler);
    }
  }
  const Notification notification{name, std::move(object)};
  for (const auto& handler : matching) {
    if (*handler) (*handler)(notification);
  }
}

void NotificationCenter::postOnMain(std::string name, std::any object) {
  DispatchQueue::main()->async(
      [this, name = std::move(name), object = std::move(object)]() mutable { post(name, std::move(object)); });
}

void NotificationCenter::enqueueWhenIdleOnMain(std::string name, std::any object) {
  {
    std::lock_guard lock(mutex_);
    if (!pendingCoalesced_.insert(name).second) return;
  }
  DispatchQueue::main()->async([this, name = std::move(name), object = std::move(object)]() mutable {
    {
      std::lock_guard lock(mutex_);
      pendingCoalesced_.erase(name);
    }
    post(name, std::move(object));
  });
}

}  // namespace vpk
