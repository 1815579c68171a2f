#pragma once
/// @file SimulatedHeadband.h
/// One virtual headband of a SimulatedWorld: it advertises, accepts a connection, serves
/// the headband's GATT table and runs the headband's firmware as the library meets it.
///
/// What it does, seen from a central:
///   - Advertising (while powered, heard and not connected): local name ("Vemra 1a2b"),
///     the main service in the service list, an RSSI with Gaussian jitter, every
///     advertising interval plus the radio's 0-10 ms random delay. In update mode it
///     advertises the update service under the name "vemraota".
///   - GATT: the main service with TX (write, write without response) and RX (notify);
///     in update mode only the update service with its control point (write, notify) and
///     packet characteristic (write without response).
///   - Link timing: the link runs connection events every connection interval. A write
///     or request reaches the headband at the next event; its response and the headband's
///     reply leave at the event after; at most maxPacketsPerEvent notifications and
///     responses leave per event, the rest wait for the next.
///   - Firmware: every write to TX is one command. A write that starts with "E" is echoed:
///     what follows the "E" comes back on RX unchanged. Other writes are commands ending
///     in "\r": "Q1" answers the firmware identification, "DR0404" the status word (eight
///     hexadecimal digits), "S01"/"S00" start and stop the signal, "DW0308" switches the
///     headband's idle auto-disconnect off for this connection, "DW01FF" powers it off:
///     it announces "QI:Entering Sleep Mode" between "<p>" and "</p>" and then drops the
///     link. Other "DWrrvv" writes set register rr; unknown commands are ignored. Every
///     text leaves as notifications of at most 20 bytes, answers end in "\r\n".
///   - Status word: bits 31-24 battery reading (volts x 50, rounded), bit 15 charging,
///     bit 14 charged (charger in, battery full), bit 13 button down, bit 12 button held
///     3 s or more, bit 1 auto-disconnect on, bit 0 streaming.
///   - Battery: the cell discharges (faster while streaming) and charges towards 4.2 V on
///     the charger; while charging the reading shows the supply (supplyVoltage) unless
///     that is 0. Below 3.45 V off the charger the headband announces sleep and powers off.
///   - Signal: "S01" starts one 20-byte 0xA0 packet per 12 ms (three samples at 250 Hz) from
///     a SimulatedSignalModel, sent in bursts at connection events; byte 1 counts packets.
///   - Button: a press while off wakes the headband. Released after 10 s or more, the
///     headband announces sleep and powers off one second later.
///   - Update mode: 0x06 written to the control point resets the headband: the write is
///     answered, the link drops and the headband boots in normal mode.
///
/// Faults (all off by default) make it misbehave on purpose; see the fault operations.
///
/// Ownership: the world owns its headbands; a SimulatedHeadband handle may be kept by
/// anyone. Once removed from its world, a headband's operations do nothing.
/// Threads: every operation may be called from any thread; events take effect at the
/// library clock's current time.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

namespace detail {
class HeadbandCore;
}

class VPK_EXPORT SimulatedHeadband {
 public:
  /// The headband's GATT table.
  static const BluetoothUUID& mainServiceUUID();          ///< 6E400001-B5A3-F393-E0A9-E50E24DCCA9E
  static const BluetoothUUID& txCharacteristicUUID();     ///< 6E400002-... host to headband
  static const BluetoothUUID& rxCharacteristicUUID();     ///< 6E400003-... headband to host
  static const BluetoothUUID& updateServiceUUID();        ///< 00001530-1212-EFDE-1523-785FEABCD123
  static const BluetoothUUID& updateControlPointUUID();   ///< 00001531-...
  static const BluetoothUUID& updatePacketUUID();         ///< 00001532-...
  /// The local name advertised in update mode, in lower case as the headband sends it.
  static constexpr const char* kUpdateModeName = "vemraota";
  static constexpr const char* kSleepAnnouncement = "QI:Entering Sleep Mode";

  /// What "Q1" reports.
  struct Firmware {
    int major = 4;
    int minor = 2;
    unsigned build = 0x501;
    /// Release date, "yyMMdd".
    std::string releaseDate = "140917";
    bool releaseCandidate = false;
    std::string hardware = "HW-C";
  };

  struct Configuration {
    /// Advertised name; empty: "Vemra " and four hexadecimal digits of the identifier.
    std::string name;
    /// Stable identifier; absent: derived from the world's seed.
    std::optional<BluetoothUUID> identifier;
    /// Signal scenario (SimulatedSignalScenario::names()); an unknown name means "focused".
    std::string scenario = "focused";
    /// Seed of the signal and of the headband's randomness; 0: derived from the world's.
    uint64_t seed = 0;
    /// Mains hum of the signal, Hz; 0: the library's stored mains frequency
    /// (VemraPlatformKit::defaultInterferenceFrequency(), 60 when none is stored).
    double mainsFrequency = 0;

