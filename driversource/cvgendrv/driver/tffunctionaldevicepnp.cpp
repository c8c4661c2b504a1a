// Plug and Play operations of the functional device: the PnP state machine with the driver's
// start, stop, rebalance and removal callbacks, the resource lists, the child devices made from
// the "Child<i>" subkeys of the hardware key, bus relations, capabilities and the PnP device state.
//
// Rules the code below keeps:
//  - The PnP state (m_ulPnpState) is written only here, by the PnP dispatch, which Plug and Play
//    calls for one request of a device at a time. The device-control dispatch reads it and refuses
//    requests unless the device is started.
//  - Its moves: start -> STARTED; query-stop -> STOP_PENDING, then stop -> STOPPED or cancel-stop ->
//    STARTED; query-remove -> REMOVE_PENDING, then cancel-remove -> STARTED; surprise removal ->
//    SURPRISE_REMOVED; removal -> REMOVED.
//  - A start and a cancel-stop go to the device below first and reach the driver only when it
//    succeeded; the other minors reach the driver first and then go down.
//  - A start while STOPPED is a restart: the driver's rebalance routine resumes the device, and the
//    children, the I/O client and the sets stay as they are. A failed first start leaves the
//    state where it was.
//  - The driver's removal routine runs once: at a surprise removal, or at the removal when none
//    came before.
#include <wdm.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tffunctionaldevice.h"
#include "tfioclient.h"
#include "tfmemorytracker.h"
#include "tfphysicaldevice.h"
#include "tfrecordlist.h"
#include "tfregistry.h"
#include "tfrequest.h"
#include "tftrace.h"
#include "tfwmi.h"

// Pool tag of the bus relations handed to Plug and Play ("BFun").
#define TF_TAG_BUS_RELATIONS TF_MAKE_POOL_TAG('B', 'F', 'u', 'n')

// Subkeys of the children and the value that keeps a child from being created at start.
#define TF_CHILD_KEY_PREFIX u"Child"
#define TF_CHILD_VALUE_DO_NOT_CREATE u"DoNotCreateAtStartup"

// Accepted descriptor flags of each resource kind.
#define TF_PORT_FLAGS_A 0x31
#define TF_PORT_FLAGS_B 0x131
#define TF_MEMORY_FLAGS_A 0x0
#define TF_MEMORY_FLAGS_B 0x80
#define TF_INTERRUPT_FLAGS_LINE 0x0
#define TF_INTERRUPT_FLAGS_MESSAGE 0x2
#define TF_DMA_FLAGS 0x8

// Read client records carry a header the FDO does not use.
#define TF_READ_CLIENT_TYPE_RECORDS 1

// PnP-device-state bit of each pair, in pair order.
static const ULONG s_aulPnpDeviceStateBits[TF_PNP_DEVICE_STATE_COUNT] = {
    PNP_DEVICE_DISABLED,
    PNP_DEVICE_DONT_DISPLAY_IN_UI,
    PNP_DEVICE_FAILED,
    PNP_DEVICE_NOT_DISABLEABLE,
    PNP_DEVICE_REMOVED,
    PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED,
};

// Outcome of a call through the driver-specific object's holder.
#define TF_CALL_FALSE 0
#define TF_CALL_TRUE 1
#define TF_CALL_NO_OBJECT 2

// Records of the child device below reach the driver as direct writes, the record's value as the
// leading value. A record the driver cannot take is dropped.
static void TfIoClientRoutine(PVOID pContext, ULONG ulValue, CTfBuffer* pBuffer)
{
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (!pDevice->m_CallChildWrite(ulValue, pBuffer)) delete pBuffer;
}

// Entry 5. A driver without it has nothing to start.
static ULONG TfCallStart(CTfFunctionalDevice* pDevice)
{
    PTF_DEVICE_BOOLEAN_CALLBACK pfnStart = pDevice->m_GetCallbacks()->m_PnpStartDeviceCallback;
    if (pfnStart == NULL) return TF_CALL_TRUE;
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) return TF_CALL_NO_OBJECT;
    BOOLEAN bResult = pfnStart(pObject);
    pDevice->m_ReleaseSpecificObject();
    return bResult ? TF_CALL_TRUE : TF_CALL_FALSE;
}

// Entry 7 with a phase. A driver without it accepts every phase.
static ULONG TfCallRebalance(CTfFunctionalDevice* pDevice, ULONG ulPhase)
{
    PTF_REBALANCE_CALLBACK pfnRebalance = pDevice->m_GetCallbacks()->m_RebalanceDeviceCallback;
    if (pfnRebalance == NULL) return TF_CALL_TRUE;
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) return TF_CALL_NO_OBJECT;
    BOOLEAN bResult = pfnRebalance(pObject, ulPhase);
    pDevice->m_ReleaseSpecificObject();
    return bResult ? TF_CALL_TRUE : TF_CALL_FALSE;
}

