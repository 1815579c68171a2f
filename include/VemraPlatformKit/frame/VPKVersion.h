#pragma once
/// @file VPKVersion.h
/// The library's own release version ("major.minor.patch"), as built.

#include <VemraPlatformKit/VPKExport.h>

/// The version of the library that is loaded, for example "0.1.0".
VPK_EXPORT const char* VPKLibraryVersion();
