// kernel32 I/O on a serial test port: opening COM names, reads and writes that the driver answers
// at once or pends, waits on the event mask, cancellation, and one handle used by several threads.
#include "comm_port_fixture.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "ke/clock.h"
#include "ke/dispatcher.h"

namespace emu::testing {
namespace {

// Waits (without a time limit of its own) until the port holds `count` requests of `major`.
void AwaitHeld(SerialTestPort& port, UCHAR major, size_t count = 1)
{
    while (port.HeldCount(major) != count) std::this_thread::yield();
}

TEST_F(CommPortTest, ComNamesOpenThroughTheirLinks)
{
    SerialTestPort port10(u"\\DosDevices\\COM10", u"SerialTest10");
    struct NameCase {
        const char* path;
        DWORD error;  // ERROR_SUCCESS: opens
    };
    const NameCase cases[] = {
        {"COM5", ERROR_SUCCESS},           {"com5:", ERROR_SUCCESS},          {"\\\\.\\COM5", ERROR_SUCCESS},
        {"\\\\.\\com5", ERROR_SUCCESS},    {"\\\\.\\COM10", ERROR_SUCCESS},   {"COM7", ERROR_FILE_NOT_FOUND},
        {"COM10", ERROR_FILE_NOT_FOUND},   {"COM0", ERROR_FILE_NOT_FOUND},    {"\\\\.\\COM11", ERROR_FILE_NOT_FOUND},
    };
    for (const NameCase& c : cases) {
        HANDLE handle = Open(false, c.path);
        if (c.error == ERROR_SUCCESS) {
            ASSERT_NE(handle, INVALID_HANDLE_VALUE) << c.path;
            Close(handle);
        } else {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << c.path;
            EXPECT_EQ(GetLastError(), c.error) << c.path;
        }
    }
    // A port takes one open at a time.
    HANDLE first = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(true, "\\\\.\\COM5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(CommPortTest, OverlappedResultIsPolledOrWaitedForOnTheMachineClock)
{
    HANDLE handle = Open(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint8_t buffer[8] = {};
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_FALSE(GetOverlappedResultEx(handle, &overlapped, &count, 0, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    machine().GetClock().SetScale(0);
    std::future<DWORD> timed = std::async(std::launch::async, [&]() -> DWORD {
        DWORD bytes = 0;
        return GetOverlappedResultEx(handle, &overlapped, &bytes, 50, FALSE) ? ERROR_SUCCESS : GetLastError();
    });
    ASSERT_TRUE(machine().GetDispatcher().AwaitTimedWaiters(1));
    machine().GetClock().Advance(49 * 10000);
    EXPECT_EQ(timed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    machine().GetClock().Advance(1 * 10000);
    EXPECT_EQ(timed.get(), static_cast<DWORD>(WAIT_TIMEOUT));
    machine().GetClock().SetScale(1);

    ASSERT_TRUE(Port().CompleteRead({'o', 'k'}));
    ASSERT_TRUE(GetOverlappedResultEx(handle, &overlapped, &count, INFINITE, FALSE));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buffer[1], 'k');
    CloseHandle(overlapped.hEvent);
}

TEST_F(CommPortTest, OverlappedCallsAnswerAtOnceUnlessTheDriverPends)
{
    struct PendCase {
        const char* name;
        std::function<void(SerialTestPort&)> arrange;
        std::function<BOOL(HANDLE, OVERLAPPED*)> call;
        DWORD error;  // ERROR_SUCCESS: done at once; ERROR_IO_PENDING: pending; else failed at once
    };
    static uint8_t buffer[4];
    static DWORD events;
    const auto read = [](HANDLE h, OVERLAPPED* o) { return ReadFile(h, buffer, sizeof(buffer), nullptr, o); };
    const auto write = [](HANDLE h, OVERLAPPED* o) { return WriteFile(h, "w", 1, nullptr, o); };
    const auto wait = [](HANDLE h, OVERLAPPED* o) { return WaitCommEvent(h, &events, o); };
    const auto mask = [](ULONG m) { return [m](SerialTestPort& p) { p.Modify([m](auto& s) { s.waitMask = m; }); }; };
    const PendCase cases[] = {
        {"read with data", [](SerialTestPort& p) { p.SupplyReadData({7}); }, read, ERROR_SUCCESS},
        {"read without data", [](SerialTestPort&) {}, read, ERROR_IO_PENDING},
        {"read of nothing", [](SerialTestPort&) {}, [](HANDLE h, OVERLAPPED* o) { return ReadFile(h, buffer, 0, nullptr, o); },
         ERROR_SUCCESS},
        {"write", [](SerialTestPort&) {}, write, ERROR_SUCCESS},
        {"write held", [](SerialTestPort& p) { p.HoldWrites(true); }, write, ERROR_IO_PENDING},
        {"wait already met", [&](SerialTestPort& p) { mask(EV_RXCHAR)(p); p.RaiseEvents(EV_RXCHAR); }, wait,
         ERROR_SUCCESS},
        {"wait", mask(EV_RXCHAR), wait, ERROR_IO_PENDING},
        {"wait refused cancelled",
         [&](SerialTestPort& p) { mask(EV_RXCHAR)(p); p.FailNext(IOCTL_SERIAL_WAIT_ON_MASK, STATUS_CANCELLED); }, wait,
         ERROR_OPERATION_ABORTED},
        {"wait with no mask", mask(0), wait, ERROR_INVALID_PARAMETER},
    };
    HANDLE handle = Open(true);
    for (const PendCase& c : cases) {
        c.arrange(Port());
        OVERLAPPED overlapped{};
        SetLastError(ERROR_SUCCESS);
        const BOOL result = c.call(handle, &overlapped);
        EXPECT_EQ(result, c.error == ERROR_SUCCESS) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        if (c.error == ERROR_SUCCESS) {
            EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped)) << c.name;
        }
        if (c.error != ERROR_IO_PENDING) continue;
        EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped)) << c.name;
        EXPECT_TRUE(CancelIo(handle)) << c.name;
        DWORD count = 0;
        EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &count, TRUE)) << c.name;
        Port().HoldWrites(false);
    }
}

TEST_F(CommPortTest, SynchronousReadAndWriteWaitForTheDriver)
{
    HANDLE handle = Open();
    std::future<DWORD> read = std::async(std::launch::async, [&] {
        uint8_t buffer[4] = {};
        DWORD count = 0;
        return ReadFile(handle, buffer, sizeof(buffer), &count, nullptr) && buffer[0] == 'x' ? count : 99;
    });
    AwaitHeld(Port(), IRP_MJ_READ);
    ASSERT_TRUE(Port().CompleteRead({'x'}));
    EXPECT_EQ(read.get(), 1u);

    Port().HoldWrites(true);
    std::future<DWORD> written = std::async(std::launch::async, [&] {
        DWORD count = 0;
        return WriteFile(handle, "abc", 3, &count, nullptr) ? count : 99;
    });
    AwaitHeld(Port(), IRP_MJ_WRITE);
    ASSERT_TRUE(Port().CompleteWrite());
    EXPECT_EQ(written.get(), 3u);
    EXPECT_EQ(Port().Snapshot().written, (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_TRUE(FlushFileBuffers(handle));
}

TEST_F(CommPortTest, PendingRequestsEndAbortedWhenCancelledOrPurged)
{
    HANDLE handle = Open(true);
    uint8_t buffer[4];
    struct CancelCase {
        const char* name;
        std::function<BOOL()> cancel;
    };
    OVERLAPPED overlapped{};
    const CancelCase cases[] = {
        {"CancelIo", [&] { return CancelIo(handle); }},
        {"CancelIoEx", [&] { return CancelIoEx(handle, &overlapped); }},
        {"PurgeComm", [&] { return PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR); }},
    };
    for (const CancelCase& c : cases) {
        overlapped = OVERLAPPED{};
        ASSERT_FALSE(ReadFile(handle, buffer, sizeof(buffer), nullptr, &overlapped)) << c.name;
        EXPECT_TRUE(c.cancel()) << c.name;
        DWORD count = 7;
        EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &count, TRUE)) << c.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED)) << c.name;
        EXPECT_EQ(count, 0u) << c.name;
    }
}

