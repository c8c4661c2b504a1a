// A COM port as an application uses it through kernel32: opened for overlapped I/O, set up with a
// DCB and time-outs, written and read, and asked for its status and the driver's statistics.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace comcheck {

struct PortStatus {
    DWORD errors = 0;         // CE_* from ClearCommError
    DWORD inQueue = 0;        // bytes waiting to be read
    DWORD outQueue = 0;       // bytes waiting to be sent
    DWORD modemStatus = 0;    // MS_*_ON from GetCommModemStatus
    ULONG received = 0;       // the driver's statistics
    ULONG transmitted = 0;
    ULONG frameErrors = 0;
    ULONG overrunErrors = 0;  // the chip's receiver
    ULONG bufferOverruns = 0; // the driver's receive buffer
    ULONG parityErrors = 0;
};

class ComPort {
public:
    ComPort() = default;
    ~ComPort() { Close(); }
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // Each call returns false with `Error()` set to what failed and the Win32 error.
    bool Open(const std::u16string& name);
    bool Configure(DWORD rate, bool rtsCts);
    // Starts writing the whole block; FinishWrite waits for it and checks every byte was taken.
    bool StartWrite(const std::vector<uint8_t>& data);
    bool FinishWrite(DWORD& written);
    // Reads what has arrived, waiting up to `waitMs` of machine time for the first byte.
    bool ReadSome(std::vector<uint8_t>& into, size_t most, DWORD waitMs);
    bool Status(PortStatus& status);
    void Close();

    const std::string& Error() const { return m_error; }

private:
    bool Fail(const char* what);
    bool WaitOverlapped(OVERLAPPED& overlapped, DWORD& transferred, const char* what);

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    OVERLAPPED m_write = {};
    OVERLAPPED m_read = {};
    bool m_writing = false;
    DWORD m_readWaitMs = 0;
    const std::vector<uint8_t>* m_writeData = nullptr;
    std::string m_error;
};

}  // namespace comcheck
