// Driver object and request dispatch: the entry points installed, the requests refused before any
// device sees them (information requests, a wrong major code, a deleted framework object), the
// add-device failures, and the harness shared with the functional device tests.
#include "tffunctionaldevice_harness.h"

#include <cstring>

namespace tftest {

static Recorder* g_pRecorder = nullptr;

Recorder& Rec()
{
    return *g_pRecorder;
}

static BOOLEAN CreateCallback(CTfDeviceCallbacks* pCallbacks, PTF_ADD_DEVICE_FUNCTION* ppAdd, CTfObject** ppObject)
{
    Rec().Record("create");
    EXPECT_EQ((PVOID)ppAdd, (PVOID)&pCallbacks->m_AddDeviceFunction);
    *ppObject = new (NonPagedPool) CFakeObject();
    if (Rec().fill) Rec().fill(pCallbacks);
    return Rec().createResult;
}

static void DeleteCallback(CTfObject* pObject)
{
    Rec().deletes++;
    delete pObject;
}

static BOOLEAN DeviceAddedCallback(TfUserModeInterface* pInterface)
{
    Rec().Record("device-added");
    if (Rec().withSet) {
        auto* pSet = new (NonPagedPool) CTfRegistryInformationSet();
        EXPECT_TRUE(pSet->m_AddDwordEntry(u"Value", &Rec().setValue, 7, nullptr));
        pInterface->m_SetInformationSet(pSet);
    }
    return Rec().deviceAddedResult;
}

static void UnloadCallback() { Rec().Record("unload"); }
static void RemovalCallback() { Rec().Record("removal"); }

BOOLEAN EntryAddDevice(CTfObject*, CTfDriver* pDriver, CTfFunctionalDevice* pDevice)
{
    Rec().Record("entry0");
    EXPECT_NE(pDriver, nullptr);
    EXPECT_NE(pDevice, nullptr);
    return Rec().entryResult;
}
BOOLEAN EntryCreate(CTfObject*) { Rec().Record("entry2"); return Rec().entryResult; }
BOOLEAN EntryClose(CTfObject*) { Rec().Record("entry3"); return Rec().entryResult; }
BOOLEAN EntryCleanup(CTfObject*) { Rec().Record("entry4"); return Rec().entryResult; }
BOOLEAN EntryUserModeInterface(CTfObject*, CTfInformationSet*, ULONG, ULONG, PUCHAR)
{
    Rec().Record("entry18");
    return Rec().setsResult;
}

void EntryChildWrite(CTfObject*, ULONG, CTfBuffer* pBuffer)
{
    std::vector<uint8_t> data(pBuffer->m_GetBytes(), pBuffer->m_GetBytes() + pBuffer->m_GetLength());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    pBuffer->m_Delete();
    std::lock_guard lock(Rec().mutex);
    Rec().childWrites.push_back(std::move(data));
    Rec().changed.notify_all();
}

BOOLEAN EntryWrite(CTfObject*, CTfBuffer* pBuffer)
{
    Rec().Record("entry10");
    pBuffer->m_Delete();
    return TRUE;
}

NTSTATUS EntryBufferedControl(CTfObject*, ULONG, PVOID, ULONG, PVOID, ULONG, PULONG_PTR pulInformation)
{
    Rec().Record("buffered-control");
    *pulInformation = Rec().controlInformation;
    return Rec().controlStatus;
}

NTSTATUS EntryQueueingControl(CTfObject*, ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID, ULONG,
                              PULONG_PTR pulInformation, CTfControlQueue** ppQueue)
{
    Rec().Record("queueing-control");
    if (Rec().onQueueingControl) Rec().onQueueingControl(ulCode, pInput, ulInputLength);
    *pulInformation = Rec().controlInformation;
    *ppQueue = Rec().queueToName;
    return Rec().controlStatus;
}

NTSTATUS EntryRequestControl(CTfObject*, PIRP pIrp)
{
    Rec().Record("request-control");
    return emu::testing::TestDriver::Complete(pIrp, STATUS_SUCCESS, 0);
}

BOOLEAN EntryDeviceCreation(CTfObject*, HANDLE hKey, CTfString* pName, CTfString* pLink)
{
    Rec().Record("entry1");
    EXPECT_NE(hKey, nullptr);
    EXPECT_NE(pName, nullptr);
    (void)pLink;
    return Rec().entryResult;
}

// ---- Request ----

Request::Request(PDEVICE_OBJECT target, UCHAR major, ULONG length, ULONG code, ULONG outputLength)
    : m_target(target), m_buffer(std::max<ULONG>(std::max(length, outputLength), 1), 0)
{
    m_irp = IoAllocateIrp((CCHAR)(target->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(m_irp);
    IoSetCompletionRoutine(m_irp, &Request::OnComplete, this, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION stack = Stack();
    stack->MajorFunction = major;
    stack->FileObject = &m_file;
    m_file.DeviceObject = target;
    switch (major) {
    case IRP_MJ_READ: stack->Parameters.Read.Length = length; break;
    case IRP_MJ_WRITE: stack->Parameters.Write.Length = length; break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = length;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        break;
    default: break;
    }
    m_irp->AssociatedIrp.SystemBuffer = m_buffer.data();
}

Request::~Request()
{
    if (m_irp) IoFreeIrp(m_irp);
}

void Request::SetFileName(const std::u16string& name)
{
    m_fileName = name;
    m_file.FileName.Buffer = m_fileName.data();
    m_file.FileName.Length = (USHORT)(m_fileName.size() * sizeof(char16_t));
    m_file.FileName.MaximumLength = m_file.FileName.Length;
}

NTSTATUS Request::Send()
{
    return IoCallDriver(m_target, m_irp);
}

bool Request::WaitCompleted()
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_completed.load(); });
}

NTSTATUS Request::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<Request*>(context);
    std::lock_guard lock(self->m_mutex);
    self->m_status = irp->IoStatus.Status;
    self->m_information = irp->IoStatus.Information;
    self->m_completed = true;
    self->m_changed.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Fixture ----

void FrameworkTest::SetUp()
{
    MachineTest::SetUp();
    g_pRecorder = new Recorder();
    // As a driver's DriverEntry: its own library reference and the framework's.
    ASSERT_TRUE(TfLibraryAddReference());
    ASSERT_TRUE(TfFrameworkAddReference());
    ASSERT_TRUE(machine().GetRegistry().CreateKey(kServicePath));
    RtlInitUnicodeString(&m_registryPath, reinterpret_cast<PCWSTR>(kServicePath));

    m_driver = std::make_unique<emu::testing::TestDriver>(u"TfFdoTest");
    m_description.pDriverObject = m_driver->Driver();
    m_description.pRegistryPath = &m_registryPath;
    m_description.pszServiceName = u"TfFdoTest";
    m_description.pszImageName = u"TfFdoTest.sys";
    m_description.pCreateCallback = CreateCallback;
    m_description.pDeleteCallback = DeleteCallback;
    m_description.pUnloadCallback = UnloadCallback;
    m_description.pDeviceAddedCallback = DeviceAddedCallback;
    m_description.pRemovalCallback = RemovalCallback;
    ASSERT_EQ(CTfDriver::sm_CreateDriver(&m_description), STATUS_SUCCESS);

    m_pdo = std::make_unique<emu::testing::FakeLowerDevice>();
    // No function driver is bound: the node only gets its keys and properties.
    machine().GetPnp().AddRootDevice(u"ROOT\\TFTEST\\0000", {u"ROOT\\TFTEST"}, Pdo());
    WriteDeviceValues();
}

void FrameworkTest::TearDown()
{
    if (m_pdo && Fdo() != nullptr) DeleteDevice();
    if (!m_unloaded && m_driver) CTfDriver::sm_DriverUnload(m_driver->Driver());
    MachineTest::TearDown();
    m_pdo.reset();
    m_driver.reset();
    delete g_pRecorder;
    g_pRecorder = nullptr;
}

std::u16string FrameworkTest::HardwareKey(PDEVICE_OBJECT pdo)
{
    std::u16string path;
    EXPECT_EQ(machine().GetPnp().DeviceKeyPath(pdo != nullptr ? pdo : Pdo(), PLUGPLAY_REGKEY_DEVICE, path),
              STATUS_SUCCESS);
    return path;
}

void FrameworkTest::WriteDeviceValues(ULONG policy, const std::u16string& link)
{
    WriteDeviceValuesFor(Pdo(), u"TfTest", link, policy, 1);
}

void FrameworkTest::WriteDeviceValuesFor(PDEVICE_OBJECT pdo, const std::u16string& name, const std::u16string& link,
                                         ULONG policy, ULONG lowest)
{
    auto& registry = machine().GetRegistry();
    std::u16string key = HardwareKey(pdo);
    registry.SetDword(key, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
    registry.SetString(key, u"DeviceName", name, REG_SZ);
    registry.SetDword(key, u"DeviceIndexingPolicyType", policy);
    registry.SetString(key, u"SymbolicLinkName", link, REG_SZ);
    registry.SetDword(key, u"LowestStackLayer", lowest);
}

NTSTATUS FrameworkTest::AddDevice()
{
    return m_driver->Driver()->DriverExtension->AddDevice(m_driver->Driver(), Pdo());
}

CTfFunctionalDevice* FrameworkTest::Device()
{
    return static_cast<CTfFunctionalDevice*>(CTfDriver::sm_PeekDevice(Fdo()));
}

void FrameworkTest::DeleteDevice()
{
    ASSERT_TRUE(CTfDriver::sm_DeleteDeviceObject(Fdo(), nullptr));
}

}  // namespace tftest

namespace {

using namespace tftest;

class DriverTest : public FrameworkTest {};

TEST_F(DriverTest, EntryPointsAreInstalledAndTheDriverObjectIsFound)
{
    PDRIVER_OBJECT driver = m_driver->Driver();
    EXPECT_EQ(CTfDriver::sm_FromDriverObject(driver), TfGetDriver());
    EXPECT_EQ(driver->DriverUnload, &CTfDriver::sm_DriverUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, &CTfDriver::sm_AddDevice);
    int installed = 0;
    for (auto* routine : driver->MajorFunction) installed += routine != nullptr;
    EXPECT_GE(installed, 14);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_QUERY_INFORMATION], &CTfDriver::sm_Dispatch_QueryInformation);
    EXPECT_EQ(TfGetDriver()->m_GetServiceName().m_GetLength(), sizeof(u"TfFdoTest") - sizeof(char16_t));
}

