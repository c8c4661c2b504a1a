// advapi32's token calls, on the calling thread's program's token.
#include <cstddef>
#include <cstring>

#include "program.h"

using emu::process::CurrentProgram;
using emu::process::Token;
using emu::process::TokenOfHandle;

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL CopyGroups(const std::vector<emu::process::TokenGroup>& groups, bool user, LPVOID out, DWORD length, PDWORD needed)
{
    const size_t fixed = user ? sizeof(TOKEN_USER)
                              : offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t total = fixed;
    for (const auto& group : groups) total += group.sid.size();
    *needed = static_cast<DWORD>(total);
    if (!out || length < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = static_cast<uint8_t*>(out);
    auto* entries = user ? &static_cast<TOKEN_USER*>(out)->User : static_cast<TOKEN_GROUPS*>(out)->Groups;
    if (!user) static_cast<TOKEN_GROUPS*>(out)->GroupCount = static_cast<DWORD>(groups.size());
    size_t at = fixed;
    for (size_t index = 0; index < groups.size(); ++index) {
        std::memcpy(bytes + at, groups[index].sid.data(), groups[index].sid.size());
        entries[index].Sid = bytes + at;
        entries[index].Attributes = user ? 0 : groups[index].attributes;
        at += groups[index].sid.size();
    }
    return TRUE;
}

BOOL CopyPrivileges(const std::vector<emu::process::TokenPrivilege>& privileges, LPVOID out, DWORD length, PDWORD needed)
{
    const size_t total = offsetof(TOKEN_PRIVILEGES, Privileges) + privileges.size() * sizeof(LUID_AND_ATTRIBUTES);
    *needed = static_cast<DWORD>(std::max(total, sizeof(TOKEN_PRIVILEGES)));
    if (!out || length < *needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* record = static_cast<TOKEN_PRIVILEGES*>(out);
    record->PrivilegeCount = static_cast<DWORD>(privileges.size());
    for (size_t index = 0; index < privileges.size(); ++index)
        record->Privileges[index] = {*emu::process::PrivilegeValue(privileges[index].name), privileges[index].attributes};
    return TRUE;
}

}  // namespace

extern "C" HANDLE GetCurrentProcess(void) { return kCurrentProcess; }
extern "C" HANDLE GetCurrentThread(void) { return kCurrentThread; }

extern "C" BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
    if (ProcessHandle != kCurrentProcess) return Fail(ERROR_INVALID_HANDLE);
    *TokenHandle = emu::process::OpenTokenHandle(CurrentProgram()->GetToken(), DesiredAccess);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle)
{
    if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
    *TokenHandle = nullptr;
    // No thread of an emulated program impersonates.
    return Fail(ThreadHandle == kCurrentThread ? ERROR_NO_TOKEN : ERROR_INVALID_HANDLE);
}

extern "C" BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                    LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength)
{
    DWORD error = 0;
    std::shared_ptr<Token> token = TokenOfHandle(TokenHandle, TOKEN_QUERY, error);
    if (!token) return Fail(error);
    if (!ReturnLength) return Fail(ERROR_INVALID_PARAMETER);
    switch (TokenInformationClass) {
    case TokenUser:
        return CopyGroups({{token->User(), 0}}, true, TokenInformation, TokenInformationLength, ReturnLength);
    case TokenGroups:
        return CopyGroups(token->Groups(), false, TokenInformation, TokenInformationLength, ReturnLength);
    case TokenPrivileges:
        return CopyPrivileges(token->Privileges(), TokenInformation, TokenInformationLength, ReturnLength);
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

extern "C" BOOL DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess, LPSECURITY_ATTRIBUTES lpTokenAttributes,
                                 SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType, PHANDLE phNewToken)
{
    DWORD error = 0;
    std::shared_ptr<Token> token = TokenOfHandle(hExistingToken, TOKEN_DUPLICATE, error);
    if (!token) return Fail(error);
    if (!phNewToken) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD access = (dwDesiredAccess & MAXIMUM_ALLOWED) || !dwDesiredAccess ? TOKEN_ALL_ACCESS : dwDesiredAccess;
    *phNewToken = emu::process::OpenTokenHandle(token->Copy(), access);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid)
{
    if (!lpName || !lpLuid) return Fail(ERROR_INVALID_PARAMETER);
    std::optional<LUID> value = emu::process::PrivilegeValue(lpName);
    if (!value) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    *lpLuid = *value;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Succeeds whenever its arguments are good; the last error is ERROR_NOT_ALL_ASSIGNED when the
// token lacks one of the privileges named, ERROR_SUCCESS otherwise.
extern "C" BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                      DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    DWORD error = 0;
    std::shared_ptr<Token> token = TokenOfHandle(TokenHandle, TOKEN_ADJUST_PRIVILEGES, error);
    if (!token) return Fail(error);
    if (DisableAllPrivileges) {
        for (const auto& privilege : token->Privileges()) token->SetPrivilegeEnabled(privilege.name, false);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!NewState) return Fail(ERROR_INVALID_PARAMETER);
    bool all = true;
    for (DWORD index = 0; index < NewState->PrivilegeCount; ++index) {
        const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[index];
        std::optional<std::u16string> name = emu::process::PrivilegeName(entry.Luid);
        if (!name || !token->HasPrivilege(*name)) {
            all = false;
            continue;
        }
        if (entry.Attributes & SE_PRIVILEGE_REMOVED) token->RemovePrivilege(*name);
        else token->SetPrivilegeEnabled(*name, (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0);
    }
    SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

extern "C" BOOL CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember)
{
    std::optional<emu::process::SidBytes> sid = emu::process::SidAt(SidToCheck);
    if (!sid || !IsMember) return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<Token> token = CurrentProgram()->GetToken();
    if (TokenHandle) {
        DWORD error = 0;
        if (!(token = TokenOfHandle(TokenHandle, TOKEN_QUERY, error))) return Fail(error);
    }
    *IsMember = token->HasGroup(*sid);
    return TRUE;
}
