// WaitCommEvent for each event an application can wait on, with the far end of the cable changing
// the lines, sending characters, breaks and errors, or the port sending its last byte.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <span>

#include "async_request.h"
#include "com_port_fixture.h"
#include "line_signals.h"

namespace e2e {
namespace {

using PeerEnd = emu::devices::ScriptedPeer;
using emu::devices::Time;

struct CommEventCase {
    const char* name;
    DWORD mask;
    // Done before the wait starts, and done while it waits; the second must end it.
    std::function<void(PeerEnd&, Time)> before;
    std::function<void(PeerEnd&, Time)> during;
    bool writes = false;  // the port writes a few bytes while the wait is pending
};

const uint8_t kText[] = {'a', 'b', 'Z', 'c'};

const CommEventCase kCases[] = {
    {"CtsChange", EV_CTS, nullptr, [](PeerEnd& p, Time t) { p.SetCts(t, true); }},
    {"DsrChange", EV_DSR, nullptr, [](PeerEnd& p, Time t) { p.SetDsr(t, true); }},
    {"RlsdChange", EV_RLSD, nullptr, [](PeerEnd& p, Time t) { p.SetDcd(t, true); }},
    // The leading edge of RI raises nothing; the trailing edge raises EV_RING.
    {"RingTrailingEdge", EV_RING, [](PeerEnd& p, Time t) { p.SetRi(t, true); }, [](PeerEnd& p, Time t) { p.SetRi(t, false); }},
    {"Break", EV_BREAK, nullptr, [](PeerEnd& p, Time t) { p.SendBreak(t); }},
    {"FramingErrorIsErr", EV_ERR, nullptr, [](PeerEnd& p, Time t) { p.SendWithErrors(t, 0x55, emu::devices::status::kFramingError); }},
    {"ParityErrorIsErr", EV_ERR, nullptr, [](PeerEnd& p, Time t) { p.SendWithErrors(t, 0x55, emu::devices::status::kParityError); }},
    {"ReceivedCharacter", EV_RXCHAR, nullptr, [](PeerEnd& p, Time t) { p.Send(t, kText); }},
    {"EventCharacter", EV_RXFLAG, [](PeerEnd& p, Time t) { p.Send(t, std::span(kText, 2)); }, [](PeerEnd& p, Time t) { p.Send(t, kText); }},
    {"TransmitterEmpty", EV_TXEMPTY, nullptr, nullptr, true},
};

class CommEventTest : public ComPortTest, public ::testing::WithParamInterface<CommEventCase> {
protected:
    // Lets a line change reach the port: the chip reports its lines in its next status packet, at
    // the latest when its latency timer runs out.
    void Deliver(const std::function<void(PeerEnd&, Time)>& action)
    {
        if (!action) return;
        action(Peer(), Now());
        Notify();
        AdvanceMs(20);
    }
};

TEST_P(CommEventTest, TheWaitEndsWithItsEvent)
{
    const CommEventCase& c = GetParam();
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {});
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.EvtChar = 'Z';
    ASSERT_TRUE(SetCommState(port, &dcb));
    AdvanceMs(20);  // the lines as they are now are known to the port
    ASSERT_TRUE(SetCommMask(port, c.mask));

    Deliver(c.before);
    AsyncRequest wait(port);
    EXPECT_FALSE(wait.WaitEvent());
    EXPECT_EQ(wait.Error(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(wait.Pending()) << "ended by what came before it";

    std::optional<AsyncRequest> write;
    if (c.writes) {
        write.emplace(port);
        write->Write({1, 2, 3, 4});
        ASSERT_TRUE(write->Finish());
        EXPECT_TRUE(write->Succeeded());
    }
    Deliver(c.during);
    AdvanceMs(20);
    ASSERT_TRUE(wait.Finish());
    EXPECT_TRUE(wait.Succeeded()) << "error " << wait.Error();
    EXPECT_EQ(wait.Events(), c.mask);
}

INSTANTIATE_TEST_SUITE_P(Events, CommEventTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CommEventCase>& info) { return std::string(info.param.name); });

// SetCommMask while a wait is pending ends the wait with no event.
TEST_F(ComPortTest, ANewMaskEndsAPendingWaitWithNoEvent)
{
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_CTS));
    AsyncRequest wait(port);
    wait.WaitEvent();
    ASSERT_TRUE(wait.Pending());
    ASSERT_TRUE(SetCommMask(port, EV_DSR));
    ASSERT_TRUE(wait.Finish());
    EXPECT_TRUE(wait.Succeeded());
    EXPECT_EQ(wait.Events(), 0u);
}

}  // namespace
}  // namespace e2e
