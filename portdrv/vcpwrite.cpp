// The port object's write path and the line and modem status the bus reports.
#include "tfdebug.h"
#include "tffunctionaldevice.h"
#include "vcp.h"

// ---------------------------------------------------------------------------------------------
// Out-queue amount
// ---------------------------------------------------------------------------------------------

ULONG CVCP::m_GetOutQueueAmount()
{
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    ULONG ulAmount = m_ulOutQueue;
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
    return ulAmount;
}

void CVCP::m_ClearOutQueue()
{
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    m_ulOutQueue = 0;
    m_bImmediatePending = FALSE;
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
}

void CVCP::m_AddOutQueue(ULONG ulBytes, BOOLEAN bImmediate)
{
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    m_ulOutQueue += ulBytes;
    if (bImmediate) {
        m_bImmediatePending = TRUE;
    }
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
}

void CVCP::m_TakeBackOutQueue(ULONG ulBytes)
{
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    m_ulOutQueue = ulBytes < m_ulOutQueue ? m_ulOutQueue - ulBytes : 0;
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
}

void CVCP::m_UndoImmediate()
{
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    // A bus that confirmed the byte before failing has already taken it off: nothing to undo then.
    if (m_bImmediatePending) {
        m_bImmediatePending = FALSE;
        if (m_ulOutQueue > 0) {
            m_ulOutQueue--;
        }
    }
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
}

