// Per-thread message queues and the user32 calls that take messages from them.
#include "message_queue.h"

#include <thread>

#include "window.h"

namespace emu::ui {

struct ThreadQueue::Sent {
    std::function<LRESULT()> call;
    std::shared_ptr<ThreadQueue> sender;
    LRESULT result = 0;
    bool done = false;  // guarded by the sender's mutex
};

// Ends the thread's queue when the thread ends.
struct ThreadQueue::Owner {
    std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    ~Owner() { queue->End(); }
};

std::shared_ptr<ThreadQueue> ThreadQueue::Current()
{
    thread_local Owner owner;
    return owner.queue;
}

ThreadQueue::~ThreadQueue() = default;

LRESULT ThreadQueue::Run(const std::function<LRESULT()>& call)
{
    std::shared_ptr<ThreadQueue> self = Current();
    if (self.get() == this) return call();
    auto sent = std::make_shared<Sent>();
    sent->call = call;
    sent->sender = self;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        ended = m_ended;
        if (!ended) {
            m_sent.push_back(sent);
            m_arrived.notify_all();
        }
    }
    if (ended) return call();
    std::unique_lock lock(self->m_mutex);
    while (!sent->done) {
        if (!self->m_sent.empty()) {
            lock.unlock();
            self->RunSent();
            lock.lock();
            continue;
        }
        self->m_arrived.wait(lock);
    }
    return sent->result;
}

void ThreadQueue::Complete(const std::shared_ptr<Sent>& sent, LRESULT result)
{
    std::lock_guard lock(sent->sender->m_mutex);
    sent->result = result;
    sent->done = true;
    sent->sender->m_arrived.notify_all();
}

bool ThreadQueue::RunSent()
{
    bool any = false;
    for (;;) {
        std::shared_ptr<Sent> sent;
        {
            std::lock_guard lock(m_mutex);
            if (m_sent.empty()) return any;
            sent = std::move(m_sent.front());
            m_sent.pop_front();
        }
        Complete(sent, sent->call());
        any = true;
    }
}

void ThreadQueue::Post(const PostedMessage& message)
{
    std::lock_guard lock(m_mutex);
    m_posted.push_back(message);
    m_arrived.notify_all();
}

bool ThreadQueue::TakePosted(PostedMessage& message)
{
    std::lock_guard lock(m_mutex);
    if (m_posted.empty()) return false;
    message = m_posted.front();
    m_posted.pop_front();
    return true;
}

bool ThreadQueue::HasSent()
{
    std::lock_guard lock(m_mutex);
    return !m_sent.empty();
}

bool ThreadQueue::HasPosted()
{
    std::lock_guard lock(m_mutex);
    return !m_posted.empty() || m_quit;
}

void ThreadQueue::Wait(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, limit, [&] { return !m_sent.empty() || !m_posted.empty() || m_quit; });
}

void ThreadQueue::Quit(int exitCode)
{
    std::lock_guard lock(m_mutex);
    m_quit = true;
    m_exitCode = exitCode;
    m_arrived.notify_all();
}

bool ThreadQueue::TakeQuit(int& exitCode)
{
    std::lock_guard lock(m_mutex);
    if (!m_quit || !m_posted.empty()) return false;
    m_quit = false;
    exitCode = m_exitCode;
    return true;
}

void ThreadQueue::End()
{
    std::deque<std::shared_ptr<Sent>> abandoned;
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        abandoned.swap(m_sent);
        m_posted.clear();
    }
    // Senders still waiting get no answer from a thread that is gone.
    for (const auto& sent : abandoned) Complete(sent, 0);
}

LRESULT OnOwnerThread(HWND window, const std::function<LRESULT()>& call)
{
    std::shared_ptr<ThreadQueue> owner = Windows().QueueOf(window);
    if (!owner) return 0;
    return owner->Run(call);
}

}  // namespace emu::ui

using emu::ui::ThreadQueue;

namespace {

// Takes one message for the calling thread: sent ones are carried out on the way.
bool TakeMessage(LPMSG msg, bool remove)
{
    std::shared_ptr<ThreadQueue> queue = ThreadQueue::Current();
    queue->RunSent();
    int exitCode = 0;
    if (remove && queue->TakeQuit(exitCode)) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, 0, {0, 0}};
        return true;
    }
    emu::ui::PostedMessage posted{};
    if (!remove) return queue->HasPosted();
    if (!queue->TakePosted(posted)) return false;
    *msg = MSG{posted.window, posted.message, posted.wParam, posted.lParam, 0, {0, 0}};
    return true;
}

}  // namespace

extern "C" BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    return lpMsg && TakeMessage(lpMsg, (wRemoveMsg & PM_REMOVE) != 0);
}

extern "C" BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (!lpMsg) return -1;
    while (!TakeMessage(lpMsg, true)) ThreadQueue::Current()->Wait(std::chrono::milliseconds(50));
    return lpMsg->message != WM_QUIT;
}

extern "C" LRESULT DispatchMessageW(const MSG* lpMsg)
{
    return lpMsg && lpMsg->hwnd ? SendMessageW(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

extern "C" BOOL TranslateMessage(const MSG* lpMsg) { return FALSE; }

extern "C" BOOL WaitMessage(void)
{
    std::shared_ptr<ThreadQueue> queue = ThreadQueue::Current();
    while (!queue->RunSent() && !queue->HasPosted()) queue->Wait(std::chrono::milliseconds(50));
    return TRUE;
}

extern "C" void PostQuitMessage(int nExitCode) { ThreadQueue::Current()->Quit(nExitCode); }

// Windows' wait for handles or messages. The handles are kernel objects the queue does not hear
// of, so the wait looks at them between short waits for the queue.
extern "C" DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                           DWORD dwWakeMask)
{
    std::shared_ptr<ThreadQueue> queue = ThreadQueue::Current();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        if (nCount) {
            const DWORD result = WaitForMultipleObjects(nCount, pHandles, fWaitAll, 0);
            if (result != WAIT_TIMEOUT) return result;
        }
        if ((dwWakeMask & QS_SENDMESSAGE) && queue->HasSent()) return WAIT_OBJECT_0 + nCount;
        if ((dwWakeMask & QS_POSTMESSAGE) && queue->HasPosted()) return WAIT_OBJECT_0 + nCount;
        if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
        queue->Wait(std::chrono::milliseconds(1));
    }
}

extern "C" BOOL InSendMessage(void) { return FALSE; }
