// Plug and Play device properties: a table per device object that tests (and, later, the PnP
// manager) fill, read through IoGetDeviceProperty.
#include <wdm.h>

#include "io/io_manager.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace emu {

void IoManager::SetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                  std::vector<uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    m_properties[{deviceObject, property}] = std::move(bytes);
}

void IoManager::SetDevicePropertyString(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                        std::u16string_view text)
{
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
    SetDeviceProperty(deviceObject, property, std::move(bytes));
}

void IoManager::RemoveDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property)
{
    std::lock_guard lock(m_mutex);
    m_properties.erase({deviceObject, property});
}

void IoManager::ScriptPropertyAnswers(PDEVICE_OBJECT deviceObject, std::vector<PropertyAnswer> answers)
{
    std::lock_guard lock(m_mutex);
    auto& queue = m_scriptedAnswers[deviceObject];
    queue.insert(queue.end(), answers.begin(), answers.end());
}

size_t IoManager::PropertyCallCount() const
{
    std::lock_guard lock(m_mutex);
    return m_propertyCallCount;
}

size_t IoManager::PropertyCallCount(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_propertyCalls.find({deviceObject, property});
    return it == m_propertyCalls.end() ? 0 : it->second;
}

void IoManager::ForgetDevice(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_properties, [deviceObject](const auto& entry) { return entry.first.first == deviceObject; });
    std::erase_if(m_propertyCalls, [deviceObject](const auto& entry) { return entry.first.first == deviceObject; });
    m_scriptedAnswers.erase(deviceObject);
}

NTSTATUS IoManager::GetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                      ULONG bufferLength, PVOID buffer, PULONG resultLength)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL)
        m_kernel.GetVerifier().Report(Violation::IrqlTooHigh,
                                       "IoGetDeviceProperty called at IRQL " + std::to_string(irql));
    if (!deviceObject || !resultLength) return STATUS_INVALID_PARAMETER;
    *resultLength = 0;
    if (bufferLength != 0 && !buffer) return STATUS_INVALID_PARAMETER;

    std::lock_guard lock(m_mutex);
    ++m_propertyCallCount;
    ++m_propertyCalls[{deviceObject, property}];
    auto value = m_properties.find({deviceObject, property});

    auto script = m_scriptedAnswers.find(deviceObject);
    if (script != m_scriptedAnswers.end() && !script->second.empty()) {
        PropertyAnswer answer = script->second.front();
        script->second.pop_front();
        *resultLength = answer.reportedLength;
        if (NT_SUCCESS(answer.status) && value != m_properties.end()) {
            size_t bytes = std::min<size_t>(bufferLength, value->second.size());
            if (bytes != 0) std::memcpy(buffer, value->second.data(), bytes);
        }
        return answer.status;
    }

    if (value == m_properties.end()) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG required = static_cast<ULONG>(value->second.size());
    *resultLength = required;
    if (bufferLength < required) return STATUS_BUFFER_TOO_SMALL;
    if (required != 0) std::memcpy(buffer, value->second.data(), required);
    return STATUS_SUCCESS;
}

}  // namespace emu

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                                        ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength)
{
    return emu::Kernel::Current().GetIo().GetDeviceProperty(deviceObject, deviceProperty, bufferLength,
                                                              propertyBuffer, resultLength);
}
