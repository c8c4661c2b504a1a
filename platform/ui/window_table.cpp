// The machine's table of live windows.
#include "window.h"

#include "machine_state.h"
#include "rtl/rtl_text.h"

namespace emu::ui {

namespace {

win32::PerMachine<WindowTable> g_windows;

}  // namespace

WindowTable& Windows() { return g_windows.Get(); }

Window* WindowTable::Create()
{
    auto window = std::make_unique<Window>();
    window->queue = ThreadQueue::Current();
    Window* raw = window.get();
    std::lock_guard lock(m_mutex);
    m_windows[raw] = std::move(window);
    return raw;
}

void WindowTable::Forget(Window* window)
{
    std::lock_guard lock(m_mutex);
    m_windows.erase(window);
    if (focus == window->Handle()) focus = nullptr;
    if (active == window->Handle()) active = nullptr;
}

Window* WindowTable::Find(HWND handle)
{
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(reinterpret_cast<Window*>(handle));
    if (it == m_windows.end()) {
        SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
        return nullptr;
    }
    return it->second.get();
}

size_t WindowTable::LiveCount()
{
    std::lock_guard lock(m_mutex);
    return m_windows.size();
}

std::vector<Window*> WindowTable::All()
{
    std::lock_guard lock(m_mutex);
    std::vector<Window*> all;
    for (auto& entry : m_windows) all.push_back(entry.first);
    return all;
}

std::shared_ptr<ThreadQueue> WindowTable::QueueOf(HWND handle)
{
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(reinterpret_cast<Window*>(handle));
    if (it == m_windows.end()) {
        SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
        return nullptr;
    }
    return it->second->queue;
}

WNDPROC ClassProcedure(std::u16string_view className)
{
    struct Entry {
        std::u16string_view name;
        WNDPROC proc;
    };
    static const Entry kClasses[] = {
        {u"Button", ButtonProcedure},
        {u"ComboBox", ComboBoxProcedure},
        {u"msctls_trackbar32", TrackBarProcedure},
        {u"tooltips_class32", ToolTipProcedure},
        {u"msctls_progress32", ProgressProcedure},
        {u"SysAnimate32", AnimateProcedure},
        {u"#32770", DefDlgProcW},
    };
    for (const Entry& entry : kClasses)
        if (EqualNoCase(entry.name, className)) return entry.proc;
    return DefWindowProcW;
}

void NotifyParent(Window* control, WORD code)
{
    if (!control->parent) return;
    SendMessageW(control->parent->Handle(), WM_COMMAND, MAKEWPARAM(control->id, code),
                 reinterpret_cast<LPARAM>(control->Handle()));
}

}  // namespace emu::ui
