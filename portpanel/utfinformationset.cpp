// The information-set twin.
#include "utfinformationset.h"

namespace CvUser {

class CTfInformationSet::CFlagsScope {
public:
    CFlagsScope(CTfSerialisation& Serialisation, ULONG ulFlags)
        : m_Serialisation(Serialisation), m_ulPrevious(Serialisation.GetFlags())
    {
        m_bValid = ulFlags == 0 || m_Serialisation.SetFlags(ulFlags);
    }
    ~CFlagsScope() { m_Serialisation.SetFlags(m_ulPrevious); }
    BOOL IsValid() const { return m_bValid; }

private:
    CTfSerialisation& m_Serialisation;
    ULONG m_ulPrevious;
    BOOL m_bValid;
};

BOOL CTfInformationSet::AddItem(LPCWSTR pszName, DWORD* pdwTarget, DWORD dwDefault)
{
    m_Items.push_back({pszName, pdwTarget, dwDefault, ITEM_DWORD});
    return TRUE;
}

BOOL CTfInformationSet::AddStringItem(LPCWSTR pszName, CString* pstrTarget)
{
    m_Items.push_back({pszName, pstrTarget, 0, ITEM_STRING});
    return TRUE;
}

ULONG CTfInformationSet::GetSerialisedSize(ULONG ulFlags)
{
    CFlagsScope Scope(m_Serialisation, ulFlags);
    if (!Scope.IsValid()) return 0;
    ULONG ulSize = m_Serialisation.GetHeaderSize();
    for (const CItem& Item : m_Items) {
        if (Item.nKind == ITEM_DWORD) {
            ulSize += m_Serialisation.GetDwordSize();
            continue;
        }
        const ULONG ulString = m_Serialisation.GetStringSize(*static_cast<CString*>(Item.pTarget));
        if (ulString == 0) return 0;
        ulSize += ulString;
    }
    return ulSize;
}

BOOL CTfInformationSet::Serialise(BYTE* pbBuffer, ULONG ulLength, ULONG ulFlags)
{
    CFlagsScope Scope(m_Serialisation, ulFlags);
    if (!Scope.IsValid()) return FALSE;
    BYTE* pbCursor = pbBuffer;
    ULONG ulRemaining = ulLength;
    if (!m_Serialisation.WriteHeader(pbCursor, ulRemaining)) return FALSE;
    for (const CItem& Item : m_Items) {
        const BOOL bWritten = Item.nKind == ITEM_DWORD
            ? m_Serialisation.WriteDword(pbCursor, ulRemaining, *static_cast<DWORD*>(Item.pTarget))
            : m_Serialisation.WriteString(pbCursor, ulRemaining, *static_cast<CString*>(Item.pTarget));
        if (!bWritten) return FALSE;
    }
    return TRUE;
}

BOOL CTfInformationSet::Deserialise(const BYTE* pbBuffer, ULONG ulLength, ULONG ulFlags)
{
    CFlagsScope Scope(m_Serialisation, ulFlags);
    if (!Scope.IsValid() || (!pbBuffer && ulLength)) return FALSE;
    const BYTE* pbCursor = pbBuffer;
    ULONG ulRemaining = ulLength;
    if (!m_Serialisation.CheckHeader(pbCursor, ulRemaining)) return FALSE;
    for (CItem& Item : m_Items) {
        const BOOL bRead = Item.nKind == ITEM_DWORD
            ? m_Serialisation.ReadDword(pbCursor, ulRemaining, *static_cast<DWORD*>(Item.pTarget))
            : m_Serialisation.ReadString(pbCursor, ulRemaining, *static_cast<CString*>(Item.pTarget));
        if (!bRead) return FALSE;
    }
    return TRUE;
}

}  // namespace CvUser
