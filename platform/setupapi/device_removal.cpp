// Devices taken off the machine and out of sets: SetupDiRemoveDevice (what DIF_REMOVE's default
// does, without co-installers), SetupDiDeleteDeviceInfo and SetupDiOpenDeviceInfoW.
#include <setupapi.h>

#include <algorithm>
#include <cstring>

#include "cm/registry.h"
#include "device_info_set.h"
#include "device_tree.h"
#include "kernel.h"
#include "rtl/rtl_text.h"
#include "setupapi_control.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

std::u16string StringValue(const std::optional<emu::RegistryValue>& value)
{
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return {};
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

// The device and every present device below it, the deepest first.
void CollectSubtree(const std::u16string& instancePath, std::vector<std::u16string>& paths)
{
    for (const std::u16string& child : ChildPaths(instancePath)) CollectSubtree(child, paths);
    paths.push_back(instancePath);
}

// The device's instance key and the driver key its Driver value names.
void DeleteDeviceKeys(const std::u16string& instancePath)
{
    emu::Registry& registry = emu::Kernel::Current().GetRegistry();
    const std::u16string driver = StringValue(registry.GetValue(EnumKeyPath(instancePath), u"Driver"));
    if (!driver.empty()) registry.DeleteTree(std::u16string(emu::kClassKeyPath) + u"\\" + driver);
    registry.DeleteTree(EnumKeyPath(instancePath));
}

bool IsKnownInstance(const std::u16string& instancePath)
{
    if (PresentNode(instancePath)) return true;
    const std::vector<std::u16string> known = RegisteredInstances();
    return std::any_of(known.begin(), known.end(), [&](const std::u16string& path) { return emu::EqualNoCase(path, instancePath); });
}

}  // namespace

extern "C" BOOL SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return FALSE;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::RemoveDevice)) return Fail(*fault);
    std::vector<std::u16string> subtree;
    CollectSubtree(element->instancePath, subtree);
    if (std::optional<emu::DeviceNodeInfo> node = PresentNode(element->instancePath);
        node && node->pdo && node->state == emu::DeviceNodeState::Started) {
        if (!NT_SUCCESS(emu::Kernel::Current().GetPnp().QueryRemoveDevice(node->pdo))) {
            // A device that will not stop goes at the next restart.
            element->installFlags |= DI_NEEDREBOOT;
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    for (const std::u16string& path : subtree) DeleteDeviceKeys(path);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return FALSE;
    std::vector<DeviceElement>& devices = set->Devices();
    const size_t index = static_cast<size_t>(element - devices.data());
    std::vector<InterfaceElement>& interfaces = set->Interfaces();
    interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(), [&](const InterfaceElement& entry) { return entry.device == index; }),
                     interfaces.end());
    for (InterfaceElement& entry : interfaces)
        if (entry.device > index) --entry.device;
    devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(index));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, LPCWSTR DeviceInstanceId, HANDLE hwndParent, DWORD OpenFlags,
                                       PSP_DEVINFO_DATA DeviceInfoData)
{
    (void)hwndParent;
    (void)OpenFlags;
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInstanceId || !*DeviceInstanceId) return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string instancePath(DeviceInstanceId);
    if (!IsKnownInstance(instancePath)) return Fail(ERROR_NO_SUCH_DEVINST);
    const size_t index = set->AddDevice(instancePath);
    if (!DeviceInfoData) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!DeviceInfoSet::Describe(set->Devices()[index], index, DeviceInfoData)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
