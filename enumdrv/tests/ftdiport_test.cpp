// The FTDI port object of Enumdrv39.sys on a simulated chip, driven through its ISerial record by
// a client that plays the COM port driver: the vendor requests of open, settings and close as the
// chip logged them, the rate programmed into the chip, the status bytes of each bulk IN packet,
// data through a loopback plug and from a scripted far end, the write reports paced by the FIFO
// emulation at 9600 baud, and a close that never hangs on a chip that takes nothing.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "adapter_fixture.h"
#include "cable.h"
#include "ftdi1port.h"
#include "ke/clock.h"
#include "kernel.h"
#include "port_client.h"
#include "scripted_peer.h"
#include "tfmemorytracker.h"

namespace enumdrvtest {
namespace {

namespace chip = emu::devices;
using Request = std::tuple<int, int, int>;  // bRequest, wValue, wIndex

class FtdiPortTest : public AdapterTest {
protected:
    void SetUp() override
    {
        AdapterTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        m_client.reset();
        if (m_pISerial != nullptr) {
            EXPECT_EQ(ReleaseISerial(1, m_pISerial), STATUS_SUCCESS);
        }
        m_peer.reset();
        TfLibraryRelease();
        AdapterTest::TearDown();
    }

    // Plugs the chip and creates the port's record, with the client on it.
    void Attach(chip::ChipConfig config = chip::ChipConfig::SinglePort())
    {
        Plug(std::move(config));
        m_pISerial = CreateISerial(1);
        ASSERT_NE(m_pISerial, nullptr);
        m_client = std::make_unique<PortClient>(m_pISerial);
        m_chip->ClearRequestLog();
    }
    CFTDI1Port* Port() { return static_cast<CFTDI1Port*>(m_pISerial->m_pOwner); }
    const ISERIAL_OPERATIONS& Ops() { return m_pISerial->m_Operations; }
    CSerialPortProvider* Owner() { return m_pISerial->m_pOwner; }

    chip::Time Now() { return static_cast<chip::Time>(KeQueryInterruptTime()); }
    chip::PortState ChipPort() { return m_chip->Port(Now(), 1); }

    // The vendor requests the chip saw since the last call.
    std::vector<Request> Vendor()
    {
        std::vector<Request> requests;
        for (const chip::RequestRecord& record : m_chip->RequestLog())
            if ((record.setup.requestType & 0x60) == 0x40)
                requests.emplace_back(record.setup.request, record.setup.value, record.setup.index);
        m_chip->ClearRequestLog();
        return requests;
    }

    // Moves the machine clock on in steps until the predicate holds (each step gives the port's
    // threads a moment to catch up with what the step made happen).
    bool AdvanceUntil(const std::function<bool()>& predicate, chip::Time step = chip::kTimePerMillisecond,
                      int steps = 5000)
    {
        for (int i = 0; i < steps; ++i) {
            if (m_client->WaitFor(predicate, std::chrono::milliseconds(2))) return true;
            machine().GetClock().Advance(step);
            KeFlushQueuedDpcs();
        }
        return m_client->WaitFor(predicate, std::chrono::milliseconds(100));
    }

    // Moves the clock on by whole milliseconds, one at a time.
    void Run(int milliseconds)
    {
        for (int i = 0; i < milliseconds; ++i) {
            machine().GetClock().Advance(chip::kTimePerMillisecond);
            KeFlushQueuedDpcs();
            m_client->WaitFor([] { return false; }, std::chrono::milliseconds(1));
        }
    }

    void Open(ULONG rate = 115200)
    {
        ASSERT_TRUE(Ops().pConnect(Owner()));
        ASSERT_TRUE(Ops().pSetBaudRate(Owner(), rate));
        ASSERT_TRUE(Ops().pCommSettings(Owner(), 3, 0, 0));
        // Receive transfers as the policy sizes them.
        ASSERT_TRUE(Ops().pTriggerLevels(Owner(), 1, 14, 0));
    }

