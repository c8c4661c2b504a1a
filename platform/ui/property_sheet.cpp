// Property-sheet pages, the sheet and PropertySheetW.
#include "property_sheet.h"

#include <cstring>
#include <memory>
#include <utility>

#include "resources.h"
#include "ui_records.h"
#include "window.h"

// A page: the caller's PROPSHEETPAGEW copied whole (its dwSize bytes, extra data included).
struct _PSP {
    std::unique_ptr<uint64_t[]> storage;
    bool released = false;

    PROPSHEETPAGEW* Page() { return reinterpret_cast<PROPSHEETPAGEW*>(storage.get()); }
};

namespace emu::ui {

namespace {

void Release(HPROPSHEETPAGE page)
{
    PROPSHEETPAGEW* psp = page->Page();
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback) psp->pfnCallback(nullptr, PSPCB_RELEASE, psp);
    delete page;
}

bool IsSheetMessage(UINT message)
{
    return (message >= PSM_SETCURSEL && message <= PSM_SETFINISHTEXTW) || message == WM_COMMAND || message == WM_CLOSE ||
           message == WM_INITDIALOG;
}

LRESULT CALLBACK SheetProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* sheet = reinterpret_cast<PropertySheet*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (sheet && IsSheetMessage(message)) return sheet->OnSheetMessage(message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The template id a page was made from.
WORD TemplateOf(HPROPSHEETPAGE page)
{
    const LPCWSTR name = page->Page()->pszTemplate;
    return IS_INTRESOURCE(name) ? static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)) : 0;
}

struct WizardButton {
    int id;
    LPCWSTR text;
};
const WizardButton kWizardButtons[] = {
    {ID_WIZBACK, u"< &Back"}, {ID_WIZNEXT, u"&Next >"}, {ID_WIZFINISH, u"Finish"}, {IDCANCEL, u"Cancel"}, {IDHELP, u"Help"},
};

}  // namespace

PropertySheet::PropertySheet(std::vector<HPROPSHEETPAGE> pages, HWND owner, std::u16string caption, DWORD flags,
                             size_t startPage)
    : m_pages(std::move(pages)), m_windows(m_pages.size()), m_caption(std::move(caption)), m_flags(flags),
      m_start(startPage)
{
    m_window = CreateWindowExW(0, u"PropertySheet", m_caption.c_str(), WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, owner, nullptr,
                               nullptr, nullptr);
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SheetProcedure));
    m_previousActive = std::exchange(Windows().active, m_window);
    if (IsWizard()) CreateWizardButtons();
}

bool PropertySheet::IsWizard() const { return (m_flags & (PSH_WIZARD | PSH_WIZARD97)) != 0; }

void PropertySheet::CreateWizardButtons()
{
    for (const WizardButton& button : kWizardButtons)
        CreateWindowExW(0, u"Button", button.text, WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 0, 0, m_window,
                        reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(button.id)), nullptr, nullptr);
    SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
}

// Back is enabled or not; Finish (enabled or greyed) takes Next's place when asked for.
void PropertySheet::SetWizardButtons(DWORD buttons)
{
    const bool finish = (buttons & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) != 0;
    EnableWindow(GetDlgItem(m_window, ID_WIZBACK), (buttons & PSWIZB_BACK) != 0);
    ShowWindow(GetDlgItem(m_window, ID_WIZNEXT), finish ? SW_HIDE : SW_SHOW);
    EnableWindow(GetDlgItem(m_window, ID_WIZNEXT), (buttons & PSWIZB_NEXT) != 0);
    ShowWindow(GetDlgItem(m_window, ID_WIZFINISH), finish ? SW_SHOW : SW_HIDE);
    EnableWindow(GetDlgItem(m_window, ID_WIZFINISH), (buttons & PSWIZB_FINISH) != 0);
}

PropertySheet::~PropertySheet()
{
    if (m_open) Abandon();
}

void PropertySheet::Abandon() { Close(0); }

std::u16string PropertySheet::PageTitle(size_t index) const
{
    PROPSHEETPAGEW* psp = m_pages.at(index)->Page();
    if ((psp->dwFlags & PSP_USETITLE) && psp->pszTitle) {
        if (!IS_INTRESOURCE(psp->pszTitle)) return psp->pszTitle;
        LPCWSTR text = FindString(psp->hInstance, static_cast<UINT>(reinterpret_cast<ULONG_PTR>(psp->pszTitle)));
        return text ? text : u"";
    }
    const RESOURCE_DIALOG* dialog = FindDialog(psp->hInstance, psp->pszTemplate);
    return dialog && dialog->caption ? dialog->caption : u"";
}

