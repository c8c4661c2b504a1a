// Fixture of the tests that load Enumdrv39.sys (see adapter_fixture.h).
#include "adapter_fixture.h"

#include <cstring>

#include "cm/registry.h"
#include "ex/pool.h"
#include "io/driver_loader.h"
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

emu::MachineOptions AdapterTest::Options() const
{
    emu::MachineOptions options;
    options.clockScale = 0;  // time moves only when a test advances it
    return options;
}

void AdapterTest::SetUp()
{
    MachineTest::SetUp();
    // Requests need no bus time.
    machine().GetUsb().Scheduler().SetPaced(false);
    emu::DriverLoader& drivers = machine().GetDrivers();
    drivers.InstallImage(kImage, ENUMDRV_IMAGE);
    drivers.CreateService(kService, kImage);
    drivers.InstallImage(kPortImage, TFFUNC_IMAGE);
    drivers.CreateService(kPortService, kPortImage);
    Pnp().BindService(HardwareId(kProductId), kService);
    Pnp().BindService(HardwareId(kRefusedProductId), kService);
    Pnp().BindService(kPortDeviceId, kPortService, kPortsClass);
}

void AdapterTest::TearDown()
{
    if (m_device != nullptr) machine().GetUsb().Unplug(*m_device);
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(kService));
    EXPECT_EQ(machine().GetPool().LiveCount(emu::PoolTag("TfKi")), 0u);
    MachineTest::TearDown();
}


void AdapterTest::WriteRegistry(USHORT productId)
{
    emu::Registry& reg = machine().GetRegistry();
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

void AdapterTest::Plug(USHORT productId)
{
    Plug(productId == kRefusedProductId ? emu::devices::ChipConfig::Refused() : emu::devices::ChipConfig::SinglePort());
}

void AdapterTest::Plug(emu::devices::ChipConfig config)
{
    WriteRegistry(config.identity.productId);
    m_chip = std::make_unique<emu::devices::FtdiChip>(std::move(config));
    m_model = std::make_shared<emu::usb::FtdiChipDevice>(*m_chip);
    m_device = machine().GetUsb().Plug(m_model);
    ASSERT_NE(m_device, nullptr);
}

void AdapterTest::Unplug()
{
    machine().GetUsb().Unplug(*m_device);
    m_device = nullptr;
}

std::optional<emu::DeviceNodeInfo> AdapterTest::BusNode()
{
    return Pnp().FindNode(HardwareId(kProductId) + u"\\" + kSerial);
}
PDEVICE_OBJECT AdapterTest::BusFdo()
{
    auto node = BusNode();
    return node ? node->pdo->AttachedDevice : nullptr;
}
PDEVICE_OBJECT AdapterTest::PortPdo()
{
    auto node = Pnp().FindNode(kPortInstancePath);
    return node ? node->pdo : nullptr;
}

ControlResult AdapterTest::SendInternal(PDEVICE_OBJECT device, ULONG code, const Bytes& input, ULONG outputLength)
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

ISerial* AdapterTest::CreateISerial(ULONG portNumber)
{
    Bytes input;
    PutNumber(input, ISERIAL_VERSION);
    PutNumber(input, portNumber);
    ControlResult result = SendInternal(PortPdo(), IOCTL_CREATE_CVISERIAL, input, sizeof(void*));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(void*));
    ISerial* pISerial = nullptr;
    std::memcpy(&pISerial, result.output.data(), sizeof(pISerial));
    return pISerial;
}

NTSTATUS AdapterTest::ReleaseISerial(ULONG portNumber, ISerial* pISerial)
{
    CVISERIAL_RELEASE_REQUEST request{};
    request.ulPortNumber = portNumber;
    request.pISerial = pISerial;
    Bytes input(sizeof(request));
    std::memcpy(input.data(), &request, sizeof(request));
    return SendInternal(PortPdo(), IOCTL_RELEASE_CVISERIAL, input, 0).status;
}

}  // namespace enumdrvtest
