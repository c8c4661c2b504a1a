// The headless window system's windows: one record a HWND, with the state of the standard
// control it is, and the machine's table of live windows and focus. A window's state is read and
// changed only on the thread that owns it: the calls from other threads are carried over (OnOwner).
#pragma once

#include <commctrl.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message_queue.h"

namespace emu::ui {

struct ComboItem {
    std::u16string text;
    LPARAM data = 0;
};

struct ToolTipTool {
    UINT flags = 0;
    HWND owner = nullptr;
    UINT_PTR id = 0;
    bool callback = false;  // LPSTR_TEXTCALLBACKW
    std::u16string text;
};

// What the standard controls keep; each control uses its own part.
struct ControlState {
    UINT check = BST_UNCHECKED;                 // Button
    std::vector<ComboItem> items;               // ComboBox
    int selection = CB_ERR;
    HWND edit = nullptr;                        // CBS_DROPDOWN's edit child
    int rangeMin = 0, rangeMax = 100, pos = 0;  // track bar
    std::vector<ToolTipTool> tools;             // tool tip
    std::u16string title;
    int icon = TTI_NONE;
    int maxTipWidth = -1;
    std::map<int, int> delays;
    bool active = true;
    int progressLow = 0, progressHigh = 100, progressStep = 10;  // progress bar
    int progressPos = 0;
    size_t progressSteps = 0;  // PBM_STEPIT received
    UINT_PTR animation = 0;    // animation: the clip opened (a resource id), 0 for none
    bool playing = false;
};

struct Window {
    std::u16string className;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::u16string text;
    int id = 0;
    HINSTANCE instance = nullptr;
    Window* parent = nullptr;
    HWND owner = nullptr;
    std::vector<Window*> children;
    bool enabled = true;
    bool visible = false;
    bool minimized = false;
    WNDPROC proc = nullptr;
    DLGPROC dialogProc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR msgResult = 0;
    LONG_PTR dialogUser = 0;
    HFONT font = nullptr;        // WM_SETFONT's
    WORD templateId = 0;        // the dialog template it was made from
    bool closeRemoved = false;  // SC_CLOSE deleted from the system menu
    ControlState control;
    std::shared_ptr<ThreadQueue> queue;  // the owning thread's

    HWND Handle() { return reinterpret_cast<HWND>(this); }
};

class WindowTable {
public:
    // A window of the calling thread.
    Window* Create();
    void Forget(Window* window);
    // The live window of a handle, or null (ERROR_INVALID_WINDOW_HANDLE is set).
    Window* Find(HWND handle);
    size_t LiveCount();
    std::vector<Window*> All();  // in no particular order

    // The queue of the thread that owns a live window, or null.
    std::shared_ptr<ThreadQueue> QueueOf(HWND handle);

    HWND focus = nullptr;
    HWND active = nullptr;

private:
    std::mutex m_mutex;
    std::map<Window*, std::unique_ptr<Window>> m_windows;
};

WindowTable& Windows();
// The procedure of a standard window class, or DefWindowProcW for an unknown class.
WNDPROC ClassProcedure(std::u16string_view className);
// Carries out `call` on the thread that owns `window` and returns its result (the result type's
// zero when the window is gone).
template <class Call>
auto OnOwner(HWND window, Call call) -> decltype(call())
{
    decltype(call()) result{};
    OnOwnerThread(window, [&]() -> LRESULT {
        result = call();
        return 0;
    });
    return result;
}

// Sends WM_COMMAND with a notification code from a control to its parent.
void NotifyParent(Window* control, WORD code);

LRESULT CALLBACK ButtonProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboBoxProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK TrackBarProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ToolTipProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ProgressProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK AnimateProcedure(HWND, UINT, WPARAM, LPARAM);

}  // namespace emu::ui
