// The FTDI port's write path: the send list, the transmitter hold, the write thread that joins
// what is queued into one bulk transfer out, the data-written reports, and the immediate
// characters.
#include "ftdi1port.h"

#include "tfdebug.h"

namespace {

// Largest joined transfer: what every pipe was configured to take.
const ULONG g_ulMaximumTransfer = 4096;

}  // namespace

BOOLEAN CFTDI1Port::m_PortWriteCallback(CTfBuffer* pBuffer)
{
    if (!m_HasTransport("m_PortWriteCallback")) {
        pBuffer->m_Delete();
        return FALSE;
    }
    ULONG ulLength = pBuffer->m_GetLength();
    m_PortLock.m_Acquire();
    m_ulOutstanding += ulLength;
    BOOLEAN bPowerHold = m_bPowerHold;
    m_PortLock.m_Release();
    if (!m_SendData(pBuffer, CV_TRANSPORT_DEFAULT_ENDPOINT, FALSE, TRUE)) {
        // The data is gone: it is not owed to the port driver either.
        m_PortLock.m_Acquire();
        m_ulOutstanding = m_ulOutstanding >= ulLength ? m_ulOutstanding - ulLength : 0;
        m_PortLock.m_Release();
        return FALSE;
    }
    if (!bPowerHold) {
        m_UpdateTxHoldFromHandshake();
    }
    return TRUE;
}

void CFTDI1Port::m_LinkEntry(CFtdiSendEntry* pEntry, BOOLEAN bAtHead)
{
    if (bAtHead) {
        pEntry->pNext = m_pSendHead;
        m_pSendHead = pEntry;
        if (m_pSendTail == NULL) {
            m_pSendTail = pEntry;
        }
    } else {
        pEntry->pNext = NULL;
        if (m_pSendTail != NULL) {
            m_pSendTail->pNext = pEntry;
        } else {
            m_pSendHead = pEntry;
        }
        m_pSendTail = pEntry;
    }
    m_ulQueuedBytes += pEntry->pBuffer->m_GetLength();
}

// Queues a buffer; bAccount takes the FIFO emulation's credit and reports it.
BOOLEAN CFTDI1Port::m_SendData(CTfBuffer* pBuffer, UCHAR ucEndpoint, BOOLEAN bAtHead, BOOLEAN bAccount)
{
    CFtdiSendEntry* pEntry = new (NonPagedPool) CFtdiSendEntry();
    if (pEntry == NULL) {
        pBuffer->m_Delete();
        return FALSE;
    }
    pEntry->pBuffer = pBuffer;
    pEntry->ucEndpoint = ucEndpoint;
    m_PortLock.m_Acquire();
    m_LinkEntry(pEntry, bAtHead);
    ULONG ulCredit = bAccount ? m_TakeQueueCreditLocked(pBuffer->m_GetLength()) : 0;
    ULONG ulRate = m_ulBaudRate;
    m_PortLock.m_Release();
    if (bAccount) {
        m_SetFiFoTransmissionEmulationTimer();
    }
    if (ulCredit != 0) {
        if (ulRate > FTDI_EMULATION_MAXIMUM_RATE) {
            m_ReportDataSent(ulCredit, FALSE);
        } else {
            InterlockedExchangeAdd(&m_lBytesSent, (LONG)ulCredit);
            m_CallDataWritten(ulCredit);
        }
    }
    return TRUE;
}

// ---- Transmitter hold ------------------------------------------------------------------------------------

void CFTDI1Port::m_SetTxHoldLocked(BOOLEAN bRelease)
{
    if (bRelease && !m_bPowerHold) {
        m_bTxHold = FALSE;
        m_bWriterWoken = TRUE;
        KeSetEvent(&m_WriteWorkEvent, IO_NO_INCREMENT, FALSE);
    } else {
        m_bTxHold = TRUE;
    }
}

void CFTDI1Port::m_SetTxHold(BOOLEAN bRelease)
{
    m_PortLock.m_Acquire();
    m_SetTxHoldLocked(bRelease);
    m_PortLock.m_Release();
}

