// advapi32's SID calls.
#include <cstdlib>
#include <cstring>

#include "token.h"

using emu::process::SidAt;
using emu::process::SidBytes;

extern "C" BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                         DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                         DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                         DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid)
{
    if (!pIdentifierAuthority || !pSid || nSubAuthorityCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD all[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                          nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    const SidBytes sid = emu::process::MakeSid(*pIdentifierAuthority, std::vector<DWORD>(all, all + nSubAuthorityCount));
    void* memory = std::malloc(sid.size());
    std::memcpy(memory, sid.data(), sid.size());
    *pSid = memory;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" PVOID FreeSid(PSID pSid)
{
    std::free(pSid);
    return nullptr;
}

extern "C" BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID DomainSid, PSID pSid, DWORD* cbSid)
{
    SidBytes sid;
    switch (WellKnownSidType) {
    case WinWorldSid: sid = emu::process::EveryoneSid(); break;
    case WinLocalSystemSid: sid = emu::process::LocalSystemSid(); break;
    case WinBuiltinAdministratorsSid: sid = emu::process::AdministratorsSid(); break;
    case WinBuiltinUsersSid: sid = emu::process::UsersSid(); break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    if (!cbSid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!pSid || *cbSid < sid.size()) {
        *cbSid = static_cast<DWORD>(sid.size());
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pSid, sid.data(), sid.size());
    *cbSid = static_cast<DWORD>(sid.size());
    return TRUE;
}

extern "C" BOOL IsValidSid(PSID pSid) { return SidAt(pSid).has_value(); }

extern "C" DWORD GetLengthSid(PSID pSid)
{
    std::optional<SidBytes> sid = SidAt(pSid);
    return sid ? static_cast<DWORD>(sid->size()) : 0;
}

extern "C" BOOL EqualSid(PSID pSid1, PSID pSid2)
{
    std::optional<SidBytes> a = SidAt(pSid1), b = SidAt(pSid2);
    SetLastError(ERROR_SUCCESS);
    return a && b && *a == *b;
}

extern "C" BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid)
{
    std::optional<SidBytes> sid = SidAt(pSourceSid);
    if (!sid) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (!pDestinationSid || nDestinationSidLength < sid->size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pDestinationSid, sid->data(), sid->size());
    return TRUE;
}
