// Names from the air: the local name a headband advertises and the name its link learnt,
// as a headband object takes them when it is discovered (its name, its hardware
// identifier, the older per-device file it migrates, its store).
//
// The input: a first byte whose bit 0 says whether there is an advertised name and bit 1
// whether the link has a name; a second byte, the length of the advertised name (modulo
// 64); then the advertised name and, after it, the link's name.
// A hardware identifier is "VMR" and at least two characters and can only name a plain
// file; the store the object wrote reads back equal, so a name of any bytes never leaves
// the headband's store unreadable.
#include "FuzzHeadband.h"

#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>

#include <algorithm>
#include <optional>
#include <string>

using namespace vpk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzClock();
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const size_t split = std::min<size_t>(data[1] % 64, size - 2);
  const char* text = reinterpret_cast<const char*>(data) + 2;
  std::optional<std::string> advertised, gap;
  if (flags & 1) advertised = std::string(text, split);
  if (flags & 2) gap = std::string(text + split, size - 2 - split);

  VPKResourceManager::performBlockAndWait([&] {
    FuzzHeadband band(advertised, gap);
    VPKPeripheral& device = *band.device;
    if (const auto& id = device.hardwareIdentifier()) {
      check(id->size() >= 5 && id->compare(0, 3, "VMR") == 0, "a hardware identifier not of the form VMR..");
      check(vpk::isSafePathComponent(*id), "a hardware identifier that cannot name a plain file");
    }
    check(device.deviceHandle() && device.deviceHandle()->name() == device.name(), "the handle names another headband");
    const auto& store = device.persistentDeviceInfo();
    if (!store || device.hasUnsavedPersistentDeviceInfoChanges()) return;
    const auto reread = VPKPeripheral::persistentDeviceInfoForIdentifier(device.identifier());
    check(reread.has_value(), "the headband's store does not read back");
    check(vpk::Value(*reread) == vpk::Value(*store), "the headband's store reads back changed");
  });
  vpk::ManualClock::settle();
  return 0;
}
