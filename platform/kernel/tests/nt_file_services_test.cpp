// The I/O manager's file services as user mode calls them: the open count each device object
// keeps (DEVICE_OBJECT::ReferenceCount) and exclusive devices, the answer of a request the driver
// did or did not pend, and what requests still held by drivers do once user mode has ended.
#include <ntifs.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ex/work_queues.h"
#include "io/file_objects.h"
#include "io/io_manager.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {
namespace {

constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x0BADF00D);

class NtFileServicesTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            m_driver.SetDispatch(major, [this](PDEVICE_OBJECT, PIRP irp) {
                const UCHAR seen = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
                {
                    std::lock_guard lock(m_mutex);
                    m_majors.push_back(seen);
                }
                return TestDriver::Complete(irp, seen == IRP_MJ_CREATE ? m_createStatus : STATUS_SUCCESS);
            });
        }
    }

    FileObjects& Files() { return machine().GetIo().Files(); }

    PDEVICE_OBJECT MakeDevice(std::u16string name, bool exclusive)
    {
        TestDriver::DeviceOptions options;
        options.name = std::move(name);
        options.exclusive = exclusive;
        PDEVICE_OBJECT device = m_driver.CreateDevice(options);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    // NtCreateFile for reading and writing; synchronous I/O unless `overlapped`.
    NTSTATUS Open(std::u16string name, HANDLE* handle, bool overlapped = false)
    {
        UNICODE_STRING counted;
        counted.Buffer = name.data();
        counted.Length = counted.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK status{};
        *handle = nullptr;
        return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &status, nullptr, 0, 0, FILE_OPEN,
                            overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }

    HANDLE NewEvent()
    {
        HANDLE event = nullptr;
        EXPECT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
        return event;
    }

    // Reads keep their IRP pending, without a cancel routine, until the test completes it.
    void HoldReads()
    {
        m_driver.SetDispatch(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            std::lock_guard lock(m_mutex);
            m_majors.push_back(IRP_MJ_READ);
            m_held = irp;
            return STATUS_PENDING;
        });
    }

    PIRP TakeHeld()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_held, nullptr);
    }

    std::vector<UCHAR> Majors()
    {
        std::lock_guard lock(m_mutex);
        return m_majors;
    }

    TestDriver m_driver{u"NtFiles"};
    NTSTATUS m_createStatus = STATUS_SUCCESS;
    std::mutex m_mutex;
    std::vector<UCHAR> m_majors;
    PIRP m_held = nullptr;
};

// ---- Open counts and exclusive devices ------------------------------------------------------------

