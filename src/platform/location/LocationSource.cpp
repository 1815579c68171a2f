#include <VemraPlatformKit/platform/location/LocationSource.h>

#include <cmath>
#include <numbers>

namespace vpk {

namespace {
constexpr double kEarthRadius = 6371008.8;  // mean radius, metres
double radians(double degrees) { return degrees * std::numbers::pi / 180.0; }
}  // namespace

double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2) {
  const double p1 = radians(latitude1), p2 = radians(latitude2);
  const double dp = p2 - p1, dl = radians(longitude2 - longitude1);
  const double a = std::sin(dp / 2) * std::sin(dp / 2) + std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
  return 2 * kEarthRadius * std::asin(std::sqrt(std::min(1.0, a)));
}

double LocationFix::distanceFrom(const LocationFix& other) const {
  return greatCircleDistance(latitude, longitude, other.latitude, other.longitude);
}

bool LocationFix::isValid() const {
  return std::isfinite(latitude) && std::isfinite(longitude) && std::abs(latitude) <= 90.0 &&
         std::abs(longitude) <= 180.0;
}

void LocationSourceDelegate::didChangeAuthorization(LocationSource&, LocationAuthorization) {}
void LocationSourceDelegate::didUpdateLocations(LocationSource&, const std::vector<LocationFix>&) {}

LocationSource::LocationSource(DispatchQueuePtr delegateQueue)
    : queue_(delegateQueue ? std::move(delegateQueue) : DispatchQueue::main()) {}

LocationSource::~LocationSource() = default;

void LocationSource::setDelegate(std::weak_ptr<LocationSourceDelegate> delegate) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<LocationSourceDelegate> LocationSource::delegate() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return delegate_.lock();
}

void LocationSource::setDesiredAccuracy(double metres) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  desiredAccuracy_ = metres;
}
double LocationSource::desiredAccuracy() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return desiredAccuracy_;
}
void LocationSource::setActivityType(int type) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  activityType_ = type;
}
int LocationSource::activityType() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return activityType_;
}
void LocationSource::setDistanceFilter(double metres) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  distanceFilter_ = std::isfinite(metres) && metres > 0 ? metres : 0.0;
}
double LocationSource::distanceFilter() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return distanceFilter_;
}

// The source or the delegate may be gone by the time the queue runs the delivery: the task
// holds both weakly and drops the event then.
void LocationSource::postToDelegate(std::function<void(LocationSourceDelegate&, LocationSource&)> call) {
  std::weak_ptr<LocationSourceDelegate> weak;
  {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    weak = delegate_;
  }
  queue_->async([self = weak_from_this(), weak, call = std::move(call)] {
    auto source = self.lock();
    auto d = weak.lock();
    if (source && d) call(*d, *source);
  });
}

void LocationSource::postAuthorizationChange(LocationAuthorization status) {
  postToDelegate([status](LocationSourceDelegate& d, LocationSource& s) { d.didChangeAuthorization(s, status); });
}

void LocationSource::postLocations(std::vector<LocationFix> locations) {
  postToDelegate([locations = std::move(locations)](LocationSourceDelegate& d, LocationSource& s) {
    d.didUpdateLocations(s, locations);
  });
}

// ---------------------------------------------------------------- scripted source

std::shared_ptr<ScriptedLocationSource> ScriptedLocationSource::create(DispatchQueuePtr delegateQueue) {
  return std::make_shared<ScriptedLocationSource>(std::move(delegateQueue));
}

ScriptedLocationSource::ScriptedLocationSource(DispatchQueuePtr delegateQueue)
    : LocationSource(std::move(delegateQueue)) {}

void ScriptedLocationSource::startUpdatingLocation() {
  std::lock_guard<std::mutex> lock(mutex_);
  updating_ = true;
  ++starts_;
}

void ScriptedLocationSource::stopUpdatingLocation() {
  std::lock_guard<std::mutex> lock(mutex_);
  updating_ = false;
  ++stops_;
}

LocationAuthorization ScriptedLocationSource::authorizationStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

std::string ScriptedLocationSource::unavailableReason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

void ScriptedLocationSource::requestWhenInUseAuthorization() {
  LocationAuthorization answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
    answer = answer_;
  }
  if (answer != LocationAuthorization::NotDetermined) setAuthorization(answer);
}

void ScriptedLocationSource::setAuthorization(LocationAuthorization status, std::string reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reason_ = std::move(reason);
    if (status_ == status) return;
    status_ = status;
  }
  postAuthorizationChange(status);
}

void ScriptedLocationSource::setAnswerToRequests(LocationAuthorization status) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = status;
}

void ScriptedLocationSource::deliver(std::vector<LocationFix> locations) { postLocations(std::move(locations)); }

bool ScriptedLocationSource::isUpdating() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return updating_;
}
int ScriptedLocationSource::startCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return starts_;
}
int ScriptedLocationSource::stopCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stops_;
}
int ScriptedLocationSource::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace vpk
