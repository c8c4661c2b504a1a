// The bus device of Enumdrv (see cvusbsam.h).
#include "cvusbsam.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

namespace {

// "USB\VID_" + four hexadecimal digits + "&PID_".
const ULONG kHardwareIdPrefixChars = 17;

void BuildHardwareIdPrefix(WCHAR* pszPrefix)
{
    static const char szHead[] = "USB\\VID_";
    static const char szTail[] = "&PID_";
    static const char szDigits[] = "0123456789ABCDEF";
    ULONG ulAt = 0;
    for (ULONG i = 0; szHead[i] != 0; ++i) {
        pszPrefix[ulAt++] = (WCHAR)szHead[i];
    }
    for (int iShift = 12; iShift >= 0; iShift -= 4) {
        pszPrefix[ulAt++] = (WCHAR)szDigits[(ENUMDRV_MAKER_VENDOR_ID >> iShift) & 0xF];
    }
    for (ULONG i = 0; szTail[i] != 0; ++i) {
        pszPrefix[ulAt++] = (WCHAR)szTail[i];
    }
}

BOOLEAN MatchesAt(PCUNICODE_STRING pText, ULONG ulAt, const WCHAR* pszPattern, ULONG ulChars)
{
    ULONG ulTextChars = pText->Length / sizeof(WCHAR);
    if (ulAt + ulChars > ulTextChars) {
        return FALSE;
    }
    for (ULONG i = 0; i < ulChars; ++i) {
        if (pText->Buffer[ulAt + i] != pszPattern[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

CCvUsbSamDriver::CCvUsbSamDriver()
    : m_pDevice(NULL), m_pParameterSet(NULL), m_bApplied(FALSE), m_PowerExecutor(NULL, 0), m_bPowerExecutorStarted(FALSE)
{
    KeInitializeMutex(&m_PortListMutex, 0);
    RtlZeroMemory(&m_Applied, sizeof(m_Applied));
}

CCvUsbSamDriver::~CCvUsbSamDriver()
{
    m_PowerExecutor.m_DeInit();
    for (CFTDI1Port* pPort = m_UnlistPort(0, TRUE); pPort != NULL; pPort = m_UnlistPort(0, TRUE)) {
        sm_DeletePort(pPort);
    }
}

void CCvUsbSamDriver::m_LockPorts()
{
    KeWaitForSingleObject(&m_PortListMutex, Executive, KernelMode, FALSE, NULL);
}

void CCvUsbSamDriver::m_UnlockPorts()
{
    KeReleaseMutex(&m_PortListMutex, FALSE);
}

// ---- Adding the device ----------------------------------------------------------------------------

BOOLEAN CCvUsbSamDriver::sm_AddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice)
{
    UNREFERENCED_PARAMETER(pDriver);
    return pObject != NULL && static_cast<CCvUsbSamDriver*>(pObject)->m_AddDevice(pDevice);
}

BOOLEAN CCvUsbSamDriver::m_AddDevice(CTfFunctionalDevice* pDevice)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_AddDevice - IN");
    if (pDevice == NULL) {
        TfDebugLog(7, "CCvUsbSamDriver::m_AddDevice - OUT - Fail-> no device");
        return FALSE;
    }
    m_pDevice = pDevice;
    // The set the description record's callback gave this device (its only set).
    m_pParameterSet =
        static_cast<CEnumdrvParameterInformationSet*>(pDevice->m_GetUserModeInterface()->m_GetInformationSet());
    sm_FillCallbacks(pDevice->m_GetCallbacks());
    if (!m_CheckHardwareId(pDevice->m_GetPhysicalDeviceObject())) {
        TfDebugLog(7, "CCvUsbSamDriver::m_AddDevice - OUT - Fail-> not one of the maker's adapters");
        return FALSE;
    }
    TfDebugLog(7, "CCvUsbSamDriver::m_AddDevice - OUT (Success)");
    return TRUE;
}

void CCvUsbSamDriver::sm_FillCallbacks(CTfDeviceCallbacks* pCallbacks)
{
    pCallbacks->m_CleanupCallback = sm_CleanUp;
    pCallbacks->m_PnpStartDeviceCallback = sm_PnpStartDevice;
    pCallbacks->m_PnpRemoveDevice = sm_PnpRemoveDevice;
    pCallbacks->m_RebalanceDeviceCallback = sm_RebalanceDevice;
    pCallbacks->m_InternalDeviceControlCallback = sm_InternalDeviceControl;
    pCallbacks->m_PowerDownResetDeviceFunction = sm_PowerDownResetDevice;
    pCallbacks->m_PowerUpInitDeviceFunction = sm_PowerUpInitDevice;
    pCallbacks->m_UserModeInterface = sm_UserModeInterface;
    pCallbacks->m_ulWmiGuidCount = ENUMDRV_WMI_BLOCK_COUNT;
    pCallbacks->m_pWmiGuidList = g_aEnumdrvWmiBlocks;
    pCallbacks->m_WmiInstanceSize = sm_WmiInstanceSize;
    pCallbacks->m_WmiQueryData = sm_WmiQueryData;
    pCallbacks->m_WmiSetDataBlock = sm_WmiSetDataBlock;
    pCallbacks->m_WmiSetDataItem = sm_WmiSetDataItem;
    pCallbacks->m_WmiMethodSize = sm_WmiMethodSize;
    pCallbacks->m_WmiExecuteMethod = sm_WmiExecuteMethod;
}

// ---- Hardware-ID rule -----------------------------------------------------------------------------

BOOLEAN CCvUsbSamDriver::sm_IsMakersHardwareId(PCUNICODE_STRING pUpperCaseId)
{
    WCHAR szPrefix[kHardwareIdPrefixChars];
    BuildHardwareIdPrefix(szPrefix);
    ULONG ulChars = pUpperCaseId->Length / sizeof(WCHAR);
    BOOLEAN bFound = FALSE;
    for (ULONG ulAt = 0; ulAt + kHardwareIdPrefixChars <= ulChars && !bFound; ++ulAt) {
        bFound = MatchesAt(pUpperCaseId, ulAt, szPrefix, kHardwareIdPrefixChars);
    }
    if (!bFound) {
        return FALSE;
    }
    // A product ID beginning with F is not one of the adapters this driver serves.
    BOOLEAN bRefused = MatchesAt(pUpperCaseId, 0, szPrefix, kHardwareIdPrefixChars) &&
                       ulChars > kHardwareIdPrefixChars && pUpperCaseId->Buffer[kHardwareIdPrefixChars] == u'F';
    return !bRefused;
}

BOOLEAN CCvUsbSamDriver::m_CheckHardwareId(PDEVICE_OBJECT pPhysicalDeviceObject)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_CheckHardwareId - IN");
    UCHAR ucProbe = 0;
    ULONG ulLength = 0;
    NTSTATUS Status = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, sizeof(ucProbe), &ucProbe,
                                          &ulLength);
    if (Status != STATUS_BUFFER_TOO_SMALL || ulLength < sizeof(WCHAR)) {
        TfDebugLog(7, "CCvUsbSamDriver::m_CheckHardwareId - OUT - Fail-> property size (0x%08X)", (ULONG)Status);
        return FALSE;
    }
    // Room for the list and for an upper-cased copy of its first string.
    PWCHAR pList = (PWCHAR)AllocateTrackedPool(NonPagedPool, 2 * (SIZE_T)ulLength + 2 * sizeof(WCHAR));
    if (pList == NULL) {
        TfDebugLog(7, "CCvUsbSamDriver::m_CheckHardwareId - OUT - Fail-> no memory");
        return FALSE;
    }
    RtlZeroMemory(pList, 2 * (SIZE_T)ulLength + 2 * sizeof(WCHAR));
    Status = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, ulLength, pList, &ulLength);
    BOOLEAN bResult = FALSE;
    if (NT_SUCCESS(Status)) {
        UNICODE_STRING First;
        ULONG ulChars = 0;
        while (ulChars < ulLength / sizeof(WCHAR) && pList[ulChars] != 0) {
            ++ulChars;
        }
        First.Buffer = pList;
        First.Length = First.MaximumLength = (USHORT)(ulChars * sizeof(WCHAR));
        UNICODE_STRING Upper;
        Upper.Buffer = pList + ulLength / sizeof(WCHAR) + 1;
        Upper.Length = 0;
        Upper.MaximumLength = First.Length;
        bResult = NT_SUCCESS(RtlUpcaseUnicodeString(&Upper, &First, FALSE)) && sm_IsMakersHardwareId(&Upper);
    }
    FreeTrackedPool(pList);
    TfDebugLog(7, bResult ? "CCvUsbSamDriver::m_CheckHardwareId - OUT (Success)"
                          : "CCvUsbSamDriver::m_CheckHardwareId - OUT - Fail-> not the maker's adapter");
    return bResult;
}

