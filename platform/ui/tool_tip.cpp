// The tool tip: its tools (a window each), its title and icon, its width and delays. Nothing is
// shown: a test hovers over a tool and reads what the tip would show.
#include <algorithm>
#include <utility>

#include "window.h"

namespace emu::ui {

namespace {

LRESULT AddTool(Window* window, const TOOLINFOW* info)
{
    if (!info) return FALSE;
    ToolTipTool tool;
    tool.flags = info->uFlags;
    tool.owner = info->hwnd;
    tool.id = info->uId;
    tool.callback = info->lpszText == LPSTR_TEXTCALLBACKW;
    if (!tool.callback && info->lpszText && !IS_INTRESOURCE(info->lpszText)) tool.text = info->lpszText;
    window->control.tools.push_back(tool);
    return TRUE;
}

}  // namespace

LRESULT CALLBACK ToolTipProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    ControlState& state = window->control;
    switch (message) {
    case TTM_ADDTOOLW: return AddTool(window, reinterpret_cast<const TOOLINFOW*>(lParam));
    case TTM_GETTOOLCOUNT: return static_cast<LRESULT>(state.tools.size());
    case TTM_ACTIVATE: state.active = wParam != 0; return 0;
    case TTM_SETDELAYTIME: state.delays[static_cast<int>(wParam)] = static_cast<int>(LOWORD(lParam)); return 0;
    case TTM_SETMAXTIPWIDTH: return std::exchange(state.maxTipWidth, static_cast<int>(lParam));
    case TTM_GETMAXTIPWIDTH: return state.maxTipWidth;
    case TTM_SETTITLEW:
        state.icon = static_cast<int>(wParam);
        state.title = lParam ? reinterpret_cast<LPCWSTR>(lParam) : u"";
        return TRUE;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace emu::ui
