#include <VemraPlatformKit/platform/location/Geocoder.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace vpk {

namespace {

constexpr size_t kMaxTableBytes = 1 << 20;
constexpr size_t kMaxLineBytes = 1024;
constexpr size_t kMaxTimeZoneBytes = 64;
constexpr size_t kMaxCountryNameBytes = 128;

std::vector<std::string_view> splitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view s) {
  int n = 0;
  for (char c : s) n = n * 10 + (c - '0');
  return n;
}

// One ISO 6709 component: sign, then `degreeDigits` digits of degrees, two of minutes and
// optionally two of seconds.
std::optional<double> angle(std::string_view s, size_t degreeDigits, double limit) {
  if (s.size() != 1 + degreeDigits + 2 && s.size() != 1 + degreeDigits + 4) return std::nullopt;
  if (s[0] != '+' && s[0] != '-') return std::nullopt;
  const std::string_view digits = s.substr(1);
  if (!allDigits(digits)) return std::nullopt;
  const int degrees = number(digits.substr(0, degreeDigits));
  const int minutes = number(digits.substr(degreeDigits, 2));
  const int seconds = digits.size() > degreeDigits + 2 ? number(digits.substr(degreeDigits + 2, 2)) : 0;
  if (minutes >= 60 || seconds >= 60) return std::nullopt;
  const double value = degrees + minutes / 60.0 + seconds / 3600.0;
  if (value > limit) return std::nullopt;
  return s[0] == '-' ? -value : value;
}

bool parseCoordinates(std::string_view s, double& latitude, double& longitude) {
  const size_t split = s.find_first_of("+-", 1);
  if (split == std::string_view::npos) return false;
  const auto lat = angle(s.substr(0, split), 2, 90.0);
  const auto lon = angle(s.substr(split), 3, 180.0);
  if (!lat || !lon) return false;
  latitude = *lat;
  longitude = *lon;
  return true;
}

bool isCountryCode(std::string_view s) {
  return s.size() == 2 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'A' && s[1] <= 'Z';
}

bool isTimeZoneName(std::string_view s) {
  if (s.empty() || s.size() > kMaxTimeZoneBytes || s.front() == '/' || s.find("..") != std::string_view::npos)
    return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '+' || c == '/';
  });
}

bool isPrintableText(std::string_view s) {
  return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Calls `row` with the tab-separated fields of each non-comment line; counts lines it
// cannot even split (too long, control characters).
template <typename Row>
void forEachRow(std::string_view text, size_t& skipped, Row row) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.size() > kMaxLineBytes) {
      ++skipped;
      continue;
    }
    if (!row(splitTabs(line))) ++skipped;
  }
}

void addZoneRows(std::string_view text, std::vector<ZoneEntry>& entries, std::unordered_set<std::string>& names,
                 size_t& skipped) {
  forEachRow(text, skipped, [&](const std::vector<std::string_view>& f) {
    if (f.size() < 3) return false;
    ZoneEntry entry;
    std::string_view codes = f[0];
    while (!codes.empty()) {
      const size_t comma = codes.find(',');
      const std::string_view code = codes.substr(0, comma);
      if (!isCountryCode(code) || entry.countryCodes.size() >= 64) return false;
      entry.countryCodes.emplace_back(code);
      codes = comma == std::string_view::npos ? std::string_view{} : codes.substr(comma + 1);
    }
    if (entry.countryCodes.empty() || !parseCoordinates(f[1], entry.latitude, entry.longitude) ||
        !isTimeZoneName(f[2]))
      return false;
    entry.timeZone = std::string(f[2]);
    if (names.insert(entry.timeZone).second) entries.push_back(std::move(entry));
    return true;
  });
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::string* error) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || !std::filesystem::is_regular_file(path, ec)) {
    if (error) *error = "cannot read " + path.string();
    return std::nullopt;
  }
  if (size > kMaxTableBytes) {
    if (error) *error = path.string() + " is too large (" + std::to_string(size) + " bytes)";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in.good() && !in.eof()) {
    if (error) *error = "cannot read " + path.string();
    return std::nullopt;
  }
  std::string s = text.str();
  if (s.size() > kMaxTableBytes) s.resize(kMaxTableBytes);  // grew while being read
  return s;
}

// "America/Argentina/Buenos_Aires" -> "Buenos Aires"
std::string cityOf(const std::string& timeZone) {
  std::string city = timeZone.substr(timeZone.rfind('/') + 1);
  std::replace(city.begin(), city.end(), '_', ' ');
  return city;
}

}  // namespace

Value Placemark::addressDictionary() const {
  ValueDictionary d;
  if (!locality.empty()) d.set("City", Value(locality));
  if (!country.empty()) d.set("Country", Value(country));
  if (!isoCountryCode.empty()) d.set("CountryCode", Value(isoCountryCode));
  if (!timeZone.empty()) d.set("TimeZone", Value(timeZone));
  d.set("CityDistance", Value(localityDistance));
  return Value(std::move(d));
}

