#pragma once
/// @file LocationSource.h
/// Where the machine is: the library's stand-in for the platform's location manager.
///
/// A LocationSource delivers position fixes and authorization changes to its delegate. Two
/// backends sit behind this interface: the system's location service over D-Bus
/// (createSystemSource) and ScriptedLocationSource, which tests and demos drive by hand.
///
/// Threads: every delegate call arrives on the source's delegate queue (the main queue unless
/// the creator names another), one at a time, in event order. The operations may be called
/// from any thread; none of them blocks on the location service.
///
/// Ownership: the creator owns the source; the delegate is held weakly.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vpk {

/// One position fix.
struct VPK_EXPORT LocationFix {
  double latitude = 0;            ///< degrees, + is north
  double longitude = 0;           ///< degrees, + is east
  double horizontalAccuracy = -1; ///< metres (negative: unknown)
  double timestamp = 0;           ///< when it was measured, library time (seconds since 2001-01-01 UTC)

  /// Great-circle distance in metres to `other` (mean Earth radius).
  double distanceFrom(const LocationFix& other) const;
  /// True for a latitude within [-90, 90] and a longitude within [-180, 180], both finite.
  bool isValid() const;
};

/// Great-circle distance in metres between two points given in degrees.
VPK_EXPORT double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2);

/// The platform's authorization states, with their numeric values.
enum class LocationAuthorization : int {
  NotDetermined = 0,        ///< nobody has asked yet
  Restricted = 1,           ///< no location service on this machine (or it cannot be reached)
  Denied = 2,               ///< the service refused this application, or location is switched off
  AuthorizedAlways = 3,
  AuthorizedWhenInUse = 4,
};

class LocationSource;

/// Receives a source's events. Every operation has an empty default.
class VPK_EXPORT LocationSourceDelegate {
 public:
  virtual ~LocationSourceDelegate() = default;
  /// The authorization status changed.
  virtual void didChangeAuthorization(LocationSource& source, LocationAuthorization status);
  /// New fixes, oldest first (the newest is the last).
  virtual void didUpdateLocations(LocationSource& source, const std::vector<LocationFix>& locations);
};

class VPK_EXPORT LocationSource : public std::enable_shared_from_this<LocationSource> {
 public:
  /// Best accuracy the source offers (the value the platform uses for it).
  static constexpr double kDesiredAccuracyBest = -1.0;
  /// The fitness activity type.
  static constexpr int kActivityTypeFitness = 3;

  virtual ~LocationSource();

  /// The system's location service over D-Bus, identifying this application as `desktopId`
  /// (empty: the program's name).
  /// Creating it contacts nothing: the service is first reached when authorization is
  /// requested or updates start. Events go to `delegateQueue` (nullptr: the main queue).
  static std::shared_ptr<LocationSource> createSystemSource(std::string desktopId = {},
                                                            DispatchQueuePtr delegateQueue = nullptr);

  void setDelegate(std::weak_ptr<LocationSourceDelegate> delegate);
  std::shared_ptr<LocationSourceDelegate> delegate() const;
  const DispatchQueuePtr& delegateQueue() const { return queue_; }

  /// Metres; kDesiredAccuracyBest asks for the best the source has.
  virtual void setDesiredAccuracy(double metres);
  double desiredAccuracy() const;
  virtual void setActivityType(int type);
  int activityType() const;
  /// Minimum movement in metres between two delivered fixes (0: every fix). A source that can
  /// only apply it when updates start takes the new value at the next start.
  virtual void setDistanceFilter(double metres);
  double distanceFilter() const;

  virtual void startUpdatingLocation() = 0;
  virtual void stopUpdatingLocation() = 0;
  virtual LocationAuthorization authorizationStatus() const = 0;
  /// True when requestWhenInUseAuthorization() can ask anything.
  virtual bool canRequestAuthorization() const { return true; }
  /// Asks for authorization; the answer arrives as didChangeAuthorization (only if it changes).
  virtual void requestWhenInUseAuthorization() = 0;
  /// Why there are no fixes (service missing, access refused, bus lost); empty when none of
  /// that is known.
  virtual std::string unavailableReason() const { return {}; }

 protected:
  explicit LocationSource(DispatchQueuePtr delegateQueue);
  /// Delivers to the delegate on the delegate queue (the delegate is looked up there).
  void postAuthorizationChange(LocationAuthorization status);
  void postLocations(std::vector<LocationFix> locations);

  mutable std::mutex settingsMutex_;

 private:
  void postToDelegate(std::function<void(LocationSourceDelegate&, LocationSource&)> call);

  DispatchQueuePtr queue_;
  std::weak_ptr<LocationSourceDelegate> delegate_;
  double desiredAccuracy_ = kDesiredAccuracyBest;
  int activityType_ = 0;
  double distanceFilter_ = 0;
};

/// A source driven by hand: tests, demos, machines without a location service.
/// setAuthorization and deliver post their events like a real source; the counters tell what
/// the client asked for.
class VPK_EXPORT ScriptedLocationSource : public LocationSource {
 public:
  static std::shared_ptr<ScriptedLocationSource> create(DispatchQueuePtr delegateQueue = nullptr);
  explicit ScriptedLocationSource(DispatchQueuePtr delegateQueue);

  void startUpdatingLocation() override;
  void stopUpdatingLocation() override;
  LocationAuthorization authorizationStatus() const override;
  void requestWhenInUseAuthorization() override;
  std::string unavailableReason() const override;

  /// Changes the status and reports it (nothing when it is unchanged).
  void setAuthorization(LocationAuthorization status, std::string reason = {});
  /// The status a request for authorization moves to (NotDetermined: requests are ignored).
  void setAnswerToRequests(LocationAuthorization status);
  /// Delivers fixes (oldest first) as the service would, whether or not updates are on.
  void deliver(std::vector<LocationFix> locations);

  bool isUpdating() const;
  int startCount() const;
  int stopCount() const;
  int requestCount() const;

 private:
  mutable std::mutex mutex_;
  LocationAuthorization status_ = LocationAuthorization::NotDetermined;
  LocationAuthorization answer_ = LocationAuthorization::NotDetermined;
  std::string reason_;
  bool updating_ = false;
  int starts_ = 0;
  int stops_ = 0;
  int requests_ = 0;
};

}  // namespace vpk
