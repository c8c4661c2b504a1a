// STAND-IN for the FTDI port object (see ftdi1port.h).
#include "ftdi1port.h"

#include "cvusbsam.h"
#include "enumdrvparameters.h"
#include "tfdebug.h"

CFTDI1Port::CFTDI1Port(CCvUsbSamDriver* pBus, ULONG ulPortNumber)
    : m_pBus(pBus),
      m_ulPortNumber(ulPortNumber),
      m_pUSBTransport(NULL),
      m_ulPolicyType(ENUMDRV_DEFAULT_POLICY_TYPE),
      m_ulMaximumLatency(ENUMDRV_DEFAULT_MAXIMUM_LATENCY),
      m_ulMaximumLatencyFineTuning(ENUMDRV_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING),
      m_ulLowCpuUsageFineTuning(ENUMDRV_DEFAULT_LOW_CPU_USAGE_FINE_TUNING),
      m_ulRxFifoSize(ENUMDRV_DEFAULT_RX_FIFO_SIZE),
      m_ulTxFifoSize(ENUMDRV_DEFAULT_TX_FIFO_SIZE),
      m_ulMaximumBaudRate(ENUMDRV_DEFAULT_MAXIMUM_BAUD_RATE)
{
}

CFTDI1Port::~CFTDI1Port()
{
    m_DeInit();
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
    m_pUSBTransport = new (NonPagedPool)
        CUSBTransport(pDevice->m_GetPhysicalDeviceObject(), CV_TRANSPORT_READ_HANDLE, CV_TRANSPORT_WRITE_HANDLE, 1);
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
    TfDebugLog(7, "CFTDI1Port::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DeInit()
{
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
    return m_CreateInterface(ISERIAL_VERSION, ucDuplex, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 0, 0, 0, 1, 1, 1, 1, 1, 1);
}

// ---- Operations -------------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_NotImplemented(const char* pszOperation)
{
    TfDebugLog(7, "CFTDI1Port::%s - IN", pszOperation);
    TfDebugLog(7, "CFTDI1Port::%s - OUT - Fail-> Not Implemented.", pszOperation);
    return FALSE;
}

BOOLEAN CFTDI1Port::m_ConnectCallback() { return m_NotImplemented("m_ConnectCallback"); }
BOOLEAN CFTDI1Port::m_DisconnectCallback() { return m_NotImplemented("m_DisconnectCallback"); }

BOOLEAN CFTDI1Port::m_PortWriteCallback(CTfBuffer* pBuffer)
{
    // The buffer is handed over either way.
    if (pBuffer != NULL) {
        pBuffer->m_Delete();
    }
    return m_NotImplemented("m_PortWriteCallback");
}

BOOLEAN CFTDI1Port::m_RtsCallback(BOOLEAN bSet) { return m_NotImplemented("m_RtsCallback"); }
BOOLEAN CFTDI1Port::m_DtrCallback(BOOLEAN bSet) { return m_NotImplemented("m_DtrCallback"); }

BOOLEAN CFTDI1Port::m_CommSettingsCallback(UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode)
{
    return m_NotImplemented("m_CommSettingsCallback");
}

BOOLEAN CFTDI1Port::m_BaudrateCallback(ULONG ulBaudRate) { return m_NotImplemented("m_BaudrateCallback"); }

BOOLEAN CFTDI1Port::m_TriggerLevelsCallback(UCHAR ucTxLevel, UCHAR ucRxLevel, UCHAR ucFlowControlLevel)
{
    return m_NotImplemented("m_TriggerLevelsCallback");
}

BOOLEAN CFTDI1Port::m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut, BOOLEAN bDtrIn,
                                                  BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                                  BOOLEAN bXonXoffIn, BOOLEAN bContinueAfterXoffSent,
                                                  BOOLEAN bNullStripping, BOOLEAN bErrorCharacter,
                                                  BOOLEAN bBreakCharacter)
{
    return m_NotImplemented("m_HandshakingSettingsCallback");
}

BOOLEAN CFTDI1Port::m_InternalLoopbackCallback(BOOLEAN bOn) { return m_NotImplemented("m_InternalLoopbackCallback"); }

BOOLEAN CFTDI1Port::m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    return m_NotImplemented("m_DuplexModeSettingsCallback");
}

BOOLEAN CFTDI1Port::m_SetBreakCallback(BOOLEAN bOn) { return m_NotImplemented("m_SetBreakCallback"); }
BOOLEAN CFTDI1Port::m_PurgeCallback(BOOLEAN bTx, BOOLEAN bRx) { return m_NotImplemented("m_PurgeCallback"); }

BOOLEAN CFTDI1Port::m_IsBaudRateSettableCallback(ULONG ulBaudRate)
{
    return m_NotImplemented("m_IsBaudRateSettableCallback");
}

BOOLEAN CFTDI1Port::m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                   UCHAR ucXon, UCHAR ucXoff)
{
    return m_NotImplemented("m_SetSpecialCharactersCallback");
}

BOOLEAN CFTDI1Port::m_LsrMstInsertionCallback(UCHAR ucEscape) { return m_NotImplemented("m_LsrMstInsertionCallback"); }

BOOLEAN CFTDI1Port::m_PretendXoffReceivedCallback(BOOLEAN bXoff)
{
    return m_NotImplemented("m_PretendXoffReceivedCallback");
}

BOOLEAN CFTDI1Port::m_SendImmediateCharacterCallback(UCHAR ucCharacter)
{
    return m_NotImplemented("m_SendImmediateCharacterCallback");
}

BOOLEAN CFTDI1Port::m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize)
{
    return m_NotImplemented("m_GetFifoSizesCallback");
}

BOOLEAN CFTDI1Port::m_GetModemStatusCallback() { return m_NotImplemented("m_GetModemStatusCallback"); }
BOOLEAN CFTDI1Port::m_SendXonXoffCallback(BOOLEAN bXoff) { return m_NotImplemented("m_SendXonXoffCallback"); }

BOOLEAN CFTDI1Port::m_GetMaximumBaudRateCallback(PULONG pulBaudRate)
{
    return m_NotImplemented("m_GetMaximumBaudRateCallback");
}

// ---- Power, parameters, WMI ---------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_SaveDeviceState()
{
    TfDebugLog(7, "CFTDI1Port::m_SaveDeviceState - IN");
    TfDebugLog(7, "CFTDI1Port::m_SaveDeviceState - OUT (Success) - port not open");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_RestoreDeviceState()
{
    TfDebugLog(7, "CFTDI1Port::m_RestoreDeviceState - IN");
    TfDebugLog(7, "CFTDI1Port::m_RestoreDeviceState - OUT (Success) - port not open");
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
    if (m_pUSBTransport != NULL) {
        pTimings->ulBulkInIntervalMilliseconds = m_pUSBTransport->m_GetBulkInIntervalMilliseconds();
        pTimings->ulTransportCallbackMicroseconds = m_pUSBTransport->m_GetReceiveCallbackMicroseconds();
    }
}

void CFTDI1Port::m_GetPortState(PENUMDRV_WMI_PORT_STATE pState)
{
    RtlZeroMemory(pState, sizeof(*pState));
    pState->ulTxTransferSize = ENUMDRV_DEFAULT_TX_TRANSFER_SIZE;
    pState->ulModemControl = 0x0300;
    pState->ulFlowControlIndex = 0xFFFF;
    pState->ulReceiveNotSuspended = 1;
}
