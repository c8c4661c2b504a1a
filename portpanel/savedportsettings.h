// The settings of a card's ports saved under the card's hardware key before the card is
// reinstalled, and given back to each port when it is installed again.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

// The saved key's name for a child: the ID's second part cut to its last character, then every
// backslash made "_" (A\BCD\E gives A_D_E; an ID without a second backslash keeps its text).
CString ChildKeyName(const CString& strInstanceId);

// Saves the DWORD values, PortName and the UI1 set of each child of the card.
void SaveChildPortSettings(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

// Gives the port what its card saved for it (DWORDs other than capabilities, the UI1 set, its
// COM name) and deletes the saved record. TRUE when a record was found.
BOOL RestoreSavedPortSettings(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