// Entry 6. The removal goes on whether or not the driver's object is still there.
static void TfCallRemove(CTfFunctionalDevice* pDevice)
{
    PTF_DEVICE_VOID_CALLBACK pfnRemove = pDevice->m_GetCallbacks()->m_PnpRemoveDevice;
    if (pfnRemove == NULL) return;
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) return;
    pfnRemove(pObject);
    pDevice->m_ReleaseSpecificObject();
}

// The n-th (1-based) partial descriptor of a type whose flags are one of two accepted values, in a
// list that has exactly one full descriptor; null otherwise.
static PCM_PARTIAL_RESOURCE_DESCRIPTOR TfFindResource(PCM_RESOURCE_LIST pList, UCHAR ucType, USHORT usFlagsA,
                                                      USHORT usFlagsB, ULONG ulIndex)
{
    if (pList == NULL || pList->Count != 1 || ulIndex == 0) return NULL;
    PCM_PARTIAL_RESOURCE_LIST pPartial = &pList->List[0].PartialResourceList;
    ULONG ulFound = 0;
    for (ULONG i = 0; i < pPartial->Count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR pDescriptor = &pPartial->PartialDescriptors[i];
        if (pDescriptor->Type != ucType) continue;
        if (pDescriptor->Flags != usFlagsA && pDescriptor->Flags != usFlagsB) continue;
        if (++ulFound == ulIndex) return pDescriptor;
    }
    return NULL;
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Pnp(PIRP pIrp)
{
    PAGED_CODE();  // plug and play requests come at PASSIVE_LEVEL
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pStack->MinorFunction;

    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Pnp - Minor Function : %s\n",
               CTfDebugManager::m_GetPnpMinorName(ucMinor));

    switch (ucMinor) {
    case IRP_MN_START_DEVICE:
        return m_StartDevice(pIrp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        m_ulPnpState = TF_PNP_STATE_REMOVE_PENDING;
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);

    case IRP_MN_REMOVE_DEVICE:
        return m_RemoveDevice(pIrp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        m_ulPnpState = TF_PNP_STATE_STARTED;
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);

    case IRP_MN_STOP_DEVICE:
        return m_StopDevice(pIrp);

    case IRP_MN_QUERY_STOP_DEVICE:
        return m_QueryStopDevice(pIrp);

    case IRP_MN_CANCEL_STOP_DEVICE:
        return m_CancelStopDevice(pIrp);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return m_QueryDeviceRelations(pIrp);

    case IRP_MN_QUERY_CAPABILITIES:
        return m_QueryCapabilities(pIrp);

    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        return m_FilterResourceRequirements(pIrp);

    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        m_QueryPnpDeviceState(pIrp);
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return m_DeviceUsageNotification(pIrp);

    case IRP_MN_SURPRISE_REMOVAL:
        TfCallRemove(this);
        m_ulPnpState = TF_PNP_STATE_SURPRISE_REMOVED;
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);

    default:
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
    }
}

NTSTATUS CTfFunctionalDevice::m_StopDevice(PIRP pIrp)
{
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_STOP_DEVICE IN");
    m_ulPnpState = TF_PNP_STATE_STOPPED;
    // The driver cannot refuse a stop; what it answers does not matter.
    TfCallRebalance(this, TF_REBALANCE_STOP);
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_STOP_DEVICE OUT");
    return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
}

NTSTATUS CTfFunctionalDevice::m_QueryStopDevice(PIRP pIrp)
{
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_STOP_DEVICE IN");
    m_ulPnpState = TF_PNP_STATE_STOP_PENDING;
    ULONG ulResult = TfCallRebalance(this, TF_REBALANCE_QUERY_STOP);
    if (ulResult == TF_CALL_NO_OBJECT) return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    if (ulResult == TF_CALL_FALSE) {
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_STOP_DEVICE ERROR");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_STOP_DEVICE OUT SUCCESS");
    return TfCallDriver(pIrp, m_pLowerDeviceObject, STATUS_SUCCESS);
}

