// The port object's receive path: the Win32 receive semantics the device does not apply itself,
// the read queue's amount hook and receive flow control.
#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tffunctionaldevice.h"
#include "tfmemorytracker.h"
#include "vcp.h"

namespace {

// Removes every byte equal to ucValue; returns the new length.
ULONG RemoveAll(PUCHAR pucData, ULONG ulLength, UCHAR ucValue)
{
    ULONG ulOut = 0;
    for (ULONG i = 0; i < ulLength; i++) {
        if (pucData[i] != ucValue) {
            pucData[ulOut++] = pucData[i];
        }
    }
    return ulOut;
}

BOOLEAN Contains(const UCHAR* pucData, ULONG ulLength, UCHAR ucValue)
{
    for (ULONG i = 0; i < ulLength; i++) {
        if (pucData[i] == ucValue) {
            return TRUE;
        }
    }
    return FALSE;
}

// Shortens the chunk to ulLength bytes; FALSE when nothing is left (the caller frees it).
BOOLEAN Shorten(CTfBuffer* pBuffer, ULONG ulLength)
{
    if (ulLength == 0) {
        return FALSE;
    }
    if (ulLength < pBuffer->m_GetLength()) {
        pBuffer->m_KeepHead(ulLength, TRUE);
    }
    return TRUE;
}

// Replaces the chunk's content by {prefix} {data with every escape byte doubled as escape, 0}.
void Rebuild(CTfBuffer* pBuffer, const UCHAR* pucPrefix, ULONG ulPrefix, const UCHAR* pucData, ULONG ulData,
             BOOLEAN bEscape, UCHAR ucEscape)
{
    ULONG ulExtra = 0;
    if (bEscape) {
        for (ULONG i = 0; i < ulData; i++) {
            if (pucData[i] == ucEscape) ulExtra++;
        }
    }
    ULONG ulTotal = ulPrefix + ulData + ulExtra;
    PUCHAR pucNew = (PUCHAR)AllocateTrackedPool(NonPagedPool, ulTotal);
    if (pucNew == NULL) {
        return;
    }
    ULONG ulOut = 0;
    for (ULONG i = 0; i < ulPrefix; i++) pucNew[ulOut++] = pucPrefix[i];
    for (ULONG i = 0; i < ulData; i++) {
        pucNew[ulOut++] = pucData[i];
        if (bEscape && pucData[i] == ucEscape) pucNew[ulOut++] = SERIAL_LSRMST_ESCAPE;
    }
    pBuffer->m_Assign(pucNew, ulTotal);
    FreeTrackedPool(pucNew);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Received data
// ---------------------------------------------------------------------------------------------

void CVCP::m_DeliverCharacters(const UCHAR* pucData, ULONG ulLength)
{
    CTfBuffer* pChunk = new (NonPagedPool) CTfBuffer();
    if (pChunk == NULL) {
        return;
    }
    if (!pChunk->m_Assign(pucData, ulLength)) {
        pChunk->m_Delete();
        return;
    }
    m_pFunctionalDevice->m_DataForPendingReadArrived(pChunk);
    if (m_IsInWaitMask(SERIAL_EV_RXCHAR)) {
        m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    }
    m_ResolveCurrentEventMask();
}

// Null stripping and XON/XOFF removal; FALSE when nothing is left.
BOOLEAN CVCP::m_FilterChunk(CTfBuffer* pBuffer)
{
    ISerial* pISerial = m_GetISerial();
    BOOLEAN bBusInserts = pISerial != NULL && pISerial->m_Capabilities.ucLsrMstInsertion == 1;
    ULONG ulReplace = m_GetFlowReplace();
    SERIAL_CHARS Chars;
    m_GetChars(&Chars);
    PUCHAR pucData = pBuffer->m_GetBytes();
    ULONG ulLength = pBuffer->m_GetLength();
    if (!bBusInserts && (ulReplace & SERIAL_NULL_STRIPPING)) {
        ulLength = RemoveAll(pucData, ulLength, 0);
    }
    if (ulReplace & SERIAL_AUTO_TRANSMIT) {
        for (ULONG i = 0; i < ulLength; i++) {
            if (pucData[i] == Chars.XoffChar) {
                InterlockedExchange(&m_lXonHold, SERIAL_TX_WAITING_FOR_XON);
            } else if (pucData[i] == Chars.XonChar) {
                InterlockedExchange(&m_lXonHold, 0);
            }
        }
        ulLength = RemoveAll(pucData, ulLength, Chars.XoffChar);
        ulLength = RemoveAll(pucData, ulLength, Chars.XonChar);
    }
    return Shorten(pBuffer, ulLength);
}

// Escape doubling and the line errors of the current LSR image.
BOOLEAN CVCP::m_ApplyLineErrors(CTfBuffer* pBuffer)
{
    ISerial* pISerial = m_GetISerial();
    BOOLEAN bBusInserts = pISerial != NULL && pISerial->m_Capabilities.ucLsrMstInsertion == 1;
    UCHAR ucEscape = (UCHAR)m_Read32(&m_lEscapeChar);
    ULONG ulLsr = m_GetLsrImage();
    const ULONG ulErrorBits = SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI;
    BOOLEAN bErrorChar = !bBusInserts && (m_GetFlowReplace() & SERIAL_ERROR_CHAR) != 0;
    SERIAL_CHARS Chars;
    m_GetChars(&Chars);

    UCHAR Prefix[4];
    ULONG ulPrefix = 0;
    const UCHAR* pucData = pBuffer->m_GetBytes();
    ULONG ulData = pBuffer->m_GetLength();
    if (ulLsr & ulErrorBits) {
        if (ucEscape != 0) {
            Prefix[ulPrefix++] = ucEscape;
            Prefix[ulPrefix++] = SERIAL_LSRMST_LSR_DATA;
            Prefix[ulPrefix++] = (UCHAR)ulLsr;
        }
        if (bErrorChar) {
            if (ulLsr & SERIAL_LSR_OE) {
                if (!(ulLsr & SERIAL_LSR_DR)) ulData = 0;
                Prefix[ulPrefix++] = Chars.ErrorChar;
            }
            if (!(ulLsr & SERIAL_LSR_BI) && (ulLsr & (SERIAL_LSR_PE | SERIAL_LSR_FE))) {
                // The chunk as a whole is suspect: it becomes one error character.
                ulPrefix = ucEscape != 0 ? 3 : 0;
                Prefix[ulPrefix++] = Chars.ErrorChar;
                ulData = 0;
            }
        }
    }
    if (ulPrefix == 0 && ucEscape == 0) {
        return TRUE;
    }
    if (ulPrefix == 0 && !Contains(pucData, ulData, ucEscape)) {
        return TRUE;
    }
    Rebuild(pBuffer, Prefix, ulPrefix, pucData, ulData, ucEscape != 0, ucEscape);
    return pBuffer->m_GetLength() != 0;
}

BOOLEAN CVCP::m_Read(CTfBuffer* pBuffer)
{
    LARGE_INTEGER Stamp = KeQueryPerformanceCounter(NULL);
    if (pBuffer == NULL || pBuffer->m_GetLength() == 0) {
        if (pBuffer != NULL) pBuffer->m_Delete();
        TfDebugLog(7, "CVCP::m_Read - OUT - Read Length is Zero.");
        return TRUE;
    }
    if (m_Read32(&m_lRxOverflow) != 0) {
        TfDebugLog(7, "CVCP::m_Read - OUT - Buffer is overflow, can't read");
        pBuffer->m_Delete();
        InterlockedOr(&m_lErrorsB, SERIAL_ERROR_QUEUEOVERRUN);
        m_SetCommEventsReceived(SERIAL_EV_ERR);
        m_ResolveCurrentEventMask();
        if (m_GetControlHandShake() & SERIAL_ERROR_ABORT) {
            m_ErrorAbort();
        }
        return FALSE;
    }
    SERIAL_CHARS Chars;
    m_GetChars(&Chars);
    if (m_IsInWaitMask(SERIAL_EV_RXFLAG) && Contains(pBuffer->m_GetBytes(), pBuffer->m_GetLength(), Chars.EventChar)) {
        m_SetCommEventsReceived(SERIAL_EV_RXFLAG);
    }
    if (!m_FilterChunk(pBuffer)) {
        pBuffer->m_Delete();
        TfDebugLog(7, "CVCP::m_Read - OUT - After Null stripping, data length is zero.");
        return TRUE;
    }
    // Counted only once readable: a reader that sees the count must find the bytes in the queue.
    const LONG lReceived = (LONG)pBuffer->m_GetLength();
    if (!m_ApplyLineErrors(pBuffer)) {
        pBuffer->m_Delete();
        InterlockedExchangeAdd(&m_lReceivedCount, lReceived);
        return TRUE;
    }
    TfDebugLog(7, "Read Processed");
    m_pFunctionalDevice->m_DataForPendingReadArrived(pBuffer);
    InterlockedExchangeAdd(&m_lReceivedCount, lReceived);
    if (m_IsInWaitMask(SERIAL_EV_RXCHAR)) {
        m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    }
    m_ResolveCurrentEventMask();
    m_ulLastReceiveDuration = CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
    TfDebugLog(7, "CVcp::m_Read TD=%dys", m_ulLastReceiveDuration);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Error abort and the read queue's amount
// ---------------------------------------------------------------------------------------------

void CVCP::sm_ExecutionErrorAbort(PVOID pContext, PVOID pArgument)
{
    ((CVCP*)pContext)->m_Purge(0xF);
}

void CVCP::m_ErrorAbort()
{
    m_StopQueues();
    // The purge reaches the bus, which blocks: above PASSIVE_LEVEL it runs on the executor.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        m_Purge(0xF);
    } else if (m_pExecutionOnPassiveLevel != NULL) {
        m_pExecutionOnPassiveLevel->m_QueueFunction(sm_ExecutionErrorAbort, this, NULL);
    }
}

void CVCP::sm_ExecutionReleaseFlowControl(PVOID pContext, PVOID pArgument)
{
    ((CVCP*)pContext)->m_ReleaseReceiveFlowControl();
}

void CVCP::m_ReleaseReceiveFlowControl()
{
    // Only a release that finds something to release makes the requests before it stale: one that
    // comes after another (a drop's check after the application's drain) must not cancel a request
    // made in between.
    if (!m_Read32(&m_lDtrDropped) && !m_Read32(&m_lRtsDropped) && !m_Read32(&m_lXoffSent)) {
        return;
    }
    InterlockedIncrement(&m_lReleaseSequence);
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        return;
    }
    if (InterlockedExchange(&m_lDtrDropped, 0) != 0) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pSetDtr, (BOOLEAN)TRUE);
    }
    if (InterlockedExchange(&m_lRtsDropped, 0) != 0) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pSetRts, (BOOLEAN)TRUE);
    }
    if (InterlockedExchange(&m_lXoffSent, 0) != 0) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pSendXonXoff, (BOOLEAN)FALSE);
        if (!(m_GetFlowReplace() & SERIAL_XOFF_CONTINUE)) {
            InterlockedExchange(&m_lXonHold, 0);
        }
    }
}

