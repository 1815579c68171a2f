// RX notifications as the central hands them to a headband object (its value callback):
// reply text framed between "<p>" and "</p>", signal packets, error notifications, and
// whole replies to the commands the object asks, interleaved with time passing.
//
// The input is a script of steps; each starts with an operation byte:
//   0    one notification: the next byte modulo 41 gives its length, the bytes after it
//        its contents (cut short at the end of the input)
//   1    the same, repeated as often as the byte after the operation says (a reply that
//        never ends, a flood, in a few bytes of input)
//   2    a whole reply: the next byte picks the command ("Q1\r", "DR0404\r", "DW0308\r",
//        another text), the one after the length of the text (modulo 64), then the text
//   3    a notification that arrives as an error (the first 64 of an input: each is logged
//        in the headband's store, which keeps the last 50 per kind; more only cost time)
//   4    time passes: the next byte, in tenths of a second
// Whatever arrives, the collected reply stays within its limit, the kept status answers
// within theirs, the battery level within 0..1 and the query rate on one of its steps.
#include "FuzzHeadband.h"

#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>

#include <algorithm>
#include <string_view>

using namespace vpk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto& clock = fuzzClock();
  static constexpr std::string_view kCommands[] = {"Q1\r", "DR0404\r", "DW0308\r", "XX\r"};
  std::unique_ptr<FuzzHeadband> band;
  VPKResourceManager::performBlockAndWait([&] { band = std::make_unique<FuzzHeadband>(std::nullopt); });

  size_t i = 0, errors = 0;
  const auto take = [&](size_t wanted) {
    const size_t n = std::min(wanted, size - i);
    const std::string_view bytes(reinterpret_cast<const char*>(data) + i, n);
    i += n;
    return bytes;
  };
  // The steps between two time steps run in one block on the shared queue.
  const auto runUntilTimePasses = [&] {
    while (i < size && data[i] % 5 != 4) {
      const uint8_t op = data[i++] % 5;
      if (op < 2) {
        const int repeats = op == 1 && i < size ? data[i++] : 1;
        const std::string_view bytes = take(i < size ? data[i++] % 41 : 0);
        for (int r = 0; r < repeats; ++r) band->notify(bytes);
      } else if (op == 2) {
        const std::string_view command = kCommands[i < size ? data[i++] % 4 : 0];
        band->reply(command, take(i < size ? data[i++] % 64 : 0));
      } else if (++errors <= 64) {
        band->device->didUpdateValue(band->link, band->link->rx, {},
                                     vpk::BluetoothError::att(vpk::BluetoothATTError::UnlikelyError));
      }
      checkHeadbandState(*band->device);
    }
  };
  while (i < size) {
    VPKResourceManager::performBlockAndWait(runUntilTimePasses);
    if (i < size) {  // a time step
      ++i;
      clock->advance((i < size ? data[i++] : 0) / 10.0);
    }
  }
  VPKResourceManager::performBlockAndWait([&] { band.reset(); });
  vpk::ManualClock::settle();
  return 0;
}
