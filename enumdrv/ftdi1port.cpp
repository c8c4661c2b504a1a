// The FTDI port object: construction, the settings operations, open, close, power save and
// restore (see ftdi1port.h).
#include "ftdi1port.h"

#include "cvusbsam.h"
#include "enumdrvparameters.h"
#include "tfdebug.h"
#include "tfmemorytracker.h"

namespace {

// Power save and restore pauses, in 100 ns.
const LONGLONG g_llWriteWait = -50000000LL;        // 5 s, at most 5 times
const ULONG g_ulWriteWaits = 5;
const LONGLONG g_llSettleWait = -100000000LL;      // 10 s
const LONGLONG g_llWriteDoneWait = -20000000LL;    // 2 s
// Device power state D3 as the framework numbers it.
const DEVICE_POWER_STATE g_PowerOff = PowerDeviceD3;

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
      m_usModemControl(0x0300),
      m_usFlowIndex(FTDI_FLOW_UNSET),
      m_ucXon(17),
      m_ucXoff(19),
      m_usErrorChar(0),
      m_usEventChar(0),
      m_ulDuplexMode(0),
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

BOOLEAN CFTDI1Port::m_SetDtr(BOOLEAN bSet)
{
    if (!m_Request(FTDI_MODEM_CTRL, bSet ? 0x0101 : 0x0100, m_usPortIndex, "FTDI_MODEM_CTRL")) {
        return FALSE;
    }
    m_usModemControl = (USHORT)(bSet ? m_usModemControl | 1 : m_usModemControl & ~1);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetRts(BOOLEAN bSet)
{
    if (!m_Request(FTDI_MODEM_CTRL, bSet ? 0x0202 : 0x0200, m_usPortIndex, "FTDI_MODEM_CTRL")) {
        return FALSE;
    }
    m_usModemControl = (USHORT)(bSet ? m_usModemControl | 2 : m_usModemControl & ~2);
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

BOOLEAN CFTDI1Port::m_SetErrorChar(BOOLEAN bEnable, UCHAR ucCharacter)
{
    USHORT usWord = bEnable ? (USHORT)(0x100 | ucCharacter) : 0;
    if (!m_Request(FTDI_SET_ERROR_CHAR, usWord, m_usPortIndex, "FTDI_SET_ERROR_CHAR")) {
        return FALSE;
    }
    m_usErrorChar = usWord;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetEventChar(BOOLEAN bEnable, UCHAR ucCharacter)
{
    USHORT usWord = bEnable ? (USHORT)(0x100 | ucCharacter) : 0;
    if (!m_Request(FTDI_SET_EVENT_CHAR, usWord, m_usPortIndex, "FTDI_SET_EVENT_CHAR")) {
        return FALSE;
    }
    m_usEventChar = usWord;
    return TRUE;
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
    if (m_IsDuplexCapable() && m_ulDuplexMode == 2) {
        return TRUE;
    }
    if (m_MustDefer()) {
        return m_Defer(DeferRts, bSet);
    }
    return m_SetRts(bSet);
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
    return m_SetDtr(bSet);
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
        if (!m_IsDuplexCapable() || m_ulDuplexMode == 1) {
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
    m_ulDuplexMode = ulDuplexMode;
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
    KeDelayExecutionThread(KernelMode, FALSE, &Settle);
    InterlockedExchange(&m_lReceiving, 0);
    m_pUSBTransport->m_ReadStop();
    // A transfer out still in flight cannot finish while the device is off.
    m_pUSBTransport->m_StopWrites(TRUE);
    m_WriteDoneEvent.m_Wait(g_llWriteDoneWait);
    // The chip loses what it was programmed with.
    m_ulProgrammedRate = 0;
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
    if (m_IsDuplexCapable() && m_ulDuplexMode != 2) {
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
    KeDelayExecutionThread(KernelMode, FALSE, &Settle);
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
    m_Request(FTDI_MODEM_CTRL, m_usModemControl, m_usPortIndex, "FTDI_MODEM_CTRL");
    m_PortLock.m_Acquire();
    m_bPowerHold = FALSE;
    m_PortLock.m_Release();
    m_UpdateTxHoldFromHandshake();
    m_SetFiFoTransmissionEmulationTimer();
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
    pState->ulModemControl = m_usModemControl;
    pState->ulFlowControlIndex = m_usFlowIndex;
    pState->ulBaudRateValue = m_BaudWords.usValue;
    pState->ulLineSettingsValue = m_usDataWord;
    pState->ulOpen = (ULONG)InterlockedCompareExchange(&m_lOpen, 0, 0);
    pState->ulDuplexMode = m_ulDuplexMode;
    pState->ucDeliveryPending = (UCHAR)InterlockedCompareExchange(&m_lDeliveryPending, 0, 0);
    pState->ucWriteInProgress = m_bWriteInProgress;
    pState->ucXoffSent = m_bXoffSent;
    pState->ucXoffReceived = m_bXoffReceived;
    m_PortLock.m_Release();
}
