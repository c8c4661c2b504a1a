// The brush, tool tips and help of the advanced sheet's pages.
#include "pagechrome.h"

#include <htmlhelp.h>

#include "portpanelmodule.h"

namespace {

const WCHAR HELP_FILE[] = u"Portpanel39.chm";

}  // namespace

CPageChrome::~CPageChrome() { Destroy(); }

void CPageChrome::Create(HWND hPage, const CControlText* pTips, size_t nTips)
{
    m_hBrush = CreateSolidBrush(RGB(248, 247, 246));
    m_pTips = pTips;
    m_nTips = nTips;
    m_ToolTip.Create(hPage);
    m_ToolTip.SetMaxTipWidth(400);
    m_ToolTip.SetTitle(TTI_INFO, u"Information:");
    m_ToolTip.SetDelayTime(TTDT_INITIAL, 1000);
    m_ToolTip.SetDelayTime(TTDT_RESHOW, 2000);
    m_ToolTip.SetDelayTime(TTDT_AUTOPOP, 30000);
    for (size_t i = 0; i < nTips; ++i) {
        TOOLINFOW Tool = {};
        Tool.cbSize = sizeof(Tool);
        Tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        Tool.hwnd = hPage;
        Tool.uId = reinterpret_cast<UINT_PTR>(::GetDlgItem(hPage, pTips[i].nId));
        Tool.lpszText = LPSTR_TEXTCALLBACKW;
        m_ToolTip.AddTool(&Tool);
    }
    m_ToolTip.Activate(TRUE);
}

void CPageChrome::Destroy()
{
    if (m_hBrush) DeleteObject(m_hBrush);
    m_hBrush = nullptr;
}

LRESULT CPageChrome::Colour(UINT uMsg, WPARAM wParam) const
{
    if (uMsg == WM_CTLCOLORSTATIC) SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(m_hBrush);
}

void CPageChrome::TipText(LPNMHDR pnmh) const
{
    auto* pInfo = reinterpret_cast<NMTTDISPINFOW*>(pnmh);
    const int nId = ::GetDlgCtrlID(reinterpret_cast<HWND>(pnmh->idFrom));
    for (size_t i = 0; i < m_nTips; ++i) {
        if (m_pTips[i].nId != nId) continue;
        pInfo->hinst = PortpanelInstance();
        pInfo->lpszText = MAKEINTRESOURCEW(m_pTips[i].nString);
        return;
    }
}

void CPageChrome::ShowTopic(HWND hPage, LPCWSTR pszTopicFormat)
{
    CString strTopic;
    strTopic.Format(pszTopicFormat, HELP_FILE);
    HtmlHelpW(hPage, strTopic, HH_DISPLAY_TOPIC, 0);
}

void CPageChrome::ContextHelp(LPARAM lParam, const DWORD* pdwHelpIds)
{
    const auto* pInfo = reinterpret_cast<const HELPINFO*>(lParam);
    if (!pInfo || pInfo->iContextType != HELPINFO_WINDOW) return;
    for (const DWORD* pdw = pdwHelpIds; pdw[0]; pdw += 2) {
        if (pdw[0] != static_cast<DWORD>(pInfo->iCtrlId)) continue;
        CString strFile;
        strFile.Format(u"%s::/Portpanel.txt", HELP_FILE);
        HtmlHelpW(static_cast<HWND>(pInfo->hItemHandle), strFile, HH_TP_HELP_WM_HELP, reinterpret_cast<DWORD_PTR>(pdwHelpIds));
        return;
    }
}

void CPageChrome::SetTexts(HWND hPage, const CControlText* pTexts, size_t nTexts)
{
    for (size_t i = 0; i < nTexts; ++i) {
        CString strText;
        strText.LoadString(pTexts[i].nString);
        ::SetDlgItemTextW(hPage, pTexts[i].nId, strText);
    }
}
