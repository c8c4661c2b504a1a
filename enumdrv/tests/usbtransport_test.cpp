// The port's transport: initialisation, connect and disconnect with the spare IRP, the receive
// handed to the port as buffers of its own, the settings requests with the port index, and writes
// that succeed only when every byte was taken.
#include <mutex>

#include "usbfunction_fixture.h"
#include "usbtransport.h"

namespace enumdrvtest {
namespace {

constexpr USHORT kPortIndex = 3;

struct Client {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> received;

    static BOOLEAN Receive(PVOID pClient, CTfBuffer* pBuffer)
    {
        auto* self = static_cast<Client*>(pClient);
        std::lock_guard lock(self->mutex);
        self->received.emplace_back(pBuffer->m_GetBytes(), pBuffer->m_GetBytes() + pBuffer->m_GetLength());
        pBuffer->m_Delete();
        return TRUE;
    }
    size_t Count()
    {
        std::lock_guard lock(mutex);
        return received.size();
    }
};

class UsbTransportTest : public cvusbtest::UsbFunctionTest {
protected:
    void SetUp() override
    {
        UsbFunctionTest::SetUp();
        WriteRegistry();
        m_pTransport = new (NonPagedPool) CUSBTransport(Pdo(), CV_TRANSPORT_READ_HANDLE, CV_TRANSPORT_WRITE_HANDLE,
                                                        kPortIndex);
        ASSERT_NE(m_pTransport, nullptr);
    }
    void TearDown() override
    {
        delete m_pTransport;
        UsbFunctionTest::TearDown();
    }
    CUSBTransport* m_pTransport = nullptr;
    Client m_client;
};

TEST_F(UsbTransportTest, InitConnectsTheUsbDeviceAndDisconnectStopsTheReceive)
{
    CUSBTransport* pNoDevice = new (NonPagedPool) CUSBTransport(nullptr, 1, 2, 1);
    EXPECT_FALSE(pNoDevice->m_Init());
    delete pNoDevice;

    ASSERT_TRUE(m_pTransport->m_Init());
    EXPECT_EQ(m_usb.Selections(), 1u);
    ASSERT_TRUE(m_pTransport->m_Connect());
    EXPECT_TRUE(m_pTransport->m_IsSpareIrpAllocated());
    m_pTransport->m_SetClient(&m_client, Client::Receive);
    ASSERT_TRUE(m_pTransport->m_ReadStart(64));
    EXPECT_EQ(m_usb.PendingBulkIn(), 1u);
    EXPECT_TRUE(m_pTransport->m_Disconnect());
    EXPECT_EQ(m_usb.PendingBulkIn(), 0u);
    EXPECT_FALSE(m_pTransport->m_IsSpareIrpAllocated());
    EXPECT_TRUE(m_pTransport->m_DeInit());
    // Without its device every call fails.
    EXPECT_FALSE(m_pTransport->m_ReadStart(64));
    EXPECT_FALSE(m_pTransport->m_WriteSettings(0, 0, kPortIndex));
}

TEST_F(UsbTransportTest, EachReceivedTransferReachesThePortAsABufferOfItsOwn)
{
    ASSERT_TRUE(m_pTransport->m_Init());
    m_pTransport->m_SetClient(&m_client, Client::Receive);
    ASSERT_TRUE(m_pTransport->m_ReadStart(64));
    ASSERT_TRUE(m_pTransport->m_SetInterruptPipeBufferSize(256));
    std::vector<uint8_t> packet = {0x01, 0x60, 'a', 'b', 'c'};
    ASSERT_TRUE(m_usb.CompleteBulkIn(packet));
    ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1));
    // One byte is not even a status pair: nothing for the port.
    ASSERT_TRUE(m_usb.CompleteBulkIn({0x01}));
    ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1));
    ASSERT_TRUE(m_usb.CompleteBulkIn({0x01, 0x60}));
    ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1));
    EXPECT_EQ(m_usb.BulkInLengths(), (std::vector<ULONG>{64, 256, 256, 256}));
    ASSERT_EQ(m_client.Count(), 2u);
    EXPECT_EQ(m_client.received[0], packet);
    EXPECT_EQ(m_client.received[1], (std::vector<uint8_t>{0x01, 0x60}));

    // A transfer that finds no port to take it is an impossible state, reported.
    m_pTransport->m_SetClient(nullptr, nullptr);
    ASSERT_TRUE(m_usb.CompleteBulkIn(packet));
    ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1));
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
    EXPECT_TRUE(m_pTransport->m_ReadStop());
}

TEST_F(UsbTransportTest, SettingsRequestsCarryThePortIndex)
{
    ASSERT_TRUE(m_pTransport->m_Init());
    m_usb.SetVendorInData(5, {0x31, 0x60});
    EXPECT_TRUE(m_pTransport->m_WriteSettings(1, 0x0101, kPortIndex));
    CTfBuffer* pStatus = NewBuffer(2);
    EXPECT_TRUE(m_pTransport->m_ReadSettings(5, pStatus));
    EXPECT_EQ(pStatus->m_GetBytes()[1], 0x60);
    pStatus->m_Delete();
    std::vector<cvusbtest::VendorRecord> requests = m_usb.VendorRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request, 1);
    EXPECT_EQ(requests[0].value, 0x0101);
    EXPECT_EQ(requests[0].index, kPortIndex);
    EXPECT_FALSE(requests[0].in);
    EXPECT_EQ(requests[1].request, 5);
    EXPECT_EQ(requests[1].value, 0);
    EXPECT_EQ(requests[1].index, kPortIndex);
    EXPECT_TRUE(requests[1].in);
    EXPECT_EQ(requests[1].length, 2u);
}

TEST_F(UsbTransportTest, AWriteSucceedsOnlyWhenEveryByteWasTaken)
{
    ASSERT_TRUE(m_pTransport->m_Init());
    CTfBuffer* pData = NewBuffer(30);
    ULONG ulWritten = 0;
    EXPECT_TRUE(m_pTransport->m_Write(pData, &ulWritten, CV_TRANSPORT_DEFAULT_ENDPOINT));
    EXPECT_EQ(ulWritten, 30u);
    m_usb.SetBulkOutAccept(10);
    EXPECT_FALSE(m_pTransport->m_Write(pData, &ulWritten, CV_TRANSPORT_DEFAULT_ENDPOINT));
    EXPECT_EQ(ulWritten, 10u);
    // An endpoint handle no pipe carries.
    EXPECT_FALSE(m_pTransport->m_Write(pData, &ulWritten, 7));
    EXPECT_EQ(ulWritten, 0u);
    EXPECT_EQ(m_usb.BulkOut().size(), 2u);

    // A write the device never takes ends when the port cancels it.
    m_usb.SetBulkOutHang(true);
    BOOLEAN result = TRUE;
    cvusbtest::CallWithinBound([&] { result = m_pTransport->m_Write(pData, &ulWritten, CV_TRANSPORT_DEFAULT_ENDPOINT); },
                               [&] {
                                   ASSERT_TRUE(m_usb.WaitForPending(1));
                                   m_pTransport->m_CancelWrite();
                               },
                               "the write");
    EXPECT_FALSE(result);
    EXPECT_EQ(ulWritten, 0u);
    pData->m_Delete();
}

}  // namespace
}  // namespace enumdrvtest
