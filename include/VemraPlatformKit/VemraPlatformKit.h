#pragma once
/// @file VemraPlatformKit.h
/// Umbrella header: includes the whole public API of the SDK.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothAdvertisementData.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
