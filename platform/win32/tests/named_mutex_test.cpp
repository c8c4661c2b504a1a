// Named mutexes as two programs use them: the second creator opens the first one's object, a held
// mutex keeps a waiter out until it is released, and the name goes with its last handle.
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

}  // namespace
}  // namespace emu::testing
