// Value constraints of registry information set items.
#include "tfregistryvalueconstraint.h"

#include "tfdebug.h"

void CTfRegistryValueConstraint::m_Init()
{
    m_lMinimum = 0;
    m_lMaximum = 0;
    m_bRangeSet = FALSE;
    m_pfnNumberCheck = NULL;
    m_bNumberCheckSet = FALSE;
    m_pfnStringCheck = NULL;
    m_bStringCheckSet = FALSE;
    m_ulMaxLength = 0;
    m_bMaxLengthSet = FALSE;
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(LONG lMinimum, LONG lMaximum)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - IN");
    m_Init();
    m_lMinimum = lMinimum;
    m_lMaximum = lMaximum;
    m_bRangeSet = TRUE;
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - OUT (Success)");
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(PTF_NUMBER_CHECK_ROUTINE pfnCheck)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - IN");
    m_Init();
    m_pfnNumberCheck = pfnCheck;
    m_bNumberCheckSet = TRUE;
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - OUT (Success)");
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(PTF_STRING_CHECK_ROUTINE pfnCheck)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - IN");
    m_Init();
    m_pfnStringCheck = pfnCheck;
    m_bStringCheckSet = TRUE;
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - OUT (Success)");
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(ULONG ulMaxLength)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - IN");
    m_Init();
    m_ulMaxLength = ulMaxLength;
    m_bMaxLengthSet = TRUE;
    TfDebugLog(7, "CTfRegistryValueConstraint::CTfRegistryValueConstraint - OUT (Success)");
}

CTfRegistryValueConstraint::~CTfRegistryValueConstraint()
{
    TfDebugLog(7, "CTfRegistryValueConstraint::~CTfRegistryValueConstraint - IN");
    TfDebugLog(7, "CTfRegistryValueConstraint::~CTfRegistryValueConstraint - OUT (Success)");
}

BOOLEAN CTfRegistryValueConstraint::m_GetRange(PLONG plMinimum, PLONG plMaximum)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetRange - IN");
    if (!m_bRangeSet) {
        TfDebugLog(7, "CTfRegistryValueConstraint::m_GetRange - OUT - Fail-> no range");
        return FALSE;
    }
    if (plMinimum != NULL) *plMinimum = m_lMinimum;
    if (plMaximum != NULL) *plMaximum = m_lMaximum;
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetRange - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetStringValidator(PTF_STRING_CHECK_ROUTINE* ppfnCheck)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetStringValidator - IN");
    if (!m_bStringCheckSet) {
        TfDebugLog(7, "CTfRegistryValueConstraint::m_GetStringValidator - OUT - Fail-> no string check");
        return FALSE;
    }
    if (ppfnCheck != NULL) *ppfnCheck = m_pfnStringCheck;
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetStringValidator - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetValidator(PTF_NUMBER_CHECK_ROUTINE* ppfnCheck)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetValidator - IN");
    if (!m_bNumberCheckSet) {
        TfDebugLog(7, "CTfRegistryValueConstraint::m_GetValidator - OUT - Fail-> no number check");
        return FALSE;
    }
    if (ppfnCheck != NULL) *ppfnCheck = m_pfnNumberCheck;
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetValidator - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetMaxLength(PULONG pulMaxLength)
{
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetMaxLength - IN");
    if (!m_bMaxLengthSet) {
        TfDebugLog(7, "CTfRegistryValueConstraint::m_GetMaxLength - OUT - Fail-> no maximum length");
        return FALSE;
    }
    if (pulMaxLength != NULL) *pulMaxLength = m_ulMaxLength;
    TfDebugLog(7, "CTfRegistryValueConstraint::m_GetMaxLength - OUT (Success)");
    return TRUE;
}