// The device below goes first; the driver then resumes what the query stopped.
NTSTATUS CTfFunctionalDevice::m_CancelStopDevice(PIRP pIrp)
{
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_CANCEL_STOP_DEVICE IN");
    m_ulPnpState = TF_PNP_STATE_STARTED;
    if (m_Callbacks.m_RebalanceDeviceCallback == NULL) return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
    NTSTATUS Status = TfSendSynchronousRequest(pIrp, m_pLowerDeviceObject);
    if (!NT_SUCCESS(Status)) return TfCompleteRequest(pIrp, Status);
    ULONG ulResult = TfCallRebalance(this, TF_REBALANCE_CANCEL_STOP);
    if (ulResult == TF_CALL_NO_OBJECT) return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    if (ulResult == TF_CALL_FALSE) {
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_CANCEL_STOP_DEVICE ERROR");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_CANCEL_STOP_DEVICE OUT SUCCESS");
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

// Bus relations are answered here (the children); every other kind goes down as it is.
NTSTATUS CTfFunctionalDevice::m_QueryDeviceRelations(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_DEVICE_RELATIONS BusRelations");
        return HandleBusRelations(pIrp);
    }
    if (pStack->Parameters.QueryDeviceRelations.Type == RemovalRelations)
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_DEVICE_RELATIONS RemovalRelations");
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_QUERY_DEVICE_RELATIONS ... Other ... Relations");
    return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
}

// The capabilities are adjusted on the way up, by the completion routine.
NTSTATUS CTfFunctionalDevice::m_QueryCapabilities(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_CAPABILITIES pCapabilities = pStack->Parameters.DeviceCapabilities.Capabilities;
    if (pCapabilities == NULL || pCapabilities->Version != 1 || pCapabilities->Size != sizeof(DEVICE_CAPABILITIES))
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_QueryCapabilitiesCompletionRoutine, this, TRUE, FALSE, FALSE);
    return IoCallDriver(m_pLowerDeviceObject, pIrp);
}

// The requirements the devices below filtered (or the original list) are kept as they are.
NTSTATUS CTfFunctionalDevice::m_FilterResourceRequirements(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS Status = TfSendSynchronousRequest(pIrp, m_pLowerDeviceObject);
    if (!NT_SUCCESS(Status) && Status != STATUS_NOT_SUPPORTED) return TfCompleteRequest(pIrp, Status);
    if (pIrp->IoStatus.Information == 0)
        pIrp->IoStatus.Information = (ULONG_PTR)pStack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, pIrp->IoStatus.Information);
}

