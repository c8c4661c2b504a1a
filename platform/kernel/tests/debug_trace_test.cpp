// Kernel debugger output (DbgPrint, DbgBreakPoint, KeBugCheckEx) and software tracing.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <wpptrace.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbg/debug_output.h"
#include "dbg/trace_system.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

using ::testing::ElementsAre;

using DebugOutputTest = MachineTest;

TEST_F(DebugOutputTest, LinesAreFormattedAndKeptWithoutReports)
{
    DbgPrint("StartDevice6 - NT STATUS: 0x%X\n", 0xC0000001u);
    DbgPrint("two\nlines\n");
    DbgPrint("%s and %d", nullptr, -4);
    EXPECT_THAT(machine().GetDebugOutput().Lines(),
                ElementsAre("StartDevice6 - NT STATUS: 0xC0000001", "two", "lines", "(null) and -4"));
    EXPECT_EQ(verifier().Count(Violation::AssertReport), 0u);
    machine().GetDebugOutput().Clear();
    EXPECT_TRUE(machine().GetDebugOutput().Lines().empty());
}

TEST_F(DebugOutputTest, AssertLineIsAlsoAVerifierReport)
{
    DbgPrint("ASSERT at - %s %d\n", "tfdeviceproperty", 42);
    DbgPrint("not an ASSERT at - the start\n");
    auto reports = verifier().Take(Violation::AssertReport);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].detail, "ASSERT at - tfdeviceproperty 42");
    EXPECT_EQ(machine().GetDebugOutput().CountContaining("ASSERT at"), 2u);
}

TEST_F(DebugOutputTest, BreakPointIsReported)
{
    DbgBreakPoint();
    EXPECT_EQ(Take(Violation::DbgBreakPoint), 1u);
}

TEST_F(DebugOutputTest, BugCheckStopsTheMachine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeBugCheckEx(0xD1, 1, 2, 3, 4), "KeBugCheckEx 0x000000D1");
}

const GUID kGroupA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kGroupB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};
const GUID kMessageGuid = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {9, 9, 9, 9, 9, 9, 9, 9}};

class TraceTest : public MachineTest {
protected:
    TraceSystem& Trace() { return machine().GetTrace(); }
    void Register(WPP_TRACE_CONTROL_BLOCK (&blocks)[2])
    {
        blocks[0].ControlGuid = kGroupA;
        blocks[1].ControlGuid = kGroupB;
        WppRegisterControlBlocks(nullptr, nullptr, blocks, 2);
    }
    WPP_TRACE_CONTROL_BLOCK m_blocks[2] = {};
};

TEST_F(TraceTest, EnablingBeforeOrAfterRegistrationReachesTheBlocksOfThatGuid)
{
    Trace().Enable(kGroupB, 0x400);
    Register(m_blocks);
    EXPECT_EQ(m_blocks[0].Flags, 0u);
    EXPECT_EQ(m_blocks[0].Logger, 0u);
    EXPECT_EQ(m_blocks[1].Flags, 0x400u);
    EXPECT_NE(m_blocks[1].Logger, 0u);

    Trace().Enable(kGroupA, 0x3);
    EXPECT_EQ(m_blocks[0].Flags, 0x3u);
    EXPECT_NE(m_blocks[0].Logger, 0u);
    EXPECT_NE(m_blocks[0].Logger, m_blocks[1].Logger);

    Trace().Disable(kGroupB);
    EXPECT_EQ(m_blocks[1].Flags, 0u);
    EXPECT_EQ(m_blocks[1].Logger, 0u);
    EXPECT_EQ(m_blocks[0].Flags, 0x3u);
    WppUnregisterControlBlocks(m_blocks);
}

