// The COM port object: construction, initialisation, open, close, status queries, the wait mask
// and the discovery of the rates the bus can run.
#include "vcp.h"

#include "tfdebug.h"
#include "tffunctionaldevice.h"

namespace {

// Probe order of the rates; those without a standard bit count as SERIAL_BAUD_USER.
const ULONG g_ProbeOrder[] = {75,    110,   150,   300,   600,    135,    1200,   1800,   2400,   4800,   7200,
                              9600,  14400, 19200, 38400, 56000,  128000, 115200, 57600,  230400, 460800, 921600};

ULONG ProbeBit(ULONG ulRate)
{
    ULONG ulBit = CCvUVcpUserModeInterface::sm_StandardRateBit(ulRate);
    return ulBit != 0 ? ulBit : SERIAL_BAUD_USER;
}

#define VCP_STANDARD_BAUD_BITS 0x1007FFFFUL

ULONG DefaultQueueSize()
{
    switch (MmQuerySystemSize()) {
    case MmSmallSystem:
        return VCP_RX_SIZE_SMALL;
    case MmLargeSystem:
        return VCP_RX_SIZE_LARGE;
    default:
        return VCP_RX_SIZE_MEDIUM;
    }
}

}  // namespace

CVCP::CVCP()
    : m_pParameters(NULL),
      m_lConnected(FALSE),
      m_lDeviceRemoved(FALSE),
      m_bFirstConnectDone(FALSE),
      m_ulBaudRate(115200),
      m_ucStopBits(STOP_BIT_1),
      m_ucParity(NO_PARITY),
      m_ucWordLength(8),
      m_ulOutQueue(0),
      m_bImmediatePending(FALSE),
      m_pWaitWakeIrp(NULL),
      m_ucSavedRxTriggerLevel(0),
      m_lReleaseSequence(0),
      m_pExecutionOnPassiveLevel(NULL)
{
    TfDebugLog(7, "VCP Constructor");
    m_HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    m_HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    RtlZeroMemory(&m_Chars, sizeof(m_Chars));
    m_Chars.XonChar = 0x11;
    m_Chars.XoffChar = 0x13;
    RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
    m_ulDefaultRxQueueSize = DefaultQueueSize();
    m_ulRxQueueSize = m_ulDefaultRxQueueSize;
    m_ul80PercentMark = (ULONG)((ULONGLONG)m_ulRxQueueSize * 80 / 100);
    m_ResetLimits();
    LONG volatile* const Words[] = {&m_lReceivedCount, &m_lTransmittedCount, &m_lFrameErrorCount,
                                    &m_lSerialOverrunErrorCount, &m_lBufferOverrunErrorCount,
                                    &m_lParityErrorCount, &m_lModemControl, &m_lLoopback, &m_lRxOverflow,
                                    &m_lLsr, &m_lMsr, &m_lErrorsA, &m_lErrorsB};
    for (LONG volatile* plWord : Words) {
        *plWord = 0;
    }
    m_ulLastReceiveDuration = 0;
    m_ClearSharedWords();
}

CVCP::~CVCP()
{
    m_DeInit();
}

// ---------------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------------

CTfControlQueue* CVCP::m_GetControlQueue() { return m_pFunctionalDevice->m_GetControlQueue(); }
CTfReadQueue* CVCP::m_GetReadQueue() { return m_pFunctionalDevice->m_GetReadQueue(); }
CTfWriteQueue* CVCP::m_GetWriteQueue() { return m_pFunctionalDevice->m_GetWriteQueue(); }

void CVCP::m_SetCommEventsReceived(ULONG ulEvents)
{
    m_GetControlQueue()->m_SetCommEventsReceived(ulEvents);
}

BOOLEAN CVCP::m_IsInWaitMask(ULONG ulEvents)
{
    return m_GetControlQueue()->m_IsInWaitMask(ulEvents);
}

void CVCP::m_ResolveCurrentEventMask()
{
    m_GetControlQueue()->m_ResolveCurrentEventMask(NULL);
}

