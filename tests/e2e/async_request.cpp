#include "async_request.h"

#include <thread>

namespace e2e {

AsyncRequest::AsyncRequest(HANDLE file) : m_file(file) { m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

AsyncRequest::~AsyncRequest()
{
    if (m_started && !m_finished) {
        CancelIoEx(m_file, &m_overlapped);
        Finish();
    }
    CloseHandle(m_overlapped.hEvent);
}

BOOL AsyncRequest::Started(BOOL done)
{
    m_started = true;
    m_error = done ? ERROR_SUCCESS : GetLastError();
    if (!done && m_error != ERROR_IO_PENDING) m_finished = true;  // refused at once
    return done;
}

BOOL AsyncRequest::Read(DWORD length)
{
    m_buffer.assign(length, 0);
    DWORD ignored = 0;
    return Started(ReadFile(m_file, m_buffer.data(), length, &ignored, &m_overlapped));
}

BOOL AsyncRequest::Write(std::vector<uint8_t> data)
{
    m_buffer = std::move(data);
    DWORD ignored = 0;
    return Started(WriteFile(m_file, m_buffer.data(), static_cast<DWORD>(m_buffer.size()), &ignored, &m_overlapped));
}

BOOL AsyncRequest::WaitEvent() { return Started(WaitCommEvent(m_file, &m_events, &m_overlapped)); }

bool AsyncRequest::Pending()
{
    DWORD transferred = 0;
    return m_started && !m_finished && !GetOverlappedResultEx(m_file, &m_overlapped, &transferred, 0, FALSE) &&
           GetLastError() == ERROR_IO_INCOMPLETE;
}

bool AsyncRequest::Finish(std::chrono::milliseconds bound)
{
    if (m_finished) return true;
    if (!m_started) return false;
    // Polled rather than waited on: a machine wait follows the machine clock, which may be paused.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        DWORD transferred = 0;
        const BOOL done = GetOverlappedResultEx(m_file, &m_overlapped, &transferred, 0, FALSE);
        if (done || GetLastError() != ERROR_IO_INCOMPLETE) {
            m_finished = true;
            m_succeeded = done != FALSE;
            m_error = done ? ERROR_SUCCESS : GetLastError();
            m_transferred = transferred;
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
}

}  // namespace e2e
