// Functional device PnP: child devices made from the "Child<i>" subkeys and reported in bus
// relations, a start that fails leaves no child behind, stop and restart with and without the
// driver's rebalance routine, removal, capabilities, the PnP device state, usage notifications
// and the resource lists of the start request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ob/object_namespace.h"
#include "cm/registry.h"
#include "tffunctionaldevice.h"
#include "tffunctionaldevice_harness.h"
#include "tfphysicaldevice.h"

namespace {

using tftest::Rec;
using tftest::Request;

// Entry 6 and entry 7 record their calls; entry 7 answers from the fixture's script.
bool g_rebalanceResult = true;
ULONG g_failRebalancePhase = 0xFFFFFFFF;

void EntryRemove(CTfObject*) { Rec().Record("remove"); }
BOOLEAN EntryRebalance(CTfObject*, ULONG ulPhase)
{
    Rec().Record("rebalance" + std::to_string(ulPhase));
    return g_rebalanceResult && ulPhase != g_failRebalancePhase;
}
BOOLEAN EntryStart(CTfObject*)
{
    Rec().Record("start");
    return TRUE;
}

class FdoPnpTest : public tftest::FrameworkTest {
protected:
    void SetUp() override
    {
        FrameworkTest::SetUp();
        m_other = std::make_unique<emu::testing::TestDriver>(u"TfPnpOther");
        m_otherDevice = m_other->CreateDevice();
        g_rebalanceResult = true;
        g_failRebalancePhase = 0xFFFFFFFF;
        Rec().fill = [](CTfDeviceCallbacks* pCallbacks) {
            pCallbacks->m_PnpStartDeviceCallback = EntryStart;
            pCallbacks->m_PnpRemoveDevice = EntryRemove;
        };
        // The PDO below answers PnP as a bus driver does: what it does not handle goes back as it
        // came, so the FDO's answers survive.
        m_pdo->SetBehaviour(IRP_MJ_PNP, emu::testing::FakeLowerDevice::Behaviour::Custom([this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            ++m_pdoPnpCount;
            switch (stack->MinorFunction) {
            case IRP_MN_QUERY_CAPABILITIES:
                for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s)
                    stack->Parameters.DeviceCapabilities.Capabilities->DeviceState[s] = m_pdoStates[s];
                irp->IoStatus.Status = STATUS_SUCCESS;
                break;
            case IRP_MN_START_DEVICE:
                irp->IoStatus.Status = m_pdoStartStatus;
                break;
            case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
            case IRP_MN_QUERY_DEVICE_RELATIONS:
            case IRP_MN_QUERY_PNP_DEVICE_STATE:
                break;
            default:
                irp->IoStatus.Status = STATUS_SUCCESS;
                break;
            }
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }));
    }

    void TearDown() override
    {
        // Plug and Play ends a device's life with a removal, which also takes its children.
        if (m_pdo && Fdo() != nullptr && Device() != nullptr) SendPnp(IRP_MN_REMOVE_DEVICE);
        m_other.reset();
        FrameworkTest::TearDown();
    }

