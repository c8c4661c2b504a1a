// Bulk transfers: the short-packet rules of a full-speed controller, halts and pipe resets, aborts,
// cancellation, injected faults, and unplugging with transfers pending.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "ex/work_queues.h"
#include "io/io_manager.h"
#include "pnp/pnp_manager.h"
#include "usb_test_support.h"

namespace emu::testing {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class UsbBulkTest : public UsbHostTest {
protected:
    void SetUp() override
    {
        UsbHostTest::SetUp();
        m_model = PlugScripted(ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), &m_device);
        m_pdo = m_device->Pdo();
        m_selection = SelectConfiguration(m_pdo);
        ASSERT_EQ(m_selection->status, USBD_STATUS_SUCCESS);
        m_in = m_selection->Pipe(kInEndpoint);
        m_out = m_selection->Pipe(kOutEndpoint);
    }
    void TearDown() override
    {
        m_selection.reset();  // pool memory: freed while the machine runs
        UsbHostTest::TearDown();
    }

    std::shared_ptr<ScriptedUsbDevice> m_model;
    usb::UsbDevice* m_device = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    std::unique_ptr<Selection> m_selection;
    USBD_PIPE_HANDLE m_in = nullptr;
    USBD_PIPE_HANDLE m_out = nullptr;
};

TEST_F(UsbBulkTest, AShortPacketEndsAnInTransferAndFailsItWithoutTheFlag)
{
    struct Case {
        const char* name;
        std::vector<size_t> packets;
        ULONG length;
        ULONG flags;
        USBD_STATUS status;
        ULONG transferred;
    };
    const Case cases[] = {
        {"full packets fill the buffer", {64, 64}, 128, 0, USBD_STATUS_SUCCESS, 128},
        {"short packet, flag set", {64, 10}, 256, USBD_SHORT_TRANSFER_OK, USBD_STATUS_SUCCESS, 74},
        {"short packet, no flag", {64, 10}, 256, 0, USBD_STATUS_DATA_UNDERRUN, 74},
        {"zero-length packet, flag set", {64, 0}, 256, USBD_SHORT_TRANSFER_OK, USBD_STATUS_SUCCESS, 64},
        {"short last packet that fills the buffer", {64, 10}, 74, 0, USBD_STATUS_SUCCESS, 74},
        {"more than the buffer holds", {64, 64}, 100, USBD_SHORT_TRANSFER_OK, USBD_STATUS_DATA_OVERRUN, 64},
    };
    uint8_t next = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> sent;
        for (size_t size : c.packets) {
            std::vector<uint8_t> packet = Bytes(size, next);
            next = static_cast<uint8_t>(next + size);
            sent.insert(sent.end(), packet.begin(), packet.end());
            m_model->QueueIn(kInEndpoint, packet);
        }
        std::vector<uint8_t> data(c.length);
        NTSTATUS irpStatus = STATUS_PENDING;
        EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | c.flags, &irpStatus), c.status);
        EXPECT_EQ(irpStatus, USBD_SUCCESS(c.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(data, std::vector<uint8_t>(sent.begin(), sent.begin() + c.transferred));
        if (USBD_SUCCESS(c.status)) continue;

        // The error halted the pipe: a transfer waits until the driver resets it.
        m_model->QueueIn(kInEndpoint, {0x42});
        auto waiting = StartBulk(m_pdo, m_in, 64, kIn | USBD_SHORT_TRANSFER_OK);
        Settle();
        EXPECT_FALSE(waiting->request.Done());
        EXPECT_EQ(PipeRequest(m_pdo, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_in), USBD_STATUS_SUCCESS);
        ASSERT_TRUE(waiting->request.Wait());
        EXPECT_EQ(waiting->Transferred(), 1u);
    }
}

