// The information sets' handles and elements.
#include "device_info_set.h"

#include <wdm.h>

#include "device_tree.h"
#include "rtl/rtl_text.h"
#include "setupapi_state.h"

namespace emu::setupapi {

namespace {

GUID ClassGuidOf(const std::u16string& instancePath)
{
    GUID guid{};
    std::u16string text;
    if (std::optional<DeviceNodeInfo> node = PresentNode(instancePath)) text = node->classGuid;
    if (text.empty()) return guid;
    UNICODE_STRING string;
    string.Buffer = text.data();
    string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    RtlGUIDFromString(&string, &guid);
    return guid;
}

}  // namespace

DeviceInfoSet* DeviceInfoSet::FromHandle(HDEVINFO handle)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    if (!state.liveSets.count(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<DeviceInfoSet*>(handle);
}

HDEVINFO DeviceInfoSet::Open(DeviceInfoSet* set)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    state.liveSets.insert(set);
    return set;
}

bool DeviceInfoSet::Close(HDEVINFO handle)
{
    SetupApiState& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (!state.liveSets.erase(handle)) return false;
    }
    delete static_cast<DeviceInfoSet*>(handle);
    return true;
}

size_t DeviceInfoSet::AddDevice(const std::u16string& instancePath)
{
    for (size_t index = 0; index < m_devices.size(); ++index)
        if (EqualNoCase(m_devices[index].instancePath, instancePath)) return index;
    DeviceElement element;
    element.instancePath = instancePath;
    element.number = NumberOf(instancePath);
    element.classGuid = ClassGuidOf(instancePath);
    m_devices.push_back(element);
    return m_devices.size() - 1;
}

void DeviceInfoSet::AddInterface(const GUID& classGuid, const std::u16string& devicePath,
                                 const std::u16string& instancePath, bool enabled)
{
    m_interfaces.push_back({classGuid, devicePath, AddDevice(instancePath), enabled});
}

DeviceElement* DeviceInfoSet::Element(const SP_DEVINFO_DATA* data)
{
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    for (DeviceElement& element : m_devices)
        if (element.number == data->DevInst) return &element;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

bool DeviceInfoSet::Describe(const DeviceElement& element, size_t index, SP_DEVINFO_DATA* data)
{
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    data->ClassGuid = element.classGuid;
    data->DevInst = element.number;
    data->Reserved = index + 1;
    return true;
}

}  // namespace emu::setupapi
