#include <VemraPlatformKit/frame/VPKDataHelpers.h>
#include <VemraPlatformKit/frame/VPKLog.h>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

constexpr size_t kDeflateStep = 16384;
// zlib counts in uInt; feed it at most this much at a time.
constexpr size_t kMaxChunk = size_t{1} << 30;

}  // namespace

std::optional<vpk::ValueBytes> VPKCompressionHelpers::compressedData(const vpk::ValueBytes& data) {
  if (data.empty()) return vpk::ValueBytes{};
  z_stream zs{};
  if (deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    VPKLog(1, "Compression: deflate could not start");
    return std::nullopt;
  }
  vpk::ValueBytes out;
  size_t consumed = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (zs.avail_in == 0 && consumed < data.size()) {
      const size_t chunk = std::min(kMaxChunk, data.size() - consumed);
      zs.next_in = const_cast<Bytef*>(data.data() + consumed);
      zs.avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    if (out.size() == zs.total_out) out.resize(out.size() + kDeflateStep);
    zs.next_out = out.data() + zs.total_out;
    zs.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - zs.total_out, kMaxChunk));
    rc = deflate(&zs, consumed == data.size() ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_BUF_ERROR) rc = Z_OK;  // no progress possible until more room: loop grows it
  }
  const size_t produced = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    VPKLog(1, "Compression: deflate failed ({})", rc);
    return std::nullopt;
  }
  out.resize(produced);
  return out;
}

std::optional<vpk::ValueBytes> VPKCompressionHelpers::decompressedData(const vpk::ValueBytes& data,
                                                                       size_t maximumLength) {
  if (data.empty()) return vpk::ValueBytes{};
  z_stream zs{};
  if (inflateInit2(&zs, 47) != Z_OK) {
    VPKLog(1, "Decompression: inflate could not start");
    return std::nullopt;
  }
  // The first guess is one and a half times the input; the buffer then grows geometrically (a
  // fixed step of half the input would copy a highly compressed stream quadratically often).
  // The buffer may hold one byte past the limit: only a byte beyond it proves that the output
  // is too long (an output of exactly the limit fills the buffer before inflate has read the
  // stream's end).
  const size_t limit = maximumLength < SIZE_MAX ? maximumLength + 1 : maximumLength;
  vpk::ValueBytes out;
  out.resize(std::min(limit, data.size() + data.size() / 2));
  size_t consumed = 0;
  size_t produced = 0;
  const char* failure = nullptr;
  for (;;) {
    if (zs.avail_in == 0 && consumed < data.size()) {
      const size_t chunk = std::min(kMaxChunk, data.size() - consumed);
      zs.next_in = const_cast<Bytef*>(data.data() + consumed);
      zs.avail_in = static_cast<uInt>(chunk);
      consumed += chunk;
    }
    if (produced == out.size()) {
      const size_t grown = out.size() + std::max({data.size() / 2, out.size(), size_t{kDeflateStep}});
      out.resize(std::min(grown, limit));
    }
    zs.next_out = out.data() + produced;
    zs.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxChunk));
    const uInt before = zs.avail_out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    produced += before - zs.avail_out;
    if (produced > maximumLength) {
      failure = "output exceeds the maximum length";
      break;
    }
    if (rc == Z_STREAM_END) {
      // Another gzip member follows (as `cat a.gz b.gz` makes): inflate it too.
      const size_t left = zs.avail_in + (data.size() - consumed);
      const uint8_t* next = zs.avail_in ? zs.next_in : data.data() + consumed;
      if (left >= 2 && next[0] == 0x1f && next[1] == 0x8b && inflateReset(&zs) == Z_OK) continue;
      break;
    }
    if (rc == Z_BUF_ERROR && zs.avail_out != 0) {
      failure = "the stream ends early";
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      failure = zs.msg ? zs.msg : "damaged stream";
      break;
    }
  }
  inflateEnd(&zs);
  if (failure) {
    VPKLog(1, "Decompression failed: {}", failure);
    return std::nullopt;
  }
  out.resize(produced);
  out.shrink_to_fit();
  return out;
}
