// SetupDiRemoveDevice, SetupDiDeleteDeviceInfo, SetupDiOpenDeviceInfoW and CM_Get_Device_ID_Size.
//
// Removing a device stops its stack (its children's first) and deletes its driver key and its key
// below Enum; the devices below it keep their keys (they are known, not present). No class
// installer or co-installer is asked, so what they would undo (a port's COM number) stays.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "cm/registry.h"
#include "device_info_set.h"
#include "device_removal.h"
#include "device_tree.h"
#include "kernel.h"
#include "machine_state.h"
#include "pnp/pnp_manager.h"
#include "program.h"
#include "rtl/rtl_text.h"
#include "setupapi_state.h"

using emu::setupapi::DeviceElement;
using emu::setupapi::DeviceInfoSet;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

constexpr std::u16string_view kClassKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

// The driver key a device's Enum key names ("{class}\0003"), or empty.
std::u16string DriverKeyOf(emu::Registry& registry, const std::u16string& enumKey)
{
    std::optional<emu::RegistryValue> value = registry.GetValue(enumKey, u"Driver");
    if (!value || value->data.size() < 2) return {};
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

struct RemovedDevices {
    std::mutex mutex;  // guards paths
    std::vector<std::u16string> paths;
};

emu::win32::PerMachine<RemovedDevices> g_removed;

}  // namespace

namespace emu::setupapi {

void RememberRemovedDevice(const std::u16string& instancePath)
{
    RemovedDevices& removed = g_removed.Get();
    std::lock_guard lock(removed.mutex);
    removed.paths.push_back(instancePath);
}

void ReviveRemovedDevices()
{
    std::vector<std::u16string> paths;
    {
        RemovedDevices& removed = g_removed.Get();
        std::lock_guard lock(removed.mutex);
        paths.swap(removed.paths);
    }
    PnpManager& pnp = Kernel::Current().GetPnp();
    for (const std::u16string& path : paths)
        if (std::optional<DeviceNodeInfo> node = pnp.FindNode(path); node && node->state == DeviceNodeState::Removed)
            pnp.StartDevice(node->pdo);
}

}  // namespace emu::setupapi

extern "C" BOOL SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    const DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return FALSE;
    if (!emu::process::CurrentProgram()->GetToken()->HasGroup(emu::process::AdministratorsSid()))
        return Fail(ERROR_ACCESS_DENIED);
    const std::u16string path = element->instancePath;
    emu::PnpManager& pnp = emu::Kernel::Current().GetPnp();
    std::optional<emu::DeviceNodeInfo> node = pnp.FindNode(path);
    if (node && node->state == emu::DeviceNodeState::Started && !NT_SUCCESS(pnp.QueryRemoveDevice(node->pdo)))
        return Fail(ERROR_ACCESS_DENIED);
    emu::Registry& registry = emu::Kernel::Current().GetRegistry();
    const std::u16string enumKey = emu::setupapi::EnumKeyPath(path);
    if (const std::u16string driver = DriverKeyOf(registry, enumKey); !driver.empty())
        registry.DeleteTree(std::u16string(kClassKey) + driver);
    registry.DeleteTree(enumKey);
    if (node) emu::setupapi::RememberRemovedDevice(node->instancePath);
    return TRUE;
}

extern "C" BOOL SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    const DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return FALSE;
    std::vector<DeviceElement>& devices = set->Devices();
    const size_t index = static_cast<size_t>(element - devices.data());
    devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(index));
    // Interfaces of the element go with it; the others keep naming their device by index.
    std::vector<emu::setupapi::InterfaceElement>& interfaces = set->Interfaces();
    std::erase_if(interfaces, [&](const emu::setupapi::InterfaceElement& entry) { return entry.device == index; });
    for (emu::setupapi::InterfaceElement& entry : interfaces)
        if (entry.device > index) --entry.device;
    return TRUE;
}

extern "C" BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent,
                                       DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInstanceId || !*DeviceInstanceId) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string path(DeviceInstanceId);
    bool known = emu::setupapi::PresentNode(path).has_value();
    for (const std::u16string& instance : emu::setupapi::RegisteredInstances())
        if (!known && emu::EqualNoCase(instance, path)) {
            path = instance;
            known = true;
        }
    if (!known) return Fail(ERROR_NO_SUCH_DEVINST);
    if (std::optional<emu::DeviceNodeInfo> node = emu::setupapi::PresentNode(path)) path = node->instancePath;
    const size_t index = set->AddDevice(path);
    if (DeviceInfoData && !DeviceInfoSet::Describe(set->Devices()[index], index, DeviceInfoData)) return FALSE;
    return TRUE;
}

extern "C" CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pulLen) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = emu::setupapi::PathOf(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    *pulLen = static_cast<ULONG>(path->size());
    return CR_SUCCESS;
}
