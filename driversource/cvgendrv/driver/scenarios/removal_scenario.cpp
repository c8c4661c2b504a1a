// Removal as an application sees it: the cable pulled while requests wait on an open port, and an
// orderly removal after the pages used the configuration interface. Whatever the order, every
// request finishes, REMOVE reaches a device only after its last handle is closed, and both
// images unload without leaving a block behind.
#include "framework_scenario.h"

#include <ntddser.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstring>

// The codes are shared with user mode; this executable does not see the tools library's folders.
#include "../../../../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"
#include "ex/pool.h"
#include "io/file_objects.h"
#include "io/io_manager.h"

namespace tfscenario {
namespace {

constexpr char16_t kPortLink[] = u"TFSCOM";
constexpr char16_t kPortPath[] = u"\\\\.\\TFSCOM";

size_t IndexOf(const std::vector<std::string>& record, const std::string& line)
{
    return static_cast<size_t>(std::find(record.begin(), record.end(), line) - record.begin());
}

// One overlapped request of the application, with its own event.
struct Pending {
    Pending() : overlapped{} { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending()
    {
        if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool Done() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
    // The request's final error (ERROR_SUCCESS when it succeeded); it must have finished.
    DWORD Error(HANDLE file)
    {
        DWORD bytes = 0;
        return GetOverlappedResult(file, &overlapped, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
    }

    OVERLAPPED overlapped;
    uint8_t buffer[16] = {};
};

class RemovalScenario : public FrameworkScenario {
protected:
    // One port whose function device has a DOS name an application opens.
    NTSTATUS PlugPort()
    {
        WriteBusRegistry({{1}});
        Reg().SetString(HardwareKey(ChildInstancePath(1)), u"SymbolicLinkName", kPortLink);
        return Plug();
    }

    HANDLE OpenPort()
    {
        return CreateFileW(reinterpret_cast<LPCWSTR>(kPortPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    // Starts an overlapped request; true when it is left waiting in the driver.
    static bool Started(BOOL result) { return !result && GetLastError() == ERROR_IO_PENDING; }

    // Waits (bounded in real time, so a broken driver fails the test rather than hanging it) until
    // the image has recorded the line.
    bool WaitForRecordLine(std::u16string_view service, const std::string& line)
    {
        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            std::vector<std::string> record = Record(service);
            if (std::find(record.begin(), record.end(), line) != record.end()) return true;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < bound);
        return false;
    }

    size_t PnpCount(PDEVICE_OBJECT pdo, UCHAR minor)
    {
        size_t count = 0;
        for (const emu::PnpIrpRecord& record : Pnp().IrpLog())
            if (record.pdo == pdo && record.minor == minor) ++count;
        return count;
    }
    // Position in the PnP log of the first IRP of that kind to the node (log size when none).
    size_t PnpIndex(PDEVICE_OBJECT pdo, UCHAR minor)
    {
        std::vector<emu::PnpIrpRecord> log = Pnp().IrpLog();
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].pdo == pdo && log[i].minor == minor) return i;
        return log.size();
    }
};

TEST_F(RemovalScenario, SurpriseRemovalFinishesEveryPendingRequestAndRemoveWaitsForTheLastHandle)
{
    ASSERT_EQ(PlugPort(), STATUS_SUCCESS);
    PDEVICE_OBJECT child = ChildPdo(1);
    ASSERT_NE(child, nullptr);

    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // The pages hold the configuration interface of the same port open as well.
    std::u16string interfacePath = PortInterfacePath(1);
    ASSERT_FALSE(interfacePath.empty());
    HANDLE config = Open(interfacePath);
    ASSERT_NE(config, INVALID_HANDLE_VALUE);

    // A read with no data, a write the device has not confirmed, a write the write queue's block
    // builder holds out of its queues when the removal purges them, and a wait for an event.
    Pending read, write, held, wait, setMask, hold;
    ASSERT_TRUE(Started(ReadFile(port, read.buffer, sizeof read.buffer, nullptr, &read.overlapped)));
    ASSERT_TRUE(Started(WriteFile(port, write.buffer, 10, nullptr, &write.overlapped)));
    ULONG mask = SERIAL_EV_RXCHAR;
    DWORD bytes = 0;
    BOOL maskSet = DeviceIoControl(port, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0, &bytes,
                                   &setMask.overlapped);
    ASSERT_TRUE(maskSet || GetOverlappedResult(port, &setMask.overlapped, &bytes, TRUE));
    ASSERT_TRUE(Started(DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, wait.buffer, sizeof(ULONG),
                                        nullptr, &wait.overlapped)));
    // The write queue hands the write to the driver on its executor: once the driver has it, the
    // removal meets it waiting for its confirmation.
    ASSERT_TRUE(WaitForRecordLine(kFuncService, "10 dev1 len=10"));
    // The next write is held by the block builder after its checks, before it goes back into a
    // queue, until the removal has purged: the purge must end it all the same.
    BOOL holdArmed = DeviceIoControl(port, TFTEST_IOCTL_HOLD_NEXT_BLOCK, nullptr, 0, nullptr, 0, &bytes,
                                     &hold.overlapped);
    ASSERT_TRUE(holdArmed || GetOverlappedResult(port, &hold.overlapped, &bytes, TRUE));
    ASSERT_TRUE(Started(WriteFile(port, held.buffer, 6, nullptr, &held.overlapped)));
    ASSERT_TRUE(WaitForRecordLine(kFuncService, "hold dev1 len=6"));
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(write.Done());
    EXPECT_FALSE(held.Done());
    EXPECT_FALSE(wait.Done());
    size_t funcMark = RecordMark(kFuncService);

    ASSERT_EQ(SurpriseUnplug(), STATUS_SUCCESS);

    // The removal itself finished them: nothing waits for a device that is gone.
    ASSERT_TRUE(read.Done());
    ASSERT_TRUE(write.Done());
    ASSERT_TRUE(wait.Done());
    // The held write ends as the builder puts it back, which the removal let it do after its purge.
    EXPECT_EQ(WaitForSingleObject(held.overlapped.hEvent, TFTEST_FUNC_HOLD_LIMIT_MS / 2), WAIT_OBJECT_0)
        << "the held write outlived the removal's purge";
    EXPECT_EQ(read.Error(port), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(write.Error(port), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(held.Error(port), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(wait.Error(port), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(machine().GetIo().Files().PendingRequestCount(), 0u);

    // The handles are still open: the devices heard SURPRISE_REMOVAL only, and stay loaded.
    EXPECT_EQ(PnpCount(child, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(PnpCount(UsbPdo(), IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(PnpCount(child, IRP_MN_REMOVE_DEVICE), 0u);
    EXPECT_EQ(PnpCount(UsbPdo(), IRP_MN_REMOVE_DEVICE), 0u);
    auto node = ChildNode(1);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, emu::DeviceNodeState::SurpriseRemoved);
    EXPECT_TRUE(Drivers().IsLoaded(kFuncService));
    EXPECT_TRUE(Drivers().IsLoaded(kBusService));

    // A new request on the dead port does not wait either.
    Pending late;
    EXPECT_FALSE(Started(ReadFile(port, late.buffer, sizeof late.buffer, nullptr, &late.overlapped)));
    EXPECT_EQ(machine().GetIo().Files().PendingRequestCount(), 0u);

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(PnpCount(child, IRP_MN_REMOVE_DEVICE), 0u) << "the interface handle is still open";
    EXPECT_TRUE(Drivers().IsLoaded(kFuncService));

    EXPECT_TRUE(CloseHandle(config));
    Pnp().WaitIdle();
    EXPECT_EQ(PnpCount(child, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(PnpCount(UsbPdo(), IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_LT(PnpIndex(child, IRP_MN_REMOVE_DEVICE), PnpIndex(UsbPdo(), IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_FALSE(Drivers().IsLoaded(kBusService));
    EXPECT_EQ(TrackedBlocks(), 0u);

    // The driver heard the removal once, the port's cleanup and close before its object went.
    std::vector<std::string> record = Record(kFuncService, funcMark);
    EXPECT_EQ(Lines(record, "6 "), (std::vector<std::string>{"6 dev1"}));
    EXPECT_LT(IndexOf(record, "6 dev1"), IndexOf(record, "4 dev1"));
    EXPECT_LT(IndexOf(record, "4 dev1"), IndexOf(record, "3 dev1"));
    EXPECT_LT(IndexOf(record, "3 dev1"), IndexOf(record, "delete dev1"));
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.back(), "unload");
}

TEST_F(RemovalScenario, SurpriseRemovalWithoutOpenHandlesRemovesAtOnce)
{
    ASSERT_EQ(PlugPort(), STATUS_SUCCESS);
    PDEVICE_OBJECT child = ChildPdo(1);
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));

    ASSERT_EQ(SurpriseUnplug(), STATUS_SUCCESS);
    Pnp().WaitIdle();
    EXPECT_LT(PnpIndex(child, IRP_MN_SURPRISE_REMOVAL), PnpIndex(child, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(PnpCount(UsbPdo(), IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_FALSE(Drivers().IsLoaded(kBusService));
}

TEST_F(RemovalScenario, OrderlyRemovalAfterConfigurationUseLeavesNothingBehind)
{
    emu::Pool& pool = machine().GetPool();
    const uint64_t plugged = pool.LiveBlocks().empty() ? 0 : pool.LiveBlocks().back().sequence;
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    PDEVICE_OBJECT child1 = ChildPdo(1);
    PDEVICE_OBJECT child2 = ChildPdo(2);

    // The pages read a set through each interface (forwarded once to the bus as well) and close.
    for (ULONG id : {1u, 2u}) {
        HANDLE config = Open(PortInterfacePath(id));
        ASSERT_NE(config, INVALID_HANDLE_VALUE) << id;
        for (ULONG count : {0u, 1u}) {
            ULONG header[2] = {count, 0xFFFFFFFFu};
            std::vector<uint8_t> input(sizeof header), output(4);
            std::memcpy(input.data(), header, sizeof header);
            EXPECT_TRUE(Control(config, IOCTL_TF_USERMODE_GET_SIZE, input, output)) << id << " count " << count;
        }
        EXPECT_TRUE(CloseHandle(config));
    }
    ASSERT_EQ(machine().GetIo().Files().OpenFileCount(), 0u);
    std::vector<uint32_t> images;
    for (const char16_t* service : {kBusService, kFuncService}) {
        auto info = Drivers().InfoOf(Drivers().Find(service));
        ASSERT_TRUE(info);
        images.push_back(info->imageId);
    }
    size_t busMark = RecordMark(kBusService);

    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    // Every device was asked before any was removed, children before their bus both times.
    for (PDEVICE_OBJECT pdo : {child1, child2}) {
        EXPECT_EQ(PnpCount(pdo, IRP_MN_QUERY_REMOVE_DEVICE), 1u);
        EXPECT_EQ(PnpCount(pdo, IRP_MN_REMOVE_DEVICE), 1u);
        EXPECT_EQ(PnpCount(pdo, IRP_MN_SURPRISE_REMOVAL), 0u);
        EXPECT_LT(PnpIndex(pdo, IRP_MN_QUERY_REMOVE_DEVICE), PnpIndex(UsbPdo(), IRP_MN_QUERY_REMOVE_DEVICE));
        EXPECT_LT(PnpIndex(UsbPdo(), IRP_MN_QUERY_REMOVE_DEVICE), PnpIndex(pdo, IRP_MN_REMOVE_DEVICE));
        EXPECT_LT(PnpIndex(pdo, IRP_MN_REMOVE_DEVICE), PnpIndex(UsbPdo(), IRP_MN_REMOVE_DEVICE));
    }
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_TRUE(EnabledInterfaces(kBusInterfaceGuid).empty());
    EXPECT_TRUE(EnabledInterfaces(kPortInterfaceGuid).empty());
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_FALSE(Drivers().IsLoaded(kBusService));

    // The bus heard its removal (and its driver's removal callback) once, then unloaded.
    std::vector<std::string> busRecord = Record(kBusService, busMark);
    EXPECT_EQ(Lines(busRecord, "6 "), (std::vector<std::string>{"6 dev1"}));
    EXPECT_EQ(Lines(busRecord, "removal"), (std::vector<std::string>{"removal"}));
    ASSERT_FALSE(busRecord.empty());
    EXPECT_EQ(busRecord.back(), "unload");

    // Nothing of either image is left: no tracked block, no pool block, no leak report.
    EXPECT_EQ(TrackedBlocks(), 0u);
    EXPECT_EQ(verifier().Count(emu::Violation::PoolLeak), 0u);
    for (uint32_t image : images) EXPECT_TRUE(pool.LiveBlocksOfOwner(image).empty()) << image;
    // The named callback object is permanent, as on Windows: it outlives the driver that made it.
    for (const emu::PoolBlock& block : pool.LiveBlocks())
        if (block.sequence > plugged && block.tag != emu::PoolTag("Cbko"))
            ADD_FAILURE() << "left behind: " << emu::PoolTagText(block.tag) << " " << block.size;
}

}  // namespace
}  // namespace tfscenario
