#include "framework_scenario.h"

#include <algorithm>
#include <cstring>

#include "ex/pool.h"
#include "pdo_double.h"

namespace tfscenario {

const GUID kBusInterfaceGuid = {0x862AB446, 0x2AA7, 0x4B60, {0x89, 0x45, 0xF5, 0x79, 0xC0, 0x9F, 0x36, 0xCB}};
const GUID kPortInterfaceGuid = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};

namespace {

std::u16string Decimal(ULONG value)
{
    std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

std::u16string InstanceId(ULONG contextId)
{
    std::u16string digits = Decimal(contextId);
    return std::u16string(digits.size() < 4 ? 4 - digits.size() : 0, u'0') + digits;
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

}  // namespace

void FrameworkScenario::SetUp()
{
    MachineTest::SetUp();
    Drivers().InstallImage(kBusImage, TFBUS_IMAGE);
    Drivers().InstallImage(kFuncImage, TFFUNC_IMAGE);
    Drivers().CreateService(kBusService, kBusImage);
    Drivers().CreateService(kFuncService, kFuncImage);
    Pnp().BindService(kBusHardwareId, kBusService);
    Pnp().BindService(kChildDeviceId, kFuncService, kPortsClass);

    // The USB PDO accepts the PnP sequence, reports a power table and succeeds power requests.
    m_usb.SetDispatch(IRP_MJ_PNP, emu::testing::AcceptingPdoPnp);
    m_usb.SetDispatch(IRP_MJ_POWER, emu::testing::AcceptingPdoPower);
    // Named, as the USB hub's PDOs are: an interface can only be enabled on a named PDO.
    m_usbPdo = m_usb.CreateDevice(u"\\Device\\USBPDO-7");
    ASSERT_NE(m_usbPdo, nullptr);
    m_usbPdo->Flags &= ~DO_DEVICE_INITIALIZING;
}

void FrameworkScenario::TearDown()
{
    if (m_plugged && Pnp().FindNode(m_usbPdo)) {
        EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    }
    EXPECT_FALSE(Drivers().IsLoaded(kBusService));
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_EQ(TrackedBlocks(), 0u);
    MachineTest::TearDown();
}

std::u16string FrameworkScenario::HardwareKey(std::u16string_view instancePath)
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + std::u16string(instancePath) + u"\\Device Parameters";
}

std::u16string FrameworkScenario::ChildInstancePath(ULONG contextId)
{
    return std::u16string(kChildDeviceId) + u"\\" + InstanceId(contextId);
}

void FrameworkScenario::WriteBusRegistry(const std::vector<ChildSpec>& children)
{
    std::u16string key = HardwareKey(kBusInstancePath);
    Reg().SetDword(key, u"TypeOfDevice", FILE_DEVICE_BUS_EXTENDER);
    Reg().SetString(key, u"DeviceName", kBusDeviceName);
    Reg().SetDword(key, u"DeviceIndexingPolicyType", 1);
    Reg().SetDword(key, u"NumberChildDevices", static_cast<ULONG>(children.size()));
    Reg().SetDword(key, u"LowestStackLayer", 1);
    for (size_t i = 0; i < children.size(); ++i) {
        WriteChildValues(static_cast<ULONG>(i + 1), children[i]);
        WriteFunctionValues(children[i].contextId);
    }
    m_registryWritten = true;
}

void FrameworkScenario::WriteChildValues(ULONG childNumber, const ChildSpec& child)
{
    std::u16string key = HardwareKey(kBusInstancePath) + u"\\Child" + Decimal(childNumber);
    std::u16string id = Decimal(child.contextId);
    Reg().SetDword(key, u"ContextID", child.contextId);
    Reg().SetDword(key, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    Reg().SetString(key, u"DeviceName", std::u16string(kPortDeviceName) + id);
    Reg().SetString(key, u"DeviceTextDescription", u"Tf test port " + id);
    Reg().SetString(key, u"BusQueryDeviceID", kChildDeviceId);
    Reg().SetString(key, u"BusQueryHardwareIDs", kChildDeviceId);
    Reg().SetString(key, u"BusQueryInstanceID", InstanceId(child.contextId));
    Reg().SetString(key, u"BusTypeGuid", u"{B5F1A7C3-2D4E-4F60-8A91-0C3D5E7F9B21}");
    Reg().SetDword(key, u"LegacyBusType", PNPBus);
    Reg().SetDword(key, u"UniqueID", 1);
    Reg().SetDword(key, u"Removable", 1);
    Reg().SetDword(key, u"SurpriseRemovalOK", 1);
    Reg().SetDword(key, u"Address", child.contextId);
    Reg().SetDword(key, u"UINumber", child.contextId);
    if (child.doNotCreateAtStartup) Reg().SetDword(key, u"DoNotCreateAtStartup", 1);
}

void FrameworkScenario::WriteFunctionValues(ULONG contextId)
{
    std::u16string key = HardwareKey(ChildInstancePath(contextId));
    Reg().SetDword(key, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    Reg().SetString(key, u"DeviceName", kFuncDeviceName);
    Reg().SetDword(key, u"DeviceIndexingPolicyType", 1);
    Reg().SetDword(key, u"LowestStackLayer", 0);
}

NTSTATUS FrameworkScenario::Plug(const std::vector<ChildSpec>& children)
{
    if (!m_registryWritten) WriteBusRegistry(children);
    NTSTATUS status = Pnp().AddRootDevice(kBusInstancePath, {kBusHardwareId}, m_usbPdo);
    m_plugged = Pnp().FindNode(m_usbPdo).has_value();
    return status;
}

NTSTATUS FrameworkScenario::Unplug()
{
    NTSTATUS status = Pnp().QueryRemoveDevice(m_usbPdo);
    m_plugged = Pnp().FindNode(m_usbPdo).has_value();
    return status;
}

NTSTATUS FrameworkScenario::SurpriseUnplug()
{
    NTSTATUS status = Pnp().SurpriseRemoveDevice(m_usbPdo);
    m_plugged = Pnp().FindNode(m_usbPdo).has_value();
    return status;
}

std::optional<emu::DeviceNodeInfo> FrameworkScenario::BusNode()
{
    return Pnp().FindNode(m_usbPdo);
}

std::vector<emu::DeviceNodeInfo> FrameworkScenario::ChildNodes()
{
    return Pnp().Children(m_usbPdo);
}

std::optional<emu::DeviceNodeInfo> FrameworkScenario::ChildNode(ULONG contextId)
{
    return Pnp().FindNode(ChildInstancePath(contextId));
}

PDEVICE_OBJECT FrameworkScenario::ChildPdo(ULONG contextId)
{
    auto node = ChildNode(contextId);
    return node ? node->pdo : nullptr;
}

PDEVICE_OBJECT FrameworkScenario::FunctionFdo(ULONG contextId)
{
    PDEVICE_OBJECT pdo = ChildPdo(contextId);
    return pdo ? pdo->AttachedDevice : nullptr;
}

std::vector<emu::DeviceInterfaceInfo> FrameworkScenario::EnabledInterfaces(const GUID& classGuid)
{
    return machine().GetInterfaces().Interfaces(classGuid, true);
}

std::u16string FrameworkScenario::BusInterfacePath()
{
    for (const auto& entry : EnabledInterfaces(kBusInterfaceGuid))
        if (entry.pdo == m_usbPdo) return entry.devicePath;
    return {};
}

std::u16string FrameworkScenario::PortInterfacePath(ULONG contextId)
{
    PDEVICE_OBJECT pdo = ChildPdo(contextId);
    if (!pdo) return {};
    for (const auto& entry : EnabledInterfaces(kPortInterfaceGuid))
        if (entry.pdo == pdo) return entry.devicePath;
    return {};
}

HANDLE FrameworkScenario::Open(const std::u16string& path)
{
    return CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

bool FrameworkScenario::Control(HANDLE handle, ULONG code, const std::vector<uint8_t>& input,
                                std::vector<uint8_t>& output, DWORD* returned, DWORD* error)
{
    DWORD bytes = 0;
    std::vector<uint8_t> in = input;
    BOOL ok = DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                              output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()), &bytes,
                              nullptr);
    if (returned) *returned = bytes;
    if (error) *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok != FALSE;
}

ControlResult FrameworkScenario::SendControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                                             ULONG outputLength, bool internal)
{
    emu::testing::DeviceControlResult sent = emu::testing::SendDeviceControl(device, code, input, outputLength, internal);
    return ControlResult{sent.status, sent.information, sent.output};
}

std::vector<std::string> FrameworkScenario::Record(std::u16string_view service, size_t from)
{
    std::vector<std::string> lines;
    std::u16string key = ServiceKey(service) + u"\\" + TFTEST_RECORD_SUBKEY;
    ULONG count = Reg().GetDword(key, TFTEST_RECORD_COUNT).value_or(0);
    for (ULONG i = static_cast<ULONG>(from) + 1; i <= count; ++i) {
        std::u16string name = InstanceId(i);
        auto value = Reg().GetValue(key, name);
        if (!value || value->type != REG_SZ) {
            lines.push_back("<missing>");
            continue;
        }
        std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
        std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        lines.push_back(Narrow(text));
    }
    return lines;
}

size_t FrameworkScenario::RecordMark(std::u16string_view service)
{
    return Reg().GetDword(ServiceKey(service) + u"\\" + TFTEST_RECORD_SUBKEY, TFTEST_RECORD_COUNT).value_or(0);
}

std::vector<std::string> FrameworkScenario::Lines(const std::vector<std::string>& record, std::string_view prefix)
{
    std::vector<std::string> lines;
    for (const std::string& line : record)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

size_t FrameworkScenario::TrackedBlocks()
{
    return machine().GetPool().LiveCount(emu::PoolTag("TfKi"));
}

void FrameworkScenario::SetRefuseValue(std::u16string_view service, ULONG value)
{
    Reg().SetDword(ServiceKey(service), TFTEST_REFUSE_VALUE, value);
}

}  // namespace tfscenario
