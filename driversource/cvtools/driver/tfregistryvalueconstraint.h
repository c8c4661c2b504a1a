// Value constraints that registry information sets attach to their items: a number range, a number
// check routine, a string check routine, or a maximum string length. The set that reads a value asks
// each accessor in turn; an accessor answers FALSE when its part is not carried.
#pragma once

#include <wdm.h>

#include "tfobject.h"

class CTfString;

// Check routines: TRUE when the value is acceptable.
typedef BOOLEAN (*PTF_NUMBER_CHECK_ROUTINE)(ULONG ulValue);
typedef BOOLEAN (*PTF_STRING_CHECK_ROUTINE)(CTfString* pString);

class CTfRegistryValueConstraint : public CTfObjectBase {
public:
    // Number range, both ends included.
    CTfRegistryValueConstraint(LONG lMinimum, LONG lMaximum);
    explicit CTfRegistryValueConstraint(PTF_NUMBER_CHECK_ROUTINE pfnCheck);
    explicit CTfRegistryValueConstraint(PTF_STRING_CHECK_ROUTINE pfnCheck);
    // Longest acceptable string, in characters.
    explicit CTfRegistryValueConstraint(ULONG ulMaxLength);
    virtual ~CTfRegistryValueConstraint();

    // The slot order of these four is relied on by the registry sets; do not reorder.
    virtual BOOLEAN m_GetRange(PLONG plMinimum, PLONG plMaximum);
    virtual BOOLEAN m_GetStringValidator(PTF_STRING_CHECK_ROUTINE* ppfnCheck);
    virtual BOOLEAN m_GetValidator(PTF_NUMBER_CHECK_ROUTINE* ppfnCheck);
    virtual BOOLEAN m_GetMaxLength(PULONG pulMaxLength);

private:
    void m_Init();

    LONG m_lMinimum;
    LONG m_lMaximum;
    BOOLEAN m_bRangeSet;
    PTF_NUMBER_CHECK_ROUTINE m_pfnNumberCheck;
    BOOLEAN m_bNumberCheckSet;
    PTF_STRING_CHECK_ROUTINE m_pfnStringCheck;
    BOOLEAN m_bStringCheckSet;
    ULONG m_ulMaxLength;
    BOOLEAN m_bMaxLengthSet;
};
