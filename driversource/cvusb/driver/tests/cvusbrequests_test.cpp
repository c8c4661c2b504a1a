// The USB request routines: vendor requests tried again after transaction errors and time-outs
// (with a port reset and a pause each time), requests refused rather than sent unwaited above
// APC_LEVEL, and bulk writes that report what the device took and can be ended.

#include "usbfunction_fixture.h"

namespace cvusbtest {
namespace {

class UsbRequestsTest : public UsbFunctionTest {
protected:
    void SetUp() override
    {
        UsbFunctionTest::SetUp();
        WriteRegistry();
        ASSERT_NE(NewDevice(), nullptr);
        m_pUsb = m_pDevice->m_GetTransport();
    }

    CUsb* m_pUsb = nullptr;
};

TEST_F(UsbRequestsTest, AVendorRequestIsTriedAgainOnlyAfterATransactionErrorOrATimeOut)
{
    using O = VendorOutcome;
    struct Case {
        const char* what;
        std::vector<VendorOutcome> script;
        bool result;
        size_t attempts, resets;
        int seconds;  // virtual time the request took
    };
    std::vector<Case> cases = {
        {"ten transaction errors", std::vector<O>(10, O::XactError), false, 10, 9, 9},
        {"three, then success", {O::XactError, O::XactError, O::XactError}, true, 4, 3, 3},
        // A request that never answers is cancelled after 1 s, then tried again after 1 s more.
        {"a hang, then success", {O::Hang}, true, 2, 1, 2},
        {"a hang, then a transaction error, then success", {O::Hang, O::XactError}, true, 3, 2, 3},
        {"a stall", {O::Stall}, false, 1, 0, 0},
        {"device gone", {O::DeviceGone}, false, 1, 0, 0},
        {"success", {}, true, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t requestsBefore = m_usb.VendorRequests().size();
        size_t resetsBefore = m_usb.PortResets();
        ULONG countedBefore = m_pUsb->m_GetPortResetCount();
        m_usb.ScriptVendor(c.script);
        BOOLEAN result = FALSE;
        int jumps = RunWithClock([&] {
            result = m_pUsb->m_VendorRequest(URB_FUNCTION_VENDOR_INTERFACE, 9, 16, 1, FALSE, nullptr);
        });
        EXPECT_EQ(result != FALSE, c.result);
        EXPECT_EQ(m_usb.VendorRequests().size() - requestsBefore, c.attempts);
        EXPECT_EQ(m_usb.PortResets() - resetsBefore, c.resets);
        EXPECT_EQ(m_pUsb->m_GetPortResetCount() - countedBefore, c.resets);
        EXPECT_EQ(jumps, c.seconds);
    }
}

TEST_F(UsbRequestsTest, AboveApcLevelARequestIsRefusedRatherThanSentUnwaited)
{
    USBD_PIPE_HANDLE hOut = nullptr;
    ASSERT_TRUE(m_pDevice->m_GetPipeHandle(2, &hOut));
    CTfBuffer* pData = NewBuffer(8);
    ULONG ulTransferred = 77;
    {
        emu::testing::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_FALSE(m_pUsb->m_VendorRequest(URB_FUNCTION_VENDOR_INTERFACE, 1, 0x0101, 1, FALSE, nullptr));
        EXPECT_FALSE(m_pUsb->m_SendData(pData, hOut, TRUE, &ulTransferred));
    }
    EXPECT_EQ(ulTransferred, 0u);
    EXPECT_TRUE(m_usb.VendorRequests().empty());
    EXPECT_TRUE(m_usb.BulkOut().empty());
    // At APC_LEVEL it is made and waited for.
    {
        emu::testing::ScopedIrql apc(APC_LEVEL);
        EXPECT_TRUE(m_pUsb->m_VendorRequest(URB_FUNCTION_VENDOR_INTERFACE, 1, 0x0101, 1, FALSE, nullptr));
    }
    ASSERT_EQ(m_usb.VendorRequests().size(), 1u);
    EXPECT_EQ(m_usb.VendorRequests()[0].value, 0x0101);
    pData->m_Delete();
}

TEST_F(UsbRequestsTest, ABulkWriteReportsWhatTheDeviceTook)
{
    USBD_PIPE_HANDLE hOut = nullptr;
    ASSERT_TRUE(m_pDevice->m_GetPipeHandle(2, &hOut));
    CTfBuffer* pData = NewBuffer(30);
    ULONG ulTransferred = 0;
    m_usb.SetBulkOutAccept(10);
    EXPECT_TRUE(m_pUsb->m_SendData(pData, hOut, FALSE, &ulTransferred));
    EXPECT_EQ(ulTransferred, 10u);
    m_usb.SetBulkOutAccept(std::nullopt);
    EXPECT_TRUE(m_pUsb->m_SendData(pData, hOut, FALSE, &ulTransferred));
    EXPECT_EQ(ulTransferred, 30u);
    pData->m_Delete();
}

TEST_F(UsbRequestsTest, AWriteTheDeviceNeverTakesEndsWhenCancelled)
{
    USBD_PIPE_HANDLE hOut = nullptr;
    ASSERT_TRUE(m_pDevice->m_GetPipeHandle(2, &hOut));
    m_usb.SetBulkOutHang(true);
    CTfBuffer* pData = NewBuffer(64);
    ULONG ulTransferred = 99;
    BOOLEAN result = TRUE;
    CallWithinBound([&] { result = m_pUsb->m_SendData(pData, hOut, FALSE, &ulTransferred); },
                    [&] {
                        ASSERT_TRUE(m_usb.WaitForPending(1));
                        m_pUsb->m_CancelSendData();
                    },
                    "the write");
    // Nothing else to cancel: a second cancel is harmless.
    m_pUsb->m_CancelSendData();
    EXPECT_FALSE(result);
    EXPECT_EQ(ulTransferred, 0u);
    pData->m_Delete();
}

}  // namespace
}  // namespace cvusbtest
