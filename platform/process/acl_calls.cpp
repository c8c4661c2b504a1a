// advapi32's ACL and security-descriptor calls, on the caller's own memory.
#include <cstring>

#include "security_descriptor.h"

using emu::process::Ace;
using emu::process::ReadAcl;
using emu::process::SidAt;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The first byte after the ACL's last entry.
DWORD UsedBytes(const ACL* acl)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(acl);
    DWORD at = sizeof(ACL);
    for (WORD index = 0; index < acl->AceCount; ++index) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        at += header.AceSize;
    }
    return at;
}

BOOL AddEntry(PACL pAcl, BYTE type, DWORD flags, DWORD mask, PSID pSid)
{
    if (!pAcl || !ReadAcl(pAcl)) return Fail(ERROR_INVALID_ACL);
    std::optional<emu::process::SidBytes> sid = SidAt(pSid);
    if (!sid) return Fail(ERROR_INVALID_SID);
    const DWORD used = UsedBytes(pAcl);
    const WORD size = static_cast<WORD>(sizeof(ACE_HEADER) + 4 + sid->size());
    if (used + size > pAcl->AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    auto* bytes = reinterpret_cast<uint8_t*>(pAcl) + used;
    ACE_HEADER header{type, static_cast<BYTE>(flags), size};
    std::memcpy(bytes, &header, sizeof header);
    std::memcpy(bytes + sizeof header, &mask, 4);
    std::memcpy(bytes + sizeof header + 4, sid->data(), sid->size());
    ++pAcl->AceCount;
    return TRUE;
}

}  // namespace

extern "C" BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision)
{
    if (!pAcl || nAclLength < sizeof(ACL) || nAclLength > 0xFFFC ||
        (dwAclRevision != ACL_REVISION && dwAclRevision != ACL_REVISION_DS))
        return Fail(ERROR_INVALID_PARAMETER);
    *pAcl = ACL{static_cast<BYTE>(dwAclRevision), 0, static_cast<WORD>(nAclLength & ~3u), 0, 0};
    return TRUE;
}

extern "C" BOOL IsValidAcl(PACL pAcl) { return ReadAcl(pAcl).has_value(); }

extern "C" BOOL AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid)
{
    return AddEntry(pAcl, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, pSid);
}

extern "C" BOOL AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid)
{
    return AddEntry(pAcl, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, pSid);
}

extern "C" BOOL AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid)
{
    return AddEntry(pAcl, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, pSid);
}

extern "C" BOOL AddAce(PACL pAcl, DWORD dwAceRevision, DWORD dwStartingAceIndex, LPVOID pAceList, DWORD nAceListLength)
{
    if (!pAcl || !ReadAcl(pAcl) || !pAceList) return Fail(ERROR_INVALID_PARAMETER);
    // Count and check the entries of the list.
    WORD count = 0;
    const auto* list = static_cast<const uint8_t*>(pAceList);
    for (DWORD at = 0; at < nAceListLength; ++count) {
        ACE_HEADER header;
        std::memcpy(&header, list + at, sizeof header);
        if (header.AceSize < sizeof(ACE_HEADER) || at + header.AceSize > nAceListLength) return Fail(ERROR_INVALID_PARAMETER);
        at += header.AceSize;
    }
    const DWORD used = UsedBytes(pAcl);
    if (used + nAceListLength > pAcl->AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
    // The insertion point: before entry dwStartingAceIndex, or at the end (MAXDWORD).
    auto* bytes = reinterpret_cast<uint8_t*>(pAcl);
    DWORD insert = sizeof(ACL);
    for (DWORD index = 0; index < pAcl->AceCount && index < dwStartingAceIndex; ++index) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + insert, sizeof header);
        insert += header.AceSize;
    }
    std::memmove(bytes + insert + nAceListLength, bytes + insert, used - insert);
    std::memcpy(bytes + insert, pAceList, nAceListLength);
    pAcl->AceCount = static_cast<WORD>(pAcl->AceCount + count);
    return TRUE;
}

