// vemra doctor: what the library sees on this machine.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKVersion.h>

#include <cstdio>
#include <thread>

namespace {

void runDoctor() {
  std::printf("VemraPlatformKit %s\n", VPKLibraryVersion());
  std::printf("processors: %u\n", std::thread::hardware_concurrency());
  std::fflush(stdout);
  VPKLog(1, "doctor: quiet log line");
  VPKLogSetEnabled(true);
  VPKLog(0, "doctor: verbose log line");
  VPKLogSetEnabled(false);
}

vemra::VemraCommand doctor({"doctor", "Print the library version, its folders, processors and sample log lines", 10,
                            [](CLI::App& sub) { sub.callback(runDoctor); }});

}  // namespace
