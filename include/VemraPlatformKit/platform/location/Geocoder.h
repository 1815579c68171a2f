#pragma once
/// @file Geocoder.h
/// Reverse geocoding: from a position fix to a placemark (country, time zone, nearest city).
///
/// TzdataGeocoder answers offline from the time-zone tables every Linux machine carries
/// (zone1970.tab, zone.tab and iso3166.tab of the tz database): the nearest principal city of a
/// time zone gives the country code, the country's name, the time zone and the city, with
/// the distance to it. Nothing goes to the network.
///
/// Threads: reverseGeocode may be called from any thread; the lookup runs on the geocoder's
/// own serial queue and the completion arrives on the completion queue (the main queue unless
/// the creator names another). A cancelled request never calls its completion.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/location/LocationSource.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

/// What reverse geocoding says about a place.
struct VPK_EXPORT Placemark {
  LocationFix location;        ///< the fix this placemark was made for
  std::string isoCountryCode;  ///< "DE"
  std::string country;         ///< "Germany" (empty when the country table lacks the code)
  std::string timeZone;        ///< "Europe/Berlin"
  std::string locality;        ///< the time zone's principal city, "Berlin"
  double localityDistance = 0; ///< metres from the fix to that city

  /// The address dictionary: "City", "Country", "CountryCode", "TimeZone" (only the
  /// non-empty ones) and "CityDistance" in metres.
  Value addressDictionary() const;
};

class VPK_EXPORT Geocoder {
 public:
  /// (placemarks, error): placemarks first-best; error empty on success.
  using Completion = std::function<void(const std::vector<Placemark>& placemarks, const std::string& error)>;
  virtual ~Geocoder() = default;
  /// Starts a lookup; a lookup still pending is cancelled first.
  virtual void reverseGeocode(const LocationFix& location, Completion completion) = 0;
  /// Cancels the pending lookup, if any: its completion is never called.
  virtual void cancelGeocode() = 0;
  virtual bool isGeocoding() const = 0;
};

/// One row of the time-zone tables.
struct VPK_EXPORT ZoneEntry {
  std::vector<std::string> countryCodes;  ///< the first is the principal city's country
  double latitude = 0;
  double longitude = 0;
  std::string timeZone;
};

/// The tables a TzdataGeocoder answers from.
class VPK_EXPORT ZoneTable {
 public:
  /// Reads zone1970.tab (required), zone.tab (optional, adds principal cities of countries that
  /// share a zone) and iso3166.tab (optional) from `folder`. Broken lines are skipped; a file
  /// larger than 1 MiB is refused. nullopt with `error` set when no usable zone row was found.
  static std::optional<ZoneTable> load(const std::filesystem::path& folder, std::string* error = nullptr);
  /// Parses table texts directly (same rules).
  static ZoneTable parse(std::string_view zone1970, std::string_view zone, std::string_view iso3166);

  const std::vector<ZoneEntry>& entries() const { return entries_; }
  /// The country's name, or empty.
  std::string countryName(const std::string& code) const;
  /// The placemark of the entry nearest to `location` (nullopt for an empty table or an
  /// invalid location).
  std::optional<Placemark> nearest(const LocationFix& location) const;
  /// Lines skipped as malformed while parsing.
  size_t skippedLines() const { return skipped_; }

 private:
  std::vector<ZoneEntry> entries_;
  std::vector<std::pair<std::string, std::string>> countries_;  // sorted by code
  size_t skipped_ = 0;
};

class VPK_EXPORT TzdataGeocoder : public Geocoder, public std::enable_shared_from_this<TzdataGeocoder> {
 public:
  /// `folder`: where the tables are (default $VPK_ZONEINFO_DIR, else /usr/share/zoneinfo).
  /// `completionQueue`: nullptr for the main queue.
  static std::shared_ptr<TzdataGeocoder> create(std::filesystem::path folder = {},
                                                DispatchQueuePtr completionQueue = nullptr);
  TzdataGeocoder(std::filesystem::path folder, DispatchQueuePtr completionQueue);  // use create()

  void reverseGeocode(const LocationFix& location, Completion completion) override;
  void cancelGeocode() override;
  bool isGeocoding() const override;
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  DispatchQueuePtr completionQueue_;
  DispatchQueuePtr workQueue_;
  std::atomic<unsigned long long> generation_{0};
  std::atomic<bool> pending_{false};
  // Loaded on the work queue on first use.
  std::optional<ZoneTable> table_;
  std::string loadError_;
  bool loaded_ = false;
};

}  // namespace vpk
