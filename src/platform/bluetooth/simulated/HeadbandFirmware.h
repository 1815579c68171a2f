#pragma once
// The simulated headband's firmware: the text command interpreter behind TX, the status
// word, the identification text, the battery, the button and the charger. Pure logic:
// time comes in as an argument, replies go out as texts; the link decides how they travel.
// Not thread-safe: used under the world's lock.

#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vpk::detail {

class HeadbandFirmware {
 public:
  enum class Action { None, StartStream, StopStream, PowerOff };

  struct Reply {
    /// Texts to send on RX, in order (each is split into notifications by the link).
    std::vector<std::string> texts;
    Action action = Action::None;
    /// A command that asks for an answer ("Q1", "DR..").
    bool query = false;
    /// An "E" write whose text is echoed.
    bool echo = false;
  };

  /// Volts below which the headband, off the charger, goes to sleep.
  static constexpr double kCutOffVoltage = 3.45;
  static constexpr double kFullVoltage = 4.2;
  /// Seconds the button must be held for the status word's "held" bit.
  static constexpr double kHeldSeconds = 3.0;

  HeadbandFirmware(const SimulatedHeadband::Configuration& configuration, double now);

  /// One write to TX.
  Reply handleWrite(const std::vector<uint8_t>& bytes, double now);

  /// A new connection: the idle auto-disconnect is on again.
  void connectionStarted();
  bool autoDisconnectEnabled() const { return autoDisconnect_; }
  bool streaming() const { return streaming_; }
  void setStreaming(bool streaming, double now);
  /// Powered and awake (drains the battery).
  void setAwake(bool awake, double now);

  // battery and charger
  double cellVoltage(double now);
  void setCellVoltage(double volts, double now);
  bool isDepleted(double now);
  bool charging() const { return charging_; }
  void setCharging(bool charging, double now);
  /// The voltage the status word reports now.
  double readingVoltage(double now);

  // button
  bool buttonDown() const { return buttonDown_; }
  void pressButton(double now);
  /// Releases the button; returns how long it was held (0 when it was not down).
  double releaseButton(double now);

  uint32_t statusWord(double now);
  /// The answer to "Q1", without its line end.
  std::string firmwareText() const;

 private:
  void advance(double now);

  SimulatedHeadband::Firmware firmware_;
  double supplyVoltage_;
  double cell_;
  double lastAdvance_;
  bool awake_ = true;
  bool charging_ = false;
  bool streaming_ = false;
  bool autoDisconnect_ = true;
  bool buttonDown_ = false;
  double buttonDownSince_ = 0;
  std::map<int, int> registers_;
};

}  // namespace vpk::detail
