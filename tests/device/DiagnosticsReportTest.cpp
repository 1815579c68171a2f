// The diagnostics run against the simulated headband in virtual time, and the report's
// host facts, noise bins and file names on their own.
#include "DeviceTestSupport.h"

#include "device/DiagnosticsReport.h"

#include <VemraPlatformKit/platform/files/Folders.h>

#include <sys/utsname.h>

#include <fstream>
#include <sstream>

namespace vpk::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int calls = 0;
  bool success = false;
  std::optional<fs::path> file;
  ValueDictionary report;
};

// The mean of a noise list: spectra of the analyzer's first second, whose window still holds
// the step onto the amplifier's offset, would swamp it.
double mean(const ValueDictionary& report, const char* side, const char* hz) {
  const Value& list = *report.find("noiseSamples")->getDictionary()->find(side)->getDictionary()->find(hz);
  double sum = 0;
  for (const auto& v : *list.getList()) sum += v.doubleValue();
  return list.getList()->empty() ? 0 : sum / static_cast<double>(list.getList()->size());
}

std::string verdict(const ValueDictionary& report, const char* side) {
  return report.find("electrodeStatus")->getDictionary()->find(side)->stringValue();
}

class DiagnosticsRun : public DeviceTest {
 protected:
  /// Runs a report on `d` to its end (31 s of virtual time), reading the file back.
  Outcome runReport() {
    auto outcome = std::make_shared<Outcome>();
    onQueue([&] {
      d->generateDiagnosticsReport([outcome](bool ok, const std::optional<fs::path>& file) {
        EXPECT_TRUE(vpk::DispatchQueue::main()->isCurrent());
        ++outcome->calls;
        outcome->success = ok;
        outcome->file = file;
      });
    });
    advance(VPKPeripheral::kDiagnosticsSeconds + 1);
    if (outcome->file) {
      std::ifstream in(*outcome->file);
      std::stringstream text;
      text << in.rdbuf();
      const auto parsed = Value::fromJSONString(text.str());
      if (parsed && parsed->getDictionary()) outcome->report = *parsed->getDictionary();
    }
    return *outcome;
  }
};

TEST_F(DiagnosticsRun, MainsNoiseShowsInTheListOfItsFrequency) {
  for (double mains : {50.0, 60.0}) {
    SimulatedHeadband::Configuration c = named("Vemra 1A2B");
    c.scenario = "mains-noise";
    c.mainsFrequency = mains;
    connectNew(c);
    const Outcome r = runReport();
    ASSERT_EQ(r.calls, 1);
    ASSERT_TRUE(r.success && r.file);
    EXPECT_EQ(r.file->parent_path(), vpk::temporaryFolder() / "com_ulko_vpk_diagnostics");
    EXPECT_EQ(r.file->filename().string().rfind("1A2B_20", 0), 0u) << *r.file;
    for (const char* side : {"left", "right"}) {
      const double at50 = mean(r.report, side, "50hz"), at60 = mean(r.report, side, "60hz");
      if (mains == 50.0)
        EXPECT_GT(at50, 5 * at60) << side;
      else
        EXPECT_GT(at60, 5 * at50) << side;
      // Only the first 10 s of the stream (62.5 cycles a second), less the first second, count.
      const auto& lists = *r.report.find("noiseSamples")->getDictionary()->find(side)->getDictionary();
      EXPECT_LE(lists.find("50hz")->getList()->size(), 570u);
    }
    for (const char* key : {"localDeviceInfo", "systemQueries", "reportTimestamp", "firmware", "commandLog",
                            "persistentHeadbandInfo"})
      EXPECT_TRUE(r.report.find(key)) << key;
    EXPECT_EQ(r.report.find("connectionState")->stringValue(), "Connected");
    EXPECT_EQ(r.report.find("firmware")->stringValue(), onQueue([&] { return d->firmwareVersion()->stringValue(); }));
    EXPECT_FALSE(r.report.find("systemQueries")->getList()->empty());
    // The run's 0.5 s status rate ends with it.
    EXPECT_FALSE(onQueue([&] { return d->performingDiagnostics(); }));
    EXPECT_EQ(onQueue([&] { return d->systemQueryRate(); }), 2.0);
    if (mains == 60.0 && std::system("command -v python3 >/dev/null 2>&1") == 0) {
      const std::string check = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' '" + r.file->string() + "'";
      EXPECT_EQ(std::system(check.c_str()), 0);
    }
    onQueue([&] { d->disconnect(); });
    advance(1);
  }
}

