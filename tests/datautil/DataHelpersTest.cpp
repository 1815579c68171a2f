// gzip, AES and SHA helpers: round trips, the command-line tools as the other side, published vectors.
#include <VemraPlatformKit/frame/VPKDataHelpers.h>
#include <VemraPlatformKit/platform/files/Folders.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "support/LogCapture.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

namespace {

using Bytes = vpk::ValueBytes;
using C = VPKCompressionHelpers;
using E = VPKEncryptionHelpers;

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string hex(const Bytes& b) {
  std::string s;
  for (uint8_t v : b) s += fmt::format("{:02x}", v);
  return s;
}

Bytes pseudoRandom(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& v : b) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(seed >> 24);
  }
  return b;
}

bool haveTool(const char* name) { return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0; }
std::string scratch(const std::string& name) { return (vpk::temporaryFolder() / name).string(); }

void writeBytes(const std::string& path, const Bytes& b) { ASSERT_TRUE(vpk::writeFileData(path, b.data(), b.size(), false)); }
Bytes readBytes(const std::string& path) { return vpk::readFileData(path).value_or(Bytes{}); }
int run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()); }

TEST(Compression, RoundTripsAndEmptyInput) {
  EXPECT_EQ(C::compressedData({}), Bytes{});
  EXPECT_EQ(C::decompressedData({}), Bytes{});
  for (const Bytes& input : {bytesOf("x"), pseudoRandom(100000, 1), Bytes(3 << 20, 'a')}) {
    const auto packed = C::compressedData(input);
    ASSERT_TRUE(packed);
    ASSERT_GE(packed->size(), 18u);
    EXPECT_EQ((*packed)[0], 0x1f);  // gzip wrapper
    EXPECT_EQ((*packed)[1], 0x8b);
    EXPECT_EQ(C::decompressedData(*packed), input);
  }
}

TEST(Compression, InteroperatesWithTheGzipTool) {
  if (!haveTool("gzip")) GTEST_SKIP() << "gzip not installed";
  const Bytes input = pseudoRandom(50000, 7);
  writeBytes(scratch("ours.gz"), *C::compressedData(input));
  ASSERT_EQ(run("gzip -dc '" + scratch("ours.gz") + "' > '" + scratch("ours.out") + "'"), 0);
  EXPECT_EQ(readBytes(scratch("ours.out")), input);

  writeBytes(scratch("theirs"), input);
  ASSERT_EQ(run("gzip -9c '" + scratch("theirs") + "' > '" + scratch("theirs.gz") + "'"), 0);
  EXPECT_EQ(C::decompressedData(readBytes(scratch("theirs.gz"))), input);

  // Two members one after the other decompress to both parts, as gzip -d gives.
  ASSERT_EQ(run("cat '" + scratch("theirs.gz") + "' '" + scratch("ours.gz") + "' > '" + scratch("two.gz") + "'"), 0);
  Bytes both = input;
  both.insert(both.end(), input.begin(), input.end());
  EXPECT_EQ(C::decompressedData(readBytes(scratch("two.gz"))), both);
}

TEST(Compression, RefusesDamagedTruncatedAndOversizedStreams) {
  vpk::test::LogCapture log;
  const Bytes input = pseudoRandom(20000, 3);
  const Bytes packed = *C::compressedData(input);
  EXPECT_FALSE(C::decompressedData(Bytes(packed.begin(), packed.end() - 9)));  // no clean end
  Bytes flipped = packed;
  flipped[packed.size() / 2] ^= 0x55;
  EXPECT_FALSE(C::decompressedData(flipped));
  EXPECT_FALSE(C::decompressedData(bytesOf("plain text, not a stream")));

  // 32 MiB of zeros in a small zlib-wrapped stream: refused past a caller's limit, accepted under the default.
  const Bytes zeros(32u << 20, 0);
  uLongf length = compressBound(zeros.size());
  Bytes bomb(length);
  ASSERT_EQ(compress2(bomb.data(), &length, zeros.data(), zeros.size(), 1), Z_OK);
  bomb.resize(length);
  EXPECT_LT(bomb.size(), 256u << 10);
  EXPECT_FALSE(C::decompressedData(bomb, 1u << 20));
  EXPECT_TRUE(log.contains("output exceeds the maximum length"));
  EXPECT_EQ(C::decompressedData(bomb, 32u << 20)->size(), 32u << 20);
  EXPECT_EQ(C::decompressedData(bomb)->size(), 32u << 20);

  // An output of exactly the limit is accepted, even when the buffer is full before the
  // stream's end is read (here: an empty stream under a limit of 0).
  Bytes empty(compressBound(0));
  length = empty.size();
  ASSERT_EQ(compress2(empty.data(), &length, nullptr, 0, 9), Z_OK);
  empty.resize(length);
  EXPECT_EQ(C::decompressedData(empty, 0), Bytes{});
  EXPECT_FALSE(C::decompressedData(*C::compressedData(bytesOf("x")), 0));
}