UCHAR CCvUsbSamDriver::sm_IsDuplexPort(ULONG ulPortNumber, ULONG ulPortType)
{
    if (ulPortNumber == 0 || ulPortNumber > ENUMDRV_MAX_DUPLEX_PORT) {
        return 0;
    }
    return (ulPortType >> (ulPortNumber - 1)) & 1 ? 1 : 0;
}

// ---- PnP and power --------------------------------------------------------------------------------

BOOLEAN CCvUsbSamDriver::m_PnpStartDevice()
{
    TfDebugLog(7, "CCvUsbSamDriver::m_PnpStartDevice - IN");
    if (!m_DoStartDevice()) {
        m_DoRemoveDevice();
        TfDebugLog(7, "CCvUsbSamDriver::m_PnpStartDevice - OUT - Fail-> start");
        return FALSE;
    }
    TfDebugLog(7, "CCvUsbSamDriver::m_PnpStartDevice - OUT (Success)");
    return TRUE;
}

BOOLEAN CCvUsbSamDriver::m_DoStartDevice()
{
    TfDebugLog(7, "CCvUsbSamDriver::m_DoStartDevice - IN");
    if (!m_bPowerExecutorStarted) {
        m_bPowerExecutorStarted = m_PowerExecutor.m_Init();
    }
    TfDebugLog(7, "CCvUsbSamDriver::m_DoStartDevice - OUT (Success)");
    return TRUE;
}

