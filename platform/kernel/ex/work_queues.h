// System work queues and work items of the emulated machine.
//
// IoQueueWorkItem puts an item on one of the system queues (critical, delayed, hyper-critical) and
// references its device object until the routine has returned. Routines run at PASSIVE_LEVEL.
// Two modes:
//   concurrent (default): each queue has several worker threads, so items of one queue may run
//     at the same time and finish in any order, as on Windows;
//   deterministic: items wait until DrainWorkQueues() runs them on the calling thread, one at a
//     time, in the order they were queued.
// Shutting down runs what is still queued first.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace emu {

class Kernel;

class WorkQueues {
public:
    explicit WorkQueues(Kernel& machine);
    ~WorkQueues();
    WorkQueues(const WorkQueues&) = delete;
    WorkQueues& operator=(const WorkQueues&) = delete;

    // ---- Kernel entry points --------------------------------------------------------------------
    PIO_WORKITEM AllocateWorkItem(PDEVICE_OBJECT deviceObject);
    void FreeWorkItem(PIO_WORKITEM item);
    void QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context);

    // ---- Test controls --------------------------------------------------------------------------
    // Switching to deterministic leaves queued items waiting for DrainWorkQueues; switching back
    // hands them to the worker threads.
    void SetDeterministic(bool deterministic);
    bool IsDeterministic() const;
    // Runs every queued item (and those they queue) on the calling thread, in queue order, at
    // PASSIVE_LEVEL. Returns how many ran.
    size_t DrainWorkQueues();
    // Waits (bounded in real time) until no item is queued or running; in deterministic mode the
    // queued items are run here first. False when the bound passed.
    bool WaitIdle(std::chrono::milliseconds realBound = std::chrono::seconds(10));
    size_t QueuedCount() const;
    size_t RunningCount() const;
    uint64_t ItemsRun() const;  // routines run since the machine started
    // Worker threads per queue in concurrent mode (started when first needed).
    static constexpr size_t kWorkersPerQueue = 3;

    // ---- Machine ----------------------------------------------------------------------------------
    // Runs what is queued, then stops the workers. Items queued afterwards are dropped.
    void Shutdown();

    // Real time shutdown waits for running routines before it gives up on them (and reports).
    void SetShutdownGrace(std::chrono::milliseconds grace) { m_shutdownGrace = grace; }

    struct State;  // shared with the worker threads, which may outlive a shutdown that gave up on them

private:
    Kernel& m_kernel;
    std::shared_ptr<State> m_state;
    std::chrono::milliseconds m_shutdownGrace{5000};
};

}  // namespace emu
