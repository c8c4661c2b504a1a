// The debug console line of a failed SetupDiGetClassDevs, shared by the settings client's finders.
#pragma once

#include <windows.h>
#include <debugapi.h>

#include <atlstr.h>

inline void ReportClassDevsFailure()
{
    CString strLine;
    strLine.Format(u"SetupDiGetClassDevs failed: %x\n", GetLastError());
    OutputDebugStringW(strLine);
}
