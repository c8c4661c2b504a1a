// The port's events: GetCommMask, SetCommMask and WaitCommEvent (synchronous or overlapped).
#include "comm_requests.h"

extern "C" BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (!lpEvtMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return emu::win32::Answer(
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD)).status);
}

extern "C" BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return emu::win32::SerialCommandWith(hFile, IOCTL_SERIAL_SET_WAIT_MASK, dwEvtMask);
}

// With an OVERLAPPED the wait goes as an overlapped device control: FALSE with ERROR_IO_PENDING
// while the driver holds it, and the events reach *lpEvtMask when it completes.
extern "C" BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (!lpEvtMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpOverlapped) {
        DWORD returned = 0;
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &returned,
                               lpOverlapped);
    }
    return emu::win32::Answer(
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD)).status);
}
