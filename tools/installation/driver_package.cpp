#include "driver_package.h"

#include <cstdio>

#include "chip_identity.h"
#include "cm/registry.h"
#include "io/driver_loader.h"
#include "machine.h"
#include "pnp/pnp_manager.h"

namespace cvinstall {
namespace {

constexpr char16_t kBusTypeGuid[] = u"{B5F1A7C3-2D4E-4F60-8A91-0C3D5E7F9B21}";

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string HardwareId(uint16_t productId, const char* function = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X%s", unsigned(CV_MAKER_VENDOR_ID), unsigned(productId), function);
    return Widen(text);
}

std::u16string HardwareKeyOf(const std::u16string& instancePath)
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + instancePath + u"\\Device Parameters";
}

// The interface a composite device's function serves: nn of "&MI_nn" in its device ID, else 0.
ULONG InterfaceNumberOf(const std::u16string& instancePath)
{
    const size_t at = instancePath.find(u"&MI_");
    if (at == std::u16string::npos || at + 6 > instancePath.size()) return 0;
    auto digit = [](char16_t c) { return c >= u'0' && c <= u'9' ? ULONG(c - u'0') : ULONG(0); };
    return digit(instancePath[at + 4]) * 10 + digit(instancePath[at + 5]);
}

// The port's USB device as the bus driver's USB library reads it: the class triple, configuration 0,
// and the bulk IN (handle 1) and bulk OUT (handle 2) endpoints of the port's interface.
void WriteUsbDescription(emu::Registry& reg, const std::u16string& hardwareKey, ULONG iface)
{
    const std::u16string usb = hardwareKey + u"\\USB";
    reg.CreateKey(usb);
    reg.SetDword(usb, u"DeviceClass", 0);
    reg.SetDword(usb, u"DeviceSubClass", 0);
    reg.SetDword(usb, u"DeviceProtocol", 0);
    reg.SetDword(usb, u"SelectedConfiguration", 0);
    struct Endpoint {
        const char16_t* key;
        ULONG handle, address, callbackNeeded;
    };
    for (const Endpoint& e : {Endpoint{u"\\EndPoint1", 1, 0x81 + 2 * iface, 1}, Endpoint{u"\\EndPoint2", 2, 0x02 + 2 * iface, 0}}) {
        const std::u16string key = usb + e.key;
        reg.CreateKey(key);
        reg.SetDword(key, u"EndPointHandle", e.handle);
        reg.SetDword(key, u"InterfaceNumber", iface);
        reg.SetDword(key, u"AlternateSetting", 0);
        reg.SetDword(key, u"EndPointAddress", e.address);
        reg.SetDword(key, u"EndPointType", 2);  // bulk
        reg.SetDword(key, u"CallbackNeeded", e.callbackNeeded);
    }
}

}  // namespace

std::vector<std::u16string> AdapterHardwareIds()
{
    return {HardwareId(emu::devices::kSinglePortProductId), HardwareId(emu::devices::kDualPortProductId, "&MI_00"),
            HardwareId(emu::devices::kDualPortProductId, "&MI_01")};
}

void DriverPackage::Install(emu::Machine& machine, const DriverImages& images)
{
    emu::DriverLoader& drivers = machine.GetDrivers();
    drivers.InstallImage(u"Enumdrv39.sys", images.enumdrv);
    drivers.CreateService(kBusService, u"Enumdrv39.sys");
    drivers.InstallImage(u"Portdrv39.sys", images.portdrv);
    drivers.CreateService(kPortService, u"Portdrv39.sys");

    emu::PnpManager& pnp = machine.GetPnp();
    for (const std::u16string& id : AdapterHardwareIds())
        pnp.BindService(id, kBusService, emu::kSystemClassGuid,
                        [this, &machine](const std::u16string& instancePath) { InstallBusDevice(machine, instancePath); });
    pnp.BindService(kPortDeviceId, kPortService, kPortsClassGuid,
                    [this, &machine](const std::u16string& instancePath) { InstallPort(machine, instancePath); });
}

std::vector<std::u16string> DriverPackage::PortNames() const
{
    std::lock_guard lock(m_mutex);
    return m_portNames;
}

// The bus INF: the framework's bus device with one port child, and the port's USB endpoints. The
// child is not unique on its own (each bus device of a two-port chip has one), so the PnP manager
// qualifies its instance by its parent.
void DriverPackage::InstallBusDevice(emu::Machine& machine, const std::u16string& instancePath)
{
    emu::Registry& reg = machine.GetRegistry();
    const std::u16string bus = HardwareKeyOf(instancePath);
    const ULONG iface = InterfaceNumberOf(instancePath);
    reg.SetDword(bus, u"TypeOfDevice", FILE_DEVICE_BUS_EXTENDER);
    reg.SetString(bus, u"DeviceName", u"CvUsbBus");
    // Bus devices are counted, and each passes its number on to its port child's name: the two
    // functions of a two-port chip are two bus devices whose children would otherwise share one.
    reg.SetDword(bus, u"DeviceIndexingPolicyType", 0x101);
    reg.SetDword(bus, u"NumberChildDevices", 1);
    reg.SetDword(bus, u"LowestStackLayer", 1);
    const std::u16string child = bus + u"\\Child1";
    reg.CreateKey(child);
    reg.SetDword(child, u"ContextID", 1);
    reg.SetDword(child, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    reg.SetString(child, u"DeviceName", u"CvUsbPort");
    reg.SetString(child, u"DeviceTextDescription", u"USB Serial Port");
    reg.SetString(child, u"BusQueryDeviceID", kPortDeviceId);
    reg.SetString(child, u"BusQueryHardwareIDs", kPortDeviceId);
    reg.SetString(child, u"BusQueryInstanceID", u"0001");
    reg.SetString(child, u"BusTypeGuid", kBusTypeGuid);
    reg.SetDword(child, u"LegacyBusType", PNPBus);
    reg.SetDword(child, u"UniqueID", 0);
    reg.SetDword(child, u"Removable", 1);
    reg.SetDword(child, u"SurpriseRemovalOK", 1);
    reg.SetDword(child, u"Address", iface + 1);
    reg.SetDword(child, u"UINumber", iface + 1);
    WriteUsbDescription(reg, bus, iface);
}

// The ports INF and the class installer: the COM port device and its COM name.
void DriverPackage::InstallPort(emu::Machine& machine, const std::u16string& instancePath)
{
    std::u16string portName;
    {
        std::lock_guard lock(m_mutex);
        portName = u"COM" + Widen(std::to_string(m_nextComNumber++));
        m_portNames.push_back(portName);
    }
    emu::Registry& reg = machine.GetRegistry();
    const std::u16string port = HardwareKeyOf(instancePath);
    reg.SetDword(port, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    reg.SetString(port, u"DeviceName", u"CvUsbCom");
    reg.SetDword(port, u"DeviceIndexingPolicyType", 1);
    reg.SetDword(port, u"LowestStackLayer", 1);
    reg.SetString(port, u"PortName", portName);
}

}  // namespace cvinstall
