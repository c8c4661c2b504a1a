// CPageChrome: what every settings page of the advanced sheet shows around its values: the
// background brush, the tool tips of its controls and its help (the page's topic and the
// text popups of its controls).
#pragma once

#include <atlctrls.h>
#include <atlstr.h>
#include <wingdi.h>

// A control id and the string id of its text (a label's text or a tool tip's).
struct CControlText {
    int nId;
    UINT nString;
};

class CPageChrome {
public:
    CPageChrome() = default;
    ~CPageChrome();
    CPageChrome(const CPageChrome&) = delete;
    CPageChrome& operator=(const CPageChrome&) = delete;

    // At the page's initialisation: the brush, and a tool for each control of the tip table.
    void Create(HWND hPage, const CControlText* pTips, size_t nTips);
    // At the page's destruction.
    void Destroy();
    // The page's WM_CTLCOLORDLG and WM_CTLCOLORSTATIC.
    LRESULT Colour(UINT uMsg, WPARAM wParam) const;
    // TTN_GETDISPINFOW: the text of the tool's control from the tip table.
    void TipText(LPNMHDR pnmh) const;
    // The help button: the topic (a format with one %s for the help file) in HTML Help.
    static void ShowTopic(HWND hPage, LPCWSTR pszTopicFormat);
    // WM_HELP on a control: its text popup when the id table (pairs ended by 0, 0) lists it.
    static void ContextHelp(LPARAM lParam, const DWORD* pdwHelpIds);
    // Sets each control's text from the string table.
    static void SetTexts(HWND hPage, const CControlText* pTexts, size_t nTexts);

private:
    HBRUSH m_hBrush = nullptr;
    CToolTipCtrl m_ToolTip;
    const CControlText* m_pTips = nullptr;
    size_t m_nTips = 0;
};
