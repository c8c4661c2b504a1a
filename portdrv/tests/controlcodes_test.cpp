// The serial control codes on an open port: buffer rules, the bus operation each code reaches, and
// the checks that refuse a request before the bus sees it.
#include <ntddser.h>

#include "cvvcpserialcodes.h"
#include "port_harness.h"

namespace portdrvtest {
namespace {

class ControlCodeTest : public PortTest {
protected:
    void OpenWith(const FakePortOptions& options = {})
    {
        ASSERT_EQ(Plug(options), STATUS_SUCCESS);
        OpenPort();
        Port().ClearCalls();
    }
    Bytes HandFlow(ULONG control, ULONG replace, LONG xon = 512, LONG xoff = 128)
    {
        return Join({U32(control), U32(replace), U32(static_cast<ULONG>(xon)), U32(static_cast<ULONG>(xoff))});
    }
};

struct LengthRule {
    ULONG code;
    ULONG input;
    ULONG output;
};

const LengthRule kLengthRules[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0}, {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},     {IOCTL_SERIAL_PURGE, 4, 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {IOCTL_SERIAL_GET_CHARS, 0, 6},        {IOCTL_SERIAL_SET_CHARS, 6, 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},  {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},  {IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {IOCTL_SERIAL_GET_STATS, 0, 24},       {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0}, {IOCTL_SERIAL_SET_FIFO_CONTROL, 1, 0},
    {IOCTL_CVSERIAL_GET_DUPLEX_MODE, 0, 8}, {IOCTL_CVSERIAL_SET_DUPLEX_MODE, 8, 0},
    {IOCTL_CVSERIAL_READ_EEPROM, 8, 0},    {IOCTL_CVSERIAL_WRITE_EEPROM, 12, 0},
};

TEST_F(ControlCodeTest, ABufferShorterThanItsStructureIsTooSmallAndTouchesNothing)
{
    OpenWith();
    for (const LengthRule& rule : kLengthRules) {
        Bytes input(rule.input ? rule.input - 1 : 0, 0);
        ULONG output = rule.output ? rule.output - 1 : 0;
        EXPECT_EQ(Status(rule.code, input, output), STATUS_BUFFER_TOO_SMALL) << std::hex << rule.code;
    }
    EXPECT_TRUE(Port().Calls().empty());
}

TEST_F(ControlCodeTest, EveryCodeFailsOnAClosedPortAndUnknownCodesAreNotSupported)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const LengthRule& rule : kLengthRules) {
        EXPECT_EQ(Status(rule.code, Bytes(rule.input, 0), rule.output), STATUS_INVALID_DEVICE_REQUEST)
            << std::hex << rule.code;
    }
    OpenPort();
    for (ULONG code : std::vector<ULONG>{0x1B00A0UL, 0x1B2010UL, 0x1B2014UL, (ULONG)IOCTL_SERIAL_GET_COMMCONFIG,
                       (ULONG)IOCTL_SERIAL_SET_COMMCONFIG}) {
        EXPECT_EQ(Status(code), STATUS_NOT_SUPPORTED) << std::hex << code;
    }
}

// One code, its input, the status, and the bus operations it reaches (in order).
struct OperationCase {
    const char* name;
    ULONG code;
    Bytes input;
    NTSTATUS status;
    std::vector<std::string> calls;
};

TEST_F(ControlCodeTest, EachCodeReachesItsBusOperation)
{
    const OperationCase cases[] = {
        {"baud", IOCTL_SERIAL_SET_BAUD_RATE, U32(19200), STATUS_SUCCESS, {"SetBaudRate 19200"}},
        {"baud above the maximum", IOCTL_SERIAL_SET_BAUD_RATE, U32(2000000), STATUS_UNSUCCESSFUL, {}},
        {"line 7E1", IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, EVEN_PARITY, 7}, STATUS_SUCCESS, {"CommSettings 2 2 0"}},
        {"line 9 bits", IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 9}, STATUS_INVALID_PARAMETER, {}},
        {"line parity 5", IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, 5, 8}, STATUS_INVALID_PARAMETER, {}},
        {"break off without on", IOCTL_SERIAL_SET_BREAK_OFF, {}, STATUS_SUCCESS, {}},
        {"break on", IOCTL_SERIAL_SET_BREAK_ON, {}, STATUS_SUCCESS, {"SetBreak 1"}},
        {"break off", IOCTL_SERIAL_SET_BREAK_OFF, {}, STATUS_SUCCESS, {"SetBreak 0"}},
        {"immediate", IOCTL_SERIAL_IMMEDIATE_CHAR, {'A'}, STATUS_SUCCESS, {"ImmediateChar 65"}},
        {"dtr on", IOCTL_SERIAL_SET_DTR, {}, STATUS_SUCCESS, {"SetDtr 1"}},
        {"dtr on again", IOCTL_SERIAL_SET_DTR, {}, STATUS_SUCCESS, {}},
        {"dtr off", IOCTL_SERIAL_CLR_DTR, {}, STATUS_SUCCESS, {"SetDtr 0"}},
        {"rts on", IOCTL_SERIAL_SET_RTS, {}, STATUS_SUCCESS, {"SetRts 1"}},
        {"modem control", IOCTL_SERIAL_SET_MODEM_CONTROL, U32(SERIAL_DTR_STATE), STATUS_SUCCESS,
         {"SetRts 0", "SetDtr 1"}},
        {"reset", IOCTL_SERIAL_RESET_DEVICE, {}, STATUS_SUCCESS, {"Purge 1 1"}},
        {"xoff", IOCTL_SERIAL_SET_XOFF, {}, STATUS_SUCCESS, {"PretendXoff 1"}},
        {"xon", IOCTL_SERIAL_SET_XON, {}, STATUS_SUCCESS, {"PretendXoff 0"}},
        {"purge 0x10", IOCTL_SERIAL_PURGE, U32(0x10), STATUS_INVALID_PARAMETER, {}},
        {"purge 0", IOCTL_SERIAL_PURGE, U32(0), STATUS_INVALID_PARAMETER, {}},
        {"purge tx abort and rx clear", IOCTL_SERIAL_PURGE, U32(0x9), STATUS_SUCCESS, {"Purge 1 1"}},
        {"purge rx abort", IOCTL_SERIAL_PURGE, U32(0x2), STATUS_SUCCESS, {"Purge 0 0"}},
        {"chars", IOCTL_SERIAL_SET_CHARS, {1, 2, 3, 4, 0x11, 0x13}, STATUS_SUCCESS, {"SpecialChars 3 1 2 4 17 19"}},
        {"escape equal to xoff", IOCTL_SERIAL_LSRMST_INSERT, {0x13}, STATUS_INVALID_PARAMETER, {}},
        {"escape", IOCTL_SERIAL_LSRMST_INSERT, {0xFF}, STATUS_SUCCESS, {}},
        {"fifo off", IOCTL_SERIAL_SET_FIFO_CONTROL, {0}, STATUS_SUCCESS, {"TriggerLevels 10 1 85"}},
        {"fifo off again", IOCTL_SERIAL_SET_FIFO_CONTROL, {0}, STATUS_SUCCESS, {}},
        {"fifo on", IOCTL_SERIAL_SET_FIFO_CONTROL, {1}, STATUS_SUCCESS, {"TriggerLevels 10 75 85"}},
        {"loopback", IOCTL_CVSERIAL_SET_LOOPBACK_MODE, {}, STATUS_SUCCESS, {"Loopback 1"}},
        {"loopback off", IOCTL_CVSERIAL_CLEAR_LOOPBACK_MODE, {}, STATUS_SUCCESS, {"Loopback 0"}},
        {"duplex 0", IOCTL_CVSERIAL_SET_DUPLEX_MODE, Join({U32(0), U32(0)}), STATUS_INVALID_PARAMETER, {}},
        {"duplex 6", IOCTL_CVSERIAL_SET_DUPLEX_MODE, Join({U32(6), U32(0)}), STATUS_INVALID_PARAMETER, {}},
        {"duplex on an RS-232 port", IOCTL_CVSERIAL_SET_DUPLEX_MODE, Join({U32(2), U32(0)}), STATUS_UNSUCCESSFUL, {}},
        {"eeprom without capability", IOCTL_CVSERIAL_WRITE_EEPROM, Join({U32(0), U32(4), U32(0x04030201)}),
         STATUS_NOT_IMPLEMENTED, {}},
        {"wait mask 0x2000", IOCTL_SERIAL_SET_WAIT_MASK, U32(0x2000), STATUS_INVALID_PARAMETER, {}},
        {"handflow dtr mask 3", IOCTL_SERIAL_SET_HANDFLOW, HandFlow(3, SERIAL_RTS_CONTROL), STATUS_INVALID_PARAMETER, {}},
        {"handflow xon limit above the queue", IOCTL_SERIAL_SET_HANDFLOW,
         HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 5000), STATUS_UNSUCCESSFUL, {}},
        {"handflow rts/cts", IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE),
         STATUS_SUCCESS, {"Handshaking 110000000000", "SetDtr 1", "SetRts 1"}},
        {"rts off under rts handshake", IOCTL_SERIAL_CLR_RTS, {}, STATUS_INVALID_PARAMETER, {}},
    };
    OpenWith();
    for (const OperationCase& c : cases) {
        Port().ClearCalls();
        EXPECT_EQ(Status(c.code, c.input), c.status) << c.name;
        std::vector<std::string> calls;
        for (const std::string& call : Port().Calls()) {
            if (call != "GetFifoSizes") calls.push_back(call);
        }
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

// The lines a handshake set-up raised are known to be on: a drop reaches the device.
TEST_F(ControlCodeTest, LinesRaisedByTheHandshakeShowInTheModemControlImage)
{
    OpenWith();
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_DTRRTS), 0u);
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_HANDFLOW, HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL)), STATUS_SUCCESS);
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_DTRRTS), SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    Port().ClearCalls();
    EXPECT_EQ(Status(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Port().CallsOf("SetDtr"), std::vector<std::string>{"SetDtr 0"});
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_DTRRTS), SERIAL_RTS_STATE);
}

