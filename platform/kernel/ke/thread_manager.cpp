#include "ke/thread_manager.h"

#include <condition_variable>
#include <cstdio>
#include <list>
#include <string>
#include <system_error>
#include <thread>

#include "ke/dispatcher.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

namespace emu {

namespace {

// Thrown by PsTerminateSystemThread and caught only by the thread's trampoline. Driver frames are
// compiled without exceptions but keep their unwind tables, so it passes through them. It has no
// base class, so no handler for standard exceptions can take it by mistake.
struct ThreadTermination {
    NTSTATUS status;
};

struct CurrentThread {
    std::uint64_t serial = 0;  // the machine (thread manager) the object belongs to
    PKTHREAD thread = nullptr;
    bool system = false;  // started by PsCreateSystemThread: the object is its own
};
thread_local CurrentThread t_current;

std::atomic<std::uint64_t> g_nextSerial{1};

constexpr KPRIORITY kDefaultPriority = 8;

}  // namespace

std::atomic<size_t> ThreadManager::sm_abandonedRunning{0};

struct SystemThread {
    PKTHREAD object = nullptr;
    std::thread host;
    bool ended = false;       // left its routine; finishes without blocking
    bool objectGone = false;  // the thread object's last reference went
    bool abandoned = false;   // still running when its machine shut down
};

struct ThreadManager::Table {
    std::mutex mutex;
    std::condition_variable endedCv;
    std::list<SystemThread> threads;

    std::list<SystemThread>::iterator Find(PKTHREAD object)
    {
        for (auto it = threads.begin(); it != threads.end(); ++it)
            if (it->object == object) return it;
        return threads.end();
    }

    // The thread object's last reference went: join the host thread (it has ended) and free the
    // object. On the thread itself, leave the join to a later reaping.
    void OnObjectGone(PKTHREAD object)
    {
        std::thread host;
        {
            std::lock_guard lock(mutex);
            auto it = Find(object);
            if (it != threads.end() && it->abandoned) {
                it->objectGone = true;  // the thread still runs; it frees its object itself
                return;
            }
            if (it != threads.end() && it->host.get_id() == std::this_thread::get_id()) {
                it->objectGone = true;
                it->object = nullptr;
                delete object;
                return;
            }
            if (it != threads.end()) {
                host = std::move(it->host);
                threads.erase(it);
            }
        }
        if (host.joinable()) host.join();
        delete object;
    }

    // Joins threads whose objects went on the threads themselves.
    void ReapZombies()
    {
        std::vector<std::thread> zombies;
        {
            std::lock_guard lock(mutex);
            for (auto it = threads.begin(); it != threads.end();) {
                if (!it->objectGone || it->abandoned) {
                    ++it;
                    continue;
                }
                zombies.push_back(std::move(it->host));
                it = threads.erase(it);
            }
        }
        for (std::thread& zombie : zombies)
            if (zombie.joinable() && zombie.get_id() != std::this_thread::get_id()) zombie.join();
            else if (zombie.joinable()) zombie.detach();
    }

    // Marks the thread ended; false when its machine has gone and nothing of it may be touched.
    bool MarkEnded(PKTHREAD object)
    {
        std::lock_guard lock(mutex);
        auto it = Find(object);
        if (it == threads.end()) return false;
        if (it->abandoned) {
            if (it->objectGone) delete object;
            threads.erase(it);
            ThreadManager::sm_abandonedRunning--;
            return false;
        }
        it->ended = true;
        endedCv.notify_all();
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Trampoline
// ---------------------------------------------------------------------------------------------

namespace {

void RunRoutine(PKTHREAD thread, PKSTART_ROUTINE routine, PVOID context)
{
    try {
        routine(context);
        thread->ExitStatus = STATUS_SUCCESS;
    } catch (const ThreadTermination& termination) {
        thread->ExitStatus = termination.status;
    } catch (...) {
        ReportViolation(Violation::Bugcheck, "system thread " + std::to_string(thread->Id) +
                                                 " ended by an unhandled exception");
        thread->ExitStatus = STATUS_UNSUCCESSFUL;
    }
}

void CheckEndState(PKTHREAD thread)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return;
    ReportViolation(Violation::Bugcheck, "system thread " + std::to_string(thread->Id) + " ended at IRQL " +
                                             std::to_string(static_cast<unsigned>(irql)));
    SetCurrentIrql(PASSIVE_LEVEL);
}

}  // namespace

void RunSystemThread(std::shared_ptr<ThreadManager::Table> table, Kernel* machine, PKTHREAD thread,
                     PKSTART_ROUTINE routine, PVOID context)
{
    t_current = CurrentThread{0, thread, true};
    SetCurrentIrql(PASSIVE_LEVEL);
    RunRoutine(thread, routine, context);
    CheckEndState(thread);
    if (!table->MarkEnded(thread)) return;
    machine->GetDispatcher().SignalThreadEnd(thread);
    machine->GetObjectManager().Dereference(thread);  // the reference the running thread held
}

// ---------------------------------------------------------------------------------------------
// Manager
// ---------------------------------------------------------------------------------------------

ThreadManager::ThreadManager(Kernel& machine)
    : m_kernel(machine), m_serial(g_nextSerial.fetch_add(1)), m_table(std::make_shared<Table>())
{
    SetCurrentIrql(PASSIVE_LEVEL);  // a machine boots at PASSIVE_LEVEL
}

ThreadManager::~ThreadManager()
{
    std::vector<std::thread> ended;
    {
        std::unique_lock lock(m_table->mutex);
        m_table->endedCv.wait_for(lock, m_shutdownGrace, [this] {
            for (const SystemThread& t : m_table->threads)
                if (!t.ended) return false;
            return true;
        });
        for (SystemThread& t : m_table->threads) {
            if (t.ended) {
                if (t.host.joinable()) ended.push_back(std::move(t.host));
                continue;
            }
            std::string detail = "system thread " + std::to_string(t.object->Id) + " did not end at shutdown";
            ReportViolation(Violation::Bugcheck, detail);
            std::fprintf(stderr, "emu::ThreadManager: %s; it is left running\n", detail.c_str());
            t.abandoned = true;
            t.host.detach();
            sm_abandonedRunning++;
        }
    }
    for (std::thread& host : ended)
        if (host.get_id() != std::this_thread::get_id()) host.join();
        else host.detach();
}

PKTHREAD ThreadManager::NewThreadObject(BOOLEAN systemThread)
{
    auto* thread = new KTHREAD();
    Dispatcher::InitializeHeader(&thread->Header, DISPATCHER_THREAD, sizeof(DISPATCHER_HEADER), 0);
    thread->Id = m_nextId.fetch_add(4);
    thread->Priority = kDefaultPriority;
    thread->SystemThread = systemThread;
    return thread;
}

PKTHREAD ThreadManager::Current()
{
    if (t_current.thread && (t_current.system || t_current.serial == m_serial)) return t_current.thread;
    std::unique_ptr<KTHREAD> thread(NewThreadObject(FALSE));
    PKTHREAD result = thread.get();
    {
        std::lock_guard lock(m_mutex);
        m_foreignThreads.push_back(std::move(thread));
    }
    t_current = CurrentThread{m_serial, result, false};
    return result;
}

std::optional<NTSTATUS> ThreadManager::TakeInjectedFailure()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_failNextCreate, std::nullopt);
}

