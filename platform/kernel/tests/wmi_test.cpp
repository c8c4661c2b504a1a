// The WMI library and registration: requests decoded into a provider's callbacks, answers laid out
// as WNODEs, the too-small answer, GUID and instance checks, forwarding, registration info, events.
#include <gtest/gtest.h>

#include <wmilib.h>
#include <wmistr.h>

#include <cstring>
#include <vector>

#include "ex/pool.h"
#include "wmi/wmi_manager.h"
#include "machine_test.h"
#include "test_driver.h"
#include "wmi_requests.h"

namespace emu::testing {
namespace {

constexpr GUID kPairBlock = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSettingsBlock = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {8, 7, 6, 5, 4, 3, 2, 1}};
constexpr GUID kUnknownBlock = {0xDEADBEEF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

// What the provider's callbacks saw and answer; the callbacks are plain functions, so the test's
// provider is reached through one pointer.
struct Provider {
    int queries = 0, sets = 0, items = 0, methods = 0;
    ULONG lastGuid = 0, lastInstance = 0, lastInstanceCount = 0, lastItem = 0, lastMethod = 0;
    ULONG lastAvail = 0, lastInSize = 0, lastOutSize = 0;
    std::vector<uint8_t> lastData;
    UNICODE_STRING registryPath{};
    PDEVICE_OBJECT pdo = nullptr;
};
Provider* g_provider = nullptr;

NTSTATUS QueryRegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* registryPath,
                      PUNICODE_STRING, PDEVICE_OBJECT* pdo)
{
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &g_provider->registryPath;
    *pdo = g_provider->pdo;
    return STATUS_SUCCESS;
}

// Block 0 has two instances of 4 and 6 bytes; block 1 one instance of 8 bytes.
NTSTATUS QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG instanceCount,
                        PULONG lengths, ULONG available, PUCHAR buffer)
{
    Provider& p = *g_provider;
    ++p.queries;
    p.lastGuid = guidIndex;
    p.lastInstance = instanceIndex;
    p.lastInstanceCount = instanceCount;
    p.lastAvail = available;
    if (guidIndex == 1) {
        if (available < 8) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 8, IO_NO_INCREMENT);
        std::memset(buffer, 0x5A, 8);
        lengths[0] = 8;
        return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 8, IO_NO_INCREMENT);
    }
    const ULONG sizes[2] = {4, 6};
    ULONG offset = 0;
    for (ULONG i = 0; i < instanceCount; ++i) {
        const ULONG instance = instanceIndex + i;
        if (offset + sizes[instance] > available)
            return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 16, IO_NO_INCREMENT);
        std::memset(buffer + offset, 0xA0 + static_cast<int>(instance), sizes[instance]);
        lengths[i] = sizes[instance];
        offset = (offset + sizes[instance] + 7) & ~7u;
    }
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, instanceCount == 2 ? 14 : sizes[instanceIndex],
                              IO_NO_INCREMENT);
}

NTSTATUS SetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG size,
                      PUCHAR buffer)
{
    ++g_provider->sets;
    g_provider->lastGuid = guidIndex;
    g_provider->lastInstance = instanceIndex;
    g_provider->lastData.assign(buffer, buffer + size);
    return WmiCompleteRequest(device, irp, guidIndex == 1 ? STATUS_SUCCESS : STATUS_WMI_READ_ONLY, 0, IO_NO_INCREMENT);
}

NTSTATUS SetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG itemId,
                     ULONG size, PUCHAR buffer)
{
    ++g_provider->items;
    g_provider->lastItem = itemId;
    g_provider->lastData.assign(buffer, buffer + size);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

// Method 1 doubles each input byte into an output twice as long.
NTSTATUS ExecuteMethod(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG methodId,
                       ULONG inSize, ULONG outSize, PUCHAR buffer)
{
    Provider& p = *g_provider;
    ++p.methods;
    p.lastMethod = methodId;
    p.lastInSize = inSize;
    p.lastOutSize = outSize;
    if (outSize < inSize * 2) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, inSize * 2, IO_NO_INCREMENT);
    std::vector<uint8_t> input(buffer, buffer + inSize);
    for (ULONG i = 0; i < inSize; ++i) buffer[2 * i] = buffer[2 * i + 1] = input[i];
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, inSize * 2, IO_NO_INCREMENT);
}

class WmiTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_provider = &m_provider;
        RtlInitUnicodeString(&m_provider.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\cvuvcp");
        m_pdo = m_bus.CreateDevice(u"\\Device\\CvPdo1");
        m_fdo = m_function.CreateDevice();
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
        m_provider.pdo = m_pdo;

        m_guids[0] = {&kPairBlock, 2, 0};
        m_guids[1] = {&kSettingsBlock, 1, WMIREG_FLAG_EXPENSIVE};
        m_context.GuidCount = 2;
        m_context.GuidList = m_guids;
        m_context.QueryWmiRegInfo = QueryRegInfo;
        m_context.QueryWmiDataBlock = QueryDataBlock;
        m_context.SetWmiDataBlock = SetDataBlock;
        m_context.SetWmiDataItem = SetDataItem;
        m_context.ExecuteWmiMethod = ExecuteMethod;

        m_function.SetDispatch(IRP_MJ_SYSTEM_CONTROL, [this](PDEVICE_OBJECT device, PIRP irp) {
            SYSCTL_IRP_DISPOSITION disposition;
            NTSTATUS status = WmiSystemControl(&m_context, device, irp, &disposition);
            m_lastDisposition = disposition;
            switch (disposition) {
            case IrpProcessed: return status;
            case IrpNotCompleted: IoCompleteRequest(irp, IO_NO_INCREMENT); return status;
            default: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(m_pdo, irp);
            }
        });
        m_bus.SetDispatch(IRP_MJ_SYSTEM_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            ++m_forwarded;
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        });
        ASSERT_EQ(IoWMIRegistrationControl(m_fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        g_provider = nullptr;
        MachineTest::TearDown();
    }

    WmiTarget Target(ULONG bufferSize = 4096) const { return WmiTarget{m_fdo, std::nullopt, bufferSize}; }

    Provider m_provider;
    WMIGUIDREGINFO m_guids[2]{};
    WMILIB_CONTEXT m_context{};
    TestDriver m_bus{u"cvbus"};
    TestDriver m_function{u"cvuvcp"};
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    SYSCTL_IRP_DISPOSITION m_lastDisposition = IrpNotWmi;
    int m_forwarded = 0;
};

TEST_F(WmiTest, QueryAllDataPutsEachInstanceOnAnEightByteBoundary)
{
    WmiResult result = WmiRequests::QueryAllData(Target(), kPairBlock);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_lastDisposition, IrpProcessed);
    EXPECT_EQ(m_provider.lastInstance, 0u);
    EXPECT_EQ(m_provider.lastInstanceCount, 2u);
    ASSERT_EQ(result.instances.size(), 2u);
    EXPECT_EQ(result.instances[0], std::vector<uint8_t>(4, 0xA0));
    EXPECT_EQ(result.instances[1], std::vector<uint8_t>(6, 0xA1));

    // Header, two offset/length pairs, then data from the next 8-byte boundary: 60 + 16 -> 80.
    auto all = reinterpret_cast<const WNODE_ALL_DATA*>(result.buffer.data());
    EXPECT_EQ(all->DataBlockOffset, 80u);
    EXPECT_EQ(all->OffsetInstanceDataAndLength[1].OffsetInstanceData, 88u);
    EXPECT_EQ(result.information, 80u + 14u);
    EXPECT_EQ(all->WnodeHeader.BufferSize, result.information);
    EXPECT_EQ(machine().GetWmi().PendingRequestCount(), 0u);
}

