#pragma once
/// @file VPKChannelDescription.h
/// The analysis result of one channel for one analyzer cycle.
///
/// Every analyzer cycle builds one VPKChannelSet holding a description per channel; the
/// data processors (validity monitor, focus detectors, the application's own) add their
/// results to the descriptions, and the set is then handed to the analyzer's outputs. A
/// description also carries application-defined custom values (string key -> vpk::Value).
///
/// Declared properties, in declaration order (the order of propertyKeys()):
///
/// | key                          | type                     | meaning                                    |
/// |------------------------------|--------------------------|--------------------------------------------|
/// | channelSet                   | VPKChannelSet (weak)     | the set that holds this description        |
/// | includesRawSignalFFTResults  | bool                     | true when rawDFT is filled                 |
/// | cycles                       | uint64                   | samples analysed since the analyzer reset  |
/// | channel                      | uint64                   | 0 left, 1 right                            |
/// | analysisSampleRange          | VPKRange                 | the part of the window new in this cycle   |
/// | rawSignal                    | VPKFloatBuffer           | copy of the raw signal window              |
/// | filteredSignal               | VPKFloatBuffer           | copy of the filtered signal window         |
/// | samplingRate                 | uint64, Hz               |                                            |
/// | analysisRate                 | float, seconds           | the analyzer's cycle length                |
/// | timestamp                    | vpk::Date (optional)     | when the description was built             |
/// | filteredDFT                  | VPKDFT                   | spectrum of the filtered signal            |
/// | rawDFT                       | VPKDFT                   | spectrum of the raw signal (may be absent) |
/// | focusScore                   | float (optional)         | set by the focus detector                  |
/// | fftStatus                    | uint64                   | 0 not ready, 2 valid, 4 contains a NaN     |
/// | signalStatus                 | uint64                   | set by the validity monitor (always 0)     |
/// | idle                         | bool                     | the validity stage's idle verdict          |
/// | partialUpdate                | bool                     | stored only                                |
/// | sampleRange                  | VPKRange                 | stored only                                |
/// | alternateFocusScore          | float (optional)         | set by the focus detector                  |
///
/// Objects (buffers, spectra, the set) are shared, never deep-copied, by the copy forms.
///
/// Flat arrays: rawSignalFloatArray() / filteredSignalFloatArray() are contiguous copies of
/// the signal buffers, made on first request, kept (so they show the buffer as it was at
/// that request) and released with the description. Two threads asking at once get the
/// same array, made once. Setting a signal buffer drops its flat array.
///
/// Threads: a description is built and filled on the analyzer's processing thread during
/// one cycle and not changed after its set has been handed to the outputs; from then on any
/// number of threads may read it at once (the const operations, including the flat arrays
/// and the range queries, never change shared state without a guard). Writing to a
/// description while another thread reads it is not allowed.
///
/// Ownership: held by std::shared_ptr (create()). The description holds its buffers,
/// spectra and custom values strongly and its set weakly; the set holds its descriptions
/// strongly.
///
/// Keyed archiving (class "VPKChannelDescription"): every declared property under its own
/// name (absent objects and scores are left out), channelSet included, then the custom
/// values as a dictionary under "customValues__". Object identity survives, so a set and
/// its descriptions refer to each other again after unarchiving the set. (Unarchiving a
/// lone description gives it a set that nothing else holds, so its channelSet() is then
/// null: archive the set to keep both.) A property holding a value of the wrong kind, or
/// custom values that are not a dictionary, refuse the archive.
///
/// Applications declare their own typed properties with VPKChannelDescriptionProperty
/// (VPKChannelDescriptionProperty.h); they live in the custom values.
///
/// Names: `copyWithZone:` -> copy(); the other two copy forms keep their names;
/// `objectForKeyedSubscript:` / `setObject:forKeyedSubscript:` -> objectForKeyedSubscript(key)
/// (also operator[]) / setObject(value, key); `valueForUndefinedKey:` /
/// `setValue:forUndefinedKey:` -> valueForUndefinedKey(key) / setValueForUndefinedKey(value, key);
/// `filteredAmplitudeInFrequencyRange:` -> filteredAmplitudeInFrequencyRange(range);
/// `getFilteredSignal:` / `getFilteredSignal:inRange:` -> getFilteredSignal(dest[, range]);
/// the bool properties read as isIdle(), isPartialUpdate().

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKRange.h>
#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/dsp/VPKFilter.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class VPKChannelSet;