void ThreadManager::FailNextCreate(NTSTATUS status)
{
    std::lock_guard lock(m_mutex);
    m_failNextCreate = status;
}

size_t ThreadManager::RunningCount() const
{
    std::lock_guard lock(m_table->mutex);
    size_t running = 0;
    for (const SystemThread& t : m_table->threads) running += t.ended ? 0 : 1;
    return running;
}

bool ThreadManager::Start(PKTHREAD thread, PKSTART_ROUTINE routine, PVOID context)
{
    std::lock_guard lock(m_table->mutex);
    m_table->threads.emplace_back();
    m_table->threads.back().object = thread;
    try {
        m_table->threads.back().host = std::thread(RunSystemThread, m_table, &m_kernel, thread, routine, context);
    } catch (const std::system_error&) {
        m_table->threads.pop_back();
        return false;
    }
    return true;
}

NTSTATUS ThreadManager::CreateSystemThread(PHANDLE threadHandle, ACCESS_MASK desiredAccess, PCLIENT_ID clientId,
                                           PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (!threadHandle || !startRoutine) {
        ReportViolation(Violation::Bugcheck, "PsCreateSystemThread without a handle or a start routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (std::optional<NTSTATUS> failure = TakeInjectedFailure()) return *failure;
    m_table->ReapZombies();

    PKTHREAD thread = NewThreadObject(TRUE);
    ObjectManager& objects = m_kernel.GetObjectManager();
    std::shared_ptr<Table> table = m_table;
    // The registration's reference is the running thread's; the handle holds a second one.
    objects.Register(thread, ObjectType::Thread, [table](void* body) { table->OnObjectGone(static_cast<PKTHREAD>(body)); });
    HANDLE handle = objects.CreateHandle(thread, desiredAccess, KernelMode);
    if (!Start(thread, startRoutine, startContext)) {
        objects.CloseHandle(handle);
        objects.Dereference(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *threadHandle = handle;
    if (clientId) {
        clientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));  // the System process
        clientId->UniqueThread = reinterpret_cast<HANDLE>(thread->Id);
    }
    return STATUS_SUCCESS;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Kernel interface
// ---------------------------------------------------------------------------------------------

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                         HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                         PVOID startContext)
{
    return emu::Kernel::Current().GetThreads().CreateSystemThread(threadHandle, desiredAccess, clientId,
                                                                   startRoutine, startContext);
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus)
{
    if (!emu::t_current.system)
        emu::ReportViolation(emu::Violation::Bugcheck,
                             "PsTerminateSystemThread on a thread that PsCreateSystemThread did not start");
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    throw emu::ThreadTermination{exitStatus};
}

extern "C" PKTHREAD KeGetCurrentThread(void)
{
    if (emu::t_current.system) return emu::t_current.thread;  // never needs the manager (nor a lock)
    return emu::Kernel::Current().GetThreads().Current();
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    if (!thread || priority <= LOW_PRIORITY || priority >= MAXIMUM_PRIORITY) {
        emu::ReportViolation(emu::Violation::Bugcheck,
                             "KeSetPriorityThread with priority " + std::to_string(priority) +
                                 (thread ? "" : " and no thread"));
        return thread ? KeQueryPriorityThread(thread) : 0;
    }
    return std::atomic_ref<KPRIORITY>(thread->Priority).exchange(priority);
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD thread)
{
    if (!thread) {
        emu::ReportViolation(emu::Violation::Bugcheck, "KeQueryPriorityThread with no thread");
        return 0;
    }
    return std::atomic_ref<KPRIORITY>(thread->Priority).load();
}

extern "C" HANDLE PsGetCurrentThreadId(void) { return reinterpret_cast<HANDLE>(KeGetCurrentThread()->Id); }
