// vemra analyze: runs the analysis engine over a signal (the simulated headband or a
// recording) and writes one CSV row per cycle.
//
// Offline (the default) replays the signal as fast as the machine allows and gives the
// same file on every run: packet k enters the stream at clock time T0 + 0.012 k through
// the stream's direct path, and after each packet every cycle that is due runs to
// completion (caller-driven processing) before the next packet enters. The whole replay
// runs as one task on the shared work queue, where stream state lives.
//
// --live paces the packets in real time instead: the analyzer's processing thread runs
// the cycles and a line on the terminal shows each cycle's result.
#include "Command.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr double kPacketInterval = 0.012;     // three samples at 250 Hz
constexpr double kReplayStart = 788918400.0;  // 2026-01-01 00:00:00 UTC, seconds since 2001

struct Options {
  bool simulate = false;
  std::string input;
  std::optional<unsigned> mains;
  double seconds = 60.0;
  bool secondsGiven = false;
  std::string out;
  bool live = false;
  uint64_t seed = 1;
  std::string scenario;  // with --simulate: the simulated headband's signal model
};

// ---------------------------------------------------------------- cycle rows

// One cycle's row, read from the channel set and the validity monitor after the cycle.
struct Row {
  uint64_t cycle = 0;
  double time = 0;
  std::optional<float> focus[2], altFocus[2];
  bool idle[2] = {false, false};
  uint64_t fftStatus[2] = {0, 0};
  bool flatline[2] = {false, false};
};

Row makeRow(uint64_t cycle, double time, const VPKChannelSet& set, const VPKSignalAnalyzer& analyzer) {
  Row row;
  row.cycle = cycle;
  row.time = time;
  const VPKChannelDescription* channels[2] = {set.leftChannel().get(), set.rightChannel().get()};
  for (int c = 0; c < 2; ++c) {
    if (!channels[c]) continue;
    row.focus[c] = channels[c]->focusScore();
    row.altFocus[c] = channels[c]->alternateFocusScore();
    row.idle[c] = channels[c]->isIdle();
    row.fftStatus[c] = channels[c]->fftStatus();
  }
  if (const auto monitor = std::dynamic_pointer_cast<VPKSignalValidityMonitor>(analyzer.signalValidator())) {
    row.flatline[0] = monitor->leftFlatline();
    row.flatline[1] = monitor->rightFlatline();
  }
  return row;
}

const char* const kHeader =
    "cycle,time,left_focus,left_alt_focus,left_idle,left_fft_status,right_focus,right_alt_focus,right_idle,"
    "right_fft_status,left_flatline,right_flatline\n";

void writeScore(std::string& line, const std::optional<float>& score) {
  line += ',';
  if (!score) return;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(*score));
  line += buffer;
}

std::string formatRow(const Row& row) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%llu,%.3f", static_cast<unsigned long long>(row.cycle), row.time);
  std::string line = buffer;
  for (int c = 0; c < 2; ++c) {
    writeScore(line, row.focus[c]);
    writeScore(line, row.altFocus[c]);
    line += row.idle[c] ? ",1" : ",0";
    line += ',' + std::to_string(row.fftStatus[c]);
  }
  line += row.flatline[0] ? ",1" : ",0";
  line += row.flatline[1] ? ",1\n" : ",0\n";
  return line;
}

// The CSV file (or standard output for "-"); nothing without --out.
class RowWriter {
 public:
  bool open(const std::string& path) {
    if (path.empty()) return true;
    file_ = path == "-" ? stdout : std::fopen(path.c_str(), "w");
    if (!file_) {
      std::fprintf(stderr, "vemra analyze: cannot write %s\n", path.c_str());
      return false;
    }
    owned_ = file_ != stdout;
    if (owned_) std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    std::fputs(kHeader, file_);
    return true;
  }
  void write(const Row& row) {
    if (!file_) return;
    const std::string line = formatRow(row);
    std::fwrite(line.data(), 1, line.size(), file_);
  }
  bool close() {
    if (!file_) return true;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    if (owned_) ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
  }
  ~RowWriter() { close(); }

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

// Totals for the summary.
struct Summary {
  uint64_t packets = 0;
  uint64_t cycles = 0;
  uint64_t idleCycles = 0;
  uint64_t flatlineCycles = 0;
  double focusSum = 0;
  uint64_t focusCount = 0;
  double altFocusSum = 0;
  uint64_t altFocusCount = 0;
  // The analyzer scores focus on the right channel only when its right-channel processor
  // mask has the focus bit, which the default mask (5: spectra and validity) has not: the
  // right_focus and right_alt_focus columns then stay empty, and the summary says why.
  bool rightFocusScored = false;

