#include "device/ReplyAssembler.h"

#include "device/HeadbandText.h"

namespace vpk::detail {

ReplyAssembler::Event ReplyAssembler::feed(std::span<const uint8_t> value, Reply* reply) {
  if (isSignalPacket(value)) return Event::Signal;
  const std::string text(value.begin(), value.end());
  const std::string_view trimmed = trimReply(text);
  if (trimmed.substr(0, 3) == "<p>") {
    clear();
    return Event::Started;
  }
  if (trimmed.size() >= 4 && trimmed.substr(trimmed.size() - 4) == "</p>") {
    const bool dropped = overflowed_;
    if (!dropped && reply) *reply = {std::string(trimmed.substr(0, trimmed.find("</p>"))), std::string(trimReply(buffer_))};
    clear();
    return dropped ? Event::Discarded : Event::Completed;
  }
  if (overflowed_) return Event::Ignored;
  if (buffer_.size() + text.size() > kMaxLength) {
    buffer_.clear();
    overflowed_ = true;
    return Event::Overflowed;
  }
  buffer_ += text;
  return Event::Collected;
}

std::optional<StatusWord> decodeStatusWord(std::string_view text) {
  const std::optional<uint32_t> word = scanHex32(text);
  if (!word) return std::nullopt;
  return StatusWord{static_cast<uint8_t>(*word >> 24), (*word & 0xC000u) != 0, (*word & 0x3000u) != 0};
}

}  // namespace vpk::detail