TEST_F(DriverTest, InformationRequestsAndWrongMajorCodesFailWithoutReachingTheDevice)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Start();
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION}) {
        Request request(Fdo(), major);
        request.Send();
        ASSERT_TRUE(request.Completed());
        EXPECT_EQ(request.Status(), STATUS_UNSUCCESSFUL);
    }
    // The create routine called with a request that says it is a read.
    Request wrong(Fdo(), IRP_MJ_READ, 4);
    IoSetNextIrpStackLocation(wrong.Irp());
    EXPECT_EQ(CTfDriver::sm_Dispatch_Create(Fdo(), wrong.Irp()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(wrong.Completed());
    EXPECT_EQ(Rec().Count("entry2"), 0u);
    // A null device object completes nothing.
    EXPECT_EQ(CTfDriver::sm_Dispatch_Read(nullptr, wrong.Irp()), STATUS_UNSUCCESSFUL);
}

TEST_F(DriverTest, RequestAfterTheObjectWasDeletedCompletesDeletePending)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    CTfObjectHolder* holder = CTfDevice::sm_GetExtensionHolder(Fdo());
    // Hold a reference as a request in progress would: the deletion must wait for it.
    ASSERT_NE(holder->m_Acquire(), nullptr);
    holder->m_GetGate()->m_SetOpen(FALSE);
    Request request(Fdo(), IRP_MJ_CREATE);
    request.Send();
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(request.Status(), STATUS_DELETE_PENDING);
    holder->m_Release();
    EXPECT_EQ(Rec().Count("entry2"), 0u);
}

