// kernel32 files and device I/O against a test driver: opening by DOS link and by interface link,
// create failures, buffered copy rules, overlapped requests, cancellation, the CLEANUP/CLOSE order,
// events and the per-thread last error.
#include <ntifs.h>
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ob/object_namespace.h"
#include "ex/work_queues.h"
#include "machine_test.h"
#include "test_driver.h"
#include "io/file_objects.h"
#include "io/io_manager.h"

namespace emu::testing {
namespace {

constexpr DWORD kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kIoctlNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr DWORD kIoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

struct Seen {
    UCHAR major;
    PFILE_OBJECT file;
    std::u16string fileName;
    ULONG options = 0;
    PDEVICE_OBJECT fileDevice = nullptr;  // the file object's DeviceObject when the IRP arrived
};

// IRPs a dispatch routine keeps pending until the test completes them, cancellable meanwhile.
class HeldIrps {
public:
    NTSTATUS Hold(PIRP irp)
    {
        IoMarkIrpPending(irp);
        std::lock_guard lock(sm_mutex);
        sm_irps.push_back(irp);
        IoSetCancelRoutine(irp, &Cancel);
        return STATUS_PENDING;
    }
    // The oldest held IRP, now owned by the caller (null when none is left to take).
    static PIRP Take()
    {
        std::lock_guard lock(sm_mutex);
        while (!sm_irps.empty()) {
            PIRP irp = sm_irps.front();
            sm_irps.pop_front();
            if (IoSetCancelRoutine(irp, nullptr)) return irp;  // else its cancel routine owns it
        }
        return nullptr;
    }
    // IRPs of an earlier machine are gone with it.
    static void Forget()
    {
        std::lock_guard lock(sm_mutex);
        sm_irps.clear();
    }
    static size_t Count()
    {
        std::lock_guard lock(sm_mutex);
        return sm_irps.size();
    }

private:
    static void Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        {
            std::lock_guard lock(sm_mutex);
            sm_irps.erase(std::remove(sm_irps.begin(), sm_irps.end(), irp), sm_irps.end());
        }
        TestDriver::Complete(irp, STATUS_CANCELLED);
    }
    static inline std::mutex sm_mutex;
    static inline std::deque<PIRP> sm_irps;
};

class DeviceIoTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        HeldIrps::Forget();
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            m_driver.SetDispatch(major, [this](PDEVICE_OBJECT device, PIRP irp) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                Record(stack);
                if (stack->MajorFunction == IRP_MJ_CREATE && m_device == device) return TestDriver::Complete(irp, m_createStatus);
                return TestDriver::Complete(irp, STATUS_SUCCESS);
            });
        }
        m_device = MakeDevice(u"\\Device\\Port1", DO_BUFFERED_IO);
        UNICODE_STRING link = Counted(u"\\??\\COM5");
        UNICODE_STRING target = Counted(u"\\Device\\Port1");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        m_name.clear();
        MachineTest::TearDown();
    }

    UNICODE_STRING Counted(const char16_t* text)
    {
        m_name.emplace_back(text);
        UNICODE_STRING counted;
        RtlInitUnicodeString(&counted, m_name.back().c_str());
        return counted;
    }

    PDEVICE_OBJECT MakeDevice(std::u16string name, ULONG ioFlags)
    {
        PDEVICE_OBJECT device = m_driver.CreateDevice(std::move(name));
        device->Flags |= ioFlags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    void Record(PIO_STACK_LOCATION stack)
    {
        Seen seen{stack->MajorFunction, stack->FileObject, {}, 0, stack->FileObject ? stack->FileObject->DeviceObject : nullptr};
        if (stack->FileObject && stack->FileObject->FileName.Length)
            seen.fileName.assign(stack->FileObject->FileName.Buffer, stack->FileObject->FileName.Length / sizeof(WCHAR));
        if (stack->MajorFunction == IRP_MJ_CREATE) seen.options = stack->Parameters.Create.Options;
        std::lock_guard lock(m_seenMutex);
        m_seen.push_back(seen);
    }

    std::vector<UCHAR> Majors()
    {
        std::lock_guard lock(m_seenMutex);
        std::vector<UCHAR> majors;
        for (const Seen& seen : m_seen) majors.push_back(seen.major);
        return majors;
    }

    HANDLE Open(DWORD flags = 0, const char16_t* path = u"\\\\.\\COM5", DWORD access = GENERIC_READ | GENERIC_WRITE)
    {
        return CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    void HoldMajor(UCHAR major)
    {
        m_driver.SetDispatch(major, [this](PDEVICE_OBJECT, PIRP irp) {
            Record(IoGetCurrentIrpStackLocation(irp));
            return m_held.Hold(irp);
        });
    }

    TestDriver m_driver{u"DeviceIo"};
    PDEVICE_OBJECT m_device = nullptr;
    NTSTATUS m_createStatus = STATUS_SUCCESS;
    std::deque<std::u16string> m_name;
    std::mutex m_seenMutex;
    std::vector<Seen> m_seen;
    HeldIrps m_held;
};

// ---- Opening -----------------------------------------------------------------------------------

TEST_F(DeviceIoTest, DosLinkOpensTheNamedDeviceWithAnEmptyFileNameAndClosesInOrder)
{
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(m_device), 1u);
    ASSERT_TRUE(CloseHandle(handle));

    ASSERT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(m_seen[0].fileName.empty());
    EXPECT_EQ(m_seen[0].options >> 24, 1u);  // FILE_OPEN
    EXPECT_EQ(m_seen[0].fileDevice, m_device);
    EXPECT_EQ(m_seen[1].file, m_seen[0].file);
    EXPECT_EQ(m_seen[2].file, m_seen[0].file);
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(m_device), 0u);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceIoTest, InterfaceLinkOpensTheTopOfThePdoStackWithTheReferenceStringAsFileName)
{
    TestDriver functionDriver(u"Function");
    std::vector<PDEVICE_OBJECT> createdOn;
    functionDriver.SetDispatch(IRP_MJ_CREATE, [&](PDEVICE_OBJECT device, PIRP irp) {
        createdOn.push_back(device);
        Record(IoGetCurrentIrpStackLocation(irp));
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    PDEVICE_OBJECT pdo = MakeDevice(u"\\Device\\00000042", DO_BUFFERED_IO);
    PDEVICE_OBJECT fdo = functionDriver.CreateDevice();
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    const char16_t* link = u"\\??\\FTDIBUS#VID_0403+PID_6001#0000#{429d4669-cdff-4b62-b0dc-bdcea76abd31}";
    ASSERT_EQ(machine().GetNamespace().InsertLink(link, u"\\Device\\00000042"), STATUS_SUCCESS);

    HANDLE handle = Open(0, u"\\\\?\\FTDIBUS#VID_0403+PID_6001#0000#{429d4669-cdff-4b62-b0dc-bdcea76abd31}\\CVGENDRV_X");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(createdOn, std::vector<PDEVICE_OBJECT>{fdo});
    EXPECT_EQ(m_seen[0].fileName, u"\\CVGENDRV_X");
    EXPECT_EQ(m_seen[0].fileDevice, pdo);
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(pdo), 1u);
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(fdo), 1u);
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(m_device), 0u);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(DeviceIoTest, FailedOpensMapTheirStatusAndOweNoCleanupOrClose)
{
    m_createStatus = STATUS_ACCESS_DENIED;
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    m_createStatus = STATUS_DELETE_PENDING;
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE}));
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(), 0u);

    EXPECT_EQ(Open(0, u"\\\\.\\COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(u"\\\\.\\COM5", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A device its driver has not finished setting up takes no opens.
    PDEVICE_OBJECT early = m_driver.CreateDevice(u"\\Device\\Early");
    ASSERT_EQ(machine().GetNamespace().InsertLink(u"\\??\\EARLY", u"\\Device\\Early"), STATUS_SUCCESS);
    EXPECT_EQ(Open(0, u"\\\\.\\EARLY"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    early->Flags &= ~DO_DEVICE_INITIALIZING;
    m_createStatus = STATUS_SUCCESS;
    HANDLE handle = CreateFileA("\\\\.\\EARLY", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
}

// ---- Buffered transfers ------------------------------------------------------------------------

TEST_F(DeviceIoTest, BufferedReadAndWriteCopyOnlyWhatTheDriverReports)
{
    std::vector<uint8_t> written;
    m_driver.SetDispatch(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 8u);
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 8);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 3);
    });
    m_driver.SetDispatch(IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) {
        auto* bytes = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        written.assign(bytes, bytes + IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
        return TestDriver::Complete(irp, STATUS_SUCCESS, written.size());
    });
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    uint8_t buffer[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    DWORD count = 99;
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), (std::vector<uint8_t>{0x5A, 0x5A, 0x5A, 1, 1, 1, 1, 1}));

    const uint8_t out[] = {'A', 'T', '\r'};
    ASSERT_TRUE(WriteFile(handle, out, sizeof(out), &count, nullptr));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(written, (std::vector<uint8_t>{'A', 'T', '\r'}));

    // A synchronous call needs somewhere to put its count; a read needs a read handle.
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(handle);
    HANDLE writeOnly = Open(0, u"\\\\.\\COM5", GENERIC_WRITE);
    EXPECT_FALSE(ReadFile(writeOnly, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(writeOnly);
}

TEST_F(DeviceIoTest, BufferedIoctlUsesOneBufferOfTheLargerLengthAndCopiesInformationBack)
{
    ULONG systemBufferInput = 0;
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 12u);
        std::memcpy(&systemBufferInput, irp->AssociatedIrp.SystemBuffer, 4);
        std::memset(irp->AssociatedIrp.SystemBuffer, 0xEE, 12);  // max(in, out) bytes are there
        return TestDriver::Complete(irp, STATUS_SUCCESS, 6);
    });
    HANDLE handle = Open();
    ULONG input = 0x12345678;
    uint8_t output[12] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, kIoctlBuffered, &input, sizeof(input), output, sizeof(output), &returned, nullptr));
    EXPECT_EQ(systemBufferInput, 0x12345678u);
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(output[5], 0xEE);
    EXPECT_EQ(output[6], 0);

    // The control code's access bits are checked against the handle.
    HANDLE readOnly = Open(0, u"\\\\.\\COM5", GENERIC_READ);
    EXPECT_FALSE(DeviceIoControl(readOnly, kIoctlNeedsWrite, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readOnly);
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, AnswerLongerThanTheOutputBufferIsReportedAndCut)
{
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x77, 16);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 16);
    });
    HANDLE handle = Open();
    uint8_t input[16] = {};
    uint8_t output[8] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, kIoctlBuffered, input, sizeof(input), output, 4, &returned, nullptr));
    EXPECT_EQ(Take(Violation::IrpBufferOverrun), 1u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(output[3], 0x77);
    EXPECT_EQ(output[4], 0);
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, WarningStatusFailsTheCallButDeliversTheData)
{
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x33, 4);
        return TestDriver::Complete(irp, STATUS_BUFFER_OVERFLOW, 4);
    });
    HANDLE handle = Open();
    uint8_t output[4] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, kIoctlBuffered, nullptr, 0, output, sizeof(output), &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(output[3], 0x33);
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, DirectAndNeitherTransfersHandTheCallersBuffersOver)
{
    PDEVICE_OBJECT direct = MakeDevice(u"\\Device\\Direct", DO_DIRECT_IO);
    (void)direct;
    ASSERT_EQ(machine().GetNamespace().InsertLink(u"\\??\\DIRECT", u"\\Device\\Direct"), STATUS_SUCCESS);
    uint8_t buffer[6] = {};
    uint8_t input[2] = {9, 8};
    m_driver.SetDispatch(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(irp->MdlAddress->MappedSystemVa, buffer);
        EXPECT_EQ(irp->MdlAddress->ByteCount, 6u);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 6);
    });
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlNeither) {
            EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, input);
            EXPECT_EQ(irp->UserBuffer, buffer);
        } else {
            EXPECT_EQ(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer)[1], 8);
            EXPECT_EQ(irp->MdlAddress->MappedSystemVa, buffer);
        }
        return TestDriver::Complete(irp, STATUS_SUCCESS, 2);
    });
    HANDLE handle = Open(0, u"\\\\.\\DIRECT");
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(count, 6u);
    EXPECT_TRUE(DeviceIoControl(handle, kIoctlOutDirect, input, 2, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_TRUE(DeviceIoControl(handle, kIoctlNeither, input, 2, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(count, 2u);
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, FlushReachesTheDriverOnAHandleThatMayWriteAndIsWaitedForOnAnOverlappedOne)
{
    std::promise<PIRP> pended;
    m_driver.SetDispatch(IRP_MJ_FLUSH_BUFFERS, [&](PDEVICE_OBJECT, PIRP irp) {
        Record(IoGetCurrentIrpStackLocation(irp));
        if (!(IoGetCurrentIrpStackLocation(irp)->FileObject->Flags & FO_SYNCHRONOUS_IO)) {
            IoMarkIrpPending(irp);
            pended.set_value(irp);
            return STATUS_PENDING;
        }
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    HANDLE handle = Open();
    EXPECT_TRUE(FlushFileBuffers(handle));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_FLUSH_BUFFERS}));
    CloseHandle(handle);
    HANDLE readOnly = Open(0, u"\\\\.\\COM5", GENERIC_READ);
    EXPECT_FALSE(FlushFileBuffers(readOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readOnly);

    // FlushFileBuffers takes no OVERLAPPED: on an overlapped handle it waits for the file.
    HANDLE overlapped = Open(FILE_FLAG_OVERLAPPED);
    std::future<BOOL> flushed = std::async(std::launch::async, [overlapped] { return FlushFileBuffers(overlapped); });
    PIRP irp = pended.get_future().get();
    EXPECT_EQ(flushed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    TestDriver::Complete(irp, STATUS_SUCCESS);
    EXPECT_TRUE(flushed.get());
    CloseHandle(overlapped);
}

TEST_F(DeviceIoTest, FlushOnAnOverlappedHandleEndsWithItsOwnRequestNotAnother)
{
    // The driver pends the flush after it has completed an earlier read of the same handle, so the
    // file is signalled before the flush is waited for.
    HoldMajor(IRP_MJ_READ);
    std::promise<PIRP> pended;
    m_driver.SetDispatch(IRP_MJ_FLUSH_BUFFERS, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        TestDriver::Complete(HeldIrps::Take(), STATUS_SUCCESS, 1);
        pended.set_value(irp);
        return STATUS_PENDING;
    });
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED read{};
    uint8_t buffer[1];
    ASSERT_FALSE(ReadFile(handle, buffer, 1, nullptr, &read));
    std::future<DWORD> flushed =
        std::async(std::launch::async, [handle]() -> DWORD { return FlushFileBuffers(handle) ? ERROR_SUCCESS : GetLastError(); });
    PIRP flush = pended.get_future().get();
    EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    TestDriver::Complete(flush, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(flushed.get(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &read, &count, TRUE));
    CloseHandle(handle);
}

// ---- Pending, overlapped and cancelled requests ------------------------------------------------

TEST_F(DeviceIoTest, OverlappedReadPendsAndCompletesLater)
{
    HoldMajor(IRP_MJ_READ);
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    uint8_t buffer[4] = {};
    DWORD count = 7;
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // cleared at the start
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(machine().GetIo().Files().PendingRequestCount(), 1u);

    // An overlapped file needs an OVERLAPPED.
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    std::thread completer([] {
        PIRP irp = HeldIrps::Take();
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "OK", 2);
        TestDriver::Complete(irp, STATUS_SUCCESS, 2);
    });
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
    completer.join();
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::memcmp(buffer, "OK", 2), 0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(machine().GetIo().Files().PendingRequestCount(), 0u);
    CloseHandle(event);
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, OverlappedRequestWithoutEventSignalsItsFile)
{
    HoldMajor(IRP_MJ_DEVICE_CONTROL);
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, kIoctlBuffered, nullptr, 0, nullptr, 0, &returned, &overlapped));
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TestDriver::Complete(HeldIrps::Take(), STATUS_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    // STATUS_TIMEOUT is a success.
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &returned, TRUE));
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, SynchronousReadWaitsForThePendingIrp)
{
    std::promise<PIRP> arrived;
    m_driver.SetDispatch(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        arrived.set_value(irp);
        return STATUS_PENDING;
    });
    HANDLE handle = Open();
    std::future<bool> result = std::async(std::launch::async, [&] {
        uint8_t buffer[4];
        DWORD count = 0;
        return ReadFile(handle, buffer, sizeof(buffer), &count, nullptr) && count == 1;
    });
    PIRP irp = arrived.get_future().get();
    EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    TestDriver::Complete(irp, STATUS_SUCCESS, 1);
    EXPECT_TRUE(result.get());
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, CancelIoCancelsTheCallersPendingRequests)
{
    HoldMajor(IRP_MJ_READ);
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED first{};
    OVERLAPPED other{};
    uint8_t buffer[4];
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, &first));
    EXPECT_FALSE(CancelIoEx(handle, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(HeldIrps::Count(), 1u);

    // Another thread's CancelIo leaves this thread's request alone; CancelIoEx reaches every thread.
    std::thread([&] { EXPECT_TRUE(CancelIo(handle)); }).join();
    EXPECT_EQ(HeldIrps::Count(), 1u);
    EXPECT_TRUE(CancelIo(handle));
    EXPECT_EQ(HeldIrps::Count(), 0u);
    DWORD count = 5;
    EXPECT_FALSE(GetOverlappedResult(handle, &first, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 0u);

    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, &first));
    std::thread([&] { EXPECT_TRUE(CancelIoEx(handle, &first)); }).join();
    EXPECT_FALSE(GetOverlappedResult(handle, &first, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(handle);
}

TEST_F(DeviceIoTest, CloseWaitsForPendingRequestsBeforeIrpMjClose)
{
    HoldMajor(IRP_MJ_WRITE);
    std::vector<PDEVICE_OBJECT> closedOn;
    machine().GetIo().Files().AddFileClosedListener([&](PDEVICE_OBJECT device) { closedOn.push_back(device); });
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(WriteFile(handle, "x", 1, nullptr, &overlapped));
    ASSERT_TRUE(CloseHandle(handle));
    // The last handle went: the driver cleans up, but a request still holds the file.
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(m_device), 1u);

    TestDriver::Complete(HeldIrps::Take(), STATUS_SUCCESS, 1);
    ASSERT_TRUE(machine().GetWorkQueues().WaitIdle());
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(machine().GetIo().Files().OpenFileCount(m_device), 0u);
    EXPECT_EQ(closedOn, std::vector<PDEVICE_OBJECT>{m_device});
    EXPECT_EQ(overlapped.InternalHigh, 1u);
}

TEST_F(DeviceIoTest, MachineShutdownClosesWhatApplicationsLeftOpen)
{
    HoldMajor(IRP_MJ_READ);
    HANDLE handle = Open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    uint8_t buffer[1];
    EXPECT_FALSE(ReadFile(handle, buffer, 1, nullptr, &overlapped));
    ShutDownMachine();
    // The read was cancelled on the way out, then the file cleaned up and closed.
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_CANCELLED);
}

// ---- Events, waits and the last error ----------------------------------------------------------

TEST_F(DeviceIoTest, EventsFollowManualAndAutoResetRules)
{
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE both[] = {manual, automatic};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // consumed
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // A named event opens the same object the second time.
    HANDLE named = CreateEventW(nullptr, TRUE, FALSE, u"Ready");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE again = CreateEventA(nullptr, TRUE, FALSE, "Ready");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    SetEvent(named);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);

    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE handle : {manual, automatic, named, again}) EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(DeviceIoTest, TimedWaitFollowsTheMachineClock)
{
    machine().GetClock().SetScale(0);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::future<DWORD> waited = std::async(std::launch::async, [event] { return WaitForSingleObject(event, 50); });
    ASSERT_TRUE(machine().GetDispatcher().AwaitTimedWaiters(1));
    machine().GetClock().Advance(49 * 10000);
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    machine().GetClock().Advance(1 * 10000);
    EXPECT_EQ(waited.get(), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST_F(DeviceIoTest, LastErrorBelongsToEachThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    std::thread([] {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        SetLastError(ERROR_GEN_FAILURE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    }).join();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace emu::testing
