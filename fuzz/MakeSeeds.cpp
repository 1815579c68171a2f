// Writes the seed corpora of the fuzz targets into <folder>/<target>/, using the library's
// own writers on values like those of the unit tests. Run it when a format changes:
//   build-fuzz/fuzz_make_seeds fuzz/corpus
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKRange.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using vpk::Value;
namespace fs = std::filesystem;

fs::path gRoot;

void save(const std::string& target, const std::string& name, const void* data, size_t size) {
  fs::create_directories(gRoot / target);
  std::ofstream(gRoot / target / name, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(size));
}
void save(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
  save(target, name, bytes.data(), bytes.size());
}
void save(const std::string& target, const std::string& name, std::string_view text) {
  save(target, name, text.data(), text.size());
}

Value everyKind() {
  return Value::dictionary({
      {"bool", true},
      {"int", -5},
      {"huge", std::numeric_limits<uint64_t>::max()},
      {"real", 2.5},
      {"text", "\u00fcn\u00efc\u00f8d\u00e9 $null"},
      {"bytes", Value::bytes("\x00\xff", 2)},
      {"date", vpk::Date{-12.5}},
      {"list", Value::list({1, "a", Value::list({})})},
      {"set", Value::orderedSet({"x", "y"})},
      {"dict", Value::dictionary({{"$weird", 1}, {"", Value::dictionary({})}})},
  });
}

VPKFloatBuffer::Ptr floats(std::vector<float> v) { return VPKFloatBuffer::createWithFloats(v.data(), v.size()); }

VPKChannelSet::Ptr channelSet() {
  auto freqs = floats({0.0f, 1.0f, 2.0f});
  auto make = [&](uint64_t channel) {
    auto d = VPKChannelDescription::create();
    d->setChannel(channel);
    d->setCycles(300);
    d->setAnalysisSampleRange({487, 25});
    auto window = VPKFloatBuffer::createWithSize(4);
    for (float v : {1.5f, 2.5f, 3.5f, 4.5f}) window->push(v);
    d->setRawSignal(window);
    d->setFilteredSignal(floats({0.5f, -0.5f}));
    d->setFilteredDFT(VPKDFT::create(floats({0.0f, 0.25f, 0.125f}), freqs, 3.0f));
    d->setTimestamp(vpk::Date{788918400.25});
    d->setObject(Value::list({1, "two"}), "history");
    return d;
  };
  return VPKChannelSet::create(make(0), make(1));
}

std::vector<uint8_t> dataPacket(uint32_t value, uint8_t kind = 0xA0) {
  std::vector<uint8_t> p{kind, 0};
  for (int i = 0; i < 6; ++i) p.insert(p.end(), {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
  return p;
}

std::string recording(const std::string& json, const std::vector<std::vector<uint8_t>>& packets) {
  const std::string marker = ".__data_region\n";
  std::string file = std::to_string(json.size() + 1 + marker.size()) + "\n" + json + "\n" + marker;
  for (const auto& p : packets) file.append(p.begin(), p.end());
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];

  // Property lists, both forms.
  save("property_list", "every-kind.xml", *vpk::propertyListXML(everyKind()));
  save("property_list", "every-kind.bplist", *vpk::propertyListBinary(everyKind()));
  save("property_list", "list.bplist", *vpk::propertyListBinary(Value::list({1.5, "a", false})));

  // Keyed archives: plain values and each archivable class.
  save("keyed_archive", "every-kind", *vpk::KeyedArchiver::archivedData(everyKind()));
  save("keyed_archive", "channel-set", *vpk::KeyedArchiver::archivedData(Value(channelSet())));
  auto average = VPKMovingAverage::averageWithAlpha(0.5f, 3);
  for (float v : {1.0f, 2.0f, 4.0f}) average->addValue(v);
  save("keyed_archive", "moving-average", *vpk::KeyedArchiver::archivedData(Value(average)));
  save("keyed_archive", "range", *vpk::KeyedArchiver::archivedData(VPKValueWithRange({3, 4})));

  // JSON documents.
  save("json_value", "every-kind.json", *everyKind().toJSONString(2));
  save("json_value", "numbers.json", std::string_view("[0,-1,18446744073709551615,1.5e-300,\"\\u00e9\\ud83d\\ude00\"]"));

  // Recording headers and whole recordings.
  const std::string header =
      R"({"compression":"none","date":"2026-03-14 15:09:26 +0100","device":"Vemra 1A2B","type":"raw"})";
  save("recording_header", "header.json", header);
  save("recording_header", "start-date.json", std::string_view(R"({"startDate":"1999-12-31 23:59:59 -0830"})"));
  save("recording_file", "two-packets.vpk", recording(header, {dataPacket(0x123456), dataPacket(0xFFFFFF)}));
  save("recording_file", "mixed-kinds.vpk",
       recording(R"({"type":"raw"})", {dataPacket(1), dataPacket(2, 0xFE), dataPacket(3, 0xFF)}));
  save("recording_file", "marker-only.vpk", std::string_view(".__data_region\n"));

  // Signal-stream scripts: packets (op 0, length 20), time steps (op 4), latency correction
  // (op 5), reset (op 6), close and open (op 7).
  std::string burst;
  for (uint32_t v : {0x000000u, 0x7FFFFFu, 0xFFFFFFu}) {
    burst += std::string{'\x00', '\x14'};
    const auto p = dataPacket(v);
    burst.append(p.begin(), p.end());
  }
  save("signal_packets", "three-packets", burst);
  save("signal_packets", "paced", "\x05" + burst + burst + "\x04\x0c\x04\x0c" + burst + "\x07\x04\x10\x07\x06" + burst);
  const auto battery = dataPacket(0x10, 0xFF);
  save("signal_packets", "other-kinds",
       std::string{'\x00', '\x14'} + std::string(battery.begin(), battery.end()) + std::string{'\x01', '\x05'} + "\xA0\x01\x02\x03\x04");

  // FIR coefficient files.
  save("fir_coefficients", "smooth.txt", std::string_view("0.25,0.5,0.25"));
  save("fir_coefficients", "odd.txt", std::string_view(" 1e-3 ,\n-2x, nan,\t,0x10,1e400"));
  return 0;
}
