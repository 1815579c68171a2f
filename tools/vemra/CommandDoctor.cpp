// vemra doctor: what the library sees on this machine.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include <string>

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

  const auto stack = vpk::BluetoothCentral::systemStack();
  std::printf("bluetooth:        %s\n", !stack.systemBus ? "no system bus"
                                          : stack.bluez   ? "BlueZ (org.bluez) on the system bus"
                                                          : "BlueZ (org.bluez) not on the system bus");
  for (const auto& a : stack.adapters)
    std::printf("  adapter:        %s %s, %s\n", a.name.c_str(), a.address.c_str(), a.poweredOn ? "powered on" : "powered off");
  if (stack.bluez && stack.adapters.empty()) std::printf("  adapter:        none\n");
  std::printf("bluetooth backend: %s\n", std::string(vpk::toString(vpk::BluetoothCentral::preferredBackend())).c_str());
  std::fflush(stdout);

  VPKLog(1, "doctor: quiet log line");
  VPKLogSetEnabled(true);
  VPKLog(0, "doctor: verbose log line");
  VPKLogSetEnabled(false);
}

vemra::VemraCommand doctor({"doctor",
                            "Print the library version, storage root, country, mains frequency, processors, Bluetooth "
                            "stack and sample log lines",
                            10, [](CLI::App& sub) { sub.callback(runDoctor); }});

}  // namespace
