// WMI through a framework device: the bus image registers one 8-byte data block through its
// device callbacks, and WMI's requests reach the image's routines through the bus FDO's stack.
#include "framework_scenario.h"

#include <algorithm>
#include <cstring>

#include <wmilib.h>

#include "wmi_requests.h"

namespace tfscenario {
namespace {

using emu::testing::WmiRequests;
using emu::testing::WmiTarget;

// The bus image's data block (tfbusimage.cpp) and its initial contents.
const GUID kBusWmiGuid = {0x5A8E2F41, 0x7C3B, 0x4D19, {0x9E, 0x62, 0x1B, 0x0F, 0x4A, 0x7D, 0x8C, 0x35}};
const std::vector<uint8_t> kInitialBlock = {0x54, 0x46, 0x42, 0x55, 0x53, 0x01, 0x02, 0x03};

// The software tracing's control GUIDs, registered after the driver's blocks.
const GUID kTraceControlGuids[8] = {
    {0x17486B3C, 0x13C2, 0x4743, {0xB2, 0xFE, 0x85, 0xEB, 0xB2, 0x07, 0x47, 0x45}},
    {0xB7F58A64, 0x680B, 0x47F6, {0xA6, 0x32, 0x90, 0x75, 0xC7, 0xAE, 0x9A, 0x53}},
    {0xF602E867, 0x71C3, 0x4AE3, {0xAA, 0x27, 0x51, 0xAB, 0x38, 0xC8, 0xD9, 0xF4}},
    {0x8B445439, 0x05DF, 0x4DA1, {0x9F, 0x82, 0x7A, 0x50, 0x24, 0xBB, 0x9E, 0x8E}},
    {0xE7AEB0ED, 0x1E1A, 0x4E66, {0x90, 0xDD, 0x39, 0xD4, 0xFF, 0x71, 0x78, 0x53}},
    {0xDFEB207A, 0xE286, 0x48BC, {0xAD, 0x63, 0x64, 0x49, 0x8C, 0xB0, 0x8E, 0x9B}},
    {0xDCCB20EC, 0xEAEB, 0x4834, {0x87, 0x29, 0x16, 0x01, 0x51, 0x9E, 0xD0, 0x01}},
    {0xDF7594D6, 0xA59E, 0x4D40, {0x9D, 0xBD, 0x75, 0x5F, 0x01, 0xEE, 0x0A, 0xD8}},
};

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

class WmiScenario : public FrameworkScenario {
protected:
    void SetUp() override
    {
        FrameworkScenario::SetUp();
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        ASSERT_NE(BusFdo(), nullptr);
    }
    WmiTarget Target(ULONG bufferSize = 4096) const
    {
        WmiTarget target;
        target.device = BusFdo();
        target.bufferSize = bufferSize;
        return target;
    }
};

TEST_F(WmiScenario, RegistrationListsTheDriversBlockFollowedByTheTracingControlGuids)
{
    auto reg = WmiRequests::RegInfo(Target());
    ASSERT_TRUE(reg.completed);
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    ASSERT_EQ(reg.guids.size(), 9u);
    EXPECT_TRUE(SameGuid(reg.guids[0].guid, kBusWmiGuid));
    EXPECT_EQ(reg.guids[0].instanceCount, 1u);
    EXPECT_EQ(reg.guids[0].flags & WMIREG_FLAG_EXPENSIVE, 0u);
    for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(SameGuid(reg.guids[i + 1].guid, kTraceControlGuids[i])) << i;
    // Registry paths compare without regard to case.
    EXPECT_EQ(Upper(reg.registryPath), Upper(ServiceKey(kBusService)));
}

TEST_F(WmiScenario, QueriesReturnTheDriversBytes)
{
    size_t mark = RecordMark(kBusService);
    auto all = WmiRequests::QueryAllData(Target(), kBusWmiGuid);
    ASSERT_TRUE(all.completed);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 1u);
    EXPECT_EQ(all.instances[0], kInitialBlock);

    auto single = WmiRequests::QuerySingleInstance(Target(), kBusWmiGuid, 0);
    ASSERT_TRUE(single.completed);
    ASSERT_EQ(single.status, STATUS_SUCCESS);
    ASSERT_EQ(single.instances.size(), 1u);
    EXPECT_EQ(single.instances[0], kInitialBlock);