TEST_F(DiagnosticsRun, ElectrodeVerdictsAreThoseOfTheRun) {
  SimulatedHeadband::Configuration c = named("Vemra 77");
  c.scenario = "flat-left";
  connectNew(c);
  Outcome r = runReport();
  ASSERT_TRUE(r.success);
  EXPECT_EQ(verdict(r.report, "left"), "Failed");
  EXPECT_EQ(verdict(r.report, "right"), "Pass");
  // The electrode is mended: the next report does not repeat the old verdict.
  band->setElectrodeContact(SimulatedChannel::Left, ElectrodeContact::Good);
  r = runReport();
  ASSERT_TRUE(r.success);
  EXPECT_EQ(verdict(r.report, "left"), "Pass");
}

TEST_F(DiagnosticsRun, ALinkLostBeforeTheStreamStillGivesAReport) {
  connectNew(named("Vemra 3C"));
  band->dropLink(1.0);
  const Outcome r = runReport();
  ASSERT_TRUE(r.success);
  EXPECT_EQ(r.report.find("connectionState")->stringValue(), "Disconnected");
  EXPECT_EQ(verdict(r.report, "left"), "Unknown");
  EXPECT_EQ(verdict(r.report, "right"), "Unknown");
  EXPECT_EQ(mean(r.report, "left", "50hz"), 0.0);
}

TEST_F(DiagnosticsRun, FailuresAnswerFalseAndEndTheDiagnosticsRate) {
  connectNew(named("Vemra 4D"));
  // The report folder cannot be made: a file is in its way.
  const fs::path folder = vpk::temporaryFolder() / "com_ulko_vpk_diagnostics";
  fs::remove_all(folder);
  std::ofstream(folder) << "in the way";
  std::vector<bool> answers;
  onQueue([&] {
    d->generateDiagnosticsReport([&](bool ok, const std::optional<fs::path>& file) {
      answers.push_back(ok);
      EXPECT_FALSE(file);
    });
    EXPECT_EQ(d->systemQueryRate(), 0.5);
    // A second run while one goes is refused at once.
    d->generateDiagnosticsReport([&](bool ok, const std::optional<fs::path>&) { answers.push_back(ok); });
  });
  advance(0.1);
  EXPECT_EQ(answers, std::vector<bool>{false});
  advance(6);
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
  EXPECT_TRUE(log.contains("Failed to generate diagnostics report"));
  EXPECT_FALSE(onQueue([&] { return d->performingDiagnostics() || d->isGeneratingDiagnosticsReport(); }));
  EXPECT_EQ(onQueue([&] { return d->systemQueryRate(); }), 2.0);

  // Nor is the report written through a link that another user left in the shared folder.
  fs::remove(folder);
  const fs::path elsewhere = vpk::temporaryFolder() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directory_symlink(elsewhere, folder);
  onQueue([&] { d->generateDiagnosticsReport([&](bool ok, const std::optional<fs::path>&) { answers.push_back(ok); }); });
  advance(6);
  EXPECT_EQ(answers.back(), false);
  EXPECT_TRUE(fs::is_empty(elsewhere));
  fs::remove(folder);
}