TEST_F(ControlCodeTest, QueriesAnswerTheSettingsInForce)
{
    OpenWith();
    // The first open takes the parameter set's 9600 8N1.
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
    ControlResult line = Control(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3);
    EXPECT_EQ(line.output, (Bytes{STOP_BIT_1, NO_PARITY, 8}));
    EXPECT_EQ(line.information, 3u);
    ControlResult handflow = Control(IOCTL_SERIAL_GET_HANDFLOW, {}, 16);
    EXPECT_EQ(At(handflow.output, 0), SERIAL_DTR_CONTROL);
    EXPECT_EQ(At(handflow.output, 4), SERIAL_RTS_CONTROL);
    EXPECT_EQ(At(handflow.output, 8), 512u);  // a 4096-byte queue: limits 1/8 and 1/32
    EXPECT_EQ(At(handflow.output, 12), 128u);
    ControlResult config = Control(IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
    EXPECT_EQ(config.information, 4u);
    EXPECT_EQ(At(config.output, 0), 0u);
    ControlResult props = Control(IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
    EXPECT_EQ(props.information, 64u);
    EXPECT_EQ(At(props.output, 20), SERIAL_BAUD_USER);   // MaxBaud
    EXPECT_EQ(At(props.output, 24), SERIAL_SP_RS232);    // ProvSubType
    EXPECT_EQ(At(props.output, 48), 4096u);              // CurrentRxQueue
    // A small queue request keeps the default size.
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_QUEUE_SIZE, Join({U32(100), U32(100)})), STATUS_SUCCESS);
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_PROPERTIES, 48, 64), 4096u);
}

