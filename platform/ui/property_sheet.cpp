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

LRESULT CALLBACK SheetProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* sheet = reinterpret_cast<PropertySheet*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (sheet && message >= PSM_SETCURSEL && message <= PSM_GETCURRENTPAGEHWND) return sheet->OnSheetMessage(message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

PropertySheet::PropertySheet(std::vector<HPROPSHEETPAGE> pages, HWND owner, std::u16string caption, DWORD flags)
    : m_pages(std::move(pages)), m_windows(m_pages.size()), m_caption(std::move(caption)), m_flags(flags)
{
    m_window = CreateWindowExW(0, u"PropertySheet", m_caption.c_str(), WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, owner, nullptr,
                               nullptr, nullptr);
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SheetProcedure));
    m_previousActive = std::exchange(Windows().active, m_window);
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
    for (size_t index = 0; index < m_pages.size(); ++index)
        if (m_windows[index]) Notify(index, PSN_RESET, 0);
    Close(0);
    return true;
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
    case PSM_GETCURRENTPAGEHWND: return reinterpret_cast<LRESULT>(m_active >= 0 ? m_windows[m_active] : nullptr);
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
