#pragma once
/// @file VPKBluetoothManagerNotifications.h
/// Names of the device manager's notifications (vpk::NotificationCenter::defaultCenter()).
/// All are posted on the main queue.
///
/// | name                                                   | object                           |
/// |--------------------------------------------------------|----------------------------------|
/// | VPKBluetoothManagerChangedStateNotification            | std::shared_ptr<VPKBluetoothManager> |
/// | VPKBluetoothManagerChangedSearchingStateNotification   | std::shared_ptr<VPKBluetoothManager>, coalesced |
/// | VPKBluetoothManagerFinishedRecordedNotification        | the finished VPKSignalStreamFileHandlePtr |
/// | VPKBluetoothManagerPreferredDeviceNotFoundNotification | declared for applications; never posted |
/// | VPKBluetoothManagerUnknownDeviceFoundNotification      | declared for applications; never posted |

#include <VemraPlatformKit/VPKExport.h>

/// "com.vemra.VPKBluetoothManagerChangedStateNotification"
VPK_EXPORT extern const char* const VPKBluetoothManagerChangedStateNotification;
/// "com.vemra.VPKBluetoothManagerChangedSearchingStateNotification"
VPK_EXPORT extern const char* const VPKBluetoothManagerChangedSearchingStateNotification;
/// "com.vemra.VPKBluetoothManagerFinishedRecordedNotification"
VPK_EXPORT extern const char* const VPKBluetoothManagerFinishedRecordedNotification;
/// "VPKBluetoothManagerPreferredDeviceNotFoundNotification"
VPK_EXPORT extern const char* const VPKBluetoothManagerPreferredDeviceNotFoundNotification;
/// "VPKBluetoothManagerUnknownDeviceFoundNotification"
VPK_EXPORT extern const char* const VPKBluetoothManagerUnknownDeviceFoundNotification;