// ---- WaitCommEvent ------------------------------------------------------------------------------

TEST_F(CommPortTest, OverlappedWaitPendsUntilAnEventInTheMaskArrives)
{
    HANDLE handle = Open(true);
    ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR | EV_CTS));
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(handle, &events, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Port().RaiseEvents(EV_DSR);  // not in the mask
    EXPECT_EQ(Port().HeldCount(IRP_MJ_DEVICE_CONTROL), 1u);
    Port().RaiseEvents(EV_CTS);
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(count, sizeof(DWORD));

    // An event that came before the wait answers it at once.
    Port().RaiseEvents(EV_RXCHAR);
    events = 0;
    ASSERT_TRUE(WaitCommEvent(handle, &events, &overlapped));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

    // A new mask ends the wait in progress with no events; so does a cancel, aborted.
    events = 0xFF;
    ASSERT_FALSE(WaitCommEvent(handle, &events, &overlapped));
    std::thread([&] { EXPECT_TRUE(SetCommMask(handle, EV_RING)); }).join();
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
    EXPECT_EQ(events, 0u);
    ASSERT_FALSE(WaitCommEvent(handle, &events, &overlapped));
    EXPECT_TRUE(CancelIo(handle));
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(overlapped.hEvent);
}

TEST_F(CommPortTest, WaitWithoutOverlappedBlocksOnEitherKindOfHandle)
{
    for (bool overlapped : {false, true}) {
        HANDLE handle = Open(overlapped);
        ASSERT_TRUE(SetCommMask(handle, EV_BREAK));
        std::future<DWORD> waited = std::async(std::launch::async, [&] {
            DWORD events = 0;
            return WaitCommEvent(handle, &events, nullptr) ? events : 0xDEAD;
        });
        AwaitHeld(Port(), IRP_MJ_DEVICE_CONTROL);
        Port().RaiseEvents(EV_BREAK);
        EXPECT_EQ(waited.get(), static_cast<DWORD>(EV_BREAK)) << overlapped;
        Close(handle);
    }
}

