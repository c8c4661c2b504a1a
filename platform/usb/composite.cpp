#include "composite.h"

#include "usb_host.h"

namespace emu::usb {

// ---- CompositeFdo ---------------------------------------------------------------------------------

NTSTATUS CompositeFdo::Add(UsbHost& host, PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device)
{
    auto* splitter = new CompositeFdo(host, std::move(device));
    NTSTATUS status = splitter->Attach(driver, pdo);
    if (!NT_SUCCESS(status)) delete splitter;
    return status;
}

NTSTATUS CompositeFdo::Start(PIRP irp)
{
    NTSTATUS status = ForwardAndWait(irp);
    if (NT_SUCCESS(status)) {
        std::vector<Transfer*> ready;
        {
            std::lock_guard lock(m_host.Mutex());
            std::vector<Pipe*> closed;
            const USBD_STATUS selected = m_usb->ConfigureAll(closed, m_host.Now());
            for (Pipe* pipe : closed) m_host.Transfers().TakeAll(*pipe, USBD_STATUS_CANCELED, ready);
            if (!USBD_SUCCESS(selected)) status = STATUS_UNSUCCESSFUL;
        }
        TransferBook::Complete(ready);
    }
    return Complete(irp, status);
}

std::vector<PDEVICE_OBJECT> CompositeFdo::Children()
{
    if (m_functions.empty()) {
        const ConfigurationInfo* configuration = m_usb->FirstConfiguration();
        for (uint8_t number : configuration->InterfaceNumbers())
            if (const InterfaceInfo* function = configuration->Find(number, 0))
                if (FunctionPdo* pdo = FunctionPdo::Make(m_host, m_device->DriverObject, m_usb, *function))
                    m_functions.push_back(pdo);
    }
    std::vector<PDEVICE_OBJECT> children;
    for (FunctionPdo* function : m_functions) children.push_back(function->Device());
    return children;
}

void CompositeFdo::DeleteChildren()
{
    for (FunctionPdo* function : m_functions) function->Delete();
    m_functions.clear();
}

// ---- FunctionPdo ----------------------------------------------------------------------------------

FunctionPdo* FunctionPdo::Make(UsbHost& host, PDRIVER_OBJECT driver, std::shared_ptr<UsbDevice> device,
                               const InterfaceInfo& function)
{
    auto* pdo = new FunctionPdo(host, std::move(device));
    if (!NT_SUCCESS(pdo->CreateDevice(driver, FILE_DEVICE_UNKNOWN, true))) {
        delete pdo;
        return nullptr;
    }
    pdo->m_device->Flags &= ~DO_DEVICE_INITIALIZING;
    UsbDevice& usb = *pdo->m_usb;
    std::lock_guard lock(host.Mutex());  // the model is asked for the interface's text under it
    const std::optional<std::u16string> text = function.stringIndex ? usb.String(function.stringIndex) : std::nullopt;
    pdo->m_identity = FunctionIdentity(usb.Info(), function, usb.Identity(), text);
    pdo->m_scope.interfaces = {function.number};
    pdo->m_scope.configurationHandle = host.NewHandle();
    usb.SetFunctionPdo(function.number, pdo->m_device);
    return pdo;
}

void FunctionPdo::Delete()
{
    {
        std::lock_guard lock(m_host.Mutex());
        m_usb->SetFunctionPdo(m_scope.interfaces.front(), nullptr);
    }
    UsbNode::Destroy(this);
}

void FunctionPdo::FillCapabilities(DEVICE_CAPABILITIES& capabilities) const
{
    capabilities.Removable = FALSE;
    capabilities.UniqueID = FALSE;
    capabilities.Address = m_scope.interfaces.front();
    capabilities.UINumber = m_scope.interfaces.front();
}

NTSTATUS FunctionPdo::Start()
{
    std::lock_guard lock(m_host.Mutex());
    if (m_usb->IsGone()) return STATUS_NO_SUCH_DEVICE;
    m_state = State::Started;
    return STATUS_SUCCESS;
}

void FunctionPdo::EndTransfers(USBD_STATUS status)
{
    // The function's own: its pipes' transfers, and the control transfers it sent.
    const uint8_t own = m_scope.interfaces.front();
    auto mine = [own](const Transfer& transfer) {
        return !transfer.pipe->IsControl() || (transfer.scope && transfer.scope->front() == own);
    };
    std::vector<Transfer*> ready;
    {
        std::lock_guard lock(m_host.Mutex());
        for (Pipe* pipe : m_usb->AllPipes())
            if (pipe->IsControl() || pipe->interfaceNumber == own) m_host.Transfers().TakeAll(*pipe, status, ready, mine);
    }
    TransferBook::Complete(ready);
}

void FunctionPdo::SurpriseRemove()
{
    m_state = State::SurpriseRemoved;
    EndTransfers(USBD_STATUS_DEVICE_GONE);
}

// The function's PDO stays while its splitter does: the splitter deletes it at its own REMOVE.
NTSTATUS FunctionPdo::Remove(PIRP irp)
{
    m_state = State::Removed;
    EndTransfers(USBD_STATUS_CANCELED);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS FunctionPdo::InternalDeviceControl(PIRP irp)
{
    return DispatchInternalDeviceControl(UrbTarget{m_host, *m_usb, &m_scope, Removed()}, irp);
}

}  // namespace emu::usb
