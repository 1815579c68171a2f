#pragma once
/// @file VPKRecordingExport.h
/// Exports a raw recording's decoded samples for other tools.
///
/// Only data packets (first byte 0xA0) carry samples: three left/right pairs each, 4 ms
/// apart. A sample's value is its 24-bit unsigned count times 0.047683723, exactly as the
/// signal stream hands it to its outputs (full scale 0xFFFFFF is about 800000; written as
/// microvolts, "uV"). Other packets are skipped. Time runs from 0 at the first sample and
/// advances 4 ms per sample (the recording holds no timestamps).
///
/// - CSV: a line "time,left,right", then one line per sample pair: the time in seconds
///   with three decimals, then the two values as the shortest decimal text that reads back
///   as the same single-precision value.
/// - BDF+ (continuous, "BDF+C"): 24-bit samples, lossless: the count c is stored as the
///   digital value c - 8388608, and the signal's physical range 0 .. 800000.1 uV over the
///   digital range -8388608 .. 8388607 gives back c x 0.0476837246 (within half a
///   single-precision step of the stream's value). Signals "Left" and "Right" at 250 Hz in
///   data records of 1 s, plus the "BDF Annotations" signal with each record's time stamp.
///   A last partial record is filled up by repeating the last sample, and an annotation
///   "Recording ends" marks where the real samples stop. The start date and time come from
///   the header entry "date" (or "startDate"), a header date "yyyy-MM-dd HH:mm:ss +hhmm",
///   as the local time written there; without one the start is unknown (01.01.85 00.00.00,
///   "Startdate X").
///
/// A damaged recording is exported as far as its complete packets go; the result's
/// warning then repeats the reader's error. Output paths are the caller's choice: the file
/// is created or replaced, and removed again when the export fails.
///
/// Threads: the functions run on the calling thread and touch no shared state.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <filesystem>
#include <string>

class VPKRecordingReader;

struct VPK_EXPORT VPKRecordingExportResult {
  /// True when the output file was written.
  bool ok = false;
  /// Why the export failed ("" when ok).
  std::string error;
  /// The source's damage, when it had some ("" for a clean recording).
  std::string warning;
  /// Data packets and sample pairs exported; packets of other kinds skipped.
  uint64_t dataPackets = 0;
  uint64_t samples = 0;
  uint64_t skippedPackets = 0;
  /// BDF only: data records written, and sample pairs added to fill the last one.
  uint64_t dataRecords = 0;
  uint64_t paddedSamples = 0;
};

class VPK_EXPORT VPKRecordingExport {
 public:
  /// Seconds between two samples (250 Hz).
  static constexpr double kSampleInterval = 0.004;
  /// BDF: samples per signal and data record (1 s).
  static constexpr int kBDFSamplesPerRecord = 250;

  static VPKRecordingExportResult exportCSV(const std::filesystem::path& recording,
                                            const std::filesystem::path& output);
  static VPKRecordingExportResult exportBDF(const std::filesystem::path& recording,
                                            const std::filesystem::path& output);
  /// The same from an open reader, from its first packet (the reader is rewound).
  static VPKRecordingExportResult exportCSV(VPKRecordingReader& reader, const std::filesystem::path& output);
  static VPKRecordingExportResult exportBDF(VPKRecordingReader& reader, const std::filesystem::path& output);
};
