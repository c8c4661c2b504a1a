// COM numbers given to a port after its installation: the fixed number of its model, and the
// ascending order of one adapter's ports.
#pragma once

#include <windows.h>
#include <setupapi.h>

// TRUE when the port's parent is a fixed-number model and the port was given that number (or had
// it already).
BOOL AssignFixedComNumber(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

// Re-deals the COM numbers of the port's adapter in ascending order of the walk. TRUE when the
// walk ran.
BOOL SortChildPortNames(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

// Windows 7 or later (6.1 and up, leaving major version 7 out).
BOOL IsWindows7OrLater();
