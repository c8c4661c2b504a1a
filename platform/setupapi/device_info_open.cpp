// An empty device information set, and a device added to a set by its instance ID.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <optional>
#include <string>

#include "device_info_set.h"
#include "device_tree.h"
#include "rtl/rtl_text.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

// The instance path the machine knows under that ID (present, or installed and not present), in
// its stored spelling.
std::optional<std::u16string> KnownInstance(const std::u16string& id)
{
    if (std::optional<emu::DeviceNodeInfo> node = PresentNode(id)) return node->instancePath;
    for (const std::u16string& instance : RegisteredInstances())
        if (emu::EqualNoCase(instance, id)) return instance;
    return std::nullopt;
}

}  // namespace

extern "C" HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HANDLE hwndParent)
{
    (void)ClassGuid;
    (void)hwndParent;
    SetLastError(ERROR_SUCCESS);
    return DeviceInfoSet::Open(new DeviceInfoSet);
}

extern "C" BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, LPCWSTR DeviceInstanceId, HANDLE hwndParent,
                                       DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData)
{
    (void)hwndParent;
    (void)OpenFlags;
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInstanceId || !*DeviceInstanceId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::optional<std::u16string> instance = KnownInstance(DeviceInstanceId);
    if (!instance) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    const size_t index = set->AddDevice(*instance);
    if (DeviceInfoData && !DeviceInfoSet::Describe(set->Devices()[index], index, DeviceInfoData)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
