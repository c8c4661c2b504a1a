// Framework I/O client: records queued on a child reach the client routine in order through the
// client's thread; the client registers its event and length cell at the child and takes them back
// before they are freed, also when its thread has already ended on a failed read.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ex/pool.h"
#include "cm/registry.h"
#include "fake_lower_device.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfioclient.h"
#include "tfmemorytracker.h"
#include "tfphysicaldevice.h"
#include "tfregistry.h"

namespace {

constexpr ULONG kTracked = emu::PoolTag("TfKi");
constexpr ULONG kEventTag = emu::PoolTag("TfKO");
constexpr char16_t kChildKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\CVBUS\\Client\\Device Parameters\\Child1";

struct Delivery {
    ULONG value;
    std::string data;
};

// The client routine's side: what arrived, in order.
class Receiver {
public:
    static void Routine(PVOID context, ULONG value, CTfBuffer* pBuffer)
    {
        auto* self = static_cast<Receiver*>(context);
        std::string data(reinterpret_cast<const char*>(pBuffer->m_GetData()), pBuffer->m_GetLength());
        pBuffer->m_Delete();
        std::lock_guard lock(self->m_mutex);
        self->m_deliveries.push_back({value, data});
        self->m_changed.notify_all();
    }
    bool WaitFor(size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_deliveries.size() >= count; });
    }
    std::vector<Delivery> Deliveries()
    {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;
};

class IoClientTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        m_baseEvents = machine().GetPool().LiveCount(kEventTag);  // the tracker's own blocks
        // Requests to the child reach its framework object as the framework's dispatch does it.
        for (UCHAR major : {IRP_MJ_READ, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
            m_driver.SetDispatch(major, [major](PDEVICE_OBJECT device, PIRP irp) {
                CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(device);
                auto* pDevice = static_cast<CTfDevice*>(pHolder->m_Acquire());
                if (pDevice == nullptr) return emu::testing::TestDriver::Complete(irp, STATUS_DELETE_PENDING);
                NTSTATUS status = major == IRP_MJ_READ ? pDevice->m_Dispatch_Read(irp)
                                                       : pDevice->m_Dispatch_InternalDeviceControl(irp);
                pHolder->m_Release();
                return status;
            });
        }
    }
    void TearDown() override
    {
        delete m_pClient;
        m_pClient = nullptr;
        delete m_pPdo;
        m_pPdo = nullptr;
        EXPECT_EQ(machine().GetPool().LiveCount(kEventTag), m_baseEvents);
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    // A child serving its records to a read client.
    CTfPhysicalDevice* MakeServer()
    {
        emu::Registry& registry = machine().GetRegistry();
        EXPECT_TRUE(registry.CreateKey(kChildKey));
        registry.SetDword(kChildKey, u"ContextID", 1);
        registry.SetDword(kChildKey, u"TypeOfDevice", FILE_DEVICE_UNKNOWN);
        registry.SetString(kChildKey, u"DeviceName", u"CvServer");
        registry.SetString(kChildKey, u"DeviceTextDescription", u"Server");
        registry.SetString(kChildKey, u"BusQueryDeviceID", u"CVBUS\\SERVER");
        registry.SetString(kChildKey, u"BusQueryHardwareIDs", u"CVBUS\\SERVER");
        registry.SetString(kChildKey, u"BusTypeGuid", u"{862AB446-2AA7-4B60-8945-F579C09F36CB}");
        registry.SetDword(kChildKey, u"LegacyBusType", 15);
        registry.SetDword(kChildKey, u"ReadServerType", TF_READ_SERVER_CLIENT_RECORD);
        CTfString Path(PagedPool, (const WCHAR*)kChildKey);
        HANDLE hKey = nullptr;
        EXPECT_TRUE(CTfRegistry::m_OpenKey(Path, &hKey, KEY_READ, FALSE));
        BOOLEAN bSuccess = FALSE;
        m_pPdo = new (NonPagedPool) CTfPhysicalDevice(m_driver.Driver(), nullptr, hKey, 0, &bSuccess);
        ZwClose(hKey);
        EXPECT_TRUE(bSuccess);
        return m_pPdo;
    }
    BOOLEAN Put(ULONG value, const std::string& data)
    {
        auto* pBuffer = new (NonPagedPool) CTfBuffer();
        if (!data.empty()) {
            EXPECT_TRUE(pBuffer->m_Assign(data.data(), (ULONG)data.size()));
        }
        BOOLEAN bQueued = m_pPdo->m_PutReadRecord(value, pBuffer);
        if (!bQueued) pBuffer->m_Delete();
        return bQueued;
    }

    emu::testing::TestDriver m_driver{u"cvserver"};
    CTfPhysicalDevice* m_pPdo = nullptr;
    CTfIoClient* m_pClient = nullptr;
    Receiver m_receiver;
    size_t m_baseEvents = 0;
    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

TEST_F(IoClientTest, RecordsReachTheRoutineInOrder)
{
    ASSERT_NE(MakeServer(), nullptr);
    EXPECT_FALSE(Put(1, "lost"));  // no client yet

    m_pClient = new (NonPagedPool) CTfIoClient(m_pPdo->m_GetDeviceObject());
    ASSERT_TRUE(m_pClient->m_Start(&Receiver::Routine, &m_receiver));
    EXPECT_TRUE(m_pClient->m_IsRunning());
    EXPECT_TRUE(m_pPdo->m_HasReadClient());
    EXPECT_FALSE(m_pClient->m_Start(&Receiver::Routine, &m_receiver));  // once only

    ASSERT_TRUE(Put(0x11223344, "hello"));
    ASSERT_TRUE(Put(2, ""));
    ASSERT_TRUE(Put(3, std::string(300, 'z')));
    ASSERT_TRUE(m_receiver.WaitFor(3));
    auto deliveries = m_receiver.Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[0].value, 0x11223344u);
    EXPECT_EQ(deliveries[0].data, "hello");
    EXPECT_EQ(deliveries[1].value, 2u);
    EXPECT_EQ(deliveries[1].data, "");
    EXPECT_EQ(deliveries[2].data, std::string(300, 'z'));

    // Gone: the child forgets the client before its event is freed.
    delete m_pClient;
    m_pClient = nullptr;
    EXPECT_FALSE(m_pPdo->m_HasReadClient());
    EXPECT_FALSE(Put(4, "late"));
}

