// What tests see of SetupAPI, cfgmgr32 and the COM-name database beyond the Windows calls: faults
// to inject, and the record of the requests that change devices.
#pragma once

#include <setupapi.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace emu::setupapi {

enum class SetupCall {
    GetClassDevs,
    GetDeviceInterfaceDetail,
    SetDeviceRegistryProperty,
    OpenDevRegKey,
    GetDeviceInstallParams,
    SetDeviceInstallParams,
    SetClassInstallParams,
    LocateDevNode,
    GetParent,
    ReenumerateDevNode,
    ComDbOpen,
    ComDbClose,
    ComDbClaimPort,
    ComDbReleasePort,
    ComDbGetCurrentPortUsage,
    RemoveDevice,
};

// The next `count` calls of that kind fail with `error` (a Win32 error, or a CONFIGRET for the
// configuration-manager calls) before doing anything.
void FailNextCall(SetupCall call, DWORD error, unsigned count = 1);

// One DIF_PROPERTYCHANGE request carried out by SetupDiCallClassInstaller.
struct PropertyChangeRecord {
    std::u16string instancePath;
    DWORD stateChange = 0;
    DWORD scope = 0;
    BOOL succeeded = FALSE;
};
std::vector<PropertyChangeRecord> PropertyChanges();

// The device instance paths that CM_Reenumerate_DevNode re-enumerated, in order (the root of the
// tree is "HTREE\ROOT\0").
std::vector<std::u16string> Reenumerations();

// What SetupDiCallClassInstaller runs: the device installation engine's chain of co-installers,
// class installer and default handlers, which answers a Win32 error (0 for done). Without one,
// only DIF_PROPERTYCHANGE is carried out. Set to nothing to remove.
using ClassInstallerChain = std::function<DWORD(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA)>;
void SetClassInstallerChain(ClassInstallerChain chain);
// The default handler of DIF_PROPERTYCHANGE (the element's class-install parameters say what to
// change); a Win32 error.
DWORD DefaultPropertyChange(HDEVINFO set, PSP_DEVINFO_DATA element);

inline constexpr const char16_t* kRootInstancePath = u"HTREE\\ROOT\\0";

}  // namespace emu::setupapi
