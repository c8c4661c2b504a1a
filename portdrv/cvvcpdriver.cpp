// The port driver's object: start, removal, open, close, clean-up and the parameter set's apply.
#include "cvvcpdriver.h"

#include "tfdebug.h"
#include "tffunctionaldevice.h"
#include "tfregistry.h"

#define VCP_SERIALCOMM_KEY u"SERIALCOMM"
#define VCP_PORT_NAME_VALUE u"PortName"

extern TF_WMI_GUID_RECORD g_VcpWmiGuids[];
extern const ULONG g_ulVcpWmiGuidCount;

CCvUVCPDriver::CCvUVCPDriver(PTF_ADD_DEVICE_FUNCTION* ppAddDevice)
    : m_pFunctionalDevice(NULL),
      m_lOpen(FALSE),
      m_pVCP(NULL),
      m_PortName(NonPagedPool),
      m_hParametersKey(NULL),
      m_bPortNameRead(FALSE),
      m_bLinkCreated(FALSE),
      m_bSerialCommWritten(FALSE),
      m_bLoadFollows(FALSE),
      m_pLastSet(NULL),
      m_bHaveAccepted(FALSE)
{
    m_Guard.m_Init(FALSE);
    RtlZeroMemory(&m_InterfaceLinkName, sizeof(m_InterfaceLinkName));
    RtlZeroMemory(&m_LastAccepted, sizeof(m_LastAccepted));
    m_RelativeTime.QuadPart = -5000000;
    *ppAddDevice = m_AddDevice;
}

CCvUVCPDriver::~CCvUVCPDriver()
{
    m_PortName.m_Free();
    if (m_InterfaceLinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&m_InterfaceLinkName);
    }
    m_Guard.m_CloseAndWait(FALSE);
    if (m_pVCP != NULL) {
        delete m_pVCP;
        m_pVCP = NULL;
    }
}

BOOLEAN CCvUVCPDriver::m_AddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice)
{
    TfDebugLog(7, "CCvUVCPDriver::m_AddDevice - IN");
    CCvUVCPDriver* pThis = (CCvUVCPDriver*)pObject;
    pThis->m_pFunctionalDevice = pDevice;
    CTfDeviceCallbacks* pCallbacks = pDevice->m_GetCallbacks();
    pCallbacks->m_CreateCallback = sm_Open;
    pCallbacks->m_CleanupCallback = sm_CleanUp;
    pCallbacks->m_PnpStartDeviceCallback = sm_PnpStartDevice;
    pCallbacks->m_PnpRemoveDevice = sm_PnpRemoveDevice;
    // The port owns no hardware resources: a stop and restart need nothing of it.
    pCallbacks->m_RebalanceDeviceCallback = sm_Rebalance;
    pCallbacks->m_PowerDownResetDeviceFunction = sm_PowerDownResetDevice;
    pCallbacks->m_PowerUpInitDeviceFunction = sm_PowerUpInitDevice;
    pCallbacks->m_UserModeInterface = sm_UserModeInterface;
    pCallbacks->m_ulWmiGuidCount = g_ulVcpWmiGuidCount;
    pCallbacks->m_pWmiGuidList = g_VcpWmiGuids;
    pCallbacks->m_WmiInstanceSize = sm_WmiGetRequiredSize;
    pCallbacks->m_WmiQueryData = sm_WmiQueryDataBlock;
    pCallbacks->m_WmiSetDataBlock = sm_WmiSetDataBlock;
    pCallbacks->m_WmiSetDataItem = sm_WmiSetDataItem;
    pCallbacks->m_WmiMethodSize = sm_WmiMethodSize;
    pCallbacks->m_WmiExecuteMethod = sm_WmiExecuteMethod;
    TfDebugLog(7, "CCvUVCPDriver::m_AddDevice - OUT (Success)");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Trampolines
// ---------------------------------------------------------------------------------------------

BOOLEAN CCvUVCPDriver::sm_Open(CTfObject* pObject) { return ((CCvUVCPDriver*)pObject)->m_Open(); }
BOOLEAN CCvUVCPDriver::sm_Close(CTfObject* pObject) { return ((CCvUVCPDriver*)pObject)->m_Close(); }
BOOLEAN CCvUVCPDriver::sm_CleanUp(CTfObject* pObject) { return ((CCvUVCPDriver*)pObject)->m_CleanUp(); }
BOOLEAN CCvUVCPDriver::sm_PnpStartDevice(CTfObject* pObject) { return ((CCvUVCPDriver*)pObject)->m_PnpStartDevice(); }
void CCvUVCPDriver::sm_PnpRemoveDevice(CTfObject* pObject) { ((CCvUVCPDriver*)pObject)->m_DoRemoveDevice(); }
BOOLEAN CCvUVCPDriver::sm_Rebalance(CTfObject*, ULONG) { return TRUE; }

void CCvUVCPDriver::sm_PowerDownResetDevice(CTfObject*)
{
    TfDebugLog(7, "CCvUVCPDriver::m_PowerDownResetDevice - IN and OUT (do nothing in this function)");
}

void CCvUVCPDriver::sm_PowerUpInitDevice(CTfObject*)
{
    TfDebugLog(7, "CCvUVCPDriver::m_PowerUpInitDevice - IN and OUT (do nothing in this function)");
}

BOOLEAN CCvUVCPDriver::sm_UserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex,
                                            ULONG ulPhase, PUCHAR pucStoreAgain)
{
    return ((CCvUVCPDriver*)pObject)->m_UserModeInterface((CCvUVcpUserModeInterface*)pSet, ulPhase, pucStoreAgain);
}

