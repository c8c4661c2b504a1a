// Power operations of the functional device: a system power request becomes a device power request
// through the capabilities' state table; the driver's power-down routine runs before a device
// power-down goes to the device below, its power-up routine after a power-up came back from it.
#include <wdm.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tffunctionaldevice.h"
#include "tfmemorytracker.h"
#include "tfrequest.h"

// What a device power-up carries from its dispatch to the work item that finishes it.
typedef struct _TF_POWER_UP_CONTEXT {
    CTfFunctionalDevice* pDevice;
    PIO_WORKITEM pWorkItem;
    PIRP pIrp;
} TF_POWER_UP_CONTEXT, *PTF_POWER_UP_CONTEXT;

// The waiter of m_GotoPowerState.
typedef struct _TF_POWER_WAIT {
    KEVENT Event;
    NTSTATUS Status;
} TF_POWER_WAIT, *PTF_POWER_WAIT;

// From Windows Vista on the power manager no longer needs PoCallDriver and PoStartNextPowerIrp.
static BOOLEAN TfIsVistaOrLater() { return IoIsWdmVersionAvailable(6, 0); }

// Sends a power request on to the device below, as the system wants it sent. bHandler: sent by
// one of the set-power handlers, which say so on Vista and later.
static NTSTATUS TfPowerCallDriver(PDEVICE_OBJECT pLowerDevice, PIRP pIrp, BOOLEAN bHandler)
{
    if (TfIsVistaOrLater()) {
        if (bHandler) DbgPrint("m_HandleSystemPowerStateChange => Windows Vista and later OS\n");
        return IoCallDriver(pLowerDevice, pIrp);
    }
    return PoCallDriver(pLowerDevice, pIrp);
}

// Entries 15 and 16. Power changes go on whether or not the driver's object is still there.
static void TfCallPowerRoutine(CTfFunctionalDevice* pDevice, PTF_DEVICE_VOID_CALLBACK pfnRoutine)
{
    if (pfnRoutine == NULL) return;
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) return;
    pfnRoutine(pObject);
    pDevice->m_ReleaseSpecificObject();
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Power(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pStack->MinorFunction;
    NTSTATUS Status;

    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Power - Minor Function : %s\n",
               CTfDebugManager::m_GetPowerMinorName(ucMinor));

    switch (ucMinor) {
    case IRP_MN_SET_POWER:
        if (pStack->Parameters.Power.Type == SystemPowerState) return m_HandleSystemPowerStateChange(pIrp);
        if (pStack->Parameters.Power.Type == DevicePowerState) {
            // A higher number is a lower-power state.
            if (m_DevicePowerState < pStack->Parameters.Power.State.DeviceState)
                return m_HandleDevicePoweringDown(pIrp);
            return m_HandleDevicePoweringUp(pIrp);
        }
        PoStartNextPowerIrp(pIrp);
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);

    case IRP_MN_QUERY_POWER:
        if (pStack->Parameters.Power.Type == SystemPowerState) {
            if (!m_GetRemoveGate()->m_Acquire()) {
                PoStartNextPowerIrp(pIrp);
                return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
            }
            PoStartNextPowerIrp(pIrp);
            IoSkipCurrentIrpStackLocation(pIrp);
            Status = TfPowerCallDriver(m_pLowerDeviceObject, pIrp, FALSE);
            m_GetRemoveGate()->m_Release();
            return Status;
        }
        if (pStack->Parameters.Power.Type == DevicePowerState) {
            PoStartNextPowerIrp(pIrp);
            IoSkipCurrentIrpStackLocation(pIrp);
            return TfPowerCallDriver(m_pLowerDeviceObject, pIrp, FALSE);
        }
        PoStartNextPowerIrp(pIrp);
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);

    default:
        if (TfIsVistaOrLater()) {
            if (ucMinor == IRP_MN_WAIT_WAKE)
                DbgPrint("m_Dispatch_Power=> IRP_MN_WAIT_WAKE => Windows Vista and later OS\n");
            else if (ucMinor == IRP_MN_POWER_SEQUENCE)
                DbgPrint("m_Dispatch_Power=> IRP_MN_POWER_SEQUENCE => Windows Vista and later OS\n");
            else
                DbgPrint("m_Dispatch_Power=> default => Windows Vista and later OS\n");
            IoSkipCurrentIrpStackLocation(pIrp);
            return IoCallDriver(m_pLowerDeviceObject, pIrp);
        }
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        return PoCallDriver(m_pLowerDeviceObject, pIrp);
    }
}

