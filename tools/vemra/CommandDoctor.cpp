// vemra doctor: what the library sees on this machine.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
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
  VPKLog(1, "doctor: quiet log line");
  VPKLogSetEnabled(true);
  VPKLog(0, "doctor: verbose log line");
  VPKLogSetEnabled(false);
}

vemra::VemraCommand doctor({"doctor", "Print the library version, its folders, processors and sample log lines", 10,
                            [](CLI::App& sub) { sub.callback(runDoctor); }});

}  // namespace
