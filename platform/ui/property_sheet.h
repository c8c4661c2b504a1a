// A property sheet: its pages, each created on its first activation from its dialog template, and
// the notifications Windows sends them. Device Manager's sheet is one a test makes from the pages a
// provider added; PropertySheetW makes one, runs the test's script on it and returns its result.
//
// OK: PSN_KILLACTIVE to the active page (TRUE keeps it), then PSN_APPLY (lParam TRUE) to every
// created page in page order; PSNRET_INVALID activates the refusing page and keeps the sheet open,
// PSNRET_INVALID_NOCHANGEPAGE only keeps it open; when all accept the sheet closes with IDOK.
// Apply: the same with lParam FALSE, and the sheet stays. Cancel: PSN_QUERYCANCEL to the active
// page (TRUE keeps the sheet), then PSN_RESET to every created page, and the sheet closes.
// Closing destroys the page windows, then releases every page (PSPCB_RELEASE).
//
// A wizard (PSH_WIZARD or PSH_WIZARD97) has the buttons Back, Next, Finish, Cancel and Help as
// children of the sheet, set by PSM_SETWIZBUTTONS; a click on one of them and PSM_PRESSBUTTON press
// them (the message whatever the button's state). Next: PSN_WIZNEXT to the active page (-1 stays,
// a template id goes to that page, 0 to the next one), then the page change (PSN_KILLACTIVE, the
// new page made on its first activation, PSN_SETACTIVE); Back the same with PSN_WIZBACK. Finish:
// PSN_WIZFINISH (non-zero stays), then the sheet closes with ID_WIZFINISH. Cancel closes with
// IDCANCEL. The Close command of the sheet's system menu is Cancel.
#pragma once

#include <prsht.h>

#include <string>
#include <vector>

namespace emu::ui {

class PropertySheet {
public:
    PropertySheet(std::vector<HPROPSHEETPAGE> pages, HWND owner = nullptr, std::u16string caption = {}, DWORD flags = 0,
                  size_t startPage = 0);
    ~PropertySheet();  // abandons a sheet still open
    PropertySheet(const PropertySheet&) = delete;
    PropertySheet& operator=(const PropertySheet&) = delete;

    HWND Window() const { return m_window; }
    const std::u16string& Caption() const { return m_caption; }
    DWORD Flags() const { return m_flags; }
    size_t PageCount() const { return m_pages.size(); }
    std::u16string PageTitle(size_t index) const;
    HWND PageWindow(size_t index) const;  // null until the page was first activated
    int ActivePage() const { return m_active; }
    bool IsOpen() const { return m_open; }
    int Result() const { return m_result; }
    bool Changed() const { return m_changed; }

    // False when the active page refused to be left or the new page could not be made.
    bool Activate(size_t index);
    bool PressOk();     // true when the sheet closed
    bool PressApply();  // true when every created page accepted
    bool PressCancel(); // true when the sheet closed
    bool IsWizard() const;
    bool PressNext();    // true when another page became active
    bool PressBack();
    bool PressFinish();  // true when the sheet closed
    // Closes the sheet with `result` without asking its pages (the program ended the dialog).
    void End(int result) { if (m_open) Close(result); }
    // Closes the sheet without telling its pages (a user killing the program).
    void Abandon();
    // The sheet window's messages from its pages (PSM_CHANGED and the rest).
    LRESULT OnSheetMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    LRESULT Notify(size_t index, UINT code, LPARAM lParam);
    void CreateWizardButtons();
    void SetWizardButtons(DWORD buttons);
    LRESULT PressButton(int button);
    bool MoveBy(UINT code, int direction);
    LRESULT OnCommand(WORD id);
    bool ApplyAll(BOOL closing);
    void Close(int result);

    std::vector<HPROPSHEETPAGE> m_pages;
    std::vector<HWND> m_windows;
    HWND m_window = nullptr;
    HWND m_previousActive = nullptr;
    std::u16string m_caption;
    DWORD m_flags = 0;
    size_t m_start = 0;
    int m_active = -1;
    bool m_open = true;
    int m_result = 0;
    bool m_changed = false;
};

}  // namespace emu::ui
