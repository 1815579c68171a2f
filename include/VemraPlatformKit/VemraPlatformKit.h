#pragma once
/// @file VemraPlatformKit.h
/// Umbrella header: includes the whole public API of the SDK.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKError.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>
#include <VemraPlatformKit/platform/values/Value.h>