void CCvUsbSamDriver::m_DoRemoveDevice()
{
    TfDebugLog(7, "CCvUsbSamDriver::m_DoRemoveDevice - IN");
    if (m_pDevice != NULL) {
        m_pDevice->m_GotoPowerState(PowerDeviceD0);
    }
    for (CFTDI1Port* pPort = m_UnlistPort(0, TRUE); pPort != NULL; pPort = m_UnlistPort(0, TRUE)) {
        sm_DeletePort(pPort);
    }
    TfDebugLog(7, "CCvUsbSamDriver::m_DoRemoveDevice - OUT (Success)");
}

BOOLEAN CCvUsbSamDriver::m_RebalanceDevice(ULONG ulPhase)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_RebalanceDevice - IN - phase %u", ulPhase);
    if (m_pDevice != NULL) {
        m_pDevice->m_GotoPowerState(PowerDeviceD0);
    }
    TfDebugLog(7, "CCvUsbSamDriver::m_RebalanceDevice - OUT (Success)");
    return TRUE;
}

void CCvUsbSamDriver::m_PowerDownResetDevice()
{
    TfDebugLog(7, "CCvUsbSamDriver::m_PowerDownResetDevice - IN");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        m_WalkAtPassiveLevel(FALSE);
        return;
    }
    m_ForEachPort(&CFTDI1Port::m_SaveDeviceState, "CCvUsbSamDriver::m_PowerDownResetDevice - port %u not saved");
    TfDebugLog(7, "CCvUsbSamDriver::m_PowerDownResetDevice - OUT (Success)");
}

void CCvUsbSamDriver::m_PowerUpInitDevice()
{
    TfDebugLog(7, "CCvUsbSamDriver::m_PowerUpInitDevice - IN");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        m_WalkAtPassiveLevel(TRUE);
        return;
    }
    m_ForEachPort(&CFTDI1Port::m_RestoreDeviceState, "CCvUsbSamDriver::m_PowerUpInitDevice - port %u not restored");
    TfDebugLog(7, "CCvUsbSamDriver::m_PowerUpInitDevice - OUT (Success)");
}

BOOLEAN CCvUsbSamDriver::m_WalkAtPassiveLevel(BOOLEAN bRestore)
{
    BOOLEAN bQueued = m_PowerExecutor.m_QueueFunction(sm_PowerWalk, this, (PVOID)(ULONG_PTR)bRestore);
    if (!bQueued) {
        TfDebugLog(7, "CCvUsbSamDriver - power walk dropped (%u)", bRestore);
    }
    return bQueued;
}

