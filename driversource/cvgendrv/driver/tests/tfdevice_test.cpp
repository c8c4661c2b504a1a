// Device base: device object names and DOS-device links (both prefixes), failures that must leave no
// device object behind, deletion that always removes the device object, the extension that leads
// the dispatch to the framework object, and received data reaching the read queue and the
// XOFF-counter request in one step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ke/dispatcher.h"
#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfbuffer.h"
#include "tfdevice.h"
#include "tfmemorytracker.h"

#include <ntddser.h>

namespace {

// A framework device as the derived devices make it: every dispatch is refused, the device object
// is the one m_CreateDevice gave.
class CScriptedDevice : public CTfDevice {
public:
    NTSTATUS m_Dispatch_Pnp(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Power(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Create(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Cleanup(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Close(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Read(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Write(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Device_Control(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_InternalDeviceControl(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_FlushBuffers(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_Shutdown(PIRP) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS m_Dispatch_SystemControl(PIRP) override { return STATUS_NOT_SUPPORTED; }
    PDEVICE_OBJECT m_GetDeviceObject() override { return m_pDeviceObject; }

    void m_SetAuxiliaryObject(CTfObject* pObject) { m_pAuxiliaryObject = pObject; }

    PDEVICE_OBJECT m_pDeviceObject = nullptr;
};

// A request the test owns: one stack location, a system buffer, and a record of its completion.
class Request {
public:
    Request(UCHAR major, ULONG length, ULONG ioControlCode = 0) : m_buffer(length ? length : 1, 0xCD)
    {
        m_irp = IoAllocateIrp(1, FALSE);
        if (!m_irp) return;
        IoSetCompletionRoutine(m_irp, &Request::OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(m_irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
        stack->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            stack->Parameters.Read.Length = length;
        } else {
            stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
            stack->Parameters.DeviceIoControl.InputBufferLength = length;
        }
        m_irp->AssociatedIrp.SystemBuffer = m_buffer.data();
    }
    ~Request()
    {
        if (m_irp) IoFreeIrp(m_irp);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIRP Irp() const { return m_irp; }
    bool WaitCompleted(std::chrono::milliseconds bound = std::chrono::seconds(10))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, bound, [&] { return m_completions != 0; });
    }
    int Completions()
    {
        std::lock_guard lock(m_mutex);
        return m_completions;
    }
    NTSTATUS Status()
    {
        std::lock_guard lock(m_mutex);
        return m_status;
    }
    ULONG_PTR Information()
    {
        std::lock_guard lock(m_mutex);
        return m_information;
    }
    const std::vector<UCHAR>& Buffer() const { return m_buffer; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<Request*>(context);
        std::lock_guard lock(self->m_mutex);
        ++self->m_completions;
        self->m_status = irp->IoStatus.Status;
        self->m_information = irp->IoStatus.Information;
        self->m_changed.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP m_irp = nullptr;
    std::vector<UCHAR> m_buffer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_completions = 0;
    NTSTATUS m_status = STATUS_PENDING;
    ULONG_PTR m_information = 0;
};

class DeviceTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        m_baseDevices = names().LiveDeviceCount();
    }
    void TearDown() override
    {
        delete m_pDevice;
        m_pDevice = nullptr;
        EXPECT_EQ(TfGetMemoryTracker()->m_GetRecordCount(), 0u);
        TfLibraryRelease();
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::ObjectNamespace& names() { return machine().GetNamespace(); }
    CScriptedDevice& Device()
    {
        if (m_pDevice == nullptr) m_pDevice = new (NonPagedPool) CScriptedDevice();
        return *m_pDevice;
    }
    BOOLEAN Create(const WCHAR* pszName, const WCHAR* pszLink, PDEVICE_OBJECT* ppDevice)
    {
        return CTfDevice::m_CreateDevice(m_driver.Driver(), pszName, FILE_DEVICE_SERIAL_PORT, pszLink, FALSE,
                                         &Device(), ppDevice);
    }
    std::u16string LinkName(const WCHAR* pszLink)
    {
        CTfString Name(NonPagedPool);
        if (!CTfDevice::sm_BuildLinkName(pszLink, Name)) return u"<failed>";
        return std::u16string(Name.m_GetWideBuffer(), Name.m_GetLength() / sizeof(WCHAR));
    }
    // No device object, device name or link of these names is left.
    void ExpectNothingLeft(const char16_t* deviceName, const char16_t* link)
    {
        EXPECT_EQ(names().LiveDeviceCount(), m_baseDevices);
        EXPECT_FALSE(names().Contains(deviceName));
        EXPECT_FALSE(names().Contains(link));
    }

    emu::testing::TestDriver m_driver{u"cvtest"};
    CScriptedDevice* m_pDevice = nullptr;
    size_t m_baseDevices = 0;
    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// ----- names and links ---------------------------------------------------------------------------

TEST_F(DeviceTest, NamedDeviceWithLinkOnEachWdmVersion)
{
    struct Case {
        UCHAR minor;
        const char16_t* prefix;
    } cases[] = {{0x10, u"\\??\\"}, {0x20, u"\\??\\"}, {0x00, u"\\DosDevices\\"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.minor);
        machine().SetWdmVersion(1, c.minor);
        EXPECT_EQ(LinkName(u"COM5"), std::u16string(c.prefix) + u"COM5");

        PDEVICE_OBJECT pDevice = nullptr;
        ASSERT_TRUE(Create(u"Port1", u"COM5", &pDevice));
        ASSERT_NE(pDevice, nullptr);
        auto info = names().Describe(pDevice);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->name, u"\\Device\\Port1");
        EXPECT_EQ(info->driver, m_driver.Driver());
        EXPECT_EQ(pDevice->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
        EXPECT_EQ(names().LinkTarget(u"\\??\\COM5"), u"\\Device\\Port1");
        EXPECT_EQ(names().LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\Port1");

        // The dispatch finds the framework object at once.
        CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDevice);
        ASSERT_NE(pHolder, nullptr);
        EXPECT_EQ(pHolder->m_Acquire(), &Device());
        pHolder->m_Release();

        EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, u"COM5"));
        ExpectNothingLeft(u"\\Device\\Port1", u"\\??\\COM5");
    }
}

TEST_F(DeviceTest, WithoutADeviceNameNoLinkIsMade)
{
    PDEVICE_OBJECT pDevice = nullptr;
    ASSERT_TRUE(Create(NULL, u"COM5", &pDevice));
    ASSERT_NE(pDevice, nullptr);
    EXPECT_EQ(names().Describe(pDevice)->name, u"");
    EXPECT_FALSE(names().Contains(u"\\??\\COM5"));
    EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, NULL));
    EXPECT_EQ(names().LiveDeviceCount(), m_baseDevices);

    // A name without a link is fine too.
    ASSERT_TRUE(Create(u"Port3", NULL, &pDevice));
    EXPECT_TRUE(names().Contains(u"\\Device\\Port3"));
    EXPECT_TRUE(names().Links().empty());
    EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, NULL));
    ExpectNothingLeft(u"\\Device\\Port3", u"\\??\\COM5");
}

TEST_F(DeviceTest, CreationFailuresLeaveNoDeviceObject)
{
    // The link name is taken: the new device object goes again.
    ASSERT_EQ(names().InsertLink(u"\\DosDevices\\COM5", u"\\Device\\Other"), STATUS_SUCCESS);
    PDEVICE_OBJECT pDevice = (PDEVICE_OBJECT)1;
    EXPECT_FALSE(Create(u"Port2", u"COM5", &pDevice));
    EXPECT_EQ(pDevice, nullptr);
    EXPECT_EQ(names().LiveDeviceCount(), m_baseDevices);
    EXPECT_FALSE(names().Contains(u"\\Device\\Port2"));
    EXPECT_EQ(names().LinkTarget(u"\\??\\COM5"), u"\\Device\\Other");

    // The device name is taken, or the system refuses.
    PDEVICE_OBJECT pFirst = nullptr;
    ASSERT_TRUE(Create(u"Port2", NULL, &pFirst));
    pDevice = (PDEVICE_OBJECT)1;
    EXPECT_FALSE(Create(u"Port2", u"COM6", &pDevice));
    EXPECT_EQ(pDevice, nullptr);
    EXPECT_FALSE(names().Contains(u"\\??\\COM6"));
    EXPECT_TRUE(CTfDevice::m_DeleteDevice(pFirst, NULL));
    names().FailNextDeviceCreate(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Create(u"Port2", u"COM6", &pDevice));
    ExpectNothingLeft(u"\\Device\\Port2", u"\\??\\COM6");
}

TEST_F(DeviceTest, EveryAllocationFailureDuringCreationLeavesNothing)
{
    Device();
    for (size_t n = 1; n <= 12; ++n) {
        SCOPED_TRACE(n);
        ULONG ulRecords = TfGetMemoryTracker()->m_GetRecordCount();
        PDEVICE_OBJECT pDevice = nullptr;
        machine().GetPool().FailNth(n);
        BOOLEAN bCreated = Create(u"Port1", u"COM5", &pDevice);
        machine().GetPool().FailNth(0);
        if (bCreated) {
            EXPECT_EQ(names().LinkTarget(u"\\??\\COM5"), u"\\Device\\Port1");
            EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, u"COM5"));
        } else {
            EXPECT_EQ(pDevice, nullptr);
        }
        ExpectNothingLeft(u"\\Device\\Port1", u"\\??\\COM5");
        EXPECT_EQ(TfGetMemoryTracker()->m_GetRecordCount(), ulRecords);
    }
}

TEST_F(DeviceTest, DeleteRemovesTheDeviceObjectEvenWhenTheLinkNameCannotBeBuilt)
{
    PDEVICE_OBJECT pDevice = nullptr;
    ASSERT_TRUE(Create(u"Port1", u"COM5", &pDevice));
    machine().GetPool().FailNth(1);
    EXPECT_FALSE(CTfDevice::m_DeleteDevice(pDevice, u"COM5"));
    machine().GetPool().FailNth(0);
    EXPECT_EQ(names().LiveDeviceCount(), m_baseDevices);
    EXPECT_FALSE(names().Contains(u"\\Device\\Port1"));
    // The name is free again for the next device.
    ASSERT_TRUE(names().Contains(u"\\??\\COM5"));
    EXPECT_EQ(names().Remove(u"\\??\\COM5"), STATUS_SUCCESS);
    ASSERT_TRUE(Create(u"Port1", u"COM5", &pDevice));
    EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, u"COM5"));
}

TEST_F(DeviceTest, DeleteWaitsForTheUserOfTheExtension)
{
    PDEVICE_OBJECT pDevice = nullptr;
    ASSERT_TRUE(Create(u"Port1", NULL, &pDevice));
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDevice);
    ASSERT_EQ(pHolder->m_Acquire(), &Device());