TEST_F(IoClientTest, StartFailsCleanlyWhenTheChildRefuses)
{
    emu::testing::FakeLowerDevice lower(1, DO_BUFFERED_IO);
    lower.SetBehaviour(emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_INVALID_PARAMETER));
    size_t events = machine().GetPool().LiveCount(kEventTag);
    CTfIoClient* pClient = new (NonPagedPool) CTfIoClient(lower.Device());
    EXPECT_FALSE(pClient->m_Start(&Receiver::Routine, &m_receiver));
    EXPECT_FALSE(pClient->m_IsRunning());
    EXPECT_EQ(machine().GetPool().LiveCount(kEventTag), events);
    delete pClient;
    EXPECT_EQ(lower.ReceivedCount(), 1u);  // the registration only
}

TEST_F(IoClientTest, ThreadEndedOnAFailedOrShortReadStillDeregistersBeforeFreeing)
{
    // Reads the client cannot take a record from: it ends its thread without calling the routine,
    // and still takes its event and cell back from the server before freeing them.
    struct Case {
        const char* name;
        emu::testing::FakeLowerDevice::Behaviour read;
    };
    const Case cases[] = {
        {"failed read", emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_UNSUCCESSFUL)},
        {"read shorter than the record header",
         emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_SUCCESS, 2, {0x11, 0x22})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::testing::FakeLowerDevice lower(1, DO_BUFFERED_IO);
        lower.SetBehaviour(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                           emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_SUCCESS));
        lower.SetBehaviour(IRP_MJ_READ, c.read);
        size_t events = machine().GetPool().LiveCount(kEventTag);
        CTfIoClient* pClient = new (NonPagedPool) CTfIoClient(lower.Device());
        ASSERT_TRUE(pClient->m_Start(&Receiver::Routine, &m_receiver));
        EXPECT_EQ(machine().GetPool().LiveCount(kEventTag), events + 1);

        // Act as the server: announce an 8-byte record; the read is not usable and the thread ends.
        auto received = lower.Received();
        ASSERT_EQ(received.size(), 1u);
        ASSERT_EQ(received[0].ioControlCode, (ULONG)IOCTL_TF_REGISTER_READ_CLIENT);
        ASSERT_EQ(received[0].input.size(), sizeof(TF_READ_CLIENT_REGISTRATION));
        TF_READ_CLIENT_REGISTRATION registration;
        std::memcpy(&registration, received[0].input.data(), sizeof(registration));
        ASSERT_NE(registration.pEvent, nullptr);
        *registration.pulLengthCell = 8;
        KeSetEvent(registration.pEvent, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(lower.WaitForReceived(2));
        EXPECT_EQ(lower.Received()[1].major, IRP_MJ_READ);
        EXPECT_EQ(lower.Received()[1].length, 8u);

        delete pClient;
        received = lower.Received();
        ASSERT_EQ(received.size(), 3u) << "one read only";
        EXPECT_EQ(received[2].ioControlCode, (ULONG)IOCTL_TF_REGISTER_READ_CLIENT);
        TF_READ_CLIENT_REGISTRATION none;
        std::memcpy(&none, received[2].input.data(), sizeof(none));
        EXPECT_EQ(none.pEvent, nullptr);
        EXPECT_EQ(none.pulLengthCell, nullptr);
        EXPECT_EQ(machine().GetPool().LiveCount(kEventTag), events);
        EXPECT_TRUE(m_receiver.Deliveries().empty());
    }
}

TEST_F(IoClientTest, RecordQueueFollowsItsHead)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG cell = 0;
    auto* pRecord = new (NonPagedPool) CTfReadClientRecord(&event, &cell);
    auto* pData = new (NonPagedPool) CTfBuffer();
    ASSERT_TRUE(pData->m_Assign("ab", 2));
    ASSERT_TRUE(pRecord->m_Put(7, pData));
    ASSERT_TRUE(pRecord->m_Put(8, nullptr));
    EXPECT_EQ(cell, 6u);
    EXPECT_EQ(pRecord->m_GetCount(), 2u);

    UCHAR out[8] = {};
    EXPECT_FALSE(pRecord->m_Get(out, 4));
    EXPECT_FALSE(pRecord->m_Get(out, 3));
    EXPECT_TRUE(pRecord->m_Get(out, 6));
    EXPECT_EQ(std::memcmp(out, "\x07\x00\x00\x00" "ab", 6), 0);
    EXPECT_EQ(cell, 4u);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_TRUE(pRecord->m_Get(out, 4));
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    // Detached: the client's cell and event are no longer touched, and nothing is queued.
    ASSERT_TRUE(pRecord->m_Put(9, nullptr));
    pRecord->m_DetachClient();
    EXPECT_EQ(cell, 0u);
    cell = 1234;
    EXPECT_FALSE(pRecord->m_Put(10, nullptr));
    EXPECT_EQ(cell, 1234u);
    delete pRecord;  // frees the record still queued
}

}  // namespace