TEST_F(DriverTest, AddDeviceFailuresLeaveNoDeviceObject)
{
    EXPECT_EQ(CTfDriver::sm_AddDevice(nullptr, Pdo()), STATUS_UNSUCCESSFUL);

    Rec().createResult = false;
    EXPECT_EQ(AddDevice(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rec().deletes, 1);  // the object the callback made anyway is not lost
    Rec().createResult = true;

    // Policy 0 without entry 1.
    WriteDeviceValues(0);
    EXPECT_EQ(AddDevice(), STATUS_UNSUCCESSFUL);
    WriteDeviceValues(1);

    // Failures after the attach (device-added, entry 0) detach and delete exactly once.
    Rec().deviceAddedResult = false;
    EXPECT_EQ(AddDevice(), STATUS_UNSUCCESSFUL);
    Rec().deviceAddedResult = true;
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_AddDeviceFunction = EntryAddDevice; };
    Rec().entryResult = false;
    EXPECT_EQ(AddDevice(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rec().Count("entry0"), 1u);

    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(m_driver->Driver()->DeviceObject, nullptr);
    EXPECT_TRUE(TfGetDriver()->m_GetDeviceList()->m_IsEmpty());
    EXPECT_EQ(Rec().deletes, 4);
}

TEST_F(DriverTest, UnloadWithDevicesLeftCallsTheUnloadCallbackAfterDeletingTheDriver)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    LONG drivers = TfGetDriverCount();
    CTfDriver::sm_DriverUnload(m_driver->Driver());
    EXPECT_EQ(Rec().Count("unload"), 1u);
    EXPECT_EQ(TfGetDriver(), nullptr);
    EXPECT_EQ(TfGetDriverCount(), drivers - 1);
    EXPECT_EQ(m_driver->Driver()->DriverStartIo, nullptr);
    // The device goes without its driver object; the usual road then ends the references.
    DeleteDevice();
    CTfDriver::sm_DriverUnload(m_driver->Driver());
    m_unloaded = true;
    EXPECT_EQ(TfFrameworkGetReferenceCount(), 0);
}

}  // namespace