class VPK_EXPORT VPKChannelDescription : public vpk::Archivable {
 public:
  using Ptr = std::shared_ptr<VPKChannelDescription>;

  /// An empty description: no buffers, spectra, timestamp or scores, numbers 0, flags false,
  /// no custom values. Cheap: one allocation, nothing else.
  static Ptr create();
  VPKChannelDescription();
  ~VPKChannelDescription() override;
  VPKChannelDescription(const VPKChannelDescription&) = delete;
  VPKChannelDescription& operator=(const VPKChannelDescription&) = delete;

  /// The declared property names, in declaration order (see the table above).
  static const std::vector<std::string>& propertyKeys();

  // ------------------------------------------------------------------ copies

  /// Every present property (objects shared) and a new map of the same custom values. The
  /// copy's channelSet is this description's set. Flat arrays are not carried over.
  Ptr copy() const;
  /// Only idle, focusScore and alternateFocusScore, plus the custom values.
  Ptr copyPreservingAnalysisResultsOnly() const;
  /// Every present property except spectra and signal buffers; every custom value except
  /// float buffers and lists.
  Ptr copyWithoutPreservingCollections() const;

  // ------------------------------------------------------------------ declared properties

  /// The set that holds this description (nullptr once the set is gone).
  std::shared_ptr<VPKChannelSet> channelSet() const { return channelSet_.lock(); }
  void setChannelSet(const std::shared_ptr<VPKChannelSet>& set) { channelSet_ = set; }
  bool includesRawSignalFFTResults() const { return includesRawSignalFFTResults_; }
  void setIncludesRawSignalFFTResults(bool v) { includesRawSignalFFTResults_ = v; }
  std::uint64_t cycles() const { return cycles_; }
  void setCycles(std::uint64_t v) { cycles_ = v; }
  std::uint64_t channel() const { return channel_; }
  void setChannel(std::uint64_t v) { channel_ = v; }
  VPKRange analysisSampleRange() const { return analysisSampleRange_; }
  void setAnalysisSampleRange(VPKRange v) { analysisSampleRange_ = v; }
  const std::shared_ptr<VPKFloatBuffer>& rawSignal() const { return rawSignal_; }
  void setRawSignal(std::shared_ptr<VPKFloatBuffer> v);
  const std::shared_ptr<VPKFloatBuffer>& filteredSignal() const { return filteredSignal_; }
  void setFilteredSignal(std::shared_ptr<VPKFloatBuffer> v);
  std::uint64_t samplingRate() const { return samplingRate_; }
  void setSamplingRate(std::uint64_t v) { samplingRate_ = v; }
  float analysisRate() const { return analysisRate_; }
  void setAnalysisRate(float v) { analysisRate_ = v; }
  const std::optional<vpk::Date>& timestamp() const { return timestamp_; }
  void setTimestamp(std::optional<vpk::Date> v) { timestamp_ = v; }
  const std::shared_ptr<VPKDFT>& filteredDFT() const { return filteredDFT_; }
  void setFilteredDFT(std::shared_ptr<VPKDFT> v) { filteredDFT_ = std::move(v); }
  const std::shared_ptr<VPKDFT>& rawDFT() const { return rawDFT_; }
  void setRawDFT(std::shared_ptr<VPKDFT> v) { rawDFT_ = std::move(v); }
  std::optional<float> focusScore() const { return focusScore_; }
  void setFocusScore(std::optional<float> v) { focusScore_ = v; }
  std::uint64_t fftStatus() const { return fftStatus_; }
  void setFftStatus(std::uint64_t v) { fftStatus_ = v; }
  std::uint64_t signalStatus() const { return signalStatus_; }
  void setSignalStatus(std::uint64_t v) { signalStatus_ = v; }
  bool isIdle() const { return idle_; }
  void setIdle(bool v) { idle_ = v; }
  bool isPartialUpdate() const { return partialUpdate_; }
  void setPartialUpdate(bool v) { partialUpdate_ = v; }
  VPKRange sampleRange() const { return sampleRange_; }
  void setSampleRange(VPKRange v) { sampleRange_ = v; }
  std::optional<float> alternateFocusScore() const { return alternateFocusScore_; }
  void setAlternateFocusScore(std::optional<float> v) { alternateFocusScore_ = v; }

