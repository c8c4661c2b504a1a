// Dispatcher objects and waits under one dispatcher lock of the emulated machine.
//
// Every dispatcher object (event, semaphore, mutex, thread, timer) is caller memory that begins
// with a DISPATCHER_HEADER; its state lives there and nowhere else. One lock per machine guards
// all of it. A waiter links KWAIT_BLOCKs into the objects' wait lists and sleeps on its thread's
// condition variable; whoever signals an object satisfies the waits it can, under the lock, so the
// waiter may free the object the moment it wakes.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "ke/clock.h"

namespace emu {

class Kernel;

class Dispatcher {
public:
    explicit Dispatcher(Kernel& machine);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // For other dispatcher-object kinds (timers): change a header's state under Lock(), then call
    // WakeWaiters with the lock still held.
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(m_lock); }
    void WakeWaiters(PDISPATCHER_HEADER header);
    static void InitializeHeader(PDISPATCHER_HEADER header, UCHAR type, size_t size, LONG signalState);

    LONG SetEvent(PRKEVENT event);
    LONG ResetEvent(PRKEVENT event);
    LONG PulseEvent(PRKEVENT event);
    LONG ReadState(PDISPATCHER_HEADER header);
    LONG ReleaseSemaphore(PRKSEMAPHORE semaphore, LONG adjustment);
    LONG ReleaseMutex(PRKMUTEX mutex);
    void ForgetMutex(PRKMUTEX mutex);  // the mutex's memory is being initialised afresh

    // KeWaitForMultipleObjects (and the single form with count 1 and no wait blocks).
    NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE waitType, const LARGE_INTEGER* timeout,
                  PKWAIT_BLOCK waitBlocks, const char* caller);
    NTSTATUS Delay(const LARGE_INTEGER* interval);

    // The thread has left its routine: signal its object and give up what it still owns.
    void SignalThreadEnd(PKTHREAD thread);

    // Test hooks: how many wait blocks are linked on an object, how many threads are in a timed
    // wait, and waiting (bounded in real time) until at least `count` of them are. A wait that a
    // clock change has expired no longer counts, even before its thread has run again.
    size_t WaiterCount(PVOID object);
    size_t TimedWaiterCount();
    bool AwaitWaiters(PVOID object, size_t count, std::chrono::milliseconds realBound = std::chrono::seconds(10));
    bool AwaitTimedWaiters(size_t count, std::chrono::milliseconds realBound = std::chrono::seconds(10));

private:
    bool CheckWaitArguments(ULONG count, PVOID objects[], WAIT_TYPE waitType, PKWAIT_BLOCK waitBlocks,
                            const char* caller);
    bool CheckObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, const char* caller);
    bool IsPoll(const LARGE_INTEGER* timeout, const char* caller);
    bool IsSignalledFor(PDISPATCHER_HEADER header, PKTHREAD thread) const;
    void Consume(PDISPATCHER_HEADER header, PKTHREAD thread);
    bool AllSignalled(PKTHREAD thread) const;
    void ConsumeAll(PKTHREAD thread);
    std::optional<NTSTATUS> SatisfyAtEntry(PKTHREAD thread, ULONG count, PVOID objects[], WAIT_TYPE waitType);
    void Enqueue(PKTHREAD thread, ULONG count, PVOID objects[], WAIT_TYPE waitType, PKWAIT_BLOCK blocks);
    void Unlink(PKTHREAD thread);
    void Satisfy(PKTHREAD thread, NTSTATUS status);
    bool TryWakeOne(PDISPATCHER_HEADER header);
    NTSTATUS Block(std::unique_lock<std::mutex>& lock, PKTHREAD thread, std::optional<LONGLONG> deadline);
    void Expire(PKTHREAD thread);
    void AbandonMutexes(PKTHREAD thread);
    void OnClockChange();

    Kernel& m_kernel;
    Clock& m_clock;
    std::mutex m_lock;  // the dispatcher lock
    std::set<PKTHREAD> m_timedWaiters;
    std::map<PKTHREAD, std::set<PRKMUTEX>> m_ownedMutexes;
    std::condition_variable m_waitersChanged;  // test hooks only
    Clock::SubscriptionId m_clockSubscription = 0;
};

}  // namespace emu
