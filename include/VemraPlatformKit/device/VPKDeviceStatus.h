#pragma once
/// @file VPKDeviceStatus.h
/// A headband's connection status, as VPKPeripheral::status() and VPKDeviceHandle::status()
/// report it (an unsigned integer).

/// 0: just found, no status yet.   1: known and disconnected (available).
/// 2: connecting.                  3: connected and ready (its firmware has been read).
/// 4: powered off or asleep; unavailable until it is heard again.
enum VPKDeviceStatus : unsigned long {
  VPKDeviceStatusIdle = 0,
  VPKDeviceStatusDisconnected = 1,
  VPKDeviceStatusConnecting = 2,
  VPKDeviceStatusConnected = 3,
  VPKDeviceStatusPoweredOff = 4,
};
