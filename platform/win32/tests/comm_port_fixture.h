// A machine with one serial test port linked as COM5, and the handles the tests open on it.
#pragma once

#include <ntddser.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "machine_test.h"
#include "serial_test_driver.h"

namespace emu::testing {

class CommPortTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_port.emplace();
    }
    void TearDown() override
    {
        for (HANDLE handle : m_handles) CloseHandle(handle);
        m_handles.clear();
        MachineTest::TearDown();
        m_port.reset();
    }

    SerialTestPort& Port() { return *m_port; }

    // Opens COM5 (overlapped or not); the fixture closes it.
    HANDLE Open(bool overlapped = false, const char* path = "COM5")
    {
        HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) m_handles.push_back(handle);
        return handle;
    }

    void Close(HANDLE handle)
    {
        m_handles.erase(std::remove(m_handles.begin(), m_handles.end(), handle), m_handles.end());
        EXPECT_TRUE(CloseHandle(handle));
    }

    // The input bytes of the last recorded request with `code`, as a value of type T.
    template <typename T>
    T LastInput(ULONG code)
    {
        T value{};
        for (const auto& request : Port().Requests())
            if (request.code == code && request.input.size() >= sizeof(T)) std::memcpy(&value, request.input.data(), sizeof(T));
        return value;
    }

private:
    std::optional<SerialTestPort> m_port;
    std::vector<HANDLE> m_handles;
};

constexpr ULONG kGetState[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                               IOCTL_SERIAL_GET_HANDFLOW};
constexpr ULONG kSetState[] = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                               IOCTL_SERIAL_SET_HANDFLOW};

inline std::vector<ULONG> Concat(std::initializer_list<std::vector<ULONG>> parts)
{
    std::vector<ULONG> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline std::vector<ULONG> GetStateCodes() { return {std::begin(kGetState), std::end(kGetState)}; }
// SetCommState's sets: the baud rate, the line requests (those of the test port's own control modes,
// DTR and RTS enabled, unless told), then line control, characters and handshake.
inline std::vector<ULONG> SetStateCodes(const std::vector<ULONG>& lines = {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR})
{
    std::vector<ULONG> codes{kSetState[0]};
    codes.insert(codes.end(), lines.begin(), lines.end());
    codes.insert(codes.end(), std::begin(kSetState) + 1, std::end(kSetState));
    return codes;
}

}  // namespace emu::testing