ISerial* CVCP::m_ISerialFor(const char* pszMethod)
{
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        TfDebugLog(7, "%s - OUT - No ISerial interface.", pszMethod);
    }
    return pISerial;
}

BOOLEAN CVCP::m_HaveParameters(const char* pszMethod)
{
    if (m_pParameters == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "vcp", __LINE__);
        TfDebugLog(7, "%s - OUT - Fail-> no parameter set", pszMethod);
        return FALSE;
    }
    return TRUE;
}

void CVCP::m_ResetLimits()
{
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    HandFlow.XonLimit = (LONG)(m_ulRxQueueSize / 8);
    HandFlow.XoffLimit = (LONG)(m_ulRxQueueSize / 32);
    m_StoreHandFlow(&HandFlow);
    m_ulWorkingXonLimit = (ULONG)HandFlow.XonLimit;
    m_ulWorkingXoffLimit = (ULONG)HandFlow.XoffLimit;
}

void CVCP::m_ClearSharedWords()
{
    LONG volatile* const Words[] = {&m_lCtsHold,      &m_lDsrHold,   &m_lDcdHold,   &m_lBreakHold,
                                    &m_lXonHold,      &m_lDtrDropped, &m_lRxWaitsForDsr, &m_lRtsDropped,
                                    &m_lXoffSent,     &m_lEscapeChar};
    for (LONG volatile* plWord : Words) {
        InterlockedExchange(plWord, 0);
    }
}

void CVCP::m_ReopenQueues(NTSTATUS RejectStatus)
{
    m_GetWriteQueue()->m_SetAccept(TRUE, RejectStatus);
    m_GetReadQueue()->m_SetAccept(TRUE, RejectStatus);
}

void CVCP::m_StopQueues()
{
    m_GetWriteQueue()->m_SetAccept(FALSE, STATUS_CANCELLED);
    m_GetReadQueue()->m_SetAccept(FALSE, STATUS_CANCELLED);
}

BOOLEAN CVCP::m_IsErrorAbortPending()
{
    return (m_GetControlHandShake() & SERIAL_ERROR_ABORT) != 0 &&
           (m_Read32(&m_lErrorsA) != 0 || m_Read32(&m_lErrorsB) != 0);
}

void CVCP::m_GetHandFlow(PSERIAL_HANDFLOW pHandFlow)
{
    m_SettingsLock.m_Acquire();
    *pHandFlow = m_HandFlow;
    m_SettingsLock.m_Release();
}

void CVCP::m_GetChars(PSERIAL_CHARS pChars)
{
    m_SettingsLock.m_Acquire();
    *pChars = m_Chars;
    m_SettingsLock.m_Release();
}

ULONG CVCP::m_GetControlHandShake()
{
    m_SettingsLock.m_Acquire();
    ULONG ulControl = m_HandFlow.ControlHandShake;
    m_SettingsLock.m_Release();
    return ulControl;
}

ULONG CVCP::m_GetFlowReplace()
{
    m_SettingsLock.m_Acquire();
    ULONG ulReplace = m_HandFlow.FlowReplace;
    m_SettingsLock.m_Release();
    return ulReplace;
}

void CVCP::m_StoreHandFlow(const SERIAL_HANDFLOW* pHandFlow)
{
    m_SettingsLock.m_Acquire();
    m_HandFlow = *pHandFlow;
    m_SettingsLock.m_Release();
}

void CVCP::m_StoreChars(const SERIAL_CHARS* pChars)
{
    m_SettingsLock.m_Acquire();
    m_Chars = *pChars;
    m_SettingsLock.m_Release();
}

void CVCP::m_GetLineControl(PSERIAL_LINE_CONTROL pLineControl) const
{
    pLineControl->StopBits = m_ucStopBits;
    pLineControl->Parity = m_ucParity;
    pLineControl->WordLength = m_ucWordLength;
}