    // The deletion is staged: it runs on its own thread until it blocks on the gate's event, and
    // only the release below can let it go on.
    std::atomic<bool> bReturned{false};
    std::thread deleting([&] {
        EXPECT_TRUE(CTfDevice::m_DeleteDevice(pDevice, NULL));
        bReturned = true;
    });
    EXPECT_TRUE(machine().GetDispatcher().AwaitWaiters(pHolder->m_GetGate()->m_GetWaitObject(), 1));
    EXPECT_FALSE(bReturned);
    EXPECT_TRUE(names().Contains(u"\\Device\\Port1"));
    // Closed: a new request would find no object.
    EXPECT_FALSE(pHolder->m_GetGate()->m_IsOpen());

    pHolder->m_Release();
    deleting.join();
    EXPECT_FALSE(names().Contains(u"\\Device\\Port1"));
}

TEST_F(DeviceTest, AddedLinkPointsAtTheFunctionalDevicesName)
{
    machine().SetWdmVersion(1, 0x00);
    EXPECT_TRUE(CTfDevice::m_AddSymbolicLinkNameFor(u"Port12", u"COM7"));
    EXPECT_EQ(names().LinkTarget(u"\\??\\COM7"), u"\\Device\\Port12");
    EXPECT_FALSE(CTfDevice::m_AddSymbolicLinkNameFor(u"Port13", u"COM7"));
    EXPECT_EQ(names().LinkTarget(u"\\??\\COM7"), u"\\Device\\Port12");
    EXPECT_FALSE(CTfDevice::m_AddSymbolicLinkNameFor(NULL, u"COM8"));
    EXPECT_FALSE(CTfDevice::m_AddSymbolicLinkNameFor(u"Port12", NULL));
    machine().GetPool().FailNth(1);
    EXPECT_FALSE(CTfDevice::m_AddSymbolicLinkNameFor(u"Port12", u"COM8"));
    machine().GetPool().FailNth(0);
    EXPECT_FALSE(names().Contains(u"\\??\\COM8"));

    // Removed with the same prefix rule, under the other spelling.
    machine().SetWdmVersion(1, 0x10);
    EXPECT_TRUE(CTfDevice::m_DeleteDevice(NULL, u"COM7"));
    EXPECT_FALSE(names().Contains(u"\\DosDevices\\COM7"));
}

// ----- received data -----------------------------------------------------------------------------

CTfBuffer* Chunk(std::vector<UCHAR> bytes)
{
    CTfBuffer* pChunk = new (NonPagedPool) CTfBuffer();
    EXPECT_NE(pChunk, nullptr);
    EXPECT_TRUE(pChunk->m_Assign(bytes.data(), (ULONG)bytes.size()));
    return pChunk;
}

TEST_F(DeviceTest, ReceivedDataFillsAWaitingReadAndTheRestIsCounted)
{
    CTfReadQueue* pReads = Device().m_GetReadQueue();
    pReads->m_SetAccept(TRUE);
    Request read(IRP_MJ_READ, 3);
    EXPECT_EQ(pReads->m_QueueIrp(read.Irp()), STATUS_PENDING);
    EXPECT_EQ(Device().m_GetReadDataAmount(), 0u);

    {
        emu::testing::ScopedIrql dispatch(DISPATCH_LEVEL);
        Device().m_DataForPendingReadArrived(Chunk({1, 2, 3, 4, 5}));
    }
    ASSERT_TRUE(read.WaitCompleted());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Information(), 3u);
    EXPECT_EQ(std::vector<UCHAR>(read.Buffer().begin(), read.Buffer().end()), (std::vector<UCHAR>{1, 2, 3}));
    EXPECT_EQ(Device().m_GetReadDataAmount(), 2u);
    Device().m_DataForPendingReadArrived(Chunk({6}));
    EXPECT_EQ(Device().m_GetReadDataAmount(), 3u);
}

