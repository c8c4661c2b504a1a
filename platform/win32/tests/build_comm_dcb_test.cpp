// BuildCommDCB and BuildCommDCBAndTimeouts: the mode string's old and new forms, what each
// changes in the block, the time-outs, and the strings refused with the block left alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// A block with every member the parser may touch set to something it would not write.
DCB Base()
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 4242;
    dcb.ByteSize = 6;
    dcb.Parity = SPACEPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fOutX = dcb.fInX = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// What "no flow control" makes of Base(): DTR and RTS on, no handshakes.
void NoFlow(DCB& d)
{
    d.fOutX = d.fInX = 0;
    d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
}

struct ModeCase {
    const char* definition;
    std::function<void(DCB&)> expected;  // applied to Base()
};

TEST(BuildCommDcb, OldAndNewFormsChangeWhatTheyName)
{
    const ModeCase cases[] = {
        {"COM1: 96,n,8,1",
         [](DCB& d) { NoFlow(d); d.BaudRate = 9600; d.Parity = NOPARITY; d.ByteSize = 8; d.StopBits = ONESTOPBIT; }},
        {"19,e,7,2,x",
         [](DCB& d) {
             NoFlow(d);
             d.BaudRate = 19200; d.Parity = EVENPARITY; d.fParity = 1; d.ByteSize = 7; d.StopBits = TWOSTOPBITS;
             d.fOutX = d.fInX = 1;
         }},
        {"com12:115200,O,5,1.5,p",
         [](DCB& d) {
             d.BaudRate = 115200; d.Parity = ODDPARITY; d.fParity = 1; d.ByteSize = 5; d.StopBits = ONE5STOPBITS;
             d.fOutX = d.fInX = 0;
             d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
             d.fDtrControl = DTR_CONTROL_HANDSHAKE;
             d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         }},
        {"11", [](DCB& d) { NoFlow(d); d.BaudRate = 110; d.StopBits = TWOSTOPBITS; }},
        {"11,,,1", [](DCB& d) { NoFlow(d); d.BaudRate = 110; d.StopBits = ONESTOPBIT; }},
        {",m", [](DCB& d) { NoFlow(d); d.Parity = MARKPARITY; d.fParity = 1; }},
        {"baud=1200 parity=N data=8 stop=1",
         [](DCB& d) { NoFlow(d); d.BaudRate = 1200; d.Parity = NOPARITY; d.ByteSize = 8; d.StopBits = ONESTOPBIT; }},
        {"COM3:baud=110", [](DCB& d) { NoFlow(d); d.BaudRate = 110; d.StopBits = TWOSTOPBITS; }},
        {"xon=on odsr=on octs=on dtr=hs rts=tg idsr=on",
         [](DCB& d) {
             d.fOutX = d.fInX = 1;
             d.fOutxDsrFlow = d.fOutxCtsFlow = 1;
             d.fDtrControl = DTR_CONTROL_HANDSHAKE;
             d.fRtsControl = RTS_CONTROL_TOGGLE;
             d.fDsrSensitivity = 1;
         }},
        {"dtr=off rts=hs to=on", [](DCB& d) { NoFlow(d); d.fDtrControl = DTR_CONTROL_DISABLE; d.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"COM2", [](DCB&) {}},
    };
    for (const ModeCase& c : cases) {
        DCB dcb = Base();
        DCB expected = Base();
        c.expected(expected);
        ASSERT_TRUE(BuildCommDCBA(c.definition, &dcb)) << c.definition;
        EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof(DCB)), 0) << c.definition;
    }
    DCB wide = Base();
    ASSERT_TRUE(BuildCommDCBW(u"baud=57600 data=7", &wide));
    EXPECT_EQ(wide.BaudRate, 57600u);
    EXPECT_EQ(wide.ByteSize, 7);
}

TEST(BuildCommDcb, RefusedStringsLeaveTheBlockAsItWas)
{
    const char* refused[] = {
        "LPT1: 96,n,8,1", "COM0: 96", "COM:96", "96,q,8,1", "96,n,9,1", "96,n,8,3", "96,n,8,1,z", "96,n,8,1,x,1",
        "baud=96 parity=n,8", "96 baud=96", "baud=", "speed=9600", "data=4", "stop=1.25", "dtr=tg", "xon=yes",
        "baud=0", "to=maybe",
    };
    for (const char* definition : refused) {
        DCB dcb = Base();
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(BuildCommDCBA(definition, &dcb)) << definition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << definition;
        const DCB base = Base();
        EXPECT_EQ(std::memcmp(&dcb, &base, sizeof(DCB)), 0) << definition;
    }
    DCB dcb = Base();
    EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
    EXPECT_FALSE(BuildCommDCBA("96", nullptr));
}

TEST(BuildCommDcb, TimeoutsFollowTheToSwitch)
{
    struct TimeoutCase {
        const char* definition;
        COMMTIMEOUTS expected;
    };
    const COMMTIMEOUTS untouched{1, 2, 3, 4, 5};
    const TimeoutCase cases[] = {
        {"baud=9600 to=on", {0, 0, 0, 0, 60000}},
        {"baud=9600 to=off", {0, 0, 0, 0, 0}},
        {"baud=9600", untouched},
        {"96,n,8,1", untouched},
    };
    for (const TimeoutCase& c : cases) {
        DCB dcb = Base();
        COMMTIMEOUTS timeouts = untouched;
        ASSERT_TRUE(BuildCommDCBAndTimeoutsA(c.definition, &dcb, &timeouts)) << c.definition;
        EXPECT_EQ(std::memcmp(&timeouts, &c.expected, sizeof(COMMTIMEOUTS)), 0) << c.definition;
        EXPECT_EQ(dcb.BaudRate, 9600u) << c.definition;
    }
    DCB dcb = Base();
    EXPECT_FALSE(BuildCommDCBAndTimeoutsW(u"to=on", &dcb, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    COMMTIMEOUTS timeouts = untouched;
    EXPECT_FALSE(BuildCommDCBAndTimeoutsA("to=on baud=x", &dcb, &timeouts));
    EXPECT_EQ(std::memcmp(&timeouts, &untouched, sizeof(COMMTIMEOUTS)), 0);
}

}  // namespace
