#pragma once
// Internals of VemraPlatformKit (launch, locale, parameters) that tests reach directly.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vpk::detail {

/// Country code of a POSIX locale name: "en_US.UTF-8" -> "US", "sr_RS@latin" -> "RS";
/// nullopt for "C", "POSIX", a locale without territory, or a territory that is not two letters.
std::optional<std::string> countryFromLocaleName(std::string_view locale);

/// The first existing file `name` among $VPK_RESOURCE_DIR, the installed resource folder and
/// the build tree's resource folder.
std::optional<std::filesystem::path> resourceFile(const std::string& name);

/// Forgets the continent table, the parameters URL and the loaded parameters.
void resetLaunchStateForTesting();

}  // namespace vpk::detail