    int rssi = -58;                     ///< mean RSSI, dBm
    double rssiJitter = 2.5;            ///< standard deviation of the RSSI, dB
    double advertisingInterval = 0.1;   ///< seconds
    double connectionInterval = 0.03;   ///< seconds
    unsigned maxPacketsPerEvent = 6;    ///< notifications and responses per connection event

    bool updateMode = false;
    bool poweredOn = true;
    double batteryVoltage = 3.95;       ///< the cell, volts
    bool charging = false;
    double supplyVoltage = 5.06;        ///< reading while charging; 0: the cell's voltage
    double autoDisconnectTimeout = 60;  ///< idle seconds before the headband drops the link; 0: never
    double bootTime = 1.0;              ///< seconds from power-on (or reset) to advertising
    Firmware firmware;
  };

  ~SimulatedHeadband();
  SimulatedHeadband(const SimulatedHeadband&) = delete;
  SimulatedHeadband& operator=(const SimulatedHeadband&) = delete;

  // ---- identity and observation (a snapshot at the current time) ----
  const BluetoothUUID& identifier() const;
  /// The normal-mode name.
  std::string name() const;
  /// The name advertised now ("vemraota" in update mode).
  std::string advertisedName() const;
  bool isPoweredOn() const;
  bool isAdvertising() const;
  bool isConnected() const;
  bool isStreaming() const;
  bool isInUpdateMode() const;
  bool isCharging() const;
  bool isButtonDown() const;
  bool isAutoDisconnectEnabled() const;
  /// The cell's voltage now.
  double batteryVoltage() const;
  /// The status word "DR0404" would answer now.
  uint32_t statusWord() const;
  /// The answer to "Q1", without its line end.
  std::string firmwareText() const;
  /// The commands received on TX, oldest first (the last 256), as written.
  std::vector<std::string> receivedCommands() const;
  /// Signal packets produced since creation.
  uint64_t packetsSent() const;
  /// The configuration as it stands (scenario and RSSI follow the scripted changes).
  Configuration configuration() const;

  // ---- scripted events ----
  void pressButton();
  void releaseButton();
  /// Presses now and releases after `seconds`.
  void holdButton(double seconds);
  void setCharging(bool charging);
  void setBatteryVoltage(double volts);
  /// Goes to sleep as "DW01FF" does (announcement, then the link drops).
  void powerOff();
  /// Wakes a headband that is off; it advertises after its boot time.
  void powerOn();
  /// Switches the signal scenario; false (and nothing changes) for an unknown name.
  bool setScenario(const std::string& name);
  void setElectrodeContact(SimulatedChannel channel, ElectrodeContact contact);
  /// Reboots into update mode (the link drops; it advertises "vemraota").
  void enterUpdateMode();
  void setRSSI(int rssi);

  // ---- faults ----
  /// Each notification is lost on the air with this probability (0..1).
  void setNotificationDropRate(double fraction);
  /// Each query ("Q1", "DR..") goes unanswered with this probability (0..1): no answer and
  /// no closing echo, as if the headband never heard it.
  void setReplyLossRate(double fraction);
  /// The next `count` queries go unanswered.
  void loseNextReplies(unsigned count);
  /// The next `count` writes fail with `error` and do not reach the firmware.
  void failNextWrites(unsigned count,
                      BluetoothError error = BluetoothError::att(BluetoothATTError::UnlikelyError));
  /// The next notification on RX arrives as an error instead of its bytes.
  void failNextNotification(BluetoothError error = BluetoothError::att(BluetoothATTError::UnlikelyError));
  /// Connection attempts fail (didFailToConnectPeripheral) while set.
  void setRefusesConnections(bool refuses);
  /// The link drops `afterSeconds` from now with `error` (nothing when not connected then).
  void dropLink(double afterSeconds = 0,
                BluetoothError error = BluetoothError::link(BluetoothErrorCode::ConnectionTimeout));

  explicit SimulatedHeadband(std::shared_ptr<detail::HeadbandCore> core);  // made by SimulatedWorld

 private:
  friend class SimulatedWorld;
  std::shared_ptr<detail::HeadbandCore> core_;
};

using SimulatedHeadbandPtr = std::shared_ptr<SimulatedHeadband>;

}  // namespace vpk
