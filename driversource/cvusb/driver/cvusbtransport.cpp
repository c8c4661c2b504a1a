// The URB layer of one port: bulk IN state machine and spare IRP (see cvusbtransport.h).
#include "cvusbtransport.h"

#include <usbdlib.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfmemorytracker.h"

// Kinds of restart queued by a completion.
#define CVUSB_RESTART_NOW 0
#define CVUSB_RESTART_AFTER_PAUSE 1
#define CVUSB_RESTART_AFTER_PIPE_RESET 2
// Added to a kind: the failures in a row passed CVUSB_BULK_IN_ERROR_RESTARTS, so the longer pause.
#define CVUSB_RESTART_LONG_PAUSE 4

namespace {

const char* const s_apszStateNames[] = {"Uninitialised", "Registered", "Initialised", "Started", "Disabled",
                                        "Cancelled"};

BOOLEAN IsDeviceGone(NTSTATUS Status, USBD_STATUS UrbStatus)
{
    return UrbStatus == USBD_STATUS_DEVICE_GONE || Status == STATUS_DEVICE_NOT_CONNECTED ||
           Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_REMOVED;
}

}  // namespace

CUsbTransport::CUsbTransport()
    : m_lState(CVUSB_BULK_IN_UNINITIALISED),
      m_lNextSize(0),
      m_pCallback(NULL),
      m_pCallbackContext(NULL),
      m_pInterruptIrp(NULL),
      m_pInterruptUrb(NULL),
      m_pvInterruptPipeBuffer(NULL),
      m_hInterruptPipe(NULL),
      m_bRun(FALSE),
      m_bPending(FALSE),
      m_ulErrorRestarts(0),
      m_pSpareIrp(NULL),
      m_pSpareUrb(NULL)
{
    m_FinishedEvent.m_Set();
}

CUsbTransport::~CUsbTransport()
{
    if (m_GetState() >= CVUSB_BULK_IN_INITIALISED) {
        m_StopInterruptUrb();
    }
    // No restart can be running or queued after this.
    m_DeInit();
    if (m_GetState() >= CVUSB_BULK_IN_INITIALISED) {
        m_DeleteInterruptUrb();
    }
    m_FreeBulkIrp();
}

const char* CUsbTransport::m_GetStateName(ULONG ulState)
{
    return ulState < sizeof(s_apszStateNames) / sizeof(s_apszStateNames[0]) ? s_apszStateNames[ulState] : "Unknown";
}

// ---- Set-up ---------------------------------------------------------------------------------------

