// A value of a device's hardware key as text, for the co-installer entries (the free form of
// CCVDeviceRegInfo::GetDeviceParameterString): a value of 150 characters or more counts as missing.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

BOOL ReadDeviceParameterString(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, CString& strValue);
