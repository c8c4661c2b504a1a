#include "stepprogress.h"

#if __has_include(<afxcmn.h>)
#include <afxcmn.h>
#define TF_HAVE_PROGRESS_CTRL 1
#endif

void CTfStepProgress::SetRange(int nLower, int nUpper)
{
    m_nLower = nLower;
    m_nUpper = nUpper;
#ifdef TF_HAVE_PROGRESS_CTRL
    if (m_pProgress) {
        m_pProgress->SetRange(static_cast<short>(nLower), static_cast<short>(nUpper));
        m_pProgress->SetStep(1);
    }
#endif
}

void CTfStepProgress::Advance()
{
    ++m_nAdvances;
#ifdef TF_HAVE_PROGRESS_CTRL
    if (m_pProgress) m_pProgress->StepIt();
#endif
}

void CTfStepProgress::Nothing()
{
    SetRange(0, 1);
    Advance();
}