TEST_F(NtFileServicesTest, ExclusiveDeviceTakesOneOpenThroughTheNameThatResolvesToIt)
{
    PDEVICE_OBJECT pdo = MakeDevice(u"\\Device\\Pdo", true);
    PDEVICE_OBJECT fdo = MakeDevice(u"\\Device\\Fdo", true);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(pdo->ReferenceCount, 0) << "attaching a device opens nothing on the one below";

    // The count belongs to the object the name resolves to, not to the stack: both names open.
    HANDLE port = nullptr, config = nullptr, refused = nullptr;
    ASSERT_EQ(Open(u"\\Device\\Fdo", &port), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Device\\Pdo", &config), STATUS_SUCCESS);
    EXPECT_EQ(fdo->ReferenceCount, 1);
    EXPECT_EQ(pdo->ReferenceCount, 1);
    EXPECT_EQ(Files().OpenFileCount(pdo), 2u);

    // A second open through either name is refused before any driver hears of it.
    const size_t creates = Majors().size();
    EXPECT_EQ(Open(u"\\Device\\Fdo", &refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\Device\\Pdo", &refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(Majors().size(), creates);

    EXPECT_EQ(NtClose(port), STATUS_SUCCESS);
    EXPECT_EQ(fdo->ReferenceCount, 0);
    ASSERT_EQ(Open(u"\\Device\\Fdo", &port), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(port), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(config), STATUS_SUCCESS);
    EXPECT_EQ(Files().OpenFileCount(pdo), 0u);

    // A shared device counts each open.
    PDEVICE_OBJECT shared = MakeDevice(u"\\Device\\Shared", false);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(Open(u"\\Device\\Shared", &first), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Device\\Shared", &second), STATUS_SUCCESS);
    EXPECT_EQ(shared->ReferenceCount, 2);
    NtClose(first);
    NtClose(second);
    EXPECT_EQ(shared->ReferenceCount, 0);
}

TEST_F(NtFileServicesTest, AFileCountsFromItsOpenUntilItsCloseAndAFailedOpenNotAtAll)
{
    PDEVICE_OBJECT device = MakeDevice(u"\\Device\\Port", true);
    HANDLE handle = nullptr;
    m_createStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(Open(u"\\Device\\Port", &handle), STATUS_DEVICE_BUSY);
    EXPECT_EQ(device->ReferenceCount, 0);

    // The last handle goes with a read still pending: the file is cleaned up, not closed, and the
    // device still counts it.
    m_createStatus = STATUS_SUCCESS;
    HoldReads();
    ASSERT_EQ(Open(u"\\Device\\Port", &handle, true), STATUS_SUCCESS);
    IO_STATUS_BLOCK status{};
    uint8_t buffer[4];
    ASSERT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &status, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(device->ReferenceCount, 1);
    HANDLE again = nullptr;
    EXPECT_EQ(Open(u"\\Device\\Port", &again), STATUS_ACCESS_DENIED);

    TestDriver::Complete(TakeHeld(), STATUS_SUCCESS);
    ASSERT_TRUE(machine().GetWorkQueues().WaitIdle());
    EXPECT_EQ(Majors().back(), IRP_MJ_CLOSE);
    EXPECT_EQ(device->ReferenceCount, 0);
    ASSERT_EQ(Open(u"\\Device\\Port", &again), STATUS_SUCCESS);
    NtClose(again);
}

// ---- The answer of a request ------------------------------------------------------------------------

struct AnswerCase {
    const char* what;
    NTSTATUS completedWith;  // IoStatus.Status
    NTSTATUS returned;       // what the dispatch routine returns (STATUS_PENDING: marked pending)
    bool statusBlockWritten;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.what; }

class RequestAnswerTest : public NtFileServicesTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(RequestAnswerTest, DispatchStatusAnswersARequestNotPendedAndTheStatusBlockOnlyWhatDidNotFailAtOnce)
{
    const AnswerCase& c = GetParam();
    PDEVICE_OBJECT device = MakeDevice(u"\\Device\\Answer", false);
    (void)device;
    m_driver.SetDispatch(IRP_MJ_READ, [&c](PDEVICE_OBJECT, PIRP irp) {
        if (c.returned == STATUS_PENDING) IoMarkIrpPending(irp);
        TestDriver::Complete(irp, c.completedWith, 4);
        return c.returned;
    });
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped file" : "synchronous file");
        HANDLE file = nullptr;
        ASSERT_EQ(Open(u"\\Device\\Answer", &file, overlapped), STATUS_SUCCESS);
        HANDLE event = NewEvent();
        IO_STATUS_BLOCK status{};
        status.Status = kUntouched;
        uint8_t buffer[4];
        const NTSTATUS answer = NtReadFile(file, event, nullptr, nullptr, &status, buffer, sizeof buffer, nullptr, nullptr);

        // A synchronous file waits for a pended request and answers with its final status.
        const NTSTATUS expected = c.returned != STATUS_PENDING ? c.returned : overlapped ? STATUS_PENDING : c.completedWith;
        EXPECT_EQ(answer, expected);
        EXPECT_EQ(status.Status, c.statusBlockWritten ? c.completedWith : kUntouched);
        EXPECT_EQ(status.Information, c.statusBlockWritten ? 4u : 0u);
        LARGE_INTEGER poll{};
        EXPECT_EQ(NtWaitForSingleObject(event, FALSE, &poll) == STATUS_WAIT_0, c.statusBlockWritten);
        NtClose(event);
        NtClose(file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RequestAnswerTest,
    ::testing::Values(AnswerCase{"completed with success, returned an error", STATUS_SUCCESS, STATUS_UNSUCCESSFUL, true},
                      AnswerCase{"completed with an error, returned success", STATUS_DEVICE_NOT_READY, STATUS_SUCCESS,
                                 false},
                      AnswerCase{"failed at once", STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY, false},
                      AnswerCase{"a warning", STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_OVERFLOW, true},
                      AnswerCase{"pended, then failed", STATUS_DEVICE_NOT_READY, STATUS_PENDING, true}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return "Case" + std::to_string(info.index); });

// ---- The end of user mode -----------------------------------------------------------------------------

TEST_F(NtFileServicesTest, RequestADriverStillHoldsAfterUserModeEndedWritesNothingAndSendsNoClose)
{
    PDEVICE_OBJECT device = MakeDevice(u"\\Device\\Held", true);
    HoldReads();
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\Device\\Held", &file, true), STATUS_SUCCESS);
    IO_STATUS_BLOCK status{};
    status.Status = kUntouched;
    uint8_t buffer[4] = {};
    ASSERT_EQ(NtReadFile(file, nullptr, nullptr, nullptr, &status, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_PENDING);

    // The read has no cancel routine: it outlives user mode.
    Files().RunDownUserMode();
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(Files().PendingRequestCount(), 1u);

    PIRP irp = TakeHeld();
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x55, sizeof buffer);
    TestDriver::Complete(irp, STATUS_SUCCESS, sizeof buffer);
    ASSERT_TRUE(machine().GetWorkQueues().WaitIdle());
    EXPECT_EQ(status.Status, kUntouched);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(Majors().size(), 3u) << "no CLOSE once user mode has gone";
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(Files().PendingRequestCount(), 0u);
}

}  // namespace
}  // namespace emu::testing
