// The framework's child device object (PDO).
#include "tfphysicaldevice.h"

#include <wmilib.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfdeviceregistrysets.h"
#include "tffunctionaldevice.h"
#include "tfmemorytracker.h"
#include "tfrequest.h"

CTfPhysicalDevice::CTfPhysicalDevice(PDRIVER_OBJECT pDriverObject, CTfFunctionalDevice* pParent, HANDLE hChildKey,
                                     ULONG ulParentIndex, PBOOLEAN pbSuccess)
    : m_pRegistrySet(NULL),
      m_ulIoServerValue(0),
      m_ulParentIndex(ulParentIndex),
      m_pParent(pParent),
      m_bDeleted(FALSE),
      m_pReadClientRecord(NULL),
      m_ulPnpState(TF_PDO_STATE_CONSTRUCTED),
      m_DevicePowerState(PowerDeviceUnspecified),
      m_pDeviceObject(NULL),
      m_pParentDeviceObject(pParent != NULL ? pParent->m_GetDeviceObject() : NULL),
      m_DeviceName(NonPagedPool),
      m_LinkName(NonPagedPool),
      m_PartnerName(NonPagedPool)
{
    PASSIVE_CODE();
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::CTfPhysicalDevice IN");
    *pbSuccess = FALSE;
    m_ucDeviceKind = TF_DEVICE_KIND_PHYSICAL;
    for (ULONG ulIndex = 0; ulIndex < PowerSystemMaximum; ulIndex++) {
        m_aDeviceStates[ulIndex] = PowerDeviceUnspecified;
    }
    RtlZeroMemory(m_aPnpStatePairs, sizeof(m_aPnpStatePairs));

    m_pRegistrySet = new (NonPagedPool) CTfPhysicalDeviceRegistryInformationSet(hChildKey, TRUE);
    if (m_pRegistrySet == NULL || m_pRegistrySet->m_IsInvalid()) {
        goto Failure;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::CTfPhysicalDevice CTfPhysicalDeviceRegistryInformationSet SUCCESS");

    {
        if (!NT_SUCCESS(m_DeviceName.m_Assign(*m_pRegistrySet->m_GetDeviceName())) ||
            !NT_SUCCESS(m_LinkName.m_Assign(*m_pRegistrySet->m_GetSymbolicLinkName()))) {
            goto Failure;
        }
        BOOLEAN bNamed = m_DeviceName.m_GetLength() != 0;
        BOOLEAN bLinked = m_LinkName.m_GetLength() != 0;
        if (m_ulParentIndex != 0) {
            if (bNamed && !NT_SUCCESS(m_DeviceName.m_AppendNumber(m_ulParentIndex, 10))) {
                goto Failure;
            }
            if (bLinked && !NT_SUCCESS(m_LinkName.m_AppendNumber(m_ulParentIndex, 10))) {
                goto Failure;
            }
        }
        if (!CTfDevice::m_CreateDevice(pDriverObject, bNamed ? m_DeviceName.m_GetWideBuffer() : NULL,
                                       (DEVICE_TYPE)m_pRegistrySet->m_GetTypeOfDevice(),
                                       bLinked ? m_LinkName.m_GetWideBuffer() : NULL,
                                       m_pRegistrySet->m_GetDeviceIsExclusive() != 0, this, &m_pDeviceObject)) {
            m_pDeviceObject = NULL;
            goto Failure;
        }
        if (!bLinked) {
            m_LinkName.m_Free();
        }
        TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::CTfPhysicalDevice m_CreateDeviceObjectAndSymbolicLink SUCCESS");

        m_pDeviceObject->Flags |= m_pRegistrySet->m_GetIoType();
        m_pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        if (m_pParentDeviceObject != NULL && (m_pParentDeviceObject->Flags & DO_POWER_PAGABLE)) {
            m_pDeviceObject->Flags |= DO_POWER_PAGABLE;
        }
        m_pPhysicalDeviceObject = m_pDeviceObject;
    }
    *pbSuccess = TRUE;
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::CTfPhysicalDevice OUT SUCCESS");
    return;

Failure:
    delete m_pRegistrySet;
    m_pRegistrySet = NULL;
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::CTfPhysicalDevice OUT ERROR");
}

CTfPhysicalDevice::~CTfPhysicalDevice()
{
    PASSIVE_CODE();
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::~CTfPhysicalDevice IN");
    m_ReplaceReadClientRecord(NULL);
    if (m_pDeviceObject != NULL) {
        CTfDevice::m_DeleteDevice(m_pDeviceObject, m_LinkName.m_GetLength() != 0 ? m_LinkName.m_GetWideBuffer() : NULL);
        m_pDeviceObject = NULL;
        m_pPhysicalDeviceObject = NULL;
    }
    delete m_pRegistrySet;
    m_pRegistrySet = NULL;
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::~CTfPhysicalDevice OUT");
}

PDEVICE_OBJECT CTfPhysicalDevice::m_GetDeviceObject()
{
    return m_pDeviceObject;
}

ULONG CTfPhysicalDevice::m_GetContextID() const
{
    return m_pRegistrySet != NULL ? m_pRegistrySet->m_GetContextID() : 0;
}

DEVICE_POWER_STATE CTfPhysicalDevice::m_GetDeviceStateFor(SYSTEM_POWER_STATE SystemState) const
{
    if (SystemState < PowerSystemWorking || SystemState > PowerSystemShutdown) {
        return PowerDeviceUnspecified;
    }
    return m_aDeviceStates[SystemState];
}

// ----- PnP ---------------------------------------------------------------------------------------

NTSTATUS CTfPhysicalDevice::m_Dispatch_Pnp(PIRP pIrp)
{
    PAGED_CODE();  // plug and play requests come at PASSIVE_LEVEL
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Pnp");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::m_Dispatch_Pnp - Minor Function : %s\n",
               CTfDebugManager::m_GetPnpMinorName(pStack->MinorFunction));
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        m_StartDevice(pIrp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        m_ulPnpState = TF_PDO_STATE_REMOVE_PENDING;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        m_RemoveDevice(pIrp);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        m_ulPnpState = TF_PDO_STATE_STARTED;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        m_ulPnpState = TF_PDO_STATE_STOPPED;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        m_ulPnpState = TF_PDO_STATE_STOP_PENDING;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        m_QueryDeviceRelations(pIrp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        m_QueryCapabilities(pIrp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        m_QueryDeviceText(pIrp);
        break;
    case IRP_MN_QUERY_ID:
        m_QueryId(pIrp);
        break;
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
        pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        m_QueryPnpDeviceState(pIrp);
        break;
    case IRP_MN_QUERY_BUS_INFORMATION:
        m_QueryBusInformation(pIrp);
        break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        m_DeviceUsageNotification(pIrp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        m_ulPnpState = TF_PDO_STATE_SURPRISE_REMOVED;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    // A bus driver completes every PnP request of its children, untouched ones with their status.
    NTSTATUS Status = pIrp->IoStatus.Status;
    TfCompleteRequestAsIs(pIrp);
    Log.m_Result(Status);
    return Status;
}

void CTfPhysicalDevice::m_StartDevice(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_StartDevice");
    m_ulPnpState = TF_PDO_STATE_STARTED;
    POWER_STATE State;
    State.DeviceState = PowerDeviceD0;
    PoSetPowerState(m_pDeviceObject, DevicePowerState, State);
    m_DevicePowerState = PowerDeviceD0;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_RemoveDevice(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_RemoveDevice");
    m_ReplaceReadClientRecord(NULL);
    m_ulPnpState = TF_PDO_STATE_REMOVED;
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - waiting for remove lock");
    m_GetRemoveGate()->m_CloseAndWait(FALSE);
    m_GetRemoveGate()->m_SetOpen(TRUE);
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - after remove lock");
    // Still listed by the parent: only stopped, it may be started again.
    if (m_pParent == NULL || !m_pParent->m_IsChildDevice(m_pDeviceObject)) {
        m_bDeleted = TRUE;
    }
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_QueryDeviceRelations(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryDeviceRelations");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        Log.m_Success();
        return;
    }
    PDEVICE_RELATIONS pRelations =
        (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TF_TAG_PNP_ANSWER);
    if (pRelations == NULL) {
        pIrp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Log.m_Fail("no memory");
        return;
    }
    pRelations->Count = 1;
    pRelations->Objects[0] = m_pDeviceObject;
    ObReferenceObject(m_pDeviceObject);
    pIrp->IoStatus.Information = (ULONG_PTR)pRelations;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_QueryCapabilities(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryCapabilities");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_CAPABILITIES pCaps = pStack->Parameters.DeviceCapabilities.Capabilities;
    if (pCaps == NULL || pCaps->Version != 1 || pCaps->Size != sizeof(DEVICE_CAPABILITIES)) {
        pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        Log.m_Fail("version or size");
        return;
    }
    CTfPhysicalDeviceRegistryInformationSet* pSet = m_pRegistrySet;
    pCaps->LockSupported = pSet->m_GetLockSupported() != 0;
    pCaps->EjectSupported = pSet->m_GetEjectSupported() != 0;
    pCaps->Removable = pSet->m_GetRemovable() != 0;
    pCaps->DockDevice = pSet->m_GetDockDevice() != 0;
    pCaps->UniqueID = pSet->m_GetUniqueID() != 0;
    pCaps->SilentInstall = pSet->m_GetSilentInstall() != 0;
    pCaps->RawDeviceOK = pSet->m_GetRawDeviceOK() != 0;
    pCaps->SurpriseRemovalOK = pSet->m_GetSurpriseRemovalOK() != 0;
    pCaps->WakeFromD0 = pSet->m_GetWakeFromD0() != 0;
    pCaps->WakeFromD1 = pSet->m_GetWakeFromD1() != 0;
    pCaps->WakeFromD2 = pSet->m_GetWakeFromD2() != 0;
    pCaps->WakeFromD3 = pSet->m_GetWakeFromD3() != 0;
    pCaps->HardwareDisabled = pSet->m_GetHardwareDisabled() != 0;
    pCaps->Address = pSet->m_GetAddress();
    pCaps->UINumber = pSet->m_GetUINumber();
    for (ULONG ulState = PowerSystemWorking; ulState <= PowerSystemShutdown; ulState++) {
        DEVICE_POWER_STATE DeviceState = (DEVICE_POWER_STATE)pSet->m_GetDeviceState(ulState);
        pCaps->DeviceState[ulState] = DeviceState;
        m_aDeviceStates[ulState] = DeviceState;
    }
    pCaps->SystemWake = (SYSTEM_POWER_STATE)pSet->m_GetSystemWake();
    pCaps->DeviceWake = (DEVICE_POWER_STATE)pSet->m_GetDeviceWake();
    pCaps->D1Latency = pSet->m_GetD1Latency();
    pCaps->D2Latency = pSet->m_GetD2Latency();
    pCaps->D3Latency = pSet->m_GetD3Latency();
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

PWCHAR CTfPhysicalDevice::sm_CopyForPnp(CTfString* pString, ULONG ulExtraTerminators)
{
    ULONG cbLength = pString->m_GetLength();
    PWCHAR pszSource = cbLength != 0 ? pString->m_GetWideBuffer() : NULL;
    if (cbLength != 0 && pszSource == NULL) {
        return NULL;
    }
    SIZE_T cbTotal = (SIZE_T)cbLength + (1 + ulExtraTerminators) * sizeof(WCHAR);
    // Plug and Play frees what it receives with ExFreePool: a plain pool block, never a tracked one.
    PWCHAR pszCopy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, cbTotal, TF_TAG_PNP_ANSWER);
    if (pszCopy == NULL) {
        return NULL;
    }
    RtlZeroMemory(pszCopy, cbTotal);
    if (cbLength != 0) {
        RtlCopyMemory(pszCopy, pszSource, cbLength);
    }
    return pszCopy;
}

void CTfPhysicalDevice::m_QueryDeviceText(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryDeviceText");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    CTfString* pText = NULL;
    switch (pStack->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        pText = m_pRegistrySet->m_GetDeviceTextDescription();
        break;
    case DeviceTextLocationInformation:
        if (m_pRegistrySet->m_GetHandleDeviceTextLocationInformation() != 0) {
            pText = m_pRegistrySet->m_GetDeviceTextLocationInformation();
        }
        break;
    default:
        break;
    }
    if (pText == NULL) {
        Log.m_Success();
        return;
    }
    PWCHAR pszCopy = sm_CopyForPnp(pText, 0);
    if (pszCopy == NULL) {
        pIrp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Log.m_Fail("no memory");
        return;
    }
    pIrp->IoStatus.Information = (ULONG_PTR)pszCopy;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_QueryId(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryId");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    CTfString* pId = NULL;
    ULONG ulExtraTerminators = 1;  // hardware, compatible and instance IDs: a one-string MULTI_SZ
    switch (pStack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        pId = m_pRegistrySet->m_GetBusQueryDeviceID();
        ulExtraTerminators = 0;
        break;
    case BusQueryHardwareIDs:
        if (m_pRegistrySet->m_GetHandleBusQueryHardwareIDs() != 0) {
            pId = m_pRegistrySet->m_GetBusQueryHardwareIDs();
        }
        break;
    case BusQueryCompatibleIDs:
        if (m_pRegistrySet->m_GetHandleBusQueryCompatibleIDs() != 0) {
            pId = m_pRegistrySet->m_GetBusQueryCompatibleIDs();
        }
        break;
    case BusQueryInstanceID:
        if (m_pRegistrySet->m_GetHandleBusQueryInstanceID() != 0) {
            pId = m_pRegistrySet->m_GetBusQueryInstanceID();
        }
        break;
    default:
        break;
    }
    if (pId == NULL) {
        Log.m_Success();
        return;
    }
    PWCHAR pszCopy = sm_CopyForPnp(pId, ulExtraTerminators);
    if (pszCopy == NULL) {
        pIrp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Log.m_Fail("no memory");
        return;
    }
    pIrp->IoStatus.Information = (ULONG_PTR)pszCopy;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_QueryPnpDeviceState(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryPnpDeviceState");
    static const ULONG s_aulBits[TF_PNP_STATE_PAIR_COUNT] = {
        PNP_DEVICE_DISABLED, PNP_DEVICE_DONT_DISPLAY_IN_UI, PNP_DEVICE_FAILED,
        PNP_DEVICE_NOT_DISABLEABLE, PNP_DEVICE_REMOVED, PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED};
    BOOLEAN bAnyPending = FALSE;
    ULONG_PTR ulState = pIrp->IoStatus.Information;
    for (ULONG ulIndex = 0; ulIndex < TF_PNP_STATE_PAIR_COUNT; ulIndex++) {
        if (!m_aPnpStatePairs[ulIndex].ucPending) {
            continue;
        }
        bAnyPending = TRUE;
        // Each pair changes only its own bit.
        if (m_aPnpStatePairs[ulIndex].ucValue) {
            ulState |= s_aulBits[ulIndex];
        } else {
            ulState &= ~(ULONG_PTR)s_aulBits[ulIndex];
        }
        m_aPnpStatePairs[ulIndex].ucPending = 0;
    }
    if (bAnyPending) {
        pIrp->IoStatus.Information = ulState;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
    }
    Log.m_Success();
}

void CTfPhysicalDevice::m_QueryBusInformation(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryBusInformation");
    PPNP_BUS_INFORMATION pInformation =
        (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), TF_TAG_PNP_ANSWER);
    if (pInformation == NULL) {
        pIrp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Log.m_Fail("no memory");
        return;
    }
    pInformation->BusTypeGuid = m_pRegistrySet->m_GetBusTypeGuid();
    pInformation->LegacyBusType = m_pRegistrySet->m_GetLegacyBusType();
    pInformation->BusNumber = m_pRegistrySet->m_GetBusNumber();
    pIrp->IoStatus.Information = (ULONG_PTR)pInformation;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    Log.m_Success();
}

void CTfPhysicalDevice::m_DeviceUsageNotification(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_DeviceUsageNotification");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    DEVICE_USAGE_NOTIFICATION_TYPE Type = pStack->Parameters.UsageNotification.Type;
    BOOLEAN bKnownType = Type == DeviceUsageTypePaging || Type == DeviceUsageTypeHibernation ||
                         Type == DeviceUsageTypeDumpFile;
    pIrp->IoStatus.Status =
        (bKnownType && !pStack->Parameters.UsageNotification.InPath) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    Log.m_Success();
}

// ----- power -------------------------------------------------------------------------------------

NTSTATUS CTfPhysicalDevice::m_Dispatch_Power(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Power");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    TfDebugLog(TF_LOG_FLOW, "CTfPhysicalDevice::m_Dispatch_Power - Minor Function : %s\n",
               CTfDebugManager::m_GetPowerMinorName(pStack->MinorFunction));
    NTSTATUS Status;
    switch (pStack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        PoStartNextPowerIrp(pIrp);
        Status = TfCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
        break;
    case IRP_MN_POWER_SEQUENCE:
        PoStartNextPowerIrp(pIrp);
        Status = TfCompleteRequest(pIrp, STATUS_NOT_IMPLEMENTED);
        break;
    case IRP_MN_SET_POWER:
        Status = m_SetPower(pIrp);
        break;
    case IRP_MN_QUERY_POWER:
        Status = m_QueryPower(pIrp);
        break;
    default:
        PoStartNextPowerIrp(pIrp);
        Status = pIrp->IoStatus.Status;
        TfCompleteRequestAsIs(pIrp);
        break;
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfPhysicalDevice::m_SetPower(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_SetPower");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    POWER_STATE_TYPE Type = pStack->Parameters.Power.Type;
    if (Type != SystemPowerState && Type != DevicePowerState) {
        PoStartNextPowerIrp(pIrp);
        Log.m_Fail("power type %u", (ULONG)Type);
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    CTfReferenceGate* pGate = m_GetRemoveGate();
    if (!pGate->m_Acquire()) {
        PoStartNextPowerIrp(pIrp);
        Log.m_Fail("removed");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }
    if (Type == DevicePowerState) {
        PoSetPowerState(m_pDeviceObject, DevicePowerState, pStack->Parameters.Power.State);
        m_DevicePowerState = pStack->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(pIrp);
    NTSTATUS Status = TfCompleteRequest(pIrp, STATUS_SUCCESS);
    pGate->m_Release();
    Log.m_Success();
    return Status;
}

NTSTATUS CTfPhysicalDevice::m_QueryPower(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryPower");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->Parameters.Power.Type == SystemPowerState) {
        CTfReferenceGate* pGate = m_GetRemoveGate();
        if (!pGate->m_Acquire()) {
            PoStartNextPowerIrp(pIrp);
            Log.m_Fail("removed");
            return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
        }
        PoStartNextPowerIrp(pIrp);
        NTSTATUS Status = TfCompleteRequest(pIrp, STATUS_SUCCESS);
        pGate->m_Release();
        Log.m_Success();
        return Status;
    }
    PoStartNextPowerIrp(pIrp);
    if (pStack->Parameters.Power.Type == DevicePowerState) {
        Log.m_Success();
        return TfCompleteRequest(pIrp, STATUS_SUCCESS);
    }
    Log.m_Fail("power type");
    return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
}

// ----- requests that complete at once ------------------------------------------------------------

NTSTATUS CTfPhysicalDevice::m_Dispatch_Create(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Create");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_Cleanup(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Cleanup");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_Close(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Close");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_FlushBuffers(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_FlushBuffers");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_Shutdown(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Shutdown");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

// ----- read and write ----------------------------------------------------------------------------

NTSTATUS CTfPhysicalDevice::m_Dispatch_Read(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Read");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulLength = pStack->Parameters.Read.Length;
    // The data paths use the system buffer only.
    if (ulLength != 0 && pIrp->AssociatedIrp.SystemBuffer == NULL) {
        Log.m_Fail("no system buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    }
    switch (m_pRegistrySet->m_GetReadServerType()) {
    case TF_READ_SERVER_CLIENT_RECORD: {
        m_ReadClientLock.m_Acquire();
        BOOLEAN bTaken = m_pReadClientRecord != NULL &&
                         m_pReadClientRecord->m_Get(pIrp->AssociatedIrp.SystemBuffer, ulLength);
        m_ReadClientLock.m_Release();
        if (!bTaken) {
            Log.m_Fail("no record of that length");
            return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
        }
        Log.m_Success();
        return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, ulLength);
    }
    case TF_READ_SERVER_PARENT_QUEUE: {
        CTfReferenceGate* pGate = m_GetRemoveGate();
        if (!pGate->m_Acquire()) {
            Log.m_Fail("removed");
            return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
        }
        NTSTATUS Status = m_pParent != NULL ? m_pParent->m_Dispatch_Read(pIrp)
                                            : TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
        pGate->m_Release();
        Log.m_Result(Status);
        return Status;
    }
    default:
        Log.m_Fail("no read server");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
}

BOOLEAN CTfPhysicalDevice::m_HandToParent(ULONG ulLeadingValue, CTfBuffer* pBuffer)
{
    CTfReferenceGate* pGate = m_GetRemoveGate();
    if (!pGate->m_Acquire()) {
        return FALSE;
    }
    BOOLEAN bHanded = m_pParent != NULL && m_pParent->m_CallChildWrite(ulLeadingValue, pBuffer);
    pGate->m_Release();
    return bHanded;
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_Write(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Write");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulLength = pStack->Parameters.Write.Length;
    if (ulLength == 0) {
        Log.m_Success();
        return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, 0);
    }
    PUCHAR pucData = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (pucData == NULL) {
        Log.m_Fail("no system buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    }

    ULONG ulWriteType = m_pRegistrySet->m_GetIncomingWriteType();
    if (ulWriteType == TF_INCOMING_WRITE_PARENT_QUEUE) {
        CTfReferenceGate* pGate = m_GetRemoveGate();
        if (!pGate->m_Acquire()) {
            Log.m_Fail("removed");
            return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
        }
        NTSTATUS Status = m_pParent != NULL ? m_pParent->m_Dispatch_Write(pIrp)
                                            : TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
        pGate->m_Release();
        Log.m_Result(Status);
        return Status;
    }
    if (ulWriteType != TF_INCOMING_WRITE_COPY && ulWriteType != TF_INCOMING_WRITE_LEAD_VALUE) {
        // No consumer configured: the data is accepted and dropped.
        Log.m_Success();
        return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, ulLength);
    }

    ULONG ulLeadingValue = 0;
    PUCHAR pucPayload = pucData;
    ULONG ulPayloadLength = ulLength;
    if (ulWriteType == TF_INCOMING_WRITE_LEAD_VALUE) {
        if (ulLength < sizeof(ULONG)) {
            Log.m_Fail("shorter than the leading value");
            return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
        }
        ulLeadingValue = (ULONG)pucData[0] | ((ULONG)pucData[1] << 8) | ((ULONG)pucData[2] << 16) |
                         ((ULONG)pucData[3] << 24);
        pucPayload += sizeof(ULONG);
        ulPayloadLength -= sizeof(ULONG);
    }
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    if (pBuffer == NULL || (ulPayloadLength != 0 && !pBuffer->m_Assign(pucPayload, ulPayloadLength))) {
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        Log.m_Fail("no memory");
        return TfCompleteRequestWithInformation(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    if (!m_HandToParent(ulLeadingValue, pBuffer)) {
        // Nobody took the data: say so rather than report it written.
        pBuffer->m_Delete();
        Log.m_Fail("parent object gone");
        return TfCompleteRequestWithInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
    }
    Log.m_Success();
    return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, ulLength);
}

// ----- control requests --------------------------------------------------------------------------

NTSTATUS CTfPhysicalDevice::m_Dispatch_Device_Control(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_Device_Control");
    if (m_ulPnpState != TF_PDO_STATE_STARTED) {
        Log.m_Fail("not started");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }
    CTfReferenceGate* pGate = m_GetRemoveGate();
    if (!pGate->m_Acquire()) {
        Log.m_Fail("removed");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }
    NTSTATUS Status = m_pParent != NULL ? m_pParent->m_Dispatch_Device_Control(pIrp)
                                        : TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    pGate->m_Release();
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_InternalDeviceControl(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_InternalDeviceControl");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TF_REGISTER_READ_CLIENT:
        return m_RegisterReadClient(pIrp);
    case IOCTL_TF_QUERY_IO_SERVER:
        return m_QueryIoServer(pIrp);
    default:
        break;
    }
    CTfReferenceGate* pGate = m_GetRemoveGate();
    if (!pGate->m_Acquire()) {
        Log.m_Fail("removed");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }
    NTSTATUS Status = m_pParent != NULL ? m_pParent->m_Dispatch_InternalDeviceControl(pIrp)
                                        : TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    pGate->m_Release();
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfPhysicalDevice::m_Dispatch_SystemControl(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_Dispatch_SystemControl");
    // A child provides no data blocks of its own.
    WMILIB_CONTEXT Context;
    RtlZeroMemory(&Context, sizeof(Context));
    SYSCTL_IRP_DISPOSITION Disposition = IrpNotCompleted;
    NTSTATUS Status = WmiSystemControl(&Context, m_pDeviceObject, pIrp, &Disposition);
    if (Disposition != IrpProcessed) {
        Status = pIrp->IoStatus.Status;
        TfCompleteRequestAsIs(pIrp);
    }
    Log.m_Result(Status);
    return Status;
}

// ----- the I/O server ----------------------------------------------------------------------------

void CTfPhysicalDevice::m_ReplaceReadClientRecord(CTfReadClientRecord* pRecord)
{
    m_ReadClientLock.m_Acquire();
    CTfReadClientRecord* pOld = m_pReadClientRecord;
    m_pReadClientRecord = pRecord;
    if (pOld != NULL) {
        pOld->m_DetachClient();
    }
    m_ReadClientLock.m_Release();
    delete pOld;
}

BOOLEAN CTfPhysicalDevice::m_PutReadRecord(ULONG ulValue, CTfBuffer* pBuffer)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_PutReadRecord");
    m_ReadClientLock.m_Acquire();
    BOOLEAN bQueued = m_pReadClientRecord != NULL && m_pReadClientRecord->m_Put(ulValue, pBuffer);
    m_ReadClientLock.m_Release();
    if (!bQueued) {
        Log.m_Fail("no read client");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfPhysicalDevice::m_HasReadClient()
{
    m_ReadClientLock.m_Acquire();
    BOOLEAN bHasClient = m_pReadClientRecord != NULL && m_pReadClientRecord->m_HasClient();
    m_ReadClientLock.m_Release();
    return bHasClient;
}

NTSTATUS CTfPhysicalDevice::m_RegisterReadClient(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_RegisterReadClient");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PTF_READ_CLIENT_REGISTRATION pRegistration = (PTF_READ_CLIENT_REGISTRATION)pIrp->AssociatedIrp.SystemBuffer;
    if (pStack->Parameters.DeviceIoControl.InputBufferLength != sizeof(TF_READ_CLIENT_REGISTRATION) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength != 0 || pRegistration == NULL) {
        Log.m_Fail("lengths or buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    }
    PKEVENT pEvent = pRegistration->pEvent;
    PULONG pulLengthCell = pRegistration->pulLengthCell;
    if ((pEvent == NULL) != (pulLengthCell == NULL)) {
        Log.m_Fail("half a client");
        return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    }
    CTfReadClientRecord* pRecord = NULL;
    if (pEvent != NULL) {
        pRecord = new (NonPagedPool) CTfReadClientRecord(pEvent, pulLengthCell);
        if (pRecord == NULL) {
            Log.m_Fail("no memory");
            return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
        }
    }
    // The records queued for an earlier client go with it.
    m_ReplaceReadClientRecord(pRecord);
    Log.m_Success();
    return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS CTfPhysicalDevice::m_QueryIoServer(PIRP pIrp)
{
    CTfRoutineLog Log("CTfPhysicalDevice::m_QueryIoServer");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PULONG pulOutput = (PULONG)pIrp->AssociatedIrp.SystemBuffer;
    if (pStack->Parameters.DeviceIoControl.InputBufferLength != 0 ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(ULONG) || pulOutput == NULL) {
        Log.m_Fail("lengths or buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    }
    *pulOutput = m_ulIoServerValue;
    Log.m_Success();
    return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, sizeof(ULONG));
}
