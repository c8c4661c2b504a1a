// CPageChrome: what every settings page of the advanced sheet shows around its values: the
// background brush, the tool tips of its controls and its help (the page's topic and the
// text popups of its controls). CChromedPageImpl: a property page with it, answering the colour,
// tool-tip and context-help messages from its tip and help tables.
#pragma once

#include <atlctrls.h>
#include <atldlgs.h>
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
    void SetTipTitle(UINT nIcon, LPCWSTR pszTitle) { m_ToolTip.SetTitle(nIcon, pszTitle); }
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

template <class T>
class CChromedPageImpl : public CPropertyPageImpl<T> {
public:
    // The tables live as long as the page: the tip texts and the control-to-topic pairs.
    CChromedPageImpl(const CControlText* pTips, size_t nTips, const DWORD* pdwHelpIds)
        : m_pTips(pTips), m_nTips(nTips), m_pdwHelpIds(pdwHelpIds)
    {
    }

    BEGIN_MSG_MAP(CChromedPageImpl)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnColour)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnColour)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    CHAIN_MSG_MAP(CPropertyPageImpl<T>)
    END_MSG_MAP()

protected:
    // At the page's initialisation.
    void CreateChrome() { m_Chrome.Create(this->m_hWnd, m_pTips, m_nTips); }

private:
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
    {
        m_Chrome.Destroy();
        bHandled = FALSE;
        return 0;
    }
    LRESULT OnHelp(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        CPageChrome::ContextHelp(lParam, m_pdwHelpIds);
        return TRUE;
    }
    LRESULT OnColour(UINT uMsg, WPARAM wParam, LPARAM, BOOL&) { return m_Chrome.Colour(uMsg, wParam); }
    LRESULT OnToolTipText(int, LPNMHDR pnmh, BOOL&)
    {
        m_Chrome.TipText(pnmh);
        return 0;
    }

    const CControlText* m_pTips;
    size_t m_nTips;
    const DWORD* m_pdwHelpIds;
    CPageChrome m_Chrome;
};
