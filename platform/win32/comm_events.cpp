// The port's events: GetCommMask, SetCommMask and WaitCommEvent (synchronous or overlapped).
#include "comm_requests.h"

extern "C" BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return emu::win32::SerialQuery(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return emu::win32::SerialCommandWith(hFile, IOCTL_SERIAL_SET_WAIT_MASK, dwEvtMask);
}

// With an OVERLAPPED the wait goes as an overlapped device control: FALSE with ERROR_IO_PENDING
// while the driver holds it, and the events reach *lpEvtMask when it completes.
extern "C" BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpEvtMask && lpOverlapped) {
        DWORD returned = 0;
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &returned,
                               lpOverlapped);
    }
    return emu::win32::SerialQuery(hFile, IOCTL_SERIAL_WAIT_ON_MASK, lpEvtMask, sizeof(DWORD));
}
