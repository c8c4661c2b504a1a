// The FTDI port's receive path: each completed bulk IN transfer split into its 64-byte packets of
// two status bytes and up to 62 data bytes, the status changes reported, the data handed to the
// port driver in order, and the next transfer sized from the room the port driver has left.
#include "ftdi1port.h"

#include "tfdebug.h"
#include "tfdebugmanager.h"

namespace {

const UCHAR g_ucModemNibbleMask = 0x0F;
const UCHAR g_ucModemNibble = 0x01;
// Line status bits that are reported even when unchanged, in the first packet of a transfer.
const UCHAR g_ucLineErrors = 0x9E;
// Parity, framing and break: reported with FIFO error and data ready; break also as framing.
const UCHAR g_ucLineCharacterErrors = 0x1C;
const UCHAR g_ucLineBreak = 0x10;

}  // namespace

BOOLEAN CFTDI1Port::sm_DataArrived(PVOID pClient, CTfBuffer* pBuffer)
{
    return ((CFTDI1Port*)pClient)->m_DataArrivedCallback(pBuffer);
}

// Up to DISPATCH_LEVEL, in the bulk IN completion path. Owns the buffer on every path.
BOOLEAN CFTDI1Port::m_DataArrivedCallback(CTfBuffer* pBuffer)
{
    if (pBuffer->m_GetLength() < 2) {
        pBuffer->m_Delete();
        TfDebugLog(7, "Invalid data.FTDI transport need at least 2 bye of data.");
        return FALSE;
    }
    if (InterlockedCompareExchange(&m_lReceiving, 0, 0) == 0) {
        pBuffer->m_Delete();
        return TRUE;
    }
    LARGE_INTEGER Stamp;
    Stamp.QuadPart = 0;
    CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
    InterlockedExchangeAdd(&m_lBytesReceived, (LONG)pBuffer->m_GetLength());
    BOOLEAN bStatusOnly = FALSE;
    ULONG ulGathered = m_WalkPackets(pBuffer, &bStatusOnly);
    UCHAR ucModem = (UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    // The handshake settings change under the port lock while data arrives.
    m_PortLock.m_Acquire();
    const BOOLEAN bDsrSensitivity = m_bDsrSensitivity;
    const BOOLEAN bXonXoffOut = m_bXonXoffOut;
    m_PortLock.m_Release();
    BOOLEAN bDropped = bDsrSensitivity && (ucModem & FTDI_MSR_DSR) == 0;
    if (bStatusOnly || bDropped || ulGathered == 0) {
        pBuffer->m_Delete();
        m_ulParseTime = (ULONG)CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
        return TRUE;
    }
    pBuffer->m_KeepHead(ulGathered, TRUE);
    if (bXonXoffOut) {
        m_ScanFlowCharacters(pBuffer->m_GetBytes(), ulGathered);
    }
    m_SizeNextTransfer(ulGathered);
    InterlockedExchange(&m_lDeliveryPending, 1);
    m_pStatusExecutor->m_QueueFunction(sm_ExecutionOnPassiveLevelRead, this, pBuffer, sm_DiscardRead);
    m_ulParseTime = (ULONG)CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
    return TRUE;
}

// Takes the status of every packet and moves the data bytes to the front of the buffer; returns
// the data count. A packet whose modem byte is not the chip's ends the walk.
ULONG CFTDI1Port::m_WalkPackets(CTfBuffer* pBuffer, PBOOLEAN pbStatusOnly)
{
    PUCHAR pucBytes = pBuffer->m_GetBytes();
    ULONG ulLength = pBuffer->m_GetLength();
    ULONG ulGathered = 0;
    for (ULONG ulOffset = 0; ulOffset + 1 < ulLength; ulOffset += FTDI_PACKET_SIZE) {
        ULONG ulRemaining = ulLength - ulOffset;
        UCHAR ucModem = pucBytes[ulOffset];
        if ((ucModem & g_ucModemNibbleMask) != g_ucModemNibble) {
            break;
        }
        // The status is taken before the hold follows the lines: a hold set meanwhile from the
        // status taken (a write's report) would otherwise see the old lines, set the hold after
        // this packet released it, and keep it until a packet that may never come.
        const UCHAR ucLines = ucModem;
        if (m_IsDuplexCapable() && m_GetDuplexMode() == 2) {
            ucModem |= FTDI_MSR_CTS;
        }
        m_TakeModemStatus(ucModem);
        m_HoldFromModemLines(ucLines);
        m_TakeLineStatus(pucBytes[ulOffset + 1], ulOffset == 0 && ulLength > 2);
        if (ulRemaining == 2) {
            *pbStatusOnly = ulOffset == 0;
            break;
        }
        ULONG ulData = ulRemaining < FTDI_PACKET_SIZE ? ulRemaining - 2 : FTDI_PACKET_DATA;
        RtlMoveMemory(pucBytes + ulGathered, pucBytes + ulOffset + 2, ulData);
        ulGathered += ulData;
    }
    return ulGathered;
}

// The trailing edge of RI (bit 2) is set when RI went from 1 to 0; the first status after open
// only sets the baseline.
UCHAR CFTDI1Port::m_ApplyTeri(UCHAR ucModem)
{
    UCHAR ucLast = (UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    ucModem &= (UCHAR)~FTDI_MSR_TERI;
    if (m_bStatusBaseline) {
        m_bStatusBaseline = FALSE;
    } else if ((ucLast & FTDI_MSR_RI) != 0 && (ucModem & FTDI_MSR_RI) == 0) {
        ucModem |= FTDI_MSR_TERI;
    }
    return ucModem;
}

void CFTDI1Port::m_TakeModemStatus(UCHAR ucModem)
{
    UCHAR ucLast = (UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    if (ucModem == ucLast) {
        return;
    }
    ucModem = m_ApplyTeri(ucModem);
    if (ucModem == ucLast) {
        return;
    }
    InterlockedExchange(&m_lLastModemStatus, ucModem);
    TfDebugLog(7, "ModemStatus=>bCtsBit: 0x%X bDsrBit: 0x%X bRiBit: 0x%X bDcdBit: 0x%X", ucModem & FTDI_MSR_CTS,
               ucModem & FTDI_MSR_DSR, ucModem & FTDI_MSR_RI, ucModem & FTDI_MSR_DCD);
    m_QueueModemStatusReport(ucModem);
}

void CFTDI1Port::m_TakeLineStatus(UCHAR ucLine, BOOLEAN bFirstOfTransfer)
{
    UCHAR ucLast = (UCHAR)InterlockedExchange(&m_lLastLineStatus, ucLine);
    if (ucLine == ucLast && !(bFirstOfTransfer && (ucLine & g_ucLineErrors) != 0)) {
        return;
    }
    UCHAR ucReport = ucLine;
    if ((ucLine & g_ucLineCharacterErrors) != 0) {
        ucReport |= 0x81;
    }
    if ((ucLine & g_ucLineBreak) != 0) {
        ucReport |= 0x08;
    }
    TfDebugLog(7, "LineStatus=>Raw: 0x%X", ucLine);
    TfDebugLog(7, "LineStatus=>Reported: 0x%X", ucReport);
    m_QueueLineStatusReport(ucReport);
}

void CFTDI1Port::m_HoldFromModemLines(UCHAR ucModem)
{
    BOOLEAN bCts = (ucModem & FTDI_MSR_CTS) != 0;
    BOOLEAN bDsr = (ucModem & FTDI_MSR_DSR) != 0;
    m_PortLock.m_Acquire();
    if (m_bCtsOut && m_bDsrOut) {
        m_SetTxHoldLocked(bCts && bDsr && !m_bXoffReceived);
    } else if (m_bCtsOut) {
        m_SetTxHoldLocked(bCts && !m_bXoffReceived);
    } else if (m_bDsrOut) {
        m_SetTxHoldLocked(bDsr && !m_bXoffReceived);
    }
    m_PortLock.m_Release();
}

void CFTDI1Port::m_ScanFlowCharacters(const UCHAR* pucData, ULONG ulLength)
{
    m_PortLock.m_Acquire();
    for (ULONG i = 0; i < ulLength; ++i) {
        if (pucData[i] == m_ucXoff) {
            m_bXoffReceived = TRUE;
            m_SetTxHoldLocked(FALSE);
        } else if (pucData[i] == m_ucXon) {
            m_bXoffReceived = FALSE;
            BOOLEAN bHeldByOwnXoff = m_bXonXoffIn && !m_bContinueAfterXoffSent && m_bXoffSent;
            m_SetTxHoldLocked(!bHeldByOwnXoff);
        }
    }
    m_PortLock.m_Release();
}

// Asks the port driver for its room; suspends the receive when it is short or a delivery is
// still queued.
void CFTDI1Port::m_SizeNextTransfer(ULONG ulReceived)
{
    ULONG ulFree = 0;
    BOOLEAN bSuspend = FALSE;
    if (m_InvokeAvailableReceiveBufferSize(ulReceived, m_ulRxFifoSize + FTDI_PACKET_DATA, &ulFree)) {
        ULONG ulSize = FtdiNextRxTransferSize(ulFree, ulReceived, m_ulRxFifoSize, m_ulRxTransferSize, &bSuspend);
        m_pUSBTransport->m_SetInterruptPipeBufferSize(ulSize);
    }
    if (InterlockedIncrement(&m_lDeliveries) > 1 || bSuspend) {
        m_SuspendLock.m_Acquire();
        m_bReceiveSuspended = TRUE;
        m_SuspendLock.m_Release();
        m_pUSBTransport->m_ReadDisable();
    }
}

void CFTDI1Port::sm_DiscardRead(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    ((CTfBuffer*)pArgument)->m_Delete();
    if (InterlockedDecrement(&pPort->m_lDeliveries) == 0) {
        InterlockedExchange(&pPort->m_lDeliveryPending, 0);
    }
}

void CFTDI1Port::sm_ExecutionOnPassiveLevelRead(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    CTfBuffer* pBuffer = (CTfBuffer*)pArgument;
    LARGE_INTEGER Stamp;
    Stamp.QuadPart = 0;
    CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
    KeWaitForSingleObject(&pPort->m_ReceiveMutex, Executive, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
        pPort->m_InvokeRead(pBuffer);
    } else {
        pBuffer->m_Delete();
    }
    if (InterlockedDecrement(&pPort->m_lDeliveries) == 0) {
        pPort->m_SuspendLock.m_Acquire();
        BOOLEAN bSuspended = pPort->m_bReceiveSuspended;
        pPort->m_SuspendLock.m_Release();
        if (bSuspended && InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
            pPort->m_RestartReadIfSpace();
        }
        InterlockedExchange(&pPort->m_lDeliveryPending, 0);
    }
    KeReleaseMutex(&pPort->m_ReceiveMutex, FALSE);
    pPort->m_ulDeliveryTime = (ULONG)CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
}

// PASSIVE_LEVEL.
void CFTDI1Port::m_RestartReadIfSpace()
{
    ULONG ulFree = 0;
    if (!m_InvokeAvailableReceiveBufferSize(0, m_ulRxFifoSize + FTDI_PACKET_DATA, &ulFree)) {
        return;
    }
    BOOLEAN bSuspend = FALSE;
    ULONG ulSize = FtdiNextRxTransferSize(ulFree, 0, m_ulRxFifoSize, m_ulRxTransferSize, &bSuspend);
    m_pUSBTransport->m_SetInterruptPipeBufferSize(ulSize);
    // Without room the receive stays suspended while a receive handshake is on: the chip then holds
    // the far end itself, and the port driver's release (its Xon, or RTS or DTR raised again)
    // resumes it. Resuming now would hand the port driver a packet it has no room for.
    if (bSuspend && m_ReceiveFlowControlOn()) {
        return;
    }
    // The flag's lock is not held while the transfer's own lock is taken.
    m_SuspendLock.m_Acquire();
    m_bReceiveSuspended = FALSE;
    m_SuspendLock.m_Release();
    if (!m_pUSBTransport->m_ReadEnable() && InterlockedCompareExchange(&m_lReceiving, 0, 0) != 0) {
        m_pUSBTransport->m_ReadStop();
        m_pUSBTransport->m_ReadStart(ulSize);
    }
}

BOOLEAN CFTDI1Port::m_ReceiveFlowControlOn()
{
    m_PortLock.m_Acquire();
    BOOLEAN bOn = m_bXonXoffIn || m_bRtsIn || m_bDtrIn;
    m_PortLock.m_Release();
    return bOn;
}

// RTS or DTR was raised, as the port driver does to release the far end: a receive that was
// suspended for lack of room resumes when there is room now, as the port driver's Xon resumes it.
// The port driver raises the line from inside its read queue's hook; the resume runs on the status
// executor, behind the deliveries that resume it too, and never waits for them on the caller's
// thread.
void CFTDI1Port::m_ResumeReceiveAfterRelease()
{
    if (m_ReceiveFlowControlOn() && InterlockedCompareExchange(&m_lReceiving, 0, 0) != 0 &&
        m_pStatusExecutor != NULL) {
        m_pStatusExecutor->m_QueueFunction(sm_ResumeReceiveWorkItem, this, NULL);
    }
}

void CFTDI1Port::sm_ResumeReceiveWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    if (InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
        pPort->m_ResumeSuspendedReceive();
    }
}

void CFTDI1Port::m_ResumeSuspendedReceive()
{
    KeWaitForSingleObject(&m_ReceiveMutex, Executive, KernelMode, FALSE, NULL);
    m_SuspendLock.m_Acquire();
    BOOLEAN bSuspended = m_bReceiveSuspended;
    m_SuspendLock.m_Release();
    if (bSuspended && InterlockedCompareExchange(&m_lDeliveries, 0, 0) == 0) {
        m_RestartReadIfSpace();
    }
    KeReleaseMutex(&m_ReceiveMutex, FALSE);
}

BOOLEAN CFTDI1Port::m_PollModemStatus()
{
    CTfBuffer Buffer;
    if (!Buffer.m_Allocate(2) || !m_pUSBTransport->m_ReadSettings(FTDI_GET_MODEM_STATUS, &Buffer)) {
        TfDebugLog(7, "Error writing to USB Transport (FTDI_GET_MODEM_STATUS).");
        return FALSE;
    }
    UCHAR ucModem = Buffer.m_GetBytes()[0];
    UCHAR ucLine = Buffer.m_GetBytes()[1];
    if (m_IsDuplexCapable() && m_GetDuplexMode() == 2) {
        ucModem |= FTDI_MSR_CTS;
    }
    UCHAR ucLastModem = (UCHAR)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    if (ucModem != ucLastModem) {
        ucModem = m_ApplyTeri(ucModem);
        InterlockedExchange(&m_lLastModemStatus, ucModem);
        m_ReportModemStatus(ucModem);
    }
    if (ucLine != (UCHAR)InterlockedExchange(&m_lLastLineStatus, ucLine)) {
        m_ReportLineStatus(ucLine);
    }
    m_UpdateTxHoldFromHandshake();
    return TRUE;
}

// ---- Status reports ----------------------------------------------------------------------------------

void CFTDI1Port::m_QueueModemStatusReport(UCHAR ucModem)
{
    if (m_pStatusExecutor != NULL) {
        m_pStatusExecutor->m_QueueFunction(sm_ModemStatusWorkItem, this, (PVOID)(ULONG_PTR)ucModem);
    }
}

void CFTDI1Port::m_QueueLineStatusReport(UCHAR ucLine)
{
    if (m_pStatusExecutor != NULL) {
        m_pStatusExecutor->m_QueueFunction(sm_LineStatusWorkItem, this, (PVOID)(ULONG_PTR)ucLine);
    }
}

void CFTDI1Port::sm_ModemStatusWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    if (InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
        pPort->m_ReportModemStatus((UCHAR)(ULONG_PTR)pArgument);
    }
}

void CFTDI1Port::sm_LineStatusWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    if (InterlockedCompareExchange(&pPort->m_lReceiving, 0, 0) != 0) {
        pPort->m_ReportLineStatus((UCHAR)(ULONG_PTR)pArgument);
    }
}

void CFTDI1Port::m_ReportModemStatus(UCHAR ucModem)
{
    m_InvokeModemStatus((ucModem & FTDI_MSR_CTS) != 0, (ucModem & FTDI_MSR_DSR) != 0, (ucModem & FTDI_MSR_RI) != 0,
                        (ucModem & FTDI_MSR_TERI) != 0, (ucModem & FTDI_MSR_DCD) != 0);
}

void CFTDI1Port::m_ReportLineStatus(UCHAR ucLine)
{
    m_InvokeLineStatus((ucLine & 0x02) != 0, (ucLine & 0x04) != 0, (ucLine & 0x08) != 0, (ucLine & 0x10) != 0,
                       (ucLine & 0x01) != 0, (ucLine & 0x20) != 0, (ucLine & 0x40) != 0, (ucLine & 0x80) != 0);
}