    std::u16string ChildKey(int i) { return HardwareKey() + u"\\Child" + std::u16string(1, char16_t(u'0' + i)); }
    // A child with the values its registry set requires.
    void WriteChild(int i)
    {
        auto& reg = machine().GetRegistry();
        std::u16string key = ChildKey(i);
        std::u16string n(1, char16_t(u'0' + i));
        reg.SetDword(key, u"ContextID", i);
        reg.SetDword(key, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
        reg.SetString(key, u"DeviceName", u"TfPnpChild" + n);
        reg.SetString(key, u"DeviceTextDescription", u"Child " + n);
        reg.SetString(key, u"BusQueryDeviceID", u"TFBUS\\PORT" + n);
        reg.SetString(key, u"BusQueryHardwareIDs", u"TFBUS\\PORT" + n);
        reg.SetString(key, u"BusTypeGuid", u"{12345678-1234-1234-1234-123456789ABC}");
        reg.SetDword(key, u"LegacyBusType", 0);
    }
    void SetDeviceValue(const std::u16string& name, ULONG value)
    {
        machine().GetRegistry().SetDword(HardwareKey(), name, value);
    }
    void AddFdo()
    {
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        ASSERT_NE(Device(), nullptr);
    }

    NTSTATUS SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION, PIRP)>& prepare = {},
                     ULONG_PTR* information = nullptr)
    {
        Request request(Fdo(), IRP_MJ_PNP);
        request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request.Stack()->MinorFunction = minor;
        if (prepare) prepare(request.Stack(), request.Irp());
        request.Send();
        EXPECT_TRUE(request.WaitCompleted());
        if (information) *information = request.Information();
        return request.Status();
    }
    NTSTATUS StartFdo(PCM_RESOURCE_LIST raw = nullptr, PCM_RESOURCE_LIST translated = nullptr)
    {
        return SendPnp(IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION stack, PIRP) {
            stack->Parameters.StartDevice.AllocatedResources = raw;
            stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        });
    }
    // Bus relations as Plug and Play asks for them, with one object an upper driver reported.
    std::vector<PDEVICE_OBJECT> QueryBusRelations(NTSTATUS* status = nullptr)
    {
        auto* before = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x74736554));
        before->Count = 1;
        before->Objects[0] = m_otherDevice;
        ObReferenceObject(m_otherDevice);
        ULONG_PTR information = 0;
        NTSTATUS result = SendPnp(
            IRP_MN_QUERY_DEVICE_RELATIONS,
            [&](PIO_STACK_LOCATION stack, PIRP irp) {
                stack->Parameters.QueryDeviceRelations.Type = BusRelations;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(before);
            },
            &information);
        if (status) *status = result;
        std::vector<PDEVICE_OBJECT> objects;
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        if (relations == nullptr) return objects;
        for (ULONG i = 0; i < relations->Count; ++i) {
            objects.push_back(relations->Objects[i]);
            ObDereferenceObject(relations->Objects[i]);
        }
        ExFreePool(relations);
        return objects;
    }
    bool ChildExists(int i)
    {
        std::u16string name = u"\\Device\\TfPnpChild" + std::u16string(1, char16_t(u'0' + i));
        return machine().GetNamespace().DeviceByName(name) != nullptr;
    }

    DEVICE_POWER_STATE m_pdoStates[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3,
                                                          PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    NTSTATUS m_pdoStartStatus = STATUS_SUCCESS;
    int m_pdoPnpCount = 0;
    // A device an upper driver already reported in the bus relations.
    std::unique_ptr<emu::testing::TestDriver> m_other;
    PDEVICE_OBJECT m_otherDevice = nullptr;
};

// NumberChildDevices 3 with child 2 held back at startup: two children, reported after what was
// already in the relations, each referenced once for Plug and Play; removal deletes them.
TEST_F(FdoPnpTest, ChildrenComeFromTheChildSubkeysAndGoAtRemoval)
{
    SetDeviceValue(u"NumberChildDevices", 3);
    WriteChild(1);
    WriteChild(2);
    WriteChild(3);
    machine().GetRegistry().SetDword(ChildKey(2), u"DoNotCreateAtStartup", 1);
    AddFdo();

    ASSERT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STARTED);
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(Rec().Count("start"), 1u);
    EXPECT_TRUE(ChildExists(1));
    EXPECT_FALSE(ChildExists(2));
    EXPECT_TRUE(ChildExists(3));

    NTSTATUS status = STATUS_PENDING;
    std::vector<PDEVICE_OBJECT> objects = QueryBusRelations(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0], m_otherDevice);
    EXPECT_TRUE(Device()->m_IsChildDevice(objects[1]));
    EXPECT_TRUE(Device()->m_IsChildDevice(objects[2]));
    EXPECT_FALSE(Device()->m_IsChildDevice(m_pdo->Device()));
    auto* child1 = static_cast<CTfPhysicalDevice*>(CTfDriver::sm_PeekDevice(objects[1]));
    auto* child3 = static_cast<CTfPhysicalDevice*>(CTfDriver::sm_PeekDevice(objects[2]));
    ASSERT_NE(child1, nullptr);
    ASSERT_NE(child3, nullptr);
    EXPECT_EQ(child1->m_GetContextID(), 1u);
    EXPECT_EQ(child3->m_GetContextID(), 3u);

    // A restart after a stop keeps the children it has.
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Count("start"), 1u);
    EXPECT_EQ(QueryBusRelations().size(), 3u);

    EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Count("remove"), 1u);
    EXPECT_FALSE(ChildExists(1));
    EXPECT_FALSE(ChildExists(3));
}

