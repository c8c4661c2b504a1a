// Data through the port: received chunks and their filtering, receive overflow and flow control,
// writes and their confirmation, line and modem status with the events they raise.
#include <ntddser.h>

#include <chrono>
#include <thread>

#include "port_harness.h"

namespace portdrvtest {
namespace {

class DataPathTest : public PortTest {
protected:
    void OpenWith(const FakePortOptions& options = {})
    {
        ASSERT_EQ(Plug(options), STATUS_SUCCESS);
        OpenPort();
        // Reads return what is buffered at once.
        ASSERT_EQ(Status(IOCTL_SERIAL_SET_TIMEOUTS, Join({U32(MAXULONG), U32(0), U32(0), U32(0), U32(0)})),
                  STATUS_SUCCESS);
        Port().ClearCalls();
    }
    void SetHandFlow(ULONG control, ULONG replace, LONG xon = 512, LONG xoff = 128)
    {
        ASSERT_EQ(Status(IOCTL_SERIAL_SET_HANDFLOW, Join({U32(control), U32(replace), U32(static_cast<ULONG>(xon)),
                                                         U32(static_cast<ULONG>(xoff))})),
                  STATUS_SUCCESS);
    }
    void SetChars(UCHAR error, UCHAR brk, UCHAR event)
    {
        ASSERT_EQ(Status(IOCTL_SERIAL_SET_CHARS, {0, error, brk, event, 0x11, 0x13}), STATUS_SUCCESS);
    }
    Bytes Buffered()
    {
        auto read = ReadAsync(8192);
        EXPECT_TRUE(read->Wait());
        return Bytes(read->buffer.begin(), read->buffer.begin() + read->ioStatus.Information);
    }
    ULONG CommStatus(ULONG offset) { return Number(IOCTL_SERIAL_GET_COMMSTATUS, offset, 20); }
    ULONG Stat(ULONG index) { return Number(IOCTL_SERIAL_GET_STATS, index * 4, 24); }
    // Polls (real time, bounded) until the bus saw the call.
    bool WaitForCall(const std::string& call)
    {
        for (int i = 0; i < 500; ++i) {
            for (const std::string& seen : Port().Calls()) {
                if (seen == call) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    std::unique_ptr<PendingRequest> WaitOnMask(ULONG mask)
    {
        EXPECT_EQ(Status(IOCTL_SERIAL_SET_WAIT_MASK, U32(mask)), STATUS_SUCCESS);
        return ControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    }
    static ULONG Events(const PendingRequest& wait) { return At(wait.buffer, 0); }
};

// FlowReplace, escape character, line status before the chunk, chunk, what is delivered.
struct FilterCase {
    const char* name;
    ULONG flowReplace;
    UCHAR escape;
    bool parityError;
    Bytes chunk;
    Bytes delivered;
};

TEST_F(DataPathTest, ReceivedChunksAreFilteredAsTheHandshakeAsks)
{
    const FilterCase cases[] = {
        {"plain", SERIAL_RTS_CONTROL, 0, false, {1, 2, 3}, {1, 2, 3}},
        {"null stripping", SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 0, false, {0, 5, 0, 6}, {5, 6}},
        {"only nulls", SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 0, false, {0, 0, 0}, {}},
        {"xon and xoff consumed", SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 0, false, {0x41, 0x13, 0x11, 0x42}, {0x41, 0x42}},
        {"escape doubled", SERIAL_RTS_CONTROL, 0xFF, false, {0x41, 0xFF}, {0x41, 0xFF, 0x00}},
        {"escape alone", SERIAL_RTS_CONTROL, 0xFF, false, {0xFF}, {0xFF, 0x00}},
        {"parity error with escape", SERIAL_RTS_CONTROL, 0xFF, true, {0x41}, {0xFF, 0x01, 0x64, 0x41}},
        {"parity error with error character", SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 0, true, {1, 2, 3}, {'?'}},
    };
    OpenWith();
    for (const FilterCase& c : cases) {
        ASSERT_EQ(Status(IOCTL_SERIAL_LSRMST_INSERT, {0}), STATUS_SUCCESS);
        SetHandFlow(SERIAL_DTR_CONTROL, c.flowReplace);
        SetChars('?', 0, 0);
        ASSERT_EQ(Status(IOCTL_SERIAL_LSRMST_INSERT, {c.escape}), STATUS_SUCCESS) << c.name;
        Port().LineStatus(false, c.parityError, false, false, false, true, true);
        Port().Receive(c.chunk);
        EXPECT_EQ(Buffered(), c.delivered) << c.name;
        Port().LineStatus(false, false, false, false, false, true, true);
    }
}

TEST_F(DataPathTest, AnXoffReceivedHoldsTheTransmitterUntilXon)
{
    OpenWith();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    Port().Receive({0x13});
    EXPECT_EQ(CommStatus(4) & SERIAL_TX_WAITING_FOR_XON, SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(CommStatus(8), 0u);
    Port().Receive({0x11});
    EXPECT_EQ(CommStatus(4) & SERIAL_TX_WAITING_FOR_XON, 0u);
    EXPECT_EQ(Stat(0), 0u);  // nothing counted as received
}

TEST_F(DataPathTest, AReadWaitingForDataCompletesWhenItArrives)
{
    OpenWith();
    ASSERT_EQ(Status(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(20, 0)), STATUS_SUCCESS);
    auto read = ReadAsync(4);
    EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);
    auto wait = WaitOnMask(SERIAL_EV_RXCHAR);
    Port().Receive({1, 2});
    Port().Receive({3, 4, 5});
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->ioStatus.Information, 4u);
    EXPECT_EQ(read->buffer, (Bytes{1, 2, 3, 4}));
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(CommStatus(8), 1u);
    EXPECT_EQ(Stat(0), 5u);
}

// Past the queue size with an error character: one overrun, one error character, and the next chunk
// is dropped.
TEST_F(DataPathTest, ReceiveOverflowIsCountedOncePerCrossing)
{
    OpenWith();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR);
    SetChars('?', 0, 0);
    Port().Receive(Bytes(4097, 0x55));
    EXPECT_EQ(Stat(4), 1u);  // BufferOverrunErrorCount
    EXPECT_FALSE(Port().Receive({1}));
    EXPECT_EQ(Stat(4), 1u);
    ULONG errors = CommStatus(0);
    EXPECT_EQ(errors, (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
    Bytes held = Buffered();
    ASSERT_EQ(held.size(), 4098u);
    EXPECT_EQ(held.back(), '?');
}

TEST_F(DataPathTest, ReceiveFlowControlSendsXoffOnceAndXonOnce)
{
    OpenWith();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    Port().Receive(Bytes(4000, 0x41));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Port().ReceiveRoom(62, 318), 96u);
    }
    ASSERT_TRUE(WaitForCall("SendXonXoff 1"));
    EXPECT_EQ(CommStatus(4) & SERIAL_TX_WAITING_XOFF_SENT, SERIAL_TX_WAITING_XOFF_SENT);
    EXPECT_EQ(Buffered().size(), 4000u);
    EXPECT_EQ(Port().CallsOf("SendXonXoff"), (std::vector<std::string>{"SendXonXoff 1", "SendXonXoff 0"}));
}

// A read served at DISPATCH_LEVEL drains the queue: the lines come back up from PASSIVE_LEVEL.
TEST_F(DataPathTest, FlowControlIsReleasedAtPassiveLevelWhenTheQueueDrainsAtDispatch)
{
    OpenWith();
    SetHandFlow(SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
    Port().Receive(Bytes(4000, 0x41));
    Port().ReceiveRoom(62, 318);
    ASSERT_TRUE(WaitForCall("SetDtr 0"));
    ASSERT_TRUE(WaitForCall("SetRts 0"));
    auto read = ReadAsync(8192, DISPATCH_LEVEL);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->ioStatus.Information, 4000u);
    ASSERT_TRUE(WaitForCall("SetDtr 1"));
    ASSERT_TRUE(WaitForCall("SetRts 1"));
    EXPECT_TRUE(Port().CallsAbovePassive().empty());
}

TEST_F(DataPathTest, AWriteCompletesWhenTheBusConfirmsItsBytes)
{
    OpenWith();
    auto wait = WaitOnMask(SERIAL_EV_TXEMPTY);
    Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto write = WriteAsync(data);
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(write->ioStatus.Information, 10u);
    EXPECT_EQ(Port().Written(), data);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(Stat(1), 10u);
    EXPECT_EQ(CommStatus(12), 0u);
}

// The bus confirms the immediate byte even when it could not send it: the undo must not count it twice.
TEST_F(DataPathTest, AFailedImmediateCharacterLeavesNothingInTheOutQueue)
{
    OpenWith();
    Port().Fail("ImmediateChar");
    EXPECT_EQ(Status(IOCTL_SERIAL_IMMEDIATE_CHAR, {'Z'}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CommStatus(12), 0u);
    EXPECT_EQ(CommStatus(16) & 0xFF00, 0u);  // WaitForImmediate
}

TEST_F(DataPathTest, LineErrorsAreCountedReportedAndCleared)
{
    OpenWith();
    auto wait = WaitOnMask(SERIAL_EV_ERR | SERIAL_EV_BREAK);
    Port().LineStatus(false, false, true, false, false, true, true);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_ERR);
    EXPECT_EQ(Stat(2), 1u);  // FrameErrorCount
    EXPECT_EQ(CommStatus(0), (ULONG)SERIAL_ERROR_FRAMING);
    EXPECT_EQ(CommStatus(0), 0u);
}

TEST_F(DataPathTest, ErrorAbortRefusesEverythingButTheStatusQuery)
{
    OpenWith();
    SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL);
    Port().LineStatus(false, true, false, false, false, true, true);
    EXPECT_EQ(Status(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_CANCELLED);
    auto read = ReadAsync(4);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->ioStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(WaitForCall("Purge 1 1"));
    EXPECT_EQ(CommStatus(0), (ULONG)SERIAL_ERROR_PARITY);
    EXPECT_EQ(Status(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS);
    auto again = ReadAsync(4);
    ASSERT_TRUE(again->Wait());
    EXPECT_EQ(again->ioStatus.Status, STATUS_SUCCESS);
}

TEST_F(DataPathTest, ModemChangesRaiseTheirEvents)
{
    SetParameter(u"EmulateDSRTrue", 1);
    OpenWith();
    const ULONG mask = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD;
    auto wait = WaitOnMask(mask);
    Port().ModemStatus(true, true, false, false, false);  // DSR emulated: only CTS counts
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_CTS);
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_MODEMSTATUS) & 0xF0, (ULONG)(SERIAL_MSR_CTS | SERIAL_MSR_DSR));
    wait = WaitOnMask(mask);
    Port().ModemStatus(true, false, true, false, false);  // RI coming on: no ring
    EXPECT_FALSE(wait->Wait(50));
    Port().ModemStatus(true, false, false, true, true);   // trailing edge of RI, DCD on
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Events(*wait), (ULONG)(SERIAL_EV_RING | SERIAL_EV_RLSD));
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_MODEMSTATUS) & 0xF0, (ULONG)(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD));
}

TEST_F(DataPathTest, ANewWaitMaskEndsTheWaitAndASecondWaitIsRefused)
{
    OpenWith();
    auto wait = WaitOnMask(SERIAL_EV_RXCHAR);
    EXPECT_EQ(wait->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(Status(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_CTS)), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(Events(*wait), 0u);
}

}  // namespace
}  // namespace portdrvtest
