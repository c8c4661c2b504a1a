// The USB library against the simulated chip on the machine's USB host: configuration, the port's
// vendor requests as the chip decodes them, transaction errors tried again after a port reset,
// the chip's status packets arriving every latency period on the bulk IN transfer, and an unplug
// with the transfer pending. No driver is bound: the test holds the USB device as a port would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cvusb.h"
#include "ex/pool.h"
#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "ftdi_chip_device.h"
#include "usb_host.h"
#include "usbfunction_fixture.h"

namespace enumdrvtest {
namespace {

constexpr char16_t kInstancePath[] = u"USB\\VID_0403&PID_6001\\EMU00001";
constexpr emu::devices::Time kMillisecond = emu::devices::kTimePerMillisecond;

struct Transfers {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> received;

    static void Callback(PVOID pContext, PVOID pData, ULONG ulLength)
    {
        auto* self = static_cast<Transfers*>(pContext);
        std::lock_guard lock(self->mutex);
        const uint8_t* bytes = static_cast<const uint8_t*>(pData);
        self->received.emplace_back(bytes, bytes + ulLength);
        self->changed.notify_all();
    }
    bool WaitFor(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return received.size() >= count; });
    }
};

class UsbLibraryOnChipTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override
    {
        emu::MachineOptions options;
        options.clockScale = 0;
        return options;
    }
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetUsb().Scheduler().SetPaced(false);
        ASSERT_TRUE(TfLibraryAddReference());
        m_baseline = machine().GetPool().LiveCount(TF_TAG_TRACKED);
        cvusbtest::WriteUsbDescription(machine().GetRegistry(), std::u16string(emu::kEnumKeyPath) + u"\\" +
                                                                    kInstancePath + u"\\Device Parameters");
        m_chip = std::make_unique<emu::devices::FtdiChip>();
        m_model = std::make_shared<emu::usb::FtdiChipDevice>(*m_chip);
        m_device = machine().GetUsb().Plug(m_model);
        ASSERT_NE(m_device, nullptr);
        m_pDevice = new (NonPagedPool) CUsbDevice();
        ASSERT_TRUE(m_pDevice->m_Init(m_device->Pdo()));
    }
    void TearDown() override
    {
        delete m_pDevice;
        if (m_device) machine().GetUsb().Unplug(*m_device);
        EXPECT_EQ(m_baseline, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    void Advance(LONGLONG time)
    {
        KeFlushQueuedDpcs();
        machine().GetClock().Advance(time);
        KeFlushQueuedDpcs();
    }
    emu::devices::PortState Port() { return m_model->Chip().Port(KeQueryInterruptTime(), 1); }
    CTfBuffer* NewBuffer(ULONG length)
    {
        CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
        EXPECT_TRUE(pBuffer->m_Allocate(length));
        return pBuffer;
    }
    bool WaitForPendingTransfers(size_t count)
    {
        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_device->PendingTransfers() != count && std::chrono::steady_clock::now() < bound)
            std::this_thread::yield();
        return m_device->PendingTransfers() == count;
    }

    size_t m_baseline = 0;
    std::unique_ptr<emu::devices::FtdiChip> m_chip;
    std::shared_ptr<emu::usb::FtdiChipDevice> m_model;
    emu::usb::UsbDevice* m_device = nullptr;
    CUsbDevice* m_pDevice = nullptr;
};

TEST_F(UsbLibraryOnChipTest, TheChipIsConfiguredAndDecodesThePortsRequests)
{
    EXPECT_TRUE(m_model->Chip().Configured());
    // 115200 baud as the divisor search gives it: divisor 26.
    EXPECT_TRUE(m_pDevice->m_VendorInterfaceRequestOUT(3, 0x001A, 0, nullptr));
    EXPECT_EQ(Port().settings.baud.integer, 26);
    EXPECT_NEAR(Port().settings.baud.Baud(), 3000000.0 / 26, 0.5);
    EXPECT_TRUE(m_pDevice->m_VendorInterfaceRequestOUT(9, 4, 1, nullptr));
    EXPECT_EQ(Port().settings.latencyMs, 4);
    // The status pair: modem status with its low nibble 1, line status with an idle transmitter.
    CTfBuffer* pStatus = NewBuffer(2);
    ASSERT_TRUE(m_pDevice->m_VendorInterfaceRequestIN(5, 0, 1, pStatus));
    EXPECT_EQ(pStatus->m_GetBytes()[0] & 0x0F, 0x01);
    EXPECT_EQ(pStatus->m_GetBytes()[1] & 0x60, 0x60);
    pStatus->m_Delete();
    CTfBuffer* pLatency = NewBuffer(1);
    ASSERT_TRUE(m_pDevice->m_VendorInterfaceRequestIN(10, 0, 1, pLatency));
    EXPECT_EQ(pLatency->m_GetBytes()[0], 4);
    pLatency->m_Delete();
    EXPECT_TRUE(m_model->Chip().ProtocolErrors().empty());
}

