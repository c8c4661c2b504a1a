// Debug manager: which trace group, flag and message number each level reaches, the format and
// line limits, hex dumps, timing, the name tables, and the event-log source it is built on.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ke/clock.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "dbg/trace_system.h"
#include "machine_test.h"
#include "tfdebugmanager.h"
#include "tfmemorytracker.h"
#include "tftrace.h"

namespace {

using emu::PoolTag;
using emu::RegistryCall;
using emu::TraceMessage;
using emu::Violation;

constexpr ULONG kTracked = PoolTag("TfKi");
constexpr char16_t kServiceKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Portdrv39";
constexpr char16_t kEventLogSystem[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System";
constexpr char16_t kEventSource[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\Portdrv39";

// The control GUIDs of the eight groups, in group order.
const GUID kControlGuids[8] = {
    {0x17486B3C, 0x13C2, 0x4743, {0xB2, 0xFE, 0x85, 0xEB, 0xB2, 0x07, 0x47, 0x45}},
    {0xB7F58A64, 0x680B, 0x47F6, {0xA6, 0x32, 0x90, 0x75, 0xC7, 0xAE, 0x9A, 0x53}},
    {0xF602E867, 0x71C3, 0x4AE3, {0xAA, 0x27, 0x51, 0xAB, 0x38, 0xC8, 0xD9, 0xF4}},
    {0x8B445439, 0x05DF, 0x4DA1, {0x9F, 0x82, 0x7A, 0x50, 0x24, 0xBB, 0x9E, 0x8E}},
    {0xE7AEB0ED, 0x1E1A, 0x4E66, {0x90, 0xDD, 0x39, 0xD4, 0xFF, 0x71, 0x78, 0x53}},
    {0xDFEB207A, 0xE286, 0x48BC, {0xAD, 0x63, 0x64, 0x49, 0x8C, 0xB0, 0x8E, 0x9B}},
    {0xDCCB20EC, 0xEAEB, 0x4834, {0x87, 0x29, 0x16, 0x01, 0x51, 0x9E, 0xD0, 0x01}},
    {0xDF7594D6, 0xA59E, 0x4D40, {0x9D, 0xBD, 0x75, 0x5F, 0x01, 0xEE, 0x0A, 0xD8}},
};

struct Flag {
    ULONG group;
    ULONG bit;
};

// Level -> group and flag bit, from the level table.
Flag FlagOf(ULONG level)
{
    static const struct {
        ULONG first, last, group;
    } rows[] = {{0, 0, 0}, {1, 2, 1}, {3, 4, 2}, {5, 6, 3}, {7, 30, 4}, {31, 34, 5}, {35, 38, 6}, {39, 54, 7}};
    for (const auto& row : rows)
        if (level >= row.first && level <= row.last) return {row.group, level - row.first};
    ADD_FAILURE() << "no flag for level " << level;
    return {0, 0};
}

std::vector<uint8_t> Bytes(std::u16string_view text)
{
    std::vector<uint8_t> data(text.size() * sizeof(char16_t));
    if (!data.empty()) std::memcpy(data.data(), text.data(), data.size());
    return data;
}

// Each test is a loaded image with its tracing set up for its driver object; the manager, the
// tracing and the library reference are all undone before the machine goes.
class DebugManagerTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        ASSERT_TRUE(registry().CreateKey(kServiceKey));
        RtlInitUnicodeString(&m_RegistryPath, (PCWSTR)kServiceKey);
        TfTraceInitialize(&m_DriverObject, &m_RegistryPath);
    }
    void TearDown() override
    {
        DeleteManager();
        while (TfTraceIsSetUp()) TfTraceCleanup(&m_DriverObject);
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }
    emu::TraceSystem& trace() { return machine().GetTrace(); }

    CTfDebugManager* CreateManager(const char16_t* service = u"Portdrv39", BOOLEAN* pbOk = nullptr,
                                   ULONG* pulLogLevel = nullptr)
    {
        CTfString ServiceName(PagedPool, (const WCHAR*)service);
        CTfString RegistryPath(PagedPool, (const WCHAR*)kServiceKey);
        BOOLEAN bOk = FALSE;
        ULONG ulLogLevel = 0xFFFF;
        g_pTfDebugManager =
            new (NonPagedPool) CTfDebugManager(&m_DriverObject, ServiceName, RegistryPath, &bOk, &ulLogLevel);
        if (pbOk) *pbOk = bOk;
        if (pulLogLevel) *pulLogLevel = ulLogLevel;
        return g_pTfDebugManager;
    }
    void DeleteManager()
    {
        delete g_pTfDebugManager;
        g_pTfDebugManager = nullptr;
    }

    // Enables the flag of a level, keeping the flags enabled so far.
    void Enable(ULONG level)
    {
        const Flag flag = FlagOf(level);
        m_Enabled[flag.group] |= 1u << flag.bit;
        trace().Enable(kControlGuids[flag.group], m_Enabled[flag.group]);
    }
    std::vector<TraceMessage> Messages() { return trace().Messages(); }
    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const TraceMessage& message : Messages()) texts.push_back(emu::TraceSystem::StringArgument(message));
        return texts;
    }

    ULONG m_Enabled[8] = {};
    DRIVER_OBJECT m_DriverObject{};
    UNICODE_STRING m_RegistryPath{};
    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// ----- levels and trace flags -----------------------------------------------------------------

