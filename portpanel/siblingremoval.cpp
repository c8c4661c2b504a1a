// Sibling removal. A device whose location cannot be read is passed over, so it does not hide a
// sibling enumerated after it; locations are read with room for a terminator.
#include "siblingremoval.h"

#include <processthreadsapi.h>
#include <synchapi.h>
#include <sysinfoapi.h>

#include "deviceparameter.h"

#ifndef NORMAL_PRIORITY_CLASS
#define NORMAL_PRIORITY_CLASS 0x00000020
#endif

namespace {

const WCHAR REMOVAL_MUTEX_NAME[] = u"{5344C664-B07C-4d2c-8E00-994195553746}";
const GUID GUID_MULTIPORTSERIAL_CLASS = {0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const DWORD LOCATION_BYTES = 100;
const WCHAR FUNCTION_TEXT[] = u"function ";

BOOL ReadLocation(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, CString& strLocation)
{
    WCHAR szLocation[LOCATION_BYTES / sizeof(WCHAR) + 1] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, SPDRP_LOCATION_INFORMATION, nullptr,
                                           reinterpret_cast<BYTE*>(szLocation), LOCATION_BYTES, nullptr))
        return FALSE;
    strLocation = CString(szLocation);
    return TRUE;
}

// The sibling's location, or empty when the device is not the first function.
CString SiblingLocation(const CString& strLocation, WCHAR chFrom, WCHAR chTo)
{
    const int nAt = strLocation.Find(FUNCTION_TEXT);
    const int nDigit = nAt + static_cast<int>(std::char_traits<WCHAR>::length(FUNCTION_TEXT));
    if (nAt < 0 || nDigit >= strLocation.GetLength() || strLocation[nDigit] != chFrom) return CString();
    return strLocation.Left(nDigit) + CString(chTo) + strLocation.Mid(nDigit + 1);
}

}  // namespace

BOOL AcquireRemovalMutex(HANDLE& hMutex)
{
    hMutex = CreateMutexW(nullptr, FALSE, REMOVAL_MUTEX_NAME);
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_ACCESS_DENIED) return TRUE;
    if (hMutex) CloseHandle(hMutex);
    hMutex = nullptr;
    return FALSE;
}

void RemoveSiblingFunction(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, WCHAR chFrom, WCHAR chTo)
{
    CString strOwn;
    if (!ReadLocation(hDevInfo, pDevInfoData, strOwn)) return;
    const CString strWanted = SiblingLocation(strOwn, chFrom, chTo);
    if (strWanted.IsEmpty()) return;
    HDEVINFO hDevices = SetupDiGetClassDevsW(&GUID_MULTIPORTSERIAL_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (hDevices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA Device = {};
    Device.cbSize = sizeof(Device);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(hDevices, dwIndex, &Device); ++dwIndex) {
        CString strLocation;
        if (!ReadLocation(hDevices, &Device, strLocation) || strLocation != strWanted) continue;
        SetupDiCallClassInstaller(DIF_REMOVE, hDevices, &Device);
        break;
    }
    SetupDiDestroyDeviceInfoList(hDevices);
}

BOOL RunProgram(const CString& strPath, BOOL bWait)
{
    STARTUPINFOW StartupInfo = {};
    StartupInfo.cb = sizeof(StartupInfo);
    PROCESS_INFORMATION ProcessInfo = {};
    if (!CreateProcessW(strPath, nullptr, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &StartupInfo,
                        &ProcessInfo))
        return FALSE;
    if (bWait) WaitForSingleObject(ProcessInfo.hProcess, 60000);
    if (ProcessInfo.hThread) CloseHandle(ProcessInfo.hThread);
    if (ProcessInfo.hProcess) CloseHandle(ProcessInfo.hProcess);
    return TRUE;
}

BOOL RunUninstallProgram(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, BOOL bWait)
{
    CString strProgram;
    if (!ReadDeviceParameterString(hDevInfo, pDevInfoData, u"UnInstall", strProgram)) return FALSE;
    WCHAR szSystem[MAX_PATH] = {};
    const UINT uLength = GetSystemDirectoryW(szSystem, MAX_PATH);
    if (uLength == 0 || uLength >= MAX_PATH) return FALSE;
    return RunProgram(CString(szSystem) + u"\\" + strProgram, bWait);
}
