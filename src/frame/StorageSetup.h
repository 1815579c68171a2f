#pragma once
// The storage set-up that the resource manager posts to the shared queue on its first use.

namespace vpk::detail {
void runStorageSetup();
}
