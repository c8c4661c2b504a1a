// WMI provider of a functional device: what it registers (the driver's blocks, then the tracing
// control GUIDs), and the checks between the WMI library and the driver's routines: GUID, instance,
// item and method ranges, read-only blocks, the sizes a query needs and where instances land.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ex/pool.h"
#include "wmi/wmi_manager.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfdevicecallbacks.h"
#include "tfmemorytracker.h"
#include "tftrace.h"
#include "tfwmi.h"

namespace {

constexpr ULONG kTracked = emu::PoolTag("TfKi");

const GUID kBlockA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kBlockB = {0x44444444, 0x5555, 0x6666, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kBlockC = {0x77777777, 0x8888, 0x9999, {1, 2, 3, 4, 5, 6, 7, 8}};

// What the driver's routines saw and answer.
struct Script {
    std::vector<std::string> calls;
    bool answer = true;
    ULONG instanceSize = 5;
    ULONG methodIn = 4, methodOut = 6;
    ULONG usedIn = 0, usedOut = 0;  // 0: leave the sizes as given
};
Script* g_script = nullptr;

BOOLEAN InstanceSize(CTfObject*, ULONG guid, ULONG instance, PULONG size)
{
    g_script->calls.push_back("size " + std::to_string(guid) + "/" + std::to_string(instance));
    *size = g_script->instanceSize + instance;
    return g_script->answer;
}
BOOLEAN QueryData(CTfObject*, ULONG guid, ULONG instance, PUCHAR buffer)
{
    g_script->calls.push_back("query " + std::to_string(guid) + "/" + std::to_string(instance));
    buffer[0] = (UCHAR)(0xA0 + instance);
    return g_script->answer;
}
BOOLEAN SetBlock(CTfObject*, ULONG guid, ULONG instance, ULONG size, PUCHAR)
{
    g_script->calls.push_back("set " + std::to_string(guid) + " size " + std::to_string(size));
    return g_script->answer;
}
BOOLEAN SetItem(CTfObject*, ULONG guid, ULONG, ULONG item, ULONG size, PUCHAR)
{
    g_script->calls.push_back("item " + std::to_string(guid) + "/" + std::to_string(item) + " size " +
                              std::to_string(size));
    return g_script->answer;
}
BOOLEAN MethodSize(CTfObject*, ULONG, ULONG, ULONG, PULONG in, PULONG out)
{
    *in = g_script->methodIn;
    *out = g_script->methodOut;
    return g_script->answer;
}
BOOLEAN Execute(CTfObject*, ULONG guid, ULONG, ULONG method, PULONG in, PULONG out, PUCHAR)
{
    g_script->calls.push_back("method " + std::to_string(guid) + "/" + std::to_string(method));
    if (g_script->usedIn) *in = g_script->usedIn;
    if (g_script->usedOut) *out = g_script->usedOut;
    return g_script->answer;
}

class WmiTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_script = &m_script;
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        m_fdo = m_driver.CreateDevice();
        m_pdo = m_driver.CreateDevice();
        // Block 0: fixed 8 bytes, two instances, expensive. Block 1: sized by the driver, three
        // instances, two items, one method. Block 2: read-only.
        m_records[0] = {&kBlockA, 2, 1, 8, 0, 1, 0};
        m_records[1] = {&kBlockB, 3, 0, 0, 0, 2, 1};
        m_records[2] = {&kBlockC, 1, 0, 4, 1, 1, 0};
        m_callbacks.m_WmiInstanceSize = &InstanceSize;
        m_callbacks.m_WmiQueryData = &QueryData;
        m_callbacks.m_WmiSetDataBlock = &SetBlock;
        m_callbacks.m_WmiSetDataItem = &SetItem;
        m_callbacks.m_WmiMethodSize = &MethodSize;
        m_callbacks.m_WmiExecuteMethod = &Execute;
    }
    void TearDown() override
    {
        delete m_pWmi;
        m_pWmi = nullptr;
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        g_script = nullptr;
        MachineTest::TearDown();
    }

    CWmi* Make(ULONG count = 3, const TF_WMI_GUID_RECORD* records = nullptr)
    {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Cvtest");
        BOOLEAN bSuccess = FALSE;
        m_pWmi = new (NonPagedPool) CWmi(m_fdo, nullptr, m_pdo, &path, records ? records : m_records, count,
                                         &m_callbacks, nullptr, &bSuccess);
        if (!bSuccess) {
            delete m_pWmi;
            m_pWmi = nullptr;
        }
        return m_pWmi;
    }
    NTSTATUS Query(ULONG guid, ULONG first, ULONG count, ULONG avail, ULONG* used,
                   std::vector<ULONG>* lengths = nullptr)
    {
        m_buffer.assign(avail + 1, 0xEE);
        std::vector<ULONG> local(count ? count : 1, 0);
        NTSTATUS status = m_pWmi->m_QueryDataBlock(guid, first, count, local.data(), avail, m_buffer.data(), used);
        if (lengths) *lengths = local;
        return status;
    }

