// Driver services and images: loading by ImagePath, DriverEntry, unloading, and the per-image
// pool leak check.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ex/work_queues.h"
#include "io/driver_loader.h"
#include "ke/dpc_manager.h"
#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

class DriverLoaderTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Drivers().InstallImage(u"pnptest.sys", EMU_PNPTEST_IMAGE);
        Drivers().InstallImage(u"PnpTest2.SYS", EMU_PNPTEST2_IMAGE);
        Drivers().CreateService(u"PnpBus", u"pnptest.sys");
    }
    DriverLoader& Drivers() { return machine().GetDrivers(); }
    Registry& Reg() { return machine().GetRegistry(); }
    std::u16string ServiceKey(std::u16string_view service) { return DriverLoader::ServiceKeyPath(service); }
};

TEST_F(DriverLoaderTest, LoadMakesTheDriverObjectAndUnloadTakesItAway)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2), u"\\Driver\\PnpBus");
    EXPECT_EQ(std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                             driver->DriverExtension->ServiceKeyName.Length / 2),
              u"PnpBus");
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
    EXPECT_NE(driver->DriverStart, nullptr);
    EXPECT_TRUE(machine().GetNamespace().Contains(u"\\Driver\\PnpBus"));
    // DriverEntry saw the service key as its registry path.
    EXPECT_EQ(Reg().GetDword(ServiceKey(u"PnpBus"), u"EntryCount"), 1u);
    // A second load finds the loaded image.
    PDRIVER_OBJECT again = nullptr;
    EXPECT_EQ(Drivers().Load(u"pnpbus", &again), STATUS_SUCCESS);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(Drivers().EntryCount(u"PnpBus"), 1u);

    // Major functions the driver left alone are refused by the default dispatch.
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], nullptr);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], driver->MajorFunction[IRP_MJ_WRITE]);
    IoFreeIrp(irp);

    EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_SUCCESS);
    EXPECT_FALSE(Drivers().IsLoaded(u"PnpBus"));
    EXPECT_FALSE(machine().GetNamespace().Contains(u"\\Driver\\PnpBus"));

    // Loaded again, the image starts with fresh globals.
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    EXPECT_EQ(Reg().GetDword(ServiceKey(u"PnpBus"), u"EntryCount"), 1u);
    EXPECT_EQ(Drivers().EntryCount(u"PnpBus"), 2u);
}

TEST_F(DriverLoaderTest, FailingDriverEntryUnloadsTheImage)
{
    Reg().SetDword(ServiceKey(u"PnpBus"), u"EntryStatus", static_cast<ULONG>(STATUS_UNSUCCESSFUL));
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_FALSE(Drivers().IsLoaded(u"PnpBus"));
    EXPECT_FALSE(machine().GetNamespace().Contains(u"\\Driver\\PnpBus"));

    Reg().DeleteValue(ServiceKey(u"PnpBus"), u"EntryStatus");
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    EXPECT_EQ(Reg().GetDword(ServiceKey(u"PnpBus"), u"EntryCount"), 1u);  // the failed copy's globals are gone
}

TEST_F(DriverLoaderTest, PoolBlockLeftByTheImageIsReportedAtUnload)
{
    Reg().SetDword(ServiceKey(u"PnpBus"), u"LeakOnUnload", 1);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    // The platform's and the test's own blocks are charged to no image.
    void* mine = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test"));
    const uint32_t image = Drivers().InfoOf(driver)->imageId;
    ASSERT_EQ(machine().GetPool().LiveBlocksOfOwner(image).size(), 1u);
    EXPECT_EQ(machine().GetPool().Find(mine)->owner, 0u);

    EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_SUCCESS);
    auto reports = verifier().Take(Violation::PoolLeak);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].detail.find("PtLk 24 bytes"), std::string::npos) << reports[0].detail;
    ExFreePool(mine);
}

// The image's memory is checked before it goes, as pool is: a timer left armed or a DPC left queued
// in it is reported and taken out of the machine's lists.
TEST_F(DriverLoaderTest, TimerOrDpcLeftInTheImageIsReportedAtUnload)
{
    DpcManager& dpcs = machine().GetDpcs();
    dpcs.HoldDpcs(true);  // a queued DPC stays queued
    for (ULONG arm : {1u, 2u}) {
        Reg().SetDword(ServiceKey(u"PnpBus"), u"ArmAtUnload", arm);
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
        EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_SUCCESS);
        auto reports = verifier().Take(Violation::TimerOrDpcInFreedMemory);
        ASSERT_EQ(reports.size(), 1u) << arm;
        EXPECT_NE(reports[0].detail.find("image of driver PnpBus unloaded"), std::string::npos) << reports[0].detail;
        EXPECT_EQ(dpcs.ArmedTimerCount(), 0u);
        EXPECT_EQ(dpcs.QueuedDpcCount(), 0u);
    }
}