TEST_F(WmiTest, SingleInstanceQueryAndInstanceChecks)
{
    WmiResult result = WmiRequests::QuerySingleInstance(Target(), kPairBlock, 1);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_provider.lastInstance, 1u);
    EXPECT_EQ(m_provider.lastInstanceCount, 1u);
    ASSERT_EQ(result.instances.size(), 1u);
    EXPECT_EQ(result.instances[0], std::vector<uint8_t>(6, 0xA1));

    const int queries = m_provider.queries;
    result = WmiRequests::QuerySingleInstance(Target(), kPairBlock, 2);
    EXPECT_EQ(result.status, STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(m_lastDisposition, IrpNotCompleted);
    result = WmiRequests::ChangeSingleInstance(Target(), kSettingsBlock, 1, {1, 2});
    EXPECT_EQ(result.status, STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(m_provider.queries, queries);
    EXPECT_EQ(m_provider.sets, 0);
}

TEST_F(WmiTest, ChangesReachTheProviderWithTheirData)
{
    WmiResult result = WmiRequests::ChangeSingleInstance(Target(), kSettingsBlock, 0, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(m_provider.lastGuid, 1u);
    EXPECT_EQ(m_provider.lastData, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    result = WmiRequests::ChangeSingleItem(Target(), kSettingsBlock, 0, 3, {9, 9});
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_provider.lastItem, 3u);
    EXPECT_EQ(m_provider.lastData, (std::vector<uint8_t>{9, 9}));

    // The provider's refusal is the request's status; without a set routine the block is read-only.
    EXPECT_EQ(WmiRequests::ChangeSingleInstance(Target(), kPairBlock, 0, {1}).status, STATUS_WMI_READ_ONLY);
    m_context.SetWmiDataItem = nullptr;
    EXPECT_EQ(WmiRequests::ChangeSingleItem(Target(), kSettingsBlock, 0, 0, {1}).status, STATUS_WMI_READ_ONLY);
    EXPECT_EQ(m_provider.items, 1);
}

TEST_F(WmiTest, MethodOutputReplacesItsInput)
{
    WmiResult result = WmiRequests::ExecuteMethod(Target(), kSettingsBlock, 0, 1, {3, 4});
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_provider.lastMethod, 1u);
    EXPECT_EQ(m_provider.lastInSize, 2u);
    EXPECT_EQ(m_provider.lastOutSize, 4096u - 72u);
    EXPECT_EQ(result.output, (std::vector<uint8_t>{3, 3, 4, 4}));
    EXPECT_EQ(result.information, 72u + 4u);

    m_context.ExecuteWmiMethod = nullptr;
    EXPECT_EQ(WmiRequests::ExecuteMethod(Target(), kSettingsBlock, 0, 1, {3}).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(WmiTest, TooSmallBufferIsAnsweredWithTheSizeNeeded)
{
    WmiResult result = WmiRequests::QueryAllData(Target(84), kPairBlock);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(m_provider.lastAvail, 4u);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.tooSmall);
    EXPECT_EQ(result.sizeNeeded, 80u + 16u);
    EXPECT_EQ(result.information, sizeof(WNODE_TOO_SMALL));
    EXPECT_TRUE(result.instances.empty());

    result = WmiRequests::QuerySingleInstance(Target(68), kSettingsBlock, 0);
    EXPECT_TRUE(result.tooSmall);
    EXPECT_EQ(result.sizeNeeded, 64u + 8u);
}

TEST_F(WmiTest, UnknownGuidFailsWithoutReachingTheProvider)
{
    WmiResult result = WmiRequests::QueryAllData(Target(), kUnknownBlock);
    EXPECT_EQ(result.status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(m_lastDisposition, IrpNotCompleted);
    EXPECT_EQ(WmiRequests::ExecuteMethod(Target(), kUnknownBlock, 0, 0, {}).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(m_provider.queries + m_provider.methods, 0);
    EXPECT_EQ(m_forwarded, 0);
}

TEST_F(WmiTest, RequestsForAnotherProviderAndOtherMinorsAreForwarded)
{
    WmiTarget other = Target();
    other.providerId = reinterpret_cast<ULONG_PTR>(m_pdo);
    WmiResult result = WmiRequests::QueryAllData(other, kPairBlock);
    EXPECT_EQ(m_lastDisposition, IrpForward);
    EXPECT_EQ(m_forwarded, 1);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);  // untouched by this provider
    EXPECT_EQ(m_provider.queries, 0);

    WmiRequests::Send(Target(), 0x0C, &kPairBlock, std::vector<uint8_t>(64));
    EXPECT_EQ(m_lastDisposition, IrpNotWmi);
    EXPECT_EQ(m_forwarded, 2);
}

TEST_F(WmiTest, OffsetsOutsideTheBufferAreRefused)
{
    std::vector<uint8_t> buffer(128, 0);
    auto* single = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(buffer.data());
    single->WnodeHeader.BufferSize = 128;
    single->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    single->DataBlockOffset = 120;
    single->SizeDataBlock = 0xFFFFFFF0u;
    EXPECT_EQ(WmiRequests::Send(Target(), IRP_MN_CHANGE_SINGLE_INSTANCE, &kSettingsBlock, buffer).status,
              STATUS_INVALID_PARAMETER);
    single->DataBlockOffset = 4096;
    single->SizeDataBlock = 0;
    EXPECT_EQ(WmiRequests::Send(Target(), IRP_MN_QUERY_SINGLE_INSTANCE, &kSettingsBlock, buffer).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_provider.sets + m_provider.queries, 0);
}

TEST_F(WmiTest, EventsWithoutFunctionControlSucceedForTheDriverToComplete)
{
    WmiResult result = WmiRequests::FunctionControl(Target(), IRP_MN_ENABLE_EVENTS, kPairBlock);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_lastDisposition, IrpNotCompleted);
    EXPECT_EQ(WmiRequests::FunctionControl(Target(), IRP_MN_DISABLE_COLLECTION, kUnknownBlock).status,
              STATUS_WMI_GUID_NOT_FOUND);
}

TEST_F(WmiTest, RegInfoListsTheBlocksWithThePdoAndRegistryPath)
{
    WmiResult result = WmiRequests::RegInfo(Target());
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m_lastDisposition, IrpNotCompleted);
    ASSERT_EQ(result.guids.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(result.guids[0].guid, kPairBlock));
    EXPECT_EQ(result.guids[0].instanceCount, 2u);
    EXPECT_EQ(result.guids[0].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(result.guids[0].pdoOrOffset, reinterpret_cast<ULONG_PTR>(m_pdo));
    // A block's own flags are kept beside the driver's instance naming.
    EXPECT_EQ(result.guids[1].flags, static_cast<ULONG>(WMIREG_FLAG_EXPENSIVE | WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(result.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\cvuvcp");
    EXPECT_EQ(result.information, reinterpret_cast<const WMIREGINFOW*>(result.buffer.data())->BufferSize);

    WmiResult small = WmiRequests::RegInfo(Target(16));
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, sizeof(ULONG));
    EXPECT_EQ(small.sizeNeeded, result.information);
}

TEST_F(WmiTest, RegistrationAndEvents)
{
    WmiManager& wmi = machine().GetWmi();
    EXPECT_TRUE(wmi.IsRegistered(m_fdo));
    EXPECT_EQ(IoWMIRegistrationControl(m_fdo, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoWMIRegistrationControl(m_fdo, WMIREG_ACTION_UPDATE_GUIDS), STATUS_SUCCESS);

    // The event data belongs to WMI once fired.
    auto* data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 3, PoolTag("Evnt")));
    data[0] = 7, data[1] = 8, data[2] = 9;
    EXPECT_EQ(WmiFireEvent(m_fdo, &kSettingsBlock, 0, 3, data), STATUS_SUCCESS);
    EXPECT_EQ(machine().GetPool().LiveCount(PoolTag("Evnt")), 0u);
    ASSERT_EQ(wmi.Events().size(), 1u);
    EXPECT_EQ(wmi.Events()[0].device, m_fdo);
    EXPECT_EQ(wmi.Events()[0].data, (std::vector<uint8_t>{7, 8, 9}));

    EXPECT_EQ(IoWMIRegistrationControl(m_fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(wmi.IsRegistered(m_fdo));
    EXPECT_EQ(IoWMIRegistrationControl(m_fdo, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wmi.RegistrationActions(m_fdo),
              (std::vector<ULONG>{WMIREG_ACTION_REGISTER, WMIREG_ACTION_UPDATE_GUIDS, WMIREG_ACTION_DEREGISTER}));
}

}  // namespace
}  // namespace emu::testing