  void takeMasks(const VPKSignalAnalyzer& analyzer) {
    rightFocusScored = (analyzer.rightChannelEnabledDataProcesserTypes() & VPKDataProcesserTypeFocus) != 0;
  }

  void add(const Row& row) {
    ++cycles;
    idleCycles += row.idle[0] || row.idle[1];
    flatlineCycles += row.flatline[0] || row.flatline[1];
    if (row.focus[0]) {
      focusSum += *row.focus[0];
      ++focusCount;
    }
    if (row.altFocus[0]) {
      altFocusSum += *row.altFocus[0];
      ++altFocusCount;
    }
  }
  void print(std::FILE* to, double signalSeconds, double wallSeconds, unsigned mains) const {
    std::fprintf(to, "packets: %llu (%.1f s of signal), cycles: %llu, mains filter: %u Hz\n",
                 static_cast<unsigned long long>(packets), signalSeconds, static_cast<unsigned long long>(cycles),
                 mains);
    std::fprintf(to, "left focus: mean %.3f over %llu scored cycles; alternate focus: mean %.3f\n",
                 focusCount ? focusSum / static_cast<double>(focusCount) : 0.0,
                 static_cast<unsigned long long>(focusCount),
                 altFocusCount ? altFocusSum / static_cast<double>(altFocusCount) : 0.0);
    if (!rightFocusScored)
      std::fprintf(to, "right focus: not scored (focus is analysed on the left channel only; "
                       "right_focus and right_alt_focus stay empty)\n");
    std::fprintf(to, "idle cycles: %llu, flat-line cycles: %llu\n", static_cast<unsigned long long>(idleCycles),
                 static_cast<unsigned long long>(flatlineCycles));
    std::fprintf(to, "time: %.3f s (%.0fx real time)\n", wallSeconds,
                 wallSeconds > 0 ? signalSeconds / wallSeconds : 0.0);
  }
};

// ---------------------------------------------------------------- signal sources

// Where packets come from: the stream's own simulated generator, seeded so that two runs
// see the same signal, or the packets of a recording, in recorded order.
class PacketSource {
 public:
  virtual ~PacketSource() = default;
  /// The next packet; false at the end.
  virtual bool next(VPKSignalStream::Packet& packet) = 0;
  /// Said once the source is exhausted (a damaged recording), or "".
  virtual std::string problem() const { return {}; }
};

class SimulatedSource final : public PacketSource {
 public:
  SimulatedSource(uint64_t seed, uint64_t packets) : remaining_(packets) {
    VPKSignalStream::seedSimulatedPacketGenerator(seed);
  }
  bool next(VPKSignalStream::Packet& packet) override {
    if (remaining_ == 0) return false;
    --remaining_;
    packet = VPKSignalStream::generateSimulatedPacket();
    return true;
  }

 private:
  uint64_t remaining_;
};

// Packets of the simulated headband's signal model: EEG rhythms, mains hum and noise of a
// named scenario, the same for the same scenario and seed.
class ScenarioSource final : public PacketSource {
 public:
  ScenarioSource(const vpk::SimulatedSignalScenario& scenario, uint64_t seed, double mains, uint64_t packets)
      : model_(scenario, seed, mains), remaining_(packets) {}
  bool next(VPKSignalStream::Packet& packet) override {
    if (remaining_ == 0) return false;
    --remaining_;
    const auto p = model_.nextPacket(sequence_++);
    std::copy(p.begin(), p.end(), packet.begin());
    return true;
  }

 private:
  vpk::SimulatedSignalModel model_;
  uint64_t remaining_;
  uint8_t sequence_ = 0;
};

class RecordingSource final : public PacketSource {
 public:
  RecordingSource(VPKRecordingReaderPtr reader, uint64_t limit)
      : reader_(std::move(reader)), remaining_(limit), reported_(reader_->error()) {}
  bool next(VPKSignalStream::Packet& packet) override {
    if (remaining_ == 0) return false;
    --remaining_;
    return reader_->nextPacket(packet);
  }
  std::string problem() const override { return reader_->error() == reported_ ? std::string() : reader_->error(); }

