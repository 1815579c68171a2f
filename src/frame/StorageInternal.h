#pragma once
// Test hook of the storage directory: forgets the once-per-process decisions (support
// directory, migration need, root), so a test can run the set-up again against fresh folders.

namespace vpk::detail {
void resetStorageForTesting();
}
