#pragma once
/// @file VPKDataHelpers.h
/// Helpers on byte data that the library offers to applications: gzip compression, AES-256-CBC
/// encryption and the SHA-1 / SHA-256 digests. All are pure functions of their input, safe to
/// call from any thread at once. Compression runs on zlib, the cipher and digests on OpenSSL's
/// EVP interface.
///
/// Byte data is vpk::ValueBytes (std::vector<uint8_t>). A failure is a missing result (nullopt)
/// or false, with a log line; nothing throws.
///
/// Name mapping (the platform's categories on its byte-data type become classes of static
/// functions taking the data first):
///   compressedData / decompressedData        -> VPKCompressionHelpers::compressedData(data) / decompressedData(data)
///   encryptedDataUsingKey: / ...UsingString: -> VPKEncryptionHelpers::encryptedDataUsingKey(data, key) / ...UsingString
///   encrypt:withInitial:andPadding: (and the shorter forms)
///                                            -> VPKEncryptionHelpers::encrypt(data, key, iv, padding) (overloads)
///   decrypt... likewise                      -> VPKEncryptionHelpers::decrypt...
///   encryptInPlace: / encryptInPlace:withPadding: (on mutable data), decryptInPlace...
///                                            -> VPKEncryptionHelpers::encryptInPlace(data&, key[, padding])
///   sha1 / sha256                            -> sha1(data) / sha256(data)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstddef>
#include <optional>
#include <string_view>

/// Default limit on the output of decompressedData: 64 MiB. A few kilobytes of deflate data can
/// expand to gigabytes, so decompression stops (and fails) past the limit instead of exhausting
/// memory. Pass a larger limit for known large payloads.
inline constexpr size_t VPKDecompressedDataDefaultMaximumLength = size_t{64} << 20;

class VPK_EXPORT VPKCompressionHelpers {
 public:
  /// A gzip stream of `data` (deflate, level 9, window bits 31 = gzip wrapper, memory level 8,
  /// default strategy). Empty input gives empty output. nullopt when zlib fails.
  static std::optional<vpk::ValueBytes> compressedData(const vpk::ValueBytes& data);

  /// Inflates a zlib or gzip stream (the header is detected). Concatenated gzip members are all
  /// inflated, as gzip -d does; bytes after the last stream are ignored. Empty input gives empty
  /// output. nullopt (and a log line) when the stream is damaged, does not end cleanly, or its
  /// output would exceed `maximumLength` bytes.
  static std::optional<vpk::ValueBytes> decompressedData(
      const vpk::ValueBytes& data, size_t maximumLength = VPKDecompressedDataDefaultMaximumLength);
};

/// AES-256 in CBC mode.
///
/// Key: the key bytes when they are 32 long, otherwise their SHA-256 digest (string keys are taken
/// as their UTF-8 bytes). Initial vector: 16 zero bytes when none is given, the given bytes when
/// they are 16 long, otherwise the first 16 bytes of their SHA-1 digest (an empty vector given is
/// hashed too; only nullopt means none). Padding: PKCS#7 unless disabled; without padding the
/// input length must be a multiple of 16.
///
/// Result: the produced bytes (at most the input length rounded down to 16, plus 16), or nullopt
/// when the cipher fails (wrong length without padding, bad padding on decryption, which is also
/// what a wrong key usually gives).
///
/// The forms without an initial vector use 16 zero bytes, so equal plaintexts under one key give
/// equal ciphertexts; give a random initial vector for anything new.
class VPK_EXPORT VPKEncryptionHelpers {
 public:
  using Bytes = vpk::ValueBytes;
  using OptionalIV = std::optional<Bytes>;

  static std::optional<Bytes> encryptedDataUsingKey(const Bytes& data, const Bytes& key);
  static std::optional<Bytes> encryptedDataUsingString(const Bytes& data, std::string_view key);
  static std::optional<Bytes> encrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv);
  static std::optional<Bytes> encrypt(const Bytes& data, const Bytes& key, bool padding);
  static std::optional<Bytes> encrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv, bool padding);

  static std::optional<Bytes> decryptedDataUsingKey(const Bytes& data, const Bytes& key);
  static std::optional<Bytes> decryptedDataUsingString(const Bytes& data, std::string_view key);
  static std::optional<Bytes> decrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv);
  static std::optional<Bytes> decrypt(const Bytes& data, const Bytes& key, bool padding);
  static std::optional<Bytes> decrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv, bool padding);

  /// Replace `data` by its encryption / decryption (no initial vector). On failure `data` is left
  /// as it was and the result is false.
  static bool encryptInPlace(Bytes& data, const Bytes& key, bool padding = true);
  static bool decryptInPlace(Bytes& data, const Bytes& key, bool padding = true);
};

/// The 20-byte SHA-1 digest of `data`.
VPK_EXPORT vpk::ValueBytes sha1(const vpk::ValueBytes& data);
/// The 32-byte SHA-256 digest of `data`.
VPK_EXPORT vpk::ValueBytes sha256(const vpk::ValueBytes& data);