 private:
  VPKRecordingReaderPtr reader_;
  uint64_t remaining_;
  std::string reported_;  // said when the file was opened
};

// The source the options ask for; nullptr (and a message) when the recording cannot be
// read.
std::unique_ptr<PacketSource> openSource(const Options& options, unsigned mains) {
  const uint64_t limit = options.simulate || options.secondsGiven
                             ? static_cast<uint64_t>(std::floor(options.seconds / kPacketInterval + 1e-6))
                             : UINT64_MAX;
  if (options.simulate && !options.scenario.empty()) {
    const auto scenario = vpk::SimulatedSignalScenario::named(options.scenario);
    if (!scenario) {
      std::string known;
      for (const auto& n : vpk::SimulatedSignalScenario::names()) known += (known.empty() ? "" : ", ") + n;
      std::fprintf(stderr, "vemra analyze: unknown scenario '%s' (known: %s)\n", options.scenario.c_str(),
                   known.c_str());
      return nullptr;
    }
    return std::make_unique<ScenarioSource>(*scenario, options.seed, mains, limit);
  }
  if (options.simulate) return std::make_unique<SimulatedSource>(options.seed, limit);
  auto reader = VPKRecordingReader::open(options.input);
  if (!reader->canReadPackets()) {
    std::fprintf(stderr, "vemra analyze: cannot read %s: %s\n", options.input.c_str(), reader->error().c_str());
    return nullptr;
  }
  if (!reader->ok()) std::fprintf(stderr, "vemra analyze: %s: %s\n", options.input.c_str(), reader->error().c_str());
  const vpk::ValueDictionary* header = reader->header().getDictionary();
  if (const vpk::Value* rate = header ? header->find("samplingRate") : nullptr; rate && rate->doubleValue() != 250.0)
    std::fprintf(stderr, "vemra analyze: %s says %s samples per second; analysing at 250\n", options.input.c_str(),
                 rate->description().c_str());
  return std::make_unique<RecordingSource>(std::move(reader), limit);
}

// ---------------------------------------------------------------- the replay clock

// The clock of an offline replay: time is where the replay has put it.
class ReplayClock final : public vpk::Clock {
 public:
  explicit ReplayClock(double start) : now_(start) {}
  double now() const override { return now_.load(std::memory_order_relaxed); }
  bool isManual() const override { return true; }
  void set(double t) { now_.store(t, std::memory_order_relaxed); }

