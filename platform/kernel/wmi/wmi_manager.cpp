// WMI providers and events: IoWMIRegistrationControl and WmiFireEvent.
#include <wdm.h>
#include <wmilib.h>

#include "wmi/wmi_manager.h"

#include <algorithm>
#include <cstring>

#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

WmiManager::WmiManager(Kernel& machine) : m_kernel(machine) {}

WmiManager::~WmiManager() = default;

NTSTATUS WmiManager::RegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    if (!deviceObject) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(m_mutex);
    auto it = std::find(m_providers.begin(), m_providers.end(), deviceObject);
    const bool registered = it != m_providers.end();
    switch (action) {
    case WMIREG_ACTION_REGISTER:
        if (registered) return STATUS_OBJECT_NAME_EXISTS;
        m_providers.push_back(deviceObject);
        break;
    case WMIREG_ACTION_DEREGISTER:
        if (!registered) return STATUS_INVALID_PARAMETER;
        m_providers.erase(it);
        break;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        if (!registered) return STATUS_INVALID_PARAMETER;
        break;
    default:
        // Callback registrations (WMIREG_FLAG_CALLBACK) and unknown actions are not served.
        return STATUS_INVALID_PARAMETER;
    }
    m_actions[deviceObject].push_back(action);
    return STATUS_SUCCESS;
}

NTSTATUS WmiManager::FireEvent(PDEVICE_OBJECT deviceObject, LPCGUID guid, ULONG instanceIndex, ULONG eventDataSize,
                               PVOID eventData)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WmiFireEvent");
    // The event data is WMI's from here on, whatever happens to the event.
    WmiFiredEvent event{deviceObject, guid ? *guid : GUID{}, instanceIndex, {}};
    if (eventData && eventDataSize) {
        const auto* bytes = static_cast<const uint8_t*>(eventData);
        event.data.assign(bytes, bytes + eventDataSize);
    }
    if (eventData) ExFreePool(eventData);
    if (!deviceObject || !guid) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(m_mutex);
    if (std::find(m_providers.begin(), m_providers.end(), deviceObject) == m_providers.end())
        return STATUS_UNSUCCESSFUL;
    m_events.push_back(std::move(event));
    return STATUS_SUCCESS;
}

bool WmiManager::IsRegistered(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    return std::find(m_providers.begin(), m_providers.end(), deviceObject) != m_providers.end();
}

std::vector<PDEVICE_OBJECT> WmiManager::Providers() const
{
    std::lock_guard lock(m_mutex);
    return m_providers;
}

std::vector<ULONG> WmiManager::RegistrationActions(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_actions.find(deviceObject);
    return it == m_actions.end() ? std::vector<ULONG>{} : it->second;
}

std::vector<WmiFiredEvent> WmiManager::Events() const
{
    std::lock_guard lock(m_mutex);
    return m_events;
}

void WmiManager::ClearEvents()
{
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

WmiPendingRequest& WmiManager::BeginRequest(PIRP irp, UCHAR minor, ULONG dataOffset, ULONG instanceCount)
{
    auto request = std::make_unique<WmiPendingRequest>();
    request->minor = minor;
    request->dataOffset = dataOffset;
    request->instanceCount = instanceCount;
    request->instanceLengths.assign(std::max<ULONG>(instanceCount, 1), 0);
    std::lock_guard lock(m_mutex);
    auto& slot = m_requests[irp];
    slot = std::move(request);
    return *slot;
}

std::unique_ptr<WmiPendingRequest> WmiManager::TakeRequest(PIRP irp)
{
    std::lock_guard lock(m_mutex);
    auto it = m_requests.find(irp);
    if (it == m_requests.end()) return nullptr;
    auto request = std::move(it->second);
    m_requests.erase(it);
    return request;
}

size_t WmiManager::PendingRequestCount() const
{
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

}  // namespace emu

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action)
{
    return emu::Kernel::Current().GetWmi().RegistrationControl(deviceObject, action);
}

extern "C" NTSTATUS WmiFireEvent(PDEVICE_OBJECT deviceObject, LPCGUID guid, ULONG instanceIndex, ULONG eventDataSize,
                                 PVOID eventData)
{
    return emu::Kernel::Current().GetWmi().FireEvent(deviceObject, guid, instanceIndex, eventDataSize, eventData);
}