TEST_F(UsbBulkTest, OutTransfersGoAsPacketsAndWaitWhileTheDeviceHasNoRoom)
{
    std::vector<uint8_t> data = Bytes(150, 0);
    EXPECT_EQ(Bulk(m_pdo, m_out, data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(m_model->TakeOut(kOutEndpoint), Bytes(150, 0));
    EXPECT_EQ(m_model->OutPacketsTaken(kOutEndpoint), 3u);

    std::vector<uint8_t> empty;
    EXPECT_EQ(Bulk(m_pdo, m_out, empty), USBD_STATUS_SUCCESS);  // a zero-length packet
    EXPECT_EQ(m_model->OutPacketsTaken(kOutEndpoint), 4u);

    m_model->SetOutRoom(kOutEndpoint, 64);
    auto pending = StartBulk(m_pdo, m_out, 128, 0, Bytes(128, 0));
    Settle();
    EXPECT_FALSE(pending->request.Done());
    EXPECT_EQ(m_model->TakeOut(kOutEndpoint), Bytes(64, 0));  // room again: the device tells the host
    ASSERT_TRUE(pending->request.Wait());
    EXPECT_EQ(pending->UrbStatus(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(pending->Transferred(), 128u);
    EXPECT_EQ(m_model->TakeOut(kOutEndpoint), Bytes(64, 64));
}

TEST_F(UsbBulkTest, AbortCompletesEveryTransferOfThePipeCancelled)
{
    auto first = StartBulk(m_pdo, m_in, 64, kIn);
    auto second = StartBulk(m_pdo, m_in, 64, kIn);
    auto other = StartBulk(m_pdo, m_out, 64, 0, Bytes(64, 0));
    ASSERT_TRUE(other->request.Wait());
    Settle();
    EXPECT_FALSE(first->request.Done());
    EXPECT_EQ(PipeRequest(m_pdo, URB_FUNCTION_ABORT_PIPE, m_in), USBD_STATUS_SUCCESS);
    for (auto* bulk : {first.get(), second.get()}) {
        ASSERT_TRUE(bulk->request.Done());
        EXPECT_EQ(bulk->request.Status(), STATUS_CANCELLED);
        EXPECT_EQ(bulk->UrbStatus(), USBD_STATUS_CANCELED);
    }
}

TEST_F(UsbBulkTest, AStalledEndpointHaltsThePipeUntilResetAndTheDeviceHearsOfTheReset)
{
    m_device->StallEndpoint(kInEndpoint);
    m_model->QueueIn(kInEndpoint, {1, 2, 3});
    std::vector<uint8_t> data(64);
    NTSTATUS irpStatus = STATUS_PENDING;
    EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | USBD_SHORT_TRANSFER_OK, &irpStatus), USBD_STATUS_STALL_PID);
    EXPECT_EQ(irpStatus, STATUS_UNSUCCESSFUL);

    auto waiting = StartBulk(m_pdo, m_in, 64, kIn | USBD_SHORT_TRANSFER_OK);
    Settle();
    EXPECT_FALSE(waiting->request.Done());
    EXPECT_EQ(PipeRequest(m_pdo, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_in), USBD_STATUS_SUCCESS);
    EXPECT_EQ(m_model->HaltsCleared(), std::vector<uint8_t>{kInEndpoint});
    ASSERT_TRUE(waiting->request.Wait());
    EXPECT_EQ(waiting->UrbStatus(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(waiting->Transferred(), 3u);
    EXPECT_EQ(waiting->request.CompletionIrql(), DISPATCH_LEVEL);  // from the host's DPC
}

TEST_F(UsbBulkTest, CancelledTransfersCompleteCancelledWithWhatMovedSoFar)
{
    auto in = StartBulk(m_pdo, m_in, 64, kIn);
    m_model->SetOutRoom(kOutEndpoint, 64);
    auto out = StartBulk(m_pdo, m_out, 200, 0, Bytes(200, 0));
    Settle();
    ASSERT_FALSE(out->request.Done());
    EXPECT_EQ(m_device->PendingTransfers(), 2u);
    EXPECT_TRUE(in->request.Cancel());
    EXPECT_TRUE(out->request.Cancel());
    for (auto* bulk : {in.get(), out.get()}) {
        ASSERT_TRUE(bulk->request.Wait());
        EXPECT_EQ(bulk->request.Status(), STATUS_CANCELLED);
        EXPECT_EQ(bulk->UrbStatus(), USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(in->Transferred(), 0u);
    EXPECT_EQ(out->Transferred(), 64u);
    EXPECT_EQ(m_device->PendingTransfers(), 0u);
    // A request that is no longer pending cannot be cancelled.
    EXPECT_FALSE(in->request.Cancel());

    // An IRP sent again without re-initialising it still carries its Cancel flag: the host
    // cancels it as soon as it would queue it (the data waiting is not taken).
    m_model->QueueIn(kInEndpoint, {9});
    UrbRequest stale(m_pdo);
    stale.Irp()->Cancel = TRUE;
    URB urb{};
    std::vector<uint8_t> buffer(64);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), m_in, buffer.data(),
                                           nullptr, 64, kIn | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(stale.Send(urb), STATUS_PENDING);
    ASSERT_TRUE(stale.Done());
    EXPECT_EQ(stale.Status(), STATUS_CANCELLED);
    EXPECT_EQ(m_model->InPacketsGiven(kInEndpoint), 0u);
}

TEST_F(UsbBulkTest, InjectedFaultsFailDropOrHoldTheRequestTheyMatch)
{
    // The second bulk IN fails with a transaction error (which halts the pipe).
    m_device->AddFault(usb::Fault::FailNth(usb::RequestKind::BulkIn, 2, USBD_STATUS_XACT_ERROR));
    m_model->QueueIn(kInEndpoint, {1});
    m_model->QueueIn(kInEndpoint, {2});
    std::vector<uint8_t> data(64);
    EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | USBD_SHORT_TRANSFER_OK), USBD_STATUS_SUCCESS);
    data.assign(64, 0);
    NTSTATUS irpStatus = STATUS_PENDING;
    EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | USBD_SHORT_TRANSFER_OK, &irpStatus), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(irpStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(PipeRequest(m_pdo, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_in), USBD_STATUS_SUCCESS);
    data.assign(64, 0);
    EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | USBD_SHORT_TRANSFER_OK), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{2});

    // A dropped vendor request never reaches the device and waits until cancelled.
    m_device->AddFault(usb::Fault::DropNext(usb::RequestKind::Control));
    const size_t controlsBefore = m_model->ControlLog().size();
    const uint64_t requestsBefore = m_device->RequestCount(usb::RequestKind::Control);
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          1, 0, 1, nullptr, nullptr, 0, nullptr);
    UrbRequest request(m_pdo);
    EXPECT_EQ(request.Send(urb), STATUS_PENDING);
    Settle();
    EXPECT_FALSE(request.Done());
    EXPECT_EQ(m_model->ControlLog().size(), controlsBefore);
    EXPECT_TRUE(request.Cancel());
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(m_device->RequestCount(usb::RequestKind::BulkIn), 3u);
    EXPECT_EQ(m_device->RequestCount(usb::RequestKind::Control), requestsBefore + 1);
}

