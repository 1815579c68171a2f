#include "frame/StorageSetup.h"

namespace vpk::detail {
// The storage directory is not built yet: nothing to set up.
void runStorageSetup() {}
}  // namespace vpk::detail
