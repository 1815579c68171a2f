#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include "recording/RecordingFile.h"
#include "recording/RecordingHeader.h"

#include <fmt/format.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using vpk::detail::FileDescriptor;

namespace {

constexpr double kStreamRowStep = 0.004;  // one sample pair of the stream, 250 Hz

// Text of one comma-separated cell: shortest text that reads back as the same value.
void appendCell(std::string& row, const vpk::Value& v) {
  if (!row.empty()) row += ',';
  using K = vpk::Value::Kind;
  switch (v.kind()) {
    case K::String: row += *v.getString(); break;
    case K::Bool: row += v.boolValue() ? '1' : '0'; break;
    case K::Int: fmt::format_to(std::back_inserter(row), "{}", v.intValue()); break;
    case K::UInt: fmt::format_to(std::back_inserter(row), "{}", v.unsignedValue()); break;
    case K::Real: fmt::format_to(std::back_inserter(row), "{}", v.doubleValue()); break;
    default: row += v.description(); break;
  }
}

std::string buildRow(std::span<const float> values, double timestamp, const vpk::ValueList& tags) {
  std::string row;
  row.reserve(16 * (values.size() + 1 + tags.size()));
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) row += ',';
    fmt::format_to(std::back_inserter(row), "{}", values[i]);
  }
  if (!row.empty()) row += ',';
  fmt::format_to(std::back_inserter(row), "{}", timestamp);
  for (const auto& tag : tags) appendCell(row, tag);
  row += '\n';
  return row;
}

}  // namespace

struct VPKSignalStreamFileHandle::Impl {
  vpk::DispatchQueuePtr queue =
      vpk::DispatchQueue::createSerial("com.vemra.VPKSignalStreamFileHandle", vpk::QueuePriority::Background);
  vpk::DispatchGroup writeGroup;
  // Read by stream callbacks on the shared queue to skip work early; the writer's queue
  // reads it too.
  std::atomic<unsigned> fileType{kFileTypeRaw};

  // ---- shared work queue ----
  vpk::ValueList tags;

  // ---- the writer's queue ----
  std::shared_ptr<VPKSignalStream> stream;
  std::optional<fs::path> url;
  std::optional<fs::path> temporaryURL;
  uint64_t fileSize = 0;
  double duration = 0;
  double maxDuration = kDefaultMaxDuration;
  vpk::ValueDictionary header;
  vpk::Value userInfo;
  bool closed = false;
  bool writeHeaderAutomatically = true;
  bool closeAfterMaxDuration = true;
  bool discardable = false;
  Handler closedHandler, removedHandler, openHandler, closeHandler;
  FileDescriptor file;
  std::vector<uint8_t> buffer;
  // The first write that failed. From then on the file has lost data (a partial write may
  // have broken its framing too), so nothing more is written and it is never announced.
  std::optional<std::string> writeError;

  Impl() { buffer.reserve(kFlushThreshold); }

