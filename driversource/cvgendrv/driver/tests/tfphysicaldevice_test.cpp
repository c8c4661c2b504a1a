// Child device: what it is built from ("Child<i>" values, the parent index suffix), the identity and
// capability answers Plug and Play reads, the power answers, the write-length rules, the I/O
// server's control codes and the removal that deletes a child its parent no longer lists. The
// child here has no parent functional device: every path that would reach one must fail safely.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfdeviceregistrysets.h"
#include "tfioclient.h"
#include "tfmemorytracker.h"
#include "tfphysicaldevice.h"
#include "tfregistry.h"

namespace {

constexpr ULONG kTracked = emu::PoolTag("TfKi");
constexpr ULONG kPnpAnswer = emu::PoolTag("BGen");
constexpr char16_t kChildKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\CVBUS\\Bus\\Device Parameters\\Child1";

// An IRP the test owns: one stack location, a system buffer, and what it was completed with.
class Request {
public:
    Request(UCHAR major, UCHAR minor, ULONG bufferSize = 0) : m_buffer(bufferSize, 0)
    {
        m_irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(m_irp, &Request::OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(m_irp);
        Stack()->MajorFunction = major;
        Stack()->MinorFunction = minor;
        m_irp->AssociatedIrp.SystemBuffer = bufferSize ? m_buffer.data() : nullptr;
        m_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what Plug and Play starts with
    }
    ~Request() { IoFreeIrp(m_irp); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIRP Irp() { return m_irp; }
    PIO_STACK_LOCATION Stack() { return IoGetCurrentIrpStackLocation(m_irp); }
    std::vector<UCHAR>& Buffer() { return m_buffer; }
    int Completions() const { return m_completions; }
    NTSTATUS Status() const { return m_status; }
    ULONG_PTR Information() const { return m_information; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<Request*>(context);
        ++self->m_completions;
        self->m_status = irp->IoStatus.Status;
        self->m_information = irp->IoStatus.Information;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP m_irp = nullptr;
    std::vector<UCHAR> m_buffer;
    int m_completions = 0;
    NTSTATUS m_status = STATUS_PENDING;
    ULONG_PTR m_information = 0;
};

// The string Plug and Play received; with multiString, the terminator that closes the list must
// follow the string's own.
std::u16string PoolString(ULONG_PTR information, bool* multiString = nullptr)
{
    auto* text = reinterpret_cast<const char16_t*>(information);
    std::u16string result(text);
    if (multiString) *multiString = text[result.size() + 1] == 0;
    return result;
}

class PhysicalDeviceTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        ASSERT_TRUE(registry().CreateKey(kChildKey));
        registry().SetDword(kChildKey, u"ContextID", 3);
        registry().SetDword(kChildKey, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
        registry().SetString(kChildKey, u"DeviceName", u"CvPort");
        registry().SetString(kChildKey, u"DeviceTextDescription", u"USB Serial Port");
        registry().SetString(kChildKey, u"BusQueryDeviceID", u"CVBUS\\PORT");
        registry().SetString(kChildKey, u"BusQueryHardwareIDs", u"CVBUS\\PORT&REV_0600");
        registry().SetString(kChildKey, u"BusTypeGuid", u"{862AB446-2AA7-4B60-8945-F579C09F36CB}");
        registry().SetDword(kChildKey, u"LegacyBusType", 15);
        m_baseDevices = machine().GetNamespace().LiveDeviceCount();
    }
    void TearDown() override
    {
        delete m_pPdo;
        m_pPdo = nullptr;
        EXPECT_EQ(machine().GetNamespace().LiveDeviceCount(), m_baseDevices);
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        EXPECT_EQ(machine().GetPool().LiveCount(kPnpAnswer), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }

    // The child built from the key; null (and nothing left behind) when construction failed.
    CTfPhysicalDevice* Make(ULONG ulParentIndex = 0)
    {
        CTfString Path(PagedPool, (const WCHAR*)kChildKey);
        HANDLE hKey = nullptr;
        EXPECT_TRUE(CTfRegistry::m_OpenKey(Path, &hKey, KEY_READ, FALSE));
        BOOLEAN bSuccess = FALSE;
        auto* pPdo = new (NonPagedPool) CTfPhysicalDevice(m_driver.Driver(), nullptr, hKey, ulParentIndex, &bSuccess);
        ZwClose(hKey);
        if (!bSuccess) {
            delete pPdo;
            return nullptr;
        }
        m_pPdo = pPdo;
        return pPdo;
    }

    NTSTATUS Pnp(UCHAR minor, Request& request)
    {
        request.Stack()->MajorFunction = IRP_MJ_PNP;
        request.Stack()->MinorFunction = minor;
        m_pPdo->m_Dispatch_Pnp(request.Irp());
        EXPECT_EQ(request.Completions(), 1);
        return request.Status();
    }
    NTSTATUS QueryId(BUS_QUERY_ID_TYPE type, std::u16string* id, bool* multiString = nullptr)
    {
        Request request(IRP_MJ_PNP, IRP_MN_QUERY_ID);
        request.Stack()->Parameters.QueryId.IdType = type;
        NTSTATUS status = Pnp(IRP_MN_QUERY_ID, request);
        if (request.Information() != 0) {
            *id = PoolString(request.Information(), multiString);
            ExFreePool(reinterpret_cast<PVOID>(request.Information()));
        }
        return status;
    }
    NTSTATUS Write(std::vector<UCHAR> data, ULONG_PTR* information)
    {
        Request request(IRP_MJ_WRITE, 0, (ULONG)data.size());
        if (!data.empty()) std::memcpy(request.Buffer().data(), data.data(), data.size());
        request.Stack()->Parameters.Write.Length = (ULONG)data.size();
        m_pPdo->m_Dispatch_Write(request.Irp());
        EXPECT_EQ(request.Completions(), 1);
        *information = request.Information();
        return request.Status();
    }
    NTSTATUS Internal(ULONG code, ULONG inLength, ULONG outLength, const void* input, ULONG_PTR* information,
                      std::vector<UCHAR>* output = nullptr)
    {
        ULONG size = inLength > outLength ? inLength : outLength;
        Request request(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, size);
        if (input) std::memcpy(request.Buffer().data(), input, inLength);
        request.Stack()->Parameters.DeviceIoControl.IoControlCode = code;
        request.Stack()->Parameters.DeviceIoControl.InputBufferLength = inLength;
        request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        m_pPdo->m_Dispatch_InternalDeviceControl(request.Irp());
        EXPECT_EQ(request.Completions(), 1);
        *information = request.Information();
        if (output) *output = request.Buffer();
        return request.Status();
    }

    emu::testing::TestDriver m_driver{u"cvbus"};
    CTfPhysicalDevice* m_pPdo = nullptr;
    size_t m_baseDevices = 0;
    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// ----- construction ------------------------------------------------------------------------------

TEST_F(PhysicalDeviceTest, NamesCarryTheParentIndexAndFlagsFollowTheSet)
{
    registry().SetString(kChildKey, u"SymbolicLinkName", u"CvPortLink");
    CTfPhysicalDevice* pPdo = Make(2);
    ASSERT_NE(pPdo, nullptr);
    PDEVICE_OBJECT pDevice = pPdo->m_GetDeviceObject();
    auto info = machine().GetNamespace().Describe(pDevice);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->name, u"\\Device\\CvPort2");
    EXPECT_EQ(machine().GetNamespace().LinkTarget(u"\\??\\CvPortLink2"), u"\\Device\\CvPort2");
    EXPECT_EQ(pDevice->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(pDevice->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(pDevice->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(pPdo->m_GetDeviceKind(), TF_DEVICE_KIND_PHYSICAL);
    EXPECT_EQ(pPdo->m_GetContextID(), 3u);
    EXPECT_EQ(pPdo->m_GetParentIndex(), 2u);
    EXPECT_FALSE(pPdo->m_IsDeleted());
    EXPECT_EQ(pPdo->m_GetRecordList()->m_GetRecordCount(), (ULONG)TF_RECORD_LIST_COUNT);
    // The dispatch finds the object through the extension.
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDevice);
    EXPECT_EQ(pHolder->m_Acquire(), pPdo);
    pHolder->m_Release();

    delete m_pPdo;
    m_pPdo = nullptr;
    EXPECT_FALSE(machine().GetNamespace().Contains(u"\\??\\CvPortLink2"));
    EXPECT_FALSE(machine().GetNamespace().Contains(u"\\Device\\CvPort2"));
}

TEST_F(PhysicalDeviceTest, MissingRequiredValueFailsAndLeavesNothing)
{
    registry().DeleteValue(kChildKey, u"BusTypeGuid");
    EXPECT_EQ(Make(), nullptr);
    EXPECT_EQ(machine().GetNamespace().LiveDeviceCount(), m_baseDevices);
}

// ----- identity ----------------------------------------------------------------------------------

TEST_F(PhysicalDeviceTest, IdsAnswerAsConfigured)
{
    registry().SetDword(kChildKey, u"HandleBusQueryCompatibleIDs", 0);
    ASSERT_NE(Make(), nullptr);

    std::u16string id;
    bool multiString = false;
    EXPECT_EQ(QueryId(BusQueryDeviceID, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, u"CVBUS\\PORT");
    // Hardware IDs are a MULTI_SZ of one string: two terminators.
    EXPECT_EQ(QueryId(BusQueryHardwareIDs, &id, &multiString), STATUS_SUCCESS);
    EXPECT_EQ(id, u"CVBUS\\PORT&REV_0600");
    EXPECT_TRUE(multiString);
    EXPECT_EQ(QueryId(BusQueryInstanceID, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, u"0000");
    // Not handled: untouched, the status Plug and Play set stays.
    id.clear();
    EXPECT_EQ(QueryId(BusQueryCompatibleIDs, &id), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(id.empty());
    EXPECT_EQ(QueryId(BusQueryDeviceSerialNumber, &id), STATUS_NOT_SUPPORTED);
}

TEST_F(PhysicalDeviceTest, HardwareIdsLeftToTheBusWhenNotHandled)
{
    registry().SetDword(kChildKey, u"HandleBusQueryHardwareIDs", 0);
    registry().SetDword(kChildKey, u"HandleBusQueryInstanceID", 0);
    ASSERT_NE(Make(), nullptr);
    std::u16string id;
    EXPECT_EQ(QueryId(BusQueryHardwareIDs, &id), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(QueryId(BusQueryInstanceID, &id), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(id.empty());
}

TEST_F(PhysicalDeviceTest, DeviceTextAndBusInformation)
{
    registry().SetDword(kChildKey, u"HandleDeviceTextLocationInformation", 1);
    registry().SetString(kChildKey, u"DeviceTextLocationInformation", u"Port 3");
    registry().SetDword(kChildKey, u"BusNumber", 7);
    ASSERT_NE(Make(), nullptr);

    for (auto [type, expected] : {std::pair{DeviceTextDescription, u"USB Serial Port"},
                                  std::pair{DeviceTextLocationInformation, u"Port 3"}}) {
        Request request(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT);
        request.Stack()->Parameters.QueryDeviceText.DeviceTextType = type;
        EXPECT_EQ(Pnp(IRP_MN_QUERY_DEVICE_TEXT, request), STATUS_SUCCESS);
        ASSERT_NE(request.Information(), 0u);
        EXPECT_EQ(PoolString(request.Information()), expected);
        ExFreePool(reinterpret_cast<PVOID>(request.Information()));
    }

    Request bus(IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_BUS_INFORMATION, bus), STATUS_SUCCESS);
    auto* pInfo = reinterpret_cast<PPNP_BUS_INFORMATION>(bus.Information());
    ASSERT_NE(pInfo, nullptr);
    const GUID expected = {0x862AB446, 0x2AA7, 0x4B60, {0x89, 0x45, 0xF5, 0x79, 0xC0, 0x9F, 0x36, 0xCB}};
    EXPECT_EQ(std::memcmp(&pInfo->BusTypeGuid, &expected, sizeof(GUID)), 0);
    EXPECT_EQ(pInfo->LegacyBusType, 15u);
    EXPECT_EQ(pInfo->BusNumber, 7u);
    ExFreePool(pInfo);
}

TEST_F(PhysicalDeviceTest, AnswerAllocationFailuresAreReported)
{
    ASSERT_NE(Make(), nullptr);
    machine().GetPool().FailNextWithTag(kPnpAnswer);
    std::u16string id;
    EXPECT_EQ(QueryId(BusQueryDeviceID, &id), STATUS_INSUFFICIENT_RESOURCES);
    machine().GetPool().FailNextWithTag(kPnpAnswer);
    Request bus(IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_BUS_INFORMATION, bus), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus.Information(), 0u);
}

TEST_F(PhysicalDeviceTest, CapabilitiesFromTheSetOnlyForVersionOne)
{
    registry().SetDword(kChildKey, u"Removable", 1);
    registry().SetDword(kChildKey, u"SurpriseRemovalOK", 1);
    registry().SetDword(kChildKey, u"UINumber", 3);
    registry().SetDword(kChildKey, u"DeviceState_PowerSystemSleeping1", 2);
    registry().SetDword(kChildKey, u"DeviceWake", 3);
    ASSERT_NE(Make(), nullptr);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 2;
    Request refused(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    refused.Stack()->Parameters.DeviceCapabilities.Capabilities = &caps;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, refused), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(caps.Removable);

    caps.Version = 1;
    caps.DeviceD1 = 1;  // not the child's to change
    caps.LockSupported = 1;
    Request request(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    request.Stack()->Parameters.DeviceCapabilities.Capabilities = &caps;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_CAPABILITIES, request), STATUS_SUCCESS);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_FALSE(caps.LockSupported);
    EXPECT_TRUE(caps.DeviceD1);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 3u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(m_pPdo->m_GetDeviceStateFor(PowerSystemSleeping1), PowerDeviceD1);
    EXPECT_EQ(m_pPdo->m_GetDeviceStateFor(PowerSystemMaximum), PowerDeviceUnspecified);
}

TEST_F(PhysicalDeviceTest, OtherPnpAnswers)
{
    ASSERT_NE(Make(), nullptr);
    Request config(IRP_MJ_PNP, IRP_MN_READ_CONFIG);
    EXPECT_EQ(Pnp(IRP_MN_READ_CONFIG, config), STATUS_NOT_SUPPORTED);

    Request target(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    target.Stack()->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, target), STATUS_SUCCESS);
    auto* pRelations = reinterpret_cast<PDEVICE_RELATIONS>(target.Information());
    ASSERT_NE(pRelations, nullptr);
    ASSERT_EQ(pRelations->Count, 1u);
    EXPECT_EQ(pRelations->Objects[0], m_pPdo->m_GetDeviceObject());
    ObDereferenceObject(pRelations->Objects[0]);
    ExFreePool(pRelations);

    Request bus(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    bus.Stack()->Parameters.QueryDeviceRelations.Type = BusRelations;
    EXPECT_EQ(Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, bus), STATUS_NOT_SUPPORTED);

    // The child has no device state of its own to report.
    Request state(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE, state), STATUS_NOT_SUPPORTED);

    for (auto [type, inPath, expected] : {std::tuple{DeviceUsageTypePaging, FALSE, STATUS_SUCCESS},
                                          std::tuple{DeviceUsageTypeDumpFile, FALSE, STATUS_SUCCESS},
                                          std::tuple{DeviceUsageTypePaging, TRUE, STATUS_UNSUCCESSFUL},
                                          std::tuple{DeviceUsageTypeUndefined, FALSE, STATUS_UNSUCCESSFUL}}) {
        Request usage(IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION);
        usage.Stack()->Parameters.UsageNotification.Type = type;
        usage.Stack()->Parameters.UsageNotification.InPath = inPath;
        EXPECT_EQ(Pnp(IRP_MN_DEVICE_USAGE_NOTIFICATION, usage), expected);
    }
}

// ----- states, control, power --------------------------------------------------------------------

TEST_F(PhysicalDeviceTest, DeviceControlOnlyWhenStartedAndNeverWithoutParent)
{
    ASSERT_NE(Make(), nullptr);
    Request early(IRP_MJ_DEVICE_CONTROL, 0);
    m_pPdo->m_Dispatch_Device_Control(early.Irp());
    EXPECT_EQ(early.Status(), STATUS_DEVICE_REMOVED);

    Request start(IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE, start), STATUS_SUCCESS);
    EXPECT_EQ(m_pPdo->m_GetPnpState(), (ULONG)TF_PDO_STATE_STARTED);
    EXPECT_EQ(m_pPdo->m_GetDevicePowerState(), PowerDeviceD0);

    Request control(IRP_MJ_DEVICE_CONTROL, 0);
    m_pPdo->m_Dispatch_Device_Control(control.Irp());
    EXPECT_EQ(control.Completions(), 1);
    EXPECT_EQ(control.Status(), STATUS_DEVICE_REMOVED);

    for (auto [minor, state] : {std::pair{IRP_MN_QUERY_STOP_DEVICE, TF_PDO_STATE_STOP_PENDING},
                                std::pair{IRP_MN_CANCEL_STOP_DEVICE, TF_PDO_STATE_STARTED},
                                std::pair{IRP_MN_STOP_DEVICE, TF_PDO_STATE_STOPPED},
                                std::pair{IRP_MN_QUERY_REMOVE_DEVICE, TF_PDO_STATE_REMOVE_PENDING},
                                std::pair{IRP_MN_CANCEL_REMOVE_DEVICE, TF_PDO_STATE_STARTED},
                                std::pair{IRP_MN_SURPRISE_REMOVAL, TF_PDO_STATE_SURPRISE_REMOVED}}) {
        Request request(IRP_MJ_PNP, (UCHAR)minor);
        EXPECT_EQ(Pnp((UCHAR)minor, request), STATUS_SUCCESS);
        EXPECT_EQ(m_pPdo->m_GetPnpState(), (ULONG)state);
    }
}

TEST_F(PhysicalDeviceTest, PowerAnswers)
{
    ASSERT_NE(Make(), nullptr);
    struct Case {
        UCHAR minor;
        POWER_STATE_TYPE type;
        NTSTATUS expected;
    } cases[] = {
        {IRP_MN_WAIT_WAKE, SystemPowerState, STATUS_NOT_SUPPORTED},
        {IRP_MN_POWER_SEQUENCE, SystemPowerState, STATUS_NOT_IMPLEMENTED},
        {IRP_MN_QUERY_POWER, SystemPowerState, STATUS_SUCCESS},
        {IRP_MN_QUERY_POWER, DevicePowerState, STATUS_SUCCESS},
        {IRP_MN_SET_POWER, SystemPowerState, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.minor) << "/" << int(c.type));
        Request request(IRP_MJ_POWER, c.minor);
        request.Stack()->Parameters.Power.Type = c.type;
        request.Stack()->Parameters.Power.State.SystemState = PowerSystemSleeping3;
        m_pPdo->m_Dispatch_Power(request.Irp());
        EXPECT_EQ(request.Completions(), 1);
        EXPECT_EQ(request.Status(), c.expected);
    }

    Request d3(IRP_MJ_POWER, IRP_MN_SET_POWER);
    d3.Stack()->Parameters.Power.Type = DevicePowerState;
    d3.Stack()->Parameters.Power.State.DeviceState = PowerDeviceD3;
    m_pPdo->m_Dispatch_Power(d3.Irp());
    EXPECT_EQ(d3.Status(), STATUS_SUCCESS);
    EXPECT_EQ(m_pPdo->m_GetDevicePowerState(), PowerDeviceD3);

    // A removal in progress (its gate closed) refuses power requests.
    m_pPdo->m_GetRemoveGate()->m_SetOpen(FALSE);
    Request late(IRP_MJ_POWER, IRP_MN_SET_POWER);
    late.Stack()->Parameters.Power.Type = DevicePowerState;
    late.Stack()->Parameters.Power.State.DeviceState = PowerDeviceD0;
    m_pPdo->m_Dispatch_Power(late.Irp());
    EXPECT_EQ(late.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(m_pPdo->m_GetDevicePowerState(), PowerDeviceD3);
    m_pPdo->m_GetRemoveGate()->m_SetOpen(TRUE);
}

TEST_F(PhysicalDeviceTest, RemovalWithoutParentMarksTheChildDeletedAndDropsTheReadClient)
{
    registry().SetDword(kChildKey, u"ReadServerType", TF_READ_SERVER_CLIENT_RECORD);
    ASSERT_NE(Make(), nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG cell = 0;
    TF_READ_CLIENT_REGISTRATION registration = {&event, &cell};
    ULONG_PTR information = 0;
    ASSERT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(registration), 0, &registration, &information),
              STATUS_SUCCESS);
    EXPECT_TRUE(m_pPdo->m_HasReadClient());

    Request remove(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE, remove), STATUS_SUCCESS);
    EXPECT_EQ(m_pPdo->m_GetPnpState(), (ULONG)TF_PDO_STATE_REMOVED);
    EXPECT_TRUE(m_pPdo->m_IsDeleted());
    EXPECT_FALSE(m_pPdo->m_HasReadClient());
    EXPECT_TRUE(m_pPdo->m_GetRemoveGate()->m_IsOpen());
}

// ----- writes ------------------------------------------------------------------------------------

TEST_F(PhysicalDeviceTest, LeadValueWritesCheckTheirLength)
{
    registry().SetDword(kChildKey, u"IncomingWriteType", TF_INCOMING_WRITE_LEAD_VALUE);
    ASSERT_NE(Make(), nullptr);
    ULONG_PTR information = 99;
    EXPECT_EQ(Write({}, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Write({1}, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write({1, 2, 3}, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    // Long enough, but nobody takes the data: that is not reported as written.
    EXPECT_EQ(Write({1, 2, 3, 4}, &information), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(Write({1, 2, 3, 4, 5}, &information), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(information, 0u);
}

TEST_F(PhysicalDeviceTest, CopyWriteReportsAllocationFailure)
{
    registry().SetDword(kChildKey, u"IncomingWriteType", TF_INCOMING_WRITE_COPY);
    ASSERT_NE(Make(), nullptr);
    ULONG_PTR information = 99;
    machine().GetPool().FailNextWithTag(kTracked);
    EXPECT_EQ(Write({1, 2, 3}, &information), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(information, 0u);
}

TEST_F(PhysicalDeviceTest, WriteWithoutConsumerIsAcceptedWhole)
{
    ASSERT_NE(Make(), nullptr);
    ULONG_PTR information = 0;
    EXPECT_EQ(Write({1, 2, 3, 4, 5}, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 5u);
}

// ----- the I/O server's codes and reads ----------------------------------------------------------

TEST_F(PhysicalDeviceTest, IoServerCodesCheckTheirLengths)
{
    ASSERT_NE(Make(), nullptr);
    ULONG_PTR information = 99;
    std::vector<UCHAR> output;
    EXPECT_EQ(Internal(IOCTL_TF_QUERY_IO_SERVER, 0, 4, nullptr, &information, &output), STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(output, (std::vector<UCHAR>{0, 0, 0, 0}));
    EXPECT_EQ(Internal(IOCTL_TF_QUERY_IO_SERVER, 0, 8, nullptr, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Internal(IOCTL_TF_QUERY_IO_SERVER, 4, 4, nullptr, &information), STATUS_INVALID_PARAMETER);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG cell = 0;
    TF_READ_CLIENT_REGISTRATION registration = {&event, &cell};
    // Two pointers of the platform's width, nothing else.
    EXPECT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, 8, 0, &registration, &information),
              sizeof(void*) == 8 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    EXPECT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(registration), 4, &registration, &information),
              STATUS_INVALID_PARAMETER);
    TF_READ_CLIENT_REGISTRATION half = {&event, nullptr};
    EXPECT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(half), 0, &half, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(m_pPdo->m_HasReadClient());
    machine().GetPool().FailNextWithTag(kTracked);
    EXPECT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(registration), 0, &registration, &information),
              STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(m_pPdo->m_HasReadClient());
}

TEST_F(PhysicalDeviceTest, ClientRecordReadsNeedTheExactLength)
{
    registry().SetDword(kChildKey, u"ReadServerType", TF_READ_SERVER_CLIENT_RECORD);
    ASSERT_NE(Make(), nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG cell = 0;
    TF_READ_CLIENT_REGISTRATION registration = {&event, &cell};
    ULONG_PTR information = 0;
    ASSERT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(registration), 0, &registration, &information),
              STATUS_SUCCESS);

    auto* pBuffer = new (NonPagedPool) CTfBuffer();
    ASSERT_TRUE(pBuffer->m_Assign("xyz", 3));
    ASSERT_TRUE(m_pPdo->m_PutReadRecord(0x01020304, pBuffer));
    EXPECT_EQ(cell, 7u);
    EXPECT_NE(KeReadStateEvent(&event), 0);

    auto read = [&](ULONG length) {
        Request request(IRP_MJ_READ, 0, length);
        request.Stack()->Parameters.Read.Length = length;
        m_pPdo->m_Dispatch_Read(request.Irp());
        EXPECT_EQ(request.Completions(), 1);
        return std::pair{request.Status(), request.Buffer()};
    };
    EXPECT_EQ(read(6).first, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read(8).first, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(cell, 7u);
    auto [status, data] = read(7);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<UCHAR>{4, 3, 2, 1, 'x', 'y', 'z'}));
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(read(4).first, STATUS_UNSUCCESSFUL);

    // A second registration drops what was queued for the first.
    ASSERT_TRUE(m_pPdo->m_PutReadRecord(5, nullptr));
    EXPECT_EQ(cell, 4u);
    KEVENT second;
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    ULONG secondCell = 0;
    TF_READ_CLIENT_REGISTRATION next = {&second, &secondCell};
    ASSERT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(next), 0, &next, &information), STATUS_SUCCESS);
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(read(4).first, STATUS_UNSUCCESSFUL);

    // Deregistration: nothing more is queued, and the client's cell is left alone.
    TF_READ_CLIENT_REGISTRATION none = {nullptr, nullptr};
    ASSERT_EQ(Internal(IOCTL_TF_REGISTER_READ_CLIENT, sizeof(none), 0, &none, &information), STATUS_SUCCESS);
    EXPECT_FALSE(m_pPdo->m_PutReadRecord(6, nullptr));
    EXPECT_EQ(secondCell, 0u);
}

TEST_F(PhysicalDeviceTest, ReadsWithoutServerFail)
{
    ASSERT_NE(Make(), nullptr);
    Request request(IRP_MJ_READ, 0, 4);
    request.Stack()->Parameters.Read.Length = 4;
    m_pPdo->m_Dispatch_Read(request.Irp());
    EXPECT_EQ(request.Status(), STATUS_UNSUCCESSFUL);
}

}  // namespace