TEST_F(UsbBulkTest, UnplugFailsEveryPendingTransferAndTheNodeGoes)
{
    auto in = StartBulk(m_pdo, m_in, 64, kIn);
    m_model->SetOutRoom(kOutEndpoint, 0);
    auto out = StartBulk(m_pdo, m_out, 64, 0, Bytes(64, 0));
    m_device->AddFault(usb::Fault::DropNext(usb::RequestKind::Control));
    URB vendor{};
    UsbBuildVendorRequest(&vendor, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                          0, 1, 0, 1, nullptr, nullptr, 0, nullptr);
    UrbRequest control(m_pdo);
    control.Send(vendor);
    Settle();
    const std::u16string path = machine().GetPnp().FindNode(m_pdo)->instancePath;

    Host().Unplug(*m_device);
    for (auto* bulk : {in.get(), out.get()}) {
        ASSERT_TRUE(bulk->request.Done());
        EXPECT_EQ(bulk->request.Status(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(bulk->UrbStatus(), USBD_STATUS_DEVICE_GONE);
    }
    ASSERT_TRUE(control.Done());
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(machine().GetPnp().FindNode(path));
    EXPECT_FALSE(m_model->IsAttached());
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(), 0u);
}

TEST_F(UsbBulkTest, AnUnplugAtTheNthRequestFailsItAndEveryRequestAfter)
{
    machine().GetWorkQueues().SetDeterministic(true);  // the tree hears of it only when the test drains
    m_device->AddFault(usb::Fault::UnplugAt(usb::RequestKind::BulkIn, 2));
    m_model->QueueIn(kInEndpoint, {1});
    std::vector<uint8_t> data(64);
    EXPECT_EQ(Bulk(m_pdo, m_in, data, kIn | USBD_SHORT_TRANSFER_OK), USBD_STATUS_SUCCESS);
    m_model->SetOutRoom(kOutEndpoint, 0);
    auto out = StartBulk(m_pdo, m_out, 64, 0, Bytes(64, 0));
    // The tree is told (its work is queued) before any driver hears its transfers failed.
    size_t queuedAtCompletion = 0;
    out->request.OnCompletion([&] { queuedAtCompletion = machine().GetWorkQueues().QueuedCount(); });
    auto in = StartBulk(m_pdo, m_in, 64, kIn | USBD_SHORT_TRANSFER_OK);
    ASSERT_TRUE(in->request.Wait());
    EXPECT_EQ(in->UrbStatus(), USBD_STATUS_DEVICE_GONE);
    ASSERT_TRUE(out->request.Wait());
    EXPECT_EQ(out->UrbStatus(), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(queuedAtCompletion, 1u);

    // The PDO is still there: what comes now fails at once.
    std::vector<uint8_t> none;
    EXPECT_EQ(Vendor(m_pdo, false, 1, 0, 1, none), USBD_STATUS_DEVICE_GONE);
    UrbRequest request(m_pdo);
    ULONG status = 0xFF;
    request.SendControl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
    EXPECT_EQ(status, 0u);
    request.SendControl(IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(request.Status(), STATUS_DEVICE_NOT_CONNECTED);

    const std::u16string path = machine().GetPnp().FindNode(m_pdo)->instancePath;
    machine().GetWorkQueues().DrainWorkQueues();
    machine().GetPnp().WaitIdle();
    EXPECT_FALSE(machine().GetPnp().FindNode(path));
}

}  // namespace
}  // namespace emu::testing
