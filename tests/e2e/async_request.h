// One overlapped request of an application on a COM port handle: a ReadFile, a WriteFile or a
// WaitCommEvent, started at once and collected later. Waiting is bounded in real time, so a request
// that never completes fails its test instead of hanging it; the machine clock may stay paused.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace e2e {

class AsyncRequest {
public:
    explicit AsyncRequest(HANDLE file);
    // A request still pending is cancelled and collected.
    ~AsyncRequest();
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;

    // Each returns what the call itself returned (TRUE: completed at once); Error() has the
    // Win32 error when it returned FALSE (ERROR_IO_PENDING while the driver holds the request).
    BOOL Read(DWORD length);
    BOOL Write(std::vector<uint8_t> data);
    BOOL WaitEvent();

    // Whether the request is still with the driver.
    bool Pending();
    // Waits up to `bound` of real time for the request to complete; false when it did not.
    bool Finish(std::chrono::milliseconds bound = std::chrono::seconds(20));

    // After Finish: whether it succeeded, its Win32 error, the bytes moved, the bytes read and the
    // events a WaitCommEvent reported.
    bool Succeeded() const { return m_succeeded; }
    DWORD Error() const { return m_error; }
    DWORD Transferred() const { return m_transferred; }
    std::vector<uint8_t> Data() const { return {m_buffer.begin(), m_buffer.begin() + m_transferred}; }
    DWORD Events() const { return m_events; }

private:
    BOOL Started(BOOL done);

    HANDLE m_file;
    OVERLAPPED m_overlapped{};
    std::vector<uint8_t> m_buffer;
    DWORD m_events = 0;
    bool m_started = false;
    bool m_finished = false;
    bool m_succeeded = false;
    DWORD m_error = 0;
    DWORD m_transferred = 0;
};

}  // namespace e2e
