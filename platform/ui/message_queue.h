// The message queues of the threads that own windows. A window belongs to the thread that created
// it; a message sent to it from another thread is carried out on that thread, when it takes its
// messages (in a message loop, a modal loop or a wait that takes messages), while the sender waits
// and takes what other threads send to it meanwhile. Posted messages wait in the owner's queue.
// A thread that has ended takes nothing more: what is sent to its windows then runs on the sender.
#pragma once

#include <windef.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace emu::ui {

struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class ThreadQueue {
public:
    // The calling thread's queue (made on first use).
    static std::shared_ptr<ThreadQueue> Current();

    // Runs `call` on this queue's thread and returns its result: at once when that is the calling
    // thread or when this queue's thread has ended.
    LRESULT Run(const std::function<LRESULT()>& call);
    void Post(const PostedMessage& message);
    // The calling thread's part: carries out what other threads sent (true when there was any),
    // takes the next posted message, waits until something arrives (at most `limit`).
    bool RunSent();
    bool TakePosted(PostedMessage& message);
    bool HasPosted();
    bool HasSent();
    void Wait(std::chrono::milliseconds limit);
    void Quit(int exitCode);
    bool TakeQuit(int& exitCode);

    ~ThreadQueue();

private:
    struct Sent;
    struct Owner;
    void Complete(const std::shared_ptr<Sent>& sent, LRESULT result);
    void End();

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_arrived;
    std::deque<std::shared_ptr<Sent>> m_sent;
    std::deque<PostedMessage> m_posted;
    bool m_ended = false;
    bool m_quit = false;
    int m_exitCode = 0;
};

// Runs `call` on the thread that owns `window` (see ThreadQueue::Run); 0 for a window that is gone.
LRESULT OnOwnerThread(HWND window, const std::function<LRESULT()>& call);

}  // namespace emu::ui
