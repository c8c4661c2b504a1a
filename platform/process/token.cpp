#include "token.h"

#include <cstring>
#include <set>

#include "kernel.h"
#include "ob/object_manager.h"
#include "rtl/rtl_text.h"

namespace emu::process {

namespace {

const SID_IDENTIFIER_AUTHORITY kNtAuthority = SECURITY_NT_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kWorldAuthority = SECURITY_WORLD_SID_AUTHORITY;

struct PrivilegeEntry {
    std::u16string_view name;
    DWORD value;
};

const PrivilegeEntry kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},      {u"SeAssignPrimaryTokenPrivilege", 3}, {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},    {u"SeMachineAccountPrivilege", 6},    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},         {u"SeTakeOwnershipPrivilege", 9},     {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},   {u"SeSystemtimePrivilege", 12},       {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14}, {u"SeCreatePagefilePrivilege", 15}, {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},          {u"SeRestorePrivilege", 18},          {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},           {u"SeAuditPrivilege", 21},            {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},    {u"SeRemoteShutdownPrivilege", 24},   {u"SeUndockPrivilege", 25},
};

SidBytes UserSid() { return MakeSid(kNtAuthority, {21, 1004336348, 1177238915, 682003330, 1000}); }

std::vector<TokenPrivilege> UserPrivileges()
{
    return {{u"SeShutdownPrivilege", 0}, {u"SeChangeNotifyPrivilege", SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT},
            {u"SeUndockPrivilege", 0}};
}

std::vector<TokenPrivilege> AdministratorPrivileges()
{
    std::vector<TokenPrivilege> privileges = UserPrivileges();
    for (std::u16string_view name : {u"SeSecurityPrivilege", u"SeBackupPrivilege", u"SeRestorePrivilege",
                                     u"SeTakeOwnershipPrivilege", u"SeLoadDriverPrivilege", u"SeDebugPrivilege",
                                     u"SeSystemtimePrivilege", u"SeRemoteShutdownPrivilege"})
        privileges.push_back({std::u16string(name), 0});
    return privileges;
}

// Token handles' objects: the kernel's objects of the kind "other" that are tokens.
struct TokenObject {
    std::shared_ptr<Token> token;
};

std::mutex g_objectsMutex;
std::set<const void*> g_objects;

}  // namespace

SidBytes MakeSid(SID_IDENTIFIER_AUTHORITY authority, const std::vector<DWORD>& subAuthorities)
{
    SidBytes bytes(8 + 4 * subAuthorities.size());
    bytes[0] = SID_REVISION;
    bytes[1] = static_cast<uint8_t>(subAuthorities.size());
    std::memcpy(bytes.data() + 2, authority.Value, 6);
    for (size_t index = 0; index < subAuthorities.size(); ++index)
        std::memcpy(bytes.data() + 8 + 4 * index, &subAuthorities[index], 4);
    return bytes;
}

SidBytes AdministratorsSid() { return MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}); }
SidBytes UsersSid() { return MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}); }
SidBytes EveryoneSid() { return MakeSid(kWorldAuthority, {SECURITY_WORLD_RID}); }
SidBytes LocalSystemSid() { return MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}); }

std::optional<SidBytes> SidAt(const void* sid)
{
    if (!sid) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(sid);
    if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return std::nullopt;
    return SidBytes(bytes, bytes + 8 + 4 * bytes[1]);
}

std::optional<LUID> PrivilegeValue(std::u16string_view name)
{
    for (const PrivilegeEntry& entry : kPrivileges)
        if (EqualNoCase(entry.name, name)) return LUID{entry.value, 0};
    return std::nullopt;
}

std::optional<std::u16string> PrivilegeName(LUID luid)
{
    for (const PrivilegeEntry& entry : kPrivileges)
        if (luid.HighPart == 0 && entry.value == luid.LowPart) return std::u16string(entry.name);
    return std::nullopt;
}

Token::Token(SidBytes user, std::vector<TokenGroup> groups, std::vector<TokenPrivilege> privileges)
    : m_user(std::move(user)), m_groups(std::move(groups)), m_privileges(std::move(privileges))
{
}

