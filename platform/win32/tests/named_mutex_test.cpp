// Named mutexes as programs use them: the second creator opens the first one's object, a held
// mutex keeps a waiter out until it is released, the name goes with its last handle, and a name
// made under another security context gives no handle; and kernel32's wide-string comparisons.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "machine_test.h"
#include "named_mutex.h"

namespace emu::testing {
namespace {

constexpr char16_t kName[] = u"{0F3A5C1E-2B4D-4E6F-8A9B-C0D1E2F3A4B5}";

class NamedMutexTest : public MachineTest {};

TEST_F(NamedMutexTest, ANamedMutexIsSharedHeldAndGoneWithItsLastHandle)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, kName);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE second = CreateMutexW(nullptr, FALSE, kName);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

    EXPECT_EQ(WaitForSingleObject(first, INFINITE), WAIT_OBJECT_0);
    DWORD other = 0;
    std::thread([&] { other = WaitForSingleObject(second, 0); }).join();
    EXPECT_EQ(other, DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(first));
    std::thread([&] {
        other = WaitForSingleObject(second, 0);
        ReleaseMutex(second);
    }).join();
    EXPECT_EQ(other, WAIT_OBJECT_0);

    CloseHandle(first);
    CloseHandle(second);
    HANDLE again = CreateMutexW(nullptr, TRUE, kName);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    std::thread([&] { other = WaitForSingleObject(again, 0); }).join();
    EXPECT_EQ(other, DWORD(WAIT_TIMEOUT)) << "an initially owned mutex is held";
    CloseHandle(again);
}

TEST_F(NamedMutexTest, ACreationCanBeRefused)
{
    win32::FailNextMutexCreation(ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, kName), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
    EXPECT_NE(mutex, nullptr);
    CloseHandle(mutex);
}

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