NTSTATUS CTfFunctionalDevice::m_DeviceUsageNotification(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    switch (pStack->Parameters.UsageNotification.Type) {
    case DeviceUsageTypePaging:
    case DeviceUsageTypeHibernation:
    case DeviceUsageTypeDumpFile:
        // The device cannot carry a paging, hibernation or dump file.
        return TfCompleteRequest(pIrp,
                                 pStack->Parameters.UsageNotification.InPath ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    default:
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
}

NTSTATUS CTfFunctionalDevice::m_StartDevice(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_StartDevice");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    // The lower device starts first.
    NTSTATUS Status = TfSendSynchronousRequest(pIrp, m_pLowerDeviceObject);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("lower device 0x%08X", Status);
        return TfCompleteRequest(pIrp, Status);
    }

    BOOLEAN bRestart = m_ulPnpState == TF_PNP_STATE_STOPPED;
    if (!IoIsWdmVersionAvailable(1, 0x20) && !bRestart)
        TfTraceInitialize(m_pDeviceObject, m_RegistryPath.m_GetUnicodeString());

    m_StartDeviceResources(pStack->Parameters.StartDevice.AllocatedResources,
                           pStack->Parameters.StartDevice.AllocatedResourcesTranslated);

    if (bRestart) {
        return m_RestartDevice(pIrp);
    }
    // First start: the children, the I/O client, D0, the driver's start and the sets.
    if (!m_CreateChildrenAndClient(Log)) {
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    m_DevicePowerState = PowerDeviceD0;
    return m_CallDriverStart(pIrp);
}

// A start after a stop: the driver's rebalance routine resumes the device.
NTSTATUS CTfFunctionalDevice::m_RestartDevice(PIRP pIrp)
{
    if (m_Callbacks.m_RebalanceDeviceCallback != NULL) {
        ULONG ulResult = TfCallRebalance(this, TF_REBALANCE_RESTART);
        if (ulResult == TF_CALL_NO_OBJECT) return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
        if (ulResult == TF_CALL_FALSE) {
            TfDebugLog(TF_LOG_FLOW, "IRP_MN_START_DEVICE Rebalancing ERROR");
            return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
        }
        m_ulPnpState = TF_PNP_STATE_STARTED;
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_START_DEVICE Rebalancing OUT SUCCESS");
    } else {
        // A driver without a rebalance routine restarts as it stood; left stopped, every
        // device-control request would be refused until removal.
        m_ulPnpState = TF_PNP_STATE_STARTED;
        TfDebugLog(TF_LOG_FLOW, "IRP_MN_START_DEVICE m_RebalanceDeviceCallback=NULL OUT SUCCESS");
    }
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

// The children from the device key and, for a driver that reads records, the I/O client. FALSE
// after the start's failure line names what failed.
BOOLEAN CTfFunctionalDevice::m_CreateChildrenAndClient(const CTfRoutineLog& Log)
{
    HANDLE hDeviceKey = m_OpenDeviceRegistryKey();
    if (hDeviceKey == NULL) {
        DbgPrint("StartDevice6 - NT STATUS: 0x%X\n", STATUS_UNSUCCESSFUL);
        Log.m_Fail("device key");
        return FALSE;
    }
    BOOLEAN bChildren = m_CreateAllChildDevices(hDeviceKey);
    ZwClose(hDeviceKey);
    if (!bChildren) {
        Log.m_Fail("children");
        return FALSE;
    }

    if (m_pRegistrySet != NULL && m_pRegistrySet->m_GetReadClientType() == TF_READ_CLIENT_TYPE_RECORDS &&
        m_pIoClient == NULL) {
        CTfIoClient* pClient = new (NonPagedPool) CTfIoClient(m_pPhysicalDeviceObject);
        if (pClient == NULL || !pClient->m_Start(TfIoClientRoutine, this)) {
            delete pClient;
            Log.m_Fail("I/O client");
            return FALSE;
        }
        m_pIoClient = pClient;
    }
    return TRUE;
}

// The driver's start routine, then the sets of the configuration interface; only then is the
// device started.
NTSTATUS CTfFunctionalDevice::m_CallDriverStart(PIRP pIrp)
{
    ULONG ulResult = TfCallStart(this);
    if (ulResult == TF_CALL_NO_OBJECT) return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    if (ulResult == TF_CALL_FALSE) {
        TfDebugLog(TF_LOG_FLOW, "m_PnpStartDeviceCallback ERROR");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    if (m_Callbacks.m_UserModeInterface != NULL && !m_UserModeInterface.m_LoadAllSets()) {
        TfDebugLog(TF_LOG_FLOW, "m_PnpStartDeviceCallback TriggerUpdate ERROR");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }

    m_ulPnpState = TF_PNP_STATE_STARTED;
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_START_DEVICE OUT SUCCESS");
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfFunctionalDevice::m_RemoveDevice(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_RemoveDevice");
    if (m_ulPnpState != TF_PNP_STATE_SURPRISE_REMOVED) TfCallRemove(this);

    // The client thread reads from the device below, which is about to go.
    if (m_pIoClient != NULL) {
        delete m_pIoClient;
        m_pIoClient = NULL;
    }
    m_ulPnpState = TF_PNP_STATE_REMOVED;

    m_DeleteAllChildDevices();
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_REMOVE_DEVICE m_DeleteAllChildDevices SUCCESS");
    m_Remove();
    TfDebugLog(TF_LOG_FLOW, "IRP_MN_REMOVE_DEVICE m_Remove SUCCESS");

    NTSTATUS Status = TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
    Log.m_Success();
    return Status;
}

void CTfFunctionalDevice::m_Remove()
{
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Remove IN");

    CTfDriver* pDriver = m_GetDriver();
    if (pDriver != NULL && pDriver->m_GetRemovalCallback() != NULL) pDriver->m_GetRemovalCallback()();

    m_UnpairDevices();

    // An upper device lets go of the records it holds in the child device below.
    if (!m_bLowestStackLayer && m_ucFirstPartner == 0) {
        CTfPhysicalDevice* pChild = m_AcquireChildBelow();
        if (pChild != NULL) {
            CTfRecordList* pRecords = pChild->m_GetRecordList();
            pRecords->m_GetLock()->m_Acquire();
            for (PTF_LIST_RECORD pRecord = (PTF_LIST_RECORD)pRecords->m_GetFirst(); pRecord != NULL;
                 pRecord = (PTF_LIST_RECORD)pRecords->m_GetNext()) {
                BOOLEAN bAnyHeld = FALSE;
                for (ULONG i = 0; i < 2; i++) {
                    if (pRecord->Pair[i].bHeld) {
                        bAnyHeld = TRUE;
                        continue;
                    }
                    pRecord->Pair[i].Value1 = 0;
                    pRecord->Pair[i].Value2 = 0;
                }
                if (!bAnyHeld) pRecord->ulId = 0;
            }
            pRecords->m_GetLock()->m_Release();
            m_ReleaseChildBelow();
        }
    }

    // No new WMI request reaches the device; power steps still under way finish first. The
    // executor stops taking work; it and the WMI object are deleted with the device, once every
    // request holding the device has left.
    if (m_pWmi != NULL) m_pWmi->m_Deregister();
    if (!NT_SUCCESS(m_GetRemoveGate()->m_CloseAndWait(FALSE))) TF_ASSERT_AT();
    // The last holder may still be leaving the gate's lock; passing through it waits for that.
    m_GetRemoveGate()->m_SetOpen(FALSE);
    if (m_Callbacks.m_pExecutor != NULL) m_Callbacks.m_pExecutor->m_DeInit();

    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Remove OUT");
}

NTSTATUS CTfFunctionalDevice::sm_QueryCapabilitiesCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp,
                                                                   PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    CTfRoutineLog Log("CTfFunctionalDevice::sm_QueryCapabilitiesCompletionRoutine");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pIrp->PendingReturned) IoMarkIrpPending(pIrp);

    PDEVICE_CAPABILITIES pCapabilities =
        IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceCapabilities.Capabilities;
    if (pCapabilities != NULL) {
        for (ULONG ulState = PowerSystemWorking; ulState <= PowerSystemShutdown; ulState++)
            pDevice->m_PowerTable[ulState] = pCapabilities->DeviceState[ulState];
    }
    Log.m_Success();
    return pIrp->IoStatus.Status;
}

void CTfFunctionalDevice::m_QueryPnpDeviceState(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_QueryPnpDeviceState");
    ULONG_PTR ulInformation = pIrp->IoStatus.Information;
    BOOLEAN bApplied = FALSE;

    for (ULONG i = 0; i < TF_PNP_DEVICE_STATE_COUNT; i++) {
        TF_PNP_DEVICE_STATE_PAIR* pPair = &m_PnpDeviceState[i];
        if (!pPair->ucPending) continue;
        // Each pair changes its own bit only: the bits of the drivers below stay.
        if (pPair->ucValue)
            ulInformation |= s_aulPnpDeviceStateBits[i];
        else
            ulInformation &= ~(ULONG_PTR)s_aulPnpDeviceStateBits[i];
        bApplied = TRUE;
        // A hidden device stays hidden: Plug and Play asks again after every restart.
        if (!(i == TF_PNP_DEVICE_STATE_DONT_DISPLAY_IN_UI && pPair->ucValue)) pPair->ucPending = 0;
    }

    if (bApplied) {
        pIrp->IoStatus.Information = ulInformation;
        // Bits set under a status that still says "not handled" would be ignored.
        pIrp->IoStatus.Status = STATUS_SUCCESS;
    }
    Log.m_Success();
}

void CTfFunctionalDevice::m_EmptyResourceLists()
{
    for (PTF_MEMORY_RESOURCE pMemory = (PTF_MEMORY_RESOURCE)m_MemoryList.m_GetFirst(); pMemory != NULL;
         pMemory = (PTF_MEMORY_RESOURCE)m_MemoryList.m_GetNext()) {
        if (pMemory->pMappedAddress != NULL) MmUnmapIoSpace(pMemory->pMappedAddress, pMemory->ulLength);
        pMemory->pMappedAddress = NULL;
    }
    m_MemoryList.m_RemoveAll();
    m_PortList.m_RemoveAll();
    m_InterruptList.m_RemoveAll();
    m_DmaList.m_RemoveAll();
    m_MessageInterruptList.m_RemoveAll();
}

NTSTATUS CTfFunctionalDevice::m_StartDeviceResources(PCM_RESOURCE_LIST pRawResources,
                                                     PCM_RESOURCE_LIST pTranslatedResources)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_StartDeviceResources");
    m_EmptyResourceLists();

    // A device without resources (USB) has empty lists.
    PCM_PARTIAL_RESOURCE_DESCRIPTOR pTranslated;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR pRaw;
    ULONG n;

    for (n = 1; (pTranslated = TfFindResource(pTranslatedResources, CmResourceTypePort, TF_PORT_FLAGS_A,
                                              TF_PORT_FLAGS_B, n)) != NULL;
         n++) {
        pRaw = TfFindResource(pRawResources, CmResourceTypePort, TF_PORT_FLAGS_A, TF_PORT_FLAGS_B, n);
        if (pRaw == NULL) goto Failure;
        PTF_PORT_RESOURCE pPort = (PTF_PORT_RESOURCE)m_PortList.m_AddNew(sizeof(TF_PORT_RESOURCE));
        if (pPort == NULL) goto Failure;
        pPort->ulTranslatedStart = pTranslated->u.Port.Start.LowPart;
        pPort->ulTranslatedLength = pTranslated->u.Port.Length;
        pPort->ulRawStart = pRaw->u.Port.Start.LowPart;
    }

    for (n = 1; (pTranslated = TfFindResource(pTranslatedResources, CmResourceTypeMemory, TF_MEMORY_FLAGS_A,
                                              TF_MEMORY_FLAGS_B, n)) != NULL;
         n++) {
        pRaw = TfFindResource(pRawResources, CmResourceTypeMemory, TF_MEMORY_FLAGS_A, TF_MEMORY_FLAGS_B, n);
        if (pRaw == NULL) goto Failure;
        PVOID pMapped = MmMapIoSpace(pTranslated->u.Memory.Start, pTranslated->u.Memory.Length, MmNonCached);
        if (pMapped == NULL) goto Failure;
        PTF_MEMORY_RESOURCE pMemory = (PTF_MEMORY_RESOURCE)m_MemoryList.m_AddNew(sizeof(TF_MEMORY_RESOURCE));
        if (pMemory == NULL) {
            MmUnmapIoSpace(pMapped, pTranslated->u.Memory.Length);
            goto Failure;
        }
        pMemory->pMappedAddress = pMapped;
        pMemory->ulLength = pTranslated->u.Memory.Length;
        pMemory->ulRawStart = pRaw->u.Memory.Start.LowPart;
    }

    for (n = 1; (pTranslated = TfFindResource(pTranslatedResources, CmResourceTypeInterrupt,
                                              TF_INTERRUPT_FLAGS_LINE, TF_INTERRUPT_FLAGS_LINE, n)) != NULL;
         n++) {
        pRaw = TfFindResource(pRawResources, CmResourceTypeInterrupt, TF_INTERRUPT_FLAGS_LINE,
                              TF_INTERRUPT_FLAGS_LINE, n);
        if (pRaw == NULL) goto Failure;
        PTF_INTERRUPT_RESOURCE pInterrupt =
            (PTF_INTERRUPT_RESOURCE)m_InterruptList.m_AddNew(sizeof(TF_INTERRUPT_RESOURCE));
        if (pInterrupt == NULL) goto Failure;
        pInterrupt->ulTranslatedLevel = pTranslated->u.Interrupt.Level;
        pInterrupt->ulTranslatedVector = pTranslated->u.Interrupt.Vector;
        pInterrupt->TranslatedAffinity = pTranslated->u.Interrupt.Affinity;
        pInterrupt->ulRawVector = pRaw->u.Interrupt.Vector;
    }

    for (n = 1; (pTranslated = TfFindResource(pTranslatedResources, CmResourceTypeInterrupt,
                                              TF_INTERRUPT_FLAGS_MESSAGE, TF_INTERRUPT_FLAGS_MESSAGE, n)) != NULL;
         n++) {
        PTF_MESSAGE_INTERRUPT_RESOURCE pMessage = (PTF_MESSAGE_INTERRUPT_RESOURCE)m_MessageInterruptList.m_AddNew(
            sizeof(TF_MESSAGE_INTERRUPT_RESOURCE));
        if (pMessage == NULL) goto Failure;
        pMessage->usMessageCount = pTranslated->u.MessageInterrupt.Raw.MessageCount;
        pMessage->ulRawVector = pTranslated->u.MessageInterrupt.Raw.Vector;
        pMessage->RawAffinity = pTranslated->u.MessageInterrupt.Raw.Affinity;
        pMessage->ulTranslatedLevel = pTranslated->u.MessageInterrupt.Translated.Level;
        pMessage->ulTranslatedVector = pTranslated->u.MessageInterrupt.Translated.Vector;
        pMessage->TranslatedAffinity = pTranslated->u.MessageInterrupt.Translated.Affinity;
    }

    for (n = 1; (pTranslated = TfFindResource(pTranslatedResources, CmResourceTypeDma, TF_DMA_FLAGS,
                                              TF_DMA_FLAGS, n)) != NULL;
         n++) {
        PTF_DMA_RESOURCE pDma = (PTF_DMA_RESOURCE)m_DmaList.m_AddNew(sizeof(TF_DMA_RESOURCE));
        if (pDma == NULL) goto Failure;
        pDma->ulChannel = pTranslated->u.Dma.Channel;
        pDma->ulPort = pTranslated->u.Dma.Port;
    }

    Log.m_Success();
    return STATUS_SUCCESS;

Failure:
    m_EmptyResourceLists();
    Log.m_Fail("resource list");
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN CTfFunctionalDevice::m_CreateAllChildDevices(HANDLE hDeviceKey)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_CreateAllChildDevices");
    ULONG ulNumber = m_pRegistrySet != NULL ? m_pRegistrySet->m_GetNumberChildDevices() : 0;

    m_ChildrenLock.m_Acquire();
    BOOLEAN bDone = m_ulChildCount == ulNumber;
    m_ChildrenLock.m_Release();
    if (bDone) {
        Log.m_Success();
        return TRUE;
    }

    ULONG ulIndex = m_pRegistrySet->m_ChildrenGetIndex() ? m_ulNameIndex : 0;
    CTfString ValueName(PagedPool, TF_CHILD_VALUE_DO_NOT_CREATE);
    CTfPointerList Created;  // the children of this call, not owned
    Created.m_Init(NonPagedPool);
    for (ULONG i = 1; i <= ulNumber; i++) {
        if (!m_CreateChildDevice(hDeviceKey, i, ulIndex, ValueName, &Created)) {
            // Every child of this call goes, with its record.
            m_DeleteCreatedChildDevices(&Created);
            Log.m_Fail("child device");
            return FALSE;
        }
    }
    Created.m_FreeNodes();
    Log.m_Success();
    return TRUE;
}

// Creates the child of subkey "Child<ulChild>" (unless its DoNotCreateAtStartup is 1), adds it to
// *pCreated and lists it among the children. FALSE when the subkey is missing or the child could
// not be created or listed; a child already in *pCreated is left to the caller.
BOOLEAN CTfFunctionalDevice::m_CreateChildDevice(HANDLE hDeviceKey, ULONG ulChild, ULONG ulIndex,
                                                 const CTfString& DoNotCreateName, CTfPointerList* pCreated)
{
    CTfString KeyName(PagedPool, TF_CHILD_KEY_PREFIX);
    HANDLE hChildKey = NULL;
    if (!NT_SUCCESS(KeyName.m_AppendNumber(ulChild, 10)) ||
        !CTfRegistry::m_OpenSubKey(hDeviceKey, KeyName, &hChildKey, KEY_READ, FALSE)) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_CreateAllChildDevices - Child%u missing", ulChild);
        return FALSE;
    }
    ULONG ulDoNotCreate = 0;
    if (CTfRegistry::m_QueryDword(hChildKey, DoNotCreateName, &ulDoNotCreate) && ulDoNotCreate == 1) {
        CTfRegistry::m_CloseKey(hChildKey);
        return TRUE;
    }

    BOOLEAN bConstructed = FALSE;
    CTfPhysicalDevice* pChild =
        new (NonPagedPool) CTfPhysicalDevice(m_pDriverObject, this, hChildKey, ulIndex, &bConstructed);
    CTfRegistry::m_CloseKey(hChildKey);
    if (pChild == NULL || !bConstructed || !pCreated->m_AddTail(pChild)) {
        delete pChild;
        return FALSE;
    }
    return m_ListChildDevice(pChild);
}

// Adds a record of the child to the children list.
BOOLEAN CTfFunctionalDevice::m_ListChildDevice(CTfPhysicalDevice* pChild)
{
    PTF_CHILD_RECORD pRecord = (PTF_CHILD_RECORD)AllocateTrackedPool(NonPagedPool, sizeof(TF_CHILD_RECORD));
    if (pRecord == NULL) {
        return FALSE;
    }
    RtlZeroMemory(pRecord, sizeof(TF_CHILD_RECORD));
    pRecord->pChildDeviceObject = pChild->m_GetDeviceObject();
    pRecord->ulContextId = pChild->m_GetContextID();

    m_ChildrenLock.m_Acquire();
    BOOLEAN bAdded = m_ChildList.m_AddTail(pRecord);
    if (bAdded) m_ulChildCount++;
    m_ChildrenLock.m_Release();
    if (!bAdded) {
        FreeTrackedPool(pRecord);
    }
    return bAdded;
}

// Deletes the children of *pCreated, and the record of each that was listed.
void CTfFunctionalDevice::m_DeleteCreatedChildDevices(CTfPointerList* pCreated)
{
    for (CTfPhysicalDevice* pChild = (CTfPhysicalDevice*)pCreated->m_RemoveHead(); pChild != NULL;
         pChild = (CTfPhysicalDevice*)pCreated->m_RemoveHead()) {
        PDEVICE_OBJECT pChildObject = pChild->m_GetDeviceObject();
        PTF_CHILD_RECORD pFound = NULL;
        m_ChildrenLock.m_Acquire();
        for (PTF_CHILD_RECORD pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetFirst(); pRecord != NULL;
             pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetNext()) {
            if (pRecord->pChildDeviceObject == pChildObject) {
                pFound = pRecord;
                break;
            }
        }
        if (pFound != NULL) {
            m_ChildList.m_Remove(pFound);
            m_ulChildCount--;
        }
        m_ChildrenLock.m_Release();
        if (pFound != NULL) FreeTrackedPool(pFound);
        delete pChild;
    }
}

void CTfFunctionalDevice::m_DeleteAllChildDevices()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_DeleteAllChildDevices");
    for (;;) {
        m_ChildrenLock.m_Acquire();
        PTF_CHILD_RECORD pRecord = (PTF_CHILD_RECORD)m_ChildList.m_RemoveHead();
        if (pRecord != NULL) m_ulChildCount--;
        m_ChildrenLock.m_Release();
        if (pRecord == NULL) break;

        // The object leaves the holder before it goes: deleting it may free the device object
        // and with it the extension that holds the holder.
        CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pRecord->pChildDeviceObject);
        CTfObject* pChild = pHolder != NULL ? pHolder->m_Detach(FALSE) : NULL;
        if (pChild != NULL) delete pChild;
        FreeTrackedPool(pRecord);
    }
    Log.m_Success();
}