TEST(DiagnosticsReportPieces, NoiseBinsLinkStatesAndFileNames) {
  using vpk::detail::noiseBinIndex;
  // The analyzer's 240-point spectrum at 250 Hz: 50 Hz is bin 48 exactly, 60 Hz lies
  // between bins 57 and 58 and bin 58 (60.42 Hz) is taken.
  std::vector<float> bins(120);
  for (size_t k = 0; k < bins.size(); ++k) bins[k] = static_cast<float>(k) * 250.0f / 240.0f;
  EXPECT_EQ(noiseBinIndex(bins.data(), bins.size(), 50.0f), 48u);
  EXPECT_EQ(noiseBinIndex(bins.data(), bins.size(), 60.0f), 58u);
  // A spectrum that ends more than half a bin below the target has nothing for it.
  EXPECT_FALSE(noiseBinIndex(bins.data(), 57, 60.0f));
  EXPECT_EQ(noiseBinIndex(bins.data(), 58, 60.0f), std::nullopt);
  const std::vector<float> coarse = {0, 10, 20, 30, 40, 50, 60};
  EXPECT_EQ(noiseBinIndex(coarse.data(), coarse.size(), 55.0f), 5u);  // a tie takes the lower bin
  EXPECT_FALSE(noiseBinIndex(coarse.data(), 1, 0.5f));

  EXPECT_EQ(vpk::detail::connectionStateName(BluetoothPeripheralState::Connected), "Connected");
  EXPECT_EQ(vpk::detail::connectionStateName(BluetoothPeripheralState::Disconnecting), std::nullopt);

  using vpk::detail::diagnosticsReportFile;
  const fs::path folder = "/tmp/reports";
  EXPECT_EQ(diagnosticsReportFile(folder, "VMR1A2B", "ID", "2026_01_02_03_04_05_GMT"),
            folder / "1A2B_2026_01_02_03_04_05_GMT");
  EXPECT_EQ(diagnosticsReportFile(folder, std::nullopt, "0A1B-C2", "T"), folder / "0A1B-C2_T");
  EXPECT_FALSE(diagnosticsReportFile(folder, "VMR/../../etc/x", "ID", "T"));
  EXPECT_FALSE(diagnosticsReportFile(folder, std::nullopt, "", "a/b"));
}

TEST(DiagnosticsReportPieces, HostFactsComeFromTheRootFolder) {
  const fs::path root = vpk::temporaryFolder() / "fake-host";
  fs::remove_all(root);
  auto write = [&](const std::string& file, const std::string& text) {
    fs::create_directories((root / file).parent_path());
    std::ofstream(root / file) << text;
  };
  struct utsname names {};
  ASSERT_EQ(::uname(&names), 0);

  // Nothing to read: the kernel's names, no model, no battery.
  ValueDictionary info = vpk::detail::localDeviceInfo(root);
  EXPECT_EQ(info.find("machineName")->stringValue(), names.machine);
  EXPECT_EQ(info.find("systemOS")->stringValue(), names.sysname);
  EXPECT_EQ(info.find("systemVersion")->stringValue(), names.release);
  EXPECT_EQ(info.find("deviceModel")->stringValue(), "");
  EXPECT_EQ(info.find("systemBatteryLevel")->intValue(), vpk::detail::kNoHostBatteryLevel);

  write("usr/lib/os-release", "# comment\nNAME=\"Debian GNU/Linux\"\nVERSION_ID='12'\nID=debian\n");
  write("sys/class/dmi/id/product_name", "ThinkPad X1 Carbon\n");
  write("sys/class/power_supply/AC/type", "Mains\n");
  write("sys/class/power_supply/0-mouse/type", "Battery\n");
  write("sys/class/power_supply/0-mouse/scope", "Device\n");
  write("sys/class/power_supply/0-mouse/capacity", "5\n");
  write("sys/class/power_supply/BAT0/type", "Battery\n");
  write("sys/class/power_supply/BAT0/capacity", "garbage\n");
  write("sys/class/power_supply/BAT1/type", "Battery\n");
  write("sys/class/power_supply/BAT1/capacity", "87\n");
  info = vpk::detail::localDeviceInfo(root);
  EXPECT_EQ(info.find("systemOS")->stringValue(), "Debian GNU/Linux");
  EXPECT_EQ(info.find("systemVersion")->stringValue(), "12");
  EXPECT_EQ(info.find("deviceModel")->stringValue(), "ThinkPad X1 Carbon");
  EXPECT_EQ(info.find("systemBatteryLevel")->intValue(), 87);
  fs::remove_all(root);
}

}  // namespace
}  // namespace vpk::test
