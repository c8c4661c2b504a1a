#include "device_pdo.h"

#include "composite.h"
#include "root_hub.h"
#include "usb_host.h"

namespace emu::usb {

DevicePdo::DevicePdo(UsbHost& host, HubFdo& hub, std::shared_ptr<UsbDevice> device)
    : UsbPdo(host), m_hub(hub), m_usb(std::move(device))
{
}

DevicePdo* DevicePdo::Make(UsbHost& host, HubFdo& hub, std::shared_ptr<UsbDevice> device)
{
    auto* pdo = new DevicePdo(host, hub, std::move(device));
    if (!NT_SUCCESS(pdo->CreateDevice(hub.Device()->DriverObject, FILE_DEVICE_UNKNOWN, true))) {
        delete pdo;
        return nullptr;
    }
    pdo->m_device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(host.Mutex());
    pdo->m_usb->SetPdo(pdo->m_device);
    return pdo;
}

void DevicePdo::Delete()
{
    {
        std::lock_guard lock(m_host.Mutex());
        m_usb->SetPdo(nullptr);
    }
    UsbNode::Destroy(this);
}

NTSTATUS DevicePdo::AddFunction(PDRIVER_OBJECT driver)
{
    if (!m_usb->IsComposite()) return STATUS_NOT_SUPPORTED;
    return CompositeFdo::Add(m_host, driver, m_device, m_usb);
}

const NodeIdentity& DevicePdo::Identity() const { return m_usb->Identity(); }

void DevicePdo::FillCapabilities(DEVICE_CAPABILITIES& capabilities) const
{
    capabilities.Removable = TRUE;
    capabilities.SurpriseRemovalOK = FALSE;
    capabilities.UniqueID = m_usb->Identity().uniqueId ? TRUE : FALSE;
    capabilities.Address = m_usb->Port();
    capabilities.UINumber = m_usb->Port();
}

NTSTATUS DevicePdo::Start()
{
    std::lock_guard lock(m_host.Mutex());
    if (m_usb->IsGone()) return STATUS_NO_SUCH_DEVICE;
    m_state = State::Started;
    return STATUS_SUCCESS;
}

void DevicePdo::EndTransfers(USBD_STATUS status, bool unconfigure)
{
    std::vector<Transfer*> ready;
    {
        std::lock_guard lock(m_host.Mutex());
        if (unconfigure && !m_usb->IsGone()) {
            std::vector<Pipe*> closed;
            m_usb->Unconfigure(closed, m_host.Now());
        }
        for (Pipe* pipe : m_usb->AllPipes()) m_host.Transfers().TakeAll(*pipe, status, ready);
    }
    TransferBook::Complete(ready);
}

void DevicePdo::SurpriseRemove()
{
    m_state = State::SurpriseRemoved;
    EndTransfers(USBD_STATUS_DEVICE_GONE, false);
}

NTSTATUS DevicePdo::Remove(PIRP irp)
{
    m_state = State::Removed;
    EndTransfers(USBD_STATUS_CANCELED, true);
    bool gone = false;
    {
        std::lock_guard lock(m_host.Mutex());
        gone = m_usb->IsGone();
    }
    NTSTATUS status = Complete(irp, STATUS_SUCCESS);
    // A device still plugged keeps its PDO (it may start again); a gone one's PDO goes now.
    if (gone) {
        m_hub.Forget(this);
        Delete();
    }
    return status;
}

NTSTATUS DevicePdo::InternalDeviceControl(PIRP irp)
{
    return DispatchInternalDeviceControl(UrbTarget{m_host, *m_usb, nullptr, Removed()}, irp);
}

}  // namespace emu::usb