TEST_F(DebugManagerTest, EachLevelReachesItsGroupFlagAndMessageNumberOnly)
{
    CTfDebugManager* pManager = CreateManager();
    ASSERT_NE(pManager, nullptr);
    for (ULONG level = 0; level <= 54; ++level) {
        SCOPED_TRACE(level);
        const Flag flag = FlagOf(level);
        trace().Clear();

        // Every other flag of the group: nothing.
        trace().Enable(kControlGuids[flag.group], ~(1u << flag.bit));
        CTfDebugManager::m_Log(pManager, level, "line %u", level);
        EXPECT_TRUE(Messages().empty());

        trace().Enable(kControlGuids[flag.group], 1u << flag.bit);
        CTfDebugManager::m_Log(pManager, level, "line %u", level);
        std::vector<TraceMessage> messages = Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].groupIndex, flag.group);
        EXPECT_EQ(messages[0].messageNumber, level + 10);
        EXPECT_TRUE(IsEqualGUID(messages[0].messageGuid, g_TfTraceMessageGuid));
        EXPECT_EQ(messages[0].messageFlags & (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID),
                  ULONG{TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID});
        ASSERT_EQ(messages[0].arguments.size(), 1u);
        std::string expected = "line " + std::to_string(level);
        expected.push_back('\0');  // the text travels with its terminator
        EXPECT_EQ(messages[0].arguments[0], std::vector<uint8_t>(expected.begin(), expected.end()));
        trace().Disable(kControlGuids[flag.group]);
    }
}

TEST_F(DebugManagerTest, TimingLevelsLogAsLevel17AndHigherLevelsAreReported)
{
    CTfDebugManager* pManager = CreateManager();
    CTfDebugManager::m_Log(pManager, 56, "TD=%dys", 5);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(CTfDebugManager::m_IsLevelEnabled(55));

    Enable(17);
    EXPECT_TRUE(CTfDebugManager::m_IsLevelEnabled(56));
    CTfDebugManager::m_Log(pManager, 55, "TD=%dys", 5);
    CTfDebugManager::m_Log(pManager, 56, "PLD=%dys", 6);
    std::vector<TraceMessage> messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].messageNumber, 27);
    EXPECT_EQ(messages[1].messageNumber, 27);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"TD=5ys", "PLD=6ys"}));

    for (ULONG group = 0; group < 8; ++group) trace().Enable(kControlGuids[group], 0xFFFFFFFF);
    trace().Clear();
    CTfDebugManager::m_Log(pManager, 57, "never");
    CTfDebugManager::m_Log(pManager, 0xFFFFFFFF, "never");
    EXPECT_EQ(Take(Violation::AssertReport), 2u);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(CTfDebugManager::m_IsLevelEnabled(57));
}