std::shared_ptr<Token> Token::Administrator()
{
    return std::make_shared<Token>(
        UserSid(),
        std::vector<TokenGroup>{{EveryoneSid()},
                                {AdministratorsSid(), SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY | SE_GROUP_OWNER},
                                {UsersSid()}},
        AdministratorPrivileges());
}

std::shared_ptr<Token> Token::StandardUser()
{
    return std::make_shared<Token>(UserSid(), std::vector<TokenGroup>{{EveryoneSid()}, {UsersSid()}}, UserPrivileges());
}

std::shared_ptr<Token> Token::FilteredAdministrator()
{
    return std::make_shared<Token>(
        UserSid(), std::vector<TokenGroup>{{EveryoneSid()}, {AdministratorsSid(), SE_GROUP_USE_FOR_DENY_ONLY}, {UsersSid()}},
        UserPrivileges());
}

std::shared_ptr<Token> Token::Copy() const
{
    std::lock_guard lock(m_mutex);
    return std::make_shared<Token>(m_user, m_groups, m_privileges);
}

SidBytes Token::User() const
{
    std::lock_guard lock(m_mutex);
    return m_user;
}

std::vector<TokenGroup> Token::Groups() const
{
    std::lock_guard lock(m_mutex);
    return m_groups;
}

std::vector<TokenPrivilege> Token::Privileges() const
{
    std::lock_guard lock(m_mutex);
    return m_privileges;
}

bool Token::HasGroup(const SidBytes& sid, bool countDenyOnly) const
{
    std::lock_guard lock(m_mutex);
    if (sid == m_user) return true;
    for (const TokenGroup& group : m_groups) {
        if (group.sid != sid) continue;
        if (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY) return countDenyOnly;
        return (group.attributes & SE_GROUP_ENABLED) != 0;
    }
    return false;
}

bool Token::HasPrivilege(std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    for (const TokenPrivilege& privilege : m_privileges)
        if (EqualNoCase(privilege.name, name)) return true;
    return false;
}

bool Token::IsPrivilegeEnabled(std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    for (const TokenPrivilege& privilege : m_privileges)
        if (EqualNoCase(privilege.name, name)) return (privilege.attributes & SE_PRIVILEGE_ENABLED) != 0;
    return false;
}

bool Token::SetPrivilegeEnabled(std::u16string_view name, bool enabled)
{
    std::lock_guard lock(m_mutex);
    for (TokenPrivilege& privilege : m_privileges) {
        if (!EqualNoCase(privilege.name, name)) continue;
        if (enabled) privilege.attributes |= SE_PRIVILEGE_ENABLED;
        else privilege.attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
        return true;
    }
    return false;
}

void Token::RemovePrivilege(std::u16string_view name)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_privileges, [&](const TokenPrivilege& privilege) { return EqualNoCase(privilege.name, name); });
}

HANDLE OpenTokenHandle(std::shared_ptr<Token> token, ACCESS_MASK access)
{
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    auto* body = new TokenObject{std::move(token)};
    {
        std::lock_guard lock(g_objectsMutex);
        g_objects.insert(body);
    }
    objects.Register(body, ObjectType::Other, [](void* object) {
        {
            std::lock_guard lock(g_objectsMutex);
            g_objects.erase(object);
        }
        delete static_cast<TokenObject*>(object);
    });
    HANDLE handle = objects.CreateHandle(body, access, UserMode);
    objects.Dereference(body);
    return handle;
}

std::shared_ptr<Token> TokenOfHandle(HANDLE handle, ACCESS_MASK required, DWORD& error)
{
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    const ObjectType other = ObjectType::Other;
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    if (!handle || !NT_SUCCESS(objects.ReferenceByHandle(handle, &other, &body, &granted))) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    std::shared_ptr<Token> token;
    {
        std::lock_guard lock(g_objectsMutex);
        if (g_objects.count(body)) token = static_cast<TokenObject*>(body)->token;
    }
    objects.Dereference(body);
    if (!token) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((required & ~granted) != 0) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return token;
}

}  // namespace emu::process
