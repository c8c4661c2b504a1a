// What loading Enumdrv39.sys takes (see adapter_rig.h).
#include "adapter_rig.h"

#include <cstring>

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "pnp/pnp_manager.h"
#include "usbfunction_fixture.h"

namespace enumdrvtest {

namespace {

std::u16string Hex4(USHORT value)
{
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4) text.push_back(digits[(value >> shift) & 0xF]);
    return text;
}

}  // namespace

std::u16string HardwareId(USHORT productId)
{
    return u"USB\\VID_" + Hex4(CV_MAKER_VENDOR_ID) + u"&PID_" + Hex4(productId);
}

std::u16string HardwareKey(std::u16string_view instancePath)
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + std::u16string(instancePath) + u"\\Device Parameters";
}

void PutNumber(Bytes& bytes, ULONG value)
{
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

ULONG NumberAt(const Bytes& bytes, size_t offset)
{
    ULONG value = 0;
    if (bytes.size() >= offset + sizeof value) std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

void InstallAdapterDrivers(emu::Machine& machine, const char* enumdrvImage, const char* portImage)
{
    emu::DriverLoader& drivers = machine.GetDrivers();
    drivers.InstallImage(kImage, enumdrvImage);
    drivers.CreateService(kService, kImage);
    drivers.InstallImage(kPortImage, portImage);
    drivers.CreateService(kPortService, kPortImage);
    machine.GetPnp().BindService(HardwareId(kProductId), kService);
    machine.GetPnp().BindService(HardwareId(kRefusedProductId), kService);
    machine.GetPnp().BindService(kPortDeviceId, kPortService, kPortsClass);
}

void WriteAdapterRegistry(emu::Machine& machine, USHORT productId)
{
    emu::Registry& reg = machine.GetRegistry();
    std::u16string bus = HardwareKey(HardwareId(productId) + u"\\" + kSerial);
    reg.SetDword(bus, u"TypeOfDevice", FILE_DEVICE_BUS_EXTENDER);
    reg.SetString(bus, u"DeviceName", u"CvUsbBus");
    reg.SetDword(bus, u"DeviceIndexingPolicyType", 1);
    reg.SetDword(bus, u"NumberChildDevices", 1);
    reg.SetDword(bus, u"LowestStackLayer", 1);
    std::u16string child = bus + u"\\Child1";
    reg.SetDword(child, u"ContextID", 1);
    reg.SetDword(child, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    reg.SetString(child, u"DeviceName", u"CvUsbPort1");
    reg.SetString(child, u"DeviceTextDescription", u"USB serial port 1");
    reg.SetString(child, u"BusQueryDeviceID", kPortDeviceId);
    reg.SetString(child, u"BusQueryHardwareIDs", kPortDeviceId);
    reg.SetString(child, u"BusQueryInstanceID", u"0001");
    reg.SetString(child, u"BusTypeGuid", u"{B5F1A7C3-2D4E-4F60-8A91-0C3D5E7F9B21}");
    reg.SetDword(child, u"LegacyBusType", PNPBus);
    reg.SetDword(child, u"UniqueID", 1);
    reg.SetDword(child, u"Removable", 1);
    reg.SetDword(child, u"SurpriseRemovalOK", 1);
    reg.SetDword(child, u"Address", 1);
    reg.SetDword(child, u"UINumber", 1);
    cvusbtest::WriteUsbDescription(reg, bus);
    // The port's function driver (the framework's test image).
    std::u16string port = HardwareKey(kPortInstancePath);
    reg.SetDword(port, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    reg.SetString(port, u"DeviceName", u"CvUsbCom");
    reg.SetDword(port, u"DeviceIndexingPolicyType", 1);
    reg.SetDword(port, u"LowestStackLayer", 0);
}

PDEVICE_OBJECT FindPortPdo(emu::Machine& machine)
{
    auto node = machine.GetPnp().FindNode(kPortInstancePath);
    return node ? node->pdo : nullptr;
}

ControlResult SendInternal(PDEVICE_OBJECT device, ULONG code, const Bytes& input, ULONG outputLength)
{
    ControlResult result;
    Bytes in = input;
    result.output.assign(outputLength, 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()),
                                             result.output.empty() ? nullptr : result.output.data(), outputLength,
                                             TRUE, &event, &ioStatus);
    if (!irp) return result;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    return result;
}

ControlResult RequestISerial(PDEVICE_OBJECT portPdo, ULONG portNumber)
{
    Bytes input;
    PutNumber(input, ISERIAL_VERSION);
    PutNumber(input, portNumber);
    return SendInternal(portPdo, IOCTL_CREATE_CVISERIAL, input, sizeof(void*));
}

ISerial* ISerialOf(const ControlResult& result)
{
    ISerial* pISerial = nullptr;
    if (result.output.size() >= sizeof(pISerial)) std::memcpy(&pISerial, result.output.data(), sizeof(pISerial));
    return pISerial;
}

NTSTATUS GiveBackISerial(PDEVICE_OBJECT portPdo, ULONG portNumber, ISerial* pISerial)
{
    CVISERIAL_RELEASE_REQUEST request{};
    request.ulPortNumber = portNumber;
    request.pISerial = pISerial;
    Bytes input(sizeof(request));
    std::memcpy(input.data(), &request, sizeof(request));
    return SendInternal(portPdo, IOCTL_RELEASE_CVISERIAL, input, 0).status;
}

}  // namespace enumdrvtest