// A missing subkey, or a child whose values do not load, fails the start and leaves no child.
TEST_F(FdoPnpTest, StartFailsWithoutLeavingChildren)
{
    SetDeviceValue(u"NumberChildDevices", 2);
    WriteChild(2);
    AddFdo();

    EXPECT_EQ(StartFdo(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(ChildExists(2));
    EXPECT_EQ(Rec().Count("start"), 0u);
    EXPECT_NE(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STARTED);

    // Child 1 now loads, child 2 lacks a required value: child 1 is deleted again.
    WriteChild(1);
    machine().GetRegistry().DeleteValue(ChildKey(2), u"BusTypeGuid");
    EXPECT_EQ(StartFdo(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(ChildExists(1));
    EXPECT_FALSE(ChildExists(2));
    EXPECT_EQ(QueryBusRelations().size(), 1u);

    // A failing lower device fails the start before anything is made.
    WriteChild(2);
    m_pdoStartStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(StartFdo(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ChildExists(1));

    m_pdoStartStatus = STATUS_SUCCESS;
    EXPECT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_TRUE(ChildExists(1));
    EXPECT_TRUE(ChildExists(2));
    EXPECT_EQ(QueryBusRelations().size(), 3u);
}

// Without a rebalance routine a stopped device comes back started: device control works again.
TEST_F(FdoPnpTest, RestartWithoutRebalanceRoutineStartsTheDevice)
{
    AddFdo();
    ASSERT_EQ(StartFdo(), STATUS_SUCCESS);

    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STOP_PENDING);
    EXPECT_EQ(SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STARTED);

    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STOPPED);
    EXPECT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STARTED);
    EXPECT_EQ(Rec().Count("start"), 1u);
}

// With a rebalance routine: phases 0, 1, 3 in order, 2 on a cancelled stop; a refusal fails the
// request, and a refused restart leaves the device stopped.
TEST_F(FdoPnpTest, RebalanceRoutineSeesEveryPhaseAndCanRefuse)
{
    Rec().fill = [](CTfDeviceCallbacks* pCallbacks) {
        pCallbacks->m_PnpStartDeviceCallback = EntryStart;
        pCallbacks->m_RebalanceDeviceCallback = EntryRebalance;
    };
    AddFdo();
    ASSERT_EQ(StartFdo(), STATUS_SUCCESS);

    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STARTED);
    {
        std::lock_guard lock(Rec().mutex);
        std::vector<std::string> phases;
        for (auto& call : Rec().calls)
            if (call.rfind("rebalance", 0) == 0) phases.push_back(call);
        EXPECT_EQ(phases, (std::vector<std::string>{"rebalance0", "rebalance2", "rebalance0", "rebalance1",
                                                    "rebalance3"}));
    }

    int pdoCount = m_pdoPnpCount;
    g_failRebalancePhase = TF_REBALANCE_QUERY_STOP;
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pdoPnpCount, pdoCount);  // refused before it reached the device below

    g_failRebalancePhase = TF_REBALANCE_RESTART;
    EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(StartFdo(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_STOPPED);
}

// The driver's removal routine runs once, at the surprise removal, not again at the removal.
TEST_F(FdoPnpTest, RemovalAfterSurpriseRemovalDoesNotCallTheDriverAgain)
{
    AddFdo();
    ASSERT_EQ(StartFdo(), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetPnpState(), (ULONG)TF_PNP_STATE_SURPRISE_REMOVED);
    EXPECT_EQ(Rec().Count("remove"), 1u);
    EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Count("remove"), 1u);
}

// Capabilities of another version never reach the device below; version 1 fills the power table
// from the lower device's answer.
TEST_F(FdoPnpTest, CapabilitiesOfVersionOneOnly)
{
    AddFdo();
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 2;
    int pdoCount = m_pdoPnpCount;
    auto prepare = [&](PIO_STACK_LOCATION stack, PIRP) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; };
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES, prepare), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pdoPnpCount, pdoCount);

    capabilities.Version = 1;
    capabilities.Size = sizeof(DEVICE_CAPABILITIES) - 4;
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES, prepare), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pdoPnpCount, pdoCount);

    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    m_pdoStates[PowerSystemSleeping3] = PowerDeviceD2;
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES, prepare), STATUS_SUCCESS);
    EXPECT_EQ(m_pdoPnpCount, pdoCount + 1);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
}

