// GetCommState and SetCommState: the device-control block as the port's four settings (baud rate,
// line control, special characters, handshake and flow control) and back.
//
// SetCommState checks the block first (XonChar must differ from XoffChar, fDtrControl must name a
// mode), reads the four current settings, then sets the baud rate, drives RTS and DTR as the block's
// control modes say, and sets line control, characters and handshake, in that order. A line whose
// mode is a handshake or RTS toggle is left to the handshake. The break character, which the block
// does not carry, keeps its value. When one set fails, the previous settings (and the lines their
// modes drive) are sent again, so that a refused block leaves the port as it was; the call fails
// with the refused set's error.
#include "comm_requests.h"

#include <cstddef>

namespace emu::win32 {

namespace {

struct PortSettings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

// One of the four settings: where it lives in PortSettings and the codes that read and set it.
struct Setting {
    ULONG get;
    ULONG set;
    size_t offset;
    ULONG length;
};

constexpr Setting kSettings[] = {
    {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_BAUD_RATE, offsetof(PortSettings, baud), sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL, offsetof(PortSettings, line),
     sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS, offsetof(PortSettings, chars), sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW, offsetof(PortSettings, handflow), sizeof(SERIAL_HANDFLOW)},
};

NTSTATUS ReadSettings(HANDLE handle, PortSettings* settings)
{
    for (const Setting& setting : kSettings) {
        void* answer = reinterpret_cast<char*>(settings) + setting.offset;
        const NTSTATUS status = SerialControl(handle, setting.get, nullptr, 0, answer, setting.length).status;
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// The request that puts a line where its control mode holds it: `on` for ENABLE, `off` for
// DISABLE, none for the handshake and toggle modes, which the handshake drives.
ULONG LineRequest(ULONG mode, ULONG enable, ULONG on, ULONG off)
{
    return mode == enable ? on : mode == 0 ? off : 0;
}

// RTS, then DTR, as the handshake's control modes say. A driver refuses a line while the handshake
// still in force drives it; the handshake set that follows puts such a line where it belongs, so a
// refusal here is not the block's.
void DriveLines(HANDLE handle, const SERIAL_HANDFLOW& handflow)
{
    const ULONG requests[] = {
        LineRequest(handflow.FlowReplace & SERIAL_RTS_MASK, SERIAL_RTS_CONTROL, IOCTL_SERIAL_SET_RTS,
                    IOCTL_SERIAL_CLR_RTS),
        LineRequest(handflow.ControlHandShake & SERIAL_DTR_MASK, SERIAL_DTR_CONTROL, IOCTL_SERIAL_SET_DTR,
                    IOCTL_SERIAL_CLR_DTR),
    };
    for (ULONG code : requests)
        if (code != 0) (void)SerialControl(handle, code);
}

// Sends the four settings in order, the lines after the baud rate: a new block stops at the first
// refusal and answers with it; a restore sends every one it can.
NTSTATUS WriteSettings(HANDLE handle, const PortSettings& settings, bool stopAtRefusal)
{
    NTSTATUS first = STATUS_SUCCESS;
    for (const Setting& setting : kSettings) {
        const void* value = reinterpret_cast<const char*>(&settings) + setting.offset;
        const NTSTATUS status = SerialControl(handle, setting.set, value, setting.length).status;
        if (!NT_SUCCESS(status)) {
            if (NT_SUCCESS(first)) first = status;
            if (stopAtRefusal) break;
        }
        if (setting.set == IOCTL_SERIAL_SET_BAUD_RATE) DriveLines(handle, settings.handflow);
    }
    return first;
}

DWORD DtrControlOf(ULONG controlHandShake)
{
    switch (controlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: return DTR_CONTROL_ENABLE;
    case SERIAL_DTR_HANDSHAKE: return DTR_CONTROL_HANDSHAKE;
    default: return DTR_CONTROL_DISABLE;
    }
}

ULONG DtrBitsOf(DWORD dtrControl)
{
    return dtrControl == DTR_CONTROL_ENABLE      ? SERIAL_DTR_CONTROL
           : dtrControl == DTR_CONTROL_HANDSHAKE ? SERIAL_DTR_HANDSHAKE
                                                 : 0;
}

void FlowToDcb(const SERIAL_HANDFLOW& handflow, DCB* dcb)
{
    const ULONG shake = handflow.ControlHandShake;
    const ULONG replace = handflow.FlowReplace;
    dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = DtrControlOf(shake);
    dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (replace & SERIAL_RTS_MASK) >> 6;
    dcb->XonLim = static_cast<WORD>(handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(handflow.XoffLimit);
}

SERIAL_HANDFLOW FlowOfDcb(const DCB& dcb)
{
    SERIAL_HANDFLOW handflow{};
    handflow.ControlHandShake = DtrBitsOf(dcb.fDtrControl) | (dcb.fOutxCtsFlow ? SERIAL_CTS_HANDSHAKE : 0) |
                                (dcb.fOutxDsrFlow ? SERIAL_DSR_HANDSHAKE : 0) |
                                (dcb.fDsrSensitivity ? SERIAL_DSR_SENSITIVITY : 0) |
                                (dcb.fAbortOnError ? SERIAL_ERROR_ABORT : 0);
    handflow.FlowReplace = (dcb.fOutX ? SERIAL_AUTO_TRANSMIT : 0) | (dcb.fInX ? SERIAL_AUTO_RECEIVE : 0) |
                           (dcb.fErrorChar ? SERIAL_ERROR_CHAR : 0) | (dcb.fNull ? SERIAL_NULL_STRIPPING : 0) |
                           (ULONG{dcb.fRtsControl} << 6) | (dcb.fTXContinueOnXoff ? SERIAL_XOFF_CONTINUE : 0);
    handflow.XonLimit = dcb.XonLim;
    handflow.XoffLimit = dcb.XoffLim;
    return handflow;
}

void ToDcb(const PortSettings& settings, DCB* dcb)
{
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = settings.baud.BaudRate;
    dcb->fBinary = TRUE;
    dcb->fParity = settings.line.Parity != NO_PARITY;
    FlowToDcb(settings.handflow, dcb);
    dcb->ByteSize = settings.line.WordLength;
    dcb->Parity = settings.line.Parity;
    dcb->StopBits = settings.line.StopBits;
    dcb->XonChar = static_cast<char>(settings.chars.XonChar);
    dcb->XoffChar = static_cast<char>(settings.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(settings.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(settings.chars.EofChar);
    dcb->EvtChar = static_cast<char>(settings.chars.EventChar);
}

// The settings a block asks for; the break character stays as `current` has it.
PortSettings FromDcb(const DCB& dcb, const PortSettings& current)
{
    PortSettings settings;
    settings.baud.BaudRate = dcb.BaudRate;
    settings.line.StopBits = dcb.StopBits;
    settings.line.Parity = dcb.Parity;
    settings.line.WordLength = dcb.ByteSize;
    settings.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    settings.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    settings.chars.BreakChar = current.chars.BreakChar;
    settings.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    settings.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    settings.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    settings.handflow = FlowOfDcb(dcb);
    return settings;
}

// The checks kernel32 makes of a block before it sends anything.
bool IsValidDcb(const DCB& dcb)
{
    return dcb.XonChar != dcb.XoffChar && dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE;
}

}  // namespace

}  // namespace emu::win32

extern "C" BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    emu::win32::PortSettings settings;
    const NTSTATUS status = emu::win32::ReadSettings(hFile, &settings);
    if (NT_SUCCESS(status)) emu::win32::ToDcb(settings, lpDCB);
    return emu::win32::Answer(status);
}

extern "C" BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB || !emu::win32::IsValidDcb(*lpDCB)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    emu::win32::PortSettings previous;
    NTSTATUS status = emu::win32::ReadSettings(hFile, &previous);
    if (!NT_SUCCESS(status)) return emu::win32::Answer(status);
    status = emu::win32::WriteSettings(hFile, emu::win32::FromDcb(*lpDCB, previous), true);
    if (!NT_SUCCESS(status)) (void)emu::win32::WriteSettings(hFile, previous, false);  // the refusal's error stands
    return emu::win32::Answer(status);
}