  // ------------------------------------------------------------------ keyed access

  /// The value under `key`: a declared property by its name (see the table; ranges are
  /// boxed, see VPKRange.h; an absent object or score is null), any other key from the
  /// custom values (null when there is none).
  vpk::Value objectForKeyedSubscript(std::string_view key) const;
  vpk::Value operator[](std::string_view key) const { return objectForKeyedSubscript(key); }
  /// Writes `value` under `key`: a declared property by its name, any other key into the
  /// custom values (setValueForUndefinedKey). A declared property takes a value of its own
  /// kind (any number or bool for numbers and flags; a date; a boxed range or a
  /// {location, length} dictionary; an object of the property's class); null clears an
  /// object or score and sets a number or flag to 0 / false. A value of another kind is
  /// refused: nothing changes and false is returned.
  bool setObject(const vpk::Value& value, std::string_view key);
  /// The custom value under `key`, or null.
  vpk::Value valueForUndefinedKey(std::string_view key) const;
  /// Stores a non-null `value` in the custom values under `key`; null removes the key.
  void setValueForUndefinedKey(const vpk::Value& value, std::string_view key);

  /// The application-defined values (archived under "customValues__"). Never holds null.
  const vpk::ValueDictionary& customValues() const { return customValues_; }

  // ------------------------------------------------------------------ range queries

  /// The filteredDFT amplitudes at the bins whose frequency f satisfies min <= f <= max, as
  /// a new immutable buffer in bin order; nullptr when no bin qualifies (or no spectrum).
  std::shared_ptr<VPKFloatBuffer> filteredAmplitudeInFrequencyRange(VPKFrequencyRange range) const;
  /// The same over rawDFT.
  std::shared_ptr<VPKFloatBuffer> rawAmplitudeInFrequencyRange(VPKFrequencyRange range) const;
  /// The meanFloatValue() of filteredAmplitudeInFrequencyRange(range) (the same float
  /// arithmetic, without making the buffer); nullopt when no bin qualifies.
  std::optional<float> meanFilteredAmplitudeInFrequencyRange(VPKFrequencyRange range) const;

  // ------------------------------------------------------------------ flat signal arrays

  /// The contiguous copy of filteredSignal, owned by the description; nullptr when there is
  /// no signal (or it is empty).
  const float* filteredSignalFloatArray() const;
  const float* rawSignalFloatArray() const;
  /// Copies the whole flat array (the buffer's size in floats) into `dest`; nothing when
  /// there is no signal.
  void getFilteredSignal(float* dest) const;
  void getRawSignal(float* dest) const;
  /// Copies `range.length` floats from `range.location` into `dest`. A range that does not
  /// lie within the signal copies nothing and returns false.
  bool getFilteredSignal(float* dest, VPKRange range) const;
  bool getRawSignal(float* dest, VPKRange range) const;

  // ------------------------------------------------------------------ archiving

  std::string archiveClassName() const override { return "VPKChannelDescription"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;

 private:
  class FlatArray {
   public:
    FlatArray() = default;
    ~FlatArray();
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    const float* get(const VPKFloatBuffer* buffer) const;
    void drop();

   private:
    mutable std::atomic<float*> array_{nullptr};
  };

  std::weak_ptr<VPKChannelSet> channelSet_;
  std::uint64_t cycles_ = 0;
  std::uint64_t channel_ = 0;
  VPKRange analysisSampleRange_;
  std::shared_ptr<VPKFloatBuffer> rawSignal_;
  std::shared_ptr<VPKFloatBuffer> filteredSignal_;
  std::uint64_t samplingRate_ = 0;
  std::optional<vpk::Date> timestamp_;
  std::shared_ptr<VPKDFT> filteredDFT_;
  std::shared_ptr<VPKDFT> rawDFT_;
  std::uint64_t fftStatus_ = 0;
  std::uint64_t signalStatus_ = 0;
  VPKRange sampleRange_;
  float analysisRate_ = 0.0f;
  std::optional<float> focusScore_;
  std::optional<float> alternateFocusScore_;
  bool includesRawSignalFFTResults_ = false;
  bool idle_ = false;
  bool partialUpdate_ = false;
  vpk::ValueDictionary customValues_;
  FlatArray flatRaw_;
  FlatArray flatFiltered_;

  friend class VPKChannelDescriptionCoding;
};
