#include "ke/dispatcher.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ke/kthread.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

namespace emu {

namespace {

constexpr UCHAR kBlockLinked = 1;

PDISPATCHER_HEADER HeaderOf(PVOID object) { return static_cast<PDISPATCHER_HEADER>(object); }

std::string Address(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

bool IsWaitableType(UCHAR type)
{
    switch (type) {
    case DISPATCHER_NOTIFICATION_EVENT:
    case DISPATCHER_SYNCHRONIZATION_EVENT:
    case DISPATCHER_MUTANT:
    case DISPATCHER_SEMAPHORE:
    case DISPATCHER_THREAD:
    case DISPATCHER_NOTIFICATION_TIMER:
    case DISPATCHER_SYNCHRONIZATION_TIMER:
        return true;
    default:
        return false;
    }
}

bool IsEventType(UCHAR type)
{
    return type == DISPATCHER_NOTIFICATION_EVENT || type == DISPATCHER_SYNCHRONIZATION_EVENT;
}

}  // namespace

Dispatcher::Dispatcher(Kernel& machine) : m_kernel(machine), m_clock(machine.GetClock())
{
    m_clockSubscription = m_clock.Subscribe([this] { OnClockChange(); });
}

Dispatcher::~Dispatcher() { m_clock.Unsubscribe(m_clockSubscription); }

void Dispatcher::InitializeHeader(PDISPATCHER_HEADER header, UCHAR type, size_t size, LONG signalState)
{
    header->Type = type;
    header->Absolute = 0;
    header->Size = static_cast<UCHAR>(size / sizeof(LONG));
    header->Inserted = 0;
    header->SignalState = signalState;
    InitializeListHead(&header->WaitListHead);
}

// ---------------------------------------------------------------------------------------------
// Object state
// ---------------------------------------------------------------------------------------------

bool Dispatcher::IsSignalledFor(PDISPATCHER_HEADER header, PKTHREAD thread) const
{
    if (header->Type == DISPATCHER_MUTANT)
        return header->SignalState > 0 || reinterpret_cast<PKMUTANT>(header)->OwnerThread == thread;
    return header->SignalState > 0;
}

void Dispatcher::Consume(PDISPATCHER_HEADER header, PKTHREAD thread)
{
    switch (header->Type) {
    case DISPATCHER_SYNCHRONIZATION_EVENT:
    case DISPATCHER_SYNCHRONIZATION_TIMER:
        header->SignalState = 0;
        break;
    case DISPATCHER_SEMAPHORE:
        header->SignalState--;
        break;
    case DISPATCHER_MUTANT: {
        auto mutex = reinterpret_cast<PKMUTANT>(header);
        if (header->SignalState == 1) {
            mutex->OwnerThread = thread;
            m_ownedMutexes[thread].insert(mutex);
        }
        header->SignalState--;  // owned once more (recursion for its owner)
        break;
    }
    default:
        break;  // notification objects stay signalled
    }
}

bool Dispatcher::AllSignalled(PKTHREAD thread) const
{
    for (ULONG i = 0; i < thread->WaitCount; ++i)
        if (!IsSignalledFor(HeaderOf(thread->WaitBlockList[i].Object), thread)) return false;
    return true;
}

void Dispatcher::ConsumeAll(PKTHREAD thread)
{
    for (ULONG i = 0; i < thread->WaitCount; ++i) Consume(HeaderOf(thread->WaitBlockList[i].Object), thread);
}

LONG Dispatcher::SetEvent(PRKEVENT event)
{
    std::lock_guard lock(m_lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    WakeWaiters(&event->Header);
    return previous;  // the event is not touched once the lock is released: a waiter may free it
}

LONG Dispatcher::ResetEvent(PRKEVENT event)
{
    std::lock_guard lock(m_lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG Dispatcher::PulseEvent(PRKEVENT event)
{
    std::lock_guard lock(m_lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    WakeWaiters(&event->Header);
    event->Header.SignalState = 0;
    return previous;
}

LONG Dispatcher::ReadState(PDISPATCHER_HEADER header)
{
    std::lock_guard lock(m_lock);
    return header->SignalState;
}

LONG Dispatcher::ReleaseSemaphore(PRKSEMAPHORE semaphore, LONG adjustment)
{
    std::lock_guard lock(m_lock);
    LONG previous = semaphore->Header.SignalState;
    if (adjustment <= 0 || previous > semaphore->Limit - adjustment) {
        ReportViolation(Violation::Bugcheck, "KeReleaseSemaphore of semaphore " + Address(semaphore) +
                                                 " beyond its limit (count " + std::to_string(previous) +
                                                 ", adjustment " + std::to_string(adjustment) + ", limit " +
                                                 std::to_string(semaphore->Limit) + ")");
        return previous;
    }
    semaphore->Header.SignalState = previous + adjustment;
    WakeWaiters(&semaphore->Header);
    return previous;
}

LONG Dispatcher::ReleaseMutex(PRKMUTEX mutex)
{
    PKTHREAD thread = KeGetCurrentThread();
    std::lock_guard lock(m_lock);
    LONG previous = mutex->Header.SignalState;
    if (mutex->OwnerThread != thread || previous > 0) {
        ReportViolation(Violation::Bugcheck, "KeReleaseMutex of mutex " + Address(mutex) +
                                                 " by a thread that does not own it");
        return previous;
    }
    mutex->Header.SignalState = previous + 1;
    if (mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        m_ownedMutexes[thread].erase(mutex);
        WakeWaiters(&mutex->Header);
    }
    return previous;
}

void Dispatcher::ForgetMutex(PRKMUTEX mutex)
{
    std::lock_guard lock(m_lock);
    for (auto& [thread, owned] : m_ownedMutexes) owned.erase(mutex);
}

void Dispatcher::AbandonMutexes(PKTHREAD thread)
{
    auto it = m_ownedMutexes.find(thread);
    if (it == m_ownedMutexes.end()) return;
    std::set<PRKMUTEX> owned = std::move(it->second);
    m_ownedMutexes.erase(it);
    for (PRKMUTEX mutex : owned) {
        ReportViolation(Violation::Bugcheck, "thread " + std::to_string(thread->Id) + " ended owning mutex " +
                                                 Address(mutex));
        mutex->Abandoned = TRUE;
        mutex->OwnerThread = nullptr;
        mutex->Header.SignalState = 1;
        WakeWaiters(&mutex->Header);
    }
}

void Dispatcher::SignalThreadEnd(PKTHREAD thread)
{
    std::lock_guard lock(m_lock);
    AbandonMutexes(thread);
    thread->Header.SignalState = 1;
    WakeWaiters(&thread->Header);
}

// ---------------------------------------------------------------------------------------------
// Waking
// ---------------------------------------------------------------------------------------------

void Dispatcher::Unlink(PKTHREAD thread)
{
    for (ULONG i = 0; i < thread->WaitCount; ++i) {
        KWAIT_BLOCK& block = thread->WaitBlockList[i];
        if (block.BlockState != kBlockLinked) continue;
        RemoveEntryList(&block.WaitListEntry);
        block.BlockState = 0;
    }
}

void Dispatcher::Satisfy(PKTHREAD thread, NTSTATUS status)
{
    Unlink(thread);
    m_timedWaiters.erase(thread);
    thread->WaitStatus = status;
    thread->WaitCv.notify_all();  // under the lock: the thread cannot leave (and free) its wait before
}

// Satisfies the first wait on the object that the object's state allows; false when none.
bool Dispatcher::TryWakeOne(PDISPATCHER_HEADER header)
{
    PLIST_ENTRY head = &header->WaitListHead;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
        PKWAIT_BLOCK block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        PKTHREAD thread = block->Thread;
        if (!IsSignalledFor(header, thread)) continue;
        if (block->WaitType == WaitAny) {
            Consume(header, thread);
            Satisfy(thread, STATUS_WAIT_0 + block->WaitKey);
            return true;
        }
        if (AllSignalled(thread)) {
            ConsumeAll(thread);
            Satisfy(thread, STATUS_WAIT_0);
            return true;
        }
    }
    return false;
}

void Dispatcher::WakeWaiters(PDISPATCHER_HEADER header)
{
    // Each satisfied wait changes the list (and perhaps the object), so start again from the head.
    while (TryWakeOne(header)) {
    }
}

void Dispatcher::Expire(PKTHREAD thread)
{
    Unlink(thread);
    thread->WaitStatus = STATUS_TIMEOUT;
    thread->WaitCv.notify_all();
}

// Waits the change has made due expire here and now, so that once Advance returns they are over
// as far as anyone can see; the others re-check their deadlines against the new mapping.
void Dispatcher::OnClockChange()
{
    std::lock_guard lock(m_lock);
    LONGLONG now = m_clock.InterruptTime();
    for (auto it = m_timedWaiters.begin(); it != m_timedWaiters.end();) {
        PKTHREAD thread = *it;
        if (thread->WaitStatus == STATUS_PENDING && thread->WaitDeadline <= now) {
            Expire(thread);
            it = m_timedWaiters.erase(it);
        } else {
            thread->WaitCv.notify_all();
            ++it;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Waiting
// ---------------------------------------------------------------------------------------------

bool Dispatcher::CheckWaitArguments(ULONG count, PVOID objects[], WAIT_TYPE waitType, PKWAIT_BLOCK waitBlocks,
                                    const char* caller)
{
    std::string who(caller);
    if (count > MAXIMUM_WAIT_OBJECTS) {
        ReportViolation(Violation::TooManyWaitObjects,
                        who + " with " + std::to_string(count) + " objects (at most 64)");
        return false;
    }
    if (count == 0 || !objects || (waitType != WaitAny && waitType != WaitAll)) {
        ReportViolation(Violation::Bugcheck, who + " with no objects or an unknown wait type");
        return false;
    }
    if (count > THREAD_WAIT_OBJECTS && !waitBlocks)
        ReportViolation(Violation::TooManyWaitObjects,
                        who + " with " + std::to_string(count) + " objects and no wait-block array");
    return true;
}

bool Dispatcher::CheckObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, const char* caller)
{
    for (ULONG i = 0; i < count; ++i) {
        PDISPATCHER_HEADER header = HeaderOf(objects[i]);
        if (!header || !IsWaitableType(header->Type) || !header->WaitListHead.Flink) {
            ReportViolation(Violation::Bugcheck, std::string(caller) + ": object " + Address(header) +
                                                     " is not an initialised dispatcher object");
            return false;
        }
        for (ULONG j = 0; waitType == WaitAll && j < i; ++j) {
            if (objects[j] != objects[i]) continue;
            ReportViolation(Violation::Bugcheck, std::string(caller) + ": object " + Address(header) +
                                                     " appears twice in a WaitAll");
            return false;
        }
    }
    return true;
}

bool Dispatcher::IsPoll(const LARGE_INTEGER* timeout, const char* caller)
{
    if (timeout && timeout->QuadPart == 0) {
        CheckIrqlAtMost(DISPATCH_LEVEL, caller);  // even a poll is refused above DISPATCH_LEVEL
        return true;
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL) return false;
    ReportViolation(Violation::WaitAtDispatch, std::string(caller) + " with a non-zero time-out at IRQL " +
                                                   std::to_string(static_cast<unsigned>(irql)));
    return true;  // a wait here would hang the processor; poll instead
}

std::optional<NTSTATUS> Dispatcher::SatisfyAtEntry(PKTHREAD thread, ULONG count, PVOID objects[],
                                                   WAIT_TYPE waitType)
{
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (!IsSignalledFor(HeaderOf(objects[i]), thread)) continue;
            Consume(HeaderOf(objects[i]), thread);  // the lowest signalled index, and only that one
            return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        }
        return std::nullopt;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!IsSignalledFor(HeaderOf(objects[i]), thread)) return std::nullopt;
    for (ULONG i = 0; i < count; ++i) Consume(HeaderOf(objects[i]), thread);
    return STATUS_WAIT_0;
}

void Dispatcher::Enqueue(PKTHREAD thread, ULONG count, PVOID objects[], WAIT_TYPE waitType, PKWAIT_BLOCK blocks)
{
    for (ULONG i = 0; i < count; ++i) {
        KWAIT_BLOCK& block = blocks[i];
        block.Thread = thread;
        block.Object = objects[i];
        block.NextWaitBlock = &blocks[(i + 1) % count];
        block.WaitKey = static_cast<USHORT>(i);
        block.WaitType = static_cast<UCHAR>(waitType);
        block.BlockState = kBlockLinked;
        InsertTailList(&HeaderOf(objects[i])->WaitListHead, &block.WaitListEntry);
    }
    thread->WaitBlockList = blocks;
    thread->WaitCount = count;
    thread->WaitStatus = STATUS_PENDING;
    m_waitersChanged.notify_all();
}

NTSTATUS Dispatcher::Block(std::unique_lock<std::mutex>& lock, PKTHREAD thread, std::optional<LONGLONG> deadline)
{
    auto done = [thread] { return thread->WaitStatus != STATUS_PENDING; };
    if (deadline) {
        thread->WaitDeadline = *deadline;
        m_timedWaiters.insert(thread);
        m_waitersChanged.notify_all();
        if (!m_clock.SleepUntil(lock, thread->WaitCv, *deadline, done)) Expire(thread);
        m_timedWaiters.erase(thread);
    } else {
        thread->WaitCv.wait(lock, done);
    }
    thread->WaitCount = 0;
    thread->WaitBlockList = nullptr;
    return thread->WaitStatus;
}

NTSTATUS Dispatcher::Wait(ULONG count, PVOID objects[], WAIT_TYPE waitType, const LARGE_INTEGER* timeout,
                          PKWAIT_BLOCK waitBlocks, const char* caller)
{
    if (!CheckWaitArguments(count, objects, waitType, waitBlocks, caller)) return STATUS_INVALID_PARAMETER;
    bool poll = IsPoll(timeout, caller);
    PKTHREAD thread = KeGetCurrentThread();
    std::vector<KWAIT_BLOCK> spare;
    if (!waitBlocks) {
        if (count > THREAD_WAIT_OBJECTS) spare.resize(count);
        waitBlocks = count > THREAD_WAIT_OBJECTS ? spare.data() : thread->WaitBlock;
    }

    std::unique_lock lock(m_lock);
    if (!CheckObjects(count, objects, waitType, caller)) return STATUS_INVALID_PARAMETER;
    if (std::optional<NTSTATUS> status = SatisfyAtEntry(thread, count, objects, waitType)) return *status;
    if (poll) return STATUS_TIMEOUT;
    std::optional<LONGLONG> deadline;
    if (timeout) {
        deadline = m_clock.DeadlineFromTimeout(timeout->QuadPart);
        if (m_clock.InterruptTime() >= *deadline) return STATUS_TIMEOUT;
    }
    Enqueue(thread, count, objects, waitType, waitBlocks);
    return Block(lock, thread, deadline);
}

NTSTATUS Dispatcher::Delay(const LARGE_INTEGER* interval)
{
    if (!interval) {
        ReportViolation(Violation::Bugcheck, "KeDelayExecutionThread with no interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    if (IsPoll(nullptr, "KeDelayExecutionThread")) return STATUS_SUCCESS;
    PKTHREAD thread = KeGetCurrentThread();
    std::unique_lock lock(m_lock);
    thread->WaitCount = 0;  // a wait on nothing but the clock
    thread->WaitStatus = STATUS_PENDING;
    Block(lock, thread, m_clock.DeadlineFromTimeout(interval->QuadPart));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------------------------

namespace {
size_t CountLinked(PDISPATCHER_HEADER header)
{
    size_t count = 0;
    for (PLIST_ENTRY e = header->WaitListHead.Flink; e && e != &header->WaitListHead; e = e->Flink) ++count;
    return count;
}
}  // namespace

size_t Dispatcher::WaiterCount(PVOID object)
{
    std::lock_guard lock(m_lock);
    return CountLinked(HeaderOf(object));
}

size_t Dispatcher::TimedWaiterCount()
{
    std::lock_guard lock(m_lock);
    return m_timedWaiters.size();
}

bool Dispatcher::AwaitWaiters(PVOID object, size_t count, std::chrono::milliseconds realBound)
{
    std::unique_lock lock(m_lock);
    return m_waitersChanged.wait_for(lock, realBound, [&] { return CountLinked(HeaderOf(object)) >= count; });
}

bool Dispatcher::AwaitTimedWaiters(size_t count, std::chrono::milliseconds realBound)
{
    std::unique_lock lock(m_lock);
    return m_waitersChanged.wait_for(lock, realBound, [&] { return m_timedWaiters.size() >= count; });
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Kernel interface
// ---------------------------------------------------------------------------------------------

using emu::Dispatcher;
using emu::Kernel;

namespace {
Dispatcher& KernelDispatcher() { return Kernel::Current().GetDispatcher(); }

bool CheckEvent(PRKEVENT event, const char* caller)
{
    if (event && emu::IsEventType(event->Header.Type)) return true;
    emu::ReportViolation(emu::Violation::Bugcheck, std::string(caller) + " on an object that is not an event");
    return false;
}
}  // namespace

extern "C" void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    UCHAR kind = type == SynchronizationEvent ? DISPATCHER_SYNCHRONIZATION_EVENT : DISPATCHER_NOTIFICATION_EVENT;
    Dispatcher::InitializeHeader(&event->Header, kind, sizeof(KEVENT), state ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    if (!CheckEvent(event, "KeSetEvent")) return 0;
    return KernelDispatcher().SetEvent(event);
}

extern "C" void KeClearEvent(PRKEVENT event)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    if (CheckEvent(event, "KeClearEvent")) KernelDispatcher().ResetEvent(event);
}

extern "C" LONG KeResetEvent(PRKEVENT event)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    if (!CheckEvent(event, "KeResetEvent")) return 0;
    return KernelDispatcher().ResetEvent(event);
}

extern "C" LONG KeReadStateEvent(PRKEVENT event)
{
    if (!CheckEvent(event, "KeReadStateEvent")) return 0;
    return KernelDispatcher().ReadState(&event->Header);
}

extern "C" LONG KePulseEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
    if (!CheckEvent(event, "KePulseEvent")) return 0;
    return KernelDispatcher().PulseEvent(event);
}

extern "C" void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit)
{
    Dispatcher::InitializeHeader(&semaphore->Header, DISPATCHER_SEMAPHORE, sizeof(KSEMAPHORE), count);
    semaphore->Limit = limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    return KernelDispatcher().ReleaseSemaphore(semaphore, adjustment);
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore)
{
    return KernelDispatcher().ReadState(&semaphore->Header);
}

extern "C" void KeInitializeMutex(PRKMUTEX mutex, ULONG level)
{
    KernelDispatcher().ForgetMutex(mutex);
    Dispatcher::InitializeHeader(&mutex->Header, DISPATCHER_MUTANT, sizeof(KMUTEX), 1);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
    mutex->ApcDisable = 1;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    return KernelDispatcher().ReleaseMutex(mutex);
}

extern "C" LONG KeReadStateMutex(PRKMUTEX mutex) { return KernelDispatcher().ReadState(&mutex->Header); }

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                          BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    return KernelDispatcher().Wait(1, &object, WaitAny, timeout, nullptr, "KeWaitForSingleObject");
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType,
                                             KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                             BOOLEAN alertable, PLARGE_INTEGER timeout,
                                             PKWAIT_BLOCK waitBlockArray)
{
    return KernelDispatcher().Wait(count, object, waitType, timeout, waitBlockArray, "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval)
{
    return KernelDispatcher().Delay(interval);
}

extern "C" NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
    emu::ObjectManager& objects = Kernel::Current().GetObjectManager();
    emu::ObjectType type = emu::ObjectType::Other;
    void* body = nullptr;
    if (objects.Lookup(handle, &type) == nullptr || !NT_SUCCESS(objects.ReferenceByHandle(handle, nullptr, &body))) {
        emu::ReportViolation(emu::Violation::HandleInvalid, "ZwWaitForSingleObject on a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    PVOID waitable = emu::WaitableObjectOf(body, type);
    NTSTATUS status = STATUS_OBJECT_TYPE_MISMATCH;
    if (waitable)
        status = KernelDispatcher().Wait(1, &waitable, WaitAny, timeout, nullptr, "ZwWaitForSingleObject");
    objects.Dereference(body);  // the reference kept the object alive through the wait
    return status;
}