void CCvUsbSamDriver::sm_PowerWalk(PVOID pContext, PVOID pArgument)
{
    CCvUsbSamDriver* pBus = (CCvUsbSamDriver*)pContext;
    if (pArgument != NULL) {
        pBus->m_ForEachPort(&CFTDI1Port::m_RestoreDeviceState, "CCvUsbSamDriver - port %u not restored");
    } else {
        pBus->m_ForEachPort(&CFTDI1Port::m_SaveDeviceState, "CCvUsbSamDriver - port %u not saved");
    }
}

void CCvUsbSamDriver::m_ForEachPort(BOOLEAN (CFTDI1Port::*pfnCall)(), const char* pszFailure)
{
    m_LockPorts();
    for (CFTDI1Port* pPort = (CFTDI1Port*)m_PortList.m_GetFirst(); pPort != NULL;
         pPort = (CFTDI1Port*)m_PortList.m_GetNext()) {
        if (!(pPort->*pfnCall)()) {
            TfDebugLog(7, pszFailure, pPort->m_GetPortNumber());
        }
    }
    m_UnlockPorts();
}

// ---- Parameters -----------------------------------------------------------------------------------

BOOLEAN CCvUsbSamDriver::m_UserModeInterface(CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase,
                                             PUCHAR pucStoreAgain)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_UserModeInterface - IN - index %u phase %u", ulSetIndex, ulPhase);
    if (ulPhase != TF_UMI_PHASE_APPLY) {
        TfDebugLog(7, "CCvUsbSamDriver::m_UserModeInterface - OUT (Success) - nothing to apply");
        return TRUE;
    }
    if (pSet == NULL || pSet != static_cast<CTfInformationSet*>(m_pParameterSet)) {
        TfDebugLog(7, "CCvUsbSamDriver::m_UserModeInterface - OUT (Success) - not the bus parameter set");
        return TRUE;
    }
    // The framework reloads its one set for every request: the bus keeps what was applied.
    ENUMDRV_PARAMETERS Values;
    m_pParameterSet->m_GetValues(&Values);
    m_LockPorts();
    m_Applied = Values;
    m_bApplied = TRUE;
    for (CFTDI1Port* pPort = (CFTDI1Port*)m_PortList.m_GetFirst(); pPort != NULL;
         pPort = (CFTDI1Port*)m_PortList.m_GetNext()) {
        m_PushParameters(pPort);
    }
    m_UnlockPorts();
    TfDebugLog(7, "CCvUsbSamDriver::m_UserModeInterface - OUT (Success)");
    return TRUE;
}

void CCvUsbSamDriver::m_PushParameters(CFTDI1Port* pPort)
{
    const ENUMDRV_PARAMETERS& V = m_Applied;
    TfDebugLog(7, "CCvUsbSamDriver - port %u: PolicyType %u MaximumLatency %u MaximumLatencyFineTuning %u "
                  "LowCpuUsageFineTuning %u RxFifoSize %u TxFifoSize %u MaximumBaudRate %u",
               pPort->m_GetPortNumber(), V.ulPolicyType, V.ulMaximumLatency, V.ulMaximumLatencyFineTuning,
               V.ulLowCpuUsageFineTuning, V.ulRxFifoSize, V.ulTxFifoSize, V.ulMaximumBaudRate);
    pPort->m_SetPolicyType(V.ulPolicyType);
    pPort->m_SetMaximumLatency(V.ulMaximumLatency);
    pPort->m_SetMaximumLatencyFineTuning(V.ulMaximumLatencyFineTuning);
    pPort->m_SetLowCpuUsageFineTuning(V.ulLowCpuUsageFineTuning);
    pPort->m_SetRxFifoSize(V.ulRxFifoSize);
    pPort->m_SetTxFifoSize(V.ulTxFifoSize);
    pPort->m_SetMaximumBaudRate(V.ulMaximumBaudRate);
}

BOOLEAN CCvUsbSamDriver::m_GetAppliedParameters(PENUMDRV_PARAMETERS pValues)
{
    m_LockPorts();
    BOOLEAN bApplied = m_bApplied;
    *pValues = m_Applied;
    m_UnlockPorts();
    return bApplied;
}