TEST_F(DebugManagerTest, FormatsUpTo250CharactersAreLoggedAndOutputIsCutAt249)
{
    CTfDebugManager* pManager = CreateManager();
    Enable(12);

    const std::string longest(250, 'f');
    CTfDebugManager::m_Log(pManager, 12, longest.c_str());
    EXPECT_EQ(Texts(), std::vector<std::string>{std::string(249, 'f')});
    EXPECT_EQ(Take(Violation::AssertReport), 0u);

    trace().Clear();
    const std::string tooLong(251, 'f');
    CTfDebugManager::m_Log(pManager, 12, tooLong.c_str());
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_TRUE(Messages().empty());

    const std::string argument(400, 'a');
    CTfDebugManager::m_Log(pManager, 12, "->%s<-", argument.c_str());
    EXPECT_EQ(Texts(), std::vector<std::string>{"->" + std::string(247, 'a')});

    trace().Clear();
    CTfDebugManager::m_Log(pManager, 12, nullptr);
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_TRUE(Messages().empty());
}

// A routine's entry and exit lines are the texts a routine would write out in full, at its level;
// a failure line too long as a whole format is refused as that format would be.
TEST_F(DebugManagerTest, RoutineLinesAreTheTextsWrittenOutInFull)
{
    CreateManager();
    Enable(TF_LOG_FLOW);
    Enable(TF_LOG_CONTROL_QUEUE);
    {
        CTfRoutineLog Log("CTfThing::m_Do");
        Log.m_Fail("IoCallDriver %08x", 0xC0000001u);
        Log.m_Success();
        Log.m_Result(STATUS_SUCCESS);
        Log.m_Result(STATUS_INVALID_PARAMETER);
        CTfRoutineLog Queue("CTfQueue::m_Wait", TF_LOG_CONTROL_QUEUE);
        Queue.m_Fail("no mask");
    }
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "CTfThing::m_Do - IN", "CTfThing::m_Do - OUT - Fail-> IoCallDriver c0000001",
                           "CTfThing::m_Do - OUT (Success)", "CTfThing::m_Do - OUT (Success)",
                           "CTfThing::m_Do - OUT - Fail-> status 0xC000000D", "CTfQueue::m_Wait - IN",
                           "CTfQueue::m_Wait - OUT - Fail-> no mask"}));
    std::vector<TraceMessage> messages = Messages();
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[0].messageNumber, TF_LOG_FLOW + 10);
    EXPECT_EQ(messages[6].messageNumber, TF_LOG_CONTROL_QUEUE + 10);

    // "R - OUT - Fail-> " is 17 characters: a reason of 233 makes a format of 250, one more 251.
    CTfRoutineLog Log("R");
    trace().Clear();
    Log.m_Fail(std::string(233, 'r').c_str());
    EXPECT_EQ(Texts(), std::vector<std::string>{("R - OUT - Fail-> " + std::string(233, 'r')).substr(0, 249)});
    EXPECT_EQ(Take(Violation::AssertReport), 0u);
    trace().Clear();
    Log.m_Fail(std::string(234, 'r').c_str());
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
}

