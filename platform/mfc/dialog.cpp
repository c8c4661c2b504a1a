// CDialog: a modal dialog from the program's template.
#include <afxwin.h>

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDHelp(nIDTemplate), m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal()
{
    m_nModalResult = -1;
    BeginModalState();
    // The dialog procedure finds the object in the record it is made with.
    PROPSHEETPAGEW record{};
    record.lParam = reinterpret_cast<LPARAM>(this);
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), parent, AfxDlgProc,
                            reinterpret_cast<LPARAM>(&record)))
        return -1;
    RunModalLoop();
    DestroyWindow();
    return m_nModalResult;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::EndDialog(int nResult) { EndModalLoop(nResult); }
