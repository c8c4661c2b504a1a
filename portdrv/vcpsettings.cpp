// The port object's setting operations: each checks a request against the serial rules and the
// parameter set, applies the overrides, keeps the serial state and calls the bus.
#include "tfdebug.h"
#include "tffunctionaldevice.h"
#include "vcp.h"

#define VCP_ISERIAL_OR_FAIL(pszMethod)                  \
    ISerial* pISerial = m_ISerialFor(pszMethod);        \
    if (pISerial == NULL) {                             \
        return STATUS_UNSUCCESSFUL;                     \
    }                                                   \
    if (!m_HaveParameters(pszMethod)) {                 \
        return STATUS_UNSUCCESSFUL;                     \
    }

NTSTATUS CVCP::m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetBaudRate");
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    if (!m_pParameters->m_IsBaudRateSupported(pBaudRate->BaudRate)) {
        TfDebugLog(7, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not supported.", pBaudRate->BaudRate);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulDeviceRate = P.ulOverrideBaudRates ? P.ulBaudrate : pBaudRate->BaudRate;
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSetBaudRate, ulDeviceRate)) {
        TfDebugLog(7, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not settable.", ulDeviceRate);
        return STATUS_UNSUCCESSFUL;
    }
    m_ulBaudRate = pBaudRate->BaudRate;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetLineControl");
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    UCHAR ucWord = pLineControl->WordLength;
    if (ucWord < 5 || ucWord > 8 || (P.ulSupportedDataBits & (1UL << (ucWord - 5))) == 0) {
        TfDebugLog(7, "CVCP::m_SetLineControl - OUT - Fail-> DataBits is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    if (pLineControl->Parity > 4 || (P.ulSupportedParities & (0x100UL << pLineControl->Parity)) == 0) {
        TfDebugLog(7, "CVCP::m_SetLineControl - OUT - Fail-> Parity is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    if (pLineControl->StopBits > 2 || (P.ulSupportedStopBits & (1UL << pLineControl->StopBits)) == 0) {
        TfDebugLog(7, "CVCP::m_SetLineControl - OUT - Fail-> StopBits is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    m_ucWordLength = ucWord;
    m_ucParity = pLineControl->Parity;
    m_ucStopBits = pLineControl->StopBits;
    UCHAR ucData = (UCHAR)(P.ulOverrideDataBits ? P.ulDatabits : (ULONG)(ucWord - 5));
    UCHAR ucParity = (UCHAR)(P.ulOverrideParity ? P.ulParity : m_ucParity);
    UCHAR ucStop = (UCHAR)(P.ulOverrideStopbits ? P.ulStopbits : m_ucStopBits);
    NTSTATUS Status = VcpCallISerial(pISerial, pISerial->m_Operations.pCommSettings, ucData, ucParity, ucStop)
                          ? STATUS_SUCCESS
                          : STATUS_UNSUCCESSFUL;
    TfDebugLog(7, "CVCP::m_SetLineControl - OUT (NTSTATUS:0x%X)", (ULONG)Status);
    return Status;
}

NTSTATUS CVCP::m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts)
{
    if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        pTimeouts->ReadTotalTimeoutConstant == MAXULONG) {
        TfDebugLog(7, "CVCP::m_SetTimeouts - OUT - Failed- Incorrect parameters.");
        return STATUS_INVALID_PARAMETER;
    }
    m_Timeouts = *pTimeouts;
    m_GetReadQueue()->m_SetTimeouts(pTimeouts->ReadIntervalTimeout, pTimeouts->ReadTotalTimeoutMultiplier,
                                    pTimeouts->ReadTotalTimeoutConstant);
    m_GetWriteQueue()->m_SetTotalTimeouts(pTimeouts->WriteTotalTimeoutMultiplier,
                                          pTimeouts->WriteTotalTimeoutConstant);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetSpecialCharacters(const SERIAL_CHARS* pChars)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetSpecialCharacters");
    LONG lEscape = m_Read32(&m_lEscapeChar);
    if (lEscape != 0 && (lEscape == pChars->XonChar || lEscape == pChars->XoffChar)) {
        TfDebugLog(7, "CVCP::m_SetSpecialCharacters - OUT - Failed- Incorrect parameter.");
        return STATUS_INVALID_PARAMETER;
    }
    m_StoreChars(pChars);
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSpecialCharacters, pChars->BreakChar, pChars->EofChar,
                        pChars->ErrorChar, pChars->EventChar, pChars->XonChar, pChars->XoffChar)) {
        TfDebugLog(7, "CVCP::m_SetSpecialCharacters - OUT - Failed- Error setting special characters.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Handshake
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_ValidateHandFlow(const SERIAL_HANDFLOW* pHandFlow)
{
    if (pHandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_CONTROL_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->FlowReplace & SERIAL_FLOW_INVALID) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_FLOW_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if ((pHandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_DTR_MASK invalid)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->XonLimit < 0 || (ULONG)pHandFlow->XonLimit > m_ulRxQueueSize) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XonLimit out of bound)");
        return STATUS_UNSUCCESSFUL;
    }
    if (pHandFlow->XoffLimit < 0 || (ULONG)pHandFlow->XoffLimit > m_ulRxQueueSize) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XoffLimit out of bound)");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulSupported = m_pParameters->m_Values().ulSupportedFlowControls;
    if ((ulSupported & VCP_SUPPORTS_ANY_HANDSHAKE) == 0) {
        ULONG ulControl = pHandFlow->ControlHandShake;
        ULONG ulReplace = pHandFlow->FlowReplace;
        BOOLEAN bCtsRts = (ulSupported & VCP_SUPPORTS_CTS_RTS) && (ulControl & SERIAL_CTS_HANDSHAKE) &&
                          (ulReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
        BOOLEAN bDtrDsr = (ulSupported & VCP_SUPPORTS_DTR_DSR) && (ulControl & SERIAL_DSR_HANDSHAKE) &&
                          (ulControl & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
        BOOLEAN bXonXoff = (ulSupported & VCP_SUPPORTS_XON_XOFF) && (ulReplace & SERIAL_AUTO_TRANSMIT) &&
                           (ulReplace & SERIAL_AUTO_RECEIVE);
        if (!bCtsRts && !bDtrDsr && !bXonXoff) {
            TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Unsupported flow control type.");
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

void CVCP::m_SetWorkingLimits()
{
    ULONG ulSize = m_ulRxQueueSize;
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    m_ulWorkingXonLimit = (ULONG)HandFlow.XonLimit;
    m_ulWorkingXoffLimit = (ULONG)HandFlow.XoffLimit;
    if (m_ulWorkingXonLimit == ulSize && ulSize > 0) m_ulWorkingXonLimit = ulSize - 1;
    if (m_ulWorkingXoffLimit == ulSize && ulSize > 0) m_ulWorkingXoffLimit = ulSize - 1;
    if (ulSize - m_ulWorkingXoffLimit <= m_ulWorkingXoffLimit) {
        m_ulWorkingXonLimit = ulSize - m_ulWorkingXoffLimit - 1;
    }
}

NTSTATUS CVCP::m_SendHandshaking()
{
    ISerial* pISerial = m_ISerialFor("CVCP::m_SetHandFlow");
    if (pISerial == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    ULONG ulControl = HandFlow.ControlHandShake;
    ULONG ulReplace = HandFlow.FlowReplace;
    BOOLEAN bBusInserts = pISerial->m_Capabilities.ucLsrMstInsertion == 1;
    BOOLEAN bResult = VcpCallISerial(
        pISerial, pISerial->m_Operations.pHandshaking, (BOOLEAN)((ulControl & SERIAL_CTS_HANDSHAKE) != 0),
        (BOOLEAN)((ulReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE),
        (BOOLEAN)((ulControl & SERIAL_DSR_HANDSHAKE) != 0),
        (BOOLEAN)((ulControl & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE),
        (BOOLEAN)((ulControl & SERIAL_DSR_SENSITIVITY) != 0),
        (BOOLEAN)((ulReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE),
        (BOOLEAN)((ulReplace & SERIAL_AUTO_TRANSMIT) != 0), (BOOLEAN)((ulReplace & SERIAL_AUTO_RECEIVE) != 0),
        (BOOLEAN)((ulReplace & SERIAL_XOFF_CONTINUE) != 0),
        (BOOLEAN)(bBusInserts && (ulReplace & SERIAL_NULL_STRIPPING) != 0),
        (BOOLEAN)(bBusInserts && (ulReplace & SERIAL_ERROR_CHAR) != 0),
        (BOOLEAN)(bBusInserts && (ulReplace & SERIAL_BREAK_CHAR) != 0));
    if (!bResult) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Error setting handshaking settings.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Drives DTR (bDtr) or RTS on the bus and keeps the modem-control image in step with the line.
NTSTATUS CVCP::m_DriveLine(BOOLEAN bDtr, BOOLEAN bOn)
{
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN bResult = bDtr ? VcpCallISerial(pISerial, pISerial->m_Operations.pSetDtr, bOn)
                           : VcpCallISerial(pISerial, pISerial->m_Operations.pSetRts, bOn);
    if (!bResult) {
        return STATUS_UNSUCCESSFUL;
    }
    LONG lBit = bDtr ? SERIAL_DTR_STATE : SERIAL_RTS_STATE;
    if (bOn) {
        InterlockedOr(&m_lModemControl, lBit);
    } else {
        InterlockedAnd(&m_lModemControl, ~lBit);
    }
    return STATUS_SUCCESS;
}

void CVCP::m_UpdateTransmitHolds(ULONG ulMsr)
{
    ULONG ulControl = m_GetControlHandShake();
    BOOLEAN bHolds = (ulControl & SERIAL_OUT_HANDSHAKEMASK) != 0;
    InterlockedExchange(&m_lCtsHold, bHolds && (ulControl & SERIAL_CTS_HANDSHAKE) && !(ulMsr & SERIAL_MSR_CTS) ? 1 : 0);
    InterlockedExchange(&m_lDsrHold, bHolds && (ulControl & SERIAL_DSR_HANDSHAKE) && !(ulMsr & SERIAL_MSR_DSR) ? 2 : 0);
    InterlockedExchange(&m_lDcdHold, bHolds && (ulControl & SERIAL_DCD_HANDSHAKE) && !(ulMsr & SERIAL_MSR_DCD) ? 4 : 0);
}

NTSTATUS CVCP::m_SetupHandFlowSignal()
{
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    ULONG ulControl = HandFlow.ControlHandShake;
    m_UpdateTransmitHolds(m_GetMsrImage());
    InterlockedExchange(&m_lDtrDropped, 0);
    InterlockedExchange(&m_lRtsDropped, 0);
    ULONG ulDtr = ulControl & SERIAL_DTR_MASK;
    BOOLEAN bDtrOn = ulDtr == SERIAL_DTR_CONTROL || ulDtr == SERIAL_DTR_HANDSHAKE;
    if (m_DriveLine(TRUE, bDtrOn) != STATUS_SUCCESS) {
        TfDebugLog(7, bDtrOn ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to TRUE."
                             : "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulRts = HandFlow.FlowReplace & SERIAL_RTS_MASK;
    BOOLEAN bRtsOn = ulRts == SERIAL_RTS_CONTROL || ulRts == SERIAL_RTS_HANDSHAKE;
    if (m_DriveLine(FALSE, bRtsOn) != STATUS_SUCCESS) {
        TfDebugLog(7, bRtsOn ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to TRUE."
                             : "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    if (!(HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE)) {
        if (InterlockedExchange(&m_lXoffSent, 0) != 0) {
            ISerial* pISerial = m_GetISerial();
            // The peer was stopped by our XOFF: it gets the XON that releases it.
            if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSendXonXoff, (BOOLEAN)FALSE)) {
                TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Error setting Xon.");
                return STATUS_UNSUCCESSFUL;
            }
            InterlockedExchange(&m_lXonHold, 0);
        }
    } else if (!(HandFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) && m_Read32(&m_lXonHold) != 0) {
        if (m_SetXon() != STATUS_SUCCESS) {
            TfDebugLog(7, "CVCP::m_SetHandFlow - OUT - Failed- Error setting Xon.");
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetHandFlow");
    NTSTATUS Status = m_ValidateHandFlow(pHandFlow);
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    SERIAL_HANDFLOW HandFlow = *pHandFlow;
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    if (P.ulOverrideFlowControl) {
        sm_HandshakeFromFlowControl(P.ulFlowControl, &HandFlow.ControlHandShake, &HandFlow.FlowReplace);
    }
    m_StoreHandFlow(&HandFlow);
    m_SetWorkingLimits();
    Status = m_SendHandshaking();
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    Status = m_SetupHandFlowSignal();
    if (Status == STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_SetHandFlow - OUT (Success)");
    }
    return Status;
}

// ---------------------------------------------------------------------------------------------
// Lines, break, XON/XOFF
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_ClearDtr()
{
    if ((m_GetControlHandShake() & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        TfDebugLog(7, "CVCP::m_ClearDtr - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if ((m_GetModemControl() & SERIAL_DTR_STATE) == 0) {
        return STATUS_SUCCESS;
    }
    if (m_DriveLine(TRUE, FALSE) != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_ClearDtr - OUT - Failed- Error setting DTR to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetDtr()
{
    if ((m_GetControlHandShake() & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        TfDebugLog(7, "CVCP::m_SetDtr - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (m_GetModemControl() & SERIAL_DTR_STATE) {
        return STATUS_SUCCESS;
    }
    if (m_DriveLine(TRUE, TRUE) != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_SetDtr - OUT - Failed- Error setting DTR to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

static BOOLEAN VcpRtsIsDriven(ULONG ulFlowReplace)
{
    ULONG ulRts = ulFlowReplace & SERIAL_RTS_MASK;
    return ulRts == SERIAL_RTS_HANDSHAKE || ulRts == SERIAL_TRANSMIT_TOGGLE;
}

NTSTATUS CVCP::m_ClearRts()
{
    if (VcpRtsIsDriven(m_GetFlowReplace())) {
        TfDebugLog(7, "CVCP::m_ClearRts - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if ((m_GetModemControl() & SERIAL_RTS_STATE) == 0) {
        return STATUS_SUCCESS;
    }
    if (m_DriveLine(FALSE, FALSE) != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_ClearRts - OUT - Failed- Error setting RTS to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetRts()
{
    if (VcpRtsIsDriven(m_GetFlowReplace())) {
        TfDebugLog(7, "CVCP::m_SetRts - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (m_GetModemControl() & SERIAL_RTS_STATE) {
        return STATUS_SUCCESS;
    }
    if (m_DriveLine(FALSE, TRUE) != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_SetRts - OUT - Failed- Error setting RTS to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetModemControl(ULONG ulModemControl)
{
    NTSTATUS Status = (ulModemControl & SERIAL_RTS_STATE) ? m_SetRts() : m_ClearRts();
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_SetModemControl - OUT - Failed-> Error setting RTS.");
        return STATUS_UNSUCCESSFUL;
    }
    Status = (ulModemControl & SERIAL_DTR_STATE) ? m_SetDtr() : m_ClearDtr();
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_SetModemControl - OUT - Failed-> Error setting DTR.");
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedExchange(&m_lModemControl, (LONG)(ulModemControl & 0xFF));
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOn()
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetBreakOn");
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSetBreak, (BOOLEAN)TRUE)) {
        TfDebugLog(7, "CVCP::m_SetBreakOn - OUT - Failed- Error setting Break to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedExchange(&m_lBreakHold, SERIAL_TX_WAITING_ON_BREAK);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOff()
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetBreakOff");
    if (InterlockedExchange(&m_lBreakHold, 0) == 0) {
        return STATUS_SUCCESS;
    }
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSetBreak, (BOOLEAN)FALSE)) {
        TfDebugLog(7, "CVCP::m_SetBreakOff - OUT - Failed- Error setting Break to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetXon()
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetXon");
    BOOLEAN bResult = VcpCallISerial(pISerial, pISerial->m_Operations.pPretendXoffReceived, (BOOLEAN)FALSE);
    InterlockedExchange(&m_lXonHold, 0);
    return bResult ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SetXoff()
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetXoff");
    BOOLEAN bResult = VcpCallISerial(pISerial, pISerial->m_Operations.pPretendXoffReceived, (BOOLEAN)TRUE);
    InterlockedExchange(&m_lXonHold, SERIAL_TX_WAITING_FOR_XON);
    return bResult ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_ResetDevice()
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_ResetDevice");
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pPurge, (BOOLEAN)TRUE, (BOOLEAN)TRUE)) {
        TfDebugLog(7, "CVCP::m_ResetDevice - OUT - Fail-> Error calling m_Purge.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SendImmediateChar(UCHAR ucCharacter)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SendImmediateChar");
    m_AddOutQueue(1, TRUE);
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pSendImmediateCharacter, ucCharacter)) {
        m_UndoImmediate();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Purge, queue size, insertion, FIFO
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_Purge(ULONG ulMask)
{
    if (ulMask == 0 || (ulMask & ~0xFUL) != 0) {
        TfDebugLog(7, "CVCP::m_Purge - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (ulMask & SERIAL_PURGE_RXABORT) {
        m_GetReadQueue()->m_CancelAllIrps();
    }
    if (ulMask & SERIAL_PURGE_TXABORT) {
        m_GetWriteQueue()->m_CancelAllIrps();
    }
    ISerial* pISerial = m_GetISerial();
    if (!VcpCallISerial(pISerial, pISerial != NULL ? pISerial->m_Operations.pPurge : NULL,
                        (BOOLEAN)((ulMask & SERIAL_PURGE_TXABORT) != 0),
                        (BOOLEAN)((ulMask & SERIAL_PURGE_RXCLEAR) != 0))) {
        TfDebugLog(7, "CVCP::m_Purge - OUT - Fail-> Error calling m_Purge.");
    }
    if (ulMask & SERIAL_PURGE_RXCLEAR) {
        m_GetReadQueue()->m_ClearData();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize)
{
    ULONG ulSize = pQueueSize->InSize > m_ulDefaultRxQueueSize ? pQueueSize->InSize : m_ulDefaultRxQueueSize;
    // An application asks for a size, the driver decides: a huge one would hold unbounded pool.
    if (ulSize > VCP_RX_SIZE_MAXIMUM) {
        ulSize = VCP_RX_SIZE_MAXIMUM;
    }
    m_ulRxQueueSize = ulSize;
    m_ul80PercentMark = (ULONG)((ULONGLONG)ulSize * 80 / 100);
    TfDebugLog(7, "\tpQueueSize->OutSize:0x%X (value ignored)", pQueueSize->OutSize);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLsrMstInsert(UCHAR ucEscape)
{
    SERIAL_CHARS Chars;
    m_GetChars(&Chars);
    if (ucEscape != 0 && (ucEscape == Chars.XonChar || ucEscape == Chars.XoffChar ||
                          (m_GetFlowReplace() & SERIAL_ERROR_CHAR) != 0)) {
        TfDebugLog(7, "CVCP::m_SetLsrMstInsert - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetLsrMstInsert");
    UCHAR ucCapability = pISerial->m_Capabilities.ucLsrMstInsertion;
    if (ucCapability == 0) {
        InterlockedExchange(&m_lEscapeChar, ucEscape);
        return STATUS_SUCCESS;
    }
    if (ucCapability == 1 && VcpCallISerial(pISerial, pISerial->m_Operations.pLsrMstInsertion, ucEscape)) {
        return STATUS_SUCCESS;
    }
    TfDebugLog(7, "CVCP::m_SetLsrMstInsert - OUT - Failed- Error setting Lsr Mst Insert.");
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN CVCP::m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl)
{
    ISerial* pISerial = m_ISerialFor("CVCP::m_SetTriggerLevels");
    return VcpCallISerial(pISerial, pISerial != NULL ? pISerial->m_Operations.pTriggerLevels : NULL, ucTransmit,
                          ucReceive, ucFlowControl);
}

BOOLEAN CVCP::m_ApplyTriggerLevels(BOOLEAN bFifoOn)
{
    if (!m_HaveParameters("CVCP::m_ApplyTriggerLevels")) {
        return FALSE;
    }
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    if (bFifoOn) {
        if (m_ucSavedRxTriggerLevel == 0) {
            return TRUE;
        }
        UCHAR ucSaved = m_ucSavedRxTriggerLevel;
        m_ucSavedRxTriggerLevel = 0;
        return m_SetTriggerLevels((UCHAR)P.ulTransmitTriggerLevel, ucSaved, (UCHAR)P.ulFlowControlTriggerLevel);
    }
    if (m_ucSavedRxTriggerLevel != 0) {
        return TRUE;
    }
    m_ucSavedRxTriggerLevel = (UCHAR)P.ulReceiveTriggerLevel;
    return m_SetTriggerLevels((UCHAR)P.ulTransmitTriggerLevel, 1, (UCHAR)P.ulFlowControlTriggerLevel);
}

NTSTATUS CVCP::m_SetFifoControl(UCHAR ucFifoControl)
{
    return m_ApplyTriggerLevels((ucFifoControl & 0x1) != 0) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------------------------
// Properties, duplex, loopback, EEPROM
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_GetPortProperties(PSERIAL_COMMPROP pCommProp)
{
    if (pCommProp == NULL) {
        TfDebugLog(7, "CVCP::m_GetPortProperties - OUT - Fail-> pCommProp is NULL.");
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_HaveParameters("CVCP::m_GetPortProperties")) {
        return STATUS_UNSUCCESSFUL;
    }
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    RtlZeroMemory(pCommProp, 64);
    pCommProp->PacketLength = 64;
    pCommProp->PacketVersion = 2;
    pCommProp->ServiceMask = SERIAL_SP_SERIALCOMM;
    pCommProp->MaxBaud = SERIAL_BAUD_USER;
    pCommProp->ProvSubType = P.ulPortType == VCP_PORT_TYPE_RS422_485 ? SERIAL_SP_RS422 : SERIAL_SP_RS232;
    pCommProp->ProvCapabilities = 0xFF;
    pCommProp->SettableParams = 0x7F;
    pCommProp->SettableBaud = P.ulSupportedBaudRates;
    pCommProp->SettableData = (USHORT)P.ulSupportedDataBits;
    pCommProp->SettableStopParity = (USHORT)(P.ulSupportedStopBits | P.ulSupportedParities);
    pCommProp->CurrentRxQueue = m_ulRxQueueSize;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetDuplexMode(ULONG ulMode, UCHAR ucCtsTrue)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetDuplexMode");
    if (ulMode != 0 && pISerial->m_ucDuplex == 0) {
        TfDebugLog(7, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_... set on 232 device.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulMode == 0 && pISerial->m_ucDuplex == 1) {
        TfDebugLog(7, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_NONE set on 422/485 device.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulMode > 5) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pISerial->m_ucDuplex == 1 &&
        VcpCallISerial(pISerial, pISerial->m_Operations.pDuplexMode, ulMode, (BOOLEAN)(ucCtsTrue != 0))) {
        VCP_PARAMETERS& P = m_pParameters->m_Values();
        P.ulDuplexMode = ulMode;
        P.ul422485CtsTrue = ucCtsTrue;
        return STATUS_SUCCESS;
    }
    TfDebugLog(7, "CVCP::m_DuplexModeSettings - OUT - Fail->Error setting duplex mode.");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SetInternalLoopBackMode(UCHAR ucState)
{
    VCP_ISERIAL_OR_FAIL("CVCP::m_SetInternalLoopBackMode");
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pInternalLoopback, (BOOLEAN)(ucState != 0))) {
        TfDebugLog(7, "CVCP::m_SetInternalLoopBackMode - OUT - Fail->Error setting Internal Loopback mode.");
        return STATUS_NOT_IMPLEMENTED;
    }
    InterlockedExchange(&m_lLoopback, ucState);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_EepromAccess(BOOLEAN bWrite, ULONG ulStart, ULONG ulLength, PUCHAR pucData)
{
    const char* pszMethod = bWrite ? "CVCP::m_WriteEeprom" : "CVCP::m_ReadEeprom";
    VCP_ISERIAL_OR_FAIL(pszMethod);
    UCHAR ucCapability = bWrite ? pISerial->m_Capabilities.ucEepromWrite : pISerial->m_Capabilities.ucEepromRead;
    if (ucCapability == 0) {
        TfDebugLog(7, bWrite ? "CVCP::m_WriteEeprom - OUT - Fail -> Writing Eeprom not supported."
                             : "CVCP::m_ReadEeprom - OUT - Fail -> Reading Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (ucCapability != 1) {
        DbgPrint("ASSERT at - %s %d\n", "vcp", __LINE__);
        return STATUS_UNSUCCESSFUL;
    }
    PISERIAL_OP_EEPROM pOperation = bWrite ? pISerial->m_Operations.pWriteEeprom : pISerial->m_Operations.pReadEeprom;
    if (!VcpCallISerial(pISerial, pOperation, ulStart, ulLength, pucData)) {
        TfDebugLog(7, bWrite ? "CVCP::m_WriteEeprom - OUT - Fail -> Error writing Eeprom."
                             : "CVCP::m_ReadEeprom - OUT - Fail -> Error reading Eeprom.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ReadEeprom(ULONG ulStart, ULONG ulLength, PUCHAR pucBuffer)
{
    return m_EepromAccess(FALSE, ulStart, ulLength, pucBuffer);
}

NTSTATUS CVCP::m_WriteEeprom(ULONG ulStart, ULONG ulLength, PUCHAR pucData)
{
    return m_EepromAccess(TRUE, ulStart, ulLength, pucData);
}

// ---------------------------------------------------------------------------------------------
// Basic settings and wait-wake
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_InternalBasicSettings(PSERIAL_BASIC_SETTINGS pSettings)
{
    if (!m_HaveParameters("CVCP::m_InternalBasicSettings")) {
        return STATUS_UNSUCCESSFUL;
    }
    pSettings->Timeouts = m_Timeouts;
    m_GetHandFlow(&pSettings->HandFlow);
    pSettings->RxFifo = m_pParameters->m_Values().ulReceiveTriggerLevel;
    pSettings->TxFifo = m_pParameters->m_Values().ulTransmitTriggerLevel;
    SERIAL_TIMEOUTS Timeouts;
    RtlZeroMemory(&Timeouts, sizeof(Timeouts));
    m_SetTimeouts(&Timeouts);
    SERIAL_HANDFLOW HandFlow;
    RtlZeroMemory(&HandFlow, sizeof(HandFlow));
    m_SetHandFlow(&HandFlow);
    m_ApplyTriggerLevels(FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSettings)
{
    m_SetTimeouts(&pSettings->Timeouts);
    m_SetHandFlow(&pSettings->HandFlow);
    m_ApplyTriggerLevels(TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_CancelWaitWake()
{
    PIRP pIrp = (PIRP)InterlockedExchangePointer((PVOID volatile*)&m_pWaitWakeIrp, NULL);
    if (pIrp != NULL) {
        IoCancelIrp(pIrp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_DoWaitWake()
{
    TfDebugLog(7, "CVCP::m_CancelWaitWake - NOT SUPPORTED ");
    return STATUS_NOT_SUPPORTED;
}