  template <typename F>
  auto read(F&& f) const -> decltype(f()) {
    if constexpr (std::is_void_v<decltype(f())>) {
      queue->sync([&] { f(); });
    } else {
      std::optional<decltype(f())> result;
      queue->sync([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }

  // ---- everything below runs on the writer's queue ----

  std::vector<uint8_t> encodeHeader() const {
    std::string error;
    auto json = vpk::detail::headerJSON(header, &error);
    if (!json) {
      // setHeader refuses what cannot be written, so this is a safety net: an empty object
      // keeps the file readable.
      VPKLog(1, "Failed to encode header with error:{}", error);
      json = "{}";
    }
    json->push_back('\n');
    const std::string lengthLine = fmt::format("{}\n", json->size() + kDataRegionMarker.size());
    std::vector<uint8_t> out;
    out.reserve(lengthLine.size() + json->size());
    out.insert(out.end(), lengthLine.begin(), lengthLine.end());
    out.insert(out.end(), json->begin(), json->end());
    return out;
  }

  void fail(const std::string& what) {
    VPKLog(0, "File handle exception:{}", what);
    if (writeError) return;
    writeError = what;
    VPKLog(1, "VPKSignalStreamFileHandle lost data: {}", what);
  }

  void writeBuffer() {
    if (buffer.empty()) return;
    if (writeError) {
      // Already broken: the data is lost either way.
    } else if (!file.valid()) {
      fail("no open file, buffered data dropped");
    } else if (std::string error; !file.appendAtEnd(buffer.data(), buffer.size(), &error)) {
      fail(fmt::format("<file handle {}>: {}", file.describe(), error));
    }
    buffer.clear();
  }

  void flushNow() {
    VPKLog(0, "Flushing file buffer...");
    writeBuffer();
  }

  void syncFile() {
    if (std::string error; file.valid() && !writeError && !file.synchronize(&error))
      fail(fmt::format("<file handle {}>: {}", file.describe(), error));
  }

  void detach(const VPKSignalStreamFileHandlePtr& self) {
    if (!stream) return;
    // Handed to the shared queue without waiting: the writer's queue never waits for it.
    VPKResourceManager::performBlock([s = std::move(stream), self] { s->removeOutput(self); });
    stream.reset();
  }

  void closeSteps(const VPKSignalStreamFileHandlePtr& self) {
    closed = true;
    detach(self);
    writeBuffer();
    syncFile();
    file.close();
  }

  void internalClose(const VPKSignalStreamFileHandlePtr& self) {
    VPKLog(0, "Internally closing file...");
    if (!closed) closeSteps(self);
    if (closedHandler) {
      writeGroup.notify(vpk::DispatchQueue::main(), [handler = std::move(closedHandler), self] { handler(self); });
      closedHandler = nullptr;
    }
    announceIfWhole();
  }

  // URL() names the finished file, so a file that lost data is never given one.
  void announceIfWhole() {
    if (writeHeaderAutomatically && !writeError) url = temporaryURL;
  }

  // The closed and maximum-duration rules shared by chunks and rows.
  bool admit(const VPKSignalStreamFileHandlePtr& self) {
    if (closed) {
      VPKLog(0, "File written to while closed!");
      return false;
    }
    if (maxDuration > 0 && duration >= maxDuration) {
      if (closeAfterMaxDuration) internalClose(self);
      return false;
    }
    return true;
  }

  void appendChunk(const VPKSignalStreamFileHandlePtr& self, const uint8_t* bytes, size_t length) {
    if (!admit(self)) return;
    if (fileSize == 0) {
      if (writeHeaderAutomatically) {
        const auto h = encodeHeader();
        buffer.insert(buffer.end(), h.begin(), h.end());
        fileSize += h.size();
      }
      buffer.insert(buffer.end(), kDataRegionMarker.begin(), kDataRegionMarker.end());
      fileSize += kDataRegionMarker.size();
    }
    buffer.insert(buffer.end(), bytes, bytes + length);
    fileSize += length;
    duration += kDurationStep;
    if (buffer.size() >= kFlushThreshold) flushNow();
  }

  void appendRow(const VPKSignalStreamFileHandlePtr& self, const std::string& row, double step) {
    if (!admit(self)) return;
    buffer.insert(buffer.end(), row.begin(), row.end());
    fileSize += row.size();
    duration += step;
    if (buffer.size() >= kFlushThreshold) flushNow();
  }

  // The header file of writeHeaderAndNotify: length line, JSON, 0x0A, then the temporary
  // file from its marker on.
  void writeHeaderFile() {
    if (!temporaryURL) {
      VPKLog(1, "VPKSignalStreamFileHandle cannot write a header: its files were discarded");
      return;
    }
    if (file.valid()) writeBuffer();  // the copy must hold every byte appended so far
    if (writeError) {
      VPKLog(1, "VPKSignalStreamFileHandle cannot write a header: the recording lost data ({})", *writeError);
      return;
    }
    const auto target = createWriteableFile();
    if (!target) return;
    std::string error;
    FileDescriptor out = FileDescriptor::openForWriting(*target, true, &error);
    FileDescriptor in = FileDescriptor::openForReading(*temporaryURL, &error);
    bool ok = out.valid() && in.valid();
    if (ok) {
      const auto h = encodeHeader();
      ok = out.appendAtEnd(h.data(), h.size(), &error);
      if (ok) fileSize += h.size();
      VPKLog(0, "Writing header:{}", vpk::Value(header).description());
    }
    if (ok) ok = vpk::detail::copyFromMarker(in, out, &error);
    if (ok) ok = out.synchronize(&error);
    if (!ok) {
      VPKLog(1, "VPKSignalStreamFileHandle could not write the header file: {}", error);
      out.close();
      std::error_code ec;
      fs::remove(*target, ec);
      return;
    }
    url = target;
  }

  void discardFiles() {
    VPKLog(0, "Discarding associated URLs");
    if (file.valid()) {
      // Nothing more may land in a file that is being deleted.
      file.close();
      closed = true;
      buffer.clear();
    }
    std::error_code ec;
    if (temporaryURL) fs::remove(*temporaryURL, ec);
    if (url) fs::remove(*url, ec);
    temporaryURL.reset();
    url.reset();
  }
};

// ---------------------------------------------------------------- creation

VPKSignalStreamFileHandle::VPKSignalStreamFileHandle(Token) : d_(std::make_unique<Impl>()) {}

VPKSignalStreamFileHandle::~VPKSignalStreamFileHandle() {
  // No queued work is left (it holds the writer); whatever is buffered still belongs in the file.
  if (d_->file.valid()) {
    d_->writeBuffer();
    d_->syncFile();
    d_->file.close();
  }
  VPKLog(0, "Dealloc: VPKSignalStreamFileHandle");
}

std::optional<fs::path> VPKSignalStreamFileHandle::createWriteableFile() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  const std::string name(text);
  VPKLog(0, "Generating temp file:{}, name length = {}", name, name.size());
  std::error_code ec;
  const fs::path folder = vpk::temporaryFolder();
  fs::create_directories(folder, ec);
  const fs::path path = folder / name;
  std::string error;
  FileDescriptor f = FileDescriptor::openForWriting(path, false, &error);
  if (!f.valid()) {
    VPKLog(1, "VPKSignalStreamFileHandle could not create {}: {}", path.string(), error);
    return std::nullopt;
  }
  return path;
}

VPKSignalStreamFileHandlePtr VPKSignalStreamFileHandle::createForWriting(const std::optional<fs::path>& destination) {
  auto writer = std::make_shared<VPKSignalStreamFileHandle>(Token{});
  writer->setHeader(std::nullopt);
  std::optional<fs::path> path = destination;
  if (!path) path = createWriteableFile();
  if (!path) {
    VPKLog(0, "VPKSignalStreamFileHandle failed to init with error:{}", "no temporary file");
    return nullptr;
  }
  std::string error;
  FileDescriptor f = FileDescriptor::openForWriting(*path, destination.has_value(), &error);
  if (!f.valid()) {
    VPKLog(0, "VPKSignalStreamFileHandle failed to init with error:{}", fmt::format("{}: {}", path->string(), error));
    if (!destination) {
      std::error_code ec;
      fs::remove(*path, ec);
    }
    return nullptr;
  }
  // Not shared with any queue yet.
  writer->d_->file = std::move(f);
  writer->d_->temporaryURL = *path;
  writer->d_->closeAfterMaxDuration = true;
  return writer;
}

// ---------------------------------------------------------------- properties

std::shared_ptr<VPKSignalStream> VPKSignalStreamFileHandle::stream() const {
  return d_->read([&] { return d_->stream; });
}

std::optional<fs::path> VPKSignalStreamFileHandle::URL() const {
  return d_->read([&] { return d_->url; });
}

std::optional<fs::path> VPKSignalStreamFileHandle::temporaryURL() const {
  return d_->read([&] { return d_->temporaryURL; });
}

uint64_t VPKSignalStreamFileHandle::fileSize() const {
  return d_->read([&] { return d_->fileSize; });
}

double VPKSignalStreamFileHandle::duration() const {
  return d_->read([&] { return d_->duration; });
}

double VPKSignalStreamFileHandle::maxDuration() const {
  return d_->read([&] { return d_->maxDuration; });
}

void VPKSignalStreamFileHandle::setMaxDuration(double seconds) {
  d_->read([&] { d_->maxDuration = seconds; });
}

unsigned VPKSignalStreamFileHandle::fileType() const { return d_->fileType.load(); }

void VPKSignalStreamFileHandle::setFileType(unsigned type) {
  d_->read([&] { d_->fileType.store(type); });
}

vpk::ValueList VPKSignalStreamFileHandle::tags() const {
  return vpkrsrc_return_sync([&] { return d_->tags; });
}

void VPKSignalStreamFileHandle::setTags(vpk::ValueList tags) {
  VPKResourceManager::performBlockAndWait([&] { d_->tags = std::move(tags); });
}

vpk::ValueDictionary VPKSignalStreamFileHandle::header() const {
  return d_->read([&] { return d_->header; });
}

bool VPKSignalStreamFileHandle::setHeader(const std::optional<vpk::ValueDictionary>& header) {
  return d_->read([&] {
    vpk::ValueDictionary h = header.value_or(vpk::ValueDictionary{});
    if (!h.contains("compression")) h.set("compression", "none");
    if (!h.contains("type")) h.set("type", d_->fileType.load() == kFileTypeCSV ? "csv" : "raw");
    std::string error;
    const auto json = vpk::detail::headerJSON(h, &error);
    if (!json) {
      VPKLog(1, "VPKSignalStreamFileHandle refused header: {}", error);
      return false;
    }
    if (json->size() + 1 + kDataRegionMarker.size() > kMaxHeaderLength) {
      VPKLog(1, "VPKSignalStreamFileHandle refused header: {} bytes of JSON, at most {} fit", json->size(),
             kMaxHeaderLength - 1 - kDataRegionMarker.size());
      return false;
    }
    d_->header = std::move(h);
    return true;
  });
}

vpk::Value VPKSignalStreamFileHandle::userInfo() const {
  return d_->read([&] { return d_->userInfo; });
}

void VPKSignalStreamFileHandle::setUserInfo(vpk::Value info) {
  d_->read([&] { d_->userInfo = std::move(info); });
}

bool VPKSignalStreamFileHandle::isClosed() const {
  return d_->read([&] { return d_->closed; });
}

std::optional<std::string> VPKSignalStreamFileHandle::writeError() const {
  return d_->read([&] { return d_->writeError; });
}

bool VPKSignalStreamFileHandle::writeHeaderAutomatically() const {
  return d_->read([&] { return d_->writeHeaderAutomatically; });
}

void VPKSignalStreamFileHandle::setWriteHeaderAutomatically(bool automatically) {
  d_->read([&] { d_->writeHeaderAutomatically = automatically; });
}

bool VPKSignalStreamFileHandle::closeFileAfterMaxDurationEllapsed() const {
  return d_->read([&] { return d_->closeAfterMaxDuration; });
}

void VPKSignalStreamFileHandle::setCloseFileAfterMaxDurationEllapsed(bool close) {
  d_->read([&] { d_->closeAfterMaxDuration = close; });
}

bool VPKSignalStreamFileHandle::isDiscardable() const {
  return d_->read([&] { return d_->discardable; });
}

void VPKSignalStreamFileHandle::setDiscardable(bool discardable) {
  d_->read([&] { d_->discardable = discardable; });
}

#define VPK_HANDLER_PROPERTY(getter, setter, field)                            \
  VPKSignalStreamFileHandle::Handler VPKSignalStreamFileHandle::getter() const { \
    return d_->read([&] { return d_->field; });                                \
  }                                                                            \
  void VPKSignalStreamFileHandle::setter(Handler handler) {                    \
    d_->read([&] { d_->field = std::move(handler); });                         \
  }

VPK_HANDLER_PROPERTY(fileHandleClosedHandler, setFileHandleClosedHandler, closedHandler)
VPK_HANDLER_PROPERTY(removedFromStreamHandler, setRemovedFromStreamHandler, removedHandler)
VPK_HANDLER_PROPERTY(streamOpenHandler, setStreamOpenHandler, openHandler)
VPK_HANDLER_PROPERTY(streamCloseHandler, setStreamCloseHandler, closeHandler)
#undef VPK_HANDLER_PROPERTY

std::vector<uint8_t> VPKSignalStreamFileHandle::encodeHeader() const {
  return d_->read([&] { return d_->encodeHeader(); });
}

bool VPKSignalStreamFileHandle::isValid() const {
  return d_->read([&] { return d_->url.has_value() || d_->temporaryURL.has_value(); });
}

// ---------------------------------------------------------------- writing

void VPKSignalStreamFileHandle::addData(std::span<const uint8_t> bytes) {
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), chunk = std::vector<uint8_t>(bytes.begin(), bytes.end())] {
    self->d_->appendChunk(self, chunk.data(), chunk.size());
  });
}