// A hidden device (DisplayInUi 0) says so on every query, and the bits of others stay.
TEST_F(FdoPnpTest, HiddenDeviceStaysHiddenAndKeepsOtherBits)
{
    SetDeviceValue(u"DisplayInUi", 0);
    AddFdo();
    for (int query = 0; query < 2; ++query) {
        ULONG_PTR information = 0;
        NTSTATUS status = SendPnp(
            IRP_MN_QUERY_PNP_DEVICE_STATE,
            [](PIO_STACK_LOCATION, PIRP irp) { irp->IoStatus.Information = PNP_DEVICE_NOT_DISABLEABLE; }, &information);
        EXPECT_EQ(status, STATUS_SUCCESS) << "query " << query;
        EXPECT_EQ(information, (ULONG_PTR)(PNP_DEVICE_NOT_DISABLEABLE | PNP_DEVICE_DONT_DISPLAY_IN_UI))
            << "query " << query;
    }
}

// A shown device (DisplayInUi 1) clears only its own bit; what others reported stays.
TEST_F(FdoPnpTest, ShownDeviceLeavesOtherBitsAlone)
{
    AddFdo();
    for (int query = 0; query < 2; ++query) {
        ULONG_PTR information = 0;
        SendPnp(
            IRP_MN_QUERY_PNP_DEVICE_STATE,
            [](PIO_STACK_LOCATION, PIRP irp) { irp->IoStatus.Information = PNP_DEVICE_FAILED; }, &information);
        EXPECT_EQ(information, (ULONG_PTR)PNP_DEVICE_FAILED) << "query " << query;
    }
}

