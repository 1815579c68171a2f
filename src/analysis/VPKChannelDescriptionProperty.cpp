#include <VemraPlatformKit/analysis/VPKChannelDescriptionProperty.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <algorithm>
#include <mutex>

namespace {

struct Declarations {
  std::mutex lock;
  std::vector<std::string> names;
};

Declarations& declarations() {
  static Declarations d;
  return d;
}

}  // namespace

bool VPKChannelDescriptionDeclareProperty(const std::string& name, bool objectType, VPKPropertyRetention retention) {
  const auto& own = VPKChannelDescription::propertyKeys();
  if (std::find(own.begin(), own.end(), name) != own.end()) return false;  // the class's own property
  {
    auto& d = declarations();
    std::lock_guard<std::mutex> guard(d.lock);
    if (std::find(d.names.begin(), d.names.end(), name) != d.names.end()) return false;
    d.names.push_back(name);
  }
  if (objectType && (retention == VPKPropertyRetention::Weak || retention == VPKPropertyRetention::Assign)) {
    VPKLog(1,
           "WARNING: Property attribute '{}' ignored for property {} in extension of VPKChannelDescription. Property "
           "will be treated as strong.",
           retention == VPKPropertyRetention::Weak ? "weak" : "assign", name);
  }
  return true;
}

std::vector<std::string> VPKChannelDescriptionDeclaredProperties() {
  auto& d = declarations();
  std::lock_guard<std::mutex> guard(d.lock);
  return d.names;
}