TEST_F(ControlCodeTest, TheBaudOverrideRunsTheDeviceAtTheSetsRate)
{
    SetParameter(u"OverridBaudRates", 1);
    SetParameter(u"Baudrate", 38400);
    OpenWith();
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_BAUD_RATE, U32(115200)), STATUS_SUCCESS);
    EXPECT_EQ(Port().CallsOf("SetBaudRate"), std::vector<std::string>{"SetBaudRate 38400"});
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
}

// A rate of 0 would later divide the character time at close.
TEST_F(ControlCodeTest, RateZeroIsNeverSupported)
{
    SetParameter(u"MinBaudRate", 0);
    SetParameter(u"OverridBaudRates", 1);
    OpenWith();
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_BAUD_RATE, U32(0)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
}

// A time-out echo that does not fit the caller's buffer is not written.
TEST_F(ControlCodeTest, SetTimeoutsEchoesOnlyIntoARoomyOutput)
{
    OpenWith();
    Bytes timeouts = Join({U32(10), U32(20), U32(30), U32(40), U32(50)});
    ControlResult small = Control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts, 4);
    EXPECT_EQ(small.status, STATUS_SUCCESS);
    EXPECT_EQ(small.information, 0u);
    ControlResult echo = Control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts, 20);
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.information, 20u);
    EXPECT_EQ(echo.output, timeouts);
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_TIMEOUTS, Join({U32(MAXULONG), U32(MAXULONG), U32(MAXULONG), U32(0), U32(0)})),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ControlCodeTest, EepromAccessFollowsTheBusCapabilities)
{
    FakePortOptions options;
    options.eepromRead = 1;
    options.eepromWrite = 1;
    OpenWith(options);
    ControlResult read = Control(IOCTL_CVSERIAL_READ_EEPROM, Join({U32(4), U32(8)}), 8);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 8u);
    EXPECT_EQ(read.output, (Bytes{4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(Status(IOCTL_CVSERIAL_READ_EEPROM, Join({U32(4), U32(8)}), 6), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Status(IOCTL_CVSERIAL_WRITE_EEPROM, Join({U32(2), U32(4), U32(0x040302AB)})), STATUS_SUCCESS);
    EXPECT_EQ(Status(IOCTL_CVSERIAL_WRITE_EEPROM, Join({U32(2), U32(5), U32(0x040302AB)})), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Port().CallsOf("WriteEeprom"), std::vector<std::string>{"WriteEeprom 2 4 171"});
}

TEST_F(ControlCodeTest, AnXoffCounterOfZeroCompletesAtOnce)
{
    OpenWith();
    ControlResult result = Control(IOCTL_SERIAL_XOFF_COUNTER, Join({U32(100), U32(0), Bytes{0x13, 0, 0, 0}}));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(Port().Written().empty());
}

TEST_F(ControlCodeTest, InternalCodesKeepTheirOwnMeaning)
{
    OpenWith();
    ControlResult basic = Control(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44, true);
    EXPECT_EQ(basic.status, STATUS_SUCCESS);
    EXPECT_EQ(basic.information, 44u);
    EXPECT_EQ(At(basic.output, 20), SERIAL_DTR_CONTROL);  // the handflow in force before
    EXPECT_EQ(At(basic.output, 36), 75u);                 // receive trigger level
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_HANDFLOW, 0, 16), 0u);
    EXPECT_EQ(Control(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.output, 0, true).status, STATUS_SUCCESS);
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_HANDFLOW, 0, 16), SERIAL_DTR_CONTROL);
    EXPECT_EQ(Control(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 40, true).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(0x1B0014, Bytes(4, 0), 4, true).status, STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace portdrvtest
