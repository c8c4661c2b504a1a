// Every time-out mode of ReadFile on a COM port, as COMMTIMEOUTS gives them: bytes arrive from a
// scripted peer at set machine times, and each read must complete exactly when its mode says, with
// exactly the bytes that had arrived.
#include <gtest/gtest.h>

#include <set>

#include "async_request.h"
#include "com_port_fixture.h"

namespace e2e {
namespace {

struct Arrival {
    DWORD atMs;  // after the read started
    DWORD count;
};

// The read half of COMMTIMEOUTS.
struct ReadTimeouts {
    DWORD interval;
    DWORD multiplier;
    DWORD constant;
};

struct ReadTimeoutCase {
    const char* name;
    ReadTimeouts timeouts;
    DWORD length;
    DWORD waiting;  // bytes buffered before the read starts
    std::vector<Arrival> arrivals;
    DWORD completesAtMs;  // kNever: still pending at the horizon
    DWORD bytes;
};

constexpr DWORD kNever = MAXDWORD;
constexpr DWORD kHorizonMs = 60000;

const ReadTimeoutCase kCases[] = {
    {"IntervalMaxAloneReturnsAtOnceWithNothing", {MAXDWORD, 0, 0}, 10, 0, {}, 0, 0},
    {"IntervalMaxAloneReturnsWhatIsBuffered", {MAXDWORD, 0, 0}, 10, 3, {}, 0, 3},
    {"MaxMaxConstantReturnsOnTheFirstByte", {MAXDWORD, MAXDWORD, 100}, 10, 0, {{40, 2}}, 40, 2},
    {"MaxMaxConstantReturnsBufferedBytesAtOnce", {MAXDWORD, MAXDWORD, 100}, 10, 4, {}, 0, 4},
    {"MaxMaxConstantTimesOutEmpty", {MAXDWORD, MAXDWORD, 100}, 10, 0, {}, 100, 0},
    {"NoTimeoutsWaitForTheWholeLength", {0, 0, 0}, 10, 0, {{100, 4}, {5000, 6}}, 5000, 10},
    {"NoTimeoutsNeverExpire", {0, 0, 0}, 10, 0, {{100, 4}}, kNever, 0},
    {"TotalIsLengthTimesMultiplierPlusConstant", {0, 10, 100}, 10, 0, {{50, 3}}, 200, 3},
    {"TotalConstantAlone", {0, 0, 250}, 10, 0, {}, 250, 0},
    {"TotalMultiplierAlone", {0, 7, 0}, 10, 0, {{1, 1}}, 70, 1},
    {"TotalEndsEarlyWhenTheLengthArrives", {0, 10, 100}, 10, 0, {{20, 10}}, 20, 10},
    // The interval starts at the read when bytes wait for it (armed as the read is taken, so the
    // test knows when); bytes arriving later re-arm it from a driver thread the test cannot wait on.
    {"IntervalRunsFromTheBytesTaken", {50, 0, 0}, 10, 2, {}, 50, 2},
    {"IntervalNeverRunsWithoutAByte", {50, 0, 0}, 10, 0, {}, kNever, 0},
    {"IntervalAndTotalTheTotalEndsFirst", {50, 10, 100}, 10, 0, {{10, 1}, {40, 1}, {70, 1}, {100, 1}, {130, 1}, {160, 1}, {190, 1}}, 200, 7},
    {"IntervalAndTotalTheIntervalEndsFirst", {50, 10, 100}, 10, 3, {}, 50, 3},
};

class ReadTimeoutTest : public ComPortTest, public ::testing::WithParamInterface<ReadTimeoutCase> {
protected:
    // Sends `count` bytes from the peer and waits until the port driver has received them.
    void Arrive(HANDLE port, DWORD count)
    {
        const std::vector<uint8_t> bytes = RandomBytes(count, m_sent);
        Peer().Send(Now(), bytes);
        Notify();
        m_sent += count;
        AwaitReceived(port, m_sent);
        m_expected.insert(m_expected.end(), bytes.begin(), bytes.end());
    }

    DWORD m_sent = 0;
    std::vector<uint8_t> m_expected;
};

TEST_P(ReadTimeoutTest, CompletesWhenItsModeSays)
{
    const ReadTimeoutCase& c = GetParam();
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {});
    SetTimeouts(port, c.timeouts.interval, c.timeouts.multiplier, c.timeouts.constant);
    if (c.waiting > 0) Arrive(port, c.waiting);

    AsyncRequest read(port);
    read.Read(c.length);
    // The instants to look at: each arrival, and just before and at the completion.
    std::set<DWORD> instants;
    for (const Arrival& a : c.arrivals) instants.insert(a.atMs);
    if (c.completesAtMs != kNever && c.completesAtMs > 0) instants.insert({c.completesAtMs - 1, c.completesAtMs});
    instants.insert(kHorizonMs);
    DWORD now = 0;
    for (DWORD at : instants) {
        if (c.completesAtMs != kNever && at > c.completesAtMs) break;
        AdvanceMs(at - now);
        now = at;
        for (const Arrival& a : c.arrivals)
            if (a.atMs == at) Arrive(port, a.count);
        if (at < c.completesAtMs) {
            EXPECT_TRUE(read.Pending()) << "completed early, at " << at << " ms";
        }
    }
    if (c.completesAtMs == kNever) {
        EXPECT_TRUE(read.Pending());
        ASSERT_TRUE(CancelIoEx(port, nullptr));
        ASSERT_TRUE(read.Finish());
        EXPECT_EQ(read.Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        return;
    }
    ASSERT_TRUE(read.Finish()) << "not completed at " << c.completesAtMs << " ms";
    EXPECT_TRUE(read.Succeeded()) << "error " << read.Error();
    EXPECT_EQ(read.Transferred(), c.bytes);
    EXPECT_EQ(read.Data(), std::vector<uint8_t>(m_expected.begin(), m_expected.begin() + std::min<size_t>(c.bytes, m_expected.size())));
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadTimeoutTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ReadTimeoutCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