BOOLEAN CFTDI1Port::m_HandshakeReleasesLocked()
{
    UCHAR ucModem = (UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    BOOLEAN bCts = (ucModem & FTDI_MSR_CTS) != 0;
    BOOLEAN bDsr = (ucModem & FTDI_MSR_DSR) != 0;
    BOOLEAN bRelease;
    if (m_bCtsOut) {
        bRelease = bCts && (!m_bDsrOut || bDsr);
    } else if (m_bDsrOut) {
        bRelease = bDsr;
    } else if (m_bXonXoffIn) {
        bRelease = m_bContinueAfterXoffSent || !m_bXoffSent;
    } else if (m_bXonXoffOut) {
        bRelease = !m_bXoffReceived;
    } else {
        bRelease = TRUE;
    }
    return bRelease && !m_bXoffReceived;
}

void CFTDI1Port::m_UpdateTxHoldFromHandshake()
{
    m_PortLock.m_Acquire();
    m_SetTxHoldLocked(m_HandshakeReleasesLocked());
    m_PortLock.m_Release();
}

// ---- Reports ---------------------------------------------------------------------------------------------

void CFTDI1Port::m_ReportDataSent(ULONG ulCount, BOOLEAN bFromWriter)
{
    m_PortLock.m_Acquire();
    ULONG ulRemaining = m_AccountReportLocked(ulCount, bFromWriter);
    BOOLEAN bAboveEmulation = m_ulBaudRate > FTDI_EMULATION_MAXIMUM_RATE;
    m_PortLock.m_Release();
    InterlockedExchangeAdd(&m_lBytesSent, (LONG)ulRemaining);
    if (!bFromWriter) {
        if (ulRemaining != 0) {
            m_CallDataWritten(ulRemaining);
        }
        return;
    }
    if (ulRemaining != 0 && bAboveEmulation) {
        m_CallDataWritten(ulRemaining);
    }
    m_UpdateTxHoldFromHandshake();
}

// Callback 5 directly at PASSIVE_LEVEL, else from the status executor under the transmit mutex.
void CFTDI1Port::m_CallDataWritten(ULONG ulCount)
{
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        m_InvokeDataWritten(ulCount);
        return;
    }
    if (m_pStatusExecutor != NULL) {
        m_pStatusExecutor->m_QueueFunction(sm_DataWrittenWorkItem, this, (PVOID)(ULONG_PTR)ulCount);
    }
}

void CFTDI1Port::sm_DataWrittenWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    KeWaitForSingleObject(&pPort->m_TransmitMutex, Executive, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
        pPort->m_InvokeDataWritten((ULONG)(ULONG_PTR)pArgument);
    }
    pPort->m_UpdateTxHoldFromHandshake();
    KeReleaseMutex(&pPort->m_TransmitMutex, FALSE);
}

// Empties the send list; bReport tells the port driver each buffer was sent.
void CFTDI1Port::m_FlushWriteList(BOOLEAN bReport)
{
    m_PortLock.m_Acquire();
    CFtdiSendEntry* pEntry = m_pSendHead;
    m_pSendHead = m_pSendTail = NULL;
    m_ulQueuedBytes = 0;
    m_PortLock.m_Release();
    while (pEntry != NULL) {
        CFtdiSendEntry* pNext = pEntry->pNext;
        TfDebugLog(7, "Flushing%d\n", pEntry->pBuffer->m_GetLength());
        if (bReport) {
            m_ReportDataSent(pEntry->pBuffer->m_GetLength(), TRUE);
        }
        pEntry->pBuffer->m_Delete();
        delete pEntry;
        pEntry = pNext;
    }
}

// ---- Write thread --------------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_StartWriteThread()
{
    PVOID apObjects[1] = {&m_WriteWorkEvent};
    LARGE_INTEGER Backoff;
    Backoff.QuadPart = FTDI_WRITE_BACKOFF;
    KeClearEvent(&m_WriteWorkEvent);
    return m_WriteThread.m_Create(sm_WriteThread, this, apObjects, 1, &Backoff, 0, 0, 0);
}

void CFTDI1Port::m_StopWriteThread()
{
    m_WriteThread.m_Close();
}

void CFTDI1Port::sm_WriteThread(PVOID pContext)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    while (pPort->m_SendDataToDevice()) {
    }
}

