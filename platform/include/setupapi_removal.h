// SetupAPI's removal of devices and the set's own elements: part of <setupapi.h>.
#pragma once

#include <windows.h>

// Removes the device (its stack, children first, then its driver key and its Enum key); the
// class installers are not asked.
extern "C" BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
// Drops the element from the set; copies of its SP_DEVINFO_DATA no longer name anything.
extern "C" BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
// Adds the device with that instance ID to the set (or finds it there) and describes it.
extern "C" BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent,
                                              DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData);

#ifdef UNICODE
#define SetupDiOpenDeviceInfo SetupDiOpenDeviceInfoW
#endif
