// The FTDI port object: construction, initialisation, open and close, parameters and WMI (see
// ftdi1port.h).
#include "ftdi1port.h"

#include "cvusbsam.h"
#include "enumdrvparameters.h"
#include "tfdebug.h"
#include "tfmemorytracker.h"

namespace {

// Device power state D3 as the framework numbers it.
const DEVICE_POWER_STATE g_PowerOff = PowerDeviceD3;

BOOLEAN IsHexDigit(WCHAR c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

ULONG HexValue(WCHAR c)
{
    return c <= u'9' ? (ULONG)(c - u'0') : (ULONG)(c - u'A' + 10);
}

}  // namespace

CFTDI1Port::CFTDI1Port(CCvUsbSamDriver* pBus, ULONG ulPortNumber)
    : m_pBus(pBus),
      m_ulPortNumber(ulPortNumber),
      m_pUSBTransport(NULL),
      m_usPortIndex(1),
      m_bMultiInterface(FALSE),
      m_ucDuplex(0),
      m_lOpen(0),
      m_lOpening(0),
      m_lSession(0),
      m_lSaved(0),
      m_pStatusExecutor(NULL),
      m_pRequestExecutor(NULL),
      m_TimerGate(1),
      m_StopTimerGate(1),
      m_ulBaudRate(115200),
      m_ulProgrammedRate(0),
      m_ulResetsAtProgram(0),
      m_usDataWord(0),
      m_ucDataBitsCode(3),
      m_ucParityCode(0),
      m_ucStopBitsCode(0),
      m_bBreak(FALSE),
      m_lModemControl(0x0300),
      m_usFlowIndex(FTDI_FLOW_UNSET),
      m_ucXon(17),
      m_ucXoff(19),
      m_usErrorChar(0),
      m_usEventChar(0),
      m_lDuplexMode(0),
      m_ucTxTriggerLevel(1),
      m_ucRxTriggerLevel(1),
      m_bCtsOut(FALSE),
      m_bRtsIn(FALSE),
      m_bDsrOut(FALSE),
      m_bDtrIn(FALSE),
      m_bDsrSensitivity(FALSE),
      m_bRtsToggle(FALSE),
      m_bXonXoffOut(FALSE),
      m_bXonXoffIn(FALSE),
      m_bContinueAfterXoffSent(FALSE),
      m_bXoffReceived(FALSE),
      m_bXoffSent(FALSE),
      m_lLastModemStatus(0xFF),
      m_lLastLineStatus(0xFF),
      m_bStatusBaseline(TRUE),
      m_ulLatency(0),
      m_ulRxTransferSize(0),
      m_ulTxTransferSize(ENUMDRV_DEFAULT_TX_TRANSFER_SIZE),
      m_ulPolicyType(ENUMDRV_DEFAULT_POLICY_TYPE),
      m_ulMaximumLatency(ENUMDRV_DEFAULT_MAXIMUM_LATENCY),
      m_ulMaximumLatencyFineTuning(ENUMDRV_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING),
      m_ulLowCpuUsageFineTuning(ENUMDRV_DEFAULT_LOW_CPU_USAGE_FINE_TUNING),
      m_ulRxFifoSize(ENUMDRV_DEFAULT_RX_FIFO_SIZE),
      m_ulTxFifoSize(ENUMDRV_DEFAULT_TX_FIFO_SIZE),
      m_ulMaximumBaudRate(ENUMDRV_DEFAULT_MAXIMUM_BAUD_RATE),
      m_lDeliveries(0),
      m_bReceiveSuspended(FALSE),
      m_lDeliveryPending(0),
      m_lReceiving(0),
      m_pSendHead(NULL),
      m_pSendTail(NULL),
      m_ulQueuedBytes(0),
      m_bTxHold(TRUE),
      m_bPowerHold(FALSE),
      m_bWriteInProgress(FALSE),
      m_bWriterWoken(FALSE),
      m_ulWriteFailures(0),
      m_ullCharTime(0),
      m_ulCharsPerMs(16),
      m_bEmulation(TRUE),
      m_ulOutstanding(0),
      m_ulFifoLevel(0),
      m_ulEarlyCredit(0),
      m_ullTimeRemainder(0),
      m_bTimerRunning(FALSE),
      m_bTimerResolutionHeld(FALSE),
      m_lBytesSent(0),
      m_lBytesReceived(0),
      m_ulParseTime(0),
      m_ulWorkItemDelay(0),
      m_ulDeliveryTime(0)
{
    m_BaudWords.usValue = 0;
    m_BaudWords.usIndex = 0;
    m_Stopwatch.QuadPart = 0;
    KeInitializeEvent(&m_WriteWorkEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&m_SettleCancel, NotificationEvent, FALSE);
    KeInitializeMutex(&m_ReceiveMutex, 0);
    KeInitializeMutex(&m_TransmitMutex, 0);
    KeInitializeTimerEx(&m_FifoTimer, NotificationTimer);
    KeInitializeDpc(&m_FifoDpc, sm_FiFoTransmissionEmulationTimerCallback, this);
    m_TimerGate.m_Init(FALSE);
    m_StopTimerGate.m_Init(FALSE);
    m_ullCharTime = FtdiCharacterTime(m_ulBaudRate, m_ucDataBitsCode, m_ucParityCode, m_ucStopBitsCode);
    m_ReadPortIndex();
}

CFTDI1Port::~CFTDI1Port()
{
    m_DeInit();
    m_FlushWriteList(FALSE);
    KeCancelTimer(&m_FifoTimer);
    KeFlushQueuedDpcs();
    delete m_pStatusExecutor;
    delete m_pRequestExecutor;
}

// The port index: the interface number after "&MI_" in the bus device's first hardware ID, plus
// one; 1 without it.
void CFTDI1Port::m_ReadPortIndex()
{
    CTfFunctionalDevice* pDevice = m_pBus != NULL ? m_pBus->m_GetDevice() : NULL;
    PDEVICE_OBJECT pPdo = pDevice != NULL ? pDevice->m_GetPhysicalDeviceObject() : NULL;
    if (pPdo == NULL) {
        return;
    }
    UCHAR ucProbe = 0;
    ULONG ulLength = 0;
    if (IoGetDeviceProperty(pPdo, DevicePropertyHardwareID, sizeof(ucProbe), &ucProbe, &ulLength) !=
            STATUS_BUFFER_TOO_SMALL ||
        ulLength < sizeof(WCHAR)) {
        return;
    }
    PWCHAR pList = (PWCHAR)AllocateTrackedPool(NonPagedPool, (SIZE_T)ulLength + sizeof(WCHAR));
    if (pList == NULL) {
        return;
    }
    RtlZeroMemory(pList, (SIZE_T)ulLength + sizeof(WCHAR));
    if (NT_SUCCESS(IoGetDeviceProperty(pPdo, DevicePropertyHardwareID, ulLength, pList, &ulLength))) {
        static const WCHAR szMarker[] = u"&MI_";
        for (ULONG i = 0; pList[i] != 0; ++i) {
            ULONG j = 0;
            while (j < 4 && RtlUpcaseUnicodeChar(pList[i + j]) == szMarker[j]) {
                ++j;
            }
            if (j < 4) {
                continue;
            }
            ULONG ulNumber = 0;
            ULONG ulDigits = 0;
            for (WCHAR c = RtlUpcaseUnicodeChar(pList[i + 4]); IsHexDigit(c) && ulDigits < 4;
                 c = RtlUpcaseUnicodeChar(pList[i + 4 + ++ulDigits])) {
                ulNumber = ulNumber * 16 + HexValue(c);
            }
            if (ulDigits != 0) {
                m_bMultiInterface = TRUE;
                m_usPortIndex = (USHORT)(ulNumber + 1);
            }
            break;
        }
    }
    FreeTrackedPool(pList);
}

BOOLEAN CFTDI1Port::m_Init()
{
    TfDebugLog(7, "CFTDI1Port::m_Init - IN");
    CTfFunctionalDevice* pDevice = m_pBus != NULL ? m_pBus->m_GetDevice() : NULL;
    if (pDevice == NULL) {
        TfDebugLog(7, "CFTDI1Port::m_Init - OUT - Fail-> no bus device");
        return FALSE;
    }
    pDevice->m_GotoPowerState(PowerDeviceD0);
    // Thread mode (no device object): the calls run one at a time in queue order.
    m_pStatusExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL, 0);
    m_pRequestExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL, 0);
    if (m_pStatusExecutor == NULL || m_pRequestExecutor == NULL || !m_pStatusExecutor->m_Init() ||
        !m_pRequestExecutor->m_Init()) {
        TfDebugLog(7, "CFTDI1Port::m_Init - OUT - Fail-> executors");
        return FALSE;
    }
    m_pUSBTransport = new (NonPagedPool) CUSBTransport(pDevice->m_GetPhysicalDeviceObject(), CV_TRANSPORT_READ_HANDLE,
                                                       CV_TRANSPORT_WRITE_HANDLE, m_usPortIndex);
    if (m_pUSBTransport == NULL) {
        TfDebugLog(7, "CFTDI1Port::m_Init - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (!m_pUSBTransport->m_Init()) {
        delete m_pUSBTransport;
        m_pUSBTransport = NULL;
        TfDebugLog(7, "CFTDI1Port::m_Init - OUT - Fail-> Error calling m_pTransport->m_Init().");
        return FALSE;
    }
    m_pUSBTransport->m_SetClient(this, sm_DataArrived);
    TfDebugLog(7, "CFTDI1Port::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DeInit()
{
    if (InterlockedCompareExchange(&m_lOpen, 0, 0) != 0) {
        m_DisconnectCallback();
    }
    if (m_pStatusExecutor != NULL) {
        m_pStatusExecutor->m_DeInit();
    }
    if (m_pRequestExecutor != NULL) {
        m_pRequestExecutor->m_DeInit();
    }
    if (m_pUSBTransport != NULL) {
        TfDebugLog(7, "CFTDI1Port::m_DeInit - IN");
        m_pUSBTransport->m_DeInit();
        delete m_pUSBTransport;
        m_pUSBTransport = NULL;
        TfDebugLog(7, "CFTDI1Port::m_DeInit - OUT (Success)");
    }
    return TRUE;
}

ISerial* CFTDI1Port::m_CreateInterface_ISerial(UCHAR ucDuplex)
{
    m_ucDuplex = ucDuplex;
    return m_CreateInterface(ISERIAL_VERSION, ucDuplex, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 0, 0, 0, 1, 1, 1, 1, 1, 1);
}

// ---- Open and close -----------------------------------------------------------------------------------

void CFTDI1Port::m_ResetSessionState()
{
    m_PortLock.m_Acquire();
    m_ulQueuedBytes = 0;
    m_bTxHold = FALSE;
    m_bXoffReceived = FALSE;
    m_bXoffSent = FALSE;
    m_ulOutstanding = 0;
    m_ulFifoLevel = 0;
    m_ulEarlyCredit = 0;
    m_ullTimeRemainder = 0;
    m_ulWriteFailures = 0;
    m_PortLock.m_Release();
    InterlockedExchange(&m_lBytesSent, 0);
    InterlockedExchange(&m_lBytesReceived, 0);
    InterlockedExchange(&m_lLastModemStatus, 0xFF);
    InterlockedExchange(&m_lLastLineStatus, 0xFF);
    m_bStatusBaseline = TRUE;
    m_SuspendLock.m_Acquire();
    m_bReceiveSuspended = FALSE;
    m_SuspendLock.m_Release();
    InterlockedExchange(&m_lDeliveryPending, 0);
    m_TimerGate.m_SetOpen(TRUE);
    m_StopTimerGate.m_SetOpen(TRUE);
}

BOOLEAN CFTDI1Port::m_ConnectCallback()
{
    if (!m_HasTransport("m_ConnectCallback")) {
        return FALSE;
    }
    if (InterlockedCompareExchange(&m_lOpen, 0, 0) != 0) {
        TfDebugLog(7, "Port is Alread Opened");
        return TRUE;
    }
    if (m_ulBaudRate == 0) {
        m_ulBaudRate = 115200;
    }
    InterlockedExchange(&m_lOpening, 1);
    InterlockedIncrement(&m_lSession);
    KeClearEvent(&m_SettleCancel);
    m_ResetSessionState();
    m_ullCharTime = FtdiCharacterTime(m_ulBaudRate, m_ucDataBitsCode, m_ucParityCode, m_ucStopBitsCode);
    m_pBus->m_GetDevice()->m_GotoPowerState(PowerDeviceD0);
    if (!m_OpenSteps()) {
        TfDebugLog(7, "Error Opening COM Port\n");
        return FALSE;
    }
    InterlockedExchange(&m_lOpen, 1);
    InterlockedExchange(&m_lOpening, 0);
    TfDebugLog(7, "CFTDI1Port::m_ConnectCallback - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_OpenSteps()
{
    if (!m_StartWriteThread()) {
        TfDebugLog(7, "Error creating write buffer thread.");
        m_UnwindOpen(FALSE);
        return FALSE;
    }
    m_pUSBTransport->m_StopWrites(FALSE);
    if (!m_pUSBTransport->m_Connect()) {
        TfDebugLog(7, "Error calling m_pUSBTransport->m_Connect().");
        m_UnwindOpen(FALSE);
        return FALSE;
    }
    if (!m_pUSBTransport->m_WriteSettings(FTDI_RESET, 0, m_usPortIndex)) {
        TfDebugLog(7, "Error calling m_pUSBTransport->m_WriteSettings(FTDI_RESET,...).");
        m_UnwindOpen(TRUE);
        return FALSE;
    }
    m_SetLatencyAndRxTransferSize(m_ulBaudRate);
    if (!m_InvokeDataWritten(m_ulTxTransferSize) || !m_PollModemStatus()) {
        m_UnwindOpen(TRUE);
        return FALSE;
    }
    m_SetErrorChar(FALSE, 0);
    m_SetEventChar(FALSE, 0);
    InterlockedExchange(&m_lReceiving, 1);
    if (!m_pUSBTransport->m_ReadStart(FTDI_PACKET_SIZE)) {
        TfDebugLog(7, "CUSBTransport::m_ReadStart - OUT (Error m_ReadStart.)");
        m_UnwindOpen(TRUE);
        return FALSE;
    }
    m_pUSBTransport->m_SetInterruptPipeBufferSize(m_ulRxTransferSize);
    return TRUE;
}

// One unwind for every failed step of an open: nothing of the half-open session stays behind.
void CFTDI1Port::m_UnwindOpen(BOOLEAN bTransportUp)
{
    InterlockedExchange(&m_lReceiving, 0);
    if (bTransportUp) {
        m_pUSBTransport->m_ReadStop();
        m_pUSBTransport->m_WriteSettings(FTDI_RESET, 0, m_usPortIndex);
    }
    m_SetTxHold(FALSE);
    m_pUSBTransport->m_StopWrites(TRUE);
    m_StopWriteThread();
    m_pUSBTransport->m_Disconnect();
    m_TimerGate.m_SetOpen(FALSE);
    m_StopTimerGate.m_SetOpen(FALSE);
    m_ulLatency = 0;
    m_ulRxTransferSize = 0;
    InterlockedExchange(&m_lOpen, 0);
    InterlockedExchange(&m_lOpening, 0);
    m_pBus->m_GetDevice()->m_GotoPowerState(g_PowerOff);
}

void CFTDI1Port::sm_SignalEvent(PVOID pContext, PVOID pArgument)
{
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
}

// Returns once every call queued on the executor before it has run.
void CFTDI1Port::m_DrainExecutor(CTfPassiveLevelExecutor* pExecutor)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    if (pExecutor->m_QueueFunction(sm_SignalEvent, &Done, NULL)) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
    }
}

void CFTDI1Port::m_ClearSettings()
{
    m_PortLock.m_Acquire();
    m_usFlowIndex = FTDI_FLOW_UNSET;
    m_ulQueuedBytes = 0;
    m_bCtsOut = m_bRtsIn = m_bDsrOut = m_bDtrIn = m_bDsrSensitivity = m_bRtsToggle = FALSE;
    m_bXonXoffOut = m_bXonXoffIn = m_bContinueAfterXoffSent = FALSE;
    m_bXoffReceived = m_bXoffSent = FALSE;
    m_bPowerHold = FALSE;
    m_ulOutstanding = m_ulFifoLevel = m_ulEarlyCredit = 0;
    m_PortLock.m_Release();
    m_bBreak = FALSE;
    m_usDataWord = 0;
    m_ulBaudRate = 0;
    m_ulProgrammedRate = 0;
    m_ulRxTransferSize = 0;
    m_ulLatency = 0;
    m_ulParseTime = m_ulWorkItemDelay = m_ulDeliveryTime = 0;
}

BOOLEAN CFTDI1Port::m_DisconnectCallback()
{
    if (!m_HasTransport("m_DisconnectCallback")) {
        return FALSE;
    }
    if (InterlockedCompareExchange(&m_lOpen, 0, 0) == 0) {
        TfDebugLog(7, "Port is Alread Closed");
        return TRUE;
    }
    InterlockedExchange(&m_lOpen, 0);
    InterlockedExchange(&m_lOpening, 1);
    InterlockedIncrement(&m_lSession);
    InterlockedExchange(&m_lSaved, 0);
    KeSetEvent(&m_SettleCancel, IO_NO_INCREMENT, FALSE);
    m_SetTxHold(FALSE);
    // Nothing that close waits for may hang on the chip: the write in flight is cancelled, the
    // receive stopped, and what was queued for the port driver is dropped before close returns.
    m_pUSBTransport->m_StopWrites(TRUE);
    m_TimerGate.m_CloseAndWait(FALSE);
    m_StopFiFoTransmissionEmulationTimer(TRUE);
    KeFlushQueuedDpcs();
    InterlockedExchange(&m_lReceiving, 0);
    m_pUSBTransport->m_ReadStop();
    m_DrainExecutor(m_pRequestExecutor);
    m_DrainExecutor(m_pStatusExecutor);
    m_StopTimerGate.m_CloseAndWait(FALSE);
    m_FlushWriteList(FALSE);
    m_StopWriteThread();
    m_ClearSettings();
    BOOLEAN bResult = m_pUSBTransport->m_Disconnect();
    InterlockedExchange(&m_lDeliveryPending, 0);
    InterlockedExchange(&m_lOpening, 0);
    m_pBus->m_GetDevice()->m_GotoPowerState(g_PowerOff);
    return bResult;
}

// ---- Parameters and WMI ----------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_SetRxTransferSize(ULONG ulSize)
{
    if (ulSize == 0) {
        return FALSE;
    }
    m_ulRxTransferSize = ulSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetTxTransferSize(ULONG ulSize)
{
    if (ulSize == 0) {
        return FALSE;
    }
    m_ulTxTransferSize = ulSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetPolicyType(ULONG ulPolicyType)
{
    m_ulPolicyType = ulPolicyType;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumLatency(ULONG ulMaximumLatency)
{
    m_ulMaximumLatency = ulMaximumLatency;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumLatencyFineTuning(ULONG ulFineTuning)
{
    m_ulMaximumLatencyFineTuning = ulFineTuning;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetLowCpuUsageFineTuning(ULONG ulFineTuning)
{
    m_ulLowCpuUsageFineTuning = ulFineTuning;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetRxFifoSize(ULONG ulRxFifoSize)
{
    m_ulRxFifoSize = ulRxFifoSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetTxFifoSize(ULONG ulTxFifoSize)
{
    m_ulTxFifoSize = ulTxFifoSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetMaximumBaudRate(ULONG ulMaximumBaudRate)
{
    m_ulMaximumBaudRate = ulMaximumBaudRate;
    return TRUE;
}

void CFTDI1Port::m_GetWmiTimings(PENUMDRV_WMI_TIMINGS pTimings)
{
    RtlZeroMemory(pTimings, sizeof(*pTimings));
    pTimings->ulParseMicroseconds = m_ulParseTime;
    pTimings->ulWorkItemDelayMicroseconds = m_ulWorkItemDelay;
    pTimings->ulDeliveryMicroseconds = m_ulDeliveryTime;
    pTimings->ulBytesReportedSent = (ULONG)InterlockedCompareExchange(&m_lBytesSent, 0, 0);
    pTimings->ulBytesReceived = (ULONG)InterlockedCompareExchange(&m_lBytesReceived, 0, 0);
    if (m_pUSBTransport != NULL) {
        pTimings->ulBulkInIntervalMilliseconds = m_pUSBTransport->m_GetBulkInIntervalMilliseconds();
        pTimings->ulTransportCallbackMicroseconds = m_pUSBTransport->m_GetReceiveCallbackMicroseconds();
    }
}

void CFTDI1Port::m_GetPortState(PENUMDRV_WMI_PORT_STATE pState)
{
    RtlZeroMemory(pState, sizeof(*pState));
    m_SuspendLock.m_Acquire();
    BOOLEAN bSuspended = m_bReceiveSuspended;
    m_SuspendLock.m_Release();
    m_PortLock.m_Acquire();
    pState->ulRxTransferSize = m_ulRxTransferSize;
    pState->ulTxTransferSize = m_ulTxTransferSize;
    pState->ulLatencyTimer = m_ulLatency;
    pState->ulLastLineStatus = (ULONG)InterlockedCompareExchange(&m_lLastLineStatus, 0, 0);
    pState->ulLastModemStatus = (ULONG)InterlockedCompareExchange(&m_lLastModemStatus, 0, 0);
    pState->ulQueuedBytes = m_ulQueuedBytes;
    pState->ulTransmitterReleased = m_bTxHold ? 0 : 1;
    pState->ulReceiveNotSuspended = bSuspended ? 0 : 1;
    pState->ulModemControl = (ULONG)ReadNoFence(&m_lModemControl);
    pState->ulFlowControlIndex = m_usFlowIndex;
    pState->ulBaudRateValue = m_BaudWords.usValue;
    pState->ulLineSettingsValue = m_usDataWord;
    pState->ulOpen = (ULONG)InterlockedCompareExchange(&m_lOpen, 0, 0);
    pState->ulDuplexMode = m_GetDuplexMode();
    pState->ucDeliveryPending = (UCHAR)InterlockedCompareExchange(&m_lDeliveryPending, 0, 0);
    pState->ucWriteInProgress = m_bWriteInProgress;
    pState->ucXoffSent = m_bXoffSent;
    pState->ucXoffReceived = m_bXoffReceived;
    m_PortLock.m_Release();
}
