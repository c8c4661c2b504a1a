// The ComboBox class: a list of texts with a value each and a selection. A drop-down combo box
// (CBS_DROPDOWN) has an edit child that holds its text; a drop-down list's text is the selected
// entry's.
#include <algorithm>
#include <cstring>

#include "rtl/rtl_text.h"
#include "window.h"

namespace emu::ui {

namespace {

constexpr int kEditId = 1001;

bool IsDropDown(const Window* window) { return (window->style & 3) == CBS_DROPDOWN || (window->style & 3) == CBS_SIMPLE; }

bool Valid(const Window* window, WPARAM index) { return index < window->control.items.size(); }

LRESULT Select(Window* window, WPARAM index)
{
    ControlState& state = window->control;
    state.selection = Valid(window, index) ? static_cast<int>(index) : CB_ERR;
    if (state.edit) SetWindowTextW(state.edit, state.selection == CB_ERR ? u"" : state.items[index].text.c_str());
    return state.selection;
}

LRESULT Insert(Window* window, WPARAM index, LPARAM text)
{
    auto& items = window->control.items;
    const size_t at = index == static_cast<WPARAM>(-1) || index > items.size() ? items.size() : index;
    items.insert(items.begin() + at, ComboItem{reinterpret_cast<LPCWSTR>(text), 0});
    if (window->control.selection >= static_cast<int>(at)) ++window->control.selection;
    return static_cast<LRESULT>(at);
}

LRESULT FindExact(Window* window, WPARAM start, LPARAM text)
{
    const auto& items = window->control.items;
    const std::u16string_view wanted(reinterpret_cast<LPCWSTR>(text));
    for (size_t n = 0; n < items.size(); ++n) {
        const size_t index = (start == static_cast<WPARAM>(-1) ? n : start + 1 + n) % items.size();
        if (EqualNoCase(items[index].text, wanted)) return static_cast<LRESULT>(index);
    }
    return CB_ERR;
}

LRESULT Text(Window* window, UINT message, WPARAM wParam, LPARAM lParam)
{
    ControlState& state = window->control;
    if (state.edit) return SendMessageW(state.edit, message, wParam, lParam);
    if (message == WM_SETTEXT) return TRUE;
    std::u16string selected = state.selection == CB_ERR ? std::u16string() : state.items[state.selection].text;
    if (message == WM_GETTEXTLENGTH) return static_cast<LRESULT>(selected.size());
    if (!lParam || wParam == 0) return 0;
    const size_t count = std::min<size_t>(selected.size(), wParam - 1);
    std::memcpy(reinterpret_cast<LPWSTR>(lParam), selected.data(), count * sizeof(WCHAR));
    reinterpret_cast<LPWSTR>(lParam)[count] = 0;
    return static_cast<LRESULT>(count);
}

LRESULT ListMessage(Window* window, UINT message, WPARAM wParam, LPARAM lParam)
{
    ControlState& state = window->control;
    switch (message) {
    case CB_ADDSTRING: return Insert(window, static_cast<WPARAM>(-1), lParam);
    case CB_INSERTSTRING: return Insert(window, wParam, lParam);
    case CB_DELETESTRING:
        if (!Valid(window, wParam)) return CB_ERR;
        state.items.erase(state.items.begin() + wParam);
        if (state.selection == static_cast<int>(wParam)) state.selection = CB_ERR;
        else if (state.selection > static_cast<int>(wParam)) --state.selection;
        return static_cast<LRESULT>(state.items.size());
    case CB_RESETCONTENT:
        state.items.clear();
        state.selection = CB_ERR;
        if (state.edit) SetWindowTextW(state.edit, u"");
        return CB_OKAY;
    case CB_GETCOUNT: return static_cast<LRESULT>(state.items.size());
    case CB_GETCURSEL: return state.selection;
    case CB_SETCURSEL: return Select(window, wParam);
    case CB_GETITEMDATA: return Valid(window, wParam) ? state.items[wParam].data : CB_ERR;
    case CB_SETITEMDATA:
        if (!Valid(window, wParam)) return CB_ERR;
        state.items[wParam].data = lParam;
        return CB_OKAY;
    case CB_GETLBTEXTLEN: return Valid(window, wParam) ? static_cast<LRESULT>(state.items[wParam].text.size()) : CB_ERR;
    case CB_GETLBTEXT:
        if (!Valid(window, wParam) || !lParam) return CB_ERR;
        std::memcpy(reinterpret_cast<LPWSTR>(lParam), state.items[wParam].text.c_str(),
                    (state.items[wParam].text.size() + 1) * sizeof(WCHAR));
        return static_cast<LRESULT>(state.items[wParam].text.size());
    case CB_FINDSTRINGEXACT: return FindExact(window, wParam, lParam);
    default: return CB_ERR;
    }
}

}  // namespace

LRESULT CALLBACK ComboBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    switch (message) {
    case WM_CREATE:
        if (IsDropDown(window))
            window->control.edit = CreateWindowExW(0, u"Edit", u"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0, 0, 0, 0, hwnd,
                                                   reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(kEditId)),
                                                   window->instance, nullptr);
        return 0;
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: return Text(window, message, wParam, lParam);
    case WM_COMMAND:
        // The user typed into the edit child.
        if (HIWORD(wParam) == EN_CHANGE && reinterpret_cast<HWND>(lParam) == window->control.edit) {
            window->control.selection = CB_ERR;
            NotifyParent(window, CBN_EDITCHANGE);
        }
        return 0;
    case CB_GETCOMBOBOXINFO: {
        auto* info = reinterpret_cast<PCOMBOBOXINFO>(lParam);
        if (!info || info->cbSize != sizeof(COMBOBOXINFO)) return FALSE;
        info->hwndCombo = hwnd;
        info->hwndItem = window->control.edit;
        info->hwndList = nullptr;
        return TRUE;
    }
    default:
        if (message >= CB_GETEDITSEL && message <= CB_GETCOMBOBOXINFO) return ListMessage(window, message, wParam, lParam);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace emu::ui

extern "C" BOOL GetComboBoxInfo(HWND hwndCombo, PCOMBOBOXINFO pcbi)
{
    return static_cast<BOOL>(SendMessageW(hwndCombo, CB_GETCOMBOBOXINFO, 0, reinterpret_cast<LPARAM>(pcbi)));
}
