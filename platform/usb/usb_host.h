// The machine's USB host: one full-speed host controller with a root hub of a few ports that a
// test plugs device models into.
//
// In the device tree the root hub is a root device ("USB\ROOT_HUB") whose function driver, the
// built-in hub driver, reports a PDO for each plugged device. A device with several interfaces
// gets the built-in composite splitter ("USB\COMPOSITE") as its function driver, which reports a
// PDO for each interface function ("&MI_nn"). Driver images talk to these PDOs with URBs
// (IOCTL_INTERNAL_USB_SUBMIT_URB) and the other internal USB control codes.
//
// The host starts its part of the tree at the first plug, so a machine that never plugs a USB
// device has none of it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bus_scheduler.h"
#include "device_model.h"
#include "transfer_book.h"
#include "usb_device.h"

namespace emu {
class Kernel;
}

namespace emu::usb {

class UsbNode;

// The class of USB controllers, hubs and composite devices.
inline constexpr std::u16string_view kUsbClassGuid = u"{36FC9E60-C465-11CF-8056-444553540000}";
inline constexpr std::u16string_view kHubService = u"usbhub";
inline constexpr std::u16string_view kCompositeService = u"usbccgp";

class UsbHost {
public:
    static constexpr unsigned kDefaultPortCount = 4;

    explicit UsbHost(Kernel& kernel, unsigned portCount = kDefaultPortCount);
    // Unplugs every device and takes the root hub out of the tree.
    ~UsbHost();
    UsbHost(const UsbHost&) = delete;
    UsbHost& operator=(const UsbHost&) = delete;

    // ---- Plugging (PASSIVE_LEVEL) --------------------------------------------------------------
    // Plugs the model into root port `port` (1-based; 0: the first free one) and enumerates it:
    // returns once the device's PDO (and a composite device's function PDOs) are in the tree and
    // their drivers started. Null when the port is taken or the descriptors are unusable. The
    // device stays valid until it is unplugged and its PDO removed.
    UsbDevice* Plug(std::shared_ptr<DeviceModel> model, unsigned port = 0);
    // Unplugs the device: every transfer of it fails at once (USBD_STATUS_DEVICE_GONE), new ones
    // too, and the PnP manager surprise-removes its nodes before this returns.
    void Unplug(UsbDevice& device);
    UsbDevice* DeviceAt(unsigned port);
    unsigned PortCount() const { return static_cast<unsigned>(m_ports.size()); }
    // The root hub's PDO (null before the first plug).
    PDEVICE_OBJECT RootHubPdo() const { return m_rootHubPdo; }

    // ---- Bus time --------------------------------------------------------------------------------
    BusScheduler& Scheduler() { return *m_scheduler; }

    // ---- The host's parts ------------------------------------------------------------------------
    Kernel& GetKernel() { return m_kernel; }
    std::mutex& Mutex() { return m_mutex; }
    TransferBook& Transfers() { return *m_transfers; }
    MachineTime Now() const;
    // Windows up to 2000 hold a transfer to the MaximumTransferSize its driver gave the pipe.
    bool HonoursMaximumTransferSize() const;
    // Under the lock: the device is gone from its port. Its transfers fail at once; the tree
    // learns of it at the next ReportDepartures.
    void UnplugLocked(UsbDevice& device, std::vector<Transfer*>& ready);
    // Without the lock: lets go of unplugged devices and tells the PnP manager the root hub's
    // children changed (IoInvalidateDeviceRelations), if they did.
    void ReportDepartures();
    // The devices the root hub reports (its BusRelations answer).
    std::vector<std::shared_ptr<UsbDevice>> PresentDevices();
    // Under the lock: a handle value never given out before on this host.
    uintptr_t NewHandle() { return m_nextHandle += 0x10; }

private:
    void StartRootHub();
    void StopRootHub();

    Kernel& m_kernel;
    std::mutex m_mutex;
    std::mutex m_startMutex;  // one plug brings the root hub up
    std::unique_ptr<TransferBook> m_transfers;
    std::unique_ptr<BusScheduler> m_scheduler;
    std::vector<std::shared_ptr<UsbDevice>> m_ports;  // by port number - 1
    std::vector<std::shared_ptr<UsbDevice>> m_departed;
    bool m_relationsChanged = false;
    uintptr_t m_nextHandle = 0x10000;
    UsbNode* m_rootHub = nullptr;
    PDEVICE_OBJECT m_rootHubPdo = nullptr;
};

}  // namespace emu::usb
