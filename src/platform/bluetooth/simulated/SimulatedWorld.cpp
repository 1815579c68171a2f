#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>

#include "platform/bluetooth/simulated/HeadbandCore.h"
#include "platform/bluetooth/simulated/SimulatedCentral.h"
#include "platform/bluetooth/simulated/WorldCore.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>

namespace vpk {

namespace {

std::mutex gSharedMutex;
std::shared_ptr<SimulatedWorld> gShared;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "focused,relaxed:7" -> headbands of those scenarios (and seeds).
void populateFromEnvironment(SimulatedWorld& world) {
  const char* listing = std::getenv("VPK_SIMULATED_HEADBANDS");
  if (!listing || !*listing) return;
  std::string_view rest(listing);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (item.empty()) continue;
    SimulatedHeadband::Configuration config;
    const size_t colon = item.find(':');
    config.scenario = std::string(item.substr(0, colon));
    if (colon != std::string_view::npos) {
      const std::string seed(item.substr(colon + 1));
      char* end = nullptr;
      const unsigned long long value = std::strtoull(seed.c_str(), &end, 10);
      if (end && *end == '\0' && !seed.empty()) config.seed = value;
      else VPKLog(1, "Simulated world: ignoring the seed \"{}\" in VPK_SIMULATED_HEADBANDS", seed);
    }
    if (!SimulatedSignalScenario::named(config.scenario)) {
      VPKLog(1, "Simulated world: unknown scenario \"{}\" in VPK_SIMULATED_HEADBANDS", config.scenario);
      continue;
    }
    world.addHeadband(config);
  }
}

}  // namespace

SimulatedWorld::SimulatedWorld(Options options) : core_(std::make_shared<detail::WorldCore>(options)) {}

SimulatedWorld::~SimulatedWorld() = default;

std::shared_ptr<SimulatedWorld> SimulatedWorld::create(Options options) {
  return std::make_shared<SimulatedWorld>(options);
}

std::shared_ptr<SimulatedWorld> SimulatedWorld::create() { return create(Options{}); }

std::shared_ptr<SimulatedWorld> SimulatedWorld::shared() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  if (!gShared) {
    gShared = create();
    populateFromEnvironment(*gShared);
  }
  return gShared;
}

void SimulatedWorld::setShared(std::shared_ptr<SimulatedWorld> world) {
  std::shared_ptr<SimulatedWorld> previous;
  std::lock_guard<std::mutex> lock(gSharedMutex);
  previous = std::move(gShared);
  gShared = std::move(world);
}

uint64_t SimulatedWorld::seed() const { return core_->seed; }

SimulatedHeadbandPtr SimulatedWorld::addHeadband() { return addHeadband(SimulatedHeadband::Configuration{}); }

SimulatedHeadbandPtr SimulatedWorld::addHeadband(SimulatedHeadband::Configuration configuration) {
  // The hum follows the mains of the place: the library's stored frequency (read before the
  // world's lock is taken: the first read may wait for the shared work queue).
  if (!(configuration.mainsFrequency > 0)) {
    const unsigned stored = VemraPlatformKit::defaultInterferenceFrequency();
    configuration.mainsFrequency = stored != 0 ? static_cast<double>(stored) : 60.0;
  }
  std::lock_guard<std::mutex> lock(core_->mutex);
  const uint64_t index = ++core_->headbandsMade;
  detail::SimRandom derive(detail::SimRandom::mix(core_->seed, index));
  const uint64_t high = derive.next(), low = derive.next();
  const BluetoothUUID identifier = configuration.identifier.value_or(BluetoothUUID::fromRandom(high, low));
  if (configuration.name.empty()) {
    const auto& b = identifier.bytes();
    configuration.name = fmt::format("Vemra {:02x}{:02x}", b[14], b[15]);
  }
  const uint64_t seed = configuration.seed != 0 ? configuration.seed : derive.next();
  auto core = std::make_shared<detail::HeadbandCore>(core_, std::move(configuration), identifier, seed);
  auto handle = std::make_shared<SimulatedHeadband>(core);
  core_->headbands.push_back(core);
  core_->handles.push_back(handle);
  VPKLog(0, "Simulated world: added headband {} ({})", core->name(), identifier.fullString());
  core->startHousekeeping();
  core->kickAdvertising();
  return handle;
}

void SimulatedWorld::removeHeadband(const SimulatedHeadbandPtr& headband) {
  if (!headband) return;
  std::lock_guard<std::mutex> lock(core_->mutex);
  auto& list = core_->headbands;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] != headband->core_) continue;
    list[i]->markRemoved();
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    core_->handles.erase(core_->handles.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

std::vector<SimulatedHeadbandPtr> SimulatedWorld::headbands() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->handles;
}

SimulatedHeadbandPtr SimulatedWorld::headband(std::string_view nameOrIdentifier) const {
  const std::string wanted = lower(nameOrIdentifier);
  std::lock_guard<std::mutex> lock(core_->mutex);
  for (size_t i = 0; i < core_->headbands.size(); ++i) {
    const auto& h = core_->headbands[i];
    if (lower(h->name()) == wanted || lower(h->identifier().fullString()) == wanted) return core_->handles[i];
  }
  return nullptr;
}

std::shared_ptr<BluetoothCentral> SimulatedWorld::createCentral(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                                                DispatchQueuePtr queue) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  auto central = std::make_shared<detail::SimulatedCentral>(core_, core_->nextCentralId++, std::move(delegate),
                                                            std::move(queue));
  core_->centrals.push_back(central);
  // A new central learns the adapter's state shortly after it is made.
  central->post([state = core_->adapter](detail::SimulatedCentral& c) { c.setStateMirror(state); },
                [](BluetoothCentralDelegate& d, BluetoothCentral& c) { d.didUpdateState(c); });
  return central;
}

BluetoothAdapterState SimulatedWorld::adapterState() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->adapter;
}

void SimulatedWorld::setAdapterState(BluetoothAdapterState state) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->setAdapterStateLocked(state);
}

void SimulatedWorld::after(double seconds, std::function<void()> action) {
  if (action) core_->queue->after(seconds, std::move(action));
}

DispatchQueuePtr SimulatedWorld::queue() const { return core_->queue; }

}  // namespace vpk
