// System threads of the emulated machine: real host threads with waitable thread objects.
//
// PsCreateSystemThread starts a host thread at PASSIVE_LEVEL behind a thread object registered
// with the object manager. The object is signalled when the routine has returned or called
// PsTerminateSystemThread; the host thread is joined when the object's last reference goes.
// Threads the platform did not start (a test's own threads) get a thread object on first use.
#pragma once

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace emu {

class Kernel;

class ThreadManager {
public:
    explicit ThreadManager(Kernel& machine);
    // Waits (bounded by the shutdown grace, in real time) for the system threads still running;
    // one that does not end is reported and left to itself.
    ~ThreadManager();
    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;

    PKTHREAD Current();
    NTSTATUS CreateSystemThread(PHANDLE threadHandle, ACCESS_MASK desiredAccess, PCLIENT_ID clientId,
                                PKSTART_ROUTINE startRoutine, PVOID startContext);

    // The next PsCreateSystemThread fails with `status`.
    void FailNextCreate(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // System threads that have not ended yet.
    size_t RunningCount() const;
    void SetShutdownGrace(std::chrono::milliseconds grace) { m_shutdownGrace = grace; }
    // Threads left running by a machine that has shut down and not ended since (process-wide).
    static size_t AbandonedRunning() { return sm_abandonedRunning.load(); }

    struct Table;  // shared with the thread objects' destructors and the running threads

private:
    PKTHREAD NewThreadObject(BOOLEAN systemThread);
    bool Start(PKTHREAD thread, PKSTART_ROUTINE routine, PVOID context);
    std::optional<NTSTATUS> TakeInjectedFailure();

    Kernel& m_kernel;
    const std::uint64_t m_serial;
    std::shared_ptr<Table> m_table;
    std::atomic<ULONG_PTR> m_nextId{0x100};
    std::chrono::milliseconds m_shutdownGrace{5000};

    std::mutex m_mutex;  // guards what follows
    std::vector<std::unique_ptr<KTHREAD>> m_foreignThreads;
    std::optional<NTSTATUS> m_failNextCreate;

    static std::atomic<size_t> sm_abandonedRunning;
};

}  // namespace emu
