#pragma once
/// @file VemraPlatformKit.h
/// Umbrella header: includes the whole public API of the SDK.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/dsp/VPKBasicFilter.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/dsp/VPKFIRFilter.h>
#include <VemraPlatformKit/dsp/VPKFastFilter.h>
#include <VemraPlatformKit/dsp/VPKFilter.h>
#include <VemraPlatformKit/dsp/VPKTransforms.h>
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKTimer.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/numeric/VPKNumberArray.h>
#include <VemraPlatformKit/numeric/VPKNumericExceptions.h>
#include <VemraPlatformKit/numeric/VPKPoint.h>
#include <VemraPlatformKit/numeric/VPKStatistics.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>
#include <VemraPlatformKit/platform/dispatch/OperationQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/platform/dispatch/Thread.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>
#include <VemraPlatformKit/platform/files/Folders.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>
#include <VemraPlatformKit/platform/values/Value.h>
