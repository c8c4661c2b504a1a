// cfgmgr32's device nodes: locate, relations, re-enumeration; and msports' COM-name database.
#include <cfgmgr32.h>
#include <msports.h>

#include <vector>

#include "rtl/rtl_text.h"
#include "setupapi_control.h"
#include "setupapi_fixture.h"

namespace emu::testing {
namespace {

std::u16string IdOf(DEVINST number)
{
    WCHAR id[MAX_DEVICE_ID_LEN];
    EXPECT_EQ(CM_Get_Device_IDW(number, id, MAX_DEVICE_ID_LEN, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    return id;
}

TEST_F(SetupApiTest, DevNodesWalkTheTreeFromTheRoot)
{
    DEVINST root = 0, bus = 0, first = 0, second = 0, none = 0;
    ASSERT_EQ(CM_Locate_DevNodeW(&root, nullptr, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(IdOf(root), setupapi::kRootInstancePath);
    EXPECT_EQ(CM_Get_Parent(&none, root, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    ASSERT_EQ(CM_Get_Child(&bus, root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(EqualNoCase(IdOf(bus), kTestBusInstance));
    ASSERT_EQ(CM_Get_Child(&first, bus, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(CM_Get_Sibling(&second, first, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Get_Sibling(&none, second, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_TRUE(EqualNoCase(IdOf(second), Children()[1].instancePath));
    DEVINST parent = 0;
    ASSERT_EQ(CM_Get_Parent(&parent, second, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(parent, bus);

    std::u16string id = Children()[0].instancePath;
    DEVINST located = 0;
    ASSERT_EQ(CM_Locate_DevNodeW(&located, id.data(), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(located, first);
    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, first, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(status & DN_STARTED);
    std::u16string missing = u"PNPTEST\\CHILD\\NONE";
    EXPECT_EQ(CM_Locate_DevNodeW(&located, missing.data(), 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    setupapi::FailNextCall(setupapi::SetupCall::GetParent, CR_FAILURE);
    EXPECT_EQ(CM_Get_Parent(&parent, second, 0), static_cast<CONFIGRET>(CR_FAILURE));
}

TEST_F(SetupApiTest, ReenumeratingTheRootAsksItsDevicesForChildrenAgain)
{
    Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kTestBusInstance) + u"\\Device Parameters",
                   u"ChildCount", 3);
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeW(&root, nullptr, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(CM_Reenumerate_DevNode(root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    Pnp().WaitIdle();
    EXPECT_EQ(Children().size(), 3u);
    EXPECT_EQ(setupapi::Reenumerations(), std::vector<std::u16string>{setupapi::kRootInstancePath});
    setupapi::FailNextCall(setupapi::SetupCall::ReenumerateDevNode, CR_FAILURE);
    EXPECT_EQ(CM_Reenumerate_DevNode(root, 0), static_cast<CONFIGRET>(CR_FAILURE));
}

class ComDatabaseTest : public MachineTest {
protected:
    std::vector<BYTE> Usage(HCOMDB database)
    {
        std::vector<BYTE> bytes(256, 0xEE);
        DWORD reported = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(database, bytes.data(), 256, CDB_REPORT_BYTES, &reported), ERROR_SUCCESS);
        EXPECT_EQ(reported, 256u);
        return bytes;
    }
};

TEST_F(ComDatabaseTest, ClaimsAreMachineWideAndOnlyForcedOverAClaim)
{
    HCOMDB one = HCOMDB_INVALID_HANDLE_VALUE, two = HCOMDB_INVALID_HANDLE_VALUE;
    ASSERT_EQ(ComDBOpen(&one), ERROR_SUCCESS);
    ASSERT_EQ(ComDBOpen(&two), ERROR_SUCCESS);
    BOOL forced = TRUE;
    EXPECT_EQ(ComDBClaimPort(one, 3, FALSE, &forced), ERROR_SUCCESS);
    EXPECT_FALSE(forced);
    EXPECT_EQ(ComDBClaimPort(two, 3, FALSE, &forced), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ComDBClaimPort(two, 3, TRUE, &forced), ERROR_SUCCESS);
    EXPECT_TRUE(forced);
    EXPECT_EQ(ComDBClaimPort(one, 256, FALSE, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(ComDBClaimPort(one, 257, FALSE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimPort(one, 0, FALSE, nullptr), ERROR_INVALID_PARAMETER);

    std::vector<BYTE> usage = Usage(two);
    EXPECT_EQ(usage[2], 1);
    EXPECT_EQ(usage[255], 1);
    EXPECT_EQ(std::count(usage.begin(), usage.end(), 0), 254);
    DWORD next = 0;
    EXPECT_EQ(ComDBClaimNextFreePort(one, &next), ERROR_SUCCESS);
    EXPECT_EQ(next, 1u);
    EXPECT_EQ(ComDBReleasePort(two, 3), ERROR_SUCCESS);
    EXPECT_EQ(Usage(one)[2], 0);

    BYTE bits[32] = {};
    DWORD reported = 0;
    EXPECT_EQ(ComDBGetCurrentPortUsage(one, bits, 32, CDB_REPORT_BITS, &reported), ERROR_SUCCESS);
    EXPECT_EQ(bits[0], 0x01);
    EXPECT_EQ(bits[31], 0x80);
    EXPECT_EQ(ComDBGetCurrentPortUsage(one, nullptr, 0, CDB_REPORT_BYTES, &reported), ERROR_SUCCESS);
    EXPECT_EQ(reported, 256u);
    EXPECT_EQ(ComDBClose(one), ERROR_SUCCESS);
    EXPECT_EQ(ComDBClose(one), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimPort(one, 5, FALSE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClose(two), ERROR_SUCCESS);
}

TEST_F(ComDatabaseTest, EveryCallCanBeMadeToFail)
{
    setupapi::FailNextCall(setupapi::SetupCall::ComDbOpen, ERROR_ACCESS_DENIED);
    HCOMDB database = nullptr;
    EXPECT_EQ(ComDBOpen(&database), ERROR_ACCESS_DENIED);
    EXPECT_EQ(database, HCOMDB_INVALID_HANDLE_VALUE);
    ASSERT_EQ(ComDBOpen(&database), ERROR_SUCCESS);
    const setupapi::SetupCall calls[] = {setupapi::SetupCall::ComDbClaimPort, setupapi::SetupCall::ComDbReleasePort,
                                         setupapi::SetupCall::ComDbGetCurrentPortUsage};
    for (setupapi::SetupCall call : calls) setupapi::FailNextCall(call, ERROR_NOT_ENOUGH_MEMORY);
    BYTE usage[256];
    EXPECT_EQ(ComDBClaimPort(database, 4, FALSE, nullptr), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ComDBReleasePort(database, 4), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ComDBGetCurrentPortUsage(database, usage, 256, CDB_REPORT_BYTES, nullptr), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ComDBGetCurrentPortUsage(database, usage, 256, CDB_REPORT_BYTES, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(ComDBClose(database), ERROR_SUCCESS);
}

}  // namespace
}  // namespace emu::testing