// A deleted device object that something still references (a queued work item, an object
// reference) keeps its image loaded: DriverUnload runs, the image goes with the last device object.
TEST_F(DriverLoaderTest, ImageStaysLoadedWhileADeletedDeviceObjectOfItIsReferenced)
{
    machine().GetWorkQueues().SetDeterministic(true);
    struct Case {
        const char* holder;
        std::function<std::function<void()>(PDEVICE_OBJECT)> hold;  // returns what lets go
    };
    const Case cases[] = {
        {"a queued work item",
         [this](PDEVICE_OBJECT device) {
             PIO_WORKITEM item = IoAllocateWorkItem(device);
             IoQueueWorkItem(
                 item, [](PDEVICE_OBJECT, PVOID context) { IoFreeWorkItem(static_cast<PIO_WORKITEM>(context)); },
                 DelayedWorkQueue, item);
             return std::function<void()>([this] { machine().GetWorkQueues().DrainWorkQueues(); });
         }},
        {"an object reference",
         [](PDEVICE_OBJECT device) {
             ObReferenceObject(device);
             return std::function<void()>([device] { ObDereferenceObject(device); });
         }},
    };
    for (const Case& c : cases) {
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        std::function<void()> letGo = c.hold(device);
        IoDeleteDevice(device);

        EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_SUCCESS) << c.holder;
        EXPECT_FALSE(Drivers().IsLoaded(u"PnpBus"));
        EXPECT_EQ(Drivers().UnloadingCount(), 1u) << c.holder;
        EXPECT_TRUE(machine().GetNamespace().Contains(u"\\Driver\\PnpBus"));
        letGo();
        EXPECT_EQ(Drivers().UnloadingCount(), 0u) << c.holder;
        EXPECT_FALSE(machine().GetNamespace().Contains(u"\\Driver\\PnpBus"));
    }
}

TEST_F(DriverLoaderTest, ImageWithoutLeakUnloadsSilently)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_SUCCESS);
    EXPECT_EQ(machine().GetPool().LiveCount(PoolTag("PtLk")), 0u);
}

TEST_F(DriverLoaderTest, ServiceAndImagePathRules)
{
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(Drivers().Load(u"NoSuchService", &driver), STATUS_OBJECT_NAME_NOT_FOUND);

    Drivers().CreateService(u"Missing", u"missing.sys");
    EXPECT_EQ(Drivers().Load(u"Missing", &driver), STATUS_OBJECT_NAME_NOT_FOUND);

    // The relative form, with the image name in another case.
    Reg().CreateKey(ServiceKey(u"Relative"));
    Reg().SetString(ServiceKey(u"Relative"), u"ImagePath", u"System32\\DRIVERS\\pnptest2.sys", REG_EXPAND_SZ);
    Reg().SetDword(ServiceKey(u"Relative"), u"Type", kServiceKernelDriver);
    EXPECT_EQ(Drivers().Load(u"Relative", &driver), STATUS_SUCCESS);

    // One image file serves one service: a second would share its globals.
    Drivers().CreateService(u"Twin", u"pnptest2.sys");
    EXPECT_EQ(Drivers().Load(u"Twin", &driver), kStatusImageAlreadyLoaded);

    Drivers().CreateService(u"Disabled", u"pnptest.sys", kServiceDisabled);
    EXPECT_EQ(Drivers().Load(u"Disabled", &driver), kStatusDriverUnableToLoad);

    Reg().SetString(ServiceKey(u"PnpBus"), u"ImagePath", u"\\SystemRoot\\Elsewhere\\pnptest.sys", REG_EXPAND_SZ);
    EXPECT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_OBJECT_PATH_NOT_FOUND);
    Reg().SetDword(ServiceKey(u"PnpBus"), u"Type", 0x10);  // a Win32 service is no driver
    EXPECT_EQ(Drivers().Load(u"PnpBus", &driver), kStatusDriverUnableToLoad);
    EXPECT_EQ(Drivers().Loaded().size(), 1u);
}

TEST_F(DriverLoaderTest, DriverWithDevicesIsNotUnloaded)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(Drivers().Load(u"PnpBus", &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_EQ(Drivers().Unload(u"PnpBus"), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(Drivers().UnloadIfUnused(driver));
    IoDeleteDevice(device);
    EXPECT_TRUE(Drivers().UnloadIfUnused(driver));
}

}  // namespace
}  // namespace emu::testing