// ---------------------------------------------------------------------------------------------
// Write path
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_Write(CTfBuffer* pBuffer)
{
    if (pBuffer == NULL || pBuffer->m_GetLength() == 0) {
        TfDebugLog(7, "CVCP::m_Write - OUT - Fail-> Write length is 0.");
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        return FALSE;
    }
    ISerial* pISerial = m_ISerialFor("CVCP::m_Write");
    if (pISerial == NULL || pISerial->m_Operations.pWrite == NULL || pISerial->m_pOwner == NULL) {
        pBuffer->m_Delete();
        return FALSE;
    }
    ULONG ulLength = pBuffer->m_GetLength();
    m_AddOutQueue(ulLength, FALSE);
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pWrite, pBuffer)) {
        // The bus refused the block before queuing any of it: no confirmation will come for it.
        m_TakeBackOutQueue(ulLength);
        TfDebugLog(7, "CVCP::m_Write - OUT - Fail-> the bus refused the block");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CVCP::m_DataWrittenCallback(ULONG ulCount)
{
    BOOLEAN bEmpty;
    BOOLEAN bImmediate;
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    BOOLEAN bCounted = ulCount <= m_ulOutQueue;
    m_ulOutQueue = bCounted ? m_ulOutQueue - ulCount : 0;
    bEmpty = m_ulOutQueue == 0;
    bImmediate = m_bImmediatePending;
    m_bImmediatePending = FALSE;
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
    if (bCounted) {
        InterlockedExchangeAdd(&m_lTransmittedCount, (LONG)ulCount);
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && bEmpty && m_GetWriteQueue()->m_GetQueuedByteCount() == 0) {
        m_SetCommEventsReceived(SERIAL_EV_TXEMPTY);
        m_ResolveCurrentEventMask();
    }
    if (bImmediate && ulCount > 0) {
        ulCount--;
    }
    if (ulCount > 0) {
        m_GetWriteQueue()->m_DataWritten(ulCount);
    }
    return TRUE;
}

BOOLEAN CVCP::m_ImmediateCharacterSentCallback()
{
    TfDebugLog(7, "CVCP::m_ImmediateCharacterSentCallback - IN-OUT");
    return TRUE;
}

BOOLEAN CVCP::m_SendSerialXoffCounterChar(UCHAR ucXoffChar)
{
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    if (pBuffer == NULL || !pBuffer->m_Assign(&ucXoffChar, 1)) {
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        TfDebugLog(7, "CVcp::m_SendSerialXoffCounterChar - OUT - Fail-> pucBuffer is NULL.");
        return FALSE;
    }
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        pBuffer->m_Delete();
        return FALSE;
    }
    m_AddOutQueue(1, TRUE);
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pWrite, pBuffer)) {
        m_UndoImmediate();
        TfDebugLog(7, "CVcp::m_SendSerialXoffCounterChar - OUT (Write Failed)");
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Line status
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                   BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError)
{
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        TfDebugLog(7, "CVCP::m_LineStatusCallback - OUT - No ISerial interface.");
        return FALSE;
    }
    if (!bDataReady && m_GetReadQueue()->m_GetDataAmount() != 0) {
        bDataReady = TRUE;
    }
    LONG lNew = (bDataReady ? SERIAL_LSR_DR : 0) | (bOverrun ? SERIAL_LSR_OE : 0) | (bParity ? SERIAL_LSR_PE : 0) |
                (bFraming ? SERIAL_LSR_FE : 0) | (bBreak ? SERIAL_LSR_BI : 0) | (bThre ? SERIAL_LSR_THRE : 0) |
                (bTemt ? SERIAL_LSR_TEMT : 0) | (bFifoError ? SERIAL_LSR_FIFOERR : 0);
    LONG lChanged = InterlockedExchange(&m_lLsr, lNew) ^ lNew;

    ULONG ulErrors = 0;
    ULONG ulEvents = 0;
    if (bOverrun) {
        InterlockedIncrement(&m_lSerialOverrunErrorCount);
        ulErrors |= SERIAL_ERROR_OVERRUN;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bParity) {
        InterlockedIncrement(&m_lParityErrorCount);
        ulErrors |= SERIAL_ERROR_PARITY;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bFraming) {
        InterlockedIncrement(&m_lFrameErrorCount);
        ulErrors |= SERIAL_ERROR_FRAMING;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bBreak) {
        ulErrors |= SERIAL_ERROR_BREAK;
        ulEvents |= SERIAL_EV_BREAK;
    }
    InterlockedOr(&m_lErrorsA, (LONG)ulErrors);
    if (ulEvents != 0) {
        m_SetCommEventsReceived(ulEvents);
    }
    if (bThre && (lChanged & SERIAL_LSR_TEMT)) {
        m_SetCommEventsReceived(SERIAL_EV_TXEMPTY);
    } else if (!bThre) {
        // Only a busy transmitter takes back an empty-transmitter event not yet reported.
        m_GetControlQueue()->m_ClearCommEvents(SERIAL_EV_TXEMPTY);
    }
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    if (ulErrors != 0 && (HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)) {
        m_ErrorAbort();
    }
    if (pISerial->m_Capabilities.ucLsrMstInsertion == 0 && (HandFlow.FlowReplace & SERIAL_BREAK_CHAR) &&
        (lChanged & SERIAL_LSR_BI) && bBreak) {
        SERIAL_CHARS Chars;
        m_GetChars(&Chars);
        m_DeliverCharacters(&Chars.BreakChar, 1);
    }
    m_ResolveCurrentEventMask();
    TfDebugLog(7, "CVCP::m_LineStatusCallback - OUT (Success)");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Modem status
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri, BOOLEAN bDcd)
{
    CCvUVcpUserModeInterface* pParameters = m_GetParameters();
    if (pParameters == NULL || (bRi && bTeri)) {
        DbgPrint("ASSERT at - %s %d\n", "vcp", __LINE__);
        return FALSE;
    }
    const VCP_PARAMETERS& P = pParameters->m_Values();
    BOOLEAN bCtsForced = (ULONG)ReadNoFence((LONG const volatile*)&P.ulDuplexMode) == 2;
    ULONG ulState = (bCts || bCtsForced ? SERIAL_MSR_CTS : 0) | (bDsr ? SERIAL_MSR_DSR : 0) |
                    (bRi ? SERIAL_MSR_RI : 0) | (bDcd ? SERIAL_MSR_DCD : 0);
    ULONG ulOld = m_GetMsrImage();
    ULONG ulChanges = (ulState ^ ulOld) & (SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD);
    if (bCtsForced) {
        ulChanges &= ~(ULONG)SERIAL_MSR_CTS;
    }
    if (bTeri) {
        ulChanges |= SERIAL_MSR_RI;
    }
    ULONG ulMsr = ulState | (ulChanges >> 4);
    InterlockedExchange(&m_lMsr, (LONG)ulMsr);

    ULONG ulControl = m_GetControlHandShake();
    m_UpdateTransmitHolds(ulState);
    InterlockedExchange(&m_lRxWaitsForDsr,
                        (ulControl & SERIAL_DSR_SENSITIVITY) && !(ulState & SERIAL_MSR_DSR) ? 8 : 0);

    ULONG ulEvents = ((ulChanges & SERIAL_MSR_CTS) ? SERIAL_EV_CTS : 0) |
                     ((ulChanges & SERIAL_MSR_DSR) ? SERIAL_EV_DSR : 0) |
                     ((ulChanges & SERIAL_MSR_RI) ? SERIAL_EV_RING : 0) |
                     ((ulChanges & SERIAL_MSR_DCD) ? SERIAL_EV_RLSD : 0);
    if (ulEvents != 0) {
        m_SetCommEventsReceived(ulEvents);
    }
    if ((ULONG)ReadNoFence((LONG const volatile*)&P.ulEmulateCtsTrue)) {
        m_GetControlQueue()->m_ClearCommEvents(SERIAL_EV_CTS);
        InterlockedExchange(&m_lCtsHold, 0);
    }
    if ((ULONG)ReadNoFence((LONG const volatile*)&P.ulEmulateDsrTrue)) {
        m_GetControlQueue()->m_ClearCommEvents(SERIAL_EV_DSR);
        InterlockedExchange(&m_lDsrHold, 0);
    }
    UCHAR ucEscape = (UCHAR)m_Read32(&m_lEscapeChar);
    if (ucEscape != 0 && ulChanges != 0) {
        UCHAR Insert[3] = {ucEscape, SERIAL_LSRMST_MST, (UCHAR)ulMsr};
        m_DeliverCharacters(Insert, sizeof(Insert));
    }
    m_ResolveCurrentEventMask();
    TfDebugLog(7, "CVCP::m_ModemStatusCallback - OUT (Success)");
    return TRUE;
}
