#include <VemraPlatformKit/auxiliary/VPKLocationManager.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <cmath>
#include <mutex>

using vpk::LocationAuthorization;

std::shared_ptr<VPKLocationManager> VPKLocationManager::sharedManager() {
  static std::once_flag once;
  static std::shared_ptr<VPKLocationManager>* shared = nullptr;  // lives as long as the process
  std::call_once(once, [] { shared = new std::shared_ptr<VPKLocationManager>(create(nullptr, nullptr)); });
  return *shared;
}

std::shared_ptr<VPKLocationManager> VPKLocationManager::create(std::shared_ptr<vpk::LocationSource> source,
                                                               std::shared_ptr<vpk::Geocoder> geocoder) {
  if (!source) source = vpk::LocationSource::createSystemSource();
  if (!geocoder) geocoder = vpk::TzdataGeocoder::create();
  auto manager = std::make_shared<VPKLocationManager>(std::move(source), std::move(geocoder));
  manager->setUp();
  return manager;
}

VPKLocationManager::VPKLocationManager(std::shared_ptr<vpk::LocationSource> source,
                                       std::shared_ptr<vpk::Geocoder> geocoder)
    : manager_(std::move(source)), geocoder_(std::move(geocoder)) {}

void VPKLocationManager::setUp() {
  manager_->setDelegate(weak_from_this());
  manager_->setDesiredAccuracy(vpk::LocationSource::kDesiredAccuracyBest);
  manager_->setActivityType(vpk::LocationSource::kActivityTypeFitness);
  manager_->setDistanceFilter(kInitialDistanceFilter);
  std::weak_ptr<VPKLocationManager> weak = weak_from_this();
  periodicUpdatesTimer_ = VPKTimer::create(vpk::DispatchQueue::main(), kUpdateInterval,
                                           [weak](const std::shared_ptr<VPKTimer>&) {
                                             if (auto self = weak.lock()) self->timerTick();
                                           });
  periodicUpdatesTimer_->setName("VPKLocationManager");
}

VPKLocationManager::~VPKLocationManager() {
  periodicUpdatesTimer_->invalidate();
  if (updating_) manager_->stopUpdatingLocation();
  geocoder_->cancelGeocode();
}

bool VPKLocationManager::isAuthorized() const { return isAuthorizedAlways() || isAuthorizedWhenInUse(); }
bool VPKLocationManager::isAuthorizedAlways() const {
  return manager_->authorizationStatus() == LocationAuthorization::AuthorizedAlways;
}
bool VPKLocationManager::isAuthorizedWhenInUse() const {
  return manager_->authorizationStatus() == LocationAuthorization::AuthorizedWhenInUse;
}

void VPKLocationManager::timerTick() {
  if (updating_ && isAuthorized()) manager_->startUpdatingLocation();
}

void VPKLocationManager::applicationWillResignActive() {
  if (!updating_) return;
  periodicUpdatesTimer_->deactivate();
  manager_->stopUpdatingLocation();
}

void VPKLocationManager::applicationDidBecomeActive() {
  periodicUpdatesTimer_->deactivate();
  if (updating_) periodicUpdatesTimer_->activateAndFire();
}

void VPKLocationManager::startUpdating() {
  periodicUpdatesTimer_->deactivate();
  if (!isAuthorized() && manager_->canRequestAuthorization()) manager_->requestWhenInUseAuthorization();
  // Authorization that arrives later starts the service from didChangeAuthorization.
  if (!isAuthorized()) return;
  updating_ = true;
  manager_->startUpdatingLocation();
}

void VPKLocationManager::stopUpdating() {
  periodicUpdatesTimer_->deactivate();
  updating_ = false;
  manager_->stopUpdatingLocation();
}

void VPKLocationManager::didChangeAuthorization(vpk::LocationSource&, LocationAuthorization) {
  if (!isAuthorized()) {
    periodicUpdatesTimer_->deactivate();
    manager_->stopUpdatingLocation();
    geocoder_->cancelGeocode();
    currentLocation_.reset();
    currentPlacemark_.reset();
    updating_ = false;
    return;
  }
  updating_ = true;
  periodicUpdatesTimer_->deactivate();
  periodicUpdatesTimer_->activateAndFire();  // a fix is asked for at once
}

void VPKLocationManager::didUpdateLocations(vpk::LocationSource&, const std::vector<vpk::LocationFix>& locations) {
  if (locations.empty()) {
    // Nothing to take: the current fix and its placemark are gone.
    if (!currentLocation_) manager_->setDistanceFilter(kSettledDistanceFilter);
    currentLocation_.reset();
    geocoder_->cancelGeocode();
    currentPlacemark_.reset();
    return;
  }
  const vpk::LocationFix& newest = locations.back();
  const double age = std::abs(newest.timestamp - vpk::Clock::timestamp());
  // A fix without a usable time or position is as good as a stale one.
  if (!(age < kMaximumFixAge) || !newest.isValid()) return;

  double moved = 0;
  if (!currentLocation_) {
    manager_->setDistanceFilter(kSettledDistanceFilter);
  } else {
    moved = newest.distanceFrom(*currentLocation_);
  }
  currentLocation_ = newest;
  if (moved > kGeocodeDistance || !currentPlacemark_) reverseGeocodeCurrentLocation();
}

void VPKLocationManager::reverseGeocodeCurrentLocation() {
  geocoder_->cancelGeocode();
  std::weak_ptr<VPKLocationManager> weak = weak_from_this();
  geocoder_->reverseGeocode(*currentLocation_, [weak](const std::vector<vpk::Placemark>& placemarks,
                                                      const std::string& error) {
    if (auto self = weak.lock()) self->geocodeFinished(placemarks, error);
  });
}

void VPKLocationManager::geocodeFinished(const std::vector<vpk::Placemark>& placemarks, const std::string& error) {
  if (error.empty() && !placemarks.empty()) {
    currentPlacemark_ = placemarks.front();
  } else if (!currentLocation_) {
    currentPlacemark_.reset();
  } else if (currentPlacemark_ && currentPlacemark_->location.distanceFrom(*currentLocation_) < kGeocodeDistance) {
    VPKLog(0, "Using old placemark...");
  }
  placemarkUpdated();
}

void VPKLocationManager::placemarkUpdated() {
  manager_->stopUpdatingLocation();
  periodicUpdatesTimer_->deactivate();
  periodicUpdatesTimer_->activate();
  VPKLog(0, "Updated placemark:{}",
         currentPlacemark_ ? currentPlacemark_->addressDictionary().description() : vpk::Value().description());
}
