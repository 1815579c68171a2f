#pragma once
/// @file VPKSignalStreamFileHandle.h
/// The recording writer: an output of a signal stream that keeps what the headband sent in
/// a file, byte for byte, behind a JSON header.
///
/// Raw recording (file type 0, the layout of every SDK recording):
///
///   "51\n"                               length line: decimal L, then 0x0A
///   {"compression":"none","type":"raw"}  header as compact JSON, UTF-8
///   0x0A                                 end of the header
///   ".__data_region\n"                   data-region marker (15 bytes)
///   A0 00 ... A0 00 ...                  the packets as the stream delivered them, back to
///                                        back, no separators, lengths or timestamps
///
/// L counts the bytes from the first JSON byte through the end of the marker (JSON + 1 +
/// 15), so a reader skips L bytes after the length line to reach the data. Header values:
/// dates become "yyyy-MM-dd HH:mm:ss +hhmm" in the system time zone, null entries (in
/// dictionaries and lists) are left out, bytes become base64 text. See VPKRecordingReader
/// for the reading side and docs/file-formats.md for the whole format.
///
/// Comma-separated recording (file type 1): no header and no marker, one line per row,
/// "v1,v2,...,timestamp,tag1,tag2\n".
///
/// Buffering: appends collect in a 1 MiB buffer that reaches the file when it holds at
/// least 1,048,576 bytes, at synchronize() and at closing. Every 20-byte chunk (or row)
/// adds 0.012 s to duration(); once duration() reaches maxDuration() (900 s by default) the
/// next chunk is not stored and the writer closes itself.
///
/// Threads and queues
/// - All file work runs on the writer's own serial queue (background priority); appends,
///   flush, close, header writing and discarding are queued inside the writer's dispatch
///   group and never block the caller. closeFile() waits for all of them.
/// - Setters and getters of the writer's state (header, maxDuration, URLs, sizes, flags,
///   handlers) run synchronously on that queue, so they see every append queued before.
///   tags() / setTags() run on the library's shared work queue.
/// - The stream calls the output operations on the shared work queue; the open, close and
///   removed handlers are called there too. fileHandleClosedHandler and the completion
///   callbacks of closeFileAndNotify() / writeHeaderAndNotify() run on the main queue.
/// - The writer's queue never waits for the shared queue or the main queue, so any of the
///   operations may be called from those.
///
/// Ownership: create writers with createForWriting(). A stream holds its writer strongly
/// while it is an output, and the writer holds its stream strongly (stream()) until it
/// leaves the stream: closing detaches it. Queued work keeps the writer alive. A writer
/// destroyed without closing still writes its buffer and closes its file.
///
/// Files live under the temporary folder (vpk::temporaryFolder()) with a random UUID as
/// name, unless the caller passes a destination to createForWriting().
///
/// Name mapping:
///   initWithURLForWriting:                 -> createForWriting(destination)
///   createWriteableFile (class)            -> createWriteableFile()
///   URL / temporaryURL                     -> URL() / temporaryURL()
///   closed / isClosed, discardable         -> isClosed(), isDiscardable() / setDiscardable()
///   addData: / addCSVData:                 -> addData(bytes) / addCSVData(texts)
///   closeFileAndNotify: / writeHeaderAndNotify: -> closeFileAndNotify(cb) / writeHeaderAndNotify(cb)
///   stream:didOutputValues:fromChannels:timestamp:count:moreComing:
///                                          -> didOutputValues(stream, values, channels, timestamp,
///                                             moreComing) (count = values.size())
///   setStream:, willBeRemovedFromStream:, streamDidOpen:, streamDidClose:, stream:didRecieveData:
///                                          -> the VPKSignalStreamOutput overrides

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class VPKSignalStream;