BOOLEAN CCvUVCPDriver::sm_WriteCallback(CTfObject* pObject, CTfBuffer* pBuffer)
{
    return ((CCvUVCPDriver*)pObject)->m_WriteCallback(pBuffer);
}

void CCvUVCPDriver::sm_DataAmountChangedInReadQueue(PVOID pContext, ULONG ulNewAmount, ULONG ulOldAmount)
{
    CCvUVCPDriver* pThis = (CCvUVCPDriver*)pContext;
    if (!pThis->m_IsOpen()) {
        return;
    }
    CVCP* pVcp = pThis->m_AcquireVcp();
    if (pVcp != NULL) {
        pVcp->m_DataAmountChangedInReadQueue(ulNewAmount, ulOldAmount);
        pThis->m_ReleaseVcp();
    }
}

BOOLEAN CCvUVCPDriver::sm_IsTransmitterEmpty(PVOID pContext)
{
    CCvUVCPDriver* pThis = (CCvUVCPDriver*)pContext;
    // Without a port object nothing is left to send: a held flush must not wait for ever.
    CVCP* pVcp = pThis->m_AcquireVcp();
    if (pVcp == NULL) {
        return TRUE;
    }
    BOOLEAN bEmpty = pVcp->m_CheckIsTransmitterIsEmpty();
    pThis->m_ReleaseVcp();
    return bEmpty;
}

void CCvUVCPDriver::sm_SendXoffCounterChar(PVOID pContext, UCHAR ucXoffChar)
{
    CCvUVCPDriver* pThis = (CCvUVCPDriver*)pContext;
    CVCP* pVcp = pThis->m_AcquireVcp();
    if (pVcp != NULL) {
        pVcp->m_SendSerialXoffCounterChar(ucXoffChar);
        pThis->m_ReleaseVcp();
    }
}

CVCP* CCvUVCPDriver::m_AcquireVcp()
{
    if (m_pVCP == NULL || !m_Guard.m_Acquire()) {
        return NULL;
    }
    return m_pVCP;
}

// ---------------------------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------------------------

