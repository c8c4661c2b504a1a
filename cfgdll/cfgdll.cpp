// Cfgdll: the co-installer the INF files register for the package's devices. It forwards every
// installation request to the co-installer the device's hardware key names (CoInstallerDLL, a
// library of the system directory, and its export CoInstallerEntryPoint), loaded for the one call.
// Until the INF has written those values (before DIF_INSTALLDEVICE's default installation) it
// asks for post-processing of DIF_INSTALLDEVICE, so that request is forwarded once they exist.
#include <windows.h>
#include <setupapi.h>
#include <libloaderapi.h>
#include <stringapiset.h>
#include <sysinfoapi.h>

#include <atlbase.h>
#include <atlstr.h>

#include "deviceparameter.h"

#ifndef CLASS_E_CLASSNOTAVAILABLE
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#endif

#define CFGDLL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr UINT kPathChars = 260;

// The chained entry, called inside one load of its library; 0 when anything fails or throws.
DWORD CallChained(const CString& strLibrary, const CString& strEntry, DI_FUNCTION InstallFunction,
                  HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    HMODULE hLibrary = nullptr;
    try {
        hLibrary = LoadLibraryW(strLibrary);
        if (!hLibrary) return NO_ERROR;
        char szEntry[kPathChars] = {};
        if (!WideCharToMultiByte(CP_THREAD_ACP, 0, strEntry, -1, szEntry, sizeof szEntry, nullptr, nullptr)) {
            FreeLibrary(hLibrary);
            return NO_ERROR;
        }
        auto pfnEntry = reinterpret_cast<COINSTALLER_PROC>(reinterpret_cast<void*>(GetProcAddress(hLibrary, szEntry)));
        if (!pfnEntry) {
            FreeLibrary(hLibrary);
            return NO_ERROR;
        }
        const DWORD dwResult = pfnEntry(InstallFunction, DeviceInfoSet, DeviceInfoData, Context);
        FreeLibrary(hLibrary);
        return dwResult;
    } catch (...) {
        if (hLibrary) FreeLibrary(hLibrary);
        return NO_ERROR;
    }
}

}  // namespace

CFGDLL_EXPORT DWORD CALLBACK CvUCoInstall(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                          PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    WCHAR szSystem[kPathChars] = {};
    const UINT uLength = GetSystemDirectoryW(szSystem, kPathChars);
    if (uLength == 0 || uLength >= kPathChars) return NO_ERROR;

    CString strLibrary;
    if (!ReadDeviceParameterString(DeviceInfoSet, DeviceInfoData, u"CoInstallerDLL", strLibrary)) {
        const bool bBeforeInstall = InstallFunction == DIF_INSTALLDEVICE && Context && !Context->PostProcessing;
        return bBeforeInstall ? DWORD(ERROR_DI_POSTPROCESSING_REQUIRED) : DWORD(NO_ERROR);
    }
    if (strLibrary.IsEmpty()) return NO_ERROR;
    CString strPath(szSystem);
    strPath += u"\\";
    strPath += strLibrary;

    CString strEntry;
    if (!ReadDeviceParameterString(DeviceInfoSet, DeviceInfoData, u"CoInstallerEntryPoint", strEntry) || strEntry.IsEmpty())
        return NO_ERROR;
    return CallChained(strPath, strEntry, InstallFunction, DeviceInfoSet, DeviceInfoData, Context);
}

// The class library's self-registration exports: the module registers no class of its own.
CFGDLL_EXPORT HRESULT DllRegisterServer() { return S_OK; }
CFGDLL_EXPORT HRESULT DllUnregisterServer() { return S_OK; }
CFGDLL_EXPORT HRESULT DllCanUnloadNow() { return S_OK; }
CFGDLL_EXPORT HRESULT DllGetClassObject(const GUID*, const GUID*, void** ppv)
{
    if (ppv) *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