    EXPECT_EQ(Lines(Record(kBusService, mark), "22 "),
              (std::vector<std::string>{"22 dev1 guid=0 inst=0", "22 dev1 guid=0 inst=0"}));
}

TEST_F(WmiScenario, ChangeReachesTheDriverAndLaterQueriesSeeIt)
{
    size_t mark = RecordMark(kBusService);
    const std::vector<uint8_t> block = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    auto change = WmiRequests::ChangeSingleInstance(Target(), kBusWmiGuid, 0, block);
    ASSERT_TRUE(change.completed);
    EXPECT_EQ(change.status, STATUS_SUCCESS);
    // A fixed-size block is handed over without a size.
    EXPECT_EQ(Lines(Record(kBusService, mark), "23 "),
              (std::vector<std::string>{"23 dev1 guid=0 inst=0 size=0 data=a0a1a2a3a4a5a6a7"}));

    auto single = WmiRequests::QuerySingleInstance(Target(), kBusWmiGuid, 0);
    ASSERT_EQ(single.status, STATUS_SUCCESS);
    ASSERT_EQ(single.instances.size(), 1u);
    EXPECT_EQ(single.instances[0], block);
}

TEST_F(WmiScenario, ShortChangeAndUnknownInstanceNeverReachTheDriver)
{
    size_t mark = RecordMark(kBusService);
    auto shortChange = WmiRequests::ChangeSingleInstance(Target(), kBusWmiGuid, 0, {1, 2, 3, 4});
    ASSERT_TRUE(shortChange.completed);
    // Refused: either a failure status or the library's too-small answer, never a plain success.
    EXPECT_TRUE(!NT_SUCCESS(shortChange.status) || shortChange.tooSmall) << std::hex << shortChange.status;

    auto otherInstance = WmiRequests::QuerySingleInstance(Target(), kBusWmiGuid, 1);
    ASSERT_TRUE(otherInstance.completed);
    EXPECT_EQ(otherInstance.status, STATUS_WMI_INSTANCE_NOT_FOUND);

    EXPECT_TRUE(Lines(Record(kBusService, mark), "22 ").empty());
    EXPECT_TRUE(Lines(Record(kBusService, mark), "23 ").empty());

    auto single = WmiRequests::QuerySingleInstance(Target(), kBusWmiGuid, 0);
    ASSERT_EQ(single.instances.size(), 1u);
    EXPECT_EQ(single.instances[0], kInitialBlock);
}

TEST_F(WmiScenario, TracingControlGuidsAndUnknownGuidsCarryNoData)
{
    for (const GUID& guid : kTraceControlGuids) {
        auto all = WmiRequests::QueryAllData(Target(), guid);
        ASSERT_TRUE(all.completed);
        EXPECT_EQ(all.status, STATUS_WMI_GUID_NOT_FOUND);
        EXPECT_TRUE(all.instances.empty());
    }
    const GUID unknown = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    auto none = WmiRequests::QuerySingleInstance(Target(), unknown, 0);
    ASSERT_TRUE(none.completed);
    EXPECT_EQ(none.status, STATUS_WMI_GUID_NOT_FOUND);
}

TEST_F(WmiScenario, TooSmallBufferReportsTheNeededSizeAndThatSizeIsEnough)
{
    size_t mark = RecordMark(kBusService);
    auto tiny = WmiRequests::QueryAllData(Target(sizeof(WNODE_ALL_DATA)), kBusWmiGuid);
    ASSERT_TRUE(tiny.completed);
    EXPECT_EQ(tiny.status, STATUS_SUCCESS);
    ASSERT_TRUE(tiny.tooSmall);
    EXPECT_GT(tiny.sizeNeeded, sizeof(WNODE_ALL_DATA));
    EXPECT_TRUE(Lines(Record(kBusService, mark), "22 ").empty());

    auto exact = WmiRequests::QueryAllData(Target(tiny.sizeNeeded), kBusWmiGuid);
    ASSERT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_FALSE(exact.tooSmall);
    ASSERT_EQ(exact.instances.size(), 1u);
    EXPECT_EQ(exact.instances[0], kInitialBlock);
}

}  // namespace
}  // namespace tfscenario
