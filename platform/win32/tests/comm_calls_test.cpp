// kernel32's communications calls against a serial test port: the control requests each call
// sends (and what they carry), the argument checks made before anything is sent, the
// device-control block in both directions, the restore of a refused SetCommState, ClearCommError's
// mapping and the Win32 error of every status the drivers complete with.
#include "comm_port_fixture.h"

#include <functional>
#include <string>

namespace emu::testing {
namespace {

struct CallCase {
    const char* name;
    std::function<BOOL(HANDLE)> call;
    std::vector<ULONG> codes;
};

std::vector<CallCase> CallCases()
{
    std::vector<CallCase> cases = {
        {"SetCommBreak", [](HANDLE h) { return SetCommBreak(h); }, {IOCTL_SERIAL_SET_BREAK_ON}},
        {"ClearCommBreak", [](HANDLE h) { return ClearCommBreak(h); }, {IOCTL_SERIAL_SET_BREAK_OFF}},
        {"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 2048); }, {IOCTL_SERIAL_SET_QUEUE_SIZE}},
        {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR); }, {IOCTL_SERIAL_PURGE}},
        {"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'A'); }, {IOCTL_SERIAL_IMMEDIATE_CHAR}},
        {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR | EV_CTS); }, {IOCTL_SERIAL_SET_WAIT_MASK}},
        {"GetCommMask", [](HANDLE h) { DWORD m; return GetCommMask(h, &m); }, {IOCTL_SERIAL_GET_WAIT_MASK}},
        {"SetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t{MAXDWORD, 0, 0, 2, 50}; return SetCommTimeouts(h, &t); },
         {IOCTL_SERIAL_SET_TIMEOUTS}},
        {"GetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t; return GetCommTimeouts(h, &t); }, {IOCTL_SERIAL_GET_TIMEOUTS}},
        {"GetCommModemStatus", [](HANDLE h) { DWORD s; return GetCommModemStatus(h, &s); },
         {IOCTL_SERIAL_GET_MODEMSTATUS}},
        {"GetCommProperties", [](HANDLE h) { COMMPROP p{}; return GetCommProperties(h, &p); },
         {IOCTL_SERIAL_GET_PROPERTIES}},
        {"ClearCommError", [](HANDLE h) { return ClearCommError(h, nullptr, nullptr); }, {IOCTL_SERIAL_GET_COMMSTATUS}},
        {"GetCommState", [](HANDLE h) { DCB d; return GetCommState(h, &d); }, GetStateCodes()},
        {"SetCommState",
         [](HANDLE h) {
             DCB d;
             return GetCommState(h, &d) && SetCommState(h, &d);
         },
         Concat({GetStateCodes(), GetStateCodes(), SetStateCodes()})},
        {"GetCommConfig",
         [](HANDLE h) {
             COMMCONFIG c{};
             DWORD size = sizeof(c);
             return GetCommConfig(h, &c, &size);
         },
         Concat({{IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_PROPERTIES}, GetStateCodes()})},
    };
    const ULONG escapes[] = {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON,       IOCTL_SERIAL_SET_RTS,
                             IOCTL_SERIAL_CLR_RTS,  IOCTL_SERIAL_SET_DTR,       IOCTL_SERIAL_CLR_DTR,
                             IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF};
    for (DWORD function = SETXOFF; function <= CLRBREAK; ++function)
        cases.push_back({"EscapeCommFunction", [function](HANDLE h) { return EscapeCommFunction(h, function); },
                         {escapes[function - SETXOFF]}});
    return cases;
}

TEST_F(CommPortTest, EachCallSendsItsControlRequestsOnSynchronousAndOverlappedHandles)
{
    for (bool overlapped : {false, true}) {
        HANDLE handle = Open(overlapped);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        for (const CallCase& c : CallCases()) {
            Port().ClearRecord();
            EXPECT_TRUE(c.call(handle)) << c.name << " overlapped " << overlapped;
            EXPECT_EQ(Port().Codes(), c.codes) << c.name << " overlapped " << overlapped;
        }
        Close(handle);
    }
}

TEST_F(CommPortTest, CallsCarryTheirValuesToTheDriverAndTheDriversAnswersBack)
{
    HANDLE handle = Open();
    ASSERT_TRUE(SetupComm(handle, 4096, 2048));
    EXPECT_EQ(Port().Snapshot().queueSize.InSize, 4096u);
    EXPECT_EQ(Port().Snapshot().queueSize.OutSize, 2048u);
    ASSERT_TRUE(PurgeComm(handle, PURGE_TXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(LastInput<ULONG>(IOCTL_SERIAL_PURGE), static_cast<ULONG>(PURGE_TXABORT | PURGE_RXCLEAR));
    ASSERT_TRUE(TransmitCommChar(handle, '\x13'));
    EXPECT_EQ(Port().Snapshot().immediate, std::vector<uint8_t>{0x13});

    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 250, 3, 40};
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    EXPECT_EQ(Port().Requests().back().outputLength, 0u);  // nothing is asked back
    COMMTIMEOUTS read{};
    ASSERT_TRUE(GetCommTimeouts(handle, &read));
    EXPECT_EQ(std::memcmp(&read, &timeouts, sizeof(read)), 0);

    ASSERT_TRUE(SetCommMask(handle, EV_RXFLAG | EV_RING));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(handle, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXFLAG | EV_RING));

    // The modem status register comes back whole, change bits included.
    Port().Modify([](SerialTestPort::State& s) { s.modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DCD | SERIAL_MSR_DDCD; });
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(handle, &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_RLSD_ON | SERIAL_MSR_DDCD);

    COMMPROP properties{};
    ASSERT_TRUE(GetCommProperties(handle, &properties));
    EXPECT_EQ(properties.dwProvSubType, PST_RS232);
    EXPECT_EQ(properties.dwCurrentRxQueue, 4096u);
    EXPECT_EQ(Port().Requests().back().outputLength, sizeof(COMMPROP));
}

TEST_F(CommPortTest, RefusedArgumentsFailBeforeAnythingIsSent)
{
    HANDLE handle = Open();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    DCB sameXonXoff = dcb;
    sameXonXoff.XoffChar = sameXonXoff.XonChar;
    DCB dtrThree = dcb;
    dtrThree.fDtrControl = 3;
    COMMCONFIG config{};
    DWORD small = sizeof(COMMCONFIG) - 1;
    const std::pair<const char*, std::function<BOOL()>> cases[] = {
        {"SetCommState XonChar == XoffChar", [&] { return SetCommState(handle, &sameXonXoff); }},
        {"SetCommState fDtrControl 3", [&] { return SetCommState(handle, &dtrThree); }},
        {"SetCommState null", [&] { return SetCommState(handle, nullptr); }},
        {"GetCommState null", [&] { return GetCommState(handle, nullptr); }},
        {"EscapeCommFunction 0", [&] { return EscapeCommFunction(handle, 0); }},
        {"EscapeCommFunction 10", [&] { return EscapeCommFunction(handle, CLRBREAK + 1); }},
        {"GetCommMask null", [&] { return GetCommMask(handle, nullptr); }},
        {"WaitCommEvent null", [&] { return WaitCommEvent(handle, nullptr, nullptr); }},
        {"GetCommTimeouts null", [&] { return GetCommTimeouts(handle, nullptr); }},
        {"SetCommTimeouts null", [&] { return SetCommTimeouts(handle, nullptr); }},
        {"GetCommModemStatus null", [&] { return GetCommModemStatus(handle, nullptr); }},
        {"GetCommProperties null", [&] { return GetCommProperties(handle, nullptr); }},
        {"SetCommConfig short", [&] { return SetCommConfig(handle, &config, sizeof(COMMCONFIG) - 1); }},
    };
    for (const auto& [name, call] : cases) {
        Port().ClearRecord();
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << name;
        EXPECT_TRUE(Port().Codes().empty()) << name;
    }
    // GetCommConfig tells the size it needs.
    EXPECT_FALSE(GetCommConfig(handle, &config, &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, sizeof(COMMCONFIG));
}

// ---- The device-control block ------------------------------------------------------------------

struct FlowCase {
    const char* name;
    std::function<void(DCB&)> change;
    ULONG controlHandShake;
    ULONG flowReplace;
};

TEST_F(CommPortTest, DcbFlowMembersMapToHandFlowBitsAndBack)
{
    const FlowCase cases[] = {
        {"none", [](DCB&) {}, 0, 0},
        {"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, SERIAL_CTS_HANDSHAKE, 0},
        {"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, SERIAL_DSR_HANDSHAKE, 0},
        {"DTR enable", [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, SERIAL_DTR_CONTROL, 0},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, SERIAL_DTR_HANDSHAKE, 0},
        {"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, SERIAL_DSR_SENSITIVITY, 0},
        {"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, SERIAL_ERROR_ABORT, 0},
        {"fOutX", [](DCB& d) { d.fOutX = 1; }, 0, SERIAL_AUTO_TRANSMIT},
        {"fInX", [](DCB& d) { d.fInX = 1; }, 0, SERIAL_AUTO_RECEIVE},
        {"fErrorChar", [](DCB& d) { d.fErrorChar = 1; }, 0, SERIAL_ERROR_CHAR},
        {"fNull", [](DCB& d) { d.fNull = 1; }, 0, SERIAL_NULL_STRIPPING},
        {"RTS enable", [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, 0, SERIAL_RTS_CONTROL},
        {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, SERIAL_RTS_HANDSHAKE},
        {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0, SERIAL_TRANSMIT_TOGGLE},
        {"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0, SERIAL_XOFF_CONTINUE},
    };
    HANDLE handle = Open();
    for (const FlowCase& c : cases) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 300;
        dcb.XoffLim = 100;
        c.change(dcb);
        ASSERT_TRUE(SetCommState(handle, &dcb)) << c.name;
        const SERIAL_HANDFLOW sent = LastInput<SERIAL_HANDFLOW>(IOCTL_SERIAL_SET_HANDFLOW);
        EXPECT_EQ(sent.ControlHandShake, c.controlHandShake) << c.name;
        EXPECT_EQ(sent.FlowReplace, c.flowReplace) << c.name;
        EXPECT_EQ(sent.XonLimit, 300) << c.name;
        EXPECT_EQ(sent.XoffLimit, 100) << c.name;

        DCB back{};
        ASSERT_TRUE(GetCommState(handle, &back)) << c.name;
        c.change(dcb);
        dcb.fBinary = 1;
        EXPECT_EQ(std::memcmp(&back, &dcb, sizeof(DCB)), 0) << c.name;
    }
}

TEST_F(CommPortTest, SetCommStateDrivesTheLinesTheControlModesHoldAndLeavesHandshakeLinesAlone)
{
    struct LineCase {
        DWORD dtrControl;
        DWORD rtsControl;
        std::vector<ULONG> lines;  // between the baud rate and the line control
        ULONG dtrRts;              // the lines afterwards, both up before
    };
    const LineCase cases[] = {
        {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR},
         SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}, 0},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR}, SERIAL_DTR_STATE},
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, {}, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE, {IOCTL_SERIAL_CLR_DTR}, SERIAL_RTS_STATE},
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS}, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
    };
    HANDLE handle = Open();
    for (const LineCase& c : cases) {
        Port().Modify([](SerialTestPort::State& s) { s.dtrRts = SERIAL_DTR_STATE | SERIAL_RTS_STATE; });
        DCB dcb{};
        ASSERT_TRUE(GetCommState(handle, &dcb));
        dcb.fDtrControl = c.dtrControl;
        dcb.fRtsControl = c.rtsControl;
        Port().ClearRecord();
        ASSERT_TRUE(SetCommState(handle, &dcb)) << c.dtrControl << "/" << c.rtsControl;
        EXPECT_EQ(Port().Codes(), Concat({GetStateCodes(), SetStateCodes(c.lines)})) << c.dtrControl << "/" << c.rtsControl;
        EXPECT_EQ(Port().Snapshot().dtrRts, c.dtrRts) << c.dtrControl << "/" << c.rtsControl;
    }

    // A line the handshake still in force drives is refused; the block goes on and succeeds.
    Port().ClearRecord();
    Port().FailNext(IOCTL_SERIAL_SET_DTR, STATUS_INVALID_PARAMETER);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_TRUE(SetCommState(handle, &dcb));
    EXPECT_EQ(Port().Snapshot().handflow.ControlHandShake & SERIAL_DTR_MASK, SERIAL_DTR_CONTROL);
}

TEST_F(CommPortTest, DcbLineAndCharactersGoOutAndTheBreakCharacterKeepsItsValue)
{
    Port().Modify([](SerialTestPort::State& s) { s.chars.BreakChar = 0x55; });
    HANDLE handle = Open();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 'Q';
    dcb.XoffChar = 'S';
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x04;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(handle, &dcb));