    ISerial* m_pISerial = nullptr;
    std::unique_ptr<PortClient> m_client;
    std::shared_ptr<chip::ScriptedPeer> m_peer;
};

TEST_F(FtdiPortTest, OpenSendsItsRequestsInOrderAndTheFirstRateReachesTheChip)
{
    Attach();
    ASSERT_TRUE(Ops().pConnect(Owner()));
    // Reset, latency (receive trigger level 1: 16 ms), modem status, error and event characters off.
    EXPECT_EQ(Vendor(), (std::vector<Request>{{0, 0, 1}, {9, 16, 1}, {5, 0, 1}, {7, 0, 1}, {6, 0, 1}}));
    EXPECT_EQ(m_client->WrittenCalls(), std::vector<ULONG>{4096});
    // The chip powers up at 9600: the port driver's first 115200 must be sent although it is the
    // port's working rate already.
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 115200));
    EXPECT_EQ(Vendor(), (std::vector<Request>{{3, 0x001A, 0}, {9, 16, 1}}));
    EXPECT_EQ(ChipPort().settings.baud.value, 0x001A);
    // The same rate again: nothing.
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 115200));
    EXPECT_TRUE(Vendor().empty());
    // Open at 9600, close, open again at 115200: the chip runs at 115200.
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 9600));
    ASSERT_TRUE(Ops().pDisconnect(Owner()));
    ASSERT_TRUE(Ops().pConnect(Owner()));
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 115200));
    EXPECT_EQ(ChipPort().settings.baud.value, 0x001A);
    // Closing a closed port sends nothing.
    ASSERT_TRUE(Ops().pDisconnect(Owner()));
    Vendor();
    EXPECT_TRUE(Ops().pDisconnect(Owner()));
    EXPECT_TRUE(Vendor().empty());
    EXPECT_TRUE(m_chip->ProtocolErrors().empty());
}

TEST_F(FtdiPortTest, SettingsSendTheirRequestsAndTheChipDecodesThem)
{
    Attach();
    ASSERT_TRUE(Ops().pConnect(Owner()));
    ULONG maximum = 0;
    ASSERT_TRUE(Ops().pGetMaximumBaudRate(Owner(), &maximum));
    EXPECT_EQ(maximum, 1000000u);
    ASSERT_TRUE(Port()->m_SetMaximumBaudRate(3000000));
    Vendor();
    struct Case {
        ULONG rate;
        int value;
        double baud;
    } cases[] = {{3000000, 0x0000, 3000000}, {2000000, 0x0001, 2000000}, {921600, 0x8003, 923077},
                 {9600, 0x4138, 9600}, {300, 0x2710, 300}};
    for (const Case& c : cases) {
        ASSERT_TRUE(Ops().pSetBaudRate(Owner(), c.rate)) << c.rate;
        EXPECT_EQ(ChipPort().settings.baud.value, c.value) << c.rate;
        EXPECT_NEAR(ChipPort().settings.baud.Baud(), c.baud, c.baud / 1000) << c.rate;
    }
    EXPECT_FALSE(Ops().pSetBaudRate(Owner(), 2400000));
    EXPECT_FALSE(Ops().pIsBaudRateSettable(Owner(), 183));
    EXPECT_TRUE(Ops().pIsBaudRateSettable(Owner(), 184));
    Vendor();
    ASSERT_TRUE(Ops().pSetDtr(Owner(), TRUE));
    ASSERT_TRUE(Ops().pSetRts(Owner(), TRUE));
    ASSERT_TRUE(Ops().pCommSettings(Owner(), 2, 2, 2));  // 7 data bits, even parity, two stop bits
    ASSERT_TRUE(Ops().pCommSettings(Owner(), 2, 2, 2));  // unchanged: no request
    ASSERT_TRUE(Ops().pSetBreak(Owner(), TRUE));
    ASSERT_TRUE(Ops().pSetBreak(Owner(), FALSE));
    ASSERT_TRUE(Ops().pHandshaking(Owner(), TRUE, TRUE, FALSE, FALSE, FALSE, FALSE, TRUE, TRUE, FALSE, FALSE, FALSE,
                                   FALSE));
    EXPECT_EQ(Vendor(), (std::vector<Request>{{1, 0x0101, 1},
                                              {1, 0x0202, 1},
                                              {4, 0x1207, 1},
                                              {4, 0x5207, 1},
                                              {4, 0x1207, 1},
                                              {2, 0x1311, 0x0501}}));
    EXPECT_TRUE(ChipPort().settings.modemControl.dtr);
    EXPECT_TRUE(m_chip->ProtocolErrors().empty());
}

TEST_F(FtdiPortTest, APurgeThatNamesNeitherBufferSendsNothing)
{
    Attach();
    ASSERT_TRUE(Ops().pConnect(Owner()));
    Vendor();
    EXPECT_TRUE(Ops().pPurge(Owner(), FALSE, FALSE));
    EXPECT_TRUE(Vendor().empty());
}