TEST_F(UsbLibraryOnChipTest, TransactionErrorsAreTriedAgainAfterAPortReset)
{
    emu::usb::Fault fault = emu::usb::Fault::FailNth(emu::usb::RequestKind::Control, 1, USBD_STATUS_XACT_ERROR);
    fault.count = 3;
    m_device->AddFault(fault);
    uint64_t resetsBefore = m_device->PortResetCount();
    BOOLEAN result = FALSE;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        result = m_pDevice->m_VendorInterfaceRequestOUT(3, 0x4138, 0, nullptr);
        done = true;
    });
    // Each failure is followed by a port reset and then the pause: the clock jumps 1 s for each
    // pause once its reset is seen (the requests themselves answer without bus time).
    int seconds = 0;
    while (!done) {
        if (m_device->PortResetCount() - resetsBefore > uint64_t(seconds) &&
            machine().GetDispatcher().AwaitTimedWaiters(1, std::chrono::milliseconds(20))) {
            machine().GetClock().Advance(emu::devices::kTimePerSecond);
            ++seconds;
        } else {
            std::this_thread::yield();
        }
    }
    sender.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(seconds, 3);
    EXPECT_EQ(m_device->PortResetCount() - resetsBefore, 3u);
    EXPECT_EQ(Port().settings.baud.value, 0x4138);
    // The port reset kept the configuration.
    EXPECT_TRUE(m_model->Chip().Configured());
}

TEST_F(UsbLibraryOnChipTest, TheBulkInBringsTheChipsStatusEveryLatencyPeriod)
{
    Transfers transfers;
    ASSERT_TRUE(m_pDevice->m_CreateReadTransfer(Transfers::Callback, &transfers));
    ASSERT_TRUE(m_pDevice->m_StartRead(1, 64));
    ASSERT_TRUE(WaitForPendingTransfers(1));
    EXPECT_TRUE(transfers.received.empty());
    for (size_t n = 1; n <= 3; ++n) {
        Advance(16 * kMillisecond);
        ASSERT_TRUE(transfers.WaitFor(n));
        ASSERT_TRUE(WaitForPendingTransfers(1));  // started again
    }
    std::lock_guard lock(transfers.mutex);
    for (const auto& packet : transfers.received) {
        ASSERT_EQ(packet.size(), 2u);
        EXPECT_EQ(packet[0] & 0x0F, 0x01);
        EXPECT_EQ(packet[1] & 0x60, 0x60);
    }
    EXPECT_TRUE(m_pDevice->m_StopRead());
}

TEST_F(UsbLibraryOnChipTest, AnUnplugEndsThePendingTransferForGood)
{
    Transfers transfers;
    ASSERT_TRUE(m_pDevice->m_CreateReadTransfer(Transfers::Callback, &transfers));
    ASSERT_TRUE(m_pDevice->m_StartRead(1, 64));
    ASSERT_TRUE(WaitForPendingTransfers(1));
    machine().GetUsb().Unplug(*m_device);
    m_device = nullptr;
    CUsbTransport* pTransport = m_pDevice->m_GetTransport();
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pTransport->m_GetState() != CVUSB_BULK_IN_INITIALISED && std::chrono::steady_clock::now() < bound)
        std::this_thread::yield();
    EXPECT_EQ(pTransport->m_GetState(), (ULONG)CVUSB_BULK_IN_INITIALISED);
    EXPECT_TRUE(transfers.received.empty());
    // Nothing waits for the clock to start it again. (The PDO itself went with the unplug: no
    // driver was attached to keep it.)
    EXPECT_FALSE(machine().GetDispatcher().AwaitTimedWaiters(1, std::chrono::milliseconds(50)));
}

}  // namespace
}  // namespace enumdrvtest
