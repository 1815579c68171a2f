#pragma once
/// @file VPKSignalStreamDelegate.h
/// The application's delegate of a signal stream: told when streaming begins and handed
/// every raw packet. Every operation is optional.
///
/// Queue: by default the stream posts each call to the main queue (see
/// vpk::DispatchQueue::main). A delegate whose requiresMethodsToBeDeliveredInStreamQueue()
/// answers true is called directly on the library's shared work queue instead, in step
/// with the stream's outputs.
///
/// Ownership: the stream refers to its delegate weakly; the application keeps it alive.
/// A call posted to the main queue looks the stream's delegate up when it runs, so a
/// delegate replaced or destroyed in the meantime is not called.
///
/// Override only what you use and do not call the default implementations: a default
/// tells the stream that the operation is not implemented, and the stream then stops
/// posting it to the main queue.
///
/// Name mapping:
///   requiresMethodsToBeDeliveredInStreamQueue -> requiresMethodsToBeDeliveredInStreamQueue()
///   streamDidBeginStreaming:                  -> streamDidBeginStreaming(stream)
///   stream:didRecieveData:                    -> didRecieveData(stream, packet)

#include <VemraPlatformKit/VPKExport.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

class VPKSignalStream;

class VPK_EXPORT VPKSignalStreamDelegate {
 public:
  VPKSignalStreamDelegate() = default;
  virtual ~VPKSignalStreamDelegate();
  VPKSignalStreamDelegate(const VPKSignalStreamDelegate&) = delete;
  VPKSignalStreamDelegate& operator=(const VPKSignalStreamDelegate&) = delete;

  /// true: be called on the shared work queue. false or std::nullopt (the default): be
  /// called on the main queue. Asked on the shared work queue before each call.
  virtual std::optional<bool> requiresMethodsToBeDeliveredInStreamQueue();
  /// The first packet after the stream was reset has arrived.
  virtual void streamDidBeginStreaming(VPKSignalStream& stream);
  /// A raw packet (any kind, corrupt ones included). The span is valid for the call only.
  virtual void didRecieveData(VPKSignalStream& stream, std::span<const uint8_t> packet);

 private:
  friend class VPKSignalStream;
  // Set by the default implementations when they run.
  std::atomic<bool> skipsBeginStreaming_{false};
  std::atomic<bool> skipsData_{false};
};