    const SerialTestPort::State state = Port().Snapshot();
    EXPECT_EQ(state.baud.BaudRate, 115200u);
    EXPECT_EQ(state.line.WordLength, 7);
    EXPECT_EQ(state.line.Parity, EVEN_PARITY);
    EXPECT_EQ(state.line.StopBits, STOP_BITS_2);
    const SERIAL_CHARS expected{0x04, '?', 0x55, '\n', 'Q', 'S'};
    EXPECT_EQ(std::memcmp(&state.chars, &expected, sizeof(expected)), 0);

    DCB back{};
    ASSERT_TRUE(GetCommState(handle, &back));
    EXPECT_EQ(back.fParity, 1u);  // a parity is in use
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.EvtChar, '\n');
}

TEST_F(CommPortTest, RefusedSetRestoresThePreviousSettingsAndFailsWithItsError)
{
    HANDLE handle = Open();
    const SerialTestPort::State before = Port().Snapshot();
    DCB wanted{};
    ASSERT_TRUE(GetCommState(handle, &wanted));
    wanted.BaudRate = 57600;
    wanted.ByteSize = 7;
    wanted.XonChar = 'A';
    wanted.fOutxCtsFlow = 1;
    for (size_t refused = 0; refused < 4; ++refused) {
        Port().ClearRecord();
        Port().FailNext(kSetState[refused], STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(SetCommState(handle, &wanted)) << refused;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << refused;
        // The reads, the sets up to the refused one (the lines follow the baud rate), then all the
        // previous values again.
        const std::vector<ULONG> sets = SetStateCodes();
        std::vector<ULONG> expected = GetStateCodes();
        expected.insert(expected.end(), sets.begin(), sets.begin() + (refused == 0 ? 1 : refused + 3));
        expected.insert(expected.end(), sets.begin(), sets.end());
        EXPECT_EQ(Port().Codes(), expected) << refused;
        const SerialTestPort::State after = Port().Snapshot();
        EXPECT_EQ(after.baud.BaudRate, before.baud.BaudRate) << refused;
        EXPECT_EQ(std::memcmp(&after.line, &before.line, sizeof(before.line)), 0) << refused;
        EXPECT_EQ(std::memcmp(&after.chars, &before.chars, sizeof(before.chars)), 0) << refused;
        EXPECT_EQ(std::memcmp(&after.handflow, &before.handflow, sizeof(before.handflow)), 0) << refused;
    }

    // A refused read ends the call before anything is set.
    Port().ClearRecord();
    Port().FailNext(IOCTL_SERIAL_GET_CHARS, STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(SetCommState(handle, &wanted));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Port().Codes(), (std::vector<ULONG>{kGetState[0], kGetState[1], kGetState[2]}));
}

TEST_F(CommPortTest, CommConfigIsMadeFromTheStateWhenTheDriverKeepsNone)
{
    HANDLE handle = Open();
    COMMCONFIG config{};
    DWORD size = sizeof(config);
    ASSERT_TRUE(GetCommConfig(handle, &config, &size));
    EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(config.wVersion, 1);
    EXPECT_EQ(config.dwProviderSubType, PST_RS232);
    EXPECT_EQ(config.dwProviderSize, 0u);
    EXPECT_EQ(config.dcb.BaudRate, 9600u);

    config.dcb.BaudRate = 19200;
    Port().ClearRecord();
    ASSERT_TRUE(SetCommConfig(handle, &config, sizeof(config)));
    EXPECT_EQ(Port().Snapshot().baud.BaudRate, 19200u);
    EXPECT_EQ(Port().Codes(), Concat({GetStateCodes(), SetStateCodes()}));  // no provider data to send
}

// ---- Errors ------------------------------------------------------------------------------------

TEST_F(CommPortTest, ClearCommErrorMapsErrorsAndHoldsAndClearsTheErrors)
{
    struct ErrorCase {
        ULONG serial;
        DWORD comm;
    };
    const ErrorCase errors[] = {{SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER}, {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
                                {SERIAL_ERROR_PARITY, CE_RXPARITY},     {SERIAL_ERROR_FRAMING, CE_FRAME},
                                {SERIAL_ERROR_BREAK, CE_BREAK}};
    HANDLE handle = Open();
    for (const ErrorCase& e : errors) {
        Port().Modify([&](SerialTestPort::State& s) { s.status.Errors = e.serial; });
        DWORD comm = 0xFFFF;
        ASSERT_TRUE(ClearCommError(handle, &comm, nullptr));
        EXPECT_EQ(comm, e.comm) << e.serial;
        ASSERT_TRUE(ClearCommError(handle, &comm, nullptr));
        EXPECT_EQ(comm, 0u) << "read and cleared";
    }

    Port().Modify([](SerialTestPort::State& s) {
        s.status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT;
        s.status.AmountInInQueue = 17;
        s.status.AmountInOutQueue = 5;
        s.status.EofReceived = TRUE;
    });
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(handle, nullptr, &stat));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 0u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffHold, 0u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 0u);
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.cbOutQue, 5u);
}

