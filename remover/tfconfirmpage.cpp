#include "tfconfirmpage.h"

#include "resource.h"

CTfConfirmPage::CTfConfirmPage() : CTfWizardPage(IDD_CONFIRM, IDS_CONFIRM_HEADER, IDS_CONFIRM_SUBHEADER, FALSE) {}

BOOL CTfConfirmPage::OnInitDialog()
{
    CTfWizardPage::OnInitDialog();
    SetDlgItemText(IDC_CONFIRM_TEXT, LoadResourceString(IDS_CONFIRM_TEXT));
    SetDlgItemText(IDC_CONFIRM_HINT, LoadResourceString(IDS_CONFIRM_HINT));
    return TRUE;
}

BOOL CTfConfirmPage::OnSetActive()
{
    SetWizardButtons(PSWIZB_NEXT);
    return CTfWizardPage::OnSetActive();
}
