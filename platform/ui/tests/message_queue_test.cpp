// Messages between threads: a window's procedure runs on the thread that made the window. A send
// from another thread waits until that thread takes its messages; a post waits in its queue; the
// windows of a thread that has ended take sends on the sender's thread.
#include <atomic>
#include <future>
#include <thread>

#include "ui_control.h"
#include "ui_test_module.h"

namespace emu::testing {
namespace {

constexpr UINT kAsk = WM_APP + 1;
constexpr UINT kNote = WM_APP + 2;

struct Seen {
    std::atomic<int> asks{0};
    std::atomic<int> notes{0};
    std::thread::id thread;  // of the last message, written on the window's thread
};
Seen* g_seen = nullptr;

LRESULT CALLBACK RecordingProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kAsk || message == kNote) {
        g_seen->thread = std::this_thread::get_id();
        (message == kAsk ? g_seen->asks : g_seen->notes)++;
        return static_cast<LRESULT>(wParam) * 2;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class MessageQueueTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        g_seen = &m_seen;
    }
    HWND MakeWindow()
    {
        HWND window = CreateWindowExW(0, u"Recorder", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProcedure));
        return window;
    }
    Seen m_seen;
};

TEST_F(MessageQueueTest, ASendFromAnotherThreadWaitsForTheOwnerAndRunsThere)
{
    HWND window = MakeWindow();
    std::future<LRESULT> sent = std::async(std::launch::async, [&] {
        PostMessageW(window, kNote, 0, 0);
        return SendMessageW(window, kAsk, 21, 0);
    });
    // Nothing runs until this thread takes its messages.
    EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    EXPECT_EQ(m_seen.asks, 0);
    EXPECT_TRUE(ui::WaitUntil([&] {
        ui::DispatchPostedMessages();
        return m_seen.asks == 1 && m_seen.notes == 1;
    }));
    EXPECT_EQ(sent.get(), 42);
    EXPECT_EQ(m_seen.thread, std::this_thread::get_id());
    DestroyWindow(window);
}

TEST_F(MessageQueueTest, TheWindowsOfAThreadThatEndedTakeSendsOnTheSendersThread)
{
    HWND window = nullptr;
    std::thread([&] { window = MakeWindow(); }).join();
    EXPECT_EQ(SendMessageW(window, kAsk, 5, 0), 10);
    EXPECT_EQ(m_seen.thread, std::this_thread::get_id());
    EXPECT_TRUE(IsWindow(window));
    DestroyWindow(window);
    EXPECT_EQ(SendMessageW(window, kAsk, 5, 0), 0) << "a window that is gone";
    EXPECT_FALSE(PostMessageW(window, kNote, 0, 0));
}

TEST_F(MessageQueueTest, ProgressBarsStepThroughTheirRangeAndStartAgainFromItsLowEndPastItsHighEnd)
{
    HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    struct Case {
        LPARAM range;
        int step, steps, pos;
    };
    for (const Case& c : {Case{MAKELPARAM(0, 3), 1, 3, 3}, Case{MAKELPARAM(0, 3), 1, 4, 0}, Case{MAKELPARAM(1, 6), 1, 6, 1},
                          Case{MAKELPARAM(0, 1), 1, 1, 1}}) {
        SendMessageW(bar, PBM_SETRANGE, 0, c.range);
        SendMessageW(bar, PBM_SETPOS, LOWORD(c.range), 0);
        SendMessageW(bar, PBM_SETSTEP, c.step, 0);
        for (int step = 0; step < c.steps; ++step) SendMessageW(bar, PBM_STEPIT, 0, 0);
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), c.pos) << LOWORD(c.range) << ".." << HIWORD(c.range) << " x" << c.steps;
    }
    EXPECT_EQ(ui::Progress(bar).steps, 14u);
    DestroyWindow(bar);
}

}  // namespace
}  // namespace emu::testing