BOOLEAN CTfFunctionalDevice::m_IsChildDevice(PDEVICE_OBJECT pDeviceObject)
{
    BOOLEAN bFound = FALSE;
    m_ChildrenLock.m_Acquire();
    for (PTF_CHILD_RECORD pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetFirst(); pRecord != NULL;
         pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetNext()) {
        if (pRecord->pChildDeviceObject == pDeviceObject) {
            bFound = TRUE;
            break;
        }
    }
    m_ChildrenLock.m_Release();
    return bFound;
}

NTSTATUS CTfFunctionalDevice::HandleBusRelations(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::HandleBusRelations");
    PDEVICE_RELATIONS pOld = (PDEVICE_RELATIONS)pIrp->IoStatus.Information;
    ULONG ulOld = pOld != NULL ? pOld->Count : 0;

    m_ChildrenLock.m_Acquire();
    ULONG ulTotal = ulOld + m_ulChildCount;
    SIZE_T cbSize = sizeof(DEVICE_RELATIONS) + (ulTotal > 0 ? ulTotal - 1 : 0) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS pNew = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(NonPagedPool, cbSize, TF_TAG_BUS_RELATIONS);
    if (pNew == NULL) {
        m_ChildrenLock.m_Release();
        Log.m_Fail("no memory");
        return TfCompleteRequest(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(pNew, cbSize);
    for (ULONG i = 0; i < ulOld; i++) pNew->Objects[i] = pOld->Objects[i];

    ULONG ulCount = ulOld;
    BOOLEAN bComplete = TRUE;
    PTF_CHILD_RECORD pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetFirst();
    for (ULONG i = 0; i < m_ulChildCount; i++) {
        if (pRecord == NULL) {
            bComplete = FALSE;
            break;
        }
        ObReferenceObject(pRecord->pChildDeviceObject);
        pNew->Objects[ulCount++] = pRecord->pChildDeviceObject;
        pRecord = (PTF_CHILD_RECORD)m_ChildList.m_GetNext();
    }
    m_ChildrenLock.m_Release();

    if (!bComplete) {
        for (ULONG i = ulOld; i < ulCount; i++) ObDereferenceObject(pNew->Objects[i]);
        ExFreePool(pNew);
        pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        Log.m_Fail("child list");
        return TfCallDriverAsIs(pIrp, m_pLowerDeviceObject);
    }

    pNew->Count = ulCount;
    if (pOld != NULL) ExFreePool(pOld);
    pIrp->IoStatus.Information = (ULONG_PTR)pNew;
    Log.m_Success();
    return TfCallDriver(pIrp, m_pLowerDeviceObject, STATUS_SUCCESS);
}

BOOLEAN CTfFunctionalDevice::m_QueryCallbackObjectOwner(PDEVICE_OBJECT* ppPhysicalDeviceObject)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_QueryCallbackObjectOwner");
    if (ppPhysicalDeviceObject == NULL) {
        Log.m_Fail("no out argument");
        return FALSE;
    }
    *ppPhysicalDeviceObject = NULL;

    PDEVICE_OBJECT pAnswer = NULL;
    CTfCallbackObject CallbackObject;
    if (CallbackObject.m_Create(g_TfCallbackObjectGuid, NULL, NULL)) {
        CallbackObject.m_Notify(&pAnswer, NULL);
        CallbackObject.m_Delete();
    }
    if (pAnswer == NULL) {
        Log.m_Fail("no owner");
        return FALSE;
    }
    *ppPhysicalDeviceObject = pAnswer;
    Log.m_Success();
    return TRUE;
}
