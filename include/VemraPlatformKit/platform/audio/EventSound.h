#pragma once
/// @file EventSound.h
/// Short event sounds (the connect sounds of the device manager): the library's stand-in
/// for the platform's system sounds.
///
/// An event sound is named by a sound-theme event identifier ("device-added",
/// "device-removed"). createDefault() picks:
/// - the desktop's sound theme through libcanberra, when the library can be loaded at run
///   time (libcanberra.so.0; no build dependency) and a sound server is reachable
///   ($PULSE_SERVER, or a PulseAudio / PipeWire socket in $XDG_RUNTIME_DIR);
/// - otherwise a silent player.
///
/// Threads: play() may be called from any thread and returns at once (the sound plays on
/// the sound server). Failures are silent apart from one level-0 log line.

#include <VemraPlatformKit/VPKExport.h>

#include <memory>
#include <string>
#include <vector>

namespace vpk {

class VPK_EXPORT EventSound {
 public:
  virtual ~EventSound();
  virtual void play(const std::string& eventId) = 0;
  /// A short name of the player ("libcanberra", "silent").
  virtual std::string name() const = 0;

  /// See the file comment. Made once per call; the manager keeps one for the process.
  static std::shared_ptr<EventSound> createDefault();
};

/// Plays nothing; remembers what it was asked to play (tests read played()).
class VPK_EXPORT SilentEventSound : public EventSound {
 public:
  void play(const std::string& eventId) override;
  std::string name() const override { return "silent"; }
  std::vector<std::string> played() const;

 private:
  struct State;
  std::shared_ptr<State> state_ = makeState();
  static std::shared_ptr<State> makeState();
};

}  // namespace vpk
