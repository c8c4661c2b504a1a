// Access tokens: the user, the groups (with their attributes, so that a group present only for
// deny is modelled) and the privileges of a program. A token handle is a kernel object, closed
// with CloseHandle.
#pragma once

#include <securitybaseapi.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace emu::process {

using SidBytes = std::vector<uint8_t>;

// S-1-5-32-544, S-1-5-32-545, S-1-1-0, S-1-5-18, and the user of the preset tokens (S-1-5-21-...-1000).
SidBytes AdministratorsSid();
SidBytes UsersSid();
SidBytes EveryoneSid();
SidBytes LocalSystemSid();
SidBytes MakeSid(SID_IDENTIFIER_AUTHORITY authority, const std::vector<DWORD>& subAuthorities);
// The bytes of a valid SID at the pointer, or nullopt.
std::optional<SidBytes> SidAt(const void* sid);

struct TokenGroup {
    SidBytes sid;
    DWORD attributes = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY;
};

struct TokenPrivilege {
    std::u16string name;
    DWORD attributes = 0;
};

// The machine's privilege names and their LUIDs (SeShutdownPrivilege is 19); nullopt when unknown.
std::optional<LUID> PrivilegeValue(std::u16string_view name);
std::optional<std::u16string> PrivilegeName(LUID luid);

class Token {
public:
    Token(SidBytes user, std::vector<TokenGroup> groups, std::vector<TokenPrivilege> privileges);

    // An elevated administrator; a standard user; an administrator's filtered token (Vista and
    // later without elevation: Administrators present for deny only).
    static std::shared_ptr<Token> Administrator();
    static std::shared_ptr<Token> StandardUser();
    static std::shared_ptr<Token> FilteredAdministrator();

    std::shared_ptr<Token> Copy() const;

    SidBytes User() const;
    std::vector<TokenGroup> Groups() const;
    std::vector<TokenPrivilege> Privileges() const;
    // Whether the group is in the token enabled (deny-only entries count when asked to).
    bool HasGroup(const SidBytes& sid, bool countDenyOnly = false) const;
    bool HasPrivilege(std::u16string_view name) const;
    bool IsPrivilegeEnabled(std::u16string_view name) const;
    // Enables or disables a privilege the token holds; false when it holds none of that name.
    bool SetPrivilegeEnabled(std::u16string_view name, bool enabled);
    void RemovePrivilege(std::u16string_view name);

private:
    mutable std::mutex m_mutex;  // guards what follows
    SidBytes m_user;
    std::vector<TokenGroup> m_groups;
    std::vector<TokenPrivilege> m_privileges;
};

// A new user-mode handle of the token with the access given.
HANDLE OpenTokenHandle(std::shared_ptr<Token> token, ACCESS_MASK access);
// The token of a handle that grants `required`, or null with the Win32 error in `error`.
std::shared_ptr<Token> TokenOfHandle(HANDLE handle, ACCESS_MASK required, DWORD& error);

}  // namespace emu::process
