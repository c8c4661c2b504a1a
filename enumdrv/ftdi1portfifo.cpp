// The FTDI port's latency policy and its transmit FIFO emulation: at 57600 baud and below the
// port driver learns of sent bytes at the pace a UART's FIFO would send them, from a periodic
// timer of one character time; above that rate the reports follow the USB transfers, less an
// early credit of about one millisecond of characters granted when data is queued.
#include "ftdi1port.h"

#include "tfdebug.h"
#include "tfdebugmanager.h"

namespace {

// The resolution asked for while the timer runs, in 100 ns: 1 ms.
const ULONG g_ulTimerResolution = 10000;

ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

ULONG LessButNotBelowZero(ULONG a, ULONG b)
{
    return a > b ? a - b : 0;
}

}  // namespace

BOOLEAN CFTDI1Port::m_SetLatencyAndRxTransferSize(ULONG ulBaudRate)
{
    FTDI_LATENCY Result;
    if (m_ulPolicyType == FTDI_POLICY_LOW_CPU_USAGE) {
        TfDebugLog(7, "LowCpuUsage Policy: BaudRate: %d, FineTuning: %d", ulBaudRate, m_ulLowCpuUsageFineTuning);
        if (!FtdiLowCpuUsage(ulBaudRate, m_ulLowCpuUsageFineTuning, &Result)) {
            return FALSE;
        }
    } else if (m_ulPolicyType == FTDI_POLICY_SPECIFIC_LATENCY_TIME) {
        TfDebugLog(7, "SpecificLatencyTime Policy: BaudRate: %d, MaxLatency: %d, FineTuning: %d", ulBaudRate,
                   m_ulMaximumLatency, m_ulMaximumLatencyFineTuning);
        if (!FtdiSpecificLatencyTime(m_ulMaximumLatency, ulBaudRate, m_ulMaximumLatencyFineTuning, &Result)) {
            return FALSE;
        }
    } else {
        TfDebugLog(7, "Error Invalid Policy Type.");
        return FALSE;
    }
    if (m_ucRxTriggerLevel == 1) {
        Result.ulRxTransferSize = FTDI_PACKET_SIZE;
        Result.ulLatency = 16;
    }
    if (Result.ulRxTransferSize != m_ulRxTransferSize) {
        m_ulRxTransferSize = Result.ulRxTransferSize;
        m_pUSBTransport->m_SetInterruptPipeBufferSize(m_ulRxTransferSize);
    }
    if (Result.ulLatency != m_ulLatency) {
        if (!m_SetTransportLatency(Result.ulLatency)) {
            TfDebugLog(7, "Error SetLatency.");
            return FALSE;
        }
        m_ulLatency = Result.ulLatency;
    }
    TfDebugLog(7, "Result: Latency: %d, RxTransferSize: %d\n", m_ulLatency, m_ulRxTransferSize);
    return TRUE;
}

void CFTDI1Port::m_UpdateCharsPerMillisecond()
{
    ULONG ulPerMs = FtdiCharactersPerMillisecond(m_ulBaudRate, m_ucDataBitsCode, m_ucParityCode, m_ucStopBitsCode);
    ULONGLONG ullCharTime = FtdiCharacterTime(m_ulBaudRate, m_ucDataBitsCode, m_ucParityCode, m_ucStopBitsCode);
    m_PortLock.m_Acquire();
    m_ulCharsPerMs = ulPerMs;
    m_ullCharTime = ullCharTime;
    m_PortLock.m_Release();
    TfDebugLog(7, "CFTDI1Port::m_GetCharTime - CharTime low %d CharTime high %d", (ULONG)ullCharTime,
               (ULONG)(ullCharTime >> 32));
}

// Queue-time accounting of n bytes; returns the credit to report now. Port lock held.
ULONG CFTDI1Port::m_TakeQueueCreditLocked(ULONG ulLength)
{
    if (!m_bEmulation) {
        return 0;
    }
    ULONG ulCredit = 0;
    if (m_bTxHold || m_bXoffReceived) {
        m_ulFifoLevel += ulLength;
    } else if (!m_EmulatesFifo()) {
        if (m_ulEarlyCredit < m_ulCharsPerMs) {
            ulCredit = Smaller(m_ulCharsPerMs - m_ulEarlyCredit, ulLength);
            m_ulEarlyCredit += ulCredit;
        }
        m_ulFifoLevel += ulLength;
    } else {
        if (m_ulFifoLevel < m_ulCharsPerMs) {
            ulCredit = Smaller(m_ulCharsPerMs - m_ulFifoLevel, ulLength);
            m_ulEarlyCredit += ulCredit;
        }
        m_ulFifoLevel += ulLength;
    }
    return ulCredit;
}

// Report-time accounting of m bytes; returns what reaches the port driver. Port lock held.
ULONG CFTDI1Port::m_AccountReportLocked(ULONG ulCount, BOOLEAN bFromWriter)
{
    if (!m_bEmulation) {
        return ulCount;
    }
    BOOLEAN bConsume = FALSE;
    if (!m_EmulatesFifo() && bFromWriter) {
        m_ulOutstanding = LessButNotBelowZero(m_ulOutstanding, ulCount);
        m_ulFifoLevel = LessButNotBelowZero(m_ulFifoLevel, ulCount);
        bConsume = m_ulFifoLevel < m_ulCharsPerMs;
    } else if (m_EmulatesFifo() && !bFromWriter) {
        m_ulOutstanding = LessButNotBelowZero(m_ulOutstanding, ulCount);
        bConsume = m_ulCharsPerMs >= m_ulFifoLevel;
    }
    if (bConsume && m_ulEarlyCredit != 0) {
        ULONG ulCovered = Smaller(m_ulEarlyCredit, ulCount);
        m_ulEarlyCredit -= ulCovered;
        ulCount -= ulCovered;
    }
    return ulCount;
}

