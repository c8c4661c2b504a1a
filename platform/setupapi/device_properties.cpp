// Device registry properties and device keys: a property is a value of the device's key below
// Enum, stored as the bytes given (no terminator added); its type is the property's.
#include <setupapi.h>

#include <cstring>

#include "registry_keys.h"
#include "cm/registry.h"
#include "device_info_set.h"
#include "device_tree.h"
#include "kernel.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

struct PropertyValue {
    const char16_t* name;
    DWORD type;
};

const PropertyValue* PropertyOf(DWORD property)
{
    static const PropertyValue kProperties[SPDRP_MAXIMUM_PROPERTY] = {
        {u"DeviceDesc", REG_SZ},  {u"HardwareID", REG_MULTI_SZ}, {u"CompatibleIDs", REG_MULTI_SZ},
        {nullptr, 0},             {u"Service", REG_SZ},          {nullptr, 0},
        {nullptr, 0},             {u"Class", REG_SZ},            {u"ClassGUID", REG_SZ},
        {u"Driver", REG_SZ},      {u"ConfigFlags", REG_DWORD},   {u"Mfg", REG_SZ},
        {u"FriendlyName", REG_SZ}, {u"LocationInformation", REG_SZ},
    };
    if (property >= SPDRP_MAXIMUM_PROPERTY || !kProperties[property].name) return nullptr;
    return &kProperties[property];
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The element and property a property call names, or null with the last error set.
DeviceElement* Target(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, const PropertyValue** value)
{
    auto* set = DeviceInfoSet::FromHandle(handle);
    if (!set) return nullptr;
    DeviceElement* element = set->Element(data);
    if (!element) return nullptr;
    *value = PropertyOf(property);
    if (!*value) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return nullptr;
    }
    return element;
}

}  // namespace

extern "C" BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                  PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                  DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    const PropertyValue* property = nullptr;
    DeviceElement* element = Target(DeviceInfoSet, DeviceInfoData, Property, &property);
    if (!element) return FALSE;
    std::optional<emu::RegistryValue> value =
        emu::Kernel::Current().GetRegistry().GetValue(EnumKeyPath(element->instancePath), property->name);
    if (!value) return Fail(ERROR_INVALID_DATA);
    if (PropertyRegDataType) *PropertyRegDataType = value->type;
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(value->data.size());
    if (value->data.size() > PropertyBufferSize || (!PropertyBuffer && !value->data.empty()))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!value->data.empty()) std::memcpy(PropertyBuffer, value->data.data(), value->data.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                  const BYTE* PropertyBuffer, DWORD PropertyBufferSize)
{
    const PropertyValue* property = nullptr;
    DeviceElement* element = Target(DeviceInfoSet, DeviceInfoData, Property, &property);
    if (!element) return FALSE;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::SetDeviceRegistryProperty)) return Fail(*fault);
    emu::Registry& registry = emu::Kernel::Current().GetRegistry();
    const std::u16string key = EnumKeyPath(element->instancePath);
    if (!PropertyBuffer || PropertyBufferSize == 0) {
        registry.DeleteValue(key, property->name);
        return TRUE;
    }
    if (!registry.SetValue(key, property->name, property->type,
                           std::vector<uint8_t>(PropertyBuffer, PropertyBuffer + PropertyBufferSize)))
        return Fail(ERROR_INVALID_DATA);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                     DWORD HwProfile, DWORD KeyType, REGSAM samDesired)
{
    HKEY invalid = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    auto* set = DeviceInfoSet::FromHandle(DeviceInfoSet);
    if (!set) return invalid;
    DeviceElement* element = set->Element(DeviceInfoData);
    if (!element) return invalid;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::OpenDevRegKey)) {
        SetLastError(*fault);
        return invalid;
    }
    std::u16string path;
    if (KeyType == DIREG_DEV) {
        path = EnumKeyPath(element->instancePath) + u"\\Device Parameters";
    } else if (KeyType == DIREG_DRV) {
        std::optional<emu::RegistryValue> driver =
            emu::Kernel::Current().GetRegistry().GetValue(EnumKeyPath(element->instancePath), u"Driver");
        if (!driver || driver->type != REG_SZ) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return invalid;
        }
        std::u16string driverKey(reinterpret_cast<const char16_t*>(driver->data.data()), driver->data.size() / 2);
        while (!driverKey.empty() && driverKey.back() == 0) driverKey.pop_back();
        path = std::u16string(emu::kClassKeyPath) + u"\\" + driverKey;
    } else {
        SetLastError(ERROR_INVALID_FLAGS);
        return invalid;
    }
    HKEY key = nullptr;
    LSTATUS error = emu::advapi::OpenKeyByPath(path, samDesired, false, &key);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return invalid;
    }
    return key;
}
