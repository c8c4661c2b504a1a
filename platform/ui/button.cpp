// The Button class: push buttons, check boxes, radio buttons and group boxes. A click on an enabled
// button toggles an auto check box or selects an auto radio button (clearing the others of its
// group), then tells the parent BN_CLICKED.
#include <algorithm>

#include "window.h"

namespace emu::ui {

namespace {

DWORD Kind(const Window* window) { return window->style & BS_TYPEMASK; }

// Clears the other auto radio buttons of the group: from the control that starts it (WS_GROUP)
// to the one before the next start.
void ClearGroup(Window* chosen)
{
    if (!chosen->parent) return;
    auto& siblings = chosen->parent->children;
    auto self = std::find(siblings.begin(), siblings.end(), chosen);
    auto first = self;
    while (first != siblings.begin() && !((*first)->style & WS_GROUP)) --first;
    for (auto it = first; it != siblings.end(); ++it) {
        if (it != first && ((*it)->style & WS_GROUP)) break;
        if (*it != chosen && Kind(*it) == BS_AUTORADIOBUTTON) (*it)->control.check = BST_UNCHECKED;
    }
}

void Click(Window* window)
{
    if (!window->enabled) return;
    switch (Kind(window)) {
    case BS_AUTOCHECKBOX: window->control.check = window->control.check ? BST_UNCHECKED : BST_CHECKED; break;
    case BS_AUTORADIOBUTTON:
        window->control.check = BST_CHECKED;
        ClearGroup(window);
        break;
    default: break;
    }
    NotifyParent(window, BN_CLICKED);
}

}  // namespace

LRESULT CALLBACK ButtonProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    switch (message) {
    case BM_GETCHECK: return window->control.check;
    case BM_SETCHECK: window->control.check = static_cast<UINT>(wParam); return 0;
    case BM_CLICK: Click(window); return 0;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace emu::ui
