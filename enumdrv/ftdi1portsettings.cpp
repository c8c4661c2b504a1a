// The FTDI port's settings operations: each sends its vendor request and stores the setting only
// once the chip took it; an operation that sends a request and is called above APC_LEVEL is made
// later on the port's request executor.
#include "ftdi1port.h"

#include "tfdebug.h"

namespace {

// Operations made later on the request executor when called above APC_LEVEL.
enum DeferredOperation { DeferRts = 1, DeferDtr, DeferBreak, DeferXonXoff, DeferRate };

struct CFtdiDeferred : public CTfObjectBase {
    ULONG ulOperation;
    ULONG ulArgument;
};

void DiscardDeferred(PVOID pContext, PVOID pArgument)
{
    delete (CFtdiDeferred*)pArgument;
}

}  // namespace

// ---- Requests -----------------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_HasTransport(const char* pszOperation)
{
    TfDebugLog(7, "CFTDI1Port::%s - IN", pszOperation);
    if (m_pUSBTransport == NULL) {
        TfDebugLog(7, "CFTDI1Port::%s - OUT - Fail-> m_pUSBTransport is NULL.", pszOperation);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_Request(UCHAR ucRequest, USHORT usValue, USHORT usIndex, const char* pszName)
{
    if (m_pUSBTransport == NULL || !m_pUSBTransport->m_WriteSettings(ucRequest, usValue, usIndex)) {
        TfDebugLog(7, "Error writing to USB Transport (%s).", pszName);
        return FALSE;
    }
    return TRUE;
}

void CFTDI1Port::m_UpdateModemControl(LONG lBit, BOOLEAN bSet)
{
    if (bSet) {
        InterlockedOr(&m_lModemControl, lBit);
    } else {
        InterlockedAnd(&m_lModemControl, ~lBit);
    }
}

BOOLEAN CFTDI1Port::m_SetDtr(BOOLEAN bSet)
{
    if (!m_Request(FTDI_MODEM_CTRL, bSet ? 0x0101 : 0x0100, m_usPortIndex, "FTDI_MODEM_CTRL")) {
        return FALSE;
    }
    m_UpdateModemControl(1, bSet);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetRts(BOOLEAN bSet)
{
    if (!m_Request(FTDI_MODEM_CTRL, bSet ? 0x0202 : 0x0200, m_usPortIndex, "FTDI_MODEM_CTRL")) {
        return FALSE;
    }
    m_UpdateModemControl(2, bSet);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetDataWord(USHORT usWord)
{
    if (!m_Request(FTDI_SET_DATA, usWord, m_usPortIndex, "FTDI_SET_DATA")) {
        return FALSE;
    }
    m_usDataWord = usWord;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetSpecialChar(UCHAR ucRequest, const char* pszName, BOOLEAN bEnable, UCHAR ucCharacter,
                                     PUSHORT pusWord)
{
    USHORT usWord = bEnable ? (USHORT)(0x100 | ucCharacter) : 0;
    if (!m_Request(ucRequest, usWord, m_usPortIndex, pszName)) {
        return FALSE;
    }
    *pusWord = usWord;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetErrorChar(BOOLEAN bEnable, UCHAR ucCharacter)
{
    return m_SetSpecialChar(FTDI_SET_ERROR_CHAR, "FTDI_SET_ERROR_CHAR", bEnable, ucCharacter, &m_usErrorChar);
}

BOOLEAN CFTDI1Port::m_SetEventChar(BOOLEAN bEnable, UCHAR ucCharacter)
{
    return m_SetSpecialChar(FTDI_SET_EVENT_CHAR, "FTDI_SET_EVENT_CHAR", bEnable, ucCharacter, &m_usEventChar);
}

BOOLEAN CFTDI1Port::m_SetTransportLatency(ULONG ulLatency)
{
    return m_Request(FTDI_SET_LATENCY_TIMER, (USHORT)ulLatency, m_usPortIndex, "FTDI_SET_LATENCY_TIMER");
}

BOOLEAN CFTDI1Port::m_GetLatencyTimerValue(PULONG pulLatency)
{
    if (!m_HasTransport("m_GetLatencyTimerValue")) {
        return FALSE;
    }
    CTfBuffer Buffer;
    if (!Buffer.m_Allocate(1) || !m_pUSBTransport->m_ReadSettings(FTDI_READ_LATENCY_TIMER, &Buffer)) {
        return FALSE;
    }
    *pulLatency = Buffer.m_GetBytes()[0];
    return TRUE;
}

BOOLEAN CFTDI1Port::m_Defer(ULONG ulOperation, ULONG ulArgument)
{
    CFtdiDeferred* pDeferred = new (NonPagedPool) CFtdiDeferred();
    if (pDeferred == NULL || m_pRequestExecutor == NULL) {
        delete pDeferred;
        return FALSE;
    }
    pDeferred->ulOperation = ulOperation;
    pDeferred->ulArgument = ulArgument;
    return m_pRequestExecutor->m_QueueFunction(sm_DeferredOperation, this, pDeferred, DiscardDeferred);
}

void CFTDI1Port::sm_DeferredOperation(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    CFtdiDeferred* pDeferred = (CFtdiDeferred*)pArgument;
    BOOLEAN bFlag = pDeferred->ulArgument != 0;
    switch (pDeferred->ulOperation) {
    case DeferRts: pPort->m_RtsCallback(bFlag); break;
    case DeferDtr: pPort->m_DtrCallback(bFlag); break;
    case DeferBreak: pPort->m_SetBreakCallback(bFlag); break;
    case DeferXonXoff: pPort->m_SendXonXoffCallback(bFlag); break;
    case DeferRate: pPort->m_BaudrateCallback(pDeferred->ulArgument); break;
    default: break;
    }
    delete pDeferred;
}

// Waits ulCount character times at the current settings.
void CFTDI1Port::m_WaitCharacterTimes(ULONG ulCount)
{
    LARGE_INTEGER Delay;
    Delay.QuadPart = -(LONGLONG)(m_ullCharTime * ulCount);
    KeDelayExecutionThread(KernelMode, FALSE, &Delay);
}

// ---- Settings operations ------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_RtsCallback(BOOLEAN bSet)
{
    if (!m_HasTransport("m_RtsCallback")) {
        return FALSE;
    }
    if (m_IsDuplexCapable() && m_GetDuplexMode() == 2) {
        return TRUE;
    }
    if (m_MustDefer()) {
        return m_Defer(DeferRts, bSet);
    }
    if (!m_SetRts(bSet)) {
        return FALSE;
    }
    if (bSet) {
        m_ResumeReceiveAfterRelease();
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DtrCallback(BOOLEAN bSet)
{
    if (!m_HasTransport("m_DtrCallback")) {
        return FALSE;
    }
    if (m_IsDuplexCapable()) {
        return TRUE;
    }
    if (m_MustDefer()) {
        return m_Defer(DeferDtr, bSet);
    }
    if (!m_SetDtr(bSet)) {
        return FALSE;
    }
    if (bSet) {
        m_ResumeReceiveAfterRelease();
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_CommSettingsCallback(UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode)
{
    if (!m_HasTransport("m_CommSettingsCallback")) {
        return FALSE;
    }
    USHORT usWord = (USHORT)(ucDataBitsCode <= 2 ? 5 + ucDataBitsCode : 8);
    if (ucParityCode >= 1 && ucParityCode <= 4) {
        usWord |= (USHORT)(ucParityCode << 8);
    }
    if (ucStopBitsCode == 1) {
        usWord |= 0x0800;
    } else if (ucStopBitsCode == 2) {
        usWord |= 0x1000;
    }
    if (m_bBreak) {
        usWord |= 0x4000;
    }
    if (usWord != m_usDataWord && !m_SetDataWord(usWord)) {
        return FALSE;
    }
    m_ucDataBitsCode = ucDataBitsCode;
    m_ucParityCode = ucParityCode;
    m_ucStopBitsCode = ucStopBitsCode;
    m_UpdateCharsPerMillisecond();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetBreakCallback(BOOLEAN bOn)
{
    if (!m_HasTransport("m_SetBreakCallback")) {
        return FALSE;
    }
    if (m_MustDefer()) {
        return m_Defer(DeferBreak, bOn);
    }
    USHORT usWord = (USHORT)(bOn ? m_usDataWord | 0x4000 : m_usDataWord & ~0x4000);
    if (!m_SetDataWord(usWord)) {
        return FALSE;
    }
    m_bBreak = bOn;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_IsBaudRateSettableCallback(ULONG ulBaudRate)
{
    FTDI_BAUD_WORDS Words;
    return FtdiCalculateBaudDivisor(ulBaudRate, m_ulMaximumBaudRate, m_bMultiInterface, m_usPortIndex, &Words);
}

// The chip holds a rate only once it was programmed with it and no port reset came since.
BOOLEAN CFTDI1Port::m_ChipHoldsRate(ULONG ulBaudRate)
{
    return m_ulProgrammedRate != 0 && m_ulProgrammedRate == ulBaudRate &&
           m_pUSBTransport->m_GetPortResetCount() == m_ulResetsAtProgram;
}

BOOLEAN CFTDI1Port::m_ProgramRate(ULONG ulBaudRate, const FTDI_BAUD_WORDS* pWords)
{
    ULONG ulResets = m_pUSBTransport->m_GetPortResetCount();
    if (!m_Request(FTDI_SET_BAUD_RATE, pWords->usValue, pWords->usIndex, "FTDI_SET_BAUD_RATE")) {
        m_ulProgrammedRate = 0;
        return FALSE;
    }
    m_ulProgrammedRate = ulBaudRate;
    m_ulResetsAtProgram = ulResets;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_BaudrateCallback(ULONG ulBaudRate)
{
    if (!m_HasTransport("m_BaudrateCallback")) {
        return FALSE;
    }
    if (m_MustDefer()) {
        return m_Defer(DeferRate, ulBaudRate);
    }
    if (m_ChipHoldsRate(ulBaudRate)) {
        return TRUE;
    }
    FTDI_BAUD_WORDS Words;
    if (!FtdiCalculateBaudDivisor(ulBaudRate, m_ulMaximumBaudRate, m_bMultiInterface, m_usPortIndex, &Words)) {
        TfDebugLog(7, "%d is not a settable baud rate.", ulBaudRate);
        return FALSE;
    }
    m_SetTxHold(FALSE);
    if (!m_ProgramRate(ulBaudRate, &Words)) {
        m_UpdateTxHoldFromHandshake();
        return FALSE;
    }
    m_UpdateTxHoldFromHandshake();
    BOOLEAN bResult = TRUE;
    if (m_ucRxTriggerLevel == 1) {
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        m_ulLatency = 16;
        m_pUSBTransport->m_SetInterruptPipeBufferSize(FTDI_PACKET_SIZE);
        if (!m_SetTransportLatency(16)) {
            TfDebugLog(7, "Error SetLatency.");
            bResult = FALSE;
        }
    } else {
        m_SetLatencyAndRxTransferSize(ulBaudRate);
    }
    if (!bResult) {
        return FALSE;
    }
    m_PortLock.m_Acquire();
    m_BaudWords = Words;
    m_ulBaudRate = ulBaudRate;
    m_PortLock.m_Release();
    m_UpdateCharsPerMillisecond();
    m_StopFiFoTransmissionEmulationTimer(TRUE);
    m_SetFiFoTransmissionEmulationTimer();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_TriggerLevelsCallback(UCHAR ucTxLevel, UCHAR ucRxLevel, UCHAR ucFlowControlLevel)
{
    if (!m_HasTransport("m_TriggerLevelsCallback")) {
        return FALSE;
    }
    TfDebugLog(7, "CFTDI1Port::m_TriggerLevelsCallback - flow control level %u", ucFlowControlLevel);
    UCHAR ucOldRxLevel = m_ucRxTriggerLevel;
    m_ucTxTriggerLevel = ucTxLevel;
    m_ucRxTriggerLevel = ucRxLevel;
    if (ucRxLevel == 1) {
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        m_ulLatency = 16;
        m_pUSBTransport->m_SetInterruptPipeBufferSize(FTDI_PACKET_SIZE);
        if (!m_SetTransportLatency(16)) {
            TfDebugLog(7, "Error SetLatency.");
            return FALSE;
        }
    } else if (ucOldRxLevel == 1 && InterlockedCompareExchange(&m_lOpen, 0, 0) != 0) {
        // Leaving level 1 gives the policy its say again.
        m_SetLatencyAndRxTransferSize(m_ulBaudRate);
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut, BOOLEAN bDtrIn,
                                                  BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                                  BOOLEAN bXonXoffIn, BOOLEAN bContinueAfterXoffSent,
                                                  BOOLEAN bNullStripping, BOOLEAN bErrorCharacter,
                                                  BOOLEAN bBreakCharacter)
{
    if (!m_HasTransport("m_HandshakingSettingsCallback")) {
        return FALSE;
    }
    USHORT usFlow = m_usPortIndex;
    if (bCtsOut && bRtsIn) {
        if (!m_IsDuplexCapable() || m_GetDuplexMode() == 1) {
            usFlow |= FTDI_FLOW_RTS_CTS;
        } else {
            bCtsOut = bRtsIn = FALSE;
        }
    }
    if (bDsrOut && bDtrIn) {
        if (m_IsDuplexCapable()) {
            bDsrOut = bDtrIn = FALSE;
        } else {
            usFlow |= FTDI_FLOW_DTR_DSR;
        }
    }
    if (bXonXoffIn) {
        usFlow |= FTDI_FLOW_XON_XOFF;
    }
    if (!m_Request(FTDI_SET_FLOW_CTRL, (USHORT)(m_ucXon | (m_ucXoff << 8)), usFlow, "FTDI_SET_FLOW_CTRL")) {
        return FALSE;
    }
    m_PortLock.m_Acquire();
    if (bXonXoffIn) {
        m_bXoffReceived = FALSE;
    }
    m_bCtsOut = bCtsOut;
    m_bRtsIn = bRtsIn;
    m_bDsrOut = bDsrOut;
    m_bDtrIn = bDtrIn;
    m_bDsrSensitivity = bDsrSensitivity;
    m_bRtsToggle = bRtsToggle;
    m_bXonXoffOut = bXonXoffOut;
    m_bXonXoffIn = bXonXoffIn;
    m_bContinueAfterXoffSent = bContinueAfterXoffSent;
    m_usFlowIndex = usFlow;
    m_PortLock.m_Release();
    m_UpdateTxHoldFromHandshake();
    m_QueueModemStatusReport((UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0));
    return TRUE;
}

BOOLEAN CFTDI1Port::m_InternalLoopbackCallback(BOOLEAN bOn)
{
    TfDebugLog(7, "CFTDI1Port::m_InternalLoopbackCallback - OUT - Fail-> Not Implemented.");
    return FALSE;
}

BOOLEAN CFTDI1Port::m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    if (!m_HasTransport("m_DuplexModeSettingsCallback")) {
        return FALSE;
    }
    if (!m_IsDuplexCapable()) {
        TfDebugLog(7, "CFTDI1Port::m_DuplexModeSettingsCallback - OUT - Fail-> not an RS-422/485 port");
        return FALSE;
    }
    BOOLEAN bResult;
    if (ulDuplexMode == 1) {
        bResult = m_SetDtr(TRUE);
    } else if (ulDuplexMode == 2) {
        bResult = m_SetDtr(FALSE);
        InterlockedOr(&m_lLastModemStatus, FTDI_MSR_CTS);
    } else {
        TfDebugLog(7, "CFTDI1Port::m_DuplexModeSettingsCallback - OUT - Fail-> duplex mode %u not supported",
                   ulDuplexMode);
        return FALSE;
    }
    InterlockedExchange(&m_lDuplexMode, (LONG)ulDuplexMode);
    TfDebugLog(7, "CFTDI1Port::m_DuplexModeSettingsCallback - CTS true %u", bCtsTrue);
    return bResult;
}

BOOLEAN CFTDI1Port::m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                   UCHAR ucXon, UCHAR ucXoff)
{
    m_PortLock.m_Acquire();
    m_ucXon = ucXon;
    m_ucXoff = ucXoff;
    m_PortLock.m_Release();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_LsrMstInsertionCallback(UCHAR ucEscape)
{
    TfDebugLog(7, "CFTDI1Port::m_LsrMstInsertionCallback - OUT - Fail-> Not Implemented.");
    return FALSE;
}

BOOLEAN CFTDI1Port::m_PretendXoffReceivedCallback(BOOLEAN bXoff)
{
    m_PortLock.m_Acquire();
    m_bXoffReceived = TRUE;
    m_PortLock.m_Release();
    m_UpdateTxHoldFromHandshake();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SendXonXoffCallback(BOOLEAN bXoff)
{
    if (m_MustDefer()) {
        m_Defer(DeferXonXoff, bXoff);
        return TRUE;
    }
    m_PortLock.m_Acquire();
    UCHAR ucCharacter = bXoff ? m_ucXoff : m_ucXon;
    m_PortLock.m_Release();
    return m_WriteCharacter(ucCharacter, FALSE);
}

BOOLEAN CFTDI1Port::m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize)
{
    *pulTxFifoSize = m_ulTxFifoSize;
    *pulRxFifoSize = m_ulRxFifoSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_GetModemStatusCallback()
{
    if (!m_HasTransport("m_GetModemStatusCallback")) {
        return FALSE;
    }
    return m_PollModemStatus();
}

BOOLEAN CFTDI1Port::m_GetMaximumBaudRateCallback(PULONG pulBaudRate)
{
    *pulBaudRate = m_ulMaximumBaudRate;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_PurgeCallback(BOOLEAN bTx, BOOLEAN bRx)
{
    if (!m_HasTransport("m_PurgeCallback")) {
        return FALSE;
    }
    // A purge that names neither buffer empties none.
    if (!bTx && !bRx) {
        return TRUE;
    }
    USHORT usValue = bTx && bRx ? 0 : bTx ? 1 : 2;
    ULONG ulLine = (ULONG)InterlockedCompareExchange(&m_lLastLineStatus, 0, 0);
    if ((ulLine & (FTDI_LSR_THRE | FTDI_LSR_TEMT)) != (FTDI_LSR_THRE | FTDI_LSR_TEMT)) {
        m_WaitCharacterTimes(m_ulBaudRate < 9600 ? 32 : 64);
    }
    m_SetTxHold(FALSE);
    if (bTx) {
        m_FlushWriteList(TRUE);
    }
    if (!m_Request(FTDI_RESET, usValue, m_usPortIndex, "FTDI_RESET")) {
        return FALSE;
    }
    m_UpdateTxHoldFromHandshake();
    return TRUE;
}
