// vemra export: a recording's decoded samples as CSV or BDF+.
#include "Command.h"

#include <VemraPlatformKit/recording/VPKRecordingExport.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct ExportOptions {
  std::string input;
  std::string format;
  std::string output;
};

int exportRecording(const ExportOptions& o) {
  const auto result = o.format == "csv" ? VPKRecordingExport::exportCSV(o.input, o.output)
                                        : VPKRecordingExport::exportBDF(o.input, o.output);
  if (!result.warning.empty()) std::fprintf(stderr, "vemra export: warning: %s\n", result.warning.c_str());
  if (!result.ok) {
    std::fprintf(stderr, "vemra export: %s\n", result.error.c_str());
    return 1;
  }
  std::printf("exported %llu samples from %llu data packets to %s", static_cast<unsigned long long>(result.samples),
              static_cast<unsigned long long>(result.dataPackets), o.output.c_str());
  if (o.format == "bdf")
    std::printf(" (%llu data records of 1 s, last one filled up with %llu samples)",
                static_cast<unsigned long long>(result.dataRecords),
                static_cast<unsigned long long>(result.paddedSamples));
  std::printf("\n");
  return 0;
}

vemra::VemraCommand exportCommand({"export", "Export a recording's samples as CSV or BDF+", 42, [](CLI::App& sub) {
                                     auto o = std::make_shared<ExportOptions>();
                                     sub.add_option("FILE", o->input, "The recording")->required();
                                     sub.add_option("--format", o->format, "csv or bdf")
                                         ->required()
                                         ->check(CLI::IsMember({"csv", "bdf"}));
                                     sub.add_option("-o,--output", o->output, "The file to write")->required();
                                     sub.callback([o] { vemra::exitStatus() = exportRecording(*o); });
                                   }});

}  // namespace
