// Two applications, each on its own port of a two-port adapter joined by a null-modem cable, send
// blocks to each other at the same time; the lines of one port are the other's inputs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "async_request.h"
#include "com_port_fixture.h"

namespace e2e {
namespace {

// One application: writes its block while reading the other's.
struct Application {
    HANDLE port = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> received;
    bool writeDone = false;
};

class NullModemTest : public ComPortTest {
protected:
    void Run(Application& app, size_t expect)
    {
        AsyncRequest write(app.port);
        write.Write(app.sent);
        app.received = ReadAll(app.port, expect);
        app.writeDone = write.Finish() && write.Succeeded() && write.Transferred() == app.sent.size();
    }
};

TEST_F(NullModemTest, TwoApplicationsExchangeBlocksAtOnce)
{
    Plug({.twoPorts = true, .cable = Cable::NullModem});
    Application a, b;
    a.port = Open(1);
    b.port = Open(2);
    ASSERT_NE(a.port, INVALID_HANDLE_VALUE);
    ASSERT_NE(b.port, INVALID_HANDLE_VALUE);
    for (HANDLE port : {a.port, b.port}) Configure(port, {.rate = 921600, .rtsCts = true});
    a.sent = RandomBytes(256 * 1024, 1);
    b.sent = RandomBytes(192 * 1024, 2);

    RunClock(kDataClockScale);  // both applications read with it running
    std::thread other([&] { Run(b, a.sent.size()); });
    Run(a, b.sent.size());
    other.join();
    EXPECT_TRUE(a.writeDone);
    EXPECT_TRUE(b.writeDone);
    EXPECT_TRUE(a.received == b.sent) << "port 1 received " << a.received.size() << " bytes";
    EXPECT_TRUE(b.received == a.sent) << "port 2 received " << b.received.size() << " bytes";
}

TEST_F(NullModemTest, OnePortsOutputsAreTheOthersInputs)
{
    Plug({.twoPorts = true, .cable = Cable::NullModem});
    HANDLE a = Open(1);
    HANDLE b = Open(2);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    Configure(a, {});
    Configure(b, {});
    struct Step {
        DWORD function;
        DWORD expected;  // MS_*_ON at the other port
    };
    const Step steps[] = {{CLRRTS, MS_DSR_ON | MS_RLSD_ON}, {CLRDTR, 0}, {SETRTS, MS_CTS_ON}, {SETDTR, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON}};
    for (const Step& step : steps) {
        ASSERT_TRUE(EscapeCommFunction(a, step.function));
        // The other port learns its lines from its chip's next status packet, after its latency
        // timer, and passes them up on its own threads: wait (bounded) until they are there.
        AdvanceMs(20);
        DWORD modem = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            ASSERT_TRUE(GetCommModemStatus(b, &modem));
        } while ((modem & 0xF0) != step.expected && std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(modem & 0xF0, step.expected) << "after function " << step.function;
    }
}

}  // namespace
}  // namespace e2e
