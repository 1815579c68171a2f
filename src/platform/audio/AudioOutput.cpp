#include <VemraPlatformKit/platform/audio/AudioOutput.h>

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <algorithm>
#include <cmath>

namespace vpk {

AudioStreamFormat AudioStreamFormat::floatMono(double rate) {
  AudioStreamFormat format;
  format.sampleRate = rate;
  return format;
}

bool AudioStreamFormat::isFloatMono() const {
  return formatID == kLinearPCM && (formatFlags & 1u) && bytesPerPacket == 4 && framesPerPacket == 1 &&
         bytesPerFrame == 4 && channelsPerFrame == 1 && bitsPerChannel == 32 && std::isfinite(sampleRate) &&
         sampleRate >= 1.0 && sampleRate <= 384000.0;
}

AudioSession& AudioSession::shared() {
  static AudioSession* session = new AudioSession;  // lives as long as the process
  return *session;
}

int AudioSession::initialize(const void* owner, std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(listeners_.begin(), listeners_.end(), [owner](const auto& l) { return l.first == owner; });
  if (it != listeners_.end()) it->second = std::move(listener);
  else listeners_.emplace_back(owner, std::move(listener));
  return kAudioStatusOK;
}

void AudioSession::removeListener(const void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(listeners_, [owner](const auto& l) { return l.first == owner; });
}

int AudioSession::setCategory(uint32_t category) {
  std::lock_guard<std::mutex> lock(mutex_);
  category_ = category;
  return kAudioStatusOK;
}

uint32_t AudioSession::category() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return category_;
}

int AudioSession::setActive(bool active) {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = active;
  return kAudioStatusOK;
}

bool AudioSession::isActive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

void AudioSession::interrupt() {
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : listeners_) listeners.push_back(l.second);
  }
  for (auto& listener : listeners)
    if (listener) DispatchQueue::main()->async(std::move(listener));
}

}  // namespace vpk
