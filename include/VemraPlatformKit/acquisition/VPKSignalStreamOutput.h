#pragma once
/// @file VPKSignalStreamOutput.h
/// The interface of everything that listens to a signal stream: the analyzer, the
/// recording writer, and any application object that wants the decoded samples or the
/// raw packets.
///
/// Every operation is optional: override what you need, the defaults do nothing. An
/// output that gives no priority (the default std::nullopt) sorts after every output that
/// gives one.
///
/// Threads and ownership
/// - Every call arrives on the library's shared work queue
///   (VPKResourceManager::sharedQueue()), never concurrently with another call of the
///   same stream.
/// - The stream holds its outputs strongly (std::shared_ptr) while they are in its list.
///   An output that wants to keep its stream gets it through setStream() when it is added
///   (and setStream(nullptr) when it is removed) and decides itself whether to keep it
///   weakly (std::weak_ptr, no cycle) or strongly (then the stream and the output keep each
///   other alive until the output is removed).
/// - The stream reference passed to each call is valid for the call only.
///
/// Changing the list from a callback
/// An output may add or remove outputs, itself included, or open, close or reset the
/// stream, from inside any callback. An output removed during a fan-out receives nothing
/// more after its willBeRemovedFromStream(), not even the rest of the packet in flight; an
/// output added during a fan-out starts with the next packet or event.
///
/// Speed
/// didRecieveValues() carries one left/right pair by value (two floats, a double and a
/// bool travel in registers: no memory is touched and nothing is allocated), three calls
/// per 20-byte packet, one output after the other. didRecieveData() lends the packet's
/// bytes as a span that is valid only during the call: copy them to keep them.
///
/// Name mapping (listener operation -> C++ member):
///   willBeRemovedFromStream:                     -> willBeRemovedFromStream(stream)
///   streamDidBeginStreaming:                     -> streamDidBeginStreaming(stream)
///   streamDidOpen: / streamDidClose:             -> streamDidOpen(stream) / streamDidClose(stream)
///   stream:didRecieveValues:timestamp:moreComing: -> didRecieveValues(stream, left, right, timestamp, moreComing)
///   stream:didRecieveData:                       -> didRecieveData(stream, packet)
///   outputPriorityForStream:                     -> outputPriorityForStream(stream)
///   setStream:                                   -> setStream(stream)

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

class VPKSignalStream;

class VPK_EXPORT VPKSignalStreamOutput {
 public:
  virtual ~VPKSignalStreamOutput();

  /// Just before the output leaves the stream's list (removeOutput, removeOutputs,
  /// removeAllOutputs).
  virtual void willBeRemovedFromStream(VPKSignalStream& stream);
  /// On the first packet after the stream was reset, before that packet is decoded.
  virtual void streamDidBeginStreaming(VPKSignalStream& stream);
  /// When the stream goes from closed to open.
  virtual void streamDidOpen(VPKSignalStream& stream);
  /// When the stream goes from open to closed.
  virtual void streamDidClose(VPKSignalStream& stream);
  /// One sample pair: three calls per data packet, in sample order, 4 ms apart in
  /// `timestamp` (seconds since 2001-01-01 00:00:00 UTC); `moreComing` is true for the
  /// first two pairs of a packet and false for the last.
  virtual void didRecieveValues(VPKSignalStream& stream, float left, float right, double timestamp,
                                bool moreComing);
  /// Every packet that reaches an open stream, whatever its kind or length (corrupt ones
  /// included), after its values were delivered.
  virtual void didRecieveData(VPKSignalStream& stream, std::span<const uint8_t> packet);
  /// The output's place in the list: lower values come first; asked whenever the list is
  /// sorted (after every add and remove). std::nullopt sorts last. Outputs with equal
  /// priorities keep the order in which they were added.
  virtual std::optional<uint64_t> outputPriorityForStream(VPKSignalStream& stream);
  /// The stream that now holds the output (on add), or nullptr (on remove).
  virtual void setStream(const std::shared_ptr<VPKSignalStream>& stream);
};

using VPKSignalStreamOutputPtr = std::shared_ptr<VPKSignalStreamOutput>;