// ReadClientType 1: the I/O client registers at the device below at the first start (a refusal
// fails the start) and is gone before the removal reaches the device below.
TEST_F(FdoPnpTest, ReadClientRegistersAtStartAndLeavesBeforeRemoval)
{
    SetDeviceValue(u"ReadClientType", 1);
    AddFdo();
    m_pdo->SetBehaviour(IRP_MJ_INTERNAL_DEVICE_CONTROL, emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(StartFdo(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rec().Count("start"), 0u);

    m_pdo->SetBehaviour(IRP_MJ_INTERNAL_DEVICE_CONTROL, emu::testing::FakeLowerDevice::Behaviour::Complete(STATUS_SUCCESS));
    m_pdo->ClearReceived();
    ASSERT_EQ(StartFdo(), STATUS_SUCCESS);
    size_t registrations = 0;
    for (auto& irp : m_pdo->Received()) registrations += irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(registrations, 1u);

    m_pdo->ClearReceived();
    EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    std::vector<UCHAR> majors;
    for (auto& irp : m_pdo->Received()) majors.push_back(irp.major);
    ASSERT_FALSE(majors.empty());
    EXPECT_EQ(majors.back(), IRP_MJ_PNP);  // the client deregistered first
    EXPECT_NE(std::find(majors.begin(), majors.end(), IRP_MJ_INTERNAL_DEVICE_CONTROL), majors.end());
}

// The device cannot hold a paging, hibernation or dump file.
TEST_F(FdoPnpTest, UsageNotificationsAreRefusedInPath)
{
    AddFdo();
    auto usage = [&](DEVICE_USAGE_NOTIFICATION_TYPE type, BOOLEAN inPath) {
        return SendPnp(IRP_MN_DEVICE_USAGE_NOTIFICATION, [&](PIO_STACK_LOCATION stack, PIRP) {
            stack->Parameters.UsageNotification.Type = type;
            stack->Parameters.UsageNotification.InPath = inPath;
        });
    };
    EXPECT_EQ(usage(DeviceUsageTypePaging, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usage(DeviceUsageTypeDumpFile, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(usage(DeviceUsageTypeUndefined, FALSE), STATUS_UNSUCCESSFUL);
}

// A resource list of one full descriptor, built the way Plug and Play lays it out.
class ResourceList {
public:
    explicit ResourceList(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors)
        : m_bytes(sizeof(CM_RESOURCE_LIST) + descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR))
    {
        auto* list = Get();
        list->Count = 1;
        list->List[0].PartialResourceList.Count = static_cast<ULONG>(descriptors.size());
        for (size_t i = 0; i < descriptors.size(); ++i)
            std::memcpy(&list->List[0].PartialResourceList.PartialDescriptors[i], &descriptors[i],
                        sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    }
    PCM_RESOURCE_LIST Get() { return reinterpret_cast<PCM_RESOURCE_LIST>(m_bytes.data()); }

private:
    std::vector<uint8_t> m_bytes;
};

CM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor(UCHAR type, USHORT flags, ULONG a, ULONG b)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.Flags = flags;
    if (type == CmResourceTypePort || type == CmResourceTypeMemory) {
        d.u.Generic.Start.QuadPart = a;
        d.u.Generic.Length = b;
    } else if (type == CmResourceTypeInterrupt) {
        d.u.Interrupt.Level = a;
        d.u.Interrupt.Vector = b;
        d.u.Interrupt.Affinity = 1;
    } else if (type == CmResourceTypeDma) {
        d.u.Dma.Channel = a;
        d.u.Dma.Port = b;
    }
    return d;
}

TEST_F(FdoPnpTest, StartBuildsTheResourceLists)
{
    AddFdo();
    ResourceList raw({Descriptor(CmResourceTypePort, 0x31, 0x3F8, 8), Descriptor(CmResourceTypeMemory, 0, 0xD0000, 0x1000),
                      Descriptor(CmResourceTypeInterrupt, 0, 4, 0x34), Descriptor(CmResourceTypePort, 0x11, 0x2F8, 8)});
    ResourceList translated({Descriptor(CmResourceTypePort, 0x131, 0x13F8, 8), Descriptor(CmResourceTypeMemory, 0x80, 0xE0000, 0x1000),
                             Descriptor(CmResourceTypeInterrupt, 0, 9, 0x99), Descriptor(CmResourceTypeInterrupt, 2, 5, 0x55),
                             Descriptor(CmResourceTypeDma, 8, 3, 7), Descriptor(CmResourceTypePort, 0x11, 0x12F8, 8)});
    ASSERT_EQ(StartFdo(raw.Get(), translated.Get()), STATUS_SUCCESS);

    CTfFunctionalDevice* device = Device();
    ASSERT_NE(device->m_GetPortResource(1), nullptr);
    EXPECT_EQ(device->m_GetPortResource(1)->ulTranslatedStart, 0x13F8u);
    EXPECT_EQ(device->m_GetPortResource(1)->ulTranslatedLength, 8u);
    EXPECT_EQ(device->m_GetPortResource(1)->ulRawStart, 0x3F8u);
    EXPECT_EQ(device->m_GetPortResource(2), nullptr);  // flags 0x11 are not taken
    ASSERT_NE(device->m_GetMemoryResource(1), nullptr);
    EXPECT_NE(device->m_GetMemoryResource(1)->pMappedAddress, nullptr);
    EXPECT_EQ(device->m_GetMemoryResource(1)->ulLength, 0x1000u);
    EXPECT_EQ(device->m_GetMemoryResource(1)->ulRawStart, 0xD0000u);
    ASSERT_NE(device->m_GetInterruptResource(1), nullptr);
    EXPECT_EQ(device->m_GetInterruptResource(1)->ulTranslatedLevel, 9u);
    EXPECT_EQ(device->m_GetInterruptResource(1)->ulTranslatedVector, 0x99u);
    EXPECT_EQ(device->m_GetInterruptResource(1)->ulRawVector, 0x34u);
    EXPECT_NE(device->m_GetMessageInterruptResource(1), nullptr);
    ASSERT_NE(device->m_GetDmaResource(1), nullptr);
    EXPECT_EQ(device->m_GetDmaResource(1)->ulChannel, 3u);
    EXPECT_EQ(device->m_GetDmaResource(1)->ulPort, 7u);
    EXPECT_EQ(device->m_GetDmaResource(2), nullptr);

    // A translated port without its raw twin is a failure: every list is emptied (and unmapped).
    ResourceList rawShort({Descriptor(CmResourceTypeMemory, 0, 0xD0000, 0x1000)});
    EXPECT_EQ(device->m_StartDeviceResources(rawShort.Get(), translated.Get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->m_GetPortResource(1), nullptr);
    EXPECT_EQ(device->m_GetMemoryResource(1), nullptr);
    EXPECT_EQ(device->m_GetDmaResource(1), nullptr);

    // No resources at all (a USB device): empty lists and success.
    EXPECT_EQ(device->m_StartDeviceResources(nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device->m_GetInterruptResource(1), nullptr);
}

// The lowest-layer device answers a query on the named callback object with its PDO.
TEST_F(FdoPnpTest, CallbackObjectOwnerAnswersWithItsPdo)
{
    AddFdo();
    PDEVICE_OBJECT owner = nullptr;
    EXPECT_FALSE(Device()->m_QueryCallbackObjectOwner(nullptr));
    EXPECT_TRUE(Device()->m_QueryCallbackObjectOwner(&owner));
    EXPECT_EQ(owner, m_pdo->Device());
}

}  // namespace