void VPKSignalStreamFileHandle::addCSVData(const std::vector<std::string>& texts) {
  std::string row;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i) row += ',';
    row += texts[i];
  }
  row += '\n';
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), row = std::move(row)] {
    self->d_->appendRow(self, row, kDurationStep);
  });
}

void VPKSignalStreamFileHandle::flush() {
  d_->writeGroup.async(d_->queue, [self = shared_from_this()] { self->d_->flushNow(); });
}

void VPKSignalStreamFileHandle::synchronize() {
  VPKLog(0, "Synchronizing file buffer...");
  d_->writeGroup.enter();
  d_->queue->sync([&] {
    d_->writeBuffer();
    d_->syncFile();
  });
  d_->writeGroup.leave();
}

void VPKSignalStreamFileHandle::closeFile() {
  closeFileAndNotify(nullptr);
  if (d_->queue->isCurrent()) {
    VPKLog(1, "VPKSignalStreamFileHandle::closeFile called on the writer's own queue; not waiting");
    return;
  }
  d_->writeGroup.wait();
}

void VPKSignalStreamFileHandle::closeFileAndNotify(Handler callback) {
  VPKLog(0, "Closing and syncing file...");
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), callback = std::move(callback)]() mutable {
    Impl& d = *self->d_;
    if (d.closed) {
      d.detach(self);
      d.buffer.clear();
    } else {
      d.closeSteps(self);
      d.announceIfWhole();
    }
    // The closed handler is taken here, by the first close, so it runs once.
    Handler closedHandler = std::move(d.closedHandler);
    d.closedHandler = nullptr;
    d.writeGroup.notify(vpk::DispatchQueue::main(),
                        [self, callback = std::move(callback), closedHandler = std::move(closedHandler)] {
                          if (callback) callback(self);
                          if (closedHandler)
                            vpk::DispatchQueue::main()->async([self, closedHandler] { closedHandler(self); });
                        });
  });
}

