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
    CTfRoutineLog Log("CTfRegistryValueConstraint::CTfRegistryValueConstraint");
    m_Init();
    m_lMinimum = lMinimum;
    m_lMaximum = lMaximum;
    m_bRangeSet = TRUE;
    Log.m_Success();
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(PTF_NUMBER_CHECK_ROUTINE pfnCheck)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::CTfRegistryValueConstraint");
    m_Init();
    m_pfnNumberCheck = pfnCheck;
    m_bNumberCheckSet = TRUE;
    Log.m_Success();
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(PTF_STRING_CHECK_ROUTINE pfnCheck)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::CTfRegistryValueConstraint");
    m_Init();
    m_pfnStringCheck = pfnCheck;
    m_bStringCheckSet = TRUE;
    Log.m_Success();
}

CTfRegistryValueConstraint::CTfRegistryValueConstraint(ULONG ulMaxLength)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::CTfRegistryValueConstraint");
    m_Init();
    m_ulMaxLength = ulMaxLength;
    m_bMaxLengthSet = TRUE;
    Log.m_Success();
}

CTfRegistryValueConstraint::~CTfRegistryValueConstraint()
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::~CTfRegistryValueConstraint");
    Log.m_Success();
}

BOOLEAN CTfRegistryValueConstraint::m_GetRange(PLONG plMinimum, PLONG plMaximum)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::m_GetRange");
    if (!m_bRangeSet) {
        Log.m_Fail("no range");
        return FALSE;
    }
    if (plMinimum != NULL) *plMinimum = m_lMinimum;
    if (plMaximum != NULL) *plMaximum = m_lMaximum;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetStringValidator(PTF_STRING_CHECK_ROUTINE* ppfnCheck)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::m_GetStringValidator");
    if (!m_bStringCheckSet) {
        Log.m_Fail("no string check");
        return FALSE;
    }
    if (ppfnCheck != NULL) *ppfnCheck = m_pfnStringCheck;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetValidator(PTF_NUMBER_CHECK_ROUTINE* ppfnCheck)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::m_GetValidator");
    if (!m_bNumberCheckSet) {
        Log.m_Fail("no number check");
        return FALSE;
    }
    if (ppfnCheck != NULL) *ppfnCheck = m_pfnNumberCheck;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryValueConstraint::m_GetMaxLength(PULONG pulMaxLength)
{
    CTfRoutineLog Log("CTfRegistryValueConstraint::m_GetMaxLength");
    if (!m_bMaxLengthSet) {
        Log.m_Fail("no maximum length");
        return FALSE;
    }
    if (pulMaxLength != NULL) *pulMaxLength = m_ulMaxLength;
    Log.m_Success();
    return TRUE;
}