BOOLEAN CCvUVCPDriver::m_PnpStartDevice()
{
    TfDebugLog(7, "CCvUVCPDriver::m_PnpStartDevice - IN");
    if (!m_DoStartDevice()) {
        TfDebugLog(7, "CCvUVCPDriver::m_PnpStartDevice - OUT (Failed)- It will do remove device.");
        m_DoRemoveDevice();
        return FALSE;
    }
    m_bLoadFollows = TRUE;
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_BuildSerialCommName(CTfString& Name)
{
    return Name.m_AssignWide(u"\\Device\\") == STATUS_SUCCESS &&
           Name.m_Append(m_pFunctionalDevice->m_GetDeviceName()) == STATUS_SUCCESS;
}

BOOLEAN CCvUVCPDriver::m_RegisterComName()
{
    HANDLE hKey = m_pFunctionalDevice->m_OpenDeviceRegistryKey();
    if (hKey == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error Opening Device parameter key.");
        return FALSE;
    }
    m_hParametersKey = hKey;
    CTfString ValueName(PagedPool, VCP_PORT_NAME_VALUE);
    BOOLEAN bRead = CTfRegistry::m_QueryString(hKey, ValueName, m_PortName, REG_SZ) && !m_PortName.m_IsEmpty();
    ZwClose(hKey);
    m_hParametersKey = NULL;
    if (!bRead) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error reading 'PortName' device parameter key.");
        return FALSE;
    }
    m_bPortNameRead = TRUE;
    if (!CTfDevice::m_AddSymbolicLinkNameFor(m_pFunctionalDevice->m_GetDeviceName().m_GetWideBuffer(),
                                             m_PortName.m_GetWideBuffer())) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error m_pFunctionalDevice->m_AddSymbolicLinkName() call.");
        return FALSE;
    }
    m_bLinkCreated = TRUE;
    CTfString SerialCommName(PagedPool);
    if (!m_BuildSerialCommName(SerialCommName) ||
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, VCP_SERIALCOMM_KEY, SerialCommName.m_GetWideBuffer(), REG_SZ,
                              m_PortName.m_GetWideBuffer(), m_PortName.m_GetLength() + sizeof(WCHAR)) !=
            STATUS_SUCCESS) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error writing to 'SERIALCOMM' registry key.");
        return FALSE;
    }
    m_bSerialCommWritten = TRUE;
    NTSTATUS Status = IoRegisterDeviceInterface(m_pFunctionalDevice->m_GetPhysicalDeviceObject(),
                                                &GUID_DEVINTERFACE_COMPORT, NULL, &m_InterfaceLinkName);
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error calling IoRegisterDeviceInterface (NTSTATUS:0x%X).",
                   (ULONG)Status);
        return FALSE;
    }
    Status = IoSetDeviceInterfaceState(&m_InterfaceLinkName, TRUE);
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error calling IoSetDeviceInterfaceState (NTSTATUS:0x%X).",
                   (ULONG)Status);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_CreatePortObject()
{
    if (m_pVCP != NULL && m_Guard.m_Acquire()) {
        m_Guard.m_Release();
        return TRUE;
    }
    m_Guard.m_Init(FALSE);
    CVCP* pVcp = m_pVCP != NULL ? m_pVCP : new (NonPagedPool) CVCP();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error pVCP is NULL after calling m_Init.");
        return FALSE;
    }
    m_pVCP = pVcp;
    // The child's ContextID; a device that is not a framework child is port 1, as set index -1 is.
    ULONG ulPortNumber = m_pFunctionalDevice->m_GetUserModeInterface()->m_GetOwnIndex();
    if (ulPortNumber == TF_USERMODE_DEFAULT_SET_INDEX) {
        ulPortNumber = 1;
    }
    if (!pVcp->m_Init(m_pFunctionalDevice, ulPortNumber)) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Error calling pVCP->m_Init().");
        return FALSE;
    }
    m_Guard.m_SetOpen(TRUE);
    return TRUE;
}

void CCvUVCPDriver::m_InstallStartCallbacks()
{
    CTfDeviceCallbacks* pCallbacks = m_pFunctionalDevice->m_GetCallbacks();
    pCallbacks->m_WriteCallback = sm_WriteCallback;
    pCallbacks->m_DeviceControlQueueingCallback = sm_DeviceControlCallback;
    pCallbacks->m_InternalDeviceControlCallback = sm_InternalDeviceControlCallback;
    pCallbacks->m_CloseCallback = sm_Close;
    m_pFunctionalDevice->m_GetReadQueue()->m_SetDataAmountChangedCallback(sm_DataAmountChangedInReadQueue, this);
    m_pFunctionalDevice->m_GetWriteQueue()->m_SetTransmitterEmptyCallback(sm_IsTransmitterEmpty, this);
}

