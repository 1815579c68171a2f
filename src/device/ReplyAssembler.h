#pragma once
// Reads the headband's RX notifications as replies: signal packets (first byte 0xA0 or
// 0xFE) are left alone; text is trimmed (white space and line ends, then control
// characters) and a reply is collected between a notification that begins with "<p>" and
// one that ends with "</p>", whose text before "</p>" is the echoed command, carriage
// return included. The headband object routes RX through it; tests read recorded RX with it.
//
// A reply whose end never comes is not collected past kMaxLength bytes: the partial reply
// is dropped and the assembler ignores text until the next "<p>" or "</p>" (a "</p>" then
// completes nothing).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vpk::detail {

class ReplyAssembler {
 public:
  static constexpr size_t kMaxLength = 4096;

  enum class Event {
    Signal,      ///< a signal packet: not text
    Started,     ///< "<p>": the buffer was emptied
    Completed,   ///< "</p>": a reply was completed (see the out-argument)
    Discarded,   ///< "</p>" closing a reply that had overflowed
    Collected,   ///< text appended
    Overflowed,  ///< the text would pass kMaxLength: the partial reply was dropped
    Ignored,     ///< text after an overflow, before the next marker
  };
  struct Reply {
    std::string echoed;    ///< the command as echoed, with its carriage return
    std::string response;  ///< the collected text, trimmed
  };

  static bool isSignalPacket(std::span<const uint8_t> value) {
    return !value.empty() && (value[0] == 0xA0 || value[0] == 0xFE);
  }

  /// Reads one notification; on Completed, `reply` (when given) receives the reply.
  Event feed(std::span<const uint8_t> value, Reply* reply = nullptr);
  /// The text collected so far (untrimmed).
  const std::string& buffer() const { return buffer_; }
  /// Back to idle: empty buffer, no overflow.
  void clear() {
    buffer_.clear();
    overflowed_ = false;
  }

 private:
  std::string buffer_;
  bool overflowed_ = false;
};

/// The three values of the status word the library uses.
struct StatusWord {
  uint8_t batteryRaw = 0;  ///< bits 31-24: volts x 50
  bool charging = false;   ///< bit 15 or 14
  bool button = false;     ///< bit 13 or 12
};
/// Decodes the hexadecimal status word; nullopt when the text holds no hexadecimal number.
std::optional<StatusWord> decodeStatusWord(std::string_view text);

}  // namespace vpk::detail
