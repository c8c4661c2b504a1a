// Named mutexes as a program uses them to run once, and kernel32's wide-string comparisons.
#include <gtest/gtest.h>

#include <windows.h>

#include "machine_test.h"
#include "named_mutexes.h"

namespace emu::testing {
namespace {

class NamedMutexTest : public MachineTest {};

TEST_F(NamedMutexTest, ASecondCreationOpensTheFirstAndADeniedNameGivesNoHandle)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, u"{0B6C42A3-7829-4131-B5C8-804FC88ADCA5}");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexW(nullptr, FALSE, u"{0B6C42A3-7829-4131-B5C8-804FC88ADCA5}");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(second);
    CloseHandle(first);
    HANDLE again = CreateMutexW(nullptr, FALSE, u"{0B6C42A3-7829-4131-B5C8-804FC88ADCA5}");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "the last handle closed took the mutex";
    CloseHandle(again);

    win32::DenyNamedObject(u"{526F2CAB-3E2C-40ca-B7E6-3C7120AF1566}");
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"{526F2CAB-3E2C-40ca-B7E6-3C7120AF1566}"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(WideStringTest, ComparisonsWithAndWithoutCase)
{
    struct Case {
        LPCWSTR a, b;
        int exact, noCase;
    };
    for (const Case& c : {Case{u"s", u"S", 1, 0}, Case{u"s", u"s", 0, 0}, Case{u"h", u"s", -1, -1}, Case{u"", u"s", -1, -1},
                          Case{u"sh", u"s", 1, 1}}) {
        EXPECT_EQ(lstrcmpW(c.a, c.b) > 0 ? 1 : lstrcmpW(c.a, c.b) < 0 ? -1 : 0, c.exact);
        EXPECT_EQ(lstrcmpiW(c.a, c.b) > 0 ? 1 : lstrcmpiW(c.a, c.b) < 0 ? -1 : 0, c.noCase);
    }
    EXPECT_EQ(lstrlenW(u"Remover39"), 9);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

}  // namespace
}  // namespace emu::testing