HWND PropertySheet::PageWindow(size_t index) const { return index < m_windows.size() ? m_windows[index] : nullptr; }

LRESULT PropertySheet::Notify(size_t index, UINT code, LPARAM lParam)
{
    PSHNOTIFY notify{{m_window, 0, code}, lParam};
    return SendMessageW(m_windows[index], WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

bool PropertySheet::Activate(size_t index)
{
    if (!m_open || index >= m_pages.size()) return false;
    if (m_active >= 0 && static_cast<size_t>(m_active) != index && Notify(m_active, PSN_KILLACTIVE, 0)) return false;
    if (!m_windows[index]) {
        PROPSHEETPAGEW* psp = m_pages[index]->Page();
        if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback && !psp->pfnCallback(nullptr, PSPCB_CREATE, psp))
            return false;
        m_windows[index] = CreateDialogParamW(psp->hInstance, psp->pszTemplate, m_window, psp->pfnDlgProc,
                                              reinterpret_cast<LPARAM>(psp));
        if (!m_windows[index]) return false;
    }
    if (m_active >= 0 && static_cast<size_t>(m_active) != index) ShowWindow(m_windows[m_active], SW_HIDE);
    m_active = static_cast<int>(index);
    ShowWindow(m_windows[index], SW_SHOW);
    Notify(index, PSN_SETACTIVE, 0);
    return true;
}

bool PropertySheet::ApplyAll(BOOL closing)
{
    if (m_active >= 0 && Notify(m_active, PSN_KILLACTIVE, 0)) return false;
    for (size_t index = 0; index < m_pages.size(); ++index) {
        if (!m_windows[index]) continue;
        const LRESULT answer = Notify(index, PSN_APPLY, closing);
        if (answer == PSNRET_INVALID) {
            Activate(index);
            return false;
        }
        if (answer == PSNRET_INVALID_NOCHANGEPAGE) return false;
    }
    m_changed = false;
    return true;
}

bool PropertySheet::PressOk()
{
    if (!m_open || !ApplyAll(TRUE)) return false;
    Close(IDOK);
    return true;
}

bool PropertySheet::PressApply() { return m_open && ApplyAll(FALSE); }

bool PropertySheet::PressCancel()
{
    if (!m_open) return false;
    if (m_active >= 0 && Notify(m_active, PSN_QUERYCANCEL, 0)) return false;
    for (size_t index = 0; m_open && index < m_pages.size(); ++index)
        if (m_windows[index]) Notify(index, PSN_RESET, 0);
    if (m_open) Close(IsWizard() ? IDCANCEL : 0);
    return true;
}

bool PropertySheet::MoveBy(UINT code, int direction)
{
    if (!m_open || m_active < 0) return false;
    const LRESULT answer = Notify(m_active, code, 0);
    if (answer == -1 || !m_open) return false;
    int target = m_active + direction;
    if (answer != 0) {
        target = -1;
        for (size_t index = 0; index < m_pages.size(); ++index)
            if (TemplateOf(m_pages[index]) == answer) target = static_cast<int>(index);
    }
    if (target < 0 || static_cast<size_t>(target) >= m_pages.size()) return false;
    return Activate(target);
}

bool PropertySheet::PressNext() { return MoveBy(PSN_WIZNEXT, +1); }
bool PropertySheet::PressBack() { return MoveBy(PSN_WIZBACK, -1); }

bool PropertySheet::PressFinish()
{
    if (!m_open) return false;
    if (m_active >= 0 && Notify(m_active, PSN_WIZFINISH, 0)) return false;
    if (!m_open) return true;
    Close(ID_WIZFINISH);
    return true;
}

LRESULT PropertySheet::PressButton(int button)
{
    switch (button) {
    case PSBTN_BACK: return PressBack();
    case PSBTN_NEXT: return PressNext();
    case PSBTN_FINISH: return PressFinish();
    case PSBTN_OK: return PressOk();
    case PSBTN_APPLYNOW: return PressApply();
    case PSBTN_CANCEL: return PressCancel();
    default: return FALSE;
    }
}

// A click on a wizard button, from the button (WM_COMMAND): only an enabled button sends it.
LRESULT PropertySheet::OnCommand(WORD id)
{
    switch (id) {
    case ID_WIZBACK: return PressBack();
    case ID_WIZNEXT: return PressNext();
    case ID_WIZFINISH: return PressFinish();
    case IDCANCEL: return PressCancel();
    default: return 0;
    }
}

void PropertySheet::Close(int result)
{
    m_open = false;
    m_result = result;
    for (HWND& page : m_windows)
        if (page) DestroyWindow(std::exchange(page, nullptr));
    DestroyWindow(m_window);
    Windows().active = IsWindow(m_previousActive) ? m_previousActive : nullptr;
    for (HPROPSHEETPAGE page : m_pages) Release(page);
    m_pages.clear();
    m_windows.clear();
}

LRESULT PropertySheet::OnSheetMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case PSM_CHANGED: m_changed = true; return TRUE;
    case PSM_UNCHANGED: m_changed = false; return TRUE;
    case PSM_SETCURSEL: return Activate(wParam);
    case PSM_GETCURRENTPAGEHWND: return reinterpret_cast<LRESULT>(m_open && m_active >= 0 ? m_windows[m_active] : nullptr);
    case PSM_SETWIZBUTTONS:
        if (m_open && IsWizard()) SetWizardButtons(static_cast<DWORD>(lParam));
        return 0;
    case PSM_PRESSBUTTON: return m_open ? PressButton(static_cast<int>(wParam)) : FALSE;
    case PSM_SETTITLEW:
        if (lParam && !IS_INTRESOURCE(lParam)) SetWindowTextW(m_window, reinterpret_cast<LPCWSTR>(lParam));
        return 0;
    case WM_INITDIALOG:
        // The sheet's start: its first page (the program's sheet; PropertySheetW activates its own).
        if (m_open && m_active < 0 && !m_pages.empty()) Activate(m_start < m_pages.size() ? m_start : 0);
        return TRUE;
    case WM_COMMAND: return m_open && HIWORD(wParam) == BN_CLICKED ? OnCommand(LOWORD(wParam)) : 0;
    case WM_CLOSE: return m_open && PressCancel();
    default: return 0;
    }
}

