// Tokens, privileges, ACLs and the access check, through the calls the wizards make.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "machine_test.h"
#include "program.h"
#include "security_descriptor.h"
#include "shutdown.h"

namespace emu::testing {
namespace {

using process::Ace;
using process::Descriptor;
using process::Program;
using process::ProgramScope;
using process::Token;

// The administrators test the wizards make: the thread's token, else the process's, then its groups.
bool TokenHoldsAdministrators()
{
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint64_t> buffer((needed + 7) / 8);
    EXPECT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed));
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators);
    bool found = false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD index = 0; index < groups->GroupCount; ++index) found |= EqualSid(groups->Groups[index].Sid, administrators) != 0;
    FreeSid(administrators);
    EXPECT_TRUE(CloseHandle(token));
    return found;
}

class SecurityTest : public MachineTest {
protected:
    void Run(std::shared_ptr<Token> token) { m_scope.emplace(std::make_shared<Program>(u"C:\\p.exe", false, std::move(token))); }
    std::optional<ProgramScope> m_scope;
    void TearDown() override
    {
        m_scope.reset();
        MachineTest::TearDown();
    }
};

TEST_F(SecurityTest, AdministratorsAreFoundInEveryStateButAbsentForAStandardUser)
{
    struct Case {
        std::shared_ptr<Token> token;
        bool holds;
    };
    for (const Case& c : {Case{Token::Administrator(), true}, Case{Token::FilteredAdministrator(), true},
                          Case{Token::StandardUser(), false}}) {
        Run(c.token);
        EXPECT_EQ(TokenHoldsAdministrators(), c.holds);
    }
}

TEST_F(SecurityTest, RestartNeedsTheShutdownPrivilegeEnabledAndAMissingOneIsReportedByTheLastError)
{
    auto token = Token::Administrator();
    Run(token);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));

    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &handle));
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid));
    EXPECT_EQ(privileges.Privileges[0].Luid.LowPart, 19u);
    ASSERT_TRUE(AdjustTokenPrivileges(handle, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    ASSERT_EQ(process::ShutdownRequests().size(), 1u);
    EXPECT_EQ(process::ShutdownRequests()[0].flags, static_cast<UINT>(EWX_REBOOT | EWX_FORCE));
    process::FailNextShutdown(ERROR_SHUTDOWN_IN_PROGRESS);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    CloseHandle(handle);

    token->RemovePrivilege(u"SeShutdownPrivilege");
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &handle));
    EXPECT_TRUE(AdjustTokenPrivileges(handle, FALSE, &privileges, 0, nullptr, nullptr)) << "succeeds all the same";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
    EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(handle);
    CloseHandle(queryOnly);
}

// The Remover's access grant: the key's list read back, an Administrators entry added after the
// entries already there, the descriptor written and later restored.
TEST_F(SecurityTest, AnEntryAddedToAnExistingListKeepsTheOldEntriesInOrder)
{
    Descriptor original;
    original.owner = process::AdministratorsSid();
    original.daclPresent = true;
    original.dacl = std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, process::LocalSystemSid()},
                                     {ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, process::EveryoneSid()}};
    std::vector<uint8_t> stored = process::SelfRelative(original);

    BOOL present = FALSE, defaulted = FALSE;
    PACL old = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(stored.data(), &present, &old, &defaulted));
    ASSERT_TRUE(present);
    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(GetAclInformation(old, &size, sizeof size, AclSizeInformation));
    EXPECT_EQ(size.AceCount, 2u);

    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators);
    const DWORD length = size.AclBytesInUse + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(administrators);
    std::vector<uint64_t> memory((length + 7) / 8);
    auto* acl = reinterpret_cast<PACL>(memory.data());
    ASSERT_TRUE(InitializeAcl(acl, length, ACL_REVISION));
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        ASSERT_TRUE(GetAce(old, index, &ace));
        ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize));
    }
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, administrators));
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, administrators)) << "the list is full";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));

    SECURITY_DESCRIPTOR absolute;
    ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE));
    std::optional<Descriptor> read = process::ReadDescriptor(&absolute);
    ASSERT_TRUE(read && read->dacl);
    ASSERT_EQ(read->dacl->size(), 3u);
    EXPECT_EQ((*read->dacl)[0], (*original.dacl)[0]);
    EXPECT_EQ((*read->dacl)[1], (*original.dacl)[1]);
    EXPECT_EQ((*read->dacl)[2].sid, process::AdministratorsSid());
    FreeSid(administrators);

    std::optional<Descriptor> back = process::ReadDescriptor(stored.data());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
}

TEST_F(SecurityTest, TheAccessCheckTakesEntriesInOrderAndLetsTheOwnerChangeTheList)
{
    Descriptor descriptor;
    descriptor.owner = process::AdministratorsSid();
    descriptor.daclPresent = true;
    descriptor.dacl = std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, process::LocalSystemSid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, process::EveryoneSid()},
                                       {ACCESS_DENIED_ACE_TYPE, 0, KEY_READ, process::UsersSid()}};
    const auto adminToken = Token::Administrator();
    const auto userToken = Token::StandardUser();
    const Token& admin = *adminToken;
    const Token& user = *userToken;
    struct Case {
        const Token* token;
        ACCESS_MASK desired;
        ACCESS_MASK granted;
    };
    const Case cases[] = {
        {&admin, KEY_READ, KEY_READ},                    // allowed before the deny entry
        {&admin, DELETE, 0},                             // SYSTEM only
        {&admin, WRITE_DAC, WRITE_DAC},                  // the owner's right
        {&admin, MAXIMUM_ALLOWED, KEY_READ | WRITE_DAC | READ_CONTROL},
        {&user, KEY_READ, KEY_READ},
        {&user, WRITE_DAC, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(process::GrantedAccess(*c.token, descriptor, c.desired, KEY_ALL_ACCESS), c.granted);
    descriptor.dacl = std::vector<Ace>{};
    EXPECT_EQ(process::GrantedAccess(user, descriptor, KEY_READ, KEY_ALL_ACCESS), 0u) << "an empty list refuses all";
    descriptor.dacl.reset();
    EXPECT_EQ(process::GrantedAccess(user, descriptor, KEY_ALL_ACCESS, KEY_ALL_ACCESS), static_cast<ACCESS_MASK>(KEY_ALL_ACCESS))
        << "a null list refuses nothing";
}

}  // namespace
}  // namespace emu::testing