BOOLEAN CCvUVCPDriver::m_DoStartDevice()
{
    TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - IN");
    if (!m_bPortNameRead && !m_RegisterComName()) {
        return FALSE;
    }
    if (!m_CreatePortObject()) {
        return FALSE;
    }
    m_InstallStartCallbacks();
    TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT (Success).");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Removal
// ---------------------------------------------------------------------------------------------

void CCvUVCPDriver::m_CancelQueues()
{
    m_pFunctionalDevice->m_GetControlQueue()->m_CancelMaskIrps();
    m_pFunctionalDevice->m_GetReadQueue()->m_CancelAllIrps();
    m_pFunctionalDevice->m_GetWriteQueue()->m_CancelAllIrps(TRUE);
    m_pFunctionalDevice->m_GetReadQueue()->m_ClearData();
}

void CCvUVCPDriver::m_RemoveComName()
{
    if (m_InterfaceLinkName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&m_InterfaceLinkName, FALSE);
        RtlFreeUnicodeString(&m_InterfaceLinkName);
        RtlZeroMemory(&m_InterfaceLinkName, sizeof(m_InterfaceLinkName));
    }
    if (m_bLinkCreated) {
        // The name may have been changed since start: the one in the registry names the link.
        HANDLE hKey = m_pFunctionalDevice->m_OpenDeviceRegistryKey();
        if (hKey != NULL) {
            m_hParametersKey = hKey;
            CTfString ValueName(PagedPool, VCP_PORT_NAME_VALUE);
            CTfString Current(NonPagedPool);
            if (CTfRegistry::m_QueryString(hKey, ValueName, Current, REG_SZ) && !Current.m_IsEmpty()) {
                m_PortName.m_Assign(Current);
            }
            ZwClose(hKey);
            m_hParametersKey = NULL;
        }
        CTfString LinkName(PagedPool);
        if (CTfDevice::sm_BuildLinkName(m_PortName.m_GetWideBuffer(), LinkName)) {
            IoDeleteSymbolicLink(LinkName.m_GetUnicodeString());
        }
        m_bLinkCreated = FALSE;
    }
    m_PortName.m_Free();
    m_bPortNameRead = FALSE;
    if (m_bSerialCommWritten) {
        CTfString SerialCommName(PagedPool);
        if (m_BuildSerialCommName(SerialCommName)) {
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, VCP_SERIALCOMM_KEY, SerialCommName.m_GetWideBuffer());
        }
        m_bSerialCommWritten = FALSE;
    }
}

void CCvUVCPDriver::m_DoRemoveDevice()
{
    TfDebugLog(7, "CCvUVCPDriver::m_DoRemoveDevice - IN");
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp != NULL) {
        // A close running at the same time may have taken the open state already: it disconnects.
        if (InterlockedExchange(&m_lOpen, FALSE)) {
            CTfControlQueue* pControl = m_pFunctionalDevice->m_GetControlQueue();
            pControl->m_SetCommEventsReceived(SERIAL_EV_EVENT2);
            pControl->m_ResolveCurrentEventMask(NULL);
            pVcp->m_SetDeviceRemoved();
            pVcp->m_Disconnect();
            m_CancelQueues();
        } else {
            pVcp->m_SetDeviceRemoved();
        }
        m_ReleaseVcp();
    }
    // The device is going: what an open handle sends from now on fails at once.
    m_pFunctionalDevice->m_GetReadQueue()->m_SetAccept(FALSE, STATUS_DELETE_PENDING);
    m_pFunctionalDevice->m_GetWriteQueue()->m_SetAccept(FALSE, STATUS_DELETE_PENDING);
    m_pFunctionalDevice->m_GetReadQueue()->m_SetDataAmountChangedCallback(NULL, NULL);
    m_pFunctionalDevice->m_GetWriteQueue()->m_SetTransmitterEmptyCallback(NULL, NULL);
    m_Guard.m_CloseAndWait(FALSE);
    if (m_pVCP != NULL) {
        delete m_pVCP;
        m_pVCP = NULL;
    }
    m_RemoveComName();
    TfDebugLog(7, "CCvUVCPDriver::m_DoRemoveDevice - OUT");
}

// ---------------------------------------------------------------------------------------------
// Open, close, clean-up, write
// ---------------------------------------------------------------------------------------------

BOOLEAN CCvUVCPDriver::m_Open()
{
    if (m_IsOpen()) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Failed because Device is already Opened.");
        return FALSE;
    }
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT - Failed - pVCP is NULL.");
        return FALSE;
    }
    const BOOLEAN bOpen = pVcp->m_Connect();
    InterlockedExchange(&m_lOpen, bOpen);
    m_ReleaseVcp();
    TfDebugLog(7, "CCvUVCPDriver::m_DoStartDevice - OUT (%s).", bOpen ? "Success" : "Failed");
    m_bLoadFollows = bOpen;
    return bOpen;
}