    emu::testing::TestDriver m_driver{u"cvwmi"};
    PDEVICE_OBJECT m_fdo = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    TF_WMI_GUID_RECORD m_records[3] = {};
    CTfDeviceCallbacks m_callbacks;
    CWmi* m_pWmi = nullptr;
    Script m_script;
    std::vector<UCHAR> m_buffer;
    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

TEST_F(WmiTest, RegistersDriverBlocksThenTracingGuids)
{
    ASSERT_NE(Make(), nullptr);
    EXPECT_TRUE(machine().GetWmi().IsRegistered(m_fdo));
    PWMILIB_CONTEXT pContext = m_pWmi->m_GetContext();
    ASSERT_EQ(pContext->GuidCount, 3u + TF_WMI_TRACE_GUID_COUNT);
    EXPECT_EQ(pContext->GuidList[0].Guid, &kBlockA);
    EXPECT_EQ(pContext->GuidList[0].InstanceCount, 2u);
    EXPECT_EQ(pContext->GuidList[0].Flags, (ULONG)(WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EXPENSIVE));
    EXPECT_EQ(pContext->GuidList[1].Flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO);
    for (ULONG i = 0; i < TF_WMI_TRACE_GUID_COUNT; ++i) {
        EXPECT_EQ(std::memcmp(pContext->GuidList[3 + i].Guid, &g_TfTraceControlGuids[i], sizeof(GUID)), 0);
        EXPECT_EQ(pContext->GuidList[3 + i].InstanceCount, 1u);
        EXPECT_EQ(pContext->GuidList[3 + i].Flags, 0u);
    }
    EXPECT_EQ(pContext->WmiFunctionControl, nullptr);

    ULONG flags = 0;
    PUNICODE_STRING pPath = nullptr;
    PDEVICE_OBJECT pPdo = nullptr;
    UNICODE_STRING instance{}, mof{};
    EXPECT_FALSE(m_pWmi->m_IsRegistrationAnswered());
    EXPECT_EQ(m_pWmi->m_QueryRegInfo(&flags, &instance, &pPath, &mof, &pPdo), STATUS_SUCCESS);
    EXPECT_EQ(flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(pPdo, m_pdo);
    ASSERT_NE(pPath, nullptr);
    EXPECT_EQ(std::u16string(pPath->Buffer, pPath->Length / 2),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Cvtest");
    EXPECT_TRUE(m_pWmi->m_IsRegistrationAnswered());

    delete m_pWmi;
    m_pWmi = nullptr;
    EXPECT_FALSE(machine().GetWmi().IsRegistered(m_fdo));
}

TEST_F(WmiTest, CountWithoutRecordsFails)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\X");
    BOOLEAN bSuccess = TRUE;
    CWmi* pWmi = new (NonPagedPool) CWmi(m_fdo, nullptr, m_pdo, &path, nullptr, 2, &m_callbacks, nullptr, &bSuccess);
    EXPECT_FALSE(bSuccess);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
    EXPECT_FALSE(machine().GetWmi().IsRegistered(m_fdo));
    delete pWmi;
}

TEST_F(WmiTest, QueryChecksGuidAndInstances)
{
    ASSERT_NE(Make(), nullptr);
    ULONG used = 0;
    // The tracing control GUIDs carry no data.
    EXPECT_EQ(Query(3, 0, 1, 64, &used), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Query(10, 0, 1, 64, &used), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Query(0, 0, 0, 64, &used), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(Query(0, 1, 2, 64, &used), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(Query(0, 2, 1, 64, &used), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(Query(0, 0, 3, 64, &used), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_TRUE(m_script.calls.empty());
    EXPECT_EQ(Query(0, 1, 1, 64, &used), STATUS_SUCCESS);
    EXPECT_EQ(used, 8u);
}

TEST_F(WmiTest, FixedSizeInstancesNeedRoundedTotalAndLandAligned)
{
    ASSERT_NE(Make(), nullptr);
    ULONG used = 0;
    std::vector<ULONG> lengths;
    EXPECT_EQ(Query(0, 0, 2, 23, &used, &lengths), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(used, 24u);
    EXPECT_TRUE(m_script.calls.empty());

    EXPECT_EQ(Query(0, 0, 2, 24, &used, &lengths), STATUS_SUCCESS);
    EXPECT_EQ(used, 24u);
    EXPECT_EQ(lengths, (std::vector<ULONG>{8, 8}));
    // Instance 1 sits at the standard aligned offset 8, not at the start of the buffer.
    EXPECT_EQ(m_buffer[0], 0xA0);
    EXPECT_EQ(m_buffer[8], 0xA1);
    EXPECT_EQ(m_script.calls, (std::vector<std::string>{"query 0/0", "query 0/1"}));
}

TEST_F(WmiTest, DriverSizedInstances)
{
    ASSERT_NE(Make(), nullptr);
    ULONG used = 0;
    std::vector<ULONG> lengths;
    // Sizes 5, 6, 7: 8 + 8 + 7.
    EXPECT_EQ(Query(1, 0, 3, 64, &used, &lengths), STATUS_SUCCESS);
    EXPECT_EQ(lengths, (std::vector<ULONG>{5, 6, 7}));
    EXPECT_EQ(used, 23u);
    EXPECT_EQ(m_buffer[0], 0xA0);
    EXPECT_EQ(m_buffer[8], 0xA1);
    EXPECT_EQ(m_buffer[16], 0xA2);

    m_script.answer = false;
    EXPECT_EQ(Query(1, 0, 1, 64, &used), STATUS_UNSUCCESSFUL);
    m_script.answer = true;
    m_callbacks.m_WmiInstanceSize = nullptr;
    delete m_pWmi;
    m_pWmi = nullptr;
    ASSERT_NE(Make(), nullptr);
    EXPECT_EQ(Query(1, 0, 1, 64, &used), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
}

TEST_F(WmiTest, SetsRespectReadOnlySizesAndItems)
{
    ASSERT_NE(Make(), nullptr);
    UCHAR data[16] = {};
    EXPECT_EQ(m_pWmi->m_SetDataBlock(2, 0, 16, data), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(m_pWmi->m_SetDataItem(2, 0, 0, 16, data), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(m_pWmi->m_SetDataBlock(5, 0, 16, data), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(m_pWmi->m_SetDataBlock(1, 3, 16, data), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(m_pWmi->m_SetDataBlock(0, 0, 7, data), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(m_pWmi->m_SetDataItem(1, 0, 2, 4, data), STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_TRUE(m_script.calls.empty());

    // A fixed-size block passes size 0; a driver-sized one the buffer's size.
    EXPECT_EQ(m_pWmi->m_SetDataBlock(0, 1, 8, data), STATUS_SUCCESS);
    EXPECT_EQ(m_pWmi->m_SetDataItem(1, 2, 1, 3, data), STATUS_SUCCESS);
    EXPECT_EQ(m_script.calls, (std::vector<std::string>{"set 0 size 0", "item 1/1 size 3"}));
    m_script.answer = false;
    EXPECT_EQ(m_pWmi->m_SetDataBlock(1, 0, 4, data), STATUS_WMI_SET_FAILURE);
    EXPECT_EQ(m_pWmi->m_SetDataItem(1, 0, 0, 4, data), STATUS_WMI_SET_FAILURE);
}

TEST_F(WmiTest, SetsWithoutRoutinesAreReadOnly)
{
    m_callbacks.m_WmiSetDataBlock = nullptr;
    m_callbacks.m_WmiSetDataItem = nullptr;
    m_callbacks.m_WmiExecuteMethod = nullptr;
    ASSERT_NE(Make(), nullptr);
    UCHAR data[8] = {};
    ULONG used = 0;
    EXPECT_EQ(m_pWmi->m_SetDataBlock(1, 0, 8, data), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(m_pWmi->m_SetDataItem(1, 0, 0, 8, data), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 8, 8, data, &used), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(WmiTest, MethodSizes)
{
    ASSERT_NE(Make(), nullptr);
    UCHAR data[16] = {};
    ULONG used = 0;
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 1, 16, 16, data, &used), STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(0, 0, 0, 16, 16, data, &used), STATUS_WMI_ITEMID_NOT_FOUND);
    // Needs 4 in, 6 out.
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 3, 16, data, &used), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(used, 6u);
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 16, 5, data, &used), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(m_script.calls.empty());
    m_script.usedOut = 2;
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 4, 6, data, &used), STATUS_SUCCESS);
    EXPECT_EQ(used, 2u);
    // The method asks for more than the request has.
    m_script.usedOut = 12;
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 4, 6, data, &used), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(used, 12u);
    m_script.answer = false;
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 16, 16, data, &used), STATUS_UNSUCCESSFUL);

    m_callbacks.m_WmiMethodSize = nullptr;
    delete m_pWmi;
    m_pWmi = nullptr;
    ASSERT_NE(Make(), nullptr);
    m_script.answer = true;
    EXPECT_EQ(m_pWmi->m_ExecuteMethod(1, 0, 0, 16, 16, data, &used), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
}

TEST_F(WmiTest, DispatchWithoutProviderAndCallbacksWithoutDevice)
{
    PIRP pIrp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(
        pIrp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    IoSetNextIrpStackLocation(pIrp);
    IoGetCurrentIrpStackLocation(pIrp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    EXPECT_EQ(CWmi::sm_DispatchSystemControl(nullptr, m_fdo, nullptr, pIrp), STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(pIrp);

    // A device object without a framework object behind it.
    CWmi* pWmi = reinterpret_cast<CWmi*>(1);
    EXPECT_EQ(TfWmiAcquireDevice(m_fdo, &pWmi), STATUS_DELETE_PENDING);
    EXPECT_EQ(pWmi, nullptr);
}

}  // namespace
