#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>

VPKSignalStreamOutput::~VPKSignalStreamOutput() = default;

void VPKSignalStreamOutput::willBeRemovedFromStream(VPKSignalStream&) {}
void VPKSignalStreamOutput::streamDidBeginStreaming(VPKSignalStream&) {}
void VPKSignalStreamOutput::streamDidOpen(VPKSignalStream&) {}
void VPKSignalStreamOutput::streamDidClose(VPKSignalStream&) {}
void VPKSignalStreamOutput::didRecieveValues(VPKSignalStream&, float, float, double, bool) {}
void VPKSignalStreamOutput::didRecieveData(VPKSignalStream&, std::span<const uint8_t>) {}
std::optional<uint64_t> VPKSignalStreamOutput::outputPriorityForStream(VPKSignalStream&) { return std::nullopt; }
void VPKSignalStreamOutput::setStream(const std::shared_ptr<VPKSignalStream>&) {}
