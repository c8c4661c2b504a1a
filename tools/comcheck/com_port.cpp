#include "com_port.h"

#include <ntddser.h>

#include <cstdio>

namespace comcheck {

bool ComPort::Fail(const char* what)
{
    const DWORD error = GetLastError();
    char text[128];
    std::snprintf(text, sizeof text, "%s failed (Win32 error %lu)", what, static_cast<unsigned long>(error));
    m_error = text;
    return false;
}

bool ComPort::Open(const std::u16string& name)
{
    const std::u16string path = u"\\\\.\\" + name;
    m_handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) return Fail("CreateFile");
    m_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_write.hEvent == nullptr || m_read.hEvent == nullptr) return Fail("CreateEvent");
    return true;
}

bool ComPort::Configure(DWORD rate, bool rtsCts)
{
    if (!SetupComm(m_handle, 16384, 16384)) return Fail("SetupComm");
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handle, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = rtsCts ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(m_handle, &dcb)) return Fail("SetCommState");
    if (!PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR)) return Fail("PurgeComm");
    return true;
}

bool ComPort::WaitOverlapped(OVERLAPPED& overlapped, DWORD& transferred, const char* what)
{
    if (!GetOverlappedResult(m_handle, &overlapped, &transferred, TRUE)) return Fail(what);
    return true;
}

bool ComPort::StartWrite(const std::vector<uint8_t>& data)
{
    COMMTIMEOUTS timeouts = {};
    // Reads return what has arrived, or wait for the first byte up to the constant; writes never time out.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(m_handle, &timeouts)) return Fail("SetCommTimeouts");
    m_readWaitMs = 1000;
    m_writeData = &data;
    ResetEvent(m_write.hEvent);
    DWORD written = 0;
    if (WriteFile(m_handle, data.data(), static_cast<DWORD>(data.size()), &written, &m_write)) {
        m_writing = true;  // done already; FinishWrite collects the count
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) return Fail("WriteFile");
    m_writing = true;
    return true;
}

bool ComPort::FinishWrite(DWORD& written)
{
    written = 0;
    if (!m_writing) return true;
    m_writing = false;
    if (!WaitOverlapped(m_write, written, "WriteFile")) return false;
    if (m_writeData != nullptr && written != m_writeData->size()) {
        m_error = "WriteFile took " + std::to_string(written) + " of " + std::to_string(m_writeData->size()) + " bytes";
        return false;
    }
    return true;
}

bool ComPort::ReadSome(std::vector<uint8_t>& into, size_t most, DWORD waitMs)
{
    if (waitMs != m_readWaitMs) {
        COMMTIMEOUTS timeouts = {};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = waitMs;
        if (!SetCommTimeouts(m_handle, &timeouts)) return Fail("SetCommTimeouts");
        m_readWaitMs = waitMs;
    }
    const size_t start = into.size();
    into.resize(start + most);
    ResetEvent(m_read.hEvent);
    DWORD got = 0;
    if (!ReadFile(m_handle, into.data() + start, static_cast<DWORD>(most), &got, &m_read)) {
        if (GetLastError() != ERROR_IO_PENDING || !WaitOverlapped(m_read, got, "ReadFile")) {
            into.resize(start);
            return Fail("ReadFile");
        }
    }
    into.resize(start + got);
    return true;
}

bool ComPort::Status(PortStatus& status)
{
    COMSTAT comstat = {};
    if (!ClearCommError(m_handle, &status.errors, &comstat)) return Fail("ClearCommError");
    status.inQueue = comstat.cbInQue;
    status.outQueue = comstat.cbOutQue;
    if (!GetCommModemStatus(m_handle, &status.modemStatus)) return Fail("GetCommModemStatus");
    SERIALPERF_STATS stats = {};
    DWORD returned = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_read.hEvent;
    ResetEvent(m_read.hEvent);
    if (!DeviceIoControl(m_handle, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, &returned, &overlapped) &&
        (GetLastError() != ERROR_IO_PENDING || !WaitOverlapped(overlapped, returned, "IOCTL_SERIAL_GET_STATS")))
        return Fail("IOCTL_SERIAL_GET_STATS");
    status.received = stats.ReceivedCount;
    status.transmitted = stats.TransmittedCount;
    status.frameErrors = stats.FrameErrorCount;
    status.overrunErrors = stats.SerialOverrunErrorCount;
    status.bufferOverruns = stats.BufferOverrunErrorCount;
    status.parityErrors = stats.ParityErrorCount;
    return true;
}

void ComPort::Close()
{
    if (m_writing) {
        CancelIo(m_handle);
        DWORD ignored = 0;
        GetOverlappedResult(m_handle, &m_write, &ignored, TRUE);
        m_writing = false;
    }
    for (HANDLE* h : {&m_write.hEvent, &m_read.hEvent})
        if (*h != nullptr) CloseHandle(*h), *h = nullptr;
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle), m_handle = INVALID_HANDLE_VALUE;
}

}  // namespace comcheck
