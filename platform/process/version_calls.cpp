// kernel32's version and system-folder answers.
#include <cstring>

#include "path_answer.h"
#include "program.h"
#include "system_profile.h"

using emu::process::SystemProfile;

extern "C" BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation)
{
    SystemProfile& profile = SystemProfile::Current();
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    const bool extended = size == sizeof(OSVERSIONINFOEXW);
    if ((size != sizeof(OSVERSIONINFOW) && !extended) || (extended && profile.ExtendedQueryFails()) ||
        (!extended && profile.PlainQueryFails())) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const emu::process::VersionAnswer version = profile.Version();
    lpVersionInformation->dwMajorVersion = version.major;
    lpVersionInformation->dwMinorVersion = version.minor;
    lpVersionInformation->dwBuildNumber = version.build;
    lpVersionInformation->dwPlatformId = version.platform;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    std::memcpy(lpVersionInformation->szCSDVersion, version.servicePack.c_str(),
                std::min<size_t>(version.servicePack.size(), 127) * sizeof(WCHAR));
    if (extended) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = static_cast<WORD>(version.servicePack.empty() ? 0 : version.servicePack.back() - u'0');
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return emu::process::CopyPathAnswer(SystemProfile::Current().SystemDirectory(), lpBuffer, uSize);
}

extern "C" UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return emu::process::CopyPathAnswer(SystemProfile::Current().WindowsDirectory(), lpBuffer, uSize);
}

extern "C" UINT GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return emu::process::CopyPathAnswer(SystemProfile::Current().WindowsDirectory(), lpBuffer, uSize);
}

extern "C" UINT GetSystemWow64DirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    SystemProfile& profile = SystemProfile::Current();
    if (!profile.Is64Bit()) {
        SetLastError(120);  // ERROR_CALL_NOT_IMPLEMENTED
        return 0;
    }
    return emu::process::CopyPathAnswer(profile.Wow64Directory(), lpBuffer, uSize);
}

