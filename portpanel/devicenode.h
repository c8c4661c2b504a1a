// Device nodes by their Configuration Manager number: instance IDs, the model part of an ID, and
// the DWORD values of a device's hardware key.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <atlstr.h>

// The node's instance ID (its length asked first, then read into that many characters plus one).
BOOL DeviceInstanceIdOf(DEVINST DevInst, CString& strId);
// The model ID of an instance ID: the text before its second backslash, upper-cased.
CString ModelIdOf(const CString& strInstanceId);
// The model ID of the device's parent; empty when the parent or its ID cannot be read.
CString ParentModelIdOf(DEVINST DevInst);

BOOL ReadDeviceParameterDword(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, DWORD& dwValue);
BOOL WriteDeviceParameterDword(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, DWORD dwValue);
