#include "usb_host.h"

#include "io/driver_loader.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "root_hub.h"
#include "usb_drivers.h"

namespace emu::usb {

namespace {
constexpr std::u16string_view kRootHubInstance = u"USB\\ROOT_HUB\\4&1&0";
}

UsbHost::UsbHost(Kernel& kernel, unsigned portCount) : m_kernel(kernel), m_ports(portCount)
{
    m_transfers = std::make_unique<TransferBook>(*this);
    m_scheduler = std::make_unique<BusScheduler>(*this);
}

UsbHost::~UsbHost()
{
    StopRootHub();
    m_scheduler.reset();
    m_transfers.reset();
}

MachineTime UsbHost::Now() const { return static_cast<MachineTime>(KeQueryInterruptTime()); }

bool UsbHost::HonoursMaximumTransferSize() const { return m_kernel.Windows() <= WindowsVersion::Win2000; }

void UsbHost::StartRootHub()
{
    DriverLoader& loader = m_kernel.GetDrivers();
    loader.InstallBuiltInImage(kHubImage, &UsbBusDriverEntry);
    loader.InstallBuiltInImage(kCompositeImage, &UsbBusDriverEntry);
    loader.CreateService(kHubService, kHubImage);
    loader.CreateService(kCompositeService, kCompositeImage);
    PDRIVER_OBJECT hubDriver = nullptr;
    if (!NT_SUCCESS(loader.Load(kHubService, &hubDriver))) return;

    auto* rootHub = new usb::RootHubPdo(*this);
    if (!NT_SUCCESS(rootHub->Create(hubDriver))) {
        delete rootHub;
        return;
    }
    m_rootHub = rootHub;
    m_rootHubPdo = rootHub->Device();
    PnpManager& pnp = m_kernel.GetPnp();
    pnp.BindService(kRootHubId, kHubService, kUsbClassGuid);
    pnp.BindService(kCompositeId, kCompositeService, kUsbClassGuid);
    RootDeviceSpec spec;
    spec.instancePath.assign(kRootHubInstance);
    spec.hardwareIds = {std::u16string(kRootHubId)};
    spec.description = u"USB Root Hub";
    spec.pdo = m_rootHubPdo;
    pnp.AddRootDevice(spec);
}

void UsbHost::StopRootHub()
{
    std::vector<Transfer*> ready;
    {
        std::lock_guard lock(m_mutex);
        for (const std::shared_ptr<UsbDevice>& device : std::vector<std::shared_ptr<UsbDevice>>(m_ports))
            if (device) UnplugLocked(*device, ready);
        m_relationsChanged = false;
    }
    TransferBook::Complete(ready);
    ReportDepartures();
    if (!m_rootHubPdo) return;
    // The whole USB tree goes, children first; the root hub's node with it.
    m_kernel.GetPnp().SurpriseRemoveDevice(m_rootHubPdo);
    UsbNode::Destroy(m_rootHub);
    m_rootHub = nullptr;
    m_rootHubPdo = nullptr;
}

UsbDevice* UsbHost::Plug(std::shared_ptr<DeviceModel> model, unsigned port)
{
    if (!CheckIrqlAtMost(PASSIVE_LEVEL, "plugging a USB device") || !model) return nullptr;
    {
        std::lock_guard start(m_startMutex);
        if (!m_rootHubPdo) StartRootHub();
        if (!m_rootHubPdo) return nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        if (port == 0) {
            for (unsigned candidate = 1; candidate <= m_ports.size() && port == 0; ++candidate)
                if (!m_ports[candidate - 1]) port = candidate;
        }
        if (port == 0 || port > m_ports.size() || m_ports[port - 1]) return nullptr;
    }
    std::shared_ptr<UsbDevice> device = UsbDevice::Create(*this, model, port);
    if (!device) return nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (m_ports[port - 1]) return nullptr;
        m_ports[port - 1] = device;
        model->Attached(*device);
    }
    m_kernel.GetPnp().EnumerateDevice(m_rootHubPdo);
    return device.get();
}

void UsbHost::Unplug(UsbDevice& device)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "unplugging a USB device");
    std::vector<Transfer*> ready;
    {
        std::lock_guard lock(m_mutex);
        if (device.IsGone()) return;
        UnplugLocked(device, ready);
        m_relationsChanged = false;  // told below, and waited for
    }
    TransferBook::Complete(ready);
    ReportDepartures();
    m_kernel.GetPnp().EnumerateDevice(m_rootHubPdo);
}

void UsbHost::UnplugLocked(UsbDevice& device, std::vector<Transfer*>& ready)
{
    device.MarkGone();
    for (Pipe* pipe : device.AllPipes()) m_transfers->TakeAll(*pipe, USBD_STATUS_DEVICE_GONE, ready);
    std::shared_ptr<UsbDevice>& slot = m_ports[device.Port() - 1];
    if (slot.get() == &device) m_departed.push_back(std::move(slot));
    device.Model().Detached();
    m_relationsChanged = true;
}

void UsbHost::ReportDepartures()
{
    std::vector<std::shared_ptr<UsbDevice>> departed;
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        departed.swap(m_departed);
        changed = m_relationsChanged;
        m_relationsChanged = false;
    }
    departed.clear();  // a device nobody else holds goes here, without the lock
    if (changed && m_rootHubPdo) IoInvalidateDeviceRelations(m_rootHubPdo, BusRelations);
}

UsbDevice* UsbHost::DeviceAt(unsigned port)
{
    std::lock_guard lock(m_mutex);
    if (port == 0 || port > m_ports.size()) return nullptr;
    return m_ports[port - 1].get();
}

std::vector<std::shared_ptr<UsbDevice>> UsbHost::PresentDevices()
{
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<UsbDevice>> present;
    for (const std::shared_ptr<UsbDevice>& device : m_ports)
        if (device && !device->IsGone()) present.push_back(device);
    return present;
}

}  // namespace emu::usb
