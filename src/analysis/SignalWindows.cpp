#include "analysis/SignalWindows.h"

#include "analysis/DataProcessorStages.h"

#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <algorithm>
#include <mutex>

namespace vpk::detail {

SignalWindows::SignalWindows(uint64_t bufferSize, uint64_t samplingRate, bool twoChannels)
    : bufferSize_(bufferSize), samplingRate_(samplingRate), twoChannels_(twoChannels) {
  left_.rawFFT = VPKFFTBuffer::create(kSpectrumSize, static_cast<int>(samplingRate));
  left_.filteredFFT = VPKFFTBuffer::create(*left_.rawFFT);
  right_.rawFFT = VPKFFTBuffer::create(*left_.rawFFT);
  right_.filteredFFT = VPKFFTBuffer::create(*left_.rawFFT);
  reset();
}

void SignalWindows::reset() {
  for (Channel* c : {&left_, &right_}) {
    c->raw = VPKFloatBuffer::createWithSize(bufferSize_);
    c->filtered = VPKFloatBuffer::createWithSize(bufferSize_);
    c->rawFFT->reset();
    c->filteredFFT->reset();
  }
}

void SignalWindows::push(Channel& channel, const Cycle& cycle, size_t index) {
  channel.rawValues.resize(cycle.count);
  channel.workValues.resize(cycle.count);
  for (size_t i = 0; i < cycle.count; ++i) channel.rawValues[i] = cycle.samples[i].data()[index];
  std::copy(channel.rawValues.begin(), channel.rawValues.end(), channel.workValues.begin());
  channel.raw->pushValues(channel.rawValues.data(), cycle.count);
}

void SignalWindows::updateSpectra(Channel& channel, const Cycle& cycle, uint64_t mask, bool hasFilter) {
  channel.filtered->pushValues(channel.workValues.data(), cycle.count);
  channel.filteredFFT->addData(channel.workValues.data(), cycle.count);
  channel.rawFFT->addData(channel.rawValues.data(), cycle.count);
  if (!(mask & VPKDataProcesserTypeFFT)) return;
  if (hasFilter) channel.filteredFFT->update();
  if (!cycle.filteredOnly) channel.rawFFT->update();
}

VPKChannelDescription::Ptr SignalWindows::describe(Channel& channel, const Cycle& cycle, uint64_t number, uint64_t mask,
                                                   const std::shared_ptr<VPKFloatBuffer>& frequencies) {
  auto d = VPKChannelDescription::create();
  const uint64_t n = std::min<uint64_t>(cycle.count, bufferSize_);
  d->setAnalysisSampleRange({bufferSize_ - n, n});
  d->setRawSignal(channel.raw->immutableCopy());
  d->setFilteredSignal(channel.filtered->immutableCopy());
  d->setChannel(number);
  d->setIncludesRawSignalFFTResults(!cycle.filteredOnly);
  d->setAnalysisRate(cycle.analysisRate);
  d->setSamplingRate(samplingRate_);
  auto amplitude = channel.filteredFFT->amplitudeFloatBuffer();
  d->setFftStatus(channelFFTStatus(cycle.cycles, mask, amplitude.get()));
  d->setFilteredDFT(VPKDFT::create(std::move(amplitude), frequencies, channel.filteredFFT->DCOffset()));
  d->setCycles(cycle.cycles);
  if (!cycle.filteredOnly)
    d->setRawDFT(VPKDFT::create(channel.rawFFT->amplitudeFloatBuffer(), channel.rawFFT->frequenciesFloatBuffer(),
                                channel.rawFFT->DCOffset()));
  d->setTimestamp(vpk::Date{cycle.now});
  return d;
}

std::shared_ptr<VPKChannelSet> SignalWindows::analyze(const Cycle& cycle) {
  push(left_, cycle, 0);
  if (twoChannels_) push(right_, cycle, 1);
  {
    std::lock_guard<AnalyzerSpinLock> lock(*cycle.filterLock);
    if (cycle.leftFilter) cycle.leftFilter->filter(left_.workValues.data(), cycle.count);
    if (twoChannels_ && cycle.rightFilter) cycle.rightFilter->filter(right_.workValues.data(), cycle.count);
  }
  updateSpectra(left_, cycle, cycle.leftMask, cycle.leftFilter != nullptr);
  if (twoChannels_) updateSpectra(right_, cycle, cycle.rightMask, cycle.rightFilter != nullptr);

  const auto frequencies = left_.filteredFFT->frequenciesFloatBuffer();
  auto left = describe(left_, cycle, 0, cycle.leftMask, frequencies);
  VPKChannelDescription::Ptr right;
  if (twoChannels_) right = describe(right_, cycle, 1, cycle.rightMask, frequencies);
  return VPKChannelSet::create(std::move(left), std::move(right));
}

std::shared_ptr<VPKFFTBuffer> SignalWindows::createFFTBuffer() const { return VPKFFTBuffer::create(*left_.rawFFT); }

}  // namespace vpk::detail
