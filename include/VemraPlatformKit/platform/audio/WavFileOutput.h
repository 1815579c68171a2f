#pragma once
/// @file WavFileOutput.h
/// An audio output that writes to a WAV file instead of a loudspeaker.
///
/// Each unit made by the component writes to the component's path: initialize creates (or
/// truncates) the file, every run appends what the render callback produced, and the header's
/// sizes are brought up to date whenever the unit stops and when it is uninitialized. The
/// samples are written as the stream format gives them: 32-bit IEEE float, mono, at the
/// format's rate (WAVE format 3, with a "fact" chunk).
///
/// Pace: while running, a timer on the library clock pulls every 20 ms as many frames as the
/// clock says are due since the start, so a file holds exactly rate x running time samples and
/// tests produce seconds of audio in virtual time. The render callback runs on the unit's own
/// serial queue.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/audio/AudioOutput.h>

#include <filesystem>
#include <memory>

namespace vpk {

class VPK_EXPORT WavFileOutput : public AudioComponent {
 public:
  static std::shared_ptr<WavFileOutput> create(std::filesystem::path path);
  explicit WavFileOutput(std::filesystem::path path);

  std::shared_ptr<AudioOutputUnit> createInstance() override;
  std::string name() const override;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vpk