// The XOFF-counter send hook, recording what went out.
struct XoffSent {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<UCHAR> sent;

    static void Send(PVOID pContext, UCHAR ucChar)
    {
        auto* self = static_cast<XoffSent*>(pContext);
        std::lock_guard lock(self->mutex);
        self->sent.push_back(ucChar);
        self->changed.notify_all();
    }
    bool WaitSent()
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return !sent.empty(); });
    }
};

TEST_F(DeviceTest, AChunkLargerThanTheXoffCountCompletesTheCounterRequest)
{
    XoffSent xoff;
    CTfWriteQueue* pWrites = Device().m_GetWriteQueue();
    pWrites->m_SetXoffCounter(&XoffSent::Send, &xoff, 0, 3, 0x13);
    Request counter(IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_XOFF_COUNTER), IOCTL_SERIAL_XOFF_COUNTER);
    EXPECT_EQ(pWrites->m_QueueXoffCounterIrp(counter.Irp()), STATUS_PENDING);
    ASSERT_TRUE(xoff.WaitSent());
    EXPECT_EQ(counter.Completions(), 0);

    {
        emu::testing::ScopedIrql dispatch(DISPATCH_LEVEL);
        Device().m_DataForPendingReadArrived(Chunk({'a', 'b', 'c', 'd', 'e'}));
    }
    ASSERT_TRUE(counter.WaitCompleted());
    EXPECT_EQ(counter.Status(), STATUS_SUCCESS);
    EXPECT_EQ(counter.Information(), 0u);
    EXPECT_FALSE(pWrites->m_IsXoffCounterHeld());
    // The data itself is kept for the reads.
    EXPECT_EQ(Device().m_GetReadDataAmount(), 5u);
    std::lock_guard lock(xoff.mutex);
    EXPECT_EQ(xoff.sent, (std::vector<UCHAR>{0x13}));
}

TEST_F(DeviceTest, DestroyingTheDeviceEndsItsRequestsAndDeletesTheAuxiliaryObject)
{
    ULONG ulRecords = TfGetMemoryTracker()->m_GetRecordCount();
    Request read(IRP_MJ_READ, 4);
    CScriptedDevice* pDevice = new (NonPagedPool) CScriptedDevice();
    ASSERT_NE(pDevice, nullptr);
    pDevice->m_SetAuxiliaryObject(new (NonPagedPool) CTfObject());
    pDevice->m_GetReadQueue()->m_SetAccept(TRUE);
    EXPECT_EQ(pDevice->m_GetReadQueue()->m_QueueIrp(read.Irp()), STATUS_PENDING);
    pDevice->m_DataForPendingReadArrived(Chunk({9}));

    delete pDevice;
    ASSERT_TRUE(read.WaitCompleted());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Information(), 1u);
    EXPECT_EQ(TfGetMemoryTracker()->m_GetRecordCount(), ulRecords);
}

}  // namespace
