// vemra doctor: what the library sees on this machine.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include <cstdio>
#include <string>

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

  const auto found = VemraPlatformKit::localeCountry();
  std::string continent = "(unknown)";
  if (auto table = VemraPlatformKit::continentByCountry(); table && found)
    if (const vpk::Value* c = table->find(found->first)) continent = c->stringValue();
  if (found)
    std::printf("country:          %s (from %s)\n", found->first.c_str(), found->second.c_str());
  else
    std::printf("country:          (unknown: no locale variable names a territory)\n");
  std::printf("continent:        %s\n", continent.c_str());

  // The tool launched the SDK before this command, so the stored frequency is the locale's.
  std::printf("mains frequency:  %u Hz\n", VemraPlatformKit::defaultInterferenceFrequency());
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
}

vemra::VemraCommand doctor({"doctor",
                            "Print the library version, folders, storage root, country, mains frequency, "
                            "processors and Bluetooth stack",
                            10, [](CLI::App& sub) { sub.callback(runDoctor); }});

}  // namespace
