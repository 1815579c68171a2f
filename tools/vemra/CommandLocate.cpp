// vemra locate: where this machine is (the system's location service) and the placemark the
// offline time-zone geocoder gives for it; or, with --at, the placemark of a given point.
#include "Command.h"

#include <VemraPlatformKit/auxiliary/VPKLocationManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/location/Geocoder.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct LocateOptions {
  std::string at;
  double timeout = 20;
};

void printPlacemark(const vpk::Placemark& p) {
  std::printf("country:      %s%s%s%s\n", p.isoCountryCode.c_str(), p.country.empty() ? "" : " (",
              p.country.c_str(), p.country.empty() ? "" : ")");
  std::printf("time zone:    %s\n", p.timeZone.c_str());
  std::printf("nearest city: %s (%.1f km)\n", p.locality.c_str(), p.localityDistance / 1000.0);
}

int locateAt(const std::string& text) {
  vpk::LocationFix fix;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%lf,%lf%c", &fix.latitude, &fix.longitude, &extra) != 2 || !fix.isValid()) {
    std::fprintf(stderr, "vemra locate: --at takes LATITUDE,LONGITUDE in degrees (e.g. 52.52,13.405)\n");
    return 2;
  }
  fix.timestamp = vpk::Clock::timestamp();
  auto geocoder = vpk::TzdataGeocoder::create();
  bool done = false;
  std::vector<vpk::Placemark> placemarks;
  std::string error;
  geocoder->reverseGeocode(fix, [&](const std::vector<vpk::Placemark>& p, const std::string& e) {
    placemarks = p;
    error = e;
    done = true;
  });
  vpk::DispatchQueue::runMainUntil([&] { return done; }, 10.0);
  if (placemarks.empty()) {
    std::fprintf(stderr, "vemra locate: no placemark: %s\n", error.empty() ? "no answer" : error.c_str());
    return 1;
  }
  std::printf("latitude:     %.6f\nlongitude:    %.6f\n", fix.latitude, fix.longitude);
  printPlacemark(placemarks.front());
  return 0;
}

int locate(const LocateOptions& o) {
  if (!o.at.empty()) return locateAt(o.at);

  auto manager = VPKLocationManager::sharedManager();
  auto source = manager->manager();
  const auto refused = [&] {
    const auto status = source->authorizationStatus();
    return status != vpk::LocationAuthorization::NotDetermined && !manager->isAuthorized();
  };
  manager->startUpdating();
  vpk::DispatchQueue::runMainUntil([&] { return manager->currentPlacemark().has_value() || refused(); }, o.timeout);
  manager->stopUpdating();

  if (!manager->isAuthorized()) {
    const std::string reason = source->unavailableReason();
    std::fprintf(stderr, "vemra locate: no location: %s\n",
                 !reason.empty() ? reason.c_str() : "the location service gave no answer about access");
    return 1;
  }
  const auto fix = manager->currentLocation();
  if (!fix) {
    std::fprintf(stderr, "vemra locate: no fix within %.0f s\n", o.timeout);
    return 1;
  }
  std::printf("latitude:     %.6f\nlongitude:    %.6f\n", fix->latitude, fix->longitude);
  if (fix->horizontalAccuracy >= 0) std::printf("accuracy:     %.0f m\n", fix->horizontalAccuracy);
  std::printf("age:          %.1f s\n", vpk::Clock::timestamp() - fix->timestamp);
  if (const auto placemark = manager->currentPlacemark()) {
    printPlacemark(*placemark);
  } else {
    std::printf("placemark:    (none: the time-zone tables could not be read)\n");
  }
  return 0;
}

vemra::VemraCommand locateCommand({"locate", "Print where this machine is and its placemark (country, time zone, city)",
                                   60, [](CLI::App& sub) {
                                     auto o = std::make_shared<LocateOptions>();
                                     sub.add_option("--at", o->at, "Only geocode LATITUDE,LONGITUDE (offline)");
                                     sub.add_option("--timeout", o->timeout, "Seconds to wait for a fix")
                                         ->check(CLI::Range(0.1, 600.0));
                                     sub.callback([o] { vemra::exitStatus() = locate(*o); });
                                   }});

}  // namespace
