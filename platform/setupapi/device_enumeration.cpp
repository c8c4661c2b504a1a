// SetupDiGetClassDevsW and the enumeration of a set's devices and interfaces.
#include <setupapi.h>

#include <wdm.h>

#include <cstddef>
#include <cstring>

#include "cm/registry.h"
#include "device_info_set.h"
#include "device_tree.h"
#include "kernel.h"
#include "pnp/interface_manager.h"
#include "rtl/rtl_text.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

HDEVINFO Fail(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

bool HasEnumerator(const std::u16string& instancePath, LPCWSTR enumerator)
{
    if (!enumerator || !*enumerator) return true;
    return emu::EqualNoCase(instancePath.substr(0, instancePath.find(u'\\')), enumerator);
}

bool OfClass(const std::u16string& instancePath, const GUID& classGuid)
{
    std::optional<emu::DeviceNodeInfo> node = PresentNode(instancePath);
    std::u16string text;
    if (node) {
        text = node->classGuid;
    } else if (auto value = emu::Kernel::Current().GetRegistry().GetValue(EnumKeyPath(instancePath), u"ClassGUID");
               value && value->type == REG_SZ) {
        text.assign(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
        while (!text.empty() && text.back() == 0) text.pop_back();
    }
    return emu::EqualNoCase(text, emu::InterfaceManager::GuidText(classGuid));
}

void AddInterfaces(DeviceInfoSet& set, const GUID& classGuid, DWORD flags, LPCWSTR enumerator)
{
    const bool presentOnly = (flags & DIGCF_PRESENT) != 0;
    for (const emu::DeviceInterfaceInfo& info : emu::Kernel::Current().GetInterfaces().Interfaces(classGuid, presentOnly))
        if (HasEnumerator(info.instancePath, enumerator))
            set.AddInterface(info.classGuid, info.devicePath, info.instancePath, info.enabled);
}

void AddDevices(DeviceInfoSet& set, const GUID* classGuid, DWORD flags, LPCWSTR enumerator)
{
    std::vector<std::u16string> instances;
    for (const emu::DeviceNodeInfo& node : emu::Kernel::Current().GetPnp().Nodes()) instances.push_back(node.instancePath);
    if (!(flags & DIGCF_PRESENT))
        for (const std::u16string& instance : RegisteredInstances()) instances.push_back(instance);
    for (const std::u16string& instance : instances) {
        if (!HasEnumerator(instance, enumerator)) continue;
        if (!(flags & DIGCF_ALLCLASSES) && !OfClass(instance, *classGuid)) continue;
        set.AddDevice(instance);
    }
}

}  // namespace

extern "C" HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, HANDLE hwndParent, DWORD Flags)
{
    if (std::optional<DWORD> fault = TakeFault(SetupCall::GetClassDevs)) return Fail(*fault);
    if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) return Fail(ERROR_INVALID_PARAMETER);
    auto* set = new DeviceInfoSet;
    if (Flags & DIGCF_DEVICEINTERFACE) {
        if (!ClassGuid) {
            delete set;
            return Fail(ERROR_INVALID_PARAMETER);
        }
        AddInterfaces(*set, *ClassGuid, Flags, Enumerator);
    } else {
        AddDevices(*set, ClassGuid, Flags, Enumerator);
    }
    SetLastError(ERROR_SUCCESS);
    return DeviceInfoSet::Open(set);
}

extern "C" BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    if (!emu::setupapi::DeviceInfoSet::Close(DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = emu::setupapi::DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (MemberIndex >= set->Devices().size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    return emu::setupapi::DeviceInfoSet::Describe(set->Devices()[MemberIndex], MemberIndex, DeviceInfoData);
}

extern "C" BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                            PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    auto* set = emu::setupapi::DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!InterfaceClassGuid || !DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t index = 0; index < set->Interfaces().size(); ++index) {
        const InterfaceElement& entry = set->Interfaces()[index];
        if (!IsEqualGUID(entry.classGuid, *InterfaceClassGuid)) continue;
        if (DeviceInfoData && set->Devices()[entry.device].number != DeviceInfoData->DevInst) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = entry.classGuid;
        DeviceInterfaceData->Flags = entry.enabled ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = index + 1;
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

extern "C" BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                 DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                 PSP_DEVINFO_DATA DeviceInfoData)
{
    auto* set = emu::setupapi::DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInterfaceData || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->Interfaces().size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::optional<DWORD> fault = TakeFault(SetupCall::GetDeviceInterfaceDetail)) {
        SetLastError(*fault);
        return FALSE;
    }
    const InterfaceElement& entry = set->Interfaces()[DeviceInterfaceData->Reserved - 1];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (entry.devicePath.size() + 1) * sizeof(WCHAR));
    if (RequiredSize) *RequiredSize = required;
    if (DeviceInterfaceDetailData && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, entry.devicePath.c_str(), (entry.devicePath.size() + 1) * sizeof(WCHAR));
    if (DeviceInfoData && !emu::setupapi::DeviceInfoSet::Describe(set->Devices()[entry.device], entry.device, DeviceInfoData))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            LPWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    auto* set = emu::setupapi::DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return FALSE;
    DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return FALSE;
    const DWORD required = static_cast<DWORD>(element->instancePath.size() + 1);
    if (RequiredSize) *RequiredSize = required;
    if (!DeviceInstanceId || DeviceInstanceIdSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, element->instancePath.c_str(), required * sizeof(WCHAR));
    return TRUE;
}