NTSTATUS CTfFunctionalDevice::m_HandleSystemPowerStateChange(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_HandleSystemPowerStateChange");
    if (!m_GetRemoveGate()->m_Acquire()) {
        PoStartNextPowerIrp(pIrp);
        Log.m_Fail("removed");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }

    // Only Working to Shutdown have a device state in the table; any other state goes down as it
    // came.
    SYSTEM_POWER_STATE SystemState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State.SystemState;
    if (SystemState < PowerSystemWorking || SystemState > PowerSystemShutdown) {
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        NTSTATUS Status = TfPowerCallDriver(m_pLowerDeviceObject, pIrp, TRUE);
        m_GetRemoveGate()->m_Release();
        Log.m_Success();
        return Status;
    }

    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_SystemPowerCompletionRoutine, this, TRUE, TRUE, TRUE);
    IoMarkIrpPending(pIrp);
    TfPowerCallDriver(m_pLowerDeviceObject, pIrp, TRUE);
    Log.m_Success();
    return STATUS_PENDING;
}

NTSTATUS CTfFunctionalDevice::sm_SystemPowerCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp,
                                                             PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    CTfRoutineLog Log("CTfFunctionalDevice::sm_SystemPowerCompletionRoutine");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pIrp->PendingReturned) IoMarkIrpPending(pIrp);

    SYSTEM_POWER_STATE SystemState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State.SystemState;
    POWER_STATE PowerState;
    PowerState.DeviceState = pDevice->m_PowerTable[SystemState];

    NTSTATUS Status = PoRequestPowerIrp(pDevice->m_pPhysicalDeviceObject, IRP_MN_SET_POWER, PowerState,
                                        sm_SystemPowerRequestComplete, pIrp, NULL);
    pDevice->m_GetRemoveGate()->m_Release();
    if (Status == STATUS_PENDING) {
        // The device request's routine finishes the system request.
        Log.m_Success();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Without a device request the system request still succeeds: failing it would veto the
    // system's sleep or shutdown. It finishes with the answer of the device below.
    PoStartNextPowerIrp(pIrp);
    Log.m_Fail("no device request 0x%08X", Status);
    return STATUS_SUCCESS;
}

void CTfFunctionalDevice::sm_SystemPowerRequestComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction,
                                                        POWER_STATE PowerState, PVOID pContext,
                                                        PIO_STATUS_BLOCK pIoStatus)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(ucMinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    CTfRoutineLog Log("CTfFunctionalDevice::sm_SystemPowerRequestComplete");
    PIRP pSystemIrp = (PIRP)pContext;
    PoStartNextPowerIrp(pSystemIrp);
    TfCompleteRequest(pSystemIrp, pIoStatus->Status);
    Log.m_Success();
}

