// Device objects, the object namespace and symbolic links: names and their aliases, collisions,
// deletion with references and pending IRPs, device stacks, and the test driver helper.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "io/io_manager.h"
#include "ke/dpc_manager.h"
#include "ob/object_namespace.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {
namespace {

UNICODE_STRING Counted(const char16_t* text)
{
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    return counted;
}

NTSTATUS CreateLink(const char16_t* link, const char16_t* target)
{
    UNICODE_STRING linkName = Counted(link);
    UNICODE_STRING targetName = Counted(target);
    return IoCreateSymbolicLink(&linkName, &targetName);
}

NTSTATUS DeleteLink(const char16_t* link)
{
    UNICODE_STRING linkName = Counted(link);
    return IoDeleteSymbolicLink(&linkName);
}

// Sends an IRP of the test's own to the device; its completion routine gives it back to the test.
PIRP SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS* status)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    *status = IoCallDriver(device, irp);
    return irp;
}

class DeviceTest : public MachineTest {
protected:
    ObjectNamespace& Names() { return machine().GetNamespace(); }

    TestDriver m_driver{u"cvuvcp"};
};

// ---- Names and links ---------------------------------------------------------------------------

TEST_F(DeviceTest, DosDevicePrefixesNameOneLink)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    ASSERT_NE(port, nullptr);

    ASSERT_EQ(CreateLink(u"\\??\\COM5", u"\\Device\\Port1"), STATUS_SUCCESS);
    EXPECT_EQ(Names().LinkTarget(u"\\??\\COM5"), u"\\Device\\Port1");
    EXPECT_EQ(Names().LinkTarget(u"\\DosDevices\\com5"), u"\\Device\\Port1");
    EXPECT_EQ(Names().LinkTarget(u"\\GLOBAL??\\COM5"), u"\\Device\\Port1");
    EXPECT_EQ(Names().DeviceByName(u"\\??\\Com5"), port);
    EXPECT_EQ(Names().ResolveLink(u"\\DosDevices\\COM5"), u"\\Device\\Port1");

    // Every spelling collides with the one entry.
    EXPECT_EQ(CreateLink(u"\\DosDevices\\COM5", u"\\Device\\Port2"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateLink(u"\\GLOBAL??\\com5", u"\\Device\\Port2"), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(Names().Links().size(), 1u);
    EXPECT_EQ(Names().Links()[0].name, u"\\??\\COM5");

    // Created with one prefix, deleted with the other.
    EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_FALSE(Names().LinkTarget(u"\\??\\COM5").has_value());
    EXPECT_EQ(DeleteLink(u"\\??\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(Names().Links().empty());
    EXPECT_EQ(CreateLink(u"\\DosDevices\\COM5", u"\\Device\\Port1"), STATUS_SUCCESS);
}

TEST_F(DeviceTest, LinkCallsRefuseWhatIsNoLinkAndBadNames)
{
    ASSERT_NE(m_driver.CreateDevice(u"\\Device\\Port1"), nullptr);
    EXPECT_EQ(DeleteLink(u"\\Device\\Port1"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_NE(Names().DeviceByName(u"\\Device\\Port1"), nullptr);
    EXPECT_EQ(CreateLink(u"\\Device\\PORT1", u"\\Device\\Port9"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateLink(u"COM5", u"\\Device\\Port1"), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(CreateLink(u"\\NoSuchDirectory\\COM5", u"\\Device\\Port1"), STATUS_OBJECT_PATH_NOT_FOUND);

    UNICODE_STRING empty{0, 0, nullptr};
    UNICODE_STRING target = Counted(u"\\Device\\Port1");
    EXPECT_EQ(IoCreateSymbolicLink(&empty, &target), STATUS_OBJECT_NAME_INVALID);
    // A link may point at nothing yet: the target is text.
    EXPECT_EQ(CreateLink(u"\\??\\COM6", u"\\Device\\NotThereYet"), STATUS_SUCCESS);
    EXPECT_EQ(Names().DeviceByName(u"\\??\\COM6"), nullptr);
    EXPECT_EQ(Names().ResolveLink(u"\\??\\COM6"), u"\\Device\\NotThereYet");
}

TEST_F(DeviceTest, ResolutionFollowsChainsKeepsTheRemainderAndStopsLoops)
{
    PDEVICE_OBJECT pdo = m_driver.CreateDevice(u"\\Device\\USBPDO-1");
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(CreateLink(u"\\??\\USB#VID_0403#{guid}", u"\\Device\\USBPDO-1"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\A", u"\\DosDevices\\B"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\B", u"\\??\\USB#VID_0403#{guid}"), STATUS_SUCCESS);

    std::u16string remainder = u"unchanged";
    EXPECT_EQ(Names().DeviceByName(u"\\??\\usb#vid_0403#{GUID}\\CVGENDRV_X", &remainder), pdo);
    EXPECT_EQ(remainder, u"\\CVGENDRV_X");
    EXPECT_EQ(Names().DeviceByName(u"\\??\\A", &remainder), pdo);
    EXPECT_EQ(remainder, u"");
    EXPECT_EQ(Names().ResolveLink(u"\\??\\A"), u"\\Device\\USBPDO-1");
    EXPECT_FALSE(Names().ResolveLink(u"\\Device\\USBPDO-1").has_value());  // no link involved

    ASSERT_EQ(CreateLink(u"\\??\\LoopA", u"\\??\\LoopB"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\LoopB", u"\\??\\LoopA"), STATUS_SUCCESS);
    EXPECT_FALSE(Names().ResolveLink(u"\\??\\LoopA").has_value());
    EXPECT_EQ(Names().DeviceByName(u"\\??\\LoopA"), nullptr);
    EXPECT_EQ(Names().DeviceByName(u"\\Device"), nullptr);  // a directory opens no device
}

TEST_F(DeviceTest, NamespaceHoldsOtherObjectsInDirectories)
{
    int callbackBody = 0;
    EXPECT_EQ(Names().Insert(u"\\Callback\\{B7D1E087}", ObjectType::Callback, &callbackBody), STATUS_SUCCESS);
    EXPECT_EQ(Names().Insert(u"\\callback\\{b7d1e087}", ObjectType::Callback, &callbackBody),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Names().Insert(u"\\Device", ObjectType::Other, &callbackBody), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Names().Lookup(u"\\CALLBACK\\{B7D1E087}")->object, &callbackBody);
    EXPECT_EQ(Names().Lookup(u"\\Driver\\cvuvcp")->object, m_driver.Driver());

    EXPECT_EQ(Names().CreateDirectory(u"\\Device\\Serial"), STATUS_SUCCESS);
    ASSERT_NE(m_driver.CreateDevice(u"\\Device\\Serial\\B"), nullptr);
    ASSERT_NE(m_driver.CreateDevice(u"\\Device\\A"), nullptr);
    EXPECT_EQ(Names().List(u"\\Device"), (std::vector<std::u16string>{u"\\Device\\A", u"\\Device\\Serial"}));
    EXPECT_EQ(Names().List(u"\\Device\\Serial"), std::vector<std::u16string>{u"\\Device\\Serial\\B"});

    EXPECT_EQ(Names().Remove(u"\\Callback\\{B7D1E087}"), STATUS_SUCCESS);
    EXPECT_EQ(Names().Remove(u"\\Callback\\{B7D1E087}"), STATUS_OBJECT_NAME_NOT_FOUND);
}

// ---- IoCreateDevice ----------------------------------------------------------------------------

TEST_F(DeviceTest, NewDeviceIsInitialisedAndListedByItsDriver)
{
    TestDriver::DeviceOptions options;
    options.name = u"\\Device\\Port1";
    options.extensionSize = 40;
    options.type = FILE_DEVICE_SERIAL_PORT;
    options.characteristics = FILE_DEVICE_SECURE_OPEN;
    options.exclusive = true;
    PDEVICE_OBJECT first = m_driver.CreateDevice(options);
    ASSERT_NE(first, nullptr);
    PDEVICE_OBJECT second = m_driver.CreateDevice();
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(first->DriverObject, m_driver.Driver());
    EXPECT_EQ(first->DeviceType, ULONG{FILE_DEVICE_SERIAL_PORT});
    EXPECT_EQ(first->Characteristics, ULONG{FILE_DEVICE_SECURE_OPEN});
    EXPECT_EQ(first->Flags, ULONG{DO_DEVICE_INITIALIZING | DO_EXCLUSIVE});
    EXPECT_EQ(second->Flags, ULONG{DO_DEVICE_INITIALIZING});
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->AttachedDevice, nullptr);
    ASSERT_NE(first->DeviceExtension, nullptr);
    EXPECT_GE(static_cast<char*>(first->DeviceExtension), reinterpret_cast<char*>(first + 1));
    std::vector<unsigned char> zeros(40, 0);
    EXPECT_EQ(std::memcmp(first->DeviceExtension, zeros.data(), zeros.size()), 0);
    std::memset(first->DeviceExtension, 0x5A, 40);  // the whole extension is the driver's
    EXPECT_EQ(second->DeviceExtension, nullptr);

    // Newest first, as Windows links them.
    EXPECT_EQ(m_driver.Driver()->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->NextDevice, nullptr);
    EXPECT_EQ(Names().DeviceByName(u"\\DEVICE\\PORT1"), first);
    EXPECT_EQ(Names().Describe(first)->name, u"\\Device\\Port1");
    EXPECT_EQ(Names().Describe(second)->name, u"");
    EXPECT_EQ(Names().LiveDeviceCount(), 2u);
}

TEST_F(DeviceTest, CreationFailuresLeaveNothingBehind)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    ASSERT_NE(port, nullptr);
    const size_t objects = machine().GetObjectManager().ObjectCount();

    struct Case {
        const char16_t* name;
        NTSTATUS expected;
    };
    for (const Case& c : {Case{u"\\device\\PORT1", STATUS_OBJECT_NAME_COLLISION},
                          Case{u"Device\\Port2", STATUS_OBJECT_PATH_SYNTAX_BAD},
                          Case{u"\\Devices\\Port2", STATUS_OBJECT_PATH_NOT_FOUND},
                          Case{u"\\Device\\", STATUS_OBJECT_NAME_INVALID}}) {
        UNICODE_STRING name = Counted(c.name);
        PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x1);
        EXPECT_EQ(IoCreateDevice(m_driver.Driver(), 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), c.expected);
        EXPECT_EQ(device, nullptr);
    }

    Names().FailNextDeviceCreate(STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(m_driver.CreateDevice(u"\\Device\\Port2", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(m_driver.Driver()->DeviceObject, port);
    EXPECT_EQ(port->NextDevice, nullptr);
    EXPECT_EQ(Names().LiveDeviceCount(), 1u);
    EXPECT_EQ(machine().GetObjectManager().ObjectCount(), objects);
    EXPECT_NE(m_driver.CreateDevice(u"\\Device\\Port2"), nullptr);  // the injected failure was used up
}

TEST_F(DeviceTest, AutogeneratedNamesAreNumberedAndSkipTakenOnes)
{
    TestDriver::DeviceOptions options;
    options.name = u"\\Device\\Ignored";
    options.characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
    PDEVICE_OBJECT first = m_driver.CreateDevice(options);
    ASSERT_NE(m_driver.CreateDevice(u"\\Device\\NTPNP_PCI0002"), nullptr);
    PDEVICE_OBJECT second = m_driver.CreateDevice(options);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(Names().Describe(first)->name, u"\\Device\\NTPNP_PCI0001");
    EXPECT_EQ(Names().Describe(second)->name, u"\\Device\\NTPNP_PCI0003");
    EXPECT_EQ(Names().DeviceByName(u"\\Device\\NTPNP_PCI0003"), second);
    EXPECT_FALSE(Names().Contains(u"\\Device\\Ignored"));
}

TEST_F(DeviceTest, ConcurrentCreationGivesEveryDeviceItsOwnNameAndListEntry)
{
    constexpr int kThreads = 8;
    constexpr int kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this] {
            TestDriver::DeviceOptions options;
            options.characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
            for (int i = 0; i < kEach; ++i) EXPECT_NE(m_driver.CreateDevice(options), nullptr);
        });
    for (auto& thread : threads) thread.join();

    std::set<std::u16string> names;
    size_t listed = 0;
    for (PDEVICE_OBJECT device = m_driver.Driver()->DeviceObject; device; device = device->NextDevice, ++listed)
        names.insert(Names().Describe(device)->name);
    EXPECT_EQ(listed, size_t{kThreads * kEach});
    EXPECT_EQ(names.size(), size_t{kThreads * kEach});
    EXPECT_EQ(Names().List(u"\\Device").size(), size_t{kThreads * kEach});
}

// ---- IoDeleteDevice ----------------------------------------------------------------------------

TEST_F(DeviceTest, DeleteWhileReferencedKeepsTheMemoryUntilTheLastReference)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1", 16);
    ASSERT_NE(port, nullptr);
    ObReferenceObject(port);  // as a queued work item holds it
    IoDeleteDevice(port);

    // The name and the driver's list let go at once ...
    EXPECT_EQ(Names().DeviceByName(u"\\Device\\Port1"), nullptr);
    EXPECT_EQ(m_driver.Driver()->DeviceObject, nullptr);
    ASSERT_TRUE(Names().IsLiveDevice(port));
    EXPECT_TRUE(Names().Describe(port)->deleted);
    // ... the memory does not (AddressSanitizer would see a freed block here).
    std::memset(port->DeviceExtension, 0x11, 16);
    EXPECT_EQ(port->DriverObject, m_driver.Driver());
    PDEVICE_OBJECT again = m_driver.CreateDevice(u"\\Device\\Port1");
    EXPECT_NE(again, nullptr);  // the name is free for a new device

    // Deleting it again is a driver bug, reported and ignored.
    IoDeleteDevice(port);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);

    ObDereferenceObject(port);
    EXPECT_FALSE(Names().IsLiveDevice(port));
    EXPECT_EQ(Names().LiveDeviceCount(), 1u);
    EXPECT_EQ(Names().DeviceByName(u"\\Device\\Port1"), again);
}

// The extension goes with the device object's last reference: a timer armed or a DPC queued in it
// then is reported before the memory goes, and taken out of the machine's lists.
TEST_F(DeviceTest, TimerOrDpcLeftInTheExtensionIsReportedWhenTheDeviceObjectIsFreed)
{
    struct Extension {
        KTIMER timer;
        KDPC dpc;
    };
    struct Case {
        bool queueDpc;  // else arm the timer
        bool referenced;  // a reference outlives IoDeleteDevice
    };
    DpcManager& dpcs = machine().GetDpcs();
    dpcs.HoldDpcs(true);  // a queued DPC stays queued
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1", sizeof(Extension));
        ASSERT_NE(port, nullptr);
        auto* extension = static_cast<Extension*>(port->DeviceExtension);
        KeInitializeTimer(&extension->timer);
        KeInitializeDpc(&extension->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "DPC of freed memory ran"; },
                        nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -10000000LL * 3600;
        if (c.queueDpc)
            KeInsertQueueDpc(&extension->dpc, nullptr, nullptr);
        else
            KeSetTimer(&extension->timer, due, nullptr);
        if (c.referenced) ObReferenceObject(port);

        IoDeleteDevice(port);
        if (c.referenced) {
            EXPECT_EQ(Take(Violation::TimerOrDpcInFreedMemory), 0u);  // the memory is still there
            ObDereferenceObject(port);
        }
        auto reports = verifier().Take(Violation::TimerOrDpcInFreedMemory);
        ASSERT_EQ(reports.size(), 1u) << c.queueDpc << c.referenced;
        EXPECT_NE(reports[0].detail.find("device object \\Device\\Port1 freed"), std::string::npos) << reports[0].detail;
        EXPECT_EQ(dpcs.ArmedTimerCount(), 0u);
        EXPECT_EQ(dpcs.QueuedDpcCount(), 0u);
    }
}

TEST_F(DeviceTest, DeleteWithAnIrpStillPendingIsReportedAndKeepsTheDevice)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    ASSERT_NE(port, nullptr);
    PIRP held = nullptr;
    m_driver.SetDispatch(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    NTSTATUS status;
    PIRP irp = SendIrp(port, IRP_MJ_READ, 0, &status);
    ASSERT_EQ(status, STATUS_PENDING);

    IoDeleteDevice(port);
    auto reports = verifier().Take(Violation::IrpPendingAtDelete);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].detail.find("\\Device\\Port1"), std::string::npos);
    // The IRP still names the device: its memory stays valid.
    EXPECT_TRUE(Names().IsLiveDevice(port));
    EXPECT_EQ(IoGetCurrentIrpStackLocation(held)->DeviceObject, port);
    TestDriver::Complete(held, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST_F(DeviceTest, DeletingInsideTheRemoveRequestIsNoPendingIrp)
{
    PDEVICE_OBJECT pdo = m_driver.CreateDevice(u"\\Device\\USBPDO-1");
    ASSERT_NE(pdo, nullptr);
    m_driver.SetDispatch(IRP_MJ_PNP, [](PDEVICE_OBJECT device, PIRP irp) {
        // A bus driver deletes its PDO and then completes the remove request.
        IoDeleteDevice(device);
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    NTSTATUS status;
    PIRP irp = SendIrp(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    EXPECT_FALSE(Names().IsLiveDevice(pdo));
}

// ---- Device stacks -----------------------------------------------------------------------------

class DeviceStackTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        m_pdo = m_bus.CreateDevice(u"\\Device\\USBPDO-1");
        m_fdo = m_driver.CreateDevice(u"\\Device\\Port1");
        m_filter = m_filterDriver.CreateDevice();
        ASSERT_NE(m_pdo, nullptr);
        ASSERT_NE(m_fdo, nullptr);
        ASSERT_NE(m_filter, nullptr);
    }

    TestDriver m_bus{u"enumdrv"};
    TestDriver m_filterDriver{u"filter"};
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    PDEVICE_OBJECT m_filter = nullptr;
};

TEST_F(DeviceStackTest, AttachGoesOnTopAndDetachTakesItOff)
{
    m_pdo->StackSize = 2;  // a bus that sends its own requests down
    m_pdo->AlignmentRequirement = 1;  // word alignment
    EXPECT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
    // Attached to the top of the stack, whatever device of it is named.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(m_filter, m_pdo), m_fdo);

    EXPECT_EQ(m_fdo->StackSize, 3);
    EXPECT_EQ(m_filter->StackSize, 4);
    EXPECT_EQ(m_fdo->AlignmentRequirement, 1u);
    EXPECT_EQ(m_pdo->AttachedDevice, m_fdo);
    EXPECT_EQ(m_fdo->AttachedDevice, m_filter);
    EXPECT_EQ(Names().AttachedTo(m_filter), m_fdo);
    EXPECT_EQ(Names().AttachedTo(m_fdo), m_pdo);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_pdo);
    EXPECT_EQ(top, m_filter);
    ObDereferenceObject(top);

    // Torn down from the top, each driver detaching before it deletes.
    IoDetachDevice(m_fdo);
    IoDeleteDevice(m_filter);
    EXPECT_EQ(m_fdo->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDeviceReference(m_pdo), m_fdo);
    ObDereferenceObject(m_fdo);
    IoDetachDevice(m_pdo);
    IoDeleteDevice(m_fdo);
    IoDeleteDevice(m_pdo);
    EXPECT_EQ(Names().LiveDeviceCount(), 0u);
}

TEST_F(DeviceStackTest, LowerDeviceDeletedFirstLivesUntilTheUpperDetaches)
{
    ASSERT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
    // A bus driver deletes its PDO while the function driver is still attached (remove order).
    IoDeleteDevice(m_pdo);
    ASSERT_TRUE(Names().IsLiveDevice(m_pdo));
    EXPECT_EQ(m_pdo->AttachedDevice, m_fdo);
    IoDetachDevice(m_pdo);
    EXPECT_FALSE(Names().IsLiveDevice(m_pdo));

    // Nothing new goes on top of a device being deleted.
    PDEVICE_OBJECT other = m_bus.CreateDevice();
    ObReferenceObject(other);
    IoDeleteDevice(other);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(m_filter, other), nullptr);
    EXPECT_EQ(m_filter->StackSize, 1);
    EXPECT_EQ(other->AttachedDevice, nullptr);
    ObDereferenceObject(other);
    EXPECT_FALSE(Names().IsLiveDevice(other));
}

TEST_F(DeviceStackTest, StackMisuseIsReportedAndLeavesNoDanglingLink)
{
    // Deleted without detaching: reported, and the lower device forgets it.
    ASSERT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
    IoDeleteDevice(m_fdo);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(m_pdo->AttachedDevice, nullptr);
    EXPECT_FALSE(Names().IsLiveDevice(m_fdo));

    IoDetachDevice(m_pdo);  // nothing attached any more
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);

    ASSERT_EQ(IoAttachDeviceToDeviceStack(m_filter, m_pdo), m_pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(m_filter, m_pdo), nullptr);  // attached already
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(m_pdo->AttachedDevice, m_filter);
    IoDetachDevice(m_pdo);
}

// ---- IRQL rules and the test driver -------------------------------------------------------------

TEST_F(DeviceTest, PassiveLevelCallsAboveTheirLevelAreReported)
{
    PDEVICE_OBJECT port = nullptr;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        port = m_driver.CreateDevice(u"\\Device\\Port1");
        EXPECT_EQ(CreateLink(u"\\??\\COM5", u"\\Device\\Port1"), STATUS_SUCCESS);
        EXPECT_EQ(DeleteLink(u"\\??\\COM5"), STATUS_SUCCESS);
        IoDeleteDevice(port);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 4u);
    EXPECT_FALSE(Names().IsLiveDevice(port));
}

TEST_F(DeviceTest, TestDriverDispatchesToItsLambdasAndCleansUp)
{
    std::vector<UCHAR> seen;
    PDEVICE_OBJECT lower = nullptr;
    {
        TestDriver driver(u"scratch");
        PDEVICE_OBJECT device = driver.CreateDevice(u"\\Device\\Scratch");
        ASSERT_NE(device, nullptr);
        driver.SetDispatch(IRP_MJ_CREATE, [&](PDEVICE_OBJECT d, PIRP irp) {
            seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
            EXPECT_EQ(d, device);
            return TestDriver::Complete(irp, STATUS_SUCCESS, 7);
        });
        NTSTATUS status;
        PIRP irp = SendIrp(device, IRP_MJ_CREATE, 0, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Information, 7u);
        IoFreeIrp(irp);
        irp = SendIrp(device, IRP_MJ_WRITE, 0, &status);
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
        IoFreeIrp(irp);

        EXPECT_EQ(Names().Lookup(u"\\Driver\\scratch")->type, ObjectType::Driver);
        lower = m_driver.CreateDevice();
        ASSERT_EQ(IoAttachDeviceToDeviceStack(driver.CreateDevice(), lower), lower);
    }
    EXPECT_EQ(lower->AttachedDevice, nullptr);
    EXPECT_EQ(seen, std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_FALSE(Names().Contains(u"\\Driver\\scratch"));
    EXPECT_EQ(Names().LiveDeviceCount(), 1u);  // m_driver's own device, detached from
}

TEST_F(DeviceTest, DevicesLeftAtShutdownGoWithTheMachine)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1", 32);
    ASSERT_NE(port, nullptr);
    ObReferenceObject(port);
    ShutDownMachine();  // m_driver outlives the machine and must not touch what went with it
}

}  // namespace
}  // namespace emu::testing