BOOLEAN CUsbTransport::m_RegisterInterruptUrbCallback(PCVUSB_BULK_IN_CALLBACK pCallback, PVOID pContext)
{
    ULONG ulState = m_GetState();
    TfDebugLog(7, "CUsbTransport::m_RegisterInterruptUrbCallback - IN - Current State on entry %s",
               m_GetStateName(ulState));
    if (ulState != CVUSB_BULK_IN_UNINITIALISED && ulState != CVUSB_BULK_IN_REGISTERED) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsbTransport::m_RegisterInterruptUrbCallback - OUT - Fail-> state");
        return FALSE;
    }
    if (ulState == CVUSB_BULK_IN_REGISTERED) {
        TfDebugLog(7, "CUsbTransport::m_RegisterInterruptUrbCallback - a callback was already registered");
    }
    m_pCallback = pCallback;
    m_pCallbackContext = pContext;
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_REGISTERED);
    TfDebugLog(7, "CUsbTransport::m_RegisterInterruptUrbCallback - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbTransport::m_CreateInterruptUrb()
{
    ULONG ulState = m_GetState();
    TfDebugLog(7, "CUsbTransport::m_CreateInterruptUrb - IN - Current State on entry %s", m_GetStateName(ulState));
    if (ulState != CVUSB_BULK_IN_REGISTERED || m_pPhysicalDeviceObject == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsbTransport::m_CreateInterruptUrb - OUT - Fail-> state or no device");
        return FALSE;
    }
    m_pInterruptIrp = IoAllocateIrp(m_pPhysicalDeviceObject->StackSize, FALSE);
    if (m_pInterruptIrp == NULL) {
        TfDebugLog(7, "CUsbTransport::m_CreateInterruptUrb - OUT - Fail-> IoAllocateIrp failed");
        return FALSE;
    }
    m_pInterruptUrb = (PURB)AllocateTrackedPool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (m_pInterruptUrb == NULL) {
        IoFreeIrp(m_pInterruptIrp);
        m_pInterruptIrp = NULL;
        TfDebugLog(7, "CUsbTransport::m_CreateInterruptUrb - OUT - Fail-> ExAllocate for URB failed");
        return FALSE;
    }
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
    TfDebugLog(7, "CUsbTransport::m_CreateInterruptUrb - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbTransport::m_DeleteInterruptUrb()
{
    ULONG ulState = m_GetState();
    TfDebugLog(7, "CUsbTransport::m_DeleteInterruptUrb - IN - Current State on entry %s", m_GetStateName(ulState));
    if (ulState == CVUSB_BULK_IN_STARTED || ulState == CVUSB_BULK_IN_DISABLED || ulState == CVUSB_BULK_IN_CANCELLED) {
        TfDebugLog(7, "CUsbTransport::m_DeleteInterruptUrb - Need to stop URB first");
        m_StopInterruptUrb();
    }
    if (m_GetState() != CVUSB_BULK_IN_INITIALISED) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsbTransport::m_DeleteInterruptUrb - OUT - Fail-> state");
        return FALSE;
    }
    m_FreeTransferBuffer();
    FreeTrackedPool(m_pInterruptUrb);
    m_pInterruptUrb = NULL;
    IoFreeIrp(m_pInterruptIrp);
    m_pInterruptIrp = NULL;
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_REGISTERED);
    TfDebugLog(7, "CUsbTransport::m_DeleteInterruptUrb - OUT (Success)");
    return TRUE;
}

void CUsbTransport::m_FreeTransferBuffer()
{
    m_UrbLock.m_Acquire();
    PVOID pBuffer = m_pvInterruptPipeBuffer;
    m_pvInterruptPipeBuffer = NULL;
    m_UrbLock.m_Release();
    FreeTrackedPool(pBuffer);
}

// ---- Start, stop, enable, disable -------------------------------------------------------------------

BOOLEAN CUsbTransport::m_StartInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulSize)
{
    TfDebugLog(7, "CUsbTransport::m_StartInterruptUrb - IN - Current State on entry %s, size %u",
               m_GetStateName(m_GetState()), ulSize);
    if (ulSize == 0 || hPipe == NULL) {
        TfDebugLog(7, "CUsbTransport::m_StartInterruptUrb - OUT - Fail-> size 0 or no pipe");
        return FALSE;
    }
    m_UrbLock.m_Acquire();
    LONG lState = (LONG)m_GetState();
    if (lState == CVUSB_BULK_IN_INITIALISED) {
        m_hInterruptPipe = hPipe;
        m_bRun = TRUE;
        m_ulErrorRestarts = 0;
    }
    m_UrbLock.m_Release();
    if (lState == CVUSB_BULK_IN_STARTED) {
        TfDebugLog(7, "CUsbTransport::m_StartInterruptUrb - OUT (Success) - Already started");
        return TRUE;
    }
    if (lState != CVUSB_BULK_IN_INITIALISED) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsbTransport::m_StartInterruptUrb - OUT - Fail-> state");
        return FALSE;
    }
    InterlockedExchange(&m_lNextSize, (LONG)ulSize);
    BOOLEAN bResult = m_Submit(hPipe, ulSize);
    TfDebugLog(7, bResult ? "CUsbTransport::m_StartInterruptUrb - OUT (Success)"
                          : "CUsbTransport::m_StartInterruptUrb - OUT - Fail-> submit");
    return bResult;
}

