// Removal of a multi-function adapter's second function together with the first, and the
// program a card names to run when it is removed.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

// Creates the sibling-removal mutex; FALSE (no handle kept) when it existed already or is out of
// reach, which means another removal is under way.
BOOL AcquireRemovalMutex(HANDLE& hMutex);

// Removes the present MultiPortSerial device whose location is the device's own with the digit
// after "function " changed from `chFrom` to `chTo`.
void RemoveSiblingFunction(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, WCHAR chFrom, WCHAR chTo);

// Starts the program the device's UnInstall value names in the system directory.
BOOL RunUninstallProgram(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, BOOL bWait);
BOOL RunProgram(const CString& strPath, BOOL bWait);
