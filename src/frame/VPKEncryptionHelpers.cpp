#include <VemraPlatformKit/frame/VPKDataHelpers.h>
#include <VemraPlatformKit/frame/VPKLog.h>

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

using Bytes = vpk::ValueBytes;

Bytes digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(static_cast<size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) {
    // Only an allocation failure inside OpenSSL gets here.
    VPKLog(1, "Digest failed");
    std::fill(out.begin(), out.end(), 0);
  }
  return out;
}

Bytes cipherKey(const Bytes& key) { return key.size() == 32 ? key : digest(EVP_sha256(), key); }

Bytes initialVector(const VPKEncryptionHelpers::OptionalIV& iv) {
  if (!iv) return Bytes(16, 0);
  if (iv->size() == 16) return *iv;
  Bytes hashed = digest(EVP_sha1(), *iv);
  hashed.resize(16);
  return hashed;
}

std::optional<Bytes> aes(bool encrypting, const Bytes& data, const Bytes& key,
                         const VPKEncryptionHelpers::OptionalIV& iv, bool padding) {
  if (data.size() > static_cast<size_t>(INT_MAX) - 32) {
    VPKLog(1, "AES: {} bytes are more than one call can take", data.size());
    return std::nullopt;
  }
  const Bytes k = cipherKey(key);
  const Bytes v = initialVector(iv);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(data.size() / 16 * 16 + 16);
  int written = 0;
  int last = 0;
  const bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k.data(), v.data(), encrypting) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0) == 1 &&
                  EVP_CipherUpdate(ctx.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) == 1 &&
                  EVP_CipherFinal_ex(ctx.get(), out.data() + written, &last) == 1;
  if (!ok) {
    VPKLog(0, "AES: {} of {} bytes failed", encrypting ? "encryption" : "decryption", data.size());
    return std::nullopt;
  }
  out.resize(static_cast<size_t>(written + last));
  return out;
}

Bytes utf8(std::string_view s) { return Bytes(s.begin(), s.end()); }

}  // namespace

using H = VPKEncryptionHelpers;

std::optional<Bytes> H::encryptedDataUsingKey(const Bytes& data, const Bytes& key) {
  return aes(true, data, key, std::nullopt, true);
}
std::optional<Bytes> H::encryptedDataUsingString(const Bytes& data, std::string_view key) {
  return aes(true, data, utf8(key), std::nullopt, true);
}
std::optional<Bytes> H::encrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv) {
  return aes(true, data, key, iv, true);
}
std::optional<Bytes> H::encrypt(const Bytes& data, const Bytes& key, bool padding) {
  return aes(true, data, key, std::nullopt, padding);
}
std::optional<Bytes> H::encrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv, bool padding) {
  return aes(true, data, key, iv, padding);
}

std::optional<Bytes> H::decryptedDataUsingKey(const Bytes& data, const Bytes& key) {
  return aes(false, data, key, std::nullopt, true);
}
std::optional<Bytes> H::decryptedDataUsingString(const Bytes& data, std::string_view key) {
  return aes(false, data, utf8(key), std::nullopt, true);
}
std::optional<Bytes> H::decrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv) {
  return aes(false, data, key, iv, true);
}
std::optional<Bytes> H::decrypt(const Bytes& data, const Bytes& key, bool padding) {
  return aes(false, data, key, std::nullopt, padding);
}
std::optional<Bytes> H::decrypt(const Bytes& data, const Bytes& key, const OptionalIV& iv, bool padding) {
  return aes(false, data, key, iv, padding);
}

bool H::encryptInPlace(Bytes& data, const Bytes& key, bool padding) {
  auto result = aes(true, data, key, std::nullopt, padding);
  if (!result) return false;
  data = std::move(*result);
  return true;
}
bool H::decryptInPlace(Bytes& data, const Bytes& key, bool padding) {
  auto result = aes(false, data, key, std::nullopt, padding);
  if (!result) return false;
  data = std::move(*result);
  return true;
}

Bytes sha1(const Bytes& data) { return digest(EVP_sha1(), data); }
Bytes sha256(const Bytes& data) { return digest(EVP_sha256(), data); }
