// GetCommTimeouts and SetCommTimeouts: COMMTIMEOUTS is the driver's SERIAL_TIMEOUTS.
#include "comm_requests.h"

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "the two time-out records are one layout");

extern "C" BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return emu::win32::SerialQuery(hFile, IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

// The time-outs go in; no answer is asked for.
extern "C" BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return emu::win32::Answer(
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS)).status);
}
