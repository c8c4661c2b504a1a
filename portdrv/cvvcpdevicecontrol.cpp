// The serial control codes of the COM port: checks, buffer rules and the port-object operation
// each one calls.
#include <ntddser.h>

#include "cvvcpdriver.h"
#include "cvvcpserialcodes.h"
#include "tfdebug.h"
#include "tffunctionaldevice.h"

namespace {

// Buffer rule of a control code: the least input and output lengths.
struct VCP_CODE_RULE {
    ULONG ulCode;
    const char* pszName;
    ULONG ulMinInput;
    ULONG ulMinOutput;
};

const VCP_CODE_RULE g_CodeRules[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE", 4, 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE", 8, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL", 3, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, "IOCTL_SERIAL_SET_BREAK_ON", 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, "IOCTL_SERIAL_SET_BREAK_OFF", 0, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IOCTL_SERIAL_IMMEDIATE_CHAR", 1, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS", 20, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS", 0, 20},
    {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR", 0, 0},
    {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR", 0, 0},
    {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE", 0, 0},
    {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS", 0, 0},
    {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS", 0, 0},
    {IOCTL_SERIAL_SET_XOFF, "IOCTL_SERIAL_SET_XOFF", 0, 0},
    {IOCTL_SERIAL_SET_XON, "IOCTL_SERIAL_SET_XON", 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK", 0, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK", 4, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK", 0, 4},
    {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE", 4, 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE", 0, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL", 0, 3},
    {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS", 0, 6},
    {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS", 6, 0},
    {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW", 0, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW", 16, 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS", 0, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS", 0, 20},
    {IOCTL_SERIAL_XOFF_COUNTER, "", 0, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, "IOCTL_SERIAL_GET_PROPERTIES", 0, 64},
    {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS", 0, 4},
    {IOCTL_SERIAL_LSRMST_INSERT, "IOCTL_SERIAL_LSRMST_INSERT", 1, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, "IOCTL_SERIAL_CONFIG_SIZE", 0, 4},
    {IOCTL_SERIAL_GET_COMMCONFIG, "IOCTL_SERIAL_GET_COMMCONFIG", 0, 0},
    {IOCTL_SERIAL_SET_COMMCONFIG, "IOCTL_SERIAL_SET_COMMCONFIG", 0, 0},
    {IOCTL_SERIAL_GET_STATS, "IOCTL_SERIAL_GET_STATS", 0, 24},
    {IOCTL_SERIAL_CLEAR_STATS, "IOCTL_SERIAL_CLEAR_STATS", 0, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, "IOCTL_SERIAL_GET_MODEM_CONTROL", 0, 4},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, "IOCTL_SERIAL_SET_MODEM_CONTROL", 4, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, "IOCTL_SERIAL_SET_FIFO_CONTROL", 1, 0},
    {IOCTL_CVSERIAL_GET_DUPLEX_MODE, "IOCTL_CVSERIAL_GET_DUPLEX_MODE", 0, 8},
    {IOCTL_CVSERIAL_SET_DUPLEX_MODE, "IOCTL_CVSERIAL_SET_DUPLEX_MODE", 8, 0},
    {IOCTL_CVSERIAL_SET_LOOPBACK_MODE, "IOCTL_CVSERIAL_SET_LOOPBACK_MODE", 0, 0},
    {IOCTL_CVSERIAL_CLEAR_LOOPBACK_MODE, "IOCTL_CVSERIAL_CLEAR_LOOPBACK_MODE", 0, 0},
    {IOCTL_CVSERIAL_READ_EEPROM, "IOCTL_CVSERIAL_READ_EEPROM", 0, 0},
    {IOCTL_CVSERIAL_WRITE_EEPROM, "IOCTL_CVSERIAL_WRITE_EEPROM", 0, 0},
};

const VCP_CODE_RULE* FindRule(ULONG ulCode)
{
    for (const VCP_CODE_RULE& Rule : g_CodeRules) {
        if (Rule.ulCode == ulCode) {
            return &Rule;
        }
    }
    return NULL;
}

// The length test first, then the buffer's presence.
NTSTATUS CheckBuffer(PVOID pBuffer, ULONG ulLength, ULONG ulMinimum)
{
    if (ulMinimum == 0) {
        return STATUS_SUCCESS;
    }
    if (ulLength < ulMinimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return pBuffer == NULL ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// A "set" result: negative statuses stay, anything else is success.
NTSTATUS SetResult(NTSTATUS Status)
{
    return Status < 0 ? Status : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CCvUVCPDriver::sm_DeviceControlCallback(CTfObject* pObject, ULONG ulCode, PVOID pInput, ULONG ulInputLength,
                                                 PVOID pOutput, ULONG ulOutputLength, PULONG_PTR pulInformation,
                                                 CTfControlQueue** ppQueue)
{
    TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - IN - IOCTL - 0x%X", ulCode);
    NTSTATUS Status = ((CCvUVCPDriver*)pObject)
                          ->m_DoDeviceControl(ulCode, pInput, ulInputLength, pOutput, ulOutputLength, pulInformation,
                                              ppQueue);
    TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - OUT - IOCTL - 0x%X (NTSTATUS:0x%X)", ulCode,
               (ULONG)Status);
    return Status;
}

NTSTATUS CCvUVCPDriver::m_DoDeviceControl(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                          ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue)
{
    TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - IN - IoCode = 0x%08x", ulCode);
    *pulInformation = 0;
    if (!m_IsOpen()) {
        TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - Error: Device is not opened.");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - Error - pVCP is NULL.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulCode != IOCTL_SERIAL_GET_COMMSTATUS && pVcp->m_IsErrorAbortPending()) {
        m_ReleaseVcp();
        TfDebugLog(7, "CCvUVCPDriver::m_DeviceControlCallback - Error - Deivce is error and IOCTL is "
                      "IOCTL_SERIAL_GET_COMMSTATUS.");
        return STATUS_CANCELLED;
    }
    m_ReleaseVcp();

    const VCP_CODE_RULE* pRule = FindRule(ulCode);
    if (pRule == NULL) {
        TfDebugLog(7, "Device Control - IoCode = 0x%08x - NOT SUPPORTED", ulCode);
        return STATUS_NOT_SUPPORTED;
    }
    if (pRule->pszName[0] != '\0') {
        TfDebugLog(7, "%s", pRule->pszName);
    }
    NTSTATUS Status = CheckBuffer(pInput, ulInputLength, pRule->ulMinInput);
    if (Status == STATUS_SUCCESS) {
        Status = CheckBuffer(pOutput, ulOutputLength, pRule->ulMinOutput);
    }
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    switch (ulCode) {
    case IOCTL_SERIAL_XOFF_COUNTER:
        return m_ControlXoffCounter(pInput, ulInputLength);
    case IOCTL_CVSERIAL_READ_EEPROM:
    case IOCTL_CVSERIAL_WRITE_EEPROM:
        return m_ControlEeprom(ulCode, pInput, ulInputLength, pOutput, ulOutputLength, pulInformation);
    case IOCTL_SERIAL_CONFIG_SIZE:
        *(PULONG)pOutput = 0;
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
        return STATUS_NOT_SUPPORTED;
    case IOCTL_CVSERIAL_SET_DUPLEX_MODE: {
        ULONG ulMode = ((PCVSERIAL_DUPLEX_MODE)pInput)->ulDuplexMode;
        if (ulMode < 1 || ulMode > 5) {
            return STATUS_INVALID_PARAMETER;
        }
        break;
    }
    default:
        break;
    }
    return m_ControlWithPort(ulCode, pInput, ulInputLength, pOutput, ulOutputLength, pulInformation, ppQueue);
}

NTSTATUS CCvUVCPDriver::m_ControlWithPort(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                          ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue)
{
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        if (ulCode == IOCTL_SERIAL_WAIT_ON_MASK) {
            *(PULONG)pOutput = 0;
            *pulInformation = sizeof(ULONG);
            return STATUS_INVALID_PARAMETER;
        }
        DbgPrint("ASSERT at - %s %d\n", "cvvcpdriver", __LINE__);
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS Status = m_CallPort(pVcp, ulCode, pInput, ulInputLength, pOutput, ulOutputLength, pulInformation, ppQueue);
    m_ReleaseVcp();
    return Status;
}

NTSTATUS CCvUVCPDriver::m_CallPort(CVCP* pVcp, ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                   ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue)
{
    PULONG pulOut = (PULONG)pOutput;
    switch (ulCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetResult(pVcp->m_SetBaudRate((PSERIAL_BAUD_RATE)pInput));
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return SetResult(pVcp->m_SetQueueSize((PSERIAL_QUEUE_SIZE)pInput));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetResult(pVcp->m_SetLineControl((PSERIAL_LINE_CONTROL)pInput));
    case IOCTL_SERIAL_SET_BREAK_ON:
        return SetResult(pVcp->m_SetBreakOn());
    case IOCTL_SERIAL_SET_BREAK_OFF:
        return SetResult(pVcp->m_SetBreakOff());
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return SetResult(pVcp->m_SendImmediateChar(*(PUCHAR)pInput));
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        NTSTATUS Status = pVcp->m_SetTimeouts((PSERIAL_TIMEOUTS)pInput);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        if (ulOutputLength != 0) {
            if (pOutput == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            // Copied back only into a buffer that holds all five values.
            if (ulOutputLength >= sizeof(SERIAL_TIMEOUTS)) {
                pVcp->m_GetTimeouts((PSERIAL_TIMEOUTS)pOutput);
                *pulInformation = sizeof(SERIAL_TIMEOUTS);
            }
        }
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        pVcp->m_GetTimeouts((PSERIAL_TIMEOUTS)pOutput);
        *pulInformation = sizeof(SERIAL_TIMEOUTS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
        return SetResult(pVcp->m_SetDtr());
    case IOCTL_SERIAL_CLR_DTR:
        return SetResult(pVcp->m_ClearDtr());
    case IOCTL_SERIAL_RESET_DEVICE:
        return SetResult(pVcp->m_ResetDevice());
    case IOCTL_SERIAL_SET_RTS:
        return SetResult(pVcp->m_SetRts());
    case IOCTL_SERIAL_CLR_RTS:
        return SetResult(pVcp->m_ClearRts());
    case IOCTL_SERIAL_SET_XOFF:
        return SetResult(pVcp->m_SetXoff());
    case IOCTL_SERIAL_SET_XON:
        return SetResult(pVcp->m_SetXon());
    case IOCTL_SERIAL_GET_WAIT_MASK: {
        NTSTATUS Status = pVcp->m_GetWaitMask(pulOut);
        if (Status < 0) return Status;
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        NTSTATUS Status = pVcp->m_SetWaitMask(*(PULONG)pInput);
        return Status;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return pVcp->m_WaitOnMask(ppQueue);
    case IOCTL_SERIAL_PURGE:
        return SetResult(pVcp->m_Purge(*(PULONG)pInput));
    case IOCTL_SERIAL_GET_BAUD_RATE:
        *pulOut = pVcp->m_GetBaudRate();
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        pVcp->m_GetLineControl((PSERIAL_LINE_CONTROL)pOutput);
        *pulInformation = sizeof(SERIAL_LINE_CONTROL);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_CHARS:
        pVcp->m_GetChars((PSERIAL_CHARS)pOutput);
        *pulInformation = sizeof(SERIAL_CHARS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_CHARS:
        return SetResult(pVcp->m_SetSpecialCharacters((PSERIAL_CHARS)pInput));
    case IOCTL_SERIAL_GET_HANDFLOW:
        pVcp->m_GetHandFlow((PSERIAL_HANDFLOW)pOutput);
        *pulInformation = sizeof(SERIAL_HANDFLOW);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetResult(pVcp->m_SetHandFlow((PSERIAL_HANDFLOW)pInput));
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        *pulOut = pVcp->m_GetModemStatus();
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        NTSTATUS Status = pVcp->m_GetCommStatus((PSERIAL_STATUS)pOutput);
        if (Status < 0) return Status;
        *pulInformation = sizeof(SERIAL_STATUS);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
        NTSTATUS Status = pVcp->m_GetPortProperties((PSERIAL_COMMPROP)pOutput);
        if (Status < 0) return Status;
        *pulInformation = 64;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_DTRRTS:
        *pulOut = pVcp->m_GetModemControl() & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_LSRMST_INSERT:
        return SetResult(pVcp->m_SetLsrMstInsert(*(PUCHAR)pInput));
    case IOCTL_SERIAL_GET_STATS:
        pVcp->m_GetStatistics((PSERIALPERF_STATS)pOutput);
        pVcp->m_DumpStatistics();
        *pulInformation = sizeof(SERIALPERF_STATS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLEAR_STATS:
        pVcp->m_ClearStatistics();
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        *pulOut = pVcp->m_GetModemControl();
        *pulInformation = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        return SetResult(pVcp->m_SetModemControl(*(PULONG)pInput));
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return SetResult(pVcp->m_SetFifoControl(*(PUCHAR)pInput));
    case IOCTL_CVSERIAL_GET_DUPLEX_MODE: {
        CCvUVcpUserModeInterface* pSet = pVcp->m_GetParameters();
        if (pSet == NULL) return STATUS_UNSUCCESSFUL;
        RtlZeroMemory(pOutput, 8);
        ((PCVSERIAL_DUPLEX_MODE)pOutput)->ulDuplexMode = pSet->m_Values().ulDuplexMode;
        ((PCVSERIAL_DUPLEX_MODE)pOutput)->ucCtsTrue = pSet->m_Values().ul422485CtsTrue != 0;
        *pulInformation = 8;
        return STATUS_SUCCESS;
    }
    case IOCTL_CVSERIAL_SET_DUPLEX_MODE: {
        PCVSERIAL_DUPLEX_MODE pMode = (PCVSERIAL_DUPLEX_MODE)pInput;
        return SetResult(pVcp->m_SetDuplexMode(pMode->ulDuplexMode, pMode->ucCtsTrue));
    }
    case IOCTL_CVSERIAL_SET_LOOPBACK_MODE:
        return SetResult(pVcp->m_SetInternalLoopBackMode(1));
    case IOCTL_CVSERIAL_CLEAR_LOOPBACK_MODE:
        return SetResult(pVcp->m_SetInternalLoopBackMode(0));
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS CCvUVCPDriver::m_ControlXoffCounter(PVOID pInput, ULONG ulInputLength)
{
    PSERIAL_XOFF_COUNTER pCounter = (PSERIAL_XOFF_COUNTER)pInput;
    if (pInput == NULL || ulInputLength < 12 || pCounter->Counter < 1) {
        return STATUS_SUCCESS;
    }
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "cvvcpdriver", __LINE__);
        return STATUS_UNSUCCESSFUL;
    }
    m_pFunctionalDevice->m_GetWriteQueue()->m_SetXoffCounter(sm_SendXoffCounterChar, this, pCounter->Timeout,
                                                            (ULONG)pCounter->Counter, pCounter->XoffChar);
    m_ReleaseVcp();
    return STATUS_SUCCESS;
}

NTSTATUS CCvUVCPDriver::m_ControlEeprom(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                        ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    BOOLEAN bRead = ulCode == IOCTL_CVSERIAL_READ_EEPROM;
    ULONG ulMinimum = bRead ? 8 : 12;
    if (ulInputLength < ulMinimum) return STATUS_BUFFER_TOO_SMALL;
    if (pInput == NULL) return STATUS_INVALID_PARAMETER;
    PCVSERIAL_EEPROM_REQUEST pRequest = (PCVSERIAL_EEPROM_REQUEST)pInput;
    if (bRead) {
        if (ulOutputLength != pRequest->ulLength) return STATUS_BUFFER_TOO_SMALL;
        if (pOutput == NULL) return STATUS_INVALID_PARAMETER;
    } else if ((ULONGLONG)ulInputLength != (ULONGLONG)pRequest->ulLength + 8 || ulOutputLength != 0) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    // The output is the system buffer the input came in: the request is taken before it is filled.
    ULONG ulStart = pRequest->ulStart;
    ULONG ulLength = pRequest->ulLength;
    NTSTATUS Status = bRead ? pVcp->m_ReadEeprom(ulStart, ulLength, (PUCHAR)pOutput)
                            : pVcp->m_WriteEeprom(ulStart, ulLength, (PUCHAR)pInput + 8);
    m_ReleaseVcp();
    if (Status < 0) {
        return Status;
    }
    *pulInformation = bRead ? ulOutputLength : 0;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Internal control codes
// ---------------------------------------------------------------------------------------------

NTSTATUS CCvUVCPDriver::sm_InternalDeviceControlCallback(CTfObject* pObject, ULONG ulCode, PVOID pInput,
                                                         ULONG ulInputLength, PVOID pOutput, ULONG ulOutputLength,
                                                         PULONG_PTR pulInformation)
{
    return ((CCvUVCPDriver*)pObject)
        ->m_InternalDeviceControl(ulCode, pInput, ulInputLength, pOutput, ulOutputLength, pulInformation);
}

NTSTATUS CCvUVCPDriver::m_InternalDeviceControl(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                                ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    *pulInformation = 0;
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_InternalDeviceControlCallback - OUT - Failed because pVCP is NULL.");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS Status;
    if (pVcp->m_IsErrorAbortPending()) {
        TfDebugLog(7, "CCvUVCPDriver::m_InternalDeviceControlCallback - OUT - Error - Deivce is error and IOCTL is "
                      "IOCTL_SERIAL_GET_COMMSTATUS.");
        Status = STATUS_CANCELLED;
    } else {
        switch (ulCode) {
        case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
            Status = pVcp->m_DoWaitWake();
            break;
        case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
            Status = pVcp->m_CancelWaitWake();
            break;
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
            Status = CheckBuffer(pOutput, ulOutputLength, sizeof(SERIAL_BASIC_SETTINGS));
            if (Status == STATUS_SUCCESS) {
                Status = pVcp->m_InternalBasicSettings((PSERIAL_BASIC_SETTINGS)pOutput);
                if (NT_SUCCESS(Status)) *pulInformation = sizeof(SERIAL_BASIC_SETTINGS);
            }
            break;
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
            Status = CheckBuffer(pInput, ulInputLength, sizeof(SERIAL_BASIC_SETTINGS));
            if (Status == STATUS_SUCCESS) {
                Status = pVcp->m_RestoreBasicSettings((PSERIAL_BASIC_SETTINGS)pInput);
            }
            break;
        default:
            TfDebugLog(7, "Device Internal Control - IoCode = 0x%08x - NOT SUPPORTED", ulCode);
            Status = STATUS_NOT_SUPPORTED;
            break;
        }
    }
    m_ReleaseVcp();
    return Status;
}
