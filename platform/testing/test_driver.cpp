#include "test_driver.h"

#include "ob/object_namespace.h"
#include "machine.h"
#include "ob/object_manager.h"

namespace emu::testing {

namespace {

constexpr CSHORT kIoTypeDriver = 4;

UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<PWCH>(text.data());
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    return counted;
}

}  // namespace

TestDriver::TestDriver(std::u16string name)
    : m_name(std::move(name)), m_driverName(u"\\Driver\\" + m_name)
{
    static_assert(offsetof(Body, driver) == 0, "the trampolines find the body from the driver object");
    DRIVER_OBJECT& driver = m_body.driver;
    driver.Type = kIoTypeDriver;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &m_body.extension;
    driver.DriverName = Counted(m_driverName);
    for (PDRIVER_DISPATCH& dispatch : driver.MajorFunction) dispatch = &TestDriver::DispatchTrampoline;
    m_body.extension.DriverObject = &driver;
    m_body.extension.ServiceKeyName = Counted(m_name);
    m_body.owner = this;
    Bind();
}

void TestDriver::Bind()
{
    std::lock_guard lock(m_bindLock);
    if (m_machine) return;
    m_machine = Machine::TryCurrent();
    if (!m_machine) return;
    m_machine->GetObjectManager().Register(&m_body.driver, ObjectType::Driver, nullptr);
    m_named = NT_SUCCESS(m_machine->GetNamespace().Insert(m_driverName, ObjectType::Driver, &m_body.driver));
}

PDRIVER_OBJECT TestDriver::Driver()
{
    Bind();
    return &m_body.driver;
}

TestDriver::~TestDriver()
{
    // With the machine gone, its device objects went with it.
    if (!m_machine || Machine::TryCurrent() != m_machine) return;
    ObjectNamespace& names = m_machine->GetNamespace();
    for (PDEVICE_OBJECT device = m_body.driver.DeviceObject; device; device = device->NextDevice)
        if (PDEVICE_OBJECT lower = names.AttachedTo(device)) IoDetachDevice(lower);
    while (PDEVICE_OBJECT device = m_body.driver.DeviceObject) {
        IoDeleteDevice(device);
        if (m_body.driver.DeviceObject == device) m_body.driver.DeviceObject = device->NextDevice;
    }
    if (m_named) names.RemoveIfNames(m_driverName, &m_body.driver);
    m_machine->GetObjectManager().Dereference(&m_body.driver);
}

void TestDriver::SetDispatch(UCHAR major, Dispatch dispatch)
{
    if (major <= IRP_MJ_MAXIMUM_FUNCTION) m_dispatch[major] = std::move(dispatch);
}

void TestDriver::SetAddDevice(AddDevice addDevice)
{
    m_addDevice = std::move(addDevice);
    m_body.extension.AddDevice = m_addDevice ? &TestDriver::AddDeviceTrampoline : nullptr;
}

void TestDriver::SetUnload(Unload unload)
{
    m_unload = std::move(unload);
    m_body.driver.DriverUnload = m_unload ? &TestDriver::UnloadTrampoline : nullptr;
}

PDEVICE_OBJECT TestDriver::CreateDevice(const DeviceOptions& options, NTSTATUS* status)
{
    UNICODE_STRING name = Counted(options.name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS result = IoCreateDevice(Driver(), options.extensionSize, options.name.empty() ? nullptr : &name,
                                     options.type, options.characteristics, options.exclusive ? TRUE : FALSE, &device);
    if (status) *status = result;
    return NT_SUCCESS(result) ? device : nullptr;
}

PDEVICE_OBJECT TestDriver::CreateDevice(std::u16string name, ULONG extensionSize, NTSTATUS* status)
{
    DeviceOptions options;
    options.name = std::move(name);
    options.extensionSize = extensionSize;
    return CreateDevice(options, status);
}

NTSTATUS TestDriver::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TestDriver& TestDriver::OwnerOf(PDRIVER_OBJECT driver) { return *reinterpret_cast<Body*>(driver)->owner; }

NTSTATUS TestDriver::DispatchTrampoline(PDEVICE_OBJECT device, PIRP irp)
{
    TestDriver& self = OwnerOf(device->DriverObject);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major <= IRP_MJ_MAXIMUM_FUNCTION && self.m_dispatch[major]) return self.m_dispatch[major](device, irp);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS TestDriver::AddDeviceTrampoline(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return OwnerOf(driver).m_addDevice(driver, pdo);
}

void TestDriver::UnloadTrampoline(PDRIVER_OBJECT driver) { OwnerOf(driver).m_unload(driver); }

}  // namespace emu::testing
