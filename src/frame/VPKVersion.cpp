#include <VemraPlatformKit/frame/VPKVersion.h>

const char* VPKLibraryVersion() { return VPK_VERSION_STRING; }
