// How the COM-number page of the advanced sheet renames its port: the DOS name with its
// SERIALCOMM entry, the COM-name database, the friendly name, PortName and the Ports line, asking
// the user (owner of the questions) when the port is open or the new number taken.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

// 1 when the port was renamed, the user declined or the name is unchanged; 0 when it failed.
int RenamePortFromPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData, const CString& strNewName, HWND hOwner);
// The number of a COM name: the decimal digits after its first three characters (0 when none).
DWORD ComNameNumber(const CString& strName);
