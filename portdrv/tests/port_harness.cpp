#include "port_harness.h"

#include <cstring>

#include "dbg/debug_output.h"
#include "ex/pool.h"
#include "io/driver_loader.h"
#include "pdo_double.h"
#include "pnp/pnp_manager.h"
#include "tfmemorytracker.h"

namespace portdrvtest {

bool PendingRequest::Wait(ULONG milliseconds)
{
    if (dispatchStatus != STATUS_PENDING) return true;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

namespace {

void DeletePort(CFakeSerialPort* port)
{
    delete port;
}

}  // namespace

void PortTest::SetUp()
{
    MachineTest::SetUp();
    ASSERT_TRUE(TfLibraryAddReference());
    emu::DriverLoader& drivers = machine().GetDrivers();
    drivers.InstallImage(kImage, PORTDRV_IMAGE);
    drivers.CreateService(kService, kImage);
    machine().GetPnp().BindService(kHardwareId, kService, kPortsClass);
    m_bus.SetDispatch(IRP_MJ_PNP, emu::testing::AcceptingPdoPnp);
    m_bus.SetDispatch(IRP_MJ_POWER, emu::testing::AcceptingPdoPower);
    m_bus.SetDispatch(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                      [this](PDEVICE_OBJECT, PIRP irp) { return BusChildInternalControl(irp); });
    m_pdo = m_bus.CreateDevice(u"\\Device\\CvUsbPort1");
    ASSERT_NE(m_pdo, nullptr);
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    std::u16string key = HardwareKey();
    Reg().SetDword(key, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    Reg().SetString(key, u"DeviceName", u"CvUsbCom");
    Reg().SetDword(key, u"DeviceIndexingPolicyType", 1);
    Reg().SetDword(key, u"LowestStackLayer", 1);
    Reg().SetString(key, u"PortName", u"COM5");
}

void PortTest::TearDown()
{
    if (m_handle != INVALID_HANDLE_VALUE) ClosePort();
    if (m_plugged) {
        EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    }
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(kService));
    m_port.reset();
    EXPECT_EQ(TrackedBlocks(), 0u);
    TfLibraryRelease();
    MachineTest::TearDown();
}

std::u16string PortTest::HardwareKey() const
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + kInstancePath + u"\\Device Parameters";
}

void PortTest::SetParameter(std::u16string_view name, ULONG value)
{
    Reg().SetDword(HardwareKey() + u"\\UI1", name, value);
}

NTSTATUS PortTest::BusChildInternalControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == IOCTL_CREATE_CVISERIAL && stack->Parameters.DeviceIoControl.InputBufferLength >= 8) {
        auto request = *static_cast<PCVISERIAL_CREATE_REQUEST>(buffer);
        m_busRequests.push_back("create " + std::to_string(request.ulPortNumber));
        m_port = {new (NonPagedPool) CFakeSerialPort(m_options), DeletePort};
        ISerial* record = m_port->Build(request.ulVersion);
        if (record == nullptr) return emu::testing::TestDriver::Complete(irp, STATUS_UNSUCCESSFUL);
        static_cast<PCVISERIAL_CREATE_RESPONSE>(buffer)->pISerial = record;
        return emu::testing::TestDriver::Complete(irp, STATUS_SUCCESS, sizeof(CVISERIAL_CREATE_RESPONSE));
    }
    if (code == IOCTL_RELEASE_CVISERIAL) {
        auto request = *static_cast<PCVISERIAL_RELEASE_REQUEST>(buffer);
        m_busRequests.push_back("release " + std::to_string(request.ulPortNumber));
        // The bus deletes its port object; the fake stays for the test to examine, unhooked.
        if (m_port) m_port->m_PeekISerial()->m_pContext = nullptr;
        return emu::testing::TestDriver::Complete(irp, STATUS_SUCCESS);
    }
    return emu::testing::TestDriver::Complete(irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS PortTest::Plug(const FakePortOptions& options)
{
    m_options = options;
    NTSTATUS status = machine().GetPnp().AddRootDevice(kInstancePath, {kHardwareId}, m_pdo);
    m_plugged = true;
    return status;
}

NTSTATUS PortTest::Unplug()
{
    m_plugged = false;
    return machine().GetPnp().QueryRemoveDevice(m_pdo);
}

NTSTATUS PortTest::SurpriseUnplug()
{
    m_plugged = false;
    return machine().GetPnp().SurpriseRemoveDevice(m_pdo);
}

HANDLE PortTest::Open(const std::u16string& name)
{
    return CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

void PortTest::Close(HANDLE handle)
{
    CloseHandle(handle);
}

void PortTest::OpenPort()
{
    m_handle = Open();
    ASSERT_NE(m_handle, INVALID_HANDLE_VALUE);
}

void PortTest::ClosePort()
{
    Close(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

ControlResult PortTest::Control(ULONG code, const Bytes& input, ULONG outputLength, bool internal)
{
    emu::testing::DeviceControlResult sent = emu::testing::SendDeviceControl(Fdo(), code, input, outputLength, internal);
    return ControlResult{sent.status, sent.information, sent.output};
}

std::unique_ptr<PendingRequest> PortTest::ControlAsync(ULONG code, const Bytes& input, ULONG outputLength)
{
    auto request = std::make_unique<PendingRequest>();
    KeInitializeEvent(&request->event, NotificationEvent, FALSE);
    request->buffer = input;
    request->buffer.resize(std::max<size_t>(input.size(), outputLength));
    PIRP irp = IoBuildDeviceIoControlRequest(code, Fdo(), input.empty() ? nullptr : request->buffer.data(),
                                             static_cast<ULONG>(input.size()),
                                             outputLength ? request->buffer.data() : nullptr, outputLength, FALSE,
                                             &request->event, &request->ioStatus);
    request->dispatchStatus = IoCallDriver(Fdo(), irp);
    if (request->dispatchStatus != STATUS_PENDING) request->ioStatus.Status = request->dispatchStatus;
    return request;
}

std::unique_ptr<PendingRequest> PortTest::ReadAsync(ULONG length, KIRQL irql)
{
    auto request = std::make_unique<PendingRequest>();
    KeInitializeEvent(&request->event, NotificationEvent, FALSE);
    request->buffer.assign(length, 0);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Fdo(), request->buffer.data(), length, nullptr,
                                            &request->event, &request->ioStatus);
    {
        emu::testing::ScopedIrql raised(irql);
        request->dispatchStatus = IoCallDriver(Fdo(), irp);
    }
    if (request->dispatchStatus != STATUS_PENDING) request->ioStatus.Status = request->dispatchStatus;
    return request;
}

std::unique_ptr<PendingRequest> PortTest::WriteAsync(const Bytes& data)
{
    auto request = std::make_unique<PendingRequest>();
    KeInitializeEvent(&request->event, NotificationEvent, FALSE);
    request->buffer = data;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, Fdo(), request->buffer.data(),
                                            static_cast<ULONG>(data.size()), nullptr, &request->event,
                                            &request->ioStatus);
    request->dispatchStatus = IoCallDriver(Fdo(), irp);
    if (request->dispatchStatus != STATUS_PENDING) request->ioStatus.Status = request->dispatchStatus;
    return request;
}

ULONG PortTest::Number(ULONG code, ULONG offset, ULONG outputLength)
{
    ControlResult result = Control(code, {}, outputLength);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    return At(result.output, offset);
}

Bytes PortTest::U32(ULONG value)
{
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

Bytes PortTest::Join(std::initializer_list<Bytes> parts)
{
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

ULONG PortTest::At(const Bytes& bytes, size_t offset)
{
    ULONG value = 0;
    if (bytes.size() >= offset + 4) std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

size_t PortTest::TrackedBlocks()
{
    return machine().GetPool().LiveCount(emu::PoolTag("TfKi"));
}

size_t PortTest::AssertLines()
{
    return machine().GetDebugOutput().CountContaining("ASSERT at");
}

}  // namespace portdrvtest