// Takes the first entry with every further one joined to it, up to the largest transfer. Called
// with the port lock held.
CFtdiSendEntry* CFTDI1Port::m_TakeJoinedEntry()
{
    CFtdiSendEntry* pFirst = m_pSendHead;
    m_pSendHead = pFirst->pNext;
    ULONG ulLimit = m_ulTxTransferSize < g_ulMaximumTransfer ? m_ulTxTransferSize : g_ulMaximumTransfer;
    while (m_pSendHead != NULL && m_pSendHead->ucEndpoint == pFirst->ucEndpoint &&
           pFirst->pBuffer->m_GetLength() + m_pSendHead->pBuffer->m_GetLength() <= ulLimit) {
        CFtdiSendEntry* pNext = m_pSendHead;
        if (!pFirst->pBuffer->m_Append(pNext->pBuffer->m_GetData(), pNext->pBuffer->m_GetLength())) {
            break;
        }
        m_pSendHead = pNext->pNext;
        pNext->pBuffer->m_Delete();
        delete pNext;
    }
    if (m_pSendHead == NULL) {
        m_pSendTail = NULL;
    }
    pFirst->pNext = NULL;
    ULONG ulLength = pFirst->pBuffer->m_GetLength();
    m_ulQueuedBytes = m_ulQueuedBytes >= ulLength ? m_ulQueuedBytes - ulLength : 0;
    return pFirst;
}

// One transfer. TRUE when it made progress and the thread should look again at once. After a
// failure the thread does not wake itself: the next write or release does, or the back-off time-
// out, for a bounded number of failures in a row.
BOOLEAN CFTDI1Port::m_SendDataToDevice()
{
    m_PortLock.m_Acquire();
    BOOLEAN bWoken = m_bWriterWoken;
    m_bWriterWoken = FALSE;
    if (m_bTxHold || m_pSendHead == NULL || (!bWoken && m_ulWriteFailures >= FTDI_WRITE_RETRIES)) {
        m_PortLock.m_Release();
        return FALSE;
    }
    CFtdiSendEntry* pEntry = m_TakeJoinedEntry();
    m_bWriteInProgress = TRUE;
    BOOLEAN bRtsToggle = m_bRtsToggle;
    m_PortLock.m_Release();

    ULONG ulLength = pEntry->pBuffer->m_GetLength();
    if (bRtsToggle) {
        m_SetRts(TRUE);
    }
    TfDebugLog(7, "SendDataToDevice (before)- WriteLen:0x%X", ulLength);
    ULONG ulWritten = 0;
    BOOLEAN bSuccess = m_pUSBTransport->m_Write(pEntry->pBuffer, &ulWritten, pEntry->ucEndpoint);
    TfDebugLog(7, "SendDataToDevice (after)- WriteLen:0x%X Written:0x%X Success:0x%X", ulLength, ulWritten, bSuccess);
    if (bRtsToggle) {
        // RTS stays up until the bytes the chip took have left the line.
        m_WaitCharacterTimes(ulWritten);
        m_SetRts(FALSE);
    }
    if (ulWritten > ulLength) {
        ulWritten = ulLength;
    }
    if (ulWritten != 0) {
        m_ReportDataSent(ulWritten, TRUE);
    }
    if (ulWritten == ulLength) {
        pEntry->pBuffer->m_Delete();
        delete pEntry;
    } else {
        // The rest goes first on the next wake, without being accounted again.
        pEntry->pBuffer->m_RemoveRange(0, ulWritten);
        m_PortLock.m_Acquire();
        m_LinkEntry(pEntry, TRUE);
        m_PortLock.m_Release();
    }
    BOOLEAN bProgress = bSuccess || ulWritten != 0;
    m_PortLock.m_Acquire();
    m_bWriteInProgress = FALSE;
    m_ulWriteFailures = bProgress ? 0 : m_ulWriteFailures + 1;
    m_PortLock.m_Release();
    if (!bSuccess) {
        m_WriteDoneEvent.m_Set();
    }
    return bProgress;
}

// ---- Immediate characters -------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_IsFlowCharacter(UCHAR ucCharacter) const
{
    return m_bXonXoffIn && (ucCharacter == m_ucXon || ucCharacter == m_ucXoff);
}

