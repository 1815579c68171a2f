// vemra doctor: what the library sees on this machine.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include <cstdio>

namespace {

void runDoctor() {
  std::printf("VemraPlatformKit %s\n", VPKLibraryVersion());
  std::printf("library folder:   %s\n", vpk::libraryFolder().c_str());
  std::printf("documents folder: %s\n", vpk::documentsFolder().c_str());
  std::printf("temporary folder: %s\n", vpk::temporaryFolder().c_str());
  std::printf("processors:       %u\n", vpk::parallelProcessorCount());
  std::printf("free disk space:  %.1f GiB\n",
              static_cast<double>(VPKResourceManager::availableDiskSpace()) / (1024.0 * 1024.0 * 1024.0));
  std::fflush(stdout);

  const auto root = VPKStorage::persistentStorageDirectory();
  std::printf("storage root:     %s\n", root ? root->c_str() : "(unavailable)");

  const auto country = VemraPlatformKit::currentCountryCode();
  std::string continent = "(unknown)";
  if (auto table = VemraPlatformKit::continentByCountry(); table && country)
    if (const vpk::Value* c = table->find(*country)) continent = c->stringValue();
  std::printf("country:          %s\ncontinent:        %s\n", country ? country->c_str() : "(unknown)", continent.c_str());
  std::fflush(stdout);

  unsigned detected = 0;
  VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale([&](unsigned hz, bool) { detected = hz; }, nullptr);
  std::printf("mains frequency:  %u Hz (stored: %u Hz)\n", detected, VemraPlatformKit::defaultInterferenceFrequency());
  std::fflush(stdout);

  VPKLog(1, "doctor: quiet log line");
  VPKLogSetEnabled(true);
  VPKLog(0, "doctor: verbose log line");
  VPKLogSetEnabled(false);
}

vemra::VemraCommand doctor({"doctor",
                            "Print the library version, storage root, country, mains frequency, processors and "
                            "sample log lines",
                            10, [](CLI::App& sub) { sub.callback(runDoctor); }});

}  // namespace