void ScriptNextModalSheet(std::function<void(PropertySheet&)> script)
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    records.sheetScripts.push_back(std::move(script));
}

size_t UnscriptedModalSheets()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.unscriptedSheets;
}

}  // namespace emu::ui

extern "C" HPROPSHEETPAGE CreatePropertySheetPageW(LPCPROPSHEETPAGEW constPropSheetPagePointer)
{
    if (!constPropSheetPagePointer || constPropSheetPagePointer->dwSize < sizeof(PROPSHEETPAGEW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD size = constPropSheetPagePointer->dwSize;
    auto* page = new _PSP;
    page->storage.reset(new uint64_t[(size + 7) / 8]());
    std::memcpy(page->storage.get(), constPropSheetPagePointer, size);
    PROPSHEETPAGEW* psp = page->Page();
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback) psp->pfnCallback(nullptr, PSPCB_ADDREF, psp);
    return page;
}

extern "C" BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page)
{
    if (!page) return FALSE;
    emu::ui::Release(page);
    return TRUE;
}

extern "C" INT_PTR PropertySheetW(LPCPROPSHEETHEADERW header)
{
    if (!header) return -1;
    std::vector<HPROPSHEETPAGE> pages;
    for (UINT index = 0; index < header->nPages; ++index) {
        if (!(header->dwFlags & PSH_PROPSHEETPAGE)) {
            pages.push_back(header->phpage[index]);
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(header->ppsp);
        size_t offset = 0;
        for (UINT before = 0; before < index; ++before)
            offset += reinterpret_cast<LPCPROPSHEETPAGEW>(bytes + offset)->dwSize;
        pages.push_back(CreatePropertySheetPageW(reinterpret_cast<LPCPROPSHEETPAGEW>(bytes + offset)));
    }
    emu::ui::PropertySheet sheet(std::move(pages), header->hwndParent, header->pszCaption ? header->pszCaption : u"",
                                 header->dwFlags);
    if ((header->dwFlags & PSH_USECALLBACK) && header->pfnCallback) header->pfnCallback(sheet.Window(), PSCB_INITIALIZED, 0);
    std::function<void(emu::ui::PropertySheet&)> script;
    {
        emu::ui::UiRecords& records = emu::ui::Records();
        std::lock_guard lock(records.mutex);
        if (!records.sheetScripts.empty()) {
            script = std::move(records.sheetScripts.front());
            records.sheetScripts.pop_front();
        } else {
            ++records.unscriptedSheets;
        }
    }
    sheet.Activate(header->nStartPage < sheet.PageCount() ? header->nStartPage : 0);
    if (script) script(sheet);
    if (sheet.IsOpen()) sheet.PressCancel();
    if (sheet.IsOpen()) sheet.Abandon();
    return sheet.Result();
}