void CVCP::m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount)
{
    if (ulNewAmount != 0) {
        InterlockedOr(&m_lLsr, SERIAL_LSR_DR);
    } else {
        InterlockedAnd(&m_lLsr, ~(LONG)SERIAL_LSR_DR);
    }
    if (ulNewAmount > m_ul80PercentMark) {
        m_SetCommEventsReceived(SERIAL_EV_RX80FULL);
    }
    if (ulNewAmount > m_ulRxQueueSize) {
        // Only the step into overflow counts; the error character it adds raises the amount again.
        if (InterlockedExchange(&m_lRxOverflow, 1) == 0) {
            InterlockedOr(&m_lErrorsB, SERIAL_ERROR_QUEUEOVERRUN);
            InterlockedIncrement(&m_lBufferOverrunErrorCount);
            m_SetCommEventsReceived(SERIAL_EV_ERR);
            ISerial* pISerial = m_GetISerial();
            SERIAL_CHARS Chars;
            m_GetChars(&Chars);
            if (pISerial != NULL && pISerial->m_Capabilities.ucLsrMstInsertion == 0 &&
                (m_GetFlowReplace() & SERIAL_ERROR_CHAR)) {
                m_DeliverCharacters(&Chars.ErrorChar, 1);
            }
            m_ResolveCurrentEventMask();
            if (m_IsErrorAbortPending()) {
                m_ErrorAbort();
            }
        }
    } else {
        InterlockedExchange(&m_lRxOverflow, 0);
    }
    if (ulNewAmount <= m_ulWorkingXonLimit &&
        (m_Read32(&m_lDtrDropped) || m_Read32(&m_lRtsDropped) || m_Read32(&m_lXoffSent))) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            m_ReleaseReceiveFlowControl();
        } else if (m_pExecutionOnPassiveLevel != NULL) {
            m_pExecutionOnPassiveLevel->m_QueueFunction(sm_ExecutionReleaseFlowControl, this, NULL);
        }
    }
    TfDebugLog(7, "CVCP::m_DataAmountChangedInReadQueue - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// Receive flow control
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_AvailableReceiveBufferSizeCallback(ULONG ulJustReceived, ULONG ulFifoAllowance,
                                                   PULONG pulAvailable)
{
    *pulAvailable = 0;
    if (m_pFunctionalDevice == NULL) {
        return TRUE;
    }
    ULONG ulAmount = m_GetReadQueue()->m_GetDataAmount();
    ULONG ulSize = m_ulRxQueueSize;
    if (ulAmount > ulSize) {
        return TRUE;
    }
    *pulAvailable = ulSize - ulAmount;
    ULONGLONG ullHeld = (ULONGLONG)ulAmount + ulJustReceived;
    // A FIFO allowance at or above the queue size triggers at once.
    BOOLEAN bTrigger = ullHeld + m_ulWorkingXoffLimit >= ulSize || ullHeld + ulFifoAllowance >= ulSize;
    if (bTrigger && m_pExecutionOnPassiveLevel != NULL) {
        ULONG_PTR ulSequence = (ULONG_PTR)(ULONG)m_Read32(&m_lReleaseSequence);
        m_pExecutionOnPassiveLevel->m_QueueFunction(sm_ExecutionOnDispatchLevelQueueOverflow, this,
                                                    (PVOID)ulSequence);
    }
    TfDebugLog(7, "CVCP::m_XoffSentCallbackCallback - OUT - ulAvailableBufferSize:0x%X", *pulAvailable);
    return TRUE;
}

void CVCP::sm_ExecutionOnDispatchLevelQueueOverflow(PVOID pContext, PVOID pArgument)
{
    CVCP* pThis = (CVCP*)pContext;
    // The queue was drained and its flow control released after this request was made: stopping
    // the peer now would stop it for good, as nothing would release it again.
    if ((ULONG)(ULONG_PTR)pArgument != (ULONG)m_Read32(&pThis->m_lReleaseSequence)) {
        return;
    }
    pThis->m_ExecutionOnDispatchLevelQueueOverflow();
}

void CVCP::m_ExecutionOnDispatchLevelQueueOverflow()
{
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        return;
    }
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    ULONG ulReplace = HandFlow.FlowReplace;
    if (ulReplace & SERIAL_AUTO_RECEIVE) {
        if (InterlockedExchange(&m_lXoffSent, 2) == 0 && m_Read32(&m_lXonHold) == 0) {
            // The hold goes first: a release that comes while the XOFF is under way clears it.
            if (!(ulReplace & SERIAL_XOFF_CONTINUE)) {
                InterlockedExchange(&m_lXonHold, SERIAL_TX_WAITING_FOR_XON);
            }
            VcpCallISerial(pISerial, pISerial->m_Operations.pSendXonXoff, (BOOLEAN)TRUE);
        }
    }
    // A release that comes while a line is being dropped clears its flag and raises the line, but
    // its request may reach the bus before the drop's: the line is raised once more after it.
    if ((HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
        InterlockedExchange(&m_lDtrDropped, 1) == 0) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pSetDtr, (BOOLEAN)FALSE);
        if (m_Read32(&m_lDtrDropped) == 0) {
            VcpCallISerial(pISerial, pISerial->m_Operations.pSetDtr, (BOOLEAN)TRUE);
        }
    }
    if ((ulReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && InterlockedExchange(&m_lRtsDropped, 4) == 0) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pSetRts, (BOOLEAN)FALSE);
        if (m_Read32(&m_lRtsDropped) == 0) {
            VcpCallISerial(pISerial, pISerial->m_Operations.pSetRts, (BOOLEAN)TRUE);
        }
    }
    // The application may have emptied the queue while this waited on the executor, before any
    // flag above was set: no later change of the amount would then release the peer.
    if (m_GetReadQueue()->m_GetDataAmount() <= m_ulWorkingXonLimit) {
        m_ReleaseReceiveFlowControl();
    }
}

BOOLEAN CVCP::m_XoffSentCallback(BOOLEAN bFlag)
{
    if (bFlag) {
        InterlockedExchange(&m_lXonHold,
                            (m_GetFlowReplace() & SERIAL_XOFF_CONTINUE) ? 0 : SERIAL_TX_WAITING_FOR_XON);
    }
    return TRUE;
}

BOOLEAN CVCP::m_XoffHoldingCallback(BOOLEAN bFlag)
{
    InterlockedExchange(&m_lXoffSent, bFlag ? 2 : 0);
    return TRUE;
}