ULONG CCvUsbSamDriver::m_GetPortCount()
{
    m_LockPorts();
    ULONG ulCount = m_PortList.m_GetCount();
    m_UnlockPorts();
    return ulCount;
}

// ---- Ports and their records ------------------------------------------------------------------------

CFTDI1Port* CCvUsbSamDriver::m_NewPort(ULONG ulPortNumber)
{
    return new (NonPagedPool) CFTDI1Port(this, ulPortNumber);
}

void CCvUsbSamDriver::sm_DeletePort(CFTDI1Port* pPort)
{
    pPort->m_DeInit();
    delete pPort;
}

CFTDI1Port* CCvUsbSamDriver::m_UnlistPort(ULONG ulPortNumber, BOOLEAN bAny)
{
    m_LockPorts();
    CFTDI1Port* pFound = NULL;
    for (CFTDI1Port* pPort = (CFTDI1Port*)m_PortList.m_GetFirst(); pPort != NULL && pFound == NULL;
         pPort = (CFTDI1Port*)m_PortList.m_GetNext()) {
        if (bAny || pPort->m_GetPortNumber() == ulPortNumber) {
            pFound = pPort;
        }
    }
    if (pFound != NULL) {
        m_PortList.m_Remove(pFound);
    }
    m_UnlockPorts();
    return pFound;
}

