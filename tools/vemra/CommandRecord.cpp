// vemra record: write a recording in the SDK's format from simulated packets.
#include "Command.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

struct RecordOptions {
  bool simulate = false;
  bool live = false;
  double seconds = 10.0;
  std::string output;
};

constexpr double kPacketSeconds = 0.012;  // three samples at 250 Hz

int record(const RecordOptions& o) {
  if (!o.simulate) {
    std::fprintf(stderr, "vemra record: only --simulate is available; headbands are recorded through the device manager\n");
    return 2;
  }
  const double start = vpk::Clock::timestamp();
  // Virtual time: the recording's clock starts now and moves 12 ms per packet without waiting.
  std::shared_ptr<vpk::ManualClock> clock;
  std::shared_ptr<vpk::Clock> previous;
  if (!o.live) {
    clock = std::make_shared<vpk::ManualClock>(start);
    previous = vpk::Clock::install(clock);
  }

  int status = 0;
  auto writer = VPKSignalStreamFileHandle::createForWriting(std::filesystem::path(o.output));
  if (!writer) {
    std::fprintf(stderr, "vemra record: cannot write %s\n", o.output.c_str());
    status = 1;
  } else {
    writer->setMaxDuration(0);  // the length is the user's choice
    writer->setHeader(vpk::ValueDictionary{
        {"date", vpk::Date{start}},
        {"device", "simulated headband"},
        {"producer", "vemra record --simulate"},
        {"sdk", std::string("VemraPlatformKit ") + VPKLibraryVersion()},
        {"samplingRate", 250},
        {"timing", o.live ? "live" : "virtual"},
    });
    auto stream = VPKSignalStream::create();
    stream->addOutput(writer);
    stream->open();
    // Enough whole packets to cover the requested length.
    const auto packets = static_cast<long long>(std::ceil(o.seconds / kPacketSeconds - 1e-9));
    const auto realStart = std::chrono::steady_clock::now();
    for (long long i = 0; i < packets; ++i) {
      if (clock) {
        clock->advance(kPacketSeconds);
      } else {
        std::this_thread::sleep_until(realStart + std::chrono::microseconds((i + 1) * 12000));
        vpk::DispatchQueue::drainMain();
      }
      stream->processData(VPKSignalStream::generateSimulatedPacket());
    }
    stream->close();
    writer->closeFile();
    stream->removeAllOutputs();
    vpk::DispatchQueue::drainMain();
    if (const auto error = writer->writeError()) {
      std::fprintf(stderr, "vemra record: writing %s failed, the recording is incomplete: %s\n", o.output.c_str(),
                   error->c_str());
      status = 1;
    } else {
      const auto size = writer->fileSize();
      std::printf("recorded %lld packets (%.3f s of signal, %llu bytes) to %s\n", packets,
                  static_cast<double>(packets) * kPacketSeconds, static_cast<unsigned long long>(size), o.output.c_str());
    }
  }
  if (clock) {
    vpk::ManualClock::settle();
    vpk::Clock::install(previous);
  }
  return status;
}

vemra::VemraCommand recordCommand({"record", "Record a headband's signal to a file (simulated packets for now)", 40,
                                   [](CLI::App& sub) {
                                     auto o = std::make_shared<RecordOptions>();
                                     sub.add_flag("--simulate", o->simulate, "Record simulated packets at 250 Hz");
                                     sub.add_flag("--live", o->live,
                                                  "Take as long as the recording lasts (default: virtual time)");
                                     sub.add_option("--seconds", o->seconds, "Length of the recording (default 10)")
                                         ->check(CLI::Range(0.012, 86400.0));
                                     sub.add_option("-o,--output", o->output, "The recording file to write")
                                         ->required();
                                     sub.callback([o] { vemra::exitStatus() = record(*o); });
                                   }});

}  // namespace