// ---- One handle, several threads -----------------------------------------------------------------

TEST_F(CommPortTest, BlockingCallOnAnOverlappedHandleWaitsForItsOwnRequestOnly)
{
    HANDLE handle = Open(true);
    ASSERT_TRUE(SetCommMask(handle, EV_CTS));
    std::future<DWORD> waited = std::async(std::launch::async, [&] {
        DWORD events = 0;
        return WaitCommEvent(handle, &events, nullptr) ? events : 0xDEAD;
    });
    AwaitHeld(Port(), IRP_MJ_DEVICE_CONTROL);
    // Another request on the handle completes and signals the file; the waiter stays.
    OVERLAPPED overlapped{};
    uint8_t buffer[1];
    ASSERT_FALSE(ReadFile(handle, buffer, 1, nullptr, &overlapped));
    ASSERT_TRUE(Port().CompleteRead({'r'}));
    DWORD count = 0;
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
    EXPECT_EQ(Port().HeldCount(IRP_MJ_DEVICE_CONTROL), 1u);
    EXPECT_EQ(waited.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    Port().RaiseEvents(EV_CTS);
    EXPECT_EQ(waited.get(), static_cast<DWORD>(EV_CTS));
}

TEST_F(CommPortTest, ThreadsUseOneHandleAtOnce)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    for (bool overlapped : {false, true}) {
        HANDLE handle = Open(overlapped);
        Port().Modify([](SerialTestPort::State& s) { s.immediate.clear(); s.written.clear(); });
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                OVERLAPPED write{};
                write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                for (int round = 0; round < kRounds; ++round) {
                    DCB dcb{};
                    DWORD status = 0;
                    DWORD count = 0;
                    const char byte = static_cast<char>('a' + t);
                    bool ok = GetCommState(handle, &dcb) && dcb.BaudRate == 9600 &&
                              GetCommModemStatus(handle, &status) && ClearCommError(handle, nullptr, nullptr) &&
                              TransmitCommChar(handle, byte);
                    ok = ok && (WriteFile(handle, &byte, 1, &count, overlapped ? &write : nullptr) ||
                                (GetLastError() == ERROR_IO_PENDING &&
                                 GetOverlappedResult(handle, &write, &count, TRUE)));
                    if (!ok || count != 1) ++failures;
                }
                CloseHandle(write.hEvent);
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(failures.load(), 0) << overlapped;
        const SerialTestPort::State state = Port().Snapshot();
        EXPECT_EQ(state.immediate.size(), static_cast<size_t>(kThreads * kRounds)) << overlapped;
        EXPECT_EQ(state.written.size(), static_cast<size_t>(kThreads * kRounds)) << overlapped;
        Close(handle);
    }
}

}  // namespace
}  // namespace emu::testing
