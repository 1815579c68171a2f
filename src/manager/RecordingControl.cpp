#include "manager/RecordingControl.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/manager/VPKBluetoothManagerNotifications.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>

const char* const VPKBluetoothManagerChangedStateNotification = "com.vemra.VPKBluetoothManagerChangedStateNotification";
const char* const VPKBluetoothManagerChangedSearchingStateNotification =
    "com.vemra.VPKBluetoothManagerChangedSearchingStateNotification";
const char* const VPKBluetoothManagerFinishedRecordedNotification =
    "com.vemra.VPKBluetoothManagerFinishedRecordedNotification";
const char* const VPKBluetoothManagerPreferredDeviceNotFoundNotification =
    "VPKBluetoothManagerPreferredDeviceNotFoundNotification";
const char* const VPKBluetoothManagerUnknownDeviceFoundNotification = "VPKBluetoothManagerUnknownDeviceFoundNotification";

namespace vpk::detail {

VPKSignalStreamFileHandlePtr RecordingControl::start(const std::shared_ptr<VPKSignalStream>& stream,
                                                     const std::optional<ValueDictionary>& header) {
  recordData_ = true;
  if (!stream) {
    VPKLog(0, "No device to record from");
    return current_;
  }
  VPKLog(0, "Recording data...");
  if (current_) return current_;
  auto writer = VPKSignalStreamFileHandle::createForWriting();
  if (!writer) return nullptr;
  writer->setHeader(header);
  writer->setFileHandleClosedHandler(&RecordingControl::handleClosed);
  stream->addOutput(writer);
  current_ = writer;
  recordedStream_ = stream;
  return current_;
}

VPKSignalStreamFileHandlePtr RecordingControl::stop() {
  recordData_ = false;
  auto writer = std::move(current_);
  current_ = nullptr;
  if (writer) writer->closeFileAndNotify();
  return writer;
}

void RecordingControl::handleClosed(const VPKSignalStreamFileHandlePtr& writer) {
  // A writer that closed without a finished file lost data on the way (a failed write
  // sticks and leaves URL() unset): it is not announced as a recording, and what reached
  // the disk stays where it is.
  if (!writer->URL()) {
    const auto partial = writer->temporaryURL();
    VPKLog(1, "Recording lost data and is not announced{}", partial ? "; partial file: " + partial->string() : "");
    return;
  }
  if (writer->duration() >= kMinimumDuration) {
    NotificationCenter::defaultCenter().post(VPKBluetoothManagerFinishedRecordedNotification, writer);
  } else {
    writer->discardAllAssociatedURLs();
  }
}

}  // namespace vpk::detail