// ---- The timer -------------------------------------------------------------------------------------------

void CFTDI1Port::m_SetFiFoTransmissionEmulationTimer()
{
    m_PortLock.m_Acquire();
    BOOLEAN bStart = InterlockedCompareExchange(&m_lOpen, 0, 0) != 0 && !m_bPowerHold && m_EmulatesFifo() &&
                     m_bEmulation && !m_bTimerRunning;
    if (bStart) {
        m_bTimerRunning = TRUE;
        m_bTimerResolutionHeld = TRUE;
        m_Stopwatch.QuadPart = 0;
        CTfDebugManager::sm_GetElapsedMicroseconds(&m_Stopwatch);
    }
    ULONGLONG ullCharTime = m_ullCharTime;
    m_PortLock.m_Release();
    if (!bStart) {
        return;
    }
    ExSetTimerResolution(g_ulTimerResolution, TRUE);
    // The period is in whole milliseconds: at least one; the callback counts the characters from
    // the time that passed.
    LONG lPeriod = (LONG)(ullCharTime / g_ulTimerResolution);
    if (lPeriod == 0) {
        lPeriod = 1;
    }
    LARGE_INTEGER Due;
    Due.QuadPart = -(LONGLONG)ullCharTime;
    KeSetTimerEx(&m_FifoTimer, Due, lPeriod, &m_FifoDpc);
}

void CFTDI1Port::m_StopFiFoTransmissionEmulationTimer(BOOLEAN bForce)
{
    m_PortLock.m_Acquire();
    BOOLEAN bStop = m_bTimerRunning && (bForce || m_ulOutstanding == 0);
    BOOLEAN bRelease = bStop && m_bTimerResolutionHeld;
    if (bStop) {
        m_bTimerRunning = FALSE;
        m_bTimerResolutionHeld = FALSE;
    }
    m_PortLock.m_Release();
    if (bStop) {
        KeCancelTimer(&m_FifoTimer);
    }
    // Only a request this port made is given back.
    if (bRelease) {
        ExSetTimerResolution(0, FALSE);
    }
}

void CFTDI1Port::sm_FiFoTransmissionEmulationTimerCallback(PKDPC pDpc, PVOID pContext, PVOID pArgument1,
                                                          PVOID pArgument2)
{
    ((CFTDI1Port*)pContext)->m_FifoTick();
}

void CFTDI1Port::m_FifoTick()
{
    if (!m_TimerGate.m_Acquire()) {
        return;
    }
    m_PortLock.m_AcquireAtDpcLevel();
    ULONGLONG ullElapsed = (ULONGLONG)CTfDebugManager::sm_GetElapsedMicroseconds(&m_Stopwatch);
    BOOLEAN bLive = InterlockedCompareExchange(&m_lOpen, 0, 0) != 0 && !m_bPowerHold;
    ULONG ulReport = 0;
    BOOLEAN bEmptied = FALSE;
    if (bLive && m_ulFifoLevel != 0 && !m_bTxHold) {
        m_ullTimeRemainder += ullElapsed;
        ULONGLONG ullCharMicroseconds = m_ullCharTime / 10 != 0 ? m_ullCharTime / 10 : 1;
        ULONGLONG ullChars = m_ullTimeRemainder / ullCharMicroseconds;
        if (ullChars != 0) {
            m_ullTimeRemainder -= ullChars * ullCharMicroseconds;
        }
        ULONG ulSent = Smaller(Smaller(m_ulOutstanding, ullChars > 0xFFFFFFFF ? 0xFFFFFFFF : (ULONG)ullChars),
                               m_ulFifoLevel);
        m_ulFifoLevel -= ulSent;
        ulReport = m_AccountReportLocked(ulSent, FALSE);
        bEmptied = ulSent != 0 && m_ulFifoLevel == 0 && m_ulOutstanding == 0;
    }
    BOOLEAN bIdle = m_ulOutstanding == 0 && m_ulFifoLevel == 0;
    if (bIdle) {
        m_ullTimeRemainder = 0;
    }
    m_PortLock.m_ReleaseFromDpcLevel();
    InterlockedExchangeAdd(&m_lBytesSent, (LONG)ulReport);
    if (ulReport != 0) {
        m_CallDataWritten(ulReport);
    }
    if (bEmptied) {
        // The emulated FIFO and shifter are empty: once, on the tick that emptied them.
        InterlockedOr(&m_lLastLineStatus, FTDI_LSR_THRE | FTDI_LSR_TEMT);
        m_QueueLineStatusReport((UCHAR)InterlockedCompareExchange(&m_lLastLineStatus, 0, 0));
    }
    if (bIdle && m_StopTimerGate.m_Acquire()) {
        if (!m_pStatusExecutor->m_QueueFunction(sm_StopTimerWorkItem, this, NULL)) {
            m_StopTimerGate.m_Release();
        }
    }
    m_TimerGate.m_Release();
}

void CFTDI1Port::sm_StopTimerWorkItem(PVOID pContext, PVOID pArgument)
{
    CFTDI1Port* pPort = (CFTDI1Port*)pContext;
    pPort->m_StopFiFoTransmissionEmulationTimer(FALSE);
    pPort->m_StopTimerGate.m_Release();
}