 private:
  std::atomic<double> now_;
};

// The packet whose last sample completes cycle `cycle` (1-based) of a stream that started
// at packet 0, when each cycle takes `perCycle` samples.
uint64_t completingPacket(uint64_t cycle, uint64_t perCycle) { return (cycle * perCycle - 1) / 3; }

// ---------------------------------------------------------------- offline

int runOffline(const Options& options, PacketSource& source, unsigned mains) {
  // With the rows on standard output, everything else goes to standard error.
  const bool rowsOnStdout = options.out == "-";
  std::FILE* const report = rowsOnStdout ? stderr : stdout;
  RowWriter writer;
  if (!writer.open(options.out)) return 1;
  Summary summary;
  auto clock = std::make_shared<ReplayClock>(kReplayStart);
  const auto previousClock = vpk::Clock::install(clock);
  const auto started = std::chrono::steady_clock::now();

  VPKResourceManager::performBlockAndWait([&] {
    auto stream = VPKSignalStream::create();
    stream->setName(options.simulate ? "simulated" : options.input);
    stream->open();
    auto analyzer = VPKSignalAnalyzer::analyzer();
    analyzer->setMainsFrequency(mains);
    analyzer->setUsesProcessingThread(false);
    summary.takeMasks(*analyzer);
    stream->addOutput(analyzer);

    uint64_t k = 0;
    analyzer->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& set) {
      const Row row = makeRow(summary.cycles + 1, kPacketInterval * static_cast<double>(k), *set, *analyzer);
      summary.add(row);
      writer.write(row);
    });
    VPKSignalStream::Packet packet;
    for (; source.next(packet); ++k) {
      clock->set(kReplayStart + kPacketInterval * static_cast<double>(k));
      stream->processData(packet);
      analyzer->processPendingSamples();
      ++summary.packets;
    }
    stream->removeOutput(analyzer);
  });

  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  vpk::Clock::install(previousClock);
  const bool written = writer.close();
  if (const std::string problem = source.problem(); !problem.empty())
    std::fprintf(stderr, "vemra analyze: %s\n", problem.c_str());
  summary.print(report, kPacketInterval * static_cast<double>(summary.packets), wall, mains);
  if (!written) {
    std::fprintf(stderr, "vemra analyze: writing %s failed\n", options.out.c_str());
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------- live

std::atomic<bool> gInterrupted{false};

// Shows each cycle on one refreshing terminal line (one line per second when the output
// is not a terminal).
class LiveDisplay : public VPKSignalAnalyzerOutput {
 public:
  explicit LiveDisplay(bool terminal) : terminal_(terminal) {}
  void signalAnalyzerDidEnterIdleState(VPKSignalAnalyzer&) override { idleChanges_ += 1; }
  void signalAnalyzerDidLeaveIdleState(VPKSignalAnalyzer&) override { idleChanges_ += 1; }
  void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>& set) override {
    ++shown_;
    const auto& left = set->leftChannel();
    const auto& right = set->rightChannel();
    auto score = [](const std::optional<float>& s) {
      char b[16];
      if (s)
        std::snprintf(b, sizeof b, "%.3f", static_cast<double>(*s));
      else
        std::snprintf(b, sizeof b, "  -  ");
      return std::string(b);
    };
    const bool valid = left->fftStatus() == 2 && (!right || right->fftStatus() == 2);
    char line[200];
    std::snprintf(line, sizeof line, "cycle %5llu  focus L %s R %s  alt L %s R %s  signal %-9s  %s",
                  static_cast<unsigned long long>(shown_), score(left->focusScore()).c_str(),
                  score(right ? right->focusScore() : std::nullopt).c_str(), score(left->alternateFocusScore()).c_str(),
                  score(right ? right->alternateFocusScore() : std::nullopt).c_str(),
                  valid ? "valid" : (left->fftStatus() == 4 ? "invalid" : "warming"),
                  set->isIdle() ? "idle" : "active");
    if (terminal_) {
      std::printf("\r%s\033[K", line);
      std::fflush(stdout);
    } else if (shown_ % 10 == 0) {
      std::printf("%s\n", line);
    }
  }
  uint64_t idleChanges() const { return idleChanges_; }

 private:
  bool terminal_;
  uint64_t shown_ = 0;
  uint64_t idleChanges_ = 0;
};

int runLive(const Options& options, PacketSource& source, unsigned mains) {
  RowWriter writer;
  if (!writer.open(options.out)) return 1;
  Summary summary;
  std::mutex rowsMutex;  // rows are made on the processing thread, the summary read at the end

  auto stream = VPKSignalStream::create();
  stream->setName(options.simulate ? "simulated" : options.input);
  stream->open();
  auto analyzer = VPKSignalAnalyzer::analyzer();
  analyzer->setMainsFrequency(mains);
  summary.takeMasks(*analyzer);
  const uint64_t perCycle = analyzer->samplesPerCycle();
  analyzer->setDiagnosticsHandler([&, weak = std::weak_ptr<VPKSignalAnalyzer>(analyzer)](
                                      const std::shared_ptr<VPKChannelSet>& set) {
    const auto a = weak.lock();
    if (!a) return;
    std::lock_guard<std::mutex> lock(rowsMutex);
    const uint64_t cycle = summary.cycles + 1;
    const Row row = makeRow(cycle, kPacketInterval * static_cast<double>(completingPacket(cycle, perCycle)), *set, *a);
    summary.add(row);
    writer.write(row);
  });
  auto display = std::make_shared<LiveDisplay>(isatty(STDOUT_FILENO) == 1);
  analyzer->addOutput(display);
  stream->addOutput(analyzer);

  gInterrupted = false;
  auto previousHandler = std::signal(SIGINT, [](int) { gInterrupted = true; });
  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> feeding{true};
  std::atomic<uint64_t> sent{0};
  std::thread feeder([&] {
    VPKSignalStream::Packet packet;
    for (uint64_t k = 0; !gInterrupted && source.next(packet); ++k) {
      std::this_thread::sleep_until(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(kPacketInterval * double(k))));
      stream->processData(packet);
      sent.fetch_add(1);
    }
    feeding = false;
  });
  vpk::DispatchQueue::runMainUntil([&] { return !feeding.load(); }, 1e9);
  feeder.join();
  // Let the cycles that the last packets made due finish, then detach.
  const uint64_t due = sent.load() * 3 / perCycle * perCycle;
  vpk::DispatchQueue::runMainUntil([&] { return analyzer->cycles() >= due; }, 5.0);
  stream->removeOutput(analyzer);
  vpk::DispatchQueue::drainMain();
  std::signal(SIGINT, previousHandler);
  if (isatty(STDOUT_FILENO) == 1) std::printf("\n");

  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::lock_guard<std::mutex> lock(rowsMutex);
  summary.packets = sent.load();
  const bool written = writer.close();
  if (const std::string problem = source.problem(); !problem.empty())
    std::fprintf(stderr, "vemra analyze: %s\n", problem.c_str());
  summary.print(stdout, kPacketInterval * static_cast<double>(summary.packets), wall, mains);
  std::printf("idle transitions: %llu, processing latency: %llu us\n",
              static_cast<unsigned long long>(display->idleChanges()),
              static_cast<unsigned long long>(analyzer->latency()));
  return written ? 0 : 1;
}

