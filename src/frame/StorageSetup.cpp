#include "frame/StorageSetup.h"

#include <VemraPlatformKit/frame/VPKStorage.h>

namespace vpk::detail {
// Posted to the shared queue by the resource manager's first use.
void runStorageSetup() { VPKStorage::setupFileSystem(); }
}  // namespace vpk::detail
