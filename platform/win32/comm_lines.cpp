// The port's output lines and modem status: SetCommBreak, ClearCommBreak, EscapeCommFunction and
// GetCommModemStatus.
#include "comm_requests.h"

namespace emu::win32 {

namespace {

// EscapeCommFunction's functions (SETXOFF = 1 ... CLRBREAK = 9) in order.
constexpr ULONG kEscapeCodes[] = {
    IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_RTS,      IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_DTR,  IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON,
    IOCTL_SERIAL_SET_BREAK_OFF,
};

}  // namespace

}  // namespace emu::win32

extern "C" BOOL SetCommBreak(HANDLE hFile) { return emu::win32::SerialCommand(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

extern "C" BOOL ClearCommBreak(HANDLE hFile) { return emu::win32::SerialCommand(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

extern "C" BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    constexpr DWORD kCount = sizeof(emu::win32::kEscapeCodes) / sizeof(emu::win32::kEscapeCodes[0]);
    if (dwFunc < SETXOFF || dwFunc > kCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return emu::win32::SerialCommand(hFile, emu::win32::kEscapeCodes[dwFunc - SETXOFF]);
}

// The driver's modem status register as it is (the MS_*_ON bits and the change bits below them).
extern "C" BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return emu::win32::SerialQuery(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat, sizeof(DWORD));
}