TEST_F(DebugManagerTest, NothingIsSentWithoutManagerOrTracing)
{
    Enable(8);
    TfDebugLog(8, "no manager yet");
    CTfDebugManager::m_Log(nullptr, 8, "no manager");
    CTfDebugManager::m_Log(nullptr, 99, "no manager, no report either");
    EXPECT_TRUE(Messages().empty());

    CreateManager();
    TfDebugLog(8, "through the image's manager %d", 1);
    EXPECT_EQ(Texts(), std::vector<std::string>{"through the image's manager 1"});

    trace().Clear();
    TfTraceCleanup(&m_DriverObject);
    EXPECT_FALSE(TfTraceIsSetUp());
    TfDebugLog(8, "tracing ended");
    EXPECT_TRUE(Messages().empty());

    DeleteManager();
    TfTraceInitialize(&m_DriverObject, &m_RegistryPath);
    TfDebugLog(8, "manager gone");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(DebugManagerTest, TracingSetUpNestsAndExtraCleanupsDoNothing)
{
    CTfDebugManager* pManager = CreateManager();
    Enable(3);
    TfTraceInitialize(&m_DriverObject, &m_RegistryPath);  // a second set-up (a device of the image)
    TfTraceCleanup(&m_DriverObject);
    EXPECT_EQ(trace().RegistrationCount(), 1u);
    CTfDebugManager::m_Log(pManager, 3, "still traced");
    EXPECT_EQ(Messages().size(), 1u);

    TfTraceCleanup(&m_DriverObject);
    TfTraceCleanup(&m_DriverObject);
    EXPECT_FALSE(TfTraceIsSetUp());
    EXPECT_EQ(trace().RegistrationCount(), 0u);

    // The next set-up registers again and picks up what the consumer has enabled.
    TfTraceInitialize(&m_DriverObject, &m_RegistryPath);
    CTfDebugManager::m_Log(pManager, 3, "traced again");
    EXPECT_EQ(Messages().size(), 2u);
}

// ----- hex dumps and timing -------------------------------------------------------------------

TEST_F(DebugManagerTest, HexDumpOf70BytesGivesThreeLinesOf33_33And4Bytes)
{
    CTfDebugManager* pManager = CreateManager();
    Enable(12);
    std::vector<UCHAR> data(70);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xA0 + i);

    auto hex = [&](size_t from, size_t to) {
        std::string text;
        char digits[4];
        for (size_t i = from; i < to; ++i) {
            std::snprintf(digits, sizeof(digits), "%02X ", data[i]);
            text += digits;
        }
        return text;
    };
    CTfDebugManager::m_LogHexDump(pManager, 12, data.data(), 70);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"0x" + hex(0, 33), hex(33, 66), hex(66, 70)}));
    for (const TraceMessage& message : Messages()) EXPECT_EQ(message.messageNumber, 22);

    trace().Clear();
    CTfDebugManager::m_LogHexDump(pManager, 12, data.data(), 33);
    EXPECT_EQ(Texts(), std::vector<std::string>{"0x" + hex(0, 33)});

    // Nothing at a disabled level or without a manager.
    trace().Clear();
    CTfDebugManager::m_LogHexDump(pManager, 13, data.data(), 70);
    CTfDebugManager::m_LogHexDump(nullptr, 12, data.data(), 70);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(DebugManagerTest, TitledHexDumpSendsOnlyTheTimingMessage)
{
    machine().GetClock().SetScale(0);
    CTfDebugManager* pManager = CreateManager();
    const UCHAR data[40] = {0x25, 0x73};
    Enable(12);

    CTfDebugManager::m_LogHexDumpWithTitle(pManager, 12, data, sizeof(data), "%s%s%n title");
    EXPECT_TRUE(Messages().empty());  // level 17 not enabled

    Enable(17);
    CTfDebugManager::m_LogHexDumpWithTitle(pManager, 12, data, sizeof(data), "%s%s%n title");
    std::vector<TraceMessage> messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].messageNumber, TF_TRACE_MESSAGE_DUMP_TIMING);
    EXPECT_EQ(messages[0].groupIndex, FlagOf(17).group);
    EXPECT_EQ(messages[0].arguments, (std::vector<std::vector<uint8_t>>{{0, 0, 0, 0}}));  // clock paused

    trace().Clear();
    CTfDebugManager::m_LogHexDumpWithTitle(pManager, 13, data, sizeof(data), "disabled level");
    CTfDebugManager::m_LogHexDumpWithTitle(nullptr, 12, data, sizeof(data), "no manager");
    EXPECT_TRUE(Messages().empty());

    // A title that fills the line leaves no room for its terminator.
    const std::string title(120, 't');
    CTfDebugManager::m_LogHexDumpWithTitle(pManager, 12, data, sizeof(data), title.c_str());
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DebugManagerTest, ElapsedMicrosecondsFollowTheClockWithoutOverflow)
{
    emu::Clock& clock = machine().GetClock();
    clock.SetScale(0);
    LARGE_INTEGER stamp;
    stamp.QuadPart = 0;
    CTfDebugManager::sm_GetElapsedMicroseconds(&stamp);
    EXPECT_EQ(stamp.QuadPart, KeQueryPerformanceCounter(nullptr).QuadPart);

    struct Step {
        LONGLONG advance;  // 100 ns units
        LONG expected;
    } steps[] = {
        {0, 0},
        {10, 1},
        {15000000, 1500000},
        {12345678901LL, 1234567890},
        {21474836470LL, INT_MAX},              // exactly the largest result
        {21474836480LL, INT_MAX},              // one microsecond more: clamped
        {30LL * 24 * 3600 * 10000000, INT_MAX},  // delta x 1,000,000 would overflow 64 bits
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.advance);
        clock.Advance(step.advance);
        EXPECT_EQ(CTfDebugManager::sm_GetElapsedMicroseconds(&stamp), step.expected);
        EXPECT_EQ(stamp.QuadPart, KeQueryPerformanceCounter(nullptr).QuadPart);
    }
    EXPECT_EQ(CTfDebugManager::sm_GetElapsedMicroseconds(nullptr), 0);
}

