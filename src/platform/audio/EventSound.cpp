#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/audio/EventSound.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace vpk {

EventSound::~EventSound() = default;

struct SilentEventSound::State {
  std::mutex mutex;
  std::vector<std::string> played;
};

std::shared_ptr<SilentEventSound::State> SilentEventSound::makeState() { return std::make_shared<State>(); }

void SilentEventSound::play(const std::string& eventId) {
  std::lock_guard lock(state_->mutex);
  if (state_->played.size() < 1024) state_->played.push_back(eventId);
}

std::vector<std::string> SilentEventSound::played() const {
  std::lock_guard lock(state_->mutex);
  return state_->played;
}

namespace {

bool soundServerReachable() {
  if (const char* server = std::getenv("PULSE_SERVER"); server && *server) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  std::error_code ec;
  const std::filesystem::path dir(runtime);
  return std::filesystem::exists(dir / "pulse" / "native", ec) || std::filesystem::exists(dir / "pipewire-0", ec);
}

// libcanberra's C interface, loaded at run time.
struct CanberraEventSound : EventSound {
  using Create = int (*)(void**);
  using Destroy = int (*)(void*);
  using Play = int (*)(void*, uint32_t, ...);
  using ErrorText = const char* (*)(int);

  void* library = nullptr;
  void* context = nullptr;
  Destroy destroy = nullptr;
  Play playFn = nullptr;
  ErrorText errorText = nullptr;
  std::mutex mutex;

  ~CanberraEventSound() override {
    if (context && destroy) destroy(context);
    if (library) dlclose(library);
  }

  bool load() {
    library = dlopen("libcanberra.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    auto create = reinterpret_cast<Create>(dlsym(library, "ca_context_create"));
    destroy = reinterpret_cast<Destroy>(dlsym(library, "ca_context_destroy"));
    playFn = reinterpret_cast<Play>(dlsym(library, "ca_context_play"));
    errorText = reinterpret_cast<ErrorText>(dlsym(library, "ca_strerror"));
    return create && destroy && playFn && create(&context) == 0 && context;
  }

  void play(const std::string& eventId) override {
    std::lock_guard lock(mutex);
    int rc = playFn(context, 0, "event.id", eventId.c_str(), static_cast<const char*>(nullptr));
    if (rc != 0) VPKLog(0, "Event sound {} failed: {}", eventId, errorText ? errorText(rc) : std::to_string(rc));
  }
  std::string name() const override { return "libcanberra"; }
};

}  // namespace

std::shared_ptr<EventSound> EventSound::createDefault() {
  if (soundServerReachable()) {
    auto canberra = std::make_shared<CanberraEventSound>();
    if (canberra->load()) return canberra;
  }
  return std::make_shared<SilentEventSound>();
}

}  // namespace vpk
