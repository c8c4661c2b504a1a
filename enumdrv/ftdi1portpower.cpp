// The FTDI port's power save (before the bus device powers down) and restore (after it powered up,
// made on the port's request executor): the chip loses its settings with its power, so the
// restore sends the current ones again and lets the transmitter go only once the chip settled.
#include "ftdi1port.h"

#include "tfdebug.h"

namespace {

// Power save and restore pauses, in 100 ns.
const LONGLONG g_llWriteWait = -50000000LL;        // 5 s, at most 5 times
const ULONG g_ulWriteWaits = 5;
const LONGLONG g_llSettleWait = -100000000LL;      // 10 s
const LONGLONG g_llWriteDoneWait = -20000000LL;    // 2 s

}  // namespace

// ---- Power ----------------------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_SaveDeviceState()
{
    TfDebugLog(7, "CFTDI1Port::m_SaveDeviceState - IN");
    if (InterlockedCompareExchange(&m_lOpen, 0, 0) == 0 || InterlockedCompareExchange(&m_lOpening, 0, 0) != 0) {
        return TRUE;
    }
    if (m_PeekISerial() == NULL || m_pUSBTransport == NULL) {
        return FALSE;
    }
    m_WriteDoneEvent.m_Clear();
    m_PortLock.m_Acquire();
    m_bPowerHold = TRUE;
    m_PortLock.m_Release();
    m_SetTxHold(FALSE);
    for (ULONG i = 0; i < g_ulWriteWaits; ++i) {
        m_PortLock.m_Acquire();
        BOOLEAN bWriting = m_bWriteInProgress;
        m_PortLock.m_Release();
        if (!bWriting) {
            break;
        }
        m_WriteDoneEvent.m_Wait(g_llWriteWait);
    }
    if (m_bXonXoffIn) {
        m_WriteCharacter(m_ucXoff, FALSE);
    }
    m_Request(FTDI_MODEM_CTRL, m_IsDuplexCapable() ? 0x0200 : 0x0300, m_usPortIndex, "FTDI_MODEM_CTRL");
    LARGE_INTEGER Settle;
    Settle.QuadPart = g_llSettleWait;
    KeWaitForSingleObject(&m_SettleCancel, Executive, KernelMode, FALSE, &Settle);
    InterlockedExchange(&m_lReceiving, 0);
    m_pUSBTransport->m_ReadStop();
    // A transfer out still in flight cannot finish while the device is off.
    m_pUSBTransport->m_StopWrites(TRUE);
    m_WriteDoneEvent.m_Wait(g_llWriteDoneWait);
    // The chip loses what it was programmed with.
    m_ulProgrammedRate = 0;
    InterlockedExchange(&m_lSaved, 1);
    if (!m_Request(FTDI_RESET, 0, m_usPortIndex, "FTDI_RESET")) {
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_RestoreDeviceState()
{
    TfDebugLog(7, "CFTDI1Port::m_RestoreDeviceState - IN");
    if (m_PeekISerial() == NULL) {
        return FALSE;
    }
    if (InterlockedCompareExchange(&m_lOpen, 0, 0) == 0 || InterlockedCompareExchange(&m_lOpening, 0, 0) != 0) {
        return TRUE;
    }
    if (m_pUSBTransport == NULL || m_pRequestExecutor == NULL) {
        return FALSE;
    }
    // Only a saved port has anything to restore (a power-up of the port's own open has not).
    if (InterlockedExchange(&m_lSaved, 0) == 0) {
        return TRUE;
    }
    // The power-up path may run at DISPATCH_LEVEL: the requests and waits go to the executor.
    LONG lSession = InterlockedCompareExchange(&m_lSession, 0, 0);
    return m_pRequestExecutor->m_QueueFunction(sm_RestoreWorkItem, this, (PVOID)(LONG_PTR)lSession);
}

void CFTDI1Port::sm_RestoreWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    LONG lSession = (LONG)(LONG_PTR)pArgument;
    if (InterlockedCompareExchange(&pPort->m_lSession, 0, 0) != lSession) {
        return;
    }
    if (!pPort->m_RestoreSteps()) {
        TfDebugLog(7, "CFTDI1Port::m_RestoreDeviceState - settings not restored");
    }
    pPort->m_FlowRestore(lSession);
}

BOOLEAN CFTDI1Port::m_RestoreSteps()
{
    USHORT usModem = 0x0300;
    if (m_IsDuplexCapable() && m_GetDuplexMode() != 2) {
        usModem = 0x0301;
    }
    BOOLEAN bResult = m_Request(FTDI_MODEM_CTRL, usModem, m_usPortIndex, "FTDI_MODEM_CTRL");
    m_pUSBTransport->m_Connect();
    m_pUSBTransport->m_StopWrites(FALSE);
    if (m_ulLatency != 0) {
        bResult = m_SetTransportLatency(m_ulLatency) && bResult;
    }
    // The chip gets the encoding of the rate the port works with, or nothing before one was set.
    FTDI_BAUD_WORDS Words;
    if (m_ulBaudRate != 0 &&
        FtdiCalculateBaudDivisor(m_ulBaudRate, m_ulMaximumBaudRate, m_bMultiInterface, m_usPortIndex, &Words)) {
        bResult = m_ProgramRate(m_ulBaudRate, &Words) && bResult;
    }
    if (m_usDataWord != 0) {
        bResult = m_Request(FTDI_SET_DATA, m_usDataWord, m_usPortIndex, "FTDI_SET_DATA") && bResult;
    }
    bResult = m_Request(FTDI_RESET, 0, m_usPortIndex, "FTDI_RESET") && bResult;
    bResult = m_Request(FTDI_SET_ERROR_CHAR, m_usErrorChar, m_usPortIndex, "FTDI_SET_ERROR_CHAR") && bResult;
    bResult = m_Request(FTDI_SET_EVENT_CHAR, m_usEventChar, m_usPortIndex, "FTDI_SET_EVENT_CHAR") && bResult;
    return bResult;
}

// After the chip settled: flow control, the receive, Xon and the modem lines; then the
// transmitter may go again. A close in the meantime ends the session the restore belongs to.
void CFTDI1Port::m_FlowRestore(LONG lSession)
{
    LARGE_INTEGER Settle;
    Settle.QuadPart = g_llSettleWait;
    KeWaitForSingleObject(&m_SettleCancel, Executive, KernelMode, FALSE, &Settle);
    if (InterlockedCompareExchange(&m_lSession, 0, 0) != lSession || InterlockedCompareExchange(&m_lOpen, 0, 0) == 0) {
        return;
    }
    if (m_usFlowIndex != FTDI_FLOW_UNSET) {
        m_Request(FTDI_SET_FLOW_CTRL, (USHORT)(m_ucXon | (m_ucXoff << 8)), m_usFlowIndex, "FTDI_SET_FLOW_CTRL");
    }
    InterlockedExchange(&m_lReceiving, 1);
    if (!m_pUSBTransport->m_ReadStart(m_ulRxTransferSize != 0 ? m_ulRxTransferSize : FTDI_PACKET_SIZE)) {
        TfDebugLog(7, "CUSBTransport::m_ReadStart - OUT (Error m_ReadStart.)");
    }
    if (m_usFlowIndex != FTDI_FLOW_UNSET && (m_usFlowIndex & FTDI_FLOW_XON_XOFF) != 0) {
        m_WriteCharacter(m_ucXon, FALSE);
    }
    m_Request(FTDI_MODEM_CTRL, (USHORT)ReadNoFence(&m_lModemControl), m_usPortIndex, "FTDI_MODEM_CTRL");
    m_PortLock.m_Acquire();
    m_bPowerHold = FALSE;
    m_PortLock.m_Release();
    m_UpdateTxHoldFromHandshake();
    m_SetFiFoTransmissionEmulationTimer();
}