NTSTATUS CTfFunctionalDevice::m_HandleDevicePoweringDown(PIRP pIrp)
{
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringDown IN");
    if (!m_GetRemoveGate()->m_Acquire()) {
        if (!TfIsVistaOrLater()) PoStartNextPowerIrp(pIrp);
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringDown OUT STATUS_DELETE_PENDING");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }

    POWER_STATE NewState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State;
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringDown - m_PowerDownResetDeviceFunction");
    TfCallPowerRoutine(this, m_Callbacks.m_PowerDownResetDeviceFunction);
    PoSetPowerState(m_pPhysicalDeviceObject, DevicePowerState, NewState);
    m_DevicePowerState = NewState.DeviceState;

    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoMarkIrpPending(pIrp);
    PoStartNextPowerIrp(pIrp);
    TfPowerCallDriver(m_pLowerDeviceObject, pIrp, TRUE);
    m_GetRemoveGate()->m_Release();
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringDown OUT STATUS_PENDING");
    return STATUS_PENDING;
}

NTSTATUS CTfFunctionalDevice::m_HandleDevicePoweringUp(PIRP pIrp)
{
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringUp IN");
    if (!m_GetRemoveGate()->m_Acquire()) {
        if (!TfIsVistaOrLater()) PoStartNextPowerIrp(pIrp);
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringUp OUT STATUS_DELETE_PENDING");
        return TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
    }

    // The driver's power-up routine may wait for its device, so it runs at PASSIVE_LEVEL: the
    // work item is had now, while a failure can still be answered.
    PTF_POWER_UP_CONTEXT pContext =
        (PTF_POWER_UP_CONTEXT)AllocateTrackedPool(NonPagedPool, sizeof(TF_POWER_UP_CONTEXT));
    PIO_WORKITEM pWorkItem = pContext != NULL ? IoAllocateWorkItem(m_pDeviceObject) : NULL;
    if (pWorkItem == NULL) {
        FreeTrackedPool(pContext);
        PoStartNextPowerIrp(pIrp);
        m_GetRemoveGate()->m_Release();
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringUp OUT - Fail-> no work item");
        return TfCompleteRequest(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    }
    pContext->pDevice = this;
    pContext->pWorkItem = pWorkItem;
    pContext->pIrp = NULL;

    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_PowerUpCompletionRoutine, pContext, TRUE, TRUE, TRUE);
    IoMarkIrpPending(pIrp);
    TfPowerCallDriver(m_pLowerDeviceObject, pIrp, TRUE);
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_HandleDevicePoweringUp OUT STATUS_PENDING");
    return STATUS_PENDING;
}

NTSTATUS CTfFunctionalDevice::sm_PowerUpCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::sm_PowerUpCompletionRoutine IN");
    PTF_POWER_UP_CONTEXT pPowerUp = (PTF_POWER_UP_CONTEXT)pContext;
    if (pIrp->PendingReturned) IoMarkIrpPending(pIrp);

    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        CTfFunctionalDevice* pDevice = pPowerUp->pDevice;
        IoFreeWorkItem(pPowerUp->pWorkItem);
        FreeTrackedPool(pPowerUp);
        pDevice->m_FinishPowerUp(pIrp);
        return STATUS_SUCCESS;
    }

    // Completion may run at DISPATCH_LEVEL: the rest waits for the work item, which completes
    // the request again.
    pPowerUp->pIrp = pIrp;
    IoQueueWorkItem(pPowerUp->pWorkItem, sm_PowerUpWorkItem, DelayedWorkQueue, pPowerUp);
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::sm_PowerUpCompletionRoutine OUT STATUS_MORE_PROCESSING_REQUIRED");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CTfFunctionalDevice::sm_PowerUpWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    PTF_POWER_UP_CONTEXT pPowerUp = (PTF_POWER_UP_CONTEXT)pContext;
    PIRP pIrp = pPowerUp->pIrp;
    CTfFunctionalDevice* pDevice = pPowerUp->pDevice;
    PIO_WORKITEM pWorkItem = pPowerUp->pWorkItem;
    FreeTrackedPool(pPowerUp);

    pDevice->m_FinishPowerUp(pIrp);
    TfCompleteRequestAsIs(pIrp);
    IoFreeWorkItem(pWorkItem);
}

void CTfFunctionalDevice::m_FinishPowerUp(PIRP pIrp)
{
    POWER_STATE NewState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State;
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::sm_PowerUpCompletionRoutine - m_PowerUpInitDeviceFunction");
    TfCallPowerRoutine(this, m_Callbacks.m_PowerUpInitDeviceFunction);
    PoSetPowerState(m_pPhysicalDeviceObject, DevicePowerState, NewState);
    m_DevicePowerState = NewState.DeviceState;
    PoStartNextPowerIrp(pIrp);
    m_GetRemoveGate()->m_Release();
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::sm_PowerUpCompletionRoutine OUT SUCCESS");
}

BOOLEAN CTfFunctionalDevice::m_GotoPowerState(DEVICE_POWER_STATE DeviceState)
{
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_GotoPowerState IN");
    PTF_POWER_WAIT pWait = (PTF_POWER_WAIT)AllocateTrackedPool(NonPagedPool, sizeof(TF_POWER_WAIT));
    if (pWait == NULL) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_GotoPowerState OUT ERROR");
        return FALSE;
    }
    KeInitializeEvent(&pWait->Event, NotificationEvent, FALSE);
    pWait->Status = STATUS_UNSUCCESSFUL;

    POWER_STATE PowerState;
    PowerState.DeviceState = DeviceState;
    NTSTATUS Status =
        PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, PowerState, sm_GotoPowerStateComplete, pWait, NULL);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&pWait->Event, Executive, KernelMode, FALSE, NULL);
        // The caller learns whether the device got there, not only whether it was asked.
        Status = pWait->Status;
    }
    FreeTrackedPool(pWait);
    if (!NT_SUCCESS(Status)) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_GotoPowerState OUT ERROR");
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_GotoPowerState OUT SUCCESS");
    return TRUE;
}

void CTfFunctionalDevice::sm_GotoPowerStateComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction,
                                                    POWER_STATE PowerState, PVOID pContext,
                                                    PIO_STATUS_BLOCK pIoStatus)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(ucMinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PTF_POWER_WAIT pWait = (PTF_POWER_WAIT)pContext;
    pWait->Status = pIoStatus->Status;
    KeSetEvent(&pWait->Event, IO_NO_INCREMENT, FALSE);
}
