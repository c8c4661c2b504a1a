#include "root_hub.h"

#include <algorithm>

#include "device_pdo.h"
#include "usb_host.h"

namespace emu::usb {

RootHubPdo::RootHubPdo(UsbHost& host) : UsbPdo(host)
{
    m_identity.deviceId = std::u16string(kRootHubId);
    m_identity.hardwareIds = {std::u16string(kRootHubId)};
    m_identity.description = u"USB Root Hub";
}

NTSTATUS RootHubPdo::Create(PDRIVER_OBJECT hubDriver)
{
    NTSTATUS status = CreateDevice(hubDriver, FILE_DEVICE_BUS_EXTENDER, true);
    if (NT_SUCCESS(status)) m_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

NTSTATUS RootHubPdo::AddFunction(PDRIVER_OBJECT driver) { return HubFdo::Add(m_host, driver, m_device); }

void RootHubPdo::FillCapabilities(DEVICE_CAPABILITIES& capabilities) const
{
    capabilities.Removable = FALSE;
    capabilities.UniqueID = FALSE;
}

NTSTATUS RootHubPdo::Start()
{
    m_state = State::Started;
    return STATUS_SUCCESS;
}

// The host deletes its root hub PDO itself, when it takes it out of the tree.
NTSTATUS RootHubPdo::Remove(PIRP irp)
{
    m_state = State::Removed;
    return Complete(irp, STATUS_SUCCESS);
}

// ---- HubFdo -----------------------------------------------------------------------------------------

NTSTATUS HubFdo::Add(UsbHost& host, PDRIVER_OBJECT driver, PDEVICE_OBJECT rootHubPdo)
{
    auto* hub = new HubFdo(host);
    NTSTATUS status = hub->Attach(driver, rootHubPdo);
    if (!NT_SUCCESS(status)) delete hub;
    return status;
}

void HubFdo::Forget(DevicePdo* child) { std::erase(m_children, child); }

void HubFdo::DeleteChildren()
{
    for (DevicePdo* child : std::vector<DevicePdo*>(m_children)) child->Delete();
    m_children.clear();
}

std::vector<PDEVICE_OBJECT> HubFdo::Children()
{
    std::vector<PDEVICE_OBJECT> present;
    for (const std::shared_ptr<UsbDevice>& device : m_host.PresentDevices()) {
        auto known = std::find_if(m_children.begin(), m_children.end(),
                                  [&](DevicePdo* child) { return &child->Usb() == device.get(); });
        DevicePdo* child = known != m_children.end() ? *known : DevicePdo::Make(m_host, *this, device);
        if (!child) continue;
        if (known == m_children.end()) m_children.push_back(child);
        present.push_back(child->Device());
    }
    return present;
}

}  // namespace emu::usb
