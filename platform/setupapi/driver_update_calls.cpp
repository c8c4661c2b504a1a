// newdev's UpdateDriverForPlugAndPlayDevicesW: every present device that carries the hardware ID
// among its hardware or compatible IDs gets the INF's driver, through the installer the INF
// engine registers with the driver store (see driver_store.h).
#include <newdev.h>

#include "driver_store.h"
#include "file_system.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "program.h"
#include "program_paths.h"
#include "rtl/rtl_text.h"

using emu::setupapi::DriverStore;
using emu::setupapi::DriverUpdateRecord;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool Carries(const emu::DeviceNodeInfo& node, std::u16string_view id)
{
    for (const auto* list : {&node.hardwareIds, &node.compatibleIds})
        for (const std::u16string& entry : *list)
            if (emu::EqualNoCase(entry, id)) return true;
    return false;
}

}  // namespace

extern "C" BOOL UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                   DWORD InstallFlags, PBOOL bRebootRequired)
{
    if (bRebootRequired) *bRebootRequired = FALSE;
    if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath) return Fail(ERROR_INVALID_PARAMETER);
    if (!emu::process::CurrentProgram()->GetToken()->HasGroup(emu::process::AdministratorsSid()))
        return Fail(ERROR_ACCESS_DENIED);
    const std::u16string inf = emu::files::ProgramPath(FullInfPath);
    if (!emu::files::FileSystem::Current().Exists(inf)) return Fail(ERROR_FILE_NOT_FOUND);
    DriverUpdateRecord record{HardwareId, inf, {}, FALSE};
    for (const emu::DeviceNodeInfo& node : emu::Kernel::Current().GetPnp().Nodes())
        if (Carries(node, HardwareId)) record.devices.push_back(node.instancePath);
    DWORD error = record.devices.empty() ? static_cast<DWORD>(ERROR_NO_SUCH_DEVINST) : ERROR_SUCCESS;
    if (emu::setupapi::DeviceDriverInstaller installer = DriverStore::Current().Installer())
        for (const std::u16string& device : record.devices)
            if (DWORD failed = installer(device, inf); failed && error == ERROR_SUCCESS) error = failed;
    record.result = error == ERROR_SUCCESS;
    DriverStore::Current().Record(record);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
