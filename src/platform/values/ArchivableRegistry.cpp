#include "platform/values/ArchivableRegistry.h"

#include <map>
#include <mutex>

namespace vpk {

namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, detail::ArchivableClass>& registry() {
  static std::map<std::string, detail::ArchivableClass> r;
  return r;
}

bool store(const std::string& className, detail::ArchivableClass c) {
  if (c.chain.empty()) c.chain = {className, "NSObject"};
  std::lock_guard<std::mutex> lock(registryMutex());
  registry()[className] = std::move(c);
  return true;
}

}  // namespace

bool registerArchivableClass(const std::string& className, std::vector<std::string> classChain,
                             ArchivableFactory decode) {
  return store(className, {std::move(classChain), std::move(decode), nullptr, nullptr});
}

bool registerArchivableClass(const std::string& className, std::vector<std::string> classChain,
                             ArchivableMaker make, ArchivableDecoder decodeInto) {
  return store(className, {std::move(classChain), nullptr, std::move(make), std::move(decodeInto)});
}

bool isArchivableClassRegistered(const std::string& className) {
  std::lock_guard<std::mutex> lock(registryMutex());
  return registry().count(className) != 0;
}

namespace detail {

std::optional<ArchivableClass> findArchivableClass(const std::string& className) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(className);
  if (it == registry().end()) return std::nullopt;
  return it->second;
}

}  // namespace detail
}  // namespace vpk
