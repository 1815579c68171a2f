// The headband's identification text (its answer to "Q1\r"), parsed on its own and as the
// reply arriving on RX. A description that parses must survive the forms it is kept in:
// the per-device store's dictionary (read back when the headband connects again) and a
// keyed archive; and the reply, unless its text holds a frame marker or a signal byte
// where a notification starts, must give the headband object the same description.
#include "FuzzHeadband.h"

#include "device/HeadbandText.h"
#include "device/ReplyAssembler.h"

#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <span>
#include <string>
#include <string_view>

using namespace vpk::fuzz;
using FW = VPKDeviceFirmwareDescription;

namespace {

bool sameDescription(const FW& a, const FW& b) {
  return a.majorVersion() == b.majorVersion() && a.minorVersion() == b.minorVersion() &&
         a.patchVersion() == b.patchVersion() && a.releaseDate() == b.releaseDate();
}

// Whether the reply reaches the object whole: no notification of it is taken for a frame
// marker or a signal packet.
bool arrivesWhole(const std::string& text) {
  if (text.size() > VPKPeripheral::kMaxResponseLength) return false;
  if (text.find("<p>") != std::string::npos || text.find("</p>") != std::string::npos) return false;
  for (size_t at = 0; at < text.size(); at += 20)
    if (vpk::detail::ReplyAssembler::isSignalPacket(std::span(reinterpret_cast<const uint8_t*>(text.data()) + at, 1)))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzClock();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = FW::createWithResponse(vpk::detail::trimReply(text));
  if (parsed) {
    (void)parsed->description();
    check(parsed->stringValue().size() < 128, "a version string out of proportion");
    if (const auto dictionary = parsed->dictionaryValue()) {
      const auto reread = FW::createWithDictionary(*dictionary);
      check(reread && sameDescription(*reread, *parsed), "the stored form reads back to another firmware");
    }
    const auto archived = vpk::KeyedArchiver::archivedData(vpk::Value(parsed));
    check(archived.has_value(), "a firmware description cannot be archived");
    const auto unarchived = vpk::KeyedUnarchiver::unarchive(*archived);
    const auto object = unarchived ? std::dynamic_pointer_cast<FW>(unarchived->object()) : nullptr;
    check(object && sameDescription(*object, *parsed) && object->firmwareString() == parsed->firmwareString(),
          "an archived firmware description decodes to another");
  }

  VPKResourceManager::performBlockAndWait([&] {
    FuzzHeadband band(std::nullopt);
    band.reply("Q1\r", text + "\r\n");
    checkHeadbandState(*band.device);
    const auto got = band.device->firmwareVersion();
    if (arrivesWhole(text + "\r\n")) {
      check((got != nullptr) == (parsed != nullptr), "the reply and the text parse differently");
      if (got) check(sameDescription(*got, *parsed), "the reply gives another firmware than its text");
    }
    if (!got) return;
    // Connected again: the description comes from the store, and is the same.
    if (!band.device->objectForKey("firmware").isDictionary()) return;
    band.device->readFirmwareVersion();
    const auto stored = band.device->firmwareVersion();
    check(stored && sameDescription(*stored, *got), "the stored firmware reads back to another");
  });
  vpk::ManualClock::settle();
  return 0;
}