void VPKSignalStreamFileHandle::writeHeaderAndNotify(Handler callback) {
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), callback = std::move(callback)]() mutable {
    Impl& d = *self->d_;
    if (d.fileType.load() == kFileTypeCSV || d.writeHeaderAutomatically || d.header.empty()) {
      if (!d.writeError) d.url = d.temporaryURL;
    } else
      d.writeHeaderFile();
    d.writeGroup.notify(vpk::DispatchQueue::main(), [self, callback = std::move(callback)] {
      if (callback) callback(self);
    });
  });
}

void VPKSignalStreamFileHandle::discardAllAssociatedURLs() {
  d_->writeGroup.async(d_->queue, [self = shared_from_this()] { self->d_->discardFiles(); });
}

// ---------------------------------------------------------------- rows

void VPKSignalStreamFileHandle::didOutputValues(VPKSignalStream*, std::span<const float> values, const vpk::Value&,
                                                double timestamp, bool) {
  if (d_->fileType.load() != kFileTypeCSV) return;
  std::string row = buildRow(values, timestamp, tags());
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), row = std::move(row)] {
    self->d_->appendRow(self, row, kDurationStep);
  });
}

// ---------------------------------------------------------------- stream output

void VPKSignalStreamFileHandle::didRecieveData(VPKSignalStream&, std::span<const uint8_t> packet) {
  if (d_->fileType.load() != kFileTypeRaw) return;
  if (packet.size() != VPKSignalStream::kPacketLength) {
    VPKLog(0, "VPKSignalStreamFileHandle skipped a {}-byte packet", packet.size());
    return;
  }
  addData(packet);
}

void VPKSignalStreamFileHandle::didRecieveValues(VPKSignalStream&, float left, float right, double timestamp,
                                                 bool) {
  if (d_->fileType.load() != kFileTypeCSV) return;
  const float pair[2] = {left, right};
  std::string row = buildRow(pair, timestamp, tags());  // inline on the shared queue
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), row = std::move(row)] {
    self->d_->appendRow(self, row, kStreamRowStep);
  });
}

void VPKSignalStreamFileHandle::streamDidOpen(VPKSignalStream&) {
  if (Handler h = streamOpenHandler()) h(shared_from_this());
}

void VPKSignalStreamFileHandle::streamDidClose(VPKSignalStream&) {
  if (Handler h = streamCloseHandler()) h(shared_from_this());
}

void VPKSignalStreamFileHandle::willBeRemovedFromStream(VPKSignalStream&) {
  if (Handler h = removedFromStreamHandler()) h(shared_from_this());
  if (isDiscardable()) discardAllAssociatedURLs();
}

void VPKSignalStreamFileHandle::setStream(const std::shared_ptr<VPKSignalStream>& stream) {
  d_->writeGroup.async(d_->queue, [self = shared_from_this(), stream] { self->d_->stream = stream; });
}
