// The headless window system's windows: one record a HWND, with the state of the standard
// control it is, and the machine's table of live windows, focus and posted messages.
#pragma once

#include <commctrl.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    WNDPROC proc = nullptr;
    DLGPROC dialogProc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR msgResult = 0;
    LONG_PTR dialogUser = 0;
    ControlState control;

    HWND Handle() { return reinterpret_cast<HWND>(this); }
};

struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class WindowTable {
public:
    Window* Create();
    void Forget(Window* window);
    // The live window of a handle, or null (ERROR_INVALID_WINDOW_HANDLE is set).
    Window* Find(HWND handle);
    size_t LiveCount();
    std::vector<Window*> All();  // in no particular order

    void Post(const PostedMessage& message);
    bool TakePosted(PostedMessage& message);

    HWND focus = nullptr;
    HWND active = nullptr;

private:
    std::mutex m_mutex;
    std::map<Window*, std::unique_ptr<Window>> m_windows;
    std::deque<PostedMessage> m_posted;
};

WindowTable& Windows();
// The procedure of a standard window class, or DefWindowProcW for an unknown class.
WNDPROC ClassProcedure(std::u16string_view className);
// Sends WM_COMMAND with a notification code from a control to its parent.
void NotifyParent(Window* control, WORD code);

LRESULT CALLBACK ButtonProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboBoxProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK TrackBarProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ToolTipProcedure(HWND, UINT, WPARAM, LPARAM);

}  // namespace emu::ui
