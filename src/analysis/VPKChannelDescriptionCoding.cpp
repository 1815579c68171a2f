#include <VemraPlatformKit/analysis/VPKChannelDescription.h>

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>

#include "analysis/ChannelDescriptionKeys.h"

void VPKChannelDescription::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  coder.encodeObject("channelSet", channelSet());
  coder.encodeValue("includesRawSignalFFTResults", includesRawSignalFFTResults_);
  coder.encodeValue("cycles", cycles_);
  coder.encodeValue("channel", channel_);
  coder.encodeValue("samplingRate", samplingRate_);
  coder.encodeValue("analysisRate", analysisRate_);
  if (timestamp_) coder.encodeValue("timestamp", *timestamp_);
  if (focusScore_) coder.encodeValue("focusScore", *focusScore_);
  coder.encodeValue("fftStatus", fftStatus_);
  coder.encodeValue("signalStatus", signalStatus_);
  coder.encodeValue("idle", idle_);
  coder.encodeValue("partialUpdate", partialUpdate_);
  if (alternateFocusScore_) coder.encodeValue("alternateFocusScore", *alternateFocusScore_);
  coder.encodeValue(vpk::kCustomValuesKey, vpk::Value(customValues_));
}
