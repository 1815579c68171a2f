#pragma once
/// @file VemraPlatformKit.h (frame)
/// The SDK's front door: launch-time set-up, the mains-interference frequency and the small
/// persistent parameters file.
///
/// The application calls VemraPlatformKit::handleApplicationLaunch() once at start-up. It
/// moves the shared queue to default priority and picks the mains frequency (50 or 60 Hz)
/// from the locale, storing it in the parameters file "params" of the storage group "core"
/// (an XML property-list dictionary, key "defaultInterferenceFrequency", default 60). The
/// analysis reads defaultInterferenceFrequency() to place its mains notch filters.
///
/// Locale: the country is the region's, read from the first of LC_ALL, LC_MEASUREMENT,
/// LC_PAPER, LC_TIME, LC_MONETARY, LC_ADDRESS and LANG that names a territory, e.g.
/// "en_US.UTF-8" -> "US"; values without one ("C", "POSIX", "C.UTF-8", "de") are passed over.
/// LC_MESSAGES, the language of messages, is never read: LANG=de_DE.UTF-8 with
/// LC_MESSAGES=en_US.UTF-8 is Germany. The country-to-continent table is the resource "continent_locale.txt" (found in
/// $VPK_RESOURCE_DIR, else the installed share folder, else the build tree).
///
/// Rules (in order): "US" or "AR" or continent "NA" -> 60 Hz; continent "EU", "AS", "AF",
/// "OC" or country "CN" -> 50 Hz; otherwise 60 Hz.
///
/// Threads and locks: all parameter access holds one class-wide (recursive) lock; the lock is
/// never held while waiting for the shared queue, so any thread (the shared queue included)
/// may call every operation. A damaged parameters file is logged and replaced by an empty
/// dictionary, which the next launch fills and writes back.
///
/// Name mapping:
///   detectInterferenceUsingFrequencyCurrentLocale:       -> detectInterferenceUsingFrequencyCurrentLocale(cb)
///   detectInterferenceUsingFrequencyCurrentLocale:queue: -> detectInterferenceUsingFrequencyCurrentLocale(cb, queue)
///   setDefaultInterferenceFrequency:                     -> setDefaultInterferenceFrequency(hz)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKError.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

/// 1.0
VPK_EXPORT extern const double VemraPlatformKitVersionNumber;
/// "@(#)PROGRAM:VemraPlatformKit  PROJECT:VemraPlatformKit-1\n"
VPK_EXPORT extern const char VemraPlatformKitVersionString[];

class VPK_EXPORT VemraPlatformKit {
 public:
  /// (frequency in Hz, determined) - the flag is always true.
  using InterferenceCallback = std::function<void(unsigned frequency, bool determined)>;

  /// Launch set-up: shared queue at default priority, then the mains frequency from the
  /// locale is stored (before this returns).
  static void handleApplicationLaunch();

  /// The country-to-continent table (loaded once); nullptr when the resource is missing or
  /// damaged.
  static std::shared_ptr<const vpk::ValueDictionary> continentByCountry();
  /// The locale's two-letter country code (upper case), or nullopt.
  static std::optional<std::string> currentCountryCode();
  /// The country code and the environment variable it came from ("LC_ALL", "LANG", ...).
  static std::optional<std::pair<std::string, std::string>> localeCountry();

  /// As the queue form, delivering on the main queue.
  static void detectInterferenceUsingFrequencyCurrentLocale(InterferenceCallback callback);
  /// Decides the frequency (logging "API: Country = ..., Continent = ..." and the rule used)
  /// and calls `callback` asynchronously on `queue`, or at once on this thread when `queue`
  /// is null.
  static void detectInterferenceUsingFrequencyCurrentLocale(InterferenceCallback callback,
                                                            const vpk::DispatchQueuePtr& queue);

  /// core/params in the storage directory (computed once; the file is created with 60 Hz when
  /// missing). nullopt when the storage directory is unavailable.
  static std::optional<std::filesystem::path> parametersStorageURL();
  /// The live parameters dictionary, holding the class lock for as long as it lives: what is
  /// changed through it is what synchronize() writes. The holding thread may call every other
  /// operation of this class (the lock is recursive); other threads wait, so keep it short and
  /// do not wait for the shared work queue while holding it (work there may need the lock).
  /// Example: VemraPlatformKit::parameters()->set("key", value); VemraPlatformKit::synchronize();
  class VPK_EXPORT Parameters {
   public:
    vpk::ValueDictionary& operator*() const { return *dict_; }
    vpk::ValueDictionary* operator->() const { return dict_; }

   private:
    friend class VemraPlatformKit;
    Parameters(std::unique_lock<std::recursive_mutex> lock, vpk::ValueDictionary& dict);
    std::unique_lock<std::recursive_mutex> lock_;
    vpk::ValueDictionary* dict_;
  };
  /// The parameters dictionary (loaded from the file on first use), see Parameters.
  static Parameters parameters();
  /// Writes the parameters to the file (not atomically); logs (level 0) "API: Synchronized
  /// params:..." or "API: FAILED TO SYNC PARAMS:..."; returns whether the write succeeded.
  static bool synchronize();
  /// Stores `hz` and synchronizes, unless the stored number already equals it.
  static void setDefaultInterferenceFrequency(unsigned hz);
  /// The stored frequency (read as a number and truncated), 0 when absent.
  static unsigned defaultInterferenceFrequency();
};