// ----- name tables ----------------------------------------------------------------------------

TEST_F(DebugManagerTest, NameTablesUseTheLowByteOfMinorCodesAndNameEverythingElseUnknown)
{
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(13), "IRP_MN_FILTER_RESOURCE_REQUIREMENTS");
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(14), "IRP_MN_?????");
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(15), "IRP_MN_READ_CONFIG");
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(23), "IRP_MN_SURPRISE_REMOVAL");
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(0x18), "IRP_MN_?????");
    EXPECT_STREQ(CTfDebugManager::m_GetPnpMinorName(0x102), "IRP_MN_REMOVE_DEVICE");
    EXPECT_STREQ(CTfDebugManager::m_GetPowerMinorName(0x302), "IRP_MN_SET_POWER");
    EXPECT_STREQ(CTfDebugManager::m_GetPowerMinorName(4), "IRP_MN_?????");
    EXPECT_STREQ(CTfDebugManager::m_GetUsbIoctlName(0x220017), "IOCTL_INTERNAL_USB_ENABLE_PORT (obsolete)");
    EXPECT_STREQ(CTfDebugManager::m_GetUsbIoctlName(0x220004), "IOCTL_?????");
    EXPECT_STREQ(CTfDebugManager::m_GetStatusName(STATUS_UNSUCCESSFUL), "STATUS_UNSUCCESSFUL");
    EXPECT_STREQ(CTfDebugManager::m_GetStatusName(STATUS_BUFFER_OVERFLOW), "STATUS_?????");
}

// ----- event-log source and service values ----------------------------------------------------

TEST_F(DebugManagerTest, BuildingRegistersTheEventLogSourceAndWritesTheDefaultLogLevel)
{
    BOOLEAN bOk = FALSE;
    ULONG ulLogLevel = 0;
    CTfDebugManager* pManager = CreateManager(u"Portdrv39", &bOk, &ulLogLevel);
    ASSERT_TRUE(bOk);
    EXPECT_EQ(ulLogLevel, 1u);
    EXPECT_EQ(pManager->m_GetLogLevel(), 1u);
    EXPECT_EQ(registry().GetDword(kServiceKey, u"LogLevel"), 1u);
    EXPECT_EQ(pManager->m_GetDebugMask(), 0u);
    EXPECT_EQ(pManager->m_GetOperatorDebugMask(), 0u);
    EXPECT_TRUE(pManager->m_GetName().m_IsEqual(CTfString(PagedPool, (const WCHAR*)u"Portdrv39")));

    const std::u16string messageFile =
        std::u16string(u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\Portdrv39.sys") +
        u'\0';
    EXPECT_EQ(registry().GetValue(kEventSource, u"EventMessageFile"),
              (emu::RegistryValue{REG_EXPAND_SZ, Bytes(messageFile)}));
    EXPECT_EQ(registry().GetDword(kEventSource, u"TypesSupported"), 7u);

    // Deleting the manager removes the source again, and only the source.
    DeleteManager();
    EXPECT_FALSE(registry().KeyExists(kEventSource));
    EXPECT_TRUE(registry().KeyExists(kEventLogSystem));
}

TEST_F(DebugManagerTest, LogLevelAboveThreeIsRewrittenAndValidLevelsAndMasksAreKept)
{
    struct Case {
        std::vector<uint8_t> stored;
        ULONG type;
        ULONG expected;
    } cases[] = {
        {{7, 0, 0, 0}, REG_DWORD, 1},
        {{4, 0, 0, 0}, REG_DWORD, 1},
        {{0, 0, 0, 0}, REG_DWORD, 0},
        {{3, 0, 0, 0}, REG_DWORD, 3},
        {Bytes(std::u16string(u"2\0", 2)), REG_SZ, 1},  // not a number: as if missing
    };
    ASSERT_TRUE(registry().SetDword(kServiceKey, u"DebugMask", 0x55));
    ASSERT_TRUE(registry().SetDword(kServiceKey, u"OperatorDebugMask", 0xAA000001));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_TRUE(registry().SetValue(kServiceKey, u"LogLevel", c.type, c.stored));
        BOOLEAN bOk = FALSE;
        ULONG ulLogLevel = 0xFFFF;
        CTfDebugManager* pManager = CreateManager(u"Portdrv39", &bOk, &ulLogLevel);
        ASSERT_TRUE(bOk);
        EXPECT_EQ(ulLogLevel, c.expected);
        EXPECT_EQ(registry().GetDword(kServiceKey, u"LogLevel"), c.expected);
        EXPECT_EQ(pManager->m_GetDebugMask(), 0x55u);
        EXPECT_EQ(pManager->m_GetOperatorDebugMask(), 0xAA000001u);
        DeleteManager();
    }
}