ZoneTable ZoneTable::parse(std::string_view zone1970, std::string_view zone, std::string_view iso3166) {
  ZoneTable table;
  std::unordered_set<std::string> names;
  addZoneRows(zone1970, table.entries_, names, table.skipped_);
  addZoneRows(zone, table.entries_, names, table.skipped_);
  forEachRow(iso3166, table.skipped_, [&](const std::vector<std::string_view>& f) {
    if (f.size() < 2 || !isCountryCode(f[0]) || f[1].empty() || f[1].size() > kMaxCountryNameBytes ||
        !isPrintableText(f[1]))
      return false;
    table.countries_.emplace_back(std::string(f[0]), std::string(f[1]));
    return true;
  });
  std::stable_sort(table.countries_.begin(), table.countries_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return table;
}

std::optional<ZoneTable> ZoneTable::load(const std::filesystem::path& folder, std::string* error) {
  const auto zone1970 = readSmallFile(folder / "zone1970.tab", error);
  if (!zone1970) return std::nullopt;
  const auto zone = readSmallFile(folder / "zone.tab", nullptr);
  const auto iso = readSmallFile(folder / "iso3166.tab", nullptr);
  ZoneTable table = parse(*zone1970, zone ? *zone : std::string{}, iso ? *iso : std::string{});
  if (table.skipped_ > 0) VPKLog(0, "Time-zone tables in {}: skipped {} malformed lines", folder.string(), table.skipped_);
  if (table.entries_.empty()) {
    if (error) *error = "no usable time-zone rows in " + (folder / "zone1970.tab").string();
    return std::nullopt;
  }
  return table;
}

std::string ZoneTable::countryName(const std::string& code) const {
  auto it = std::lower_bound(countries_.begin(), countries_.end(), code,
                             [](const auto& entry, const std::string& c) { return entry.first < c; });
  return it != countries_.end() && it->first == code ? it->second : std::string{};
}

std::optional<Placemark> ZoneTable::nearest(const LocationFix& location) const {
  if (entries_.empty() || !location.isValid()) return std::nullopt;
  const ZoneEntry* best = nullptr;
  double bestDistance = 0;
  for (const auto& entry : entries_) {
    const double d = greatCircleDistance(location.latitude, location.longitude, entry.latitude, entry.longitude);
    if (!best || d < bestDistance) {
      best = &entry;
      bestDistance = d;
    }
  }
  Placemark p;
  p.location = location;
  p.isoCountryCode = best->countryCodes.front();
  p.country = countryName(p.isoCountryCode);
  p.timeZone = best->timeZone;
  p.locality = cityOf(best->timeZone);
  p.localityDistance = bestDistance;
  return p;
}

// ---------------------------------------------------------------- the geocoder

std::shared_ptr<TzdataGeocoder> TzdataGeocoder::create(std::filesystem::path folder, DispatchQueuePtr completionQueue) {
  if (folder.empty()) {
    const char* env = std::getenv("VPK_ZONEINFO_DIR");
    folder = env && *env ? std::filesystem::path(env) : std::filesystem::path("/usr/share/zoneinfo");
  }
  return std::make_shared<TzdataGeocoder>(std::move(folder), std::move(completionQueue));
}

TzdataGeocoder::TzdataGeocoder(std::filesystem::path folder, DispatchQueuePtr completionQueue)
    : folder_(std::move(folder)),
      completionQueue_(completionQueue ? std::move(completionQueue) : DispatchQueue::main()),
      workQueue_(DispatchQueue::createSerial("com.vemra.vpk.geocoder")) {}

void TzdataGeocoder::reverseGeocode(const LocationFix& location, Completion completion) {
  const unsigned long long generation = ++generation_;
  pending_ = true;
  std::weak_ptr<TzdataGeocoder> weak = weak_from_this();
  workQueue_->async([weak, generation, location, completion = std::move(completion)]() mutable {
    auto self = weak.lock();
    if (!self || self->generation_ != generation) return;
    if (!self->loaded_) {
      self->loaded_ = true;
      self->table_ = ZoneTable::load(self->folder_, &self->loadError_);
    }
    std::vector<Placemark> placemarks;
    std::string error;
    if (!self->table_) {
      error = self->loadError_;
    } else if (auto p = self->table_->nearest(location)) {
      placemarks.push_back(std::move(*p));
    } else {
      error = "the location is not a valid position";
    }
    self->completionQueue_->async([weak, generation, placemarks = std::move(placemarks), error = std::move(error),
                                   completion = std::move(completion)] {
      auto self = weak.lock();
      if (!self || self->generation_ != generation) return;  // cancelled or superseded
      self->pending_ = false;
      if (completion) completion(placemarks, error);
    });
  });
}

void TzdataGeocoder::cancelGeocode() {
  ++generation_;
  pending_ = false;
}

bool TzdataGeocoder::isGeocoding() const { return pending_; }

}  // namespace vpk