// Each case scripts the packets of one bulk IN transfer (a short one ends it).
TEST_F(FtdiPortTest, EachPacketsStatusBytesAreSplitFromItsData)
{
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> packets;
        size_t data;   // bytes delivered
        uint8_t line;  // a line-status report expected, 0 for none
    };
    auto packet = [](uint8_t modem, uint8_t line, size_t count, uint8_t fill) {
        std::vector<uint8_t> bytes{modem, line};
        bytes.insert(bytes.end(), count, fill);
        return bytes;
    };
    std::vector<Case> cases = {
        {"status only", {packet(0x01, 0x60, 0, 0)}, 0, 0},
        {"two full, one empty", {packet(0x01, 0x60, 62, 'a'), packet(0x01, 0x60, 62, 'b'), packet(0x01, 0x60, 0, 0)},
         124, 0},
        {"full and short", {packet(0x01, 0x60, 62, 'c'), packet(0x01, 0x60, 34, 'd')}, 96, 0},
        {"bad nibble second", {packet(0x01, 0x60, 62, 'e'), packet(0x02, 0x60, 10, 'f')}, 62, 0},
        {"bad nibble first", {packet(0x00, 0x60, 10, 'g')}, 0, 0},
        {"break", {packet(0x01, 0x10, 1, 0)}, 1, 0x99},
        {"parity", {packet(0x01, 0x04, 1, 'h')}, 1, 0x85},
    };
    Attach();
    Open();
    for (const Case& c : cases) {
        m_client->Clear();
        m_chip->ScriptInPackets(chip::InEndpointOf(1), c.packets);
        // Long enough for the scripted transfer and a status packet of the chip's own after it.
        Run(40);
        m_client->WaitFor([&] { return m_client->Received().size() >= c.data; }, std::chrono::seconds(2));
        EXPECT_EQ(m_client->Received().size(), c.data) << c.name;
        if (c.line != 0) {
            bool found = false;
            for (const StatusCall& call : m_client->LineCalls()) found = found || call.bits == c.line;
            EXPECT_TRUE(found) << c.name;
        }
    }
    EXPECT_TRUE(m_client->AllPassive());
}

TEST_F(FtdiPortTest, DataThroughALoopbackPlugArrivesIntactAndInOrder)
{
    Attach();
    chip::PlugLoopback(Now(), *m_chip, 1);
    Open(115200);
    std::vector<uint8_t> sent;
    for (int block = 0; block < 20; ++block) {
        std::vector<uint8_t> bytes(300);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(block * 7 + i);
        ASSERT_TRUE(m_client->Write(bytes));
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    ASSERT_TRUE(AdvanceUntil([&] { return m_client->Received().size() >= sent.size(); }));
    EXPECT_EQ(m_client->Received(), sent);
    ASSERT_TRUE(AdvanceUntil([&] { return m_client->WrittenTotal() >= 4096 + sent.size(); }));
    EXPECT_EQ(m_client->WrittenTotal(), 4096 + sent.size());
    EXPECT_TRUE(m_client->AllPassive());
    EXPECT_TRUE(m_chip->ProtocolErrors().empty());
}

TEST_F(FtdiPortTest, NoTrailingEdgeOfRingIsReportedAtOpenAndARealOneIsReportedOnce)
{
    Attach();
    m_peer = chip::AttachScriptedPeer(Now(), *m_chip, 1);
    Open();
    for (const StatusCall& call : m_client->ModemCalls()) EXPECT_EQ(call.bits & 0x04, 0);
    m_peer->SetRi(Now(), true);
    ASSERT_TRUE(AdvanceUntil([&] {
        auto calls = m_client->ModemCalls();
        return !calls.empty() && (calls.back().bits & 0x40) != 0;
    }));
    m_peer->SetRi(Now(), false);
    ASSERT_TRUE(AdvanceUntil([&] {
        auto calls = m_client->ModemCalls();
        return !calls.empty() && (calls.back().bits & 0x44) == 0x04;
    }));
    // The next change reports TERI clear again.
    m_peer->SetDcd(Now(), true);
    ASSERT_TRUE(AdvanceUntil([&] {
        auto calls = m_client->ModemCalls();
        return !calls.empty() && (calls.back().bits & 0x80) != 0;
    }));
    EXPECT_EQ(m_client->ModemCalls().back().bits & 0x04, 0);
}

TEST_F(FtdiPortTest, AWriteAt9600IsReportedCharacterByCharacterAndThenTheTransmitterIsEmpty)
{
    Attach();
    m_peer = chip::AttachScriptedPeer(Now(), *m_chip, 1);
    // Another component's request for a fine timer resolution, which the port must leave alone.
    ExSetTimerResolution(10000, TRUE);
    Open(9600);
    m_client->Clear();
    ASSERT_TRUE(m_client->Write(std::vector<uint8_t>(100, 'x')));
    // Two characters at once (one millisecond's worth), the rest one character time each.
    EXPECT_EQ(m_client->WrittenCalls(), std::vector<ULONG>{2});
    ASSERT_TRUE(AdvanceUntil([&] { return m_client->WrittenTotal() >= 100; }, 1042 * 10));
    EXPECT_EQ(m_client->WrittenTotal(), 100u);
    EXPECT_GT(m_client->WrittenCalls().size(), 50u);
    ASSERT_TRUE(AdvanceUntil([&] {
        auto lines = m_client->LineCalls();
        return !lines.empty() && (lines.back().bits & 0x60) == 0x60;
    }));
    // The timer stopped and gave its own resolution request back, and only that.
    ASSERT_TRUE(AdvanceUntil([&] { return machine().GetClock().TimerResolutionRequests() == 1; }));
    ASSERT_TRUE(AdvanceUntil([&] { return m_peer->ReceivedBytes(Now()).size() == 100; }));
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 115200));
    ASSERT_TRUE(Ops().pSetBaudRate(Owner(), 19200));
    ASSERT_TRUE(Ops().pDisconnect(Owner()));
    EXPECT_EQ(machine().GetClock().TimerResolutionRequests(), 1);
    ExSetTimerResolution(0, FALSE);
}

