// The location cycle in virtual time, against a scripted source and a geocoder the test answers.
#include <VemraPlatformKit/auxiliary/VPKLocationManager.h>
#include <VemraPlatformKit/frame/VPKLog.h>

#include "support/LogCapture.h"
#include "support/VirtualTime.h"


namespace {

using vpk::LocationAuthorization;
using vpk::LocationFix;

constexpr double kMetresPerDegree = 111194.93;  // along a meridian, on the mean sphere

// Answers only when the test says so, on the test thread (the main thread).
class ManualGeocoder : public vpk::Geocoder {
 public:
  void reverseGeocode(const LocationFix& location, Completion completion) override {
    ++requests;
    pending = std::move(completion);
    asked = location;
  }
  void cancelGeocode() override { pending = nullptr; }
  bool isGeocoding() const override { return static_cast<bool>(pending); }

  void succeed(const LocationFix& placemarkLocation) {
    vpk::Placemark p;
    p.location = placemarkLocation;
    p.isoCountryCode = "DE";
    p.timeZone = "Europe/Berlin";
    finish({p}, {});
  }
  void fail() { finish({}, "network unreachable"); }

  int requests = 0;
  LocationFix asked;

 private:
  void finish(const std::vector<vpk::Placemark>& placemarks, const std::string& error) {
    auto completion = std::move(pending);
    pending = nullptr;
    ASSERT_TRUE(completion);
    completion(placemarks, error);
  }
  Completion pending;
};

class LocationManagerTest : public vpk::test::VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    VPKLogSetEnabled(true);
    source_ = vpk::ScriptedLocationSource::create();
    geocoder_ = std::make_shared<ManualGeocoder>();
    manager_ = VPKLocationManager::create(source_, geocoder_);
  }
  void TearDown() override {
    manager_.reset();
    VPKLogSetEnabled(false);
    VirtualTimeTest::TearDown();
  }
  // A fix `north` metres north of the origin, measured `age` seconds ago.
  LocationFix fix(double north, double age = 1.0) const {
    return LocationFix{52.52 + north / kMetresPerDegree, 13.405, 5.0, now() - age};
  }
  void deliver(const LocationFix& f) {
    source_->deliver({f});
    settle();
  }
  void authorize() {
    source_->setAuthorization(LocationAuthorization::AuthorizedWhenInUse);
    settle();
  }

  std::shared_ptr<vpk::ScriptedLocationSource> source_;
  std::shared_ptr<ManualGeocoder> geocoder_;
  std::shared_ptr<VPKLocationManager> manager_;
};

TEST_F(LocationManagerTest, FixesOfSixtySecondsOrMoreAreIgnored) {
  authorize();
  deliver(fix(0, 60.0));
  EXPECT_FALSE(manager_->currentLocation());
  EXPECT_EQ(geocoder_->requests, 0);
  deliver(fix(0, 59.0));
  ASSERT_TRUE(manager_->currentLocation());
  // A fix without a usable position is no better.
  deliver(LocationFix{std::nan(""), 13.4, 5.0, now()});
  EXPECT_NEAR(manager_->currentLocation()->latitude, 52.52, 1e-9);
}

TEST_F(LocationManagerTest, FirstFixGeocodesAndWidensTheFilterThenOnlyMovesBeyondThirtyMetres) {
  authorize();
  EXPECT_EQ(source_->distanceFilter(), 5.0);
  deliver(fix(0));
  EXPECT_EQ(source_->distanceFilter(), 1000.0);
  EXPECT_EQ(geocoder_->requests, 1);
  geocoder_->succeed(fix(0));
  deliver(fix(20));
  EXPECT_EQ(geocoder_->requests, 1);
  deliver(fix(51));  // 31 m from the 20 m fix
  EXPECT_EQ(geocoder_->requests, 2);
}

TEST_F(LocationManagerTest, FailedGeocodeKeepsANearbyPlacemarkAndEndsTheCycle) {
  vpk::test::LogCapture log;
  authorize();
  deliver(fix(0));
  geocoder_->succeed(fix(25));
  EXPECT_TRUE(log.contains("Updated placemark:"));
  deliver(fix(35));  // moved 35 m: geocode; the placemark lies 10 m away
  ASSERT_EQ(geocoder_->requests, 2);
  source_->startUpdatingLocation();
  geocoder_->fail();
  EXPECT_TRUE(log.contains("Using old placemark..."));
  ASSERT_TRUE(manager_->currentPlacemark());
  EXPECT_NEAR(manager_->currentPlacemark()->location.latitude, fix(25).latitude, 1e-12);
  // The placemark update turned updates off and restarted the 60-second wait.
  EXPECT_FALSE(source_->isUpdating());
  advance(59.0);
  EXPECT_FALSE(source_->isUpdating());
  advance(1.0);
  EXPECT_TRUE(source_->isUpdating());
}

TEST_F(LocationManagerTest, AuthorizationStartsTheServiceAndItsLossClearsEverything) {
  EXPECT_FALSE(manager_->updating());
  authorize();  // without startUpdating
  EXPECT_TRUE(manager_->updating());
  EXPECT_TRUE(source_->isUpdating());
  deliver(fix(0));
  geocoder_->succeed(fix(0));
  ASSERT_TRUE(manager_->currentPlacemark());

  source_->setAuthorization(LocationAuthorization::Denied);
  settle();
  EXPECT_FALSE(manager_->updating());
  EXPECT_FALSE(manager_->currentLocation());
  EXPECT_FALSE(manager_->currentPlacemark());
  EXPECT_FALSE(manager_->periodicUpdatesTimer()->isActive());
  advance(120.0);
  EXPECT_FALSE(source_->isUpdating());
}

TEST_F(LocationManagerTest, StartUpdatingAsksForAuthorizationAndInactivitySuspendsTheCycle) {
  source_->setAnswerToRequests(LocationAuthorization::AuthorizedWhenInUse);
  manager_->startUpdating();
  settle();
  EXPECT_EQ(source_->requestCount(), 1);
  EXPECT_TRUE(manager_->updating());
  EXPECT_TRUE(source_->isUpdating());

  manager_->applicationWillResignActive();
  EXPECT_FALSE(source_->isUpdating());
  advance(180.0);
  EXPECT_FALSE(source_->isUpdating());
  manager_->applicationDidBecomeActive();
  settle();
  EXPECT_TRUE(source_->isUpdating());  // an immediate tick

  manager_->stopUpdating();
  EXPECT_FALSE(manager_->updating());
  advance(120.0);
  EXPECT_FALSE(source_->isUpdating());
}

}  // namespace