NTSTATUS CCvUsbSamDriver::m_InternalDeviceControlCallback(ULONG ulIoControlCode, PVOID pInputBuffer,
                                                          ULONG ulInputLength, PVOID pOutputBuffer,
                                                          ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    TfDebugLog(7, "Enumdrv m_InternalDeviceControlCallback - IN - IOCTL - 0x%X", ulIoControlCode);
    *pulInformation = 0;
    NTSTATUS Status;
    switch (ulIoControlCode) {
    case IOCTL_CREATE_CVISERIAL:
        Status = m_CreateISerial(pInputBuffer, ulInputLength, pOutputBuffer, ulOutputLength, pulInformation);
        break;
    case IOCTL_RELEASE_CVISERIAL:
        Status = m_ReleaseISerial(pInputBuffer, ulInputLength);
        break;
    default:
        Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    TfDebugLog(7, "Enumdrv m_InternalDeviceControlCallback - OUT - IOCTL - 0x%X (NTSTATUS:0x%X)", ulIoControlCode,
               (ULONG)Status);
    return Status;
}

NTSTATUS CCvUsbSamDriver::m_CreateISerial(PVOID pInputBuffer, ULONG ulInputLength, PVOID pOutputBuffer,
                                          ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    if (pInputBuffer == NULL || pOutputBuffer == NULL || ulInputLength != sizeof(CVISERIAL_CREATE_REQUEST) ||
        ulOutputLength != sizeof(CVISERIAL_CREATE_RESPONSE)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Input and output share one buffer: the input is read first.
    CVISERIAL_CREATE_REQUEST Request;
    RtlCopyMemory(&Request, pInputBuffer, sizeof(Request));
    CFTDI1Port* pPort = m_NewPort(Request.ulPortNumber);
    if (pPort == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    // Initialisation requests device power: not with the list locked.
    if (!pPort->m_Init()) {
        sm_DeletePort(pPort);
        return STATUS_UNSUCCESSFUL;
    }
    m_LockPorts();
    ISerial* pISerial = m_ListNewPort(pPort, Request.ulPortNumber);
    m_UnlockPorts();
    if (pISerial == NULL) {
        sm_DeletePort(pPort);
        return STATUS_UNSUCCESSFUL;
    }
    CVISERIAL_CREATE_RESPONSE Response;
    Response.pISerial = pISerial;
    RtlCopyMemory(pOutputBuffer, &Response, sizeof(Response));
    *pulInformation = sizeof(Response);
    return STATUS_SUCCESS;
}

ISerial* CCvUsbSamDriver::m_ListNewPort(CFTDI1Port* pPort, ULONG ulPortNumber)
{
    for (CFTDI1Port* pListed = (CFTDI1Port*)m_PortList.m_GetFirst(); pListed != NULL;
         pListed = (CFTDI1Port*)m_PortList.m_GetNext()) {
        if (pListed->m_GetPortNumber() != ulPortNumber) {
            // Every port of a bus device uses the device's one pair of pipes.
            TfDebugLog(7, "CCvUsbSamDriver::m_CreateISerial - Error: port %u next to port %u on one bus device",
                       ulPortNumber, pListed->m_GetPortNumber());
            break;
        }
    }
    UCHAR ucDuplex = 0;
    if (m_bApplied) {
        m_PushParameters(pPort);
        ucDuplex = sm_IsDuplexPort(ulPortNumber, m_Applied.ulPortType);
    }
    ISerial* pISerial = pPort->m_CreateInterface_ISerial(ucDuplex);
    if (pISerial == NULL) {
        TfDebugLog(7, "Error: pCreateCvISerialResponseStruct->pISerial is NULL");
        return NULL;
    }
    if (!m_PortList.m_AddTail(pPort)) {
        TfDebugLog(7, "CCvUsbSamDriver::m_CreateISerial - port not listed (no memory)");
        return NULL;
    }
    return pISerial;
}

NTSTATUS CCvUsbSamDriver::m_ReleaseISerial(PVOID pInputBuffer, ULONG ulInputLength)
{
    if (pInputBuffer == NULL || ulInputLength != sizeof(CVISERIAL_RELEASE_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulPortNumber = ((PCVISERIAL_RELEASE_REQUEST)pInputBuffer)->ulPortNumber;
    // Each port is taken out with the list locked and closed and deleted without it.
    for (CFTDI1Port* pPort = m_UnlistPort(ulPortNumber, FALSE); pPort != NULL;
         pPort = m_UnlistPort(ulPortNumber, FALSE)) {
        sm_DeletePort(pPort);
    }
    return STATUS_SUCCESS;
}

// ---- WMI --------------------------------------------------------------------------------------------

BOOLEAN CCvUsbSamDriver::m_WmiQueryData(ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiQueryData - IN - block %u instance %u", ulGuidIndex, ulInstance);
    if (ulInstance != 0) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CCvUsbSamDriver::m_WmiQueryData - OUT - Fail-> instance %u", ulInstance);
        return FALSE;
    }
    if (pucBuffer == NULL || ulGuidIndex >= ENUMDRV_WMI_BLOCK_COUNT) {
        TfDebugLog(7, "CCvUsbSamDriver::m_WmiQueryData - OUT - Fail-> block %u", ulGuidIndex);
        return FALSE;
    }
    if (ulGuidIndex == ENUMDRV_WMI_BLOCK_MOF) {
        RtlCopyMemory(pucBuffer, EnumdrvWmiBinaryMof(), ENUMDRV_WMI_MOF_SIZE);
        TfDebugLog(7, "CCvUsbSamDriver::m_WmiQueryData - OUT (Success)");
        return TRUE;
    }
    // A snapshot of the first port (or of the applied values) with the list locked.
    m_LockPorts();
    CFTDI1Port* pFirst = (CFTDI1Port*)m_PortList.m_GetHead();
    if (ulGuidIndex == ENUMDRV_WMI_BLOCK_TIMINGS) {
        ENUMDRV_WMI_TIMINGS Timings;
        RtlZeroMemory(&Timings, sizeof(Timings));
        if (pFirst != NULL) {
            pFirst->m_GetWmiTimings(&Timings);
        }
        RtlCopyMemory(pucBuffer, &Timings, sizeof(Timings));
    } else if (ulGuidIndex == ENUMDRV_WMI_BLOCK_PORT_STATE) {
        ENUMDRV_WMI_PORT_STATE State;
        RtlZeroMemory(&State, sizeof(State));
        if (pFirst != NULL) {
            pFirst->m_GetPortState(&State);
        }
        RtlCopyMemory(pucBuffer, &State, sizeof(State));
    } else {
        ENUMDRV_WMI_PARAMETERS Block;
        RtlZeroMemory(&Block, sizeof(Block));
        if (m_bApplied) {
            Block.ulRxFifoSize = m_Applied.ulRxFifoSize;
            Block.ulTxFifoSize = m_Applied.ulTxFifoSize;
            Block.ulMaximumBaudRate = m_Applied.ulMaximumBaudRate;
            Block.ulPolicyType = m_Applied.ulPolicyType;
            Block.ulMaximumLatency = m_Applied.ulMaximumLatency;
            Block.ulMaximumLatencyFineTuning = m_Applied.ulMaximumLatencyFineTuning;
            Block.ulMaximumLatencySliderPos = m_Applied.ulMaximumLatencySliderPos;
            Block.ulLowCpuUsageFineTuning = m_Applied.ulLowCpuUsageFineTuning;
        }
        RtlCopyMemory(pucBuffer, &Block, sizeof(Block));
    }
    m_UnlockPorts();
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiQueryData - OUT (Success)");
    return TRUE;
}

// ---- Callback entries ---------------------------------------------------------------------------------

static CCvUsbSamDriver* TfBusObject(CTfObject* pObject)
{
    return static_cast<CCvUsbSamDriver*>(pObject);
}

BOOLEAN CCvUsbSamDriver::sm_PnpStartDevice(CTfObject* pObject)
{
    return TfBusObject(pObject)->m_PnpStartDevice();
}

void CCvUsbSamDriver::sm_PnpRemoveDevice(CTfObject* pObject)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_CleanUp - IN");
    TfBusObject(pObject)->m_DoRemoveDevice();
    TfDebugLog(7, "CCvUsbSamDriver::m_CleanUp - OUT (Success)");
}

BOOLEAN CCvUsbSamDriver::sm_CleanUp(CTfObject* pObject)
{
    UNREFERENCED_PARAMETER(pObject);
    TfDebugLog(7, "CCvUsbSamDriver::m_CleanUp - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_CleanUp - OUT (Success)");
    return TRUE;
}

BOOLEAN CCvUsbSamDriver::sm_RebalanceDevice(CTfObject* pObject, ULONG ulPhase)
{
    return TfBusObject(pObject)->m_RebalanceDevice(ulPhase);
}

NTSTATUS CCvUsbSamDriver::sm_InternalDeviceControl(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                                   ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                                   PULONG_PTR pulInformation)
{
    return TfBusObject(pObject)->m_InternalDeviceControlCallback(ulIoControlCode, pInputBuffer, ulInputLength,
                                                                 pOutputBuffer, ulOutputLength, pulInformation);
}

void CCvUsbSamDriver::sm_PowerDownResetDevice(CTfObject* pObject)
{
    TfBusObject(pObject)->m_PowerDownResetDevice();
}

void CCvUsbSamDriver::sm_PowerUpInitDevice(CTfObject* pObject)
{
    TfBusObject(pObject)->m_PowerUpInitDevice();
}

BOOLEAN CCvUsbSamDriver::sm_UserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex,
                                              ULONG ulPhase, PUCHAR pucStoreAgain)
{
    return TfBusObject(pObject)->m_UserModeInterface(pSet, ulSetIndex, ulPhase, pucStoreAgain);
}

BOOLEAN CCvUsbSamDriver::sm_WmiInstanceSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiInstanceSize - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiInstanceSize - OUT - Fail-> the blocks have fixed sizes");
    return FALSE;
}

BOOLEAN CCvUsbSamDriver::sm_WmiQueryData(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer)
{
    return TfBusObject(pObject)->m_WmiQueryData(ulGuidIndex, ulInstance, pucBuffer);
}

BOOLEAN CCvUsbSamDriver::sm_WmiSetDataBlock(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulSize,
                                            PUCHAR pucBuffer)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiSetDataBlock - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiSetDataBlock - OUT (Success)");
    return TRUE;
}

BOOLEAN CCvUsbSamDriver::sm_WmiSetDataItem(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulItemId,
                                           ULONG ulSize, PUCHAR pucBuffer)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiSetDataItem - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiSetDataItem - OUT (Success)");
    return TRUE;
}

BOOLEAN CCvUsbSamDriver::sm_WmiMethodSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulMethodId,
                                          PULONG pulInSize, PULONG pulOutSize)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiMethodSize - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiMethodSize - OUT (Success)");
    return TRUE;
}

BOOLEAN CCvUsbSamDriver::sm_WmiExecuteMethod(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                             ULONG ulMethodId, PULONG pulInSize, PULONG pulOutSize, PUCHAR pucBuffer)
{
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiExecuteMethod - IN");
    TfDebugLog(7, "CCvUsbSamDriver::m_WmiExecuteMethod - OUT (Success)");
    return TRUE;
}