TEST(Digest, MatchesPublishedVectors) {
  EXPECT_EQ(hex(sha1({})), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(sha1(bytesOf("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(sha1(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(sha256(bytesOf("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(sha256(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Encryption, KeyAndInitialVectorRules) {
  const Bytes data = pseudoRandom(45, 11);
  const Bytes key32 = pseudoRandom(32, 12);
  const Bytes shortKey = bytesOf("secret");
  const Bytes iv16 = pseudoRandom(16, 13);
  const Bytes longIV = bytesOf("an initial vector of another length");
  Bytes longIVDigest = sha1(longIV);
  longIVDigest.resize(16);

  // A key of another length is its SHA-256; an IV of another length the head of its SHA-1.
  EXPECT_EQ(E::encryptedDataUsingString(data, "secret"), E::encrypt(data, sha256(shortKey), Bytes(16, 0), true));
  EXPECT_EQ(E::encrypt(data, key32, longIV), E::encrypt(data, key32, longIVDigest));
  EXPECT_EQ(E::encryptedDataUsingKey(data, key32), E::encrypt(data, key32, true));

  const auto sealed = E::encrypt(data, key32, iv16, true);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), 48u);  // 45 rounded down to 16, plus 16
  EXPECT_EQ(E::decrypt(*sealed, key32, iv16), data);
  EXPECT_EQ(E::decryptedDataUsingString(*E::encryptedDataUsingString(data, "pw"), "pw"), data);
}

TEST(Encryption, WithoutPaddingAndInPlace) {
  vpk::test::LogCapture log;
  const Bytes key = bytesOf("k");
  EXPECT_EQ(E::decrypt(*E::encrypt(pseudoRandom(32, 5), key, false), key, false), pseudoRandom(32, 5));
  EXPECT_FALSE(E::encrypt(pseudoRandom(17, 5), key, false));  // not a whole number of blocks

  Bytes data = bytesOf("in place");
  ASSERT_TRUE(E::encryptInPlace(data, key));
  EXPECT_EQ(data.size(), 16u);
  const Bytes sealedCopy = data;
  EXPECT_FALSE(E::decryptInPlace(data, bytesOf("wrong key")));  // the padding does not check out
  EXPECT_EQ(data, sealedCopy);                                   // left as it was
  ASSERT_TRUE(E::decryptInPlace(data, key));
  EXPECT_EQ(data, bytesOf("in place"));
}

TEST(Encryption, AgreesWithTheOpensslTool) {
  if (!haveTool("openssl")) GTEST_SKIP() << "openssl not installed";
  const Bytes key = pseudoRandom(32, 21);
  const Bytes iv = pseudoRandom(16, 22);
  for (const bool padding : {true, false}) {
    const Bytes data = pseudoRandom(padding ? 1000 : 1024, 23);
    writeBytes(scratch("plain"), data);
    const std::string options = " -aes-256-cbc -K " + hex(key) + " -iv " + hex(iv) + (padding ? "" : " -nopad");
    ASSERT_EQ(run("openssl enc" + options + " -in '" + scratch("plain") + "' -out '" + scratch("sealed") + "'"), 0);
    const Bytes theirs = readBytes(scratch("sealed"));
    EXPECT_EQ(E::encrypt(data, key, iv, padding), theirs) << "padding " << padding;
    writeBytes(scratch("ours"), *E::encrypt(data, key, iv, padding));
    ASSERT_EQ(run("openssl enc -d" + options + " -in '" + scratch("ours") + "' -out '" + scratch("opened") + "'"), 0);
    EXPECT_EQ(readBytes(scratch("opened")), data);
  }
}

}  // namespace