void CVCP::m_GetStatistics(PSERIALPERF_STATS pStats)
{
    pStats->ReceivedCount = (ULONG)m_Read32(&m_lReceivedCount);
    pStats->TransmittedCount = (ULONG)m_Read32(&m_lTransmittedCount);
    pStats->FrameErrorCount = (ULONG)m_Read32(&m_lFrameErrorCount);
    pStats->SerialOverrunErrorCount = (ULONG)m_Read32(&m_lSerialOverrunErrorCount);
    pStats->BufferOverrunErrorCount = (ULONG)m_Read32(&m_lBufferOverrunErrorCount);
    pStats->ParityErrorCount = (ULONG)m_Read32(&m_lParityErrorCount);
}

void CVCP::m_ClearStatistics()
{
    LONG volatile* const Counters[] = {&m_lReceivedCount,          &m_lTransmittedCount,
                                       &m_lFrameErrorCount,        &m_lSerialOverrunErrorCount,
                                       &m_lBufferOverrunErrorCount, &m_lParityErrorCount};
    for (LONG volatile* plCounter : Counters) {
        InterlockedExchange(plCounter, 0);
    }
}

UCHAR CVCP::m_GetModemControl()
{
    return (UCHAR)m_Read32(&m_lModemControl);
}

ULONG CVCP::m_GetTransmitHoldBits()
{
    ULONG ulBits = 0;
    if (m_Read32(&m_lCtsHold)) ulBits |= SERIAL_TX_WAITING_FOR_CTS;
    if (m_Read32(&m_lDsrHold)) ulBits |= SERIAL_TX_WAITING_FOR_DSR;
    if (m_Read32(&m_lDcdHold)) ulBits |= SERIAL_TX_WAITING_FOR_DCD;
    if (m_Read32(&m_lXonHold)) ulBits |= SERIAL_TX_WAITING_FOR_XON;
    if (m_Read32(&m_lBreakHold)) ulBits |= SERIAL_TX_WAITING_ON_BREAK;
    return ulBits;
}

ULONG CVCP::m_GetReceiveHoldBits()
{
    ULONG ulBits = 0;
    if (m_Read32(&m_lXoffSent)) ulBits |= SERIAL_TX_WAITING_XOFF_SENT;
    if (m_Read32(&m_lRxWaitsForDsr)) ulBits |= SERIAL_RX_WAITING_FOR_DSR;
    return ulBits;
}

