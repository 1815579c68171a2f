#pragma once
/// @file VPKLocationManager.h
/// Where the user is: the most recent fresh position fix and the placemark reverse geocoding
/// gives for it, refreshed on a 60-second cycle while the application is active.
///
/// The cycle: every 60 s the timer turns location updates on (when the service is meant to run
/// and the application is authorized); the first fresh fix (under 60 s old) becomes
/// currentLocation; when it moved more than 30 m, or there is no placemark yet, it is reverse
/// geocoded; the answer (or the old placemark, when geocoding fails) ends the cycle: updates
/// go off and the next tick comes 60 s later. The first fix also widens the source's distance
/// filter from 5 m to 1000 m. Losing authorization clears everything.
///
/// Backends: sharedManager() uses the system's location service over D-Bus and the offline
/// time-zone geocoder (vpk::TzdataGeocoder); create() takes any source and geocoder (tests use
/// vpk::ScriptedLocationSource).
///
/// Application state: on Linux nothing tells a library that its application went to the
/// background; an application that has such a notion calls applicationWillResignActive() and
/// applicationDidBecomeActive() itself.
///
/// Threads: meant for the main thread. Every callback (source events, geocoder completions,
/// the timer) runs on the main queue; the accessors read state that only the main thread
/// writes. Log lines (level 0): "Using old placemark...", "Updated placemark:<address>".
///
/// Name mapping: locationManager:didChangeAuthorizationStatus: -> didChangeAuthorization(source, status);
/// locationManager:didUpdateLocations: -> didUpdateLocations(source, locations).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKTimer.h>
#include <VemraPlatformKit/platform/location/Geocoder.h>
#include <VemraPlatformKit/platform/location/LocationSource.h>

#include <memory>
#include <optional>
#include <vector>

class VPK_EXPORT VPKLocationManager : public vpk::LocationSourceDelegate,
                                      public std::enable_shared_from_this<VPKLocationManager> {
 public:
  /// Seconds between two cycles, and the age from which a fix is too old.
  static constexpr double kUpdateInterval = 60.0;
  static constexpr double kMaximumFixAge = 60.0;
  /// Distance filter before and after the first fix (metres).
  static constexpr double kInitialDistanceFilter = 5.0;
  static constexpr double kSettledDistanceFilter = 1000.0;
  /// Movement (metres) beyond which a new placemark is looked up.
  static constexpr double kGeocodeDistance = 30.0;

  /// The process-wide instance (created on first use, never destroyed).
  static std::shared_ptr<VPKLocationManager> sharedManager();
  /// A manager on the given source and geocoder (nullptr: the system defaults).
  static std::shared_ptr<VPKLocationManager> create(std::shared_ptr<vpk::LocationSource> source,
                                                    std::shared_ptr<vpk::Geocoder> geocoder);
  ~VPKLocationManager() override;

  void startUpdating();
  void stopUpdating();
  /// Authorized always or when in use.
  bool isAuthorized() const;
  bool isAuthorizedAlways() const;
  bool isAuthorizedWhenInUse() const;

  std::optional<vpk::LocationFix> currentLocation() const { return currentLocation_; }
  std::optional<vpk::Placemark> currentPlacemark() const { return currentPlacemark_; }
  /// The service is meant to be running.
  bool updating() const { return updating_; }
  const std::shared_ptr<vpk::LocationSource>& manager() const { return manager_; }
  const std::shared_ptr<vpk::Geocoder>& geocoder() const { return geocoder_; }
  const std::shared_ptr<VPKTimer>& periodicUpdatesTimer() const { return periodicUpdatesTimer_; }

  /// The application goes to the background: the cycle is suspended.
  void applicationWillResignActive();
  /// The application is in front again: the cycle resumes with an immediate tick.
  void applicationDidBecomeActive();

  void didChangeAuthorization(vpk::LocationSource& source, vpk::LocationAuthorization status) override;
  void didUpdateLocations(vpk::LocationSource& source, const std::vector<vpk::LocationFix>& locations) override;

  VPKLocationManager(std::shared_ptr<vpk::LocationSource> source, std::shared_ptr<vpk::Geocoder> geocoder);  // use create()

 private:
  void setUp();
  void timerTick();
  void reverseGeocodeCurrentLocation();
  void geocodeFinished(const std::vector<vpk::Placemark>& placemarks, const std::string& error);
  void placemarkUpdated();

  std::shared_ptr<vpk::LocationSource> manager_;
  std::shared_ptr<vpk::Geocoder> geocoder_;
  std::shared_ptr<VPKTimer> periodicUpdatesTimer_;
  std::optional<vpk::LocationFix> currentLocation_;
  std::optional<vpk::Placemark> currentPlacemark_;
  bool updating_ = false;
};