TEST_F(TraceTest, MessagesAreRecordedWithTheirGroupAndArguments)
{
    Trace().Enable(kGroupB, 0xFFFFFFFF);
    Register(m_blocks);
    const char text[] = "CTfDriver::m_AddDevice - IN";
    LONG number = -17;
    EXPECT_EQ(WmiTraceMessage(m_blocks[1].Logger, TRACE_MESSAGE_GUID, &kMessageGuid, 27, (PVOID)text, sizeof(text),
                              (PVOID)&number, sizeof(number), (PVOID)NULL),
              STATUS_SUCCESS);

    auto messages = Trace().Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].controlGuid, kGroupB));
    EXPECT_EQ(messages[0].groupIndex, 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].messageGuid, kMessageGuid));
    EXPECT_EQ(messages[0].messageNumber, 27);
    EXPECT_EQ(messages[0].messageFlags, ULONG{TRACE_MESSAGE_GUID});
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0].size(), sizeof(text));
    EXPECT_EQ(TraceSystem::StringArgument(messages[0]), "CTfDriver::m_AddDevice - IN");
    LONG recorded = 0;
    std::memcpy(&recorded, messages[0].arguments[1].data(), sizeof(recorded));
    EXPECT_EQ(recorded, -17);
    Trace().Clear();
    EXPECT_TRUE(Trace().Messages().empty());
    WppUnregisterControlBlocks(m_blocks);
}

TEST_F(TraceTest, NothingIsRecordedThroughALoggerNobodyListensTo)
{
    Trace().Enable(kGroupA, 1);
    Register(m_blocks);
    TRACEHANDLE logger = m_blocks[0].Logger;
    Trace().Disable(kGroupA);
    const char text[] = "dropped";
    EXPECT_EQ(WmiTraceMessage(logger, 0, &kMessageGuid, 10, (PVOID)text, sizeof(text), (PVOID)NULL),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(WmiTraceMessage(0, 0, &kMessageGuid, 10, (PVOID)text, sizeof(text), (PVOID)NULL),
              STATUS_INVALID_HANDLE);
    EXPECT_TRUE(Trace().Messages().empty());
    WppUnregisterControlBlocks(m_blocks);
}

TEST_F(TraceTest, UnregisteredBlocksAreLeftAlone)
{
    Trace().Enable(kGroupA, 1);
    Register(m_blocks);
    TRACEHANDLE logger = m_blocks[0].Logger;
    WppUnregisterControlBlocks(m_blocks);
    EXPECT_EQ(m_blocks[0].Logger, 0u);
    EXPECT_EQ(Trace().RegistrationCount(), 0u);

    // The image's memory may be gone or reused: a later consumer must not write into it.
    m_blocks[0].Flags = 0xDEAD;
    Trace().Enable(kGroupA, 7);
    Trace().Disable(kGroupA);
    EXPECT_EQ(m_blocks[0].Flags, 0xDEADu);
    const char text[] = "late";
    EXPECT_EQ(WmiTraceMessage(logger, 0, &kMessageGuid, 10, (PVOID)text, sizeof(text), (PVOID)NULL),
              STATUS_INVALID_HANDLE);
}

TEST_F(TraceTest, TwoImagesWithTheSameGuidsAreTracedApart)
{
    WPP_TRACE_CONTROL_BLOCK other[2] = {};
    Register(m_blocks);
    Register(other);
    Trace().Enable(kGroupA, 1);
    EXPECT_NE(m_blocks[0].Logger, other[0].Logger);
    const char first[] = "first image";
    const char second[] = "second image";
    WmiTraceMessage(other[0].Logger, 0, &kMessageGuid, 11, (PVOID)second, sizeof(second), (PVOID)NULL);
    WppUnregisterControlBlocks(other);
    WmiTraceMessage(m_blocks[0].Logger, 0, &kMessageGuid, 11, (PVOID)first, sizeof(first), (PVOID)NULL);
    auto messages = Trace().Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(TraceSystem::StringArgument(messages[0]), "second image");
    EXPECT_EQ(TraceSystem::StringArgument(messages[1]), "first image");
    EXPECT_EQ(m_blocks[0].Flags, 1u);
    WppUnregisterControlBlocks(m_blocks);
}

}  // namespace
}  // namespace emu::testing