// ---------------------------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_Init(CTfFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber)
{
    TfDebugLog(7, "VCP Init - IN");
    m_pFunctionalDevice = pFunctionalDevice;
    if (!m_CreateISerial(pFunctionalDevice, ulPortNumber)) {
        TfDebugLog(7, "VCP Init - OUT - Error retrieving ISerial interface.");
        return FALSE;
    }
    CTfPassiveLevelExecutor* pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL, VCP_EXECUTOR_PRIORITY);
    if (pExecutor != NULL && !pExecutor->m_Init()) {
        delete pExecutor;
        pExecutor = NULL;
    }
    if (pExecutor == NULL) {
        TfDebugLog(7, "VCP Init - OUT - Error m_pExecutionOnPassiveLevel is NULL.");
        return FALSE;
    }
    m_pExecutionOnPassiveLevel = pExecutor;
    TfDebugLog(7, "VCP Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_DeInit()
{
    TfDebugLog(7, "VCP m_DeInit - IN");
    // The executor goes first: a queued flow-control action must not reach a released record.
    if (m_pExecutionOnPassiveLevel != NULL) {
        m_pExecutionOnPassiveLevel->m_DeInit();
        delete m_pExecutionOnPassiveLevel;
        m_pExecutionOnPassiveLevel = NULL;
    }
    if (m_pCallbacks == NULL) {
        TfDebugLog(7, "VCP m_DeInit - OUT - Error m_pSerialInterface is NULL.");
        return TRUE;
    }
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        return FALSE;
    }
    m_Disconnect();
    m_ReleaseISerial(m_ulPortNumber, pISerial);
    TfDebugLog(7, "VCP m_DeInit - OUT");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Open
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::sm_HandshakeFromFlowControl(ULONG ulFlowControl, PULONG pulControl, PULONG pulReplace)
{
    switch (ulFlowControl) {
    case VCP_FLOW_NONE:
    case VCP_FLOW_NONE_TOO:
        *pulControl = SERIAL_DTR_CONTROL;
        *pulReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case VCP_FLOW_CTS_RTS:
        *pulControl = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
        *pulReplace = SERIAL_RTS_HANDSHAKE;
        return TRUE;
    case VCP_FLOW_DTR_DSR:
        *pulControl = SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
        *pulReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case VCP_FLOW_XON_XOFF:
        *pulControl = SERIAL_DTR_CONTROL;
        *pulReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
        return TRUE;
    default:
        return FALSE;
    }
}

void CVCP::m_SettingsFromParameters()
{
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    m_ulBaudRate = P.ulBaudrate;
    m_ucWordLength = (UCHAR)(P.ulDatabits <= 2 ? 5 + P.ulDatabits : 8);
    m_ucParity = (UCHAR)(P.ulParity >= 1 && P.ulParity <= 4 ? P.ulParity : 0);
    m_ucStopBits = (UCHAR)(P.ulStopbits == 1 || P.ulStopbits == 2 ? P.ulStopbits : 0);
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    sm_HandshakeFromFlowControl(P.ulFlowControl, &HandFlow.ControlHandShake, &HandFlow.FlowReplace);
    m_StoreHandFlow(&HandFlow);
}

BOOLEAN CVCP::m_Connect()
{
    TfDebugLog(7, "CVCP::m_Connect - IN");
    if (!m_HaveParameters("CVCP::m_Connect")) {
        return FALSE;
    }
    if (m_pCallbacks == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "vcp", __LINE__);
        return FALSE;
    }
    ISerial* pISerial = m_GetISerial();
    if (pISerial == NULL) {
        TfDebugLog(7, "CVCP::m_Connect - OUT - No ISerial interface.");
        return FALSE;
    }
    if (!m_bFirstConnectDone) {
        m_SettingsFromParameters();
        m_bFirstConnectDone = TRUE;
    }
    m_ClearStatistics();
    InterlockedExchange(&m_lModemControl, 0);
    InterlockedExchange(&m_lLoopback, 0);
    InterlockedExchange(&m_lRxOverflow, 0);
    m_ClearOutQueue();
    m_ucSavedRxTriggerLevel = 0;
    InterlockedExchange(&m_lLsr, 0);
    InterlockedExchange(&m_lMsr, 0);
    InterlockedExchange(&m_lErrorsA, 0);
    InterlockedExchange(&m_lErrorsB, 0);
    m_ClearSharedWords();
    m_ResetLimits();
    m_ReopenQueues();
    m_pParameters->m_DumpParameters();

    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pConnect)) {
        TfDebugLog(7, "CVCP::m_Connect - OUT - Error Connecting.");
        return FALSE;
    }
    InterlockedExchange(&m_lConnected, TRUE);

    VCP_PARAMETERS& P = m_pParameters->m_Values();
    if (P.ulPortType == VCP_PORT_TYPE_RS422_485) {
        if (P.ulDuplexMode == 0) {
            P.ulDuplexMode = 1;
        }
        if (pISerial->m_ucDuplex == 1) {
            VcpCallISerial(pISerial, pISerial->m_Operations.pDuplexMode, P.ulDuplexMode,
                           (BOOLEAN)(P.ul422485CtsTrue != 0));
        } else {
            DbgPrint("ASSERT at - %s %d\n", "vcp", __LINE__);
        }
    }
    ULONG ulDeviceRate = P.ulOverrideBaudRates ? P.ulBaudrate : m_ulBaudRate;
    BOOLEAN bOk = VcpCallISerial(pISerial, pISerial->m_Operations.pSetBaudRate, ulDeviceRate);
    if (!bOk) {
        TfDebugLog(7, "CVCP::m_Connect - OUT - Error Setting Baudrate.");
    } else {
        UCHAR ucData = (UCHAR)(P.ulOverrideDataBits ? P.ulDatabits : (ULONG)(m_ucWordLength - 5));
        UCHAR ucParity = (UCHAR)(P.ulOverrideParity ? P.ulParity : m_ucParity);
        UCHAR ucStop = (UCHAR)(P.ulOverrideStopbits ? P.ulStopbits : m_ucStopBits);
        bOk = VcpCallISerial(pISerial, pISerial->m_Operations.pCommSettings, ucData, ucParity, ucStop);
        if (!bOk) {
            TfDebugLog(7, "CVCP::m_Connect - OUT - Error Setting Comm settings.");
        }
    }
    if (!bOk) {
        VcpCallISerial(pISerial, pISerial->m_Operations.pDisconnect);
        InterlockedExchange(&m_lConnected, FALSE);
        return FALSE;
    }
    // The bus forgets its handshake at every close: it gets the port's handshake again at every
    // open, with the lines that a handshake or toggle mode drives.
    m_SendHandFlowAtOpen();
    TfDebugLog(7, "CVCP::m_Connect - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_SendHandFlowAtOpen()
{
    if (m_SendHandshaking() != STATUS_SUCCESS) {
        TfDebugLog(7, "CVCP::m_Connect - handshake not accepted by the bus");
        return FALSE;
    }
    SERIAL_HANDFLOW HandFlow;
    m_GetHandFlow(&HandFlow);
    if ((HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        m_DriveLine(TRUE, TRUE);
    }
    ULONG ulRts = HandFlow.FlowReplace & SERIAL_RTS_MASK;
    if (ulRts == SERIAL_RTS_HANDSHAKE) {
        m_DriveLine(FALSE, TRUE);
    } else if (ulRts == SERIAL_TRANSMIT_TOGGLE) {
        m_DriveLine(FALSE, FALSE);
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Close
// ---------------------------------------------------------------------------------------------

BOOLEAN CVCP::m_IsTransmitterIdle()
{
    ULONG ulLsr = m_GetLsrImage();
    return (ulLsr & (SERIAL_LSR_THRE | SERIAL_LSR_TEMT)) == (SERIAL_LSR_THRE | SERIAL_LSR_TEMT);
}

LONGLONG CVCP::m_GetCharTime()
{
    ULONG ulBaud = m_ulBaudRate != 0 ? m_ulBaudRate : 115200;
    ULONG ulBits = (m_ucParity != NO_PARITY ? 1 : 0) + (m_ucStopBits == STOP_BITS_2 ? 1 : 0) + m_ucWordLength + 2;
    return (LONGLONG)ulBits * (LONGLONG)((ulBaud + 9999999ULL) / ulBaud);
}

void CVCP::m_WaitForTransmitter(ISerial* pISerial)
{
    ULONG ulTxFifo = 128;
    ULONG ulRxFifo = 0;
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pGetFifoSizes, &ulTxFifo, &ulRxFifo)) {
        ulTxFifo = 256;
    }
    ULONG ulOutQueue = m_GetOutQueueAmount();
    if (ReadNoFence(&m_lDeviceRemoved) || (ulOutQueue == 0 && m_IsTransmitterIdle())) {
        return;
    }
    ULONG ulCount = ulOutQueue > ulTxFifo / 2 ? ulOutQueue : ulTxFifo / 2;
    LONGLONG llCharTime = m_GetCharTime();
    LARGE_INTEGER Delay;
    Delay.QuadPart = -(llCharTime * ulCount);
    KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    ULONGLONG ullPolls = 20ULL * ulCount;
    for (ULONGLONG i = 0; i < ullPolls && !m_IsTransmitterIdle(); i++) {
        TfDebugLog(7, "CVCP::m_Disconnect - Waiting for flushing FiFo.");
        Delay.QuadPart = -llCharTime;
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    }
}

BOOLEAN CVCP::m_Disconnect()
{
    TfDebugLog(7, "CVCP::m_Disconnect - IN");
    if (!m_IsConnected()) {
        TfDebugLog(7, "CVCP::m_Disconnect - OUT - not connected");
        return FALSE;
    }
    ISerial* pISerial = m_ISerialFor("CVCP::m_Disconnect");
    if (pISerial == NULL) {
        return FALSE;
    }
    ULONG ulTx = 128;
    ULONG ulRx = 0;
    VcpCallISerial(pISerial, pISerial->m_Operations.pGetFifoSizes, &ulTx, &ulRx);
    // The lines drop at close whatever handshake drives them.
    m_DriveLine(TRUE, FALSE);
    m_DriveLine(FALSE, FALSE);
    m_WaitForTransmitter(pISerial);
    BOOLEAN bResult = VcpCallISerial(pISerial, pISerial->m_Operations.pDisconnect);
    InterlockedExchange(&m_lConnected, FALSE);

    m_DumpStatistics();
    m_GetControlQueue()->m_CancelMaskIrps();
    m_GetControlQueue()->m_ClearCommEvents(0xFFFFFFFF);
    m_ClearStatistics();
    InterlockedExchange(&m_lLsr, 0);
    InterlockedExchange(&m_lMsr, 0);
    m_ClearSharedWords();
    m_GetReadQueue()->m_CancelAllIrps();
    m_GetWriteQueue()->m_CancelAllIrps();
    m_GetReadQueue()->m_ClearData();
    InterlockedExchange(&m_lModemControl, 0);
    InterlockedExchange(&m_lRxOverflow, 0);
    InterlockedExchange(&m_lEscapeChar, 0);
    m_ClearOutQueue();
    m_ReopenQueues();
    TfDebugLog(7, "CVCP::m_Disconnect - OUT (%s)", bResult ? "Success" : "Failed");
    return bResult;
}

void CVCP::m_DumpStatistics()
{
    SERIALPERF_STATS Stats;
    m_GetStatistics(&Stats);
    TfDebugLog(7, "=================== CvUVCP Tx RX Stat ======================");
    TfDebugLog(7, "ReceivedCount : %d", Stats.ReceivedCount);
    TfDebugLog(7, "TransmittedCount : %d", Stats.TransmittedCount);
    TfDebugLog(7, "FrameErrorCount : %d", Stats.FrameErrorCount);
    TfDebugLog(7, "SerialOverrunErrorCount : %d", Stats.SerialOverrunErrorCount);
    TfDebugLog(7, "BufferOverrunErrorCount : %d", Stats.BufferOverrunErrorCount);
    TfDebugLog(7, "ParityErrorCount : %d", Stats.ParityErrorCount);
    TfDebugLog(7, "==============================================================");
}

// ---------------------------------------------------------------------------------------------
// Status queries
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_GetCommStatus(PSERIAL_STATUS pStatus)
{
    RtlZeroMemory(pStatus, sizeof(*pStatus));
    pStatus->Errors = (ULONG)InterlockedExchange(&m_lErrorsA, 0) | (ULONG)InterlockedExchange(&m_lErrorsB, 0);
    m_ReopenQueues();
    pStatus->EofReceived = FALSE;
    pStatus->AmountInInQueue = m_GetReadQueue()->m_GetDataAmount();
    pStatus->AmountInOutQueue = m_GetWriteQueue()->m_GetQueuedByteCount() + m_GetOutQueueAmount();
    KIRQL Irql;
    KeAcquireSpinLock(m_OutQueueLock.m_GetLock(), &Irql);
    pStatus->WaitForImmediate = m_bImmediatePending;
    KeReleaseSpinLock(m_OutQueueLock.m_GetLock(), Irql);
    pStatus->HoldReasons = m_GetTransmitHoldBits() | m_GetReceiveHoldBits();
    TfDebugLog(7, "==========Return m_GetCommStatus()================");
    TfDebugLog(7, "\tErrors:0x%X", pStatus->Errors);
    TfDebugLog(7, "\tHoldReasons:0x%X", pStatus->HoldReasons);
    TfDebugLog(7, "\tAmountInInQueue:0x%X", pStatus->AmountInInQueue);
    TfDebugLog(7, "\tAmountInOutQueue:0x%X", pStatus->AmountInOutQueue);
    TfDebugLog(7, "\tEofReceived:0x%X", pStatus->EofReceived);
    TfDebugLog(7, "\tWaitForImmediate:0x%X", pStatus->WaitForImmediate);
    return STATUS_SUCCESS;
}

ULONG CVCP::m_GetModemStatus()
{
    ISerial* pISerial = m_ISerialFor("CVCP::m_GetModemStatus");
    if (pISerial == NULL || !m_HaveParameters("CVCP::m_GetModemStatus")) {
        return 0;
    }
    if (!VcpCallISerial(pISerial, pISerial->m_Operations.pGetModemStatus)) {
        TfDebugLog(7, "CVCP::m_GetModemStatus - OUT - m_UpdateModemStatus failed");
        return 0;
    }
    ULONG ulMsr = m_GetMsrImage();
    const VCP_PARAMETERS& P = m_pParameters->m_Values();
    if (P.ulEmulateCtsTrue) ulMsr |= SERIAL_MSR_CTS;
    if (P.ulEmulateDsrTrue) ulMsr |= SERIAL_MSR_DSR;
    return ulMsr;
}

ULONG CVCP::m_GetPortType()
{
    ISerial* pISerial = m_GetISerial();
    return pISerial != NULL && pISerial->m_ucDuplex != 0 ? VCP_PORT_TYPE_RS422_485 : VCP_PORT_TYPE_RS232;
}

BOOLEAN CVCP::m_IsBaudRateSettable(ULONG ulBaudRate)
{
    ISerial* pISerial = m_ISerialFor("CVCP::m_IsBaudRateSettable");
    return VcpCallISerial(pISerial, pISerial != NULL ? pISerial->m_Operations.pIsBaudRateSettable : NULL,
                          ulBaudRate);
}

BOOLEAN CVCP::m_UpdateSignalSupport()
{
    ISerial* pISerial = m_ISerialFor("CVCP::m_UpdateSignalSupport");
    if (pISerial == NULL || !m_HaveParameters("CVCP::m_UpdateSignalSupport")) {
        return FALSE;
    }
    VCP_PARAMETERS& P = m_pParameters->m_Values();
    const ISERIAL_CAPABILITIES& C = pISerial->m_Capabilities;
    struct {
        PULONG pulValue;
        UCHAR ucCapability;
    } const Pairs[] = {{&P.ulCtsSupported, C.ucCts}, {&P.ulRtsSupported, C.ucRts}, {&P.ulDsrSupported, C.ucDsr},
                       {&P.ulDtrSupported, C.ucDtr}, {&P.ulDcdSupported, C.ucDcd}, {&P.ulRiSupported, C.ucRi}};
    BOOLEAN bChanged = FALSE;
    for (const auto& Pair : Pairs) {
        if (*Pair.pulValue != Pair.ucCapability) {
            *Pair.pulValue = Pair.ucCapability;
            bChanged = TRUE;
        }
    }
    return bChanged;
}

BOOLEAN CVCP::m_CheckIsTransmitterIsEmpty()
{
    ISerial* pISerial = m_pCallbacks != NULL ? m_pCallbacks->m_pISerial : NULL;
    if (!m_IsConnected() || pISerial == NULL) {
        return TRUE;
    }
    ULONG ulTx = 0;
    ULONG ulRx = 0;
    VcpCallISerial(pISerial, pISerial->m_Operations.pGetFifoSizes, &ulTx, &ulRx);
    return m_IsTransmitterIdle();
}

// ---------------------------------------------------------------------------------------------
// Wait mask
// ---------------------------------------------------------------------------------------------

NTSTATUS CVCP::m_SetWaitMask(ULONG ulMask)
{
    m_GetControlQueue()->m_ClearCommEvents(0xFFFFFFFF);
    if (ulMask >= 0x2000) {
        TfDebugLog(7, "CVCP::m_SetWaitMask - OUT -Fail->setting wait mask.");
        return STATUS_INVALID_PARAMETER;
    }
    m_GetControlQueue()->m_SetWaitMask(ulMask);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_GetWaitMask(PULONG pulMask)
{
    if (pulMask == NULL) {
        TfDebugLog(7, "CVCP::m_GetWaitMask - OUT - Fail->pulNewWaitMask is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *pulMask = m_GetControlQueue()->m_GetWaitMask();
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_WaitOnMask(CTfControlQueue** ppQueue)
{
    *ppQueue = m_GetControlQueue();
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------------
// Rates the bus can run
// ---------------------------------------------------------------------------------------------

ULONG CVCP::m_ProbeRates(ULONG ulMinimum, ULONG ulMaximum)
{
    ULONG ulMask = 0;
    for (ULONG ulRate : g_ProbeOrder) {
        if (ulRate >= ulMinimum && ulRate <= ulMaximum && m_IsBaudRateSettable(ulRate)) {
            ulMask |= ProbeBit(ulRate);
        }
    }
    return ulMask;
}

BOOLEAN CVCP::m_WidenBounds(ULONG ulMask, PULONG pulMinimum, PULONG pulMaximum)
{
    BOOLEAN bWidened = FALSE;
    auto Widen = [&](ULONG ulRate) {
        if (m_IsBaudRateSettable(ulRate)) {
            if (ulRate < *pulMinimum) *pulMinimum = ulRate;
            if (ulRate > *pulMaximum) *pulMaximum = ulRate;
            bWidened = TRUE;
        }
    };
    if (ulMask & SERIAL_BAUD_075) {
        Widen(60);
    }
    for (ULONG ulRate : g_ProbeOrder) {
        if ((ulMask & ProbeBit(ulRate)) != 0) {
            Widen(ulRate);
        }
    }
    if (ulMask & SERIAL_BAUD_USER) {
        ISerial* pISerial = m_GetISerial();
        ULONG ulMaximum = 0;
        if (VcpCallISerial(pISerial, pISerial->m_Operations.pGetMaximumBaudRate, &ulMaximum) && ulMaximum != 0) {
            Widen(ulMaximum);
        }
    }
    return bWidened;
}

BOOLEAN CVCP::m_CheckSupportedBaudRates()
{
    if (!m_HaveParameters("CVCP::m_CheckSupportedBaudRates")) {
        return FALSE;
    }
    ISerial* pISerial = m_ISerialFor("CVCP::m_CheckSupportedBaudRates");
    if (pISerial == NULL) {
        return FALSE;
    }
    VCP_PARAMETERS& P = m_pParameters->m_Values();
    BOOLEAN bChanged = FALSE;
    ULONG ulMask;
    if (pISerial->m_ulSupportedBaudRates == ISERIAL_SUPPORTED_BAUD_UNKNOWN) {
        ulMask = m_ProbeRates(P.ulMinBaudRate, P.ulMaxBaudRate);
        bChanged = ulMask != P.ulSupportedBaudRates;
    } else {
        ulMask = pISerial->m_ulSupportedBaudRates;
        if ((ulMask & VCP_STANDARD_BAUD_BITS) != 0 && ulMask != P.ulSupportedBaudRates) {
            bChanged = TRUE;
        }
        ULONG ulOldMinimum = P.ulMinBaudRate;
        ULONG ulOldMaximum = P.ulMaxBaudRate;
        ULONG ulMinimum = 0xFFFFFFFF;
        ULONG ulMaximum = 0;
        m_WidenBounds(ulMask, &ulMinimum, &ulMaximum);
        P.ulMinBaudRate = ulMinimum != 0xFFFFFFFF ? ulMinimum : ulOldMinimum;
        P.ulMaxBaudRate = ulMaximum != 0 ? ulMaximum : ulOldMaximum;
        bChanged = bChanged || P.ulMinBaudRate != ulOldMinimum || P.ulMaxBaudRate != ulOldMaximum;
    }
    if ((ulMask & VCP_STANDARD_BAUD_BITS) != 0) {
        P.ulSupportedBaudRates = ulMask;
    }
    TfDebugLog(7, "CVCP::m_CheckSupportedBaudRates - OUT (Success)");
    return bChanged;
}