BOOLEAN CCvUVCPDriver::m_Close()
{
    m_bLoadFollows = FALSE;
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_Close - OUT - Failed because pVCP is NULL.");
        InterlockedExchange(&m_lOpen, FALSE);
        return FALSE;
    }
    // A removal running at the same time may have taken the open state already: it disconnects.
    if (InterlockedExchange(&m_lOpen, FALSE)) {
        pVcp->m_Disconnect();
    }
    m_ReleaseVcp();
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_CleanUp()
{
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        // The queues are the device's: what the handle left in them is cancelled all the same.
        m_CancelQueues();
        TfDebugLog(7, "CCvUVCPDriver::m_CleanUp - OUT - Failed because pVCP is NULL.");
        return FALSE;
    }
    if (m_IsOpen()) {
        m_CancelQueues();
    }
    m_ReleaseVcp();
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_WriteCallback(CTfBuffer* pBuffer)
{
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "cvvcpdriver", __LINE__);
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        return FALSE;
    }
    BOOLEAN bResult = pVcp->m_Write(pBuffer);
    m_ReleaseVcp();
    return bResult;
}

// ---------------------------------------------------------------------------------------------
// Parameter set
// ---------------------------------------------------------------------------------------------

BOOLEAN CCvUVCPDriver::m_ApplySet(CVCP* pVcp, CCvUVcpUserModeInterface* pSet, ULONG ulPhase, PUCHAR pucStoreAgain)
{
    pSet->m_DumpParameters();
    pVcp->m_SetParameters(pSet);
    if (pVcp->m_CheckSupportedBaudRates()) {
        *pucStoreAgain = 1;
    }
    VCP_PARAMETERS& P = pSet->m_Values();
    if (!pVcp->m_IsBaudRateSettable(P.ulBaudrate)) {
        TfDebugLog(7, "CCvUVCPDriver::m_UserModeInterface - OUT - Failed because checking Baudrate (%d) is settable baudrate",
                   P.ulBaudrate);
        if (!m_bLoadFollows) {
            return FALSE;
        }
        // A stored rate the bus no longer runs: the last accepted one (or the default) takes its place.
        P.ulBaudrate = m_bHaveAccepted ? m_LastAccepted.ulBaudrate : 9600;
        *pucStoreAgain = 1;
    }
    if (!pVcp->m_SetTriggerLevels((UCHAR)P.ulTransmitTriggerLevel, (UCHAR)P.ulReceiveTriggerLevel,
                                  (UCHAR)P.ulFlowControlTriggerLevel)) {
        TfDebugLog(7, "CCvUVCPDriver::m_UserModeInterface - OUT - m_SetTriggerLevels failed.");
        return FALSE;
    }
    if (pVcp->m_UpdateSignalSupport()) {
        *pucStoreAgain = 1;
    }
    if (ulPhase == TF_UMI_PHASE_DEFAULTS || P.ulPortType == VCP_PORT_TYPE_UNSET) {
        ULONG ulType = pVcp->m_GetPortType();
        P.ulPortType = ulType;
        if (ulType == VCP_PORT_TYPE_RS232) {
            P.ulDuplexMode = 0;
        } else if (P.ulDuplexMode == 0) {
            P.ulDuplexMode = 1;
        }
        *pucStoreAgain = 1;
    }
    m_LastAccepted = P;
    m_bHaveAccepted = TRUE;
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_UserModeInterface(CCvUVcpUserModeInterface* pSet, ULONG ulPhase, PUCHAR pucStoreAgain)
{
    CVCP* pVcp = m_AcquireVcp();
    if (pVcp == NULL) {
        TfDebugLog(7, "CCvUVCPDriver::m_UserModeInterface - OUT - Failed because pVCP is NULL.");
        return FALSE;
    }
    const BOOLEAN bUserChange = !m_bLoadFollows;
    BOOLEAN bResult = m_ApplySet(pVcp, pSet, ulPhase, pucStoreAgain);
    if (bResult && bUserChange && !pVcp->m_IsConnected()) {
        // A set the user changed while no application holds the port: the next open takes its
        // settings again, as the first open does, even when a check has opened the port since start.
        pVcp->m_TakeSettingsAtNextConnect();
    }
    if (ulPhase == TF_UMI_PHASE_APPLY) {
        m_bLoadFollows = FALSE;
    }
    m_ReleaseVcp();
    if (!bResult) {
        TfDebugLog(7, "CCvUVCPDriver::m_UserModeInterface - OUT (Error)");
    }
    return bResult;
}