TEST_F(CommPortTest, EveryStatusTheDriversCompleteWithReachesTheCallerAsItsWin32Error)
{
    struct StatusCase {
        NTSTATUS status;
        BOOL result;
        DWORD error;
    };
    const StatusCase cases[] = {
        {STATUS_UNSUCCESSFUL, FALSE, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, FALSE, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_DEVICE_REQUEST, FALSE, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, FALSE, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, FALSE, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, FALSE, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INSUFFICIENT_RESOURCES, FALSE, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NOT_SUPPORTED, FALSE, ERROR_NOT_SUPPORTED},
        {STATUS_NOT_A_DIRECTORY, FALSE, ERROR_DIRECTORY},
        {STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_REMOVED, FALSE, ERROR_DEVICE_REMOVED},
        // Success and informational statuses are successes.
        {STATUS_TIMEOUT, TRUE, ERROR_SUCCESS},
        {STATUS_SERIAL_MORE_WRITES, TRUE, ERROR_SUCCESS},
        {STATUS_SERIAL_COUNTER_TIMEOUT, TRUE, ERROR_SUCCESS},
    };
    for (bool overlapped : {false, true}) {
        HANDLE handle = Open(overlapped);
        for (const StatusCase& c : cases) {
            Port().FailNext(IOCTL_SERIAL_SET_BREAK_ON, c.status);
            SetLastError(ERROR_SUCCESS);
            EXPECT_EQ(SetCommBreak(handle), c.result) << std::hex << c.status;
            EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
            if (!c.result) {
                EXPECT_EQ(RtlGetLastNtStatus(), c.status) << std::hex << c.status;
            }
        }
        Close(handle);
    }
}

}  // namespace
}  // namespace emu::testing