// ---------------------------------------------------------------- the command

void runAnalyze(const Options& options) {
  if (options.simulate == !options.input.empty()) {
    std::fprintf(stderr, "vemra analyze: give either --simulate or a recording file\n");
    vemra::exitStatus() = 2;
    return;
  }
  if (!(options.seconds > 0) || options.seconds > 1e7) {
    std::fprintf(stderr, "vemra analyze: --seconds must be a positive number of seconds\n");
    vemra::exitStatus() = 2;
    return;
  }
  if (!options.scenario.empty() && !options.simulate) {
    std::fprintf(stderr, "vemra analyze: --scenario goes with --simulate\n");
    vemra::exitStatus() = 2;
    return;
  }
  if (options.live && options.out == "-") {
    std::fprintf(stderr, "vemra analyze: --live shows the cycles on the terminal; give --out a file\n");
    vemra::exitStatus() = 2;
    return;
  }
  // The mains frequency is the library's stored one; --mains replaces it for this run's
  // analyzer only (the stored setting and the parameters file stay as they are).
  const unsigned stored = VemraPlatformKit::defaultInterferenceFrequency();
  const unsigned mains = options.mains.value_or(stored == 0 ? 60 : stored);
  const auto source = openSource(options, mains);
  if (!source) {
    vemra::exitStatus() = options.simulate ? 2 : 1;
    return;
  }
  vemra::exitStatus() = options.live ? runLive(options, *source, mains) : runOffline(options, *source, mains);
}

Options gOptions;

vemra::VemraCommand analyze(
    {"analyze",
     "Analyse a simulated signal or a recording: one CSV row per analysis cycle "
     "(offline and deterministic, or --live in real time)",
     40, [](CLI::App& sub) {
       sub.add_flag("--simulate", gOptions.simulate, "Analyse packets from the simulated headband");
       sub.add_option("recording", gOptions.input, "A recording file to analyse");
       sub.add_option("--mains", gOptions.mains, "Mains frequency to filter out (default: the stored setting)")
           ->check(CLI::IsMember({50u, 60u}));
       sub.add_option("--seconds", gOptions.seconds,
                      "Length of the simulated signal in seconds (default 60); for a recording, the most to analyse");
       sub.add_option("--out", gOptions.out,
                      "Write the cycles as CSV to FILE (- for standard output); focus is scored on the left "
                      "channel only, so the right focus columns are empty")
           ->type_name("FILE.csv");
       sub.add_flag("--live", gOptions.live, "Pace the signal in real time and show each cycle");
       sub.add_option("--seed", gOptions.seed, "Seed of the simulated signal (default 1): equal seeds, equal signals");
       sub.add_option("--scenario", gOptions.scenario,
                      "With --simulate: the simulated headband's signal model instead of the stream's test "
                      "generator (focused, relaxed, mains-noise, not-worn, flat-left)");
       sub.callback([&sub] {
         gOptions.secondsGiven = sub.count("--seconds") > 0;
         runAnalyze(gOptions);
       });
     }});

}  // namespace
