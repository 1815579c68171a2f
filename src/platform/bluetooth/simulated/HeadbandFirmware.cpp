#include "platform/bluetooth/simulated/HeadbandFirmware.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace vpk::detail {

namespace {

// Battery slopes, volts per second.
constexpr double kIdleDrain = 0.02 / 3600;
constexpr double kStreamingDrain = 0.08 / 3600;
constexpr double kChargeRate = 0.5 / 3600;

// Status word bits.
constexpr uint32_t kBitCharging = 1u << 15;
constexpr uint32_t kBitCharged = 1u << 14;
constexpr uint32_t kBitButtonDown = 1u << 13;
constexpr uint32_t kBitButtonHeld = 1u << 12;
constexpr uint32_t kBitAutoDisconnect = 1u << 1;
constexpr uint32_t kBitStreaming = 1u << 0;

// Registers of the "DWrrvv" writes the firmware acts on.
constexpr int kRegisterPower = 0x01;
constexpr int kRegisterIdle = 0x03;
constexpr int kPowerOffValue = 0xFF;
constexpr int kIdleOffValue = 0x08;
constexpr int kRegisterStatus = 0x04;

// Two hexadecimal digits at `at` of `text`.
std::optional<int> hexByte(std::string_view text, size_t at) {
  int v = 0;
  for (size_t i = at; i < at + 2; ++i) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else return std::nullopt;
    v = v * 16 + d;
  }
  return v;
}

}  // namespace

HeadbandFirmware::HeadbandFirmware(const SimulatedHeadband::Configuration& configuration, double now)
    : firmware_(configuration.firmware),
      supplyVoltage_(configuration.supplyVoltage),
      cell_(configuration.batteryVoltage),
      lastAdvance_(now),
      charging_(configuration.charging) {}

void HeadbandFirmware::advance(double now) {
  const double dt = now - lastAdvance_;
  lastAdvance_ = now;
  if (!(dt > 0)) return;
  if (charging_) {
    cell_ = std::min(kFullVoltage, cell_ + kChargeRate * dt);  // the charger works while asleep too
  } else if (awake_) {
    cell_ = std::max(0.0, cell_ - (streaming_ ? kStreamingDrain : kIdleDrain) * dt);
  }
}

void HeadbandFirmware::connectionStarted() { autoDisconnect_ = true; }

void HeadbandFirmware::setStreaming(bool streaming, double now) {
  advance(now);
  streaming_ = streaming;
}

void HeadbandFirmware::setAwake(bool awake, double now) {
  advance(now);
  awake_ = awake;
  if (!awake) streaming_ = false;
}

double HeadbandFirmware::cellVoltage(double now) {
  advance(now);
  return cell_;
}

void HeadbandFirmware::setCellVoltage(double volts, double now) {
  advance(now);
  if (std::isfinite(volts)) cell_ = std::clamp(volts, 0.0, 5.1);
}

bool HeadbandFirmware::isDepleted(double now) { return !charging_ && cellVoltage(now) < kCutOffVoltage; }

void HeadbandFirmware::setCharging(bool charging, double now) {
  advance(now);
  charging_ = charging;
}

double HeadbandFirmware::readingVoltage(double now) {
  advance(now);
  if (charging_ && supplyVoltage_ > 0) return supplyVoltage_;
  return cell_;
}

void HeadbandFirmware::pressButton(double now) {
  if (buttonDown_) return;
  buttonDown_ = true;
  buttonDownSince_ = now;
}

double HeadbandFirmware::releaseButton(double now) {
  if (!buttonDown_) return 0;
  buttonDown_ = false;
  return std::max(0.0, now - buttonDownSince_);
}

uint32_t HeadbandFirmware::statusWord(double now) {
  const double volts = readingVoltage(now);
  const uint32_t raw = static_cast<uint32_t>(std::clamp(std::lround(volts * 50.0), 0L, 255L));
  uint32_t word = raw << 24;
  if (charging_) word |= cell_ >= kFullVoltage - 1e-9 ? kBitCharged : kBitCharging;
  if (buttonDown_) {
    word |= kBitButtonDown;
    if (now - buttonDownSince_ >= kHeldSeconds) word |= kBitButtonHeld;
  }
  if (autoDisconnect_) word |= kBitAutoDisconnect;
  if (streaming_) word |= kBitStreaming;
  return word;
}

std::string HeadbandFirmware::firmwareText() const {
  std::string text = fmt::format("Q1:VEMRA_V.{}_{}{}_{}", firmware_.major, firmware_.minor,
                                 firmware_.releaseCandidate ? "_RC" : "", firmware_.releaseDate);
  if (!firmware_.hardware.empty()) text += ":" + firmware_.hardware;
  text += fmt::format(":B-{:04X}", firmware_.build);
  return text;
}

HeadbandFirmware::Reply HeadbandFirmware::handleWrite(const std::vector<uint8_t>& bytes, double now) {
  Reply reply;
  std::string text;
  text.reserve(bytes.size());
  for (uint8_t b : bytes) {
    if (b == 0 || b >= 0x80) {
      VPKLog(0, "Simulated headband: ignoring a write that is not ASCII text ({} bytes)", bytes.size());
      return reply;
    }
    text.push_back(static_cast<char>(b));
  }
  if (text.empty()) return reply;
  if (text.front() == 'E') {
    reply.echo = true;
    if (text.size() > 1) reply.texts.push_back(text.substr(1));
    return reply;
  }
  std::string_view command(text);
  while (!command.empty() && (command.back() == '\r' || command.back() == '\n')) command.remove_suffix(1);

  if (command == "Q1") {
    reply.query = true;
    reply.texts.push_back(firmwareText() + "\r\n");
  } else if (command == "S01") {
    reply.action = Action::StartStream;
  } else if (command == "S00") {
    reply.action = Action::StopStream;
  } else if (command.size() == 6 && command.substr(0, 2) == "DR") {
    auto reg = hexByte(command, 2), length = hexByte(command, 4);
    if (reg && length) {
      reply.query = true;
      if (*reg == kRegisterStatus && *length == 4) {
        reply.texts.push_back(fmt::format("{:08X}\r\n", statusWord(now)));
      } else {
        const int digits = 2 * std::clamp(*length, 1, 4);
        const auto it = registers_.find(*reg);
        reply.texts.push_back(fmt::format("{:0{}X}\r\n", it == registers_.end() ? 0 : it->second, digits));
      }
    }
  } else if (command.size() == 6 && command.substr(0, 2) == "DW") {
    auto reg = hexByte(command, 2), value = hexByte(command, 4);
    if (reg && value) {
      registers_[*reg] = *value;
      if (*reg == kRegisterPower && *value == kPowerOffValue) reply.action = Action::PowerOff;
      if (*reg == kRegisterIdle) autoDisconnect_ = *value != kIdleOffValue;
    }
  }
  // Anything else ("!", "@", unknown text) is taken without an answer.
  return reply;
}

}  // namespace vpk::detail
