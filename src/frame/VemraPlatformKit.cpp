#include <VemraPlatformKit/frame/VemraPlatformKit.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "frame/LaunchInternal.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace fs = std::filesystem;

const double VemraPlatformKitVersionNumber = 1.0;
const char VemraPlatformKitVersionString[] = "@(#)PROGRAM:VemraPlatformKit  PROJECT:VemraPlatformKit-1\n";

namespace {

constexpr const char* kFrequencyKey = "defaultInterferenceFrequency";

// The continent table: loaded once (under its own mutex; loading reads a file only).
struct ContinentTable {
  std::mutex mutex;
  bool loaded = false;
  std::shared_ptr<const vpk::ValueDictionary> table;
};

ContinentTable& continents() {
  static ContinentTable t;
  return t;
}

// The parameters URL lives in the shared context (computed there once, so no lock is held
// while waiting for the queue). Once computed it is also published under `mutex`, so later
// readers (the analysis reads the mains frequency on its own threads, sometimes while the
// shared queue waits for them) never need the queue again.
struct ParametersURL {
  bool computed = false;
  std::optional<fs::path> url;
  std::mutex mutex;  // guards the two published fields below
  bool published = false;
  std::optional<fs::path> publishedURL;
};

ParametersURL& parametersURL() {
  static ParametersURL u;
  return u;
}

// The class-wide lock and what it guards.
struct ParameterState {
  std::recursive_mutex lock;
  bool loaded = false;
  vpk::ValueDictionary dict;
};

ParameterState& params() {
  static ParameterState p;
  return p;
}

// Loads the dictionary on first use; the caller holds the class lock.
void loadLocked(ParameterState& p, const std::optional<fs::path>& url) {
  if (p.loaded) return;
  p.loaded = true;
  if (!url) return;
  std::error_code ec;
  if (!fs::exists(*url, ec)) return;
  auto v = vpk::readPropertyListFile(url->string());
  if (v && v->isDictionary()) {
    p.dict = *v->getDictionary();
  } else {
    VPKLog(1, "API: params file {} is damaged, starting with empty params", url->string());
  }
}

bool synchronizeLocked(ParameterState& p, const std::optional<fs::path>& url) {
  const vpk::Value dict(p.dict);
  const bool ok = url && vpk::writePropertyListFile(dict, url->string(), false);
  if (ok)
    VPKLog(0, "API: Synchronized params:{}", dict.description());
  else
    VPKLog(0, "API: FAILED TO SYNC PARAMS:{}", dict.description());
  return ok;
}

std::string orNull(const std::optional<std::string>& s) { return s ? *s : "(null)"; }

}  // namespace

namespace vpk::detail {

std::optional<std::string> countryFromLocaleName(std::string_view locale) {
  const size_t underscore = locale.find('_');
  if (underscore == std::string_view::npos) return std::nullopt;
  std::string_view rest = locale.substr(underscore + 1);
  rest = rest.substr(0, rest.find_first_of(".@"));
  if (rest.size() != 2 || !std::isalpha(static_cast<unsigned char>(rest[0])) ||
      !std::isalpha(static_cast<unsigned char>(rest[1])))
    return std::nullopt;
  std::string country(rest);
  for (auto& c : country) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return country;
}

std::optional<fs::path> resourceFile(const std::string& name) {
  std::vector<fs::path> folders;
  if (const char* dir = std::getenv("VPK_RESOURCE_DIR"); dir && *dir) folders.emplace_back(dir);
  folders.emplace_back(VPK_RESOURCE_INSTALL_DIR);
  folders.emplace_back(VPK_RESOURCE_BUILD_DIR);
  for (const auto& f : folders) {
    std::error_code ec;
    if (fs::is_regular_file(f / name, ec)) return f / name;
  }
  return std::nullopt;
}

void resetLaunchStateForTesting() {
  {
    std::lock_guard<std::mutex> l(continents().mutex);
    continents().loaded = false;
    continents().table = nullptr;
  }
  VPKResourceManager::performBlockAndWait([] {
    ParametersURL& u = parametersURL();
    u.computed = false;
    u.url.reset();
    std::lock_guard<std::mutex> l(u.mutex);
    u.published = false;
    u.publishedURL.reset();
  });
  std::lock_guard<std::recursive_mutex> l(params().lock);
  params().loaded = false;
  params().dict = vpk::ValueDictionary{};
}

}  // namespace vpk::detail

void VemraPlatformKit::handleApplicationLaunch() {
  VPKResourceManager::setPriority(2);
  detectInterferenceUsingFrequencyCurrentLocale([](unsigned hz, bool) { setDefaultInterferenceFrequency(hz); },
                                                nullptr);
}

std::shared_ptr<const vpk::ValueDictionary> VemraPlatformKit::continentByCountry() {
  ContinentTable& t = continents();
  std::lock_guard<std::mutex> l(t.mutex);
  if (!t.loaded) {
    t.loaded = true;
    auto file = vpk::detail::resourceFile("continent_locale.txt");
    if (!file) {
      VPKLog(1, "API: resource continent_locale.txt not found");
    } else if (auto v = vpk::readPropertyListFile(file->string()); v && v->isDictionary()) {
      t.table = std::make_shared<const vpk::ValueDictionary>(*v->getDictionary());
    } else {
      VPKLog(1, "API: resource {} is damaged", file->string());
    }
  }
  return t.table;
}

