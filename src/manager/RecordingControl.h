#pragma once
// The device manager's recording of the connected headband's stream: one writer at a time,
// added as an output of the stream; when it closes, a recording of 2.0 s or more is announced
// with VPKBluetoothManagerFinishedRecordedNotification and a shorter one is deleted; one that
// lost data (closed without a finished file) is neither.
// Lives on the shared work queue (every call in the shared context).

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/platform/values/Value.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <memory>

namespace vpk::detail {

class RecordingControl {
 public:
  /// Recordings shorter than this are deleted when they close.
  static constexpr double kMinimumDuration = 2.0;

  /// recordData := true; with a stream and no open writer, starts one on a new temporary
  /// file. Returns the open writer (nullptr with no stream, or when the file cannot be made).
  VPKSignalStreamFileHandlePtr start(const std::shared_ptr<VPKSignalStream>& stream,
                                     const std::optional<ValueDictionary>& header);
  /// recordData := false; closes the open writer (queued) and returns it.
  VPKSignalStreamFileHandlePtr stop();
  VPKSignalStreamFileHandlePtr currentFileHandle() const { return current_; }
  bool recordData() const { return recordData_; }
  bool isRecording() const { return current_ != nullptr; }
  /// Recording the given stream.
  bool isRecording(const std::shared_ptr<VPKSignalStream>& stream) const {
    return current_ && stream && recordedStream_.lock() == stream;
  }

  /// What the manager installs as the writer's closed handler (main queue).
  static void handleClosed(const VPKSignalStreamFileHandlePtr& writer);

 private:
  VPKSignalStreamFileHandlePtr current_;
  std::weak_ptr<VPKSignalStream> recordedStream_;
  bool recordData_ = false;
};

}  // namespace vpk::detail
