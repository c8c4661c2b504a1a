// The port's queues and errors: SetupComm, PurgeComm, TransmitCommChar and ClearCommError.
#include "comm_requests.h"

namespace emu::win32 {

namespace {

struct ErrorBit {
    ULONG serial;
    DWORD comm;
};

constexpr ErrorBit kErrorBits[] = {
    {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER}, {SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {SERIAL_ERROR_PARITY, CE_RXPARITY},
    {SERIAL_ERROR_FRAMING, CE_FRAME},       {SERIAL_ERROR_BREAK, CE_BREAK},
};

DWORD CommErrorsOf(ULONG serialErrors)
{
    DWORD errors = 0;
    for (const ErrorBit& bit : kErrorBits)
        if (serialErrors & bit.serial) errors |= bit.comm;
    return errors;
}

COMSTAT ComStatOf(const SERIAL_STATUS& status)
{
    COMSTAT stat{};
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

}  // namespace

}  // namespace emu::win32

extern "C" BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return emu::win32::Answer(
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes)).status);
}

extern "C" BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return emu::win32::SerialCommandWith(hFile, IOCTL_SERIAL_PURGE, dwFlags);
}

extern "C" BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    return emu::win32::Answer(
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof(cChar)).status);
}

// Reads and clears the driver's error word; both answers are optional.
extern "C" BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    const NTSTATUS result =
        emu::win32::SerialControl(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)).status;
    if (!NT_SUCCESS(result)) return emu::win32::Answer(result);
    if (lpErrors) *lpErrors = emu::win32::CommErrorsOf(status.Errors);
    if (lpStat) *lpStat = emu::win32::ComStatOf(status);
    return TRUE;
}