BOOLEAN CFTDI1Port::m_SendImmediateCharacterCallback(UCHAR ucCharacter)
{
    if (!m_HasTransport("m_SendImmediateCharacterCallback")) {
        return FALSE;
    }
    BOOLEAN bResult = m_WriteCharacter(ucCharacter, TRUE);
    TfDebugLog(7, "CFTDI1Port::m_SendImmediateCharacterCallback - OUT (%s)", bResult ? "Success" : "Fail");
    return bResult;
}

// Writes one byte on the write pipe at once.
BOOLEAN CFTDI1Port::m_SendCharacterNow(UCHAR ucCharacter, PBOOLEAN pbWritten)
{
    CTfBuffer Buffer;
    ULONG ulWritten = 0;
    *pbWritten = Buffer.m_Assign(&ucCharacter, 1) &&
                 m_pUSBTransport->m_Write(&Buffer, &ulWritten, CV_TRANSPORT_DEFAULT_ENDPOINT) && ulWritten == 1;
    return *pbWritten;
}

BOOLEAN CFTDI1Port::m_WriteCharacter(UCHAR ucCharacter, BOOLEAN bFromOperation)
{
    if (m_pUSBTransport == NULL) {
        return FALSE;
    }
    m_PortLock.m_Acquire();
    BOOLEAN bFlow = m_IsFlowCharacter(ucCharacter);
    BOOLEAN bXoff = bFlow && ucCharacter == m_ucXoff;
    BOOLEAN bXon = bFlow && ucCharacter == m_ucXon;
    BOOLEAN bOrdinary = ucCharacter != m_ucXon && ucCharacter != m_ucXoff &&
                        ucCharacter != (UCHAR)m_usEventChar && ucCharacter != (UCHAR)m_usErrorChar;
    if (m_bTxHold && !bFlow) {
        // Held: the character waits at the head of the list and leaves with the next transfer.
        m_ulOutstanding += 1;
        m_PortLock.m_Release();
        CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
        if (pBuffer == NULL || !pBuffer->m_Assign(&ucCharacter, 1) ||
            !m_SendData(pBuffer, CV_TRANSPORT_DEFAULT_ENDPOINT, TRUE, TRUE)) {
            if (pBuffer != NULL && pBuffer->m_IsEmpty()) {
                pBuffer->m_Delete();
            }
            m_PortLock.m_Acquire();
            m_ulOutstanding = m_ulOutstanding != 0 ? m_ulOutstanding - 1 : 0;
            m_PortLock.m_Release();
            return FALSE;
        }
        if (bOrdinary) {
            m_InvokeImmediateCharacterSent();
        }
        return TRUE;
    }
    if (bXoff) {
        if (!m_bContinueAfterXoffSent) {
            m_SetTxHoldLocked(FALSE);
        }
        m_bXoffSent = TRUE;
    }
    m_PortLock.m_Release();

    m_SuspendLock.m_Acquire();
    BOOLEAN bSuspended = m_bReceiveSuspended;
    m_SuspendLock.m_Release();
    BOOLEAN bResult = TRUE;
    BOOLEAN bWritten = FALSE;
    if (bFlow && bSuspended) {
        // The receive is stopped already: the chip needs no Xoff, and an Xon restarts it.
        if (bXon) {
            m_RestartReadIfSpace();
        }
    } else {
        bResult = m_SendCharacterNow(ucCharacter, &bWritten);
    }
    m_PortLock.m_Acquire();
    if (bXon) {
        m_bXoffSent = FALSE;
    }
    BOOLEAN bXoffSent = m_bXoffSent;
    m_PortLock.m_Release();
    if (bXon) {
        m_UpdateTxHoldFromHandshake();
    }
    if (bOrdinary && bFromOperation) {
        m_InvokeImmediateCharacterSent();
    }
    if (bXoff) {
        m_InvokeXoffSent(bXoffSent);
    }
    if (bFromOperation && bResult) {
        InterlockedExchangeAdd(&m_lBytesSent, 1);
        m_InvokeDataWritten(1);
    }
    return bResult;
}