extern "C" BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce)
{
    if (!pAcl || !pAce || !ReadAcl(pAcl) || dwAceIndex >= pAcl->AceCount) return Fail(ERROR_INVALID_PARAMETER);
    auto* bytes = reinterpret_cast<uint8_t*>(pAcl);
    DWORD at = sizeof(ACL);
    for (DWORD index = 0; index < dwAceIndex; ++index) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        at += header.AceSize;
    }
    *pAce = bytes + at;
    return TRUE;
}

extern "C" BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                                  ACL_INFORMATION_CLASS dwAclInformationClass)
{
    if (!pAcl || !ReadAcl(pAcl) || dwAclInformationClass != AclSizeInformation ||
        nAclInformationLength < sizeof(ACL_SIZE_INFORMATION))
        return Fail(ERROR_INVALID_PARAMETER);
    const DWORD used = UsedBytes(pAcl);
    *static_cast<ACL_SIZE_INFORMATION*>(pAclInformation) = {pAcl->AceCount, used, pAcl->AclSize - used};
    return TRUE;
}

extern "C" BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (!pSecurityDescriptor || dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_INVALID_PARAMETER);
    *static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor) = SECURITY_DESCRIPTOR{SECURITY_DESCRIPTOR_REVISION, 0, 0,
                                                                                 nullptr, nullptr, nullptr, nullptr};
    return TRUE;
}

extern "C" BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    return emu::process::ReadDescriptor(pSecurityDescriptor).has_value();
}

extern "C" BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                          BOOL bDaclDefaulted)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (!descriptor || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_INVALID_SECURITY_DESCR);
    if (descriptor->Control & SE_SELF_RELATIVE) return Fail(ERROR_INVALID_SECURITY_DESCR);
    descriptor->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    if (bDaclPresent) {
        descriptor->Control |= SE_DACL_PRESENT | (bDaclDefaulted ? SE_DACL_DEFAULTED : 0);
        descriptor->Dacl = pDacl;
    } else {
        descriptor->Dacl = nullptr;
    }
    return TRUE;
}

extern "C" BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                                          LPBOOL lpbDaclDefaulted)
{
    const auto* bytes = static_cast<const uint8_t*>(pSecurityDescriptor);
    if (!bytes || !lpbDaclPresent || !pDacl || !lpbDaclDefaulted || bytes[0] != SECURITY_DESCRIPTOR_REVISION)
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    SECURITY_DESCRIPTOR_CONTROL control;
    std::memcpy(&control, bytes + 2, sizeof control);
    *lpbDaclPresent = (control & SE_DACL_PRESENT) != 0;
    *lpbDaclDefaulted = (control & SE_DACL_DEFAULTED) != 0;
    *pDacl = nullptr;
    if (!*lpbDaclPresent) return TRUE;
    if (control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE relative;
        std::memcpy(&relative, bytes, sizeof relative);
        if (relative.Dacl) *pDacl = reinterpret_cast<PACL>(const_cast<uint8_t*>(bytes) + relative.Dacl);
    } else {
        *pDacl = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Dacl;
    }
    return TRUE;
}

extern "C" DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    std::optional<emu::process::Descriptor> descriptor = emu::process::ReadDescriptor(pSecurityDescriptor);
    return descriptor ? static_cast<DWORD>(emu::process::SelfRelative(*descriptor).size()) : 0;
}

extern "C" BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                                   PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength)
{
    std::optional<emu::process::Descriptor> descriptor = emu::process::ReadDescriptor(pAbsoluteSecurityDescriptor);
    if (!descriptor || !lpdwBufferLength) return Fail(ERROR_INVALID_SECURITY_DESCR);
    const std::vector<uint8_t> bytes = emu::process::SelfRelative(*descriptor);
    if (!pSelfRelativeSecurityDescriptor || *lpdwBufferLength < bytes.size()) {
        *lpdwBufferLength = static_cast<DWORD>(bytes.size());
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(pSelfRelativeSecurityDescriptor, bytes.data(), bytes.size());
    *lpdwBufferLength = static_cast<DWORD>(bytes.size());
    return TRUE;
}