TEST_F(DebugManagerTest, FailedRegistrationStepsReportNotOk)
{
    BOOLEAN bOk = TRUE;

    // The default LogLevel cannot be written: nothing else is attempted.
    registry().FailNextCall(RegistryCall::SetValueKey, STATUS_ACCESS_DENIED);
    CreateManager(u"Portdrv39", &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_FALSE(registry().KeyExists(kEventSource));
    DeleteManager();

    // The source's key cannot be created.
    ASSERT_TRUE(registry().SetDword(kServiceKey, u"LogLevel", 2));
    registry().FailNextCall(RegistryCall::CreateKey, STATUS_INSUFFICIENT_RESOURCES);
    bOk = TRUE;
    ULONG ulLogLevel = 0;
    CreateManager(u"Portdrv39", &bOk, &ulLogLevel);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(ulLogLevel, 2u);
    EXPECT_FALSE(registry().KeyExists(kEventSource));
    DeleteManager();

    // The message file cannot be written; the key made so far goes with the manager.
    registry().FailNextCall(RegistryCall::SetValueKey, STATUS_INSUFFICIENT_RESOURCES);
    bOk = TRUE;
    CreateManager(u"Portdrv39", &bOk);
    EXPECT_FALSE(bOk);
    DeleteManager();
    EXPECT_FALSE(registry().KeyExists(kEventSource));

    // No service name: the System log's own key is never touched.
    bOk = TRUE;
    CreateManager(u"", &bOk);
    EXPECT_FALSE(bOk);
    DeleteManager();
    EXPECT_TRUE(registry().KeyExists(kEventLogSystem));
    EXPECT_TRUE(registry().ValueNames(kEventLogSystem).empty());
    EXPECT_TRUE(registry().SubKeys(kEventLogSystem).empty());

    // A name that cannot be built.
    CTfString ServiceName(PagedPool, (const WCHAR*)u"Portdrv39");
    CTfString RegistryPath(PagedPool, (const WCHAR*)kServiceKey);
    machine().GetPool().FailNextWithTag(kTracked);
    bOk = TRUE;
    {
        CTfDebugManager Manager(&m_DriverObject, ServiceName, RegistryPath, &bOk, nullptr);
        EXPECT_FALSE(bOk);
    }
    EXPECT_FALSE(registry().KeyExists(kEventSource));
}

TEST_F(DebugManagerTest, RemovingTheRegistrationTwiceDeletesOnlyTheSourceKeyOnce)
{
    BOOLEAN bOk = FALSE;
    CTfDebugManager* pManager = CreateManager(u"Portdrv39", &bOk);
    ASSERT_TRUE(bOk);
    ASSERT_TRUE(registry().CreateKey(std::u16string(kEventLogSystem) + u"\\Other"));

    EXPECT_TRUE(pManager->m_RemoveRegistration());  // a failed DriverEntry
    EXPECT_FALSE(registry().KeyExists(kEventSource));
    EXPECT_FALSE(pManager->m_RemoveRegistration());
    DeleteManager();  // and the unload that follows
    EXPECT_TRUE(registry().KeyExists(std::u16string(kEventLogSystem) + u"\\Other"));
    EXPECT_TRUE(registry().KeyExists(kEventLogSystem));
}

}  // namespace