TEST_F(FtdiPortTest, FlowCharactersAreNotReportedAsWrittenDataButImmediateCharactersAre)
{
    Attach();
    m_peer = chip::AttachScriptedPeer(Now(), *m_chip, 1);
    Open(115200);
    ASSERT_TRUE(Ops().pHandshaking(Owner(), FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, TRUE, FALSE, FALSE,
                                   FALSE, FALSE));
    m_client->Clear();
    ASSERT_TRUE(Ops().pSendXonXoff(Owner(), TRUE));
    ASSERT_TRUE(Ops().pSendXonXoff(Owner(), FALSE));
    EXPECT_EQ(m_client->XoffSentCalls(), 1u);
    EXPECT_TRUE(m_client->WrittenCalls().empty());
    ASSERT_TRUE(Ops().pSendImmediateCharacter(Owner(), 'A'));
    EXPECT_EQ(m_client->WrittenCalls(), std::vector<ULONG>{1});
    EXPECT_EQ(m_client->ImmediateCalls(), 1u);
    ASSERT_TRUE(AdvanceUntil([&] { return m_peer->ReceivedBytes(Now()) == std::vector<uint8_t>{0x13, 0x11, 'A'}; }));
}

TEST_F(FtdiPortTest, CloseReturnsWhileTheChipHoldsAWriteForever)
{
    Attach();
    m_peer = chip::AttachScriptedPeer(Now(), *m_chip, 1);
    Open(115200);
    // The chip's own RTS/CTS flow control with CTS low (programmed behind the port's back, so the
    // port does not hold its transmitter): the chip takes what its buffer holds, then nothing.
    m_peer->SetCts(Now(), false);
    m_chip->Control(Now(), chip::SetupPacket{0x41, 2, 0x1311, 0x0101, 0});
    ASSERT_TRUE(m_client->Write(std::vector<uint8_t>(4000, 'z')));
    ASSERT_TRUE(AdvanceUntil([&] { return ChipPort().transmitLevel >= m_chip->Config().transmitBufferSize; }));
    EXPECT_TRUE(Ops().pDisconnect(Owner()));
    EXPECT_LT(m_client->WrittenTotal(), 4096u + 4000u);
    // Nothing reaches the port driver after close.
    m_client->Clear();
    m_peer->SetCts(Now(), true);
    machine().GetClock().Advance(100 * chip::kTimePerMillisecond);
    KeFlushQueuedDpcs();
    m_client->WaitFor([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(m_client->WrittenCalls().empty());
    EXPECT_TRUE(m_client->ModemCalls().empty());
}

}  // namespace
}  // namespace enumdrvtest