class VPK_EXPORT VPKSignalStreamFileHandle : public VPKSignalStreamOutput,
                                             public std::enable_shared_from_this<VPKSignalStreamFileHandle> {
  struct Token {};

 public:
  using Handler = std::function<void(const std::shared_ptr<VPKSignalStreamFileHandle>& writer)>;

  /// fileType values.
  static constexpr unsigned kFileTypeRaw = 0;
  static constexpr unsigned kFileTypeCSV = 1;
  /// Written once between the header and the data (15 bytes, ASCII).
  static constexpr std::string_view kDataRegionMarker = ".__data_region\n";
  /// The buffer reaches the file when it holds this many bytes (1 MiB).
  static constexpr size_t kFlushThreshold = 1048576;
  /// Seconds added to duration() per stored chunk or row (one 20-byte packet = 12 ms).
  static constexpr double kDurationStep = 0.012;
  /// Default maxDuration().
  static constexpr double kDefaultMaxDuration = 900.0;
  /// Longest header accepted: L (JSON + 0x0A + marker) may not exceed it. Readers refuse
  /// longer headers, so the writer never produces one.
  static constexpr uint64_t kMaxHeaderLength = 1048576;

  /// A writer on a new file: the given destination (created or truncated; the caller
  /// chooses it), or without one a new empty file under the temporary folder named by a
  /// random UUID. nullptr when the file cannot be created or opened (logged at level 0 as
  /// "VPKSignalStreamFileHandle failed to init with error:...").
  static std::shared_ptr<VPKSignalStreamFileHandle> createForWriting(
      const std::optional<std::filesystem::path>& destination = std::nullopt);
  /// Creates an empty file named by a new random UUID (36 characters, upper case) in the
  /// temporary folder (made if missing) and returns its path; nullopt when that fails.
  static std::optional<std::filesystem::path> createWriteableFile();

  /// Writes what is still buffered and closes the file if the writer was never closed.
  ~VPKSignalStreamFileHandle() override;
  VPKSignalStreamFileHandle(const VPKSignalStreamFileHandle&) = delete;
  VPKSignalStreamFileHandle& operator=(const VPKSignalStreamFileHandle&) = delete;

  // ---- properties (synchronously on the writer's queue unless said otherwise) ----
  /// The stream that holds the writer (set by the stream when added, cleared when removed
  /// or when the writer closes).
  std::shared_ptr<VPKSignalStream> stream() const;
  /// The finished file: set at closing (header written automatically), by
  /// writeHeaderAndNotify(), cleared by discardAllAssociatedURLs().
  std::optional<std::filesystem::path> URL() const;
  /// The file being written.
  std::optional<std::filesystem::path> temporaryURL() const;
  /// Bytes appended so far: length line, header, marker and data (or rows).
  uint64_t fileSize() const;
  /// Recorded seconds: a running sum of 0.012 per stored chunk or row (0.004 per row taken
  /// from the stream's sample values).
  double duration() const;
  /// Limit in seconds (default 900); 0 or less means no limit.
  double maxDuration() const;
  void setMaxDuration(double seconds);
  /// kFileTypeRaw (default) or kFileTypeCSV. Set it before the first append.
  unsigned fileType() const;
  void setFileType(unsigned type);
  /// Extra columns appended to each comma-separated row. Shared work queue.
  vpk::ValueList tags() const;
  void setTags(vpk::ValueList tags);
  /// The header entries (always with "compression" and "type").
  vpk::ValueDictionary header() const;
  /// Copies `header` (or starts empty), adds "compression": "none" and "type" ("csv" for
  /// file type 1, else "raw") when absent. A header that cannot be written as JSON (an
  /// archivable object, a non-finite number, a date outside the years 0-9999) or that would make the file unreadable (longer
  /// than kMaxHeaderLength, nested too deep) is refused with a level-1 log line: the writer
  /// keeps its previous header and false is returned.
  bool setHeader(const std::optional<vpk::ValueDictionary>& header);
  /// Client data; the writer does nothing with it.
  vpk::Value userInfo() const;
  void setUserInfo(vpk::Value info);
  /// True once the writer accepts no more data.
  bool isClosed() const;
  /// The first write or synchronisation of the file that failed (disk full, I/O error), as
  /// text; nullopt while every byte reached the file. It sticks: from then on nothing more is
  /// written, closing leaves URL() unset and writeHeaderAndNotify() makes no header file, so a
  /// closed handler tells a broken recording (writeError() set, temporaryURL() still names it)
  /// from a finished one. Logged once at level 1 ("VPKSignalStreamFileHandle lost data: ...").
  std::optional<std::string> writeError() const;
  /// true (default): the header goes in front of the first data. false: the file holds the
  /// marker and the data only, and writeHeaderAndNotify() adds the header afterwards.
  bool writeHeaderAutomatically() const;
  void setWriteHeaderAutomatically(bool automatically);
  /// Close when maxDuration() is reached (default true); false only drops further data.
  bool closeFileAfterMaxDurationEllapsed() const;
  void setCloseFileAfterMaxDurationEllapsed(bool close);
  /// Delete the files when the writer leaves its stream (default false).
  bool isDiscardable() const;
  void setDiscardable(bool discardable);

  /// Called once on the main queue after the file was closed, then cleared.
  Handler fileHandleClosedHandler() const;
  void setFileHandleClosedHandler(Handler handler);
  /// Called on the shared work queue when the stream removes the writer / opens / closes.
  Handler removedFromStreamHandler() const;
  void setRemovedFromStreamHandler(Handler handler);
  Handler streamOpenHandler() const;
  void setStreamOpenHandler(Handler handler);
  Handler streamCloseHandler() const;
  void setStreamCloseHandler(Handler handler);

  // ---- writing (queued; return at once) ----
  /// Appends one chunk (raw file type): the header and marker go first when the file is
  /// still empty; refused after closing ("File written to while closed!"); at the maximum
  /// duration dropped, or the writer closes itself.
  void addData(std::span<const uint8_t> bytes);
  /// Appends one row: the texts joined by "," plus "\n". Same closed and duration rules.
  void addCSVData(const std::vector<std::string>& texts);
  /// Writes the buffer to the file.
  void flush();
  /// Writes the buffer and synchronises the file to storage; waits.
  void synchronize();
  /// closeFileAndNotify() without a callback, then waits for all queued work.
  void closeFile();
  /// Stops accepting data, detaches from the stream, writes the buffer, synchronises and
  /// closes the file; URL() becomes temporaryURL() when the header was written
  /// automatically. Then, on the main queue: `callback` (if any) with the writer, and one
  /// step later fileHandleClosedHandler (once in the writer's life). Closing a closed
  /// writer only detaches it and empties the buffer.
  void closeFileAndNotify(Handler callback = nullptr);
  /// Raw writers whose header was not written automatically: makes a second file with the
  /// length line, JSON header and end byte followed by the temporary file from the marker
  /// on, and sets URL() to it (a temporary file without data gets the bare marker, so the
  /// result is always readable). Other writers (or an empty header): URL() := temporaryURL().
  /// `callback` then runs on the main queue. Both files stay until discardAllAssociatedURLs().
  void writeHeaderAndNotify(Handler callback = nullptr);
  /// Deletes the files at temporaryURL() and URL() and forgets both. A writer still open
  /// closes its file without writing the buffer and accepts no more data.
  void discardAllAssociatedURLs();
  /// True while URL() or temporaryURL() is set.
  bool isValid() const;

  /// The header as written in front of the data: length line, JSON, 0x0A (the marker is
  /// counted in L but not included).
  std::vector<uint8_t> encodeHeader() const;

  // ---- rows for comma-separated writers ----
  /// One row "v1,...,vn,timestamp,tags..." (the channels are not written), built on the
  /// caller's thread; only for file type 1.
  void didOutputValues(VPKSignalStream* stream, std::span<const float> values, const vpk::Value& channels,
                       double timestamp, bool moreComing);

  // ---- VPKSignalStreamOutput ----
  /// Raw writers: stores each 20-byte packet (packets of other lengths would break the
  /// file's framing and are skipped).
  void didRecieveData(VPKSignalStream& stream, std::span<const uint8_t> packet) override;
  /// Comma-separated writers: one row "left,right,timestamp,tags..." per sample pair.
  void didRecieveValues(VPKSignalStream& stream, float left, float right, double timestamp,
                        bool moreComing) override;
  void streamDidOpen(VPKSignalStream& stream) override;
  void streamDidClose(VPKSignalStream& stream) override;
  /// The removed handler, then discardAllAssociatedURLs() for a discardable writer.
  void willBeRemovedFromStream(VPKSignalStream& stream) override;
  void setStream(const std::shared_ptr<VPKSignalStream>& stream) override;

  explicit VPKSignalStreamFileHandle(Token);  // use createForWriting()

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

using VPKSignalStreamFileHandlePtr = std::shared_ptr<VPKSignalStreamFileHandle>;
