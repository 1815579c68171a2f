#include <VemraPlatformKit/acquisition/VPKSignalStreamDelegate.h>

VPKSignalStreamDelegate::~VPKSignalStreamDelegate() = default;

std::optional<bool> VPKSignalStreamDelegate::requiresMethodsToBeDeliveredInStreamQueue() { return std::nullopt; }

// The defaults record that the application did not implement the operation, so that the
// stream stops posting it to the main queue.
void VPKSignalStreamDelegate::streamDidBeginStreaming(VPKSignalStream&) {
  skipsBeginStreaming_.store(true, std::memory_order_relaxed);
}

void VPKSignalStreamDelegate::didRecieveData(VPKSignalStream&, std::span<const uint8_t>) {
  skipsData_.store(true, std::memory_order_relaxed);
}