std::optional<std::string> VemraPlatformKit::currentCountryCode() {
  if (auto found = localeCountry()) return found->first;
  return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> VemraPlatformKit::localeCountry() {
  // The country is a matter of region, so the language of messages (LC_MESSAGES) has no say.
  for (const char* var : {"LC_ALL", "LC_MEASUREMENT", "LC_PAPER", "LC_TIME", "LC_MONETARY", "LC_ADDRESS", "LANG"}) {
    const char* v = std::getenv(var);
    if (!v || !*v) continue;
    if (auto country = vpk::detail::countryFromLocaleName(v)) return std::make_pair(*country, std::string(var));
  }
  return std::nullopt;
}

void VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale(InterferenceCallback callback) {
  detectInterferenceUsingFrequencyCurrentLocale(std::move(callback), vpk::DispatchQueue::main());
}

void VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale(InterferenceCallback callback,
                                                                     const vpk::DispatchQueuePtr& queue) {
  const std::optional<std::string> country = currentCountryCode();
  std::optional<std::string> continent;
  if (auto table = continentByCountry(); table && country) {
    if (const vpk::Value* c = table->find(*country); c && c->isString()) continent = c->stringValue();
  }
  VPKLog(1, "API: Country = {}, Continent = {}", orNull(country), orNull(continent));
  auto is = [](const std::optional<std::string>& s, const char* v) { return s && *s == v; };
  unsigned frequency = 60;
  if (is(country, "US") || is(country, "AR") || is(continent, "NA")) {
    VPKLog(1, "API: Using 60hz noise filter!");
  } else if (is(continent, "EU") || is(continent, "AS") || is(continent, "AF") || is(continent, "OC") ||
             is(country, "CN")) {
    VPKLog(1, "API: Using 50hz noise filter!");
    frequency = 50;
  } else {
    VPKLog(1,
           "API: Could not determine contitent without the use of location services, defaulting to using 60hz "
           "noise filter!");
  }
  if (!callback) return;
  if (queue)
    queue->async([callback, frequency] { callback(frequency, true); });
  else
    callback(frequency, true);
}

std::optional<fs::path> VemraPlatformKit::parametersStorageURL() {
  {
    ParametersURL& u = parametersURL();
    std::lock_guard<std::mutex> l(u.mutex);
    if (u.published) return u.publishedURL;
  }
  return vpkrsrc_return_sync([]() -> std::optional<fs::path> {
    ParametersURL& u = parametersURL();
    struct Publish {
      ParametersURL& u;
      ~Publish() {
        std::lock_guard<std::mutex> l(u.mutex);
        u.published = true;
        u.publishedURL = u.url;
      }
    } publish{u};
    if (u.computed) return u.url;
    u.computed = true;
    if (auto existing = vpkrsrc_get_file("params", "core")) {
      u.url = existing;
      return u.url;
    }
    u.url = vpkrsrc_touch("params", "core");
    if (!u.url) return u.url;
    const vpk::Value initial = vpk::Value::dictionary({{kFrequencyKey, 60}});
    bool ok = vpk::writePropertyListFile(initial, u.url->string(), true);
    if (!ok) ok = vpk::writePropertyListFile(initial, u.url->string(), false);
    if (ok) VPKLog(0, "API: Generated params file:{}", initial.description());
    return u.url;
  });
}

VemraPlatformKit::Parameters::Parameters(std::unique_lock<std::recursive_mutex> lock, vpk::ValueDictionary& dict)
    : lock_(std::move(lock)), dict_(&dict) {}

VemraPlatformKit::Parameters VemraPlatformKit::parameters() {
  const auto url = parametersStorageURL();
  ParameterState& p = params();
  std::unique_lock<std::recursive_mutex> l(p.lock);
  loadLocked(p, url);
  return Parameters(std::move(l), p.dict);
}

bool VemraPlatformKit::synchronize() {
  const auto url = parametersStorageURL();
  ParameterState& p = params();
  std::lock_guard<std::recursive_mutex> l(p.lock);
  loadLocked(p, url);
  return synchronizeLocked(p, url);
}

void VemraPlatformKit::setDefaultInterferenceFrequency(unsigned hz) {
  const auto url = parametersStorageURL();
  ParameterState& p = params();
  std::lock_guard<std::recursive_mutex> l(p.lock);
  loadLocked(p, url);
  const vpk::Value* stored = p.dict.find(kFrequencyKey);
  if (stored && *stored == vpk::Value(hz)) return;
  p.dict.set(kFrequencyKey, vpk::Value(hz));
  synchronizeLocked(p, url);
}

unsigned VemraPlatformKit::defaultInterferenceFrequency() {
  const auto url = parametersStorageURL();
  ParameterState& p = params();
  std::lock_guard<std::recursive_mutex> l(p.lock);
  loadLocked(p, url);
  const vpk::Value* stored = p.dict.find(kFrequencyKey);
  if (!stored) return 0;
  const double d = stored->doubleValue();
  if (!(d > 0)) return 0;  // negative, NaN or not a number
  if (d >= static_cast<double>(std::numeric_limits<unsigned>::max())) return std::numeric_limits<unsigned>::max();
  return static_cast<unsigned>(d);
}
