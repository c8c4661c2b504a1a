// CWinThread and AfxBeginThread: a worker runs at once on a thread of its own, as a thread of the
// program that started it; its handle is an event signalled when its procedure returns.
#include <afxwin.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "application_runner.h"
#include "program.h"

namespace {

struct LiveThreadCount {
    std::mutex mutex;  // guards count
    std::condition_variable changed;
    size_t count = 0;
};

LiveThreadCount& Live()
{
    static LiveThreadCount live;
    return live;
}

std::atomic<DWORD> g_nextThreadId{0x200};

}  // namespace

struct CWinThread::Runner {
    static void Run(CWinThread* thread, emu::process::ThreadContext context)
    {
        context.Adopt();
        const UINT result = thread->m_procedure(thread->m_parameter);
        HANDLE finished = nullptr;
        if (thread->m_bAutoDelete) {
            delete thread;  // closes the handle: a waiter must have turned auto-delete off
        } else {
            thread->m_exitCode = result;
            finished = thread->m_hThread;
        }
        if (finished) SetEvent(finished);
        LiveThreadCount& live = Live();
        std::lock_guard lock(live.mutex);
        --live.count;
        live.changed.notify_all();
    }
};

CWinThread::CWinThread(AFX_THREADPROC procedure, LPVOID parameter) : m_procedure(procedure), m_parameter(parameter) {}

CWinThread::~CWinThread()
{
    if (m_hThread) CloseHandle(m_hThread);
}

BOOL CWinThread::CreateThread(DWORD flags, UINT stackSize, LPSECURITY_ATTRIBUTES security)
{
    if (!m_procedure || m_hThread) return FALSE;
    m_hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_hThread) return FALSE;
    m_nThreadID = g_nextThreadId.fetch_add(4);
    m_suspended = true;
    // A suspended thread lets its creator change the object (auto-delete) before it runs.
    if (!(flags & CREATE_SUSPENDED)) ResumeThread();
    return TRUE;
}

BOOL CWinThread::SetThreadPriority(int priority) { return TRUE; }

DWORD CWinThread::ResumeThread()
{
    if (!m_suspended) return 0;
    m_suspended = false;
    {
        LiveThreadCount& live = Live();
        std::lock_guard lock(live.mutex);
        ++live.count;
    }
    std::thread(Runner::Run, this, emu::process::ThreadContext::Capture()).detach();
    return 1;
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    auto* thread = new CWinThread(pfnThreadProc, pParam);
    if (!thread->CreateThread(dwCreateFlags, nStackSize, lpSecurityAttrs)) {
        delete thread;
        return nullptr;
    }
    return thread;
}

namespace emu::mfc {

size_t LiveThreads()
{
    LiveThreadCount& live = Live();
    std::lock_guard lock(live.mutex);
    return live.count;
}

bool WaitForThreads(std::chrono::milliseconds timeout)
{
    LiveThreadCount& live = Live();
    std::unique_lock lock(live.mutex);
    return live.changed.wait_for(lock, timeout, [&] { return live.count == 0; });
}

}  // namespace emu::mfc