BOOLEAN CUsbTransport::m_Submit(USBD_PIPE_HANDLE hPipe, ULONG ulSize)
{
    PVOID pBuffer = AllocateTrackedPool(NonPagedPool, ulSize);
    if (pBuffer == NULL) {
        TfDebugLog(7, "CUsbTransport::m_Submit - no memory for %u bytes", ulSize);
        return FALSE;
    }
    m_UrbLock.m_Acquire();
    if ((LONG)m_GetState() != CVUSB_BULK_IN_INITIALISED || !m_bRun) {
        // Stopped (or started by someone else) since the caller looked.
        BOOLEAN bStarted = (LONG)m_GetState() == CVUSB_BULK_IN_STARTED;
        m_UrbLock.m_Release();
        FreeTrackedPool(pBuffer);
        TfDebugLog(7, "CUsbTransport::m_Submit - not submitted: %s", bStarted ? "started" : "stopped");
        return bStarted;
    }
    PVOID pOldBuffer = m_pvInterruptPipeBuffer;
    if (pOldBuffer != NULL) {
        TfDebugLog(7, "Error: m_pvInterruptPipeBuffer != NULL");
    }
    m_pvInterruptPipeBuffer = pBuffer;
    // The IRP comes back from every transfer with its Cancel flag and status as they were left:
    // each transfer starts from a fresh one.
    IoReuseIrp(m_pInterruptIrp, STATUS_SUCCESS);
    RtlZeroMemory(m_pInterruptUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(m_pInterruptUrb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           hPipe, pBuffer, NULL, ulSize,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(m_pInterruptIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pNext->Parameters.Others.Argument1 = m_pInterruptUrb;
    IoSetCompletionRoutine(m_pInterruptIrp, sm_OnInterrupt, this, TRUE, TRUE, TRUE);
    m_FinishedEvent.m_Clear();
    m_bPending = TRUE;
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_STARTED);
    m_UrbLock.m_Release();
    FreeTrackedPool(pOldBuffer);

    IoCallDriver(m_pPhysicalDeviceObject, m_pInterruptIrp);

    // A stop that came before the lower driver had the IRP only marked it: cancel it now.
    m_UrbLock.m_Acquire();
    BOOLEAN bCancel = (LONG)m_GetState() == CVUSB_BULK_IN_CANCELLED && m_bPending;
    m_UrbLock.m_Release();
    if (bCancel) {
        IoCancelIrp(m_pInterruptIrp);
    }
    return TRUE;
}

BOOLEAN CUsbTransport::m_StopInterruptUrb()
{
    TfDebugLog(7, "CUsbTransport::m_StopInterruptUrb - IN - Current State on entry %s", m_GetStateName(m_GetState()));
    m_UrbLock.m_Acquire();
    m_bRun = FALSE;
    LONG lState = (LONG)m_GetState();
    BOOLEAN bPending = m_bPending;
    if (lState == CVUSB_BULK_IN_STARTED || lState == CVUSB_BULK_IN_DISABLED) {
        InterlockedExchange(&m_lState, CVUSB_BULK_IN_CANCELLED);
    }
    m_UrbLock.m_Release();

    if (lState == CVUSB_BULK_IN_INITIALISED) {
        TfDebugLog(7, "CUsbTransport::m_StopInterruptUrb - OUT (Success) - nothing pending");
        return TRUE;
    }
    if (lState != CVUSB_BULK_IN_STARTED && lState != CVUSB_BULK_IN_DISABLED && lState != CVUSB_BULK_IN_CANCELLED) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsbTransport::m_StopInterruptUrb - OUT - Fail-> state");
        return FALSE;
    }
    if (bPending && lState != CVUSB_BULK_IN_CANCELLED) {
        IoCancelIrp(m_pInterruptIrp);
    }
    m_FinishedEvent.m_Wait();
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
    TfDebugLog(7, "CUsbTransport::m_StopInterruptUrb - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbTransport::m_DisableInterruptUrb()
{
    BOOLEAN bWasStarted = InterlockedCompareExchange(&m_lState, CVUSB_BULK_IN_DISABLED, CVUSB_BULK_IN_STARTED) ==
                          CVUSB_BULK_IN_STARTED;
    TfDebugLog(7, "CUsbTransport::m_DisableInterruptUrb - %s", bWasStarted ? "Disabled" : "was not started");
    return bWasStarted;
}

BOOLEAN CUsbTransport::m_EnableInterruptUrb()
{
    TfDebugLog(7, "CUsbTransport::m_EnableInterruptUrb - IN - Current State on entry %s", m_GetStateName(m_GetState()));
    m_UrbLock.m_Acquire();
    LONG lState = (LONG)m_GetState();
    BOOLEAN bRestart = FALSE;
    if (lState == CVUSB_BULK_IN_DISABLED) {
        if (m_bPending) {
            // Still out: its completion restarts it as for any started transfer.
            InterlockedExchange(&m_lState, CVUSB_BULK_IN_STARTED);
        } else {
            InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
            bRestart = TRUE;
        }
    }
    USBD_PIPE_HANDLE hPipe = m_hInterruptPipe;
    m_UrbLock.m_Release();

    if (lState == CVUSB_BULK_IN_STARTED) {
        TfDebugLog(7, "CUsbTransport::m_EnableInterruptUrb - OUT (Success) - Already started");
        return TRUE;
    }
    if (lState != CVUSB_BULK_IN_DISABLED) {
        TfDebugLog(7, "CUsbTransport::m_EnableInterruptUrb - OUT - Fail-> state");
        return FALSE;
    }
    BOOLEAN bResult = !bRestart || m_Submit(hPipe, m_GetInterruptUrbSize());
    TfDebugLog(7, bResult ? "CUsbTransport::m_EnableInterruptUrb - OUT (Success)"
                          : "CUsbTransport::m_EnableInterruptUrb - OUT - Fail-> restart");
    return bResult;
}

// ---- Completion -------------------------------------------------------------------------------------

NTSTATUS CUsbTransport::sm_OnInterrupt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    CUsbTransport* pTransport = (CUsbTransport*)pContext;
    BOOLEAN bAtDpcLevel = KeGetCurrentIrql() >= DISPATCH_LEVEL;
    if (bAtDpcLevel) {
        pTransport->m_UrbLock.m_AcquireAtDpcLevel();
    } else {
        pTransport->m_UrbLock.m_Acquire();
    }
    pTransport->m_OnInterrupt(pIrp);
    if (bAtDpcLevel) {
        pTransport->m_UrbLock.m_ReleaseFromDpcLevel();
    } else {
        pTransport->m_UrbLock.m_Release();
    }
    // The IRP stays the transport's for the next transfer.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUsbTransport::m_OnInterrupt(PIRP pIrp)
{
    LONG lState = (LONG)m_GetState();
    NTSTATUS Status = pIrp->IoStatus.Status;
    USBD_STATUS UrbStatus = m_pInterruptUrb->UrbHeader.Status;
    PVOID pBuffer = m_pvInterruptPipeBuffer;
    m_pvInterruptPipeBuffer = NULL;
    m_bPending = FALSE;
    TfDebugLog(7, "CUsbTransport::m_OnInterrupt - IN - Current State on entry %s, %s", m_GetStateName(lState),
               CTfDebugManager::m_GetStatusName(Status));

    if (lState == CVUSB_BULK_IN_CANCELLED) {
        // A stop owns the transfer now, whatever it brought back.
        FreeTrackedPool(pBuffer);
        m_FinishedEvent.m_Set();
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT (Success) - stopped");
        return;
    }
    if (lState != CVUSB_BULK_IN_STARTED && lState != CVUSB_BULK_IN_DISABLED) {
        TF_ASSERT_AT();
        FreeTrackedPool(pBuffer);
        m_FinishedEvent.m_Set();
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT - Fail-> unexpected state");
        return;
    }
    if (Status == STATUS_CANCELLED || pIrp->Cancel) {
        InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
        FreeTrackedPool(pBuffer);
        m_FinishedEvent.m_Set();
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT (Success) - cancelled");
        return;
    }
    if (!NT_SUCCESS(Status)) {
        m_FinishedEvent.m_Set();
        InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
        FreeTrackedPool(pBuffer);
        m_OnInterruptError(Status, UrbStatus, lState);
        return;
    }
    m_ulErrorRestarts = 0;
    ULONG ulLength = m_pInterruptUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (ulLength != 0 && m_pCallback != NULL) {
        m_pCallback(m_pCallbackContext, pBuffer, ulLength);
    } else {
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - Data amount received was 0");
    }
    FreeTrackedPool(pBuffer);
    if ((LONG)m_GetState() == CVUSB_BULK_IN_DISABLED) {
        m_FinishedEvent.m_Set();
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT (Success) - Not re-starting URB, as state machine state was "
                      "'Disabled'");
        return;
    }
    InterlockedExchange(&m_lState, CVUSB_BULK_IN_INITIALISED);
    m_FinishedEvent.m_Set();
    m_QueueRestart(CVUSB_RESTART_NOW);
    TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT (Success)");
}

void CUsbTransport::m_OnInterruptError(NTSTATUS Status, USBD_STATUS UrbStatus, LONG lState)
{
    if (IsDeviceGone(Status, UrbStatus)) {
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT - Fail-> device gone, not restarted");
        return;
    }
    if (lState != CVUSB_BULK_IN_STARTED || !m_bRun) {
        TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT - Fail-> URB status 0x%08X, not restarted", (ULONG)UrbStatus);
        return;
    }
    // Reception never ends on its own while the device is there: past a few failures in a row the
    // pause only grows to its bound.
    ++m_ulErrorRestarts;
    TfDebugLog(7, "CUsbTransport::m_OnInterrupt - OUT - Fail-> URB status 0x%08X, restart %u after a pause",
               (ULONG)UrbStatus, m_ulErrorRestarts);
    ULONG ulKind = UrbStatus == USBD_STATUS_STALL_PID ? CVUSB_RESTART_AFTER_PIPE_RESET : CVUSB_RESTART_AFTER_PAUSE;
    if (m_ulErrorRestarts > CVUSB_BULK_IN_ERROR_RESTARTS) {
        ulKind |= CVUSB_RESTART_LONG_PAUSE;
    }
    m_QueueRestart(ulKind);
}

void CUsbTransport::m_QueueRestart(ULONG ulKind)
{
    if (m_pExecutor == NULL || !m_pExecutor->m_QueueFunction(sm_Restart, this, (PVOID)(ULONG_PTR)ulKind)) {
        TfDebugLog(7, "CUsbTransport::m_QueueRestart - restart dropped");
    }
}

void CUsbTransport::sm_Restart(PVOID pContext, PVOID pArgument)
{
    CUsbTransport* pTransport = (CUsbTransport*)pContext;
    ULONG ulKind = (ULONG)(ULONG_PTR)pArgument;
    TfDebugLog(7, "CUsbTransport::sm_Restart - IN");
    if (ulKind != CVUSB_RESTART_NOW) {
        LARGE_INTEGER Pause;
        Pause.QuadPart = (ulKind & CVUSB_RESTART_LONG_PAUSE) != 0 ? CVUSB_BULK_IN_ERROR_LONG_BACKOFF
                                                                  : CVUSB_BULK_IN_ERROR_BACKOFF;
        ulKind &= ~CVUSB_RESTART_LONG_PAUSE;
        KeDelayExecutionThread(KernelMode, FALSE, &Pause);
    }
    pTransport->m_UrbLock.m_Acquire();
    USBD_PIPE_HANDLE hPipe = pTransport->m_hInterruptPipe;
    BOOLEAN bRun = pTransport->m_bRun;
    pTransport->m_UrbLock.m_Release();
    if (bRun && ulKind == CVUSB_RESTART_AFTER_PIPE_RESET) {
        pTransport->m_ResetPipe(hPipe);
    }
    BOOLEAN bResult = bRun && pTransport->m_Submit(hPipe, pTransport->m_GetInterruptUrbSize());
    TfDebugLog(7, bResult ? "CUsbTransport::sm_Restart - OUT (Success)" : "CUsbTransport::sm_Restart - OUT - Fail-> "
                                                                         "not restarted");
}

BOOLEAN CUsbTransport::m_ResetPipe(USBD_PIPE_HANDLE hPipe)
{
    URB Urb;
    RtlZeroMemory(&Urb, sizeof(Urb));
    Urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    Urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    Urb.UrbPipeRequest.PipeHandle = hPipe;
    return m_SubmitUrb(&Urb, FALSE, TRUE);
}

// ---- Spare IRP --------------------------------------------------------------------------------------

BOOLEAN CUsbTransport::m_AllocateBulkIrp()
{
    TfDebugLog(7, "CUsbTransport::m_AllocateBulkIrp - IN");
    m_FreeBulkIrp();
    if (m_pPhysicalDeviceObject == NULL) {
        TfDebugLog(7, "CUsbTransport::m_AllocateBulkIrp - OUT - Fail-> no device");
        return FALSE;
    }
    m_pSpareIrp = IoAllocateIrp(m_pPhysicalDeviceObject->StackSize, FALSE);
    m_pSpareUrb = (PURB)AllocateTrackedPool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (m_pSpareIrp == NULL || m_pSpareUrb == NULL) {
        m_FreeBulkIrp();
        TfDebugLog(7, "CUsbTransport::m_AllocateBulkIrp - OUT - Fail-> no memory");
        return FALSE;
    }
    TfDebugLog(7, "CUsbTransport::m_AllocateBulkIrp - OUT (Success)");
    return TRUE;
}

void CUsbTransport::m_FreeBulkIrp()
{
    if (m_pSpareIrp != NULL) {
        IoFreeIrp(m_pSpareIrp);
        m_pSpareIrp = NULL;
    }
    if (m_pSpareUrb != NULL) {
        FreeTrackedPool(m_pSpareUrb);
        m_pSpareUrb = NULL;
    }
}
