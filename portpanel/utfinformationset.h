// The user-mode twin of the drivers' information set: named values bound to the owner's
// variables, in registration order (the wire order), serialised by the twin serialisation.
#pragma once

#include <list>

#include "utfserialisation.h"

namespace CvUser {

class CTfInformationSet {
public:
    enum { ITEM_DWORD = 1, ITEM_STRING = 2 };

    virtual ~CTfInformationSet() {}

    BOOL AddItem(LPCWSTR pszName, DWORD* pdwTarget, DWORD dwDefault);
    BOOL AddStringItem(LPCWSTR pszName, CString* pstrTarget);
    void ClearItems() { m_Items.clear(); }
    size_t GetItemCount() const { return m_Items.size(); }

    // A flags argument of 0 means the set's own flags; a valid one holds for this call only, an
    // invalid one fails the call (a size of 0).
    ULONG GetSerialisedSize(ULONG ulFlags = 0);
    BOOL Serialise(BYTE* pbBuffer, ULONG ulLength, ULONG ulFlags = 0);
    // The values go straight into the targets; items read before a failure keep their new values.
    BOOL Deserialise(const BYTE* pbBuffer, ULONG ulLength, ULONG ulFlags = 0);

    CTfSerialisation* GetSerialisation() { return &m_Serialisation; }

private:
    struct CItem {
        CString strName;
        void* pTarget;
        DWORD dwDefault;
        int nKind;
    };
    // Switches to the call's flags and back on every way out.
    class CFlagsScope;

    std::list<CItem> m_Items;
    CTfSerialisation m_Serialisation;
};

}  // namespace CvUser
