// The USB request routines of one port (see cvusbrequests.h).
#include "cvusbrequests.h"

#include <usbdlib.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"

namespace {

// A submission made on the executor for a caller above PASSIVE_LEVEL, who waits for it.
struct TF_PASSIVE_SUBMISSION {
    CUsb* pUsb;
    PURB pUrb;
    BOOLEAN bWait;
    BOOLEAN bResult;
    KEVENT Done;
};

BOOLEAN IsBulkOut(PURB pUrb)
{
    return pUrb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           !USBD_TRANSFER_DIRECTION_FLAG(pUrb->UrbBulkOrInterruptTransfer.TransferFlags);
}

}  // namespace

CUsb::CUsb() : m_pPhysicalDeviceObject(NULL), m_pExecutor(NULL), m_pWriteIrp(NULL), m_bSendStopped(FALSE), m_lPortResets(0)
{
}

CUsb::~CUsb()
{
    m_DeInit();
}

BOOLEAN CUsb::m_Init()
{
    TfDebugLog(7, "CUsb::m_Init - IN");
    if (m_pExecutor != NULL) {
        TfDebugLog(7, "CUsb::m_Init - OUT (Success)");
        return TRUE;
    }
    // Thread mode: restarts and submissions run in the order they were queued.
    m_pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL);
    if (m_pExecutor == NULL || !m_pExecutor->m_Init()) {
        delete m_pExecutor;
        m_pExecutor = NULL;
        TfDebugLog(7, "CUsb::m_Init - OUT - Fail-> executor");
        return FALSE;
    }
    TfDebugLog(7, "CUsb::m_Init - OUT (Success)");
    return TRUE;
}

void CUsb::m_DeInit()
{
    if (m_pExecutor != NULL) {
        TfDebugLog(7, "CUsb::m_DeInit - IN");
        m_pExecutor->m_DeInit();
        delete m_pExecutor;
        m_pExecutor = NULL;
        TfDebugLog(7, "CUsb::m_DeInit - OUT (Success)");
    }
}

// ---- Submission -----------------------------------------------------------------------------------

BOOLEAN CUsb::m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassive, BOOLEAN bWait)
{
    TfDebugLog(7, "CUsb::m_SubmitUrb - IN");
    KIRQL Irql = KeGetCurrentIrql();
    if (Irql > APC_LEVEL) {
        // The caller's URB cannot be waited for here, and an unwaited request is no result.
        TfDebugLog(7, "CUsb::m_SubmitUrb - OUT - Fail-> IRQL %u: cannot wait", (ULONG)Irql);
        return FALSE;
    }
    BOOLEAN bResult;
    if (Irql > PASSIVE_LEVEL && (bForcePassive || !IoIsWdmVersionAvailable(1, 0x10))) {
        bResult = m_SubmitUrbAtPassiveLevel(pUrb, bWait);
    } else {
        bResult = m_SubmitUsbRequestDispatchLevel(IOCTL_INTERNAL_USB_SUBMIT_URB, pUrb, bWait);
    }
    TfDebugLog(7, bResult ? "CUsb::m_SubmitUrb - OUT (Success)" : "CUsb::m_SubmitUrb - OUT - Fail-> request");
    return bResult;
}

BOOLEAN CUsb::m_SubmitUrbAtPassiveLevel(PURB pUrb, BOOLEAN bWait)
{
    if (m_pExecutor == NULL) {
        TfDebugLog(7, "CUsb::m_SubmitUrbAtPassiveLevel - no executor");
        return FALSE;
    }
    TF_PASSIVE_SUBMISSION Submission;
    Submission.pUsb = this;
    Submission.pUrb = pUrb;
    Submission.bWait = bWait;
    Submission.bResult = FALSE;
    KeInitializeEvent(&Submission.Done, NotificationEvent, FALSE);
    // A dropped call is answered by the discard routine, which fails it.
    m_pExecutor->m_QueueFunction(sm_SubmitOnExecutor, &Submission, NULL, sm_SubmitOnExecutor);
    TfDebugLog(7, "Block here");
    KeWaitForSingleObject(&Submission.Done, Executive, KernelMode, FALSE, NULL);
    TfDebugLog(7, "UnBlock here");
    return Submission.bResult;
}

void CUsb::sm_SubmitOnExecutor(PVOID pContext, PVOID pArgument)
{
    TF_PASSIVE_SUBMISSION* pSubmission = (TF_PASSIVE_SUBMISSION*)pContext;
    // Called as the routine (argument null) or as the discard routine of a dropped call.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && pSubmission->pUsb->m_pExecutor != NULL) {
        pSubmission->bResult = pSubmission->pUsb->m_SubmitUsbRequestDispatchLevel(
            IOCTL_INTERNAL_USB_SUBMIT_URB, pSubmission->pUrb, pSubmission->bWait);
    }
    KeSetEvent(&pSubmission->Done, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CUsb::m_SubmitUsbRequestDispatchLevel(ULONG ulIoControlCode, PURB pUrb, BOOLEAN bWait)
{
    TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - IN");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT - Fail-> above APC_LEVEL");
        return FALSE;
    }
    if (m_pPhysicalDeviceObject == NULL) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT - Fail-> no device");
        return FALSE;
    }
    PIRP pIrp = IoAllocateIrp(m_pPhysicalDeviceObject->StackSize, FALSE);
    if (pIrp == NULL) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT - Fail-> IoAllocateIrp failed");
        return FALSE;
    }
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = ulIoControlCode;
    pNext->Parameters.Others.Argument1 = pUrb;
    IoSetCompletionRoutine(pIrp, sm_OnComplete, &Event, TRUE, TRUE, TRUE);

    BOOLEAN bWrite = IsBulkOut(pUrb);
    if (bWrite) {
        m_WriteLock.m_Acquire();
        BOOLEAN bStopped = m_bSendStopped;
        if (!bStopped) {
            m_pWriteIrp = pIrp;
        }
        m_WriteLock.m_Release();
        if (bStopped) {
            IoFreeIrp(pIrp);
            TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT - Fail-> transfers out are stopped");
            return FALSE;
        }
    }
    NTSTATUS Status = m_CallAndWait(pIrp, &Event, bWait);
    if (bWrite) {
        m_WriteLock.m_Acquire();
        m_pWriteIrp = NULL;
        m_WriteLock.m_Release();
    }
    IoFreeIrp(pIrp);
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT - Fail-> %s (URB status 0x%08X)",
                   CTfDebugManager::m_GetStatusName(Status), (ULONG)pUrb->UrbHeader.Status);
        return FALSE;
    }
    TfDebugLog(7, "CUsb::m_SubmitUsbRequestDispatchLevel - OUT (Success)");
    return TRUE;
}

NTSTATUS CUsb::m_CallAndWait(PIRP pIrp, PKEVENT pEvent, BOOLEAN bWait)
{
    NTSTATUS Status = IoCallDriver(m_pPhysicalDeviceObject, pIrp);
    if (Status != STATUS_PENDING) {
        // Completed: the completion routine has run and kept the IRP.
        return pIrp->IoStatus.Status;
    }
    if (bWait) {
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = CVUSB_REQUEST_TIMEOUT;
        if (KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, &Timeout) == STATUS_TIMEOUT) {
            TfDebugLog(7, "CUsb::m_CallAndWait - time-out, cancelling");
            IoCancelIrp(pIrp);
            KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
            return NT_SUCCESS(pIrp->IoStatus.Status) ? STATUS_IO_TIMEOUT : pIrp->IoStatus.Status;
        }
        return pIrp->IoStatus.Status;
    }
    KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
    return pIrp->IoStatus.Status;
}

NTSTATUS CUsb::sm_OnComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    if (pContext == NULL) {
        // Nobody waits: the IRP ends here.
        IoFreeIrp(pIrp);
    } else {
        KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CUsb::m_SubmitUsbRequest(ULONG ulIoControlCode, PVOID pArgument1, PVOID pArgument2)
{
    TfDebugLog(7, "CUsb::m_SubmitUsbRequest - IN - %s", CTfDebugManager::m_GetUsbIoctlName(ulIoControlCode));
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || m_pPhysicalDeviceObject == NULL) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequest - OUT - Fail-> not at PASSIVE_LEVEL or no device");
        return FALSE;
    }
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoControlCode, m_pPhysicalDeviceObject, NULL, 0, NULL, 0, TRUE,
                                              &Event, &IoStatus);
    if (pIrp == NULL) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequest - OUT - Fail-> request not built");
        return FALSE;
    }
    // Only arguments that are given are written: on this system's stack location the second
    // argument shares its place with the control code.
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    if (pArgument1 != NULL) {
        pNext->Parameters.Others.Argument1 = pArgument1;
    }
    if (pArgument2 != NULL) {
        pNext->Parameters.Others.Argument2 = pArgument2;
    }
    NTSTATUS Status = IoCallDriver(m_pPhysicalDeviceObject, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CUsb::m_SubmitUsbRequest - OUT - Fail-> %s", CTfDebugManager::m_GetStatusName(Status));
        return FALSE;
    }
    TfDebugLog(7, "CUsb::m_SubmitUsbRequest - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsb::m_ResetPort()
{
    InterlockedIncrement(&m_lPortResets);
    return m_SubmitUsbRequest(IOCTL_INTERNAL_USB_RESET_PORT, NULL, NULL);
}

// ---- Vendor requests --------------------------------------------------------------------------------

BOOLEAN CUsb::m_VendorRequest(USHORT usFunction, UCHAR ucRequest, USHORT usValue, USHORT usIndex, BOOLEAN bIn,
                              CTfBuffer* pBuffer)
{
    TfDebugLog(7, "CUsb::m_VendorRequest - IN - Request:0x%X, wValue:0x%X, wIndex:0x%X, %s", ucRequest, usValue,
               usIndex, bIn ? "IN" : "OUT");
    PVOID pData = pBuffer != NULL ? pBuffer->m_GetData() : NULL;
    ULONG ulLength = pBuffer != NULL ? pBuffer->m_GetLength() : 0;
    for (ULONG ulAttempt = 1;; ++ulAttempt) {
        URB Urb;
        RtlZeroMemory(&Urb, sizeof(Urb));
        UsbBuildVendorRequest(&Urb, usFunction, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              bIn ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, ucRequest, usValue,
                              usIndex, pData, NULL, ulLength, NULL);
        if (m_SubmitUrb(&Urb, FALSE, TRUE)) {
            TfDebugLog(7, "CUsb::m_VendorRequest - OUT (Success)");
            return TRUE;
        }
        USBD_STATUS UrbStatus = Urb.UrbHeader.Status;
        if (UrbStatus != USBD_STATUS_XACT_ERROR && UrbStatus != USBD_STATUS_CANCELED) {
            TfDebugLog(7, "CUsb::m_VendorRequest - OUT - Fail-> URB status 0x%08X", (ULONG)UrbStatus);
            return FALSE;
        }
        TfDebugLog(7, "USBD_STATUS_XACT_ERROR => Retrying...%d\n", ulAttempt);
        if (ulAttempt >= CVUSB_VENDOR_ATTEMPTS) {
            TfDebugLog(7, "CUsb::m_VendorRequest - OUT - Fail-> %u attempts", ulAttempt);
            return FALSE;
        }
        if (!m_ResetPort()) {
            TfDebugLog(7, "CUsb::m_VendorRequest - port reset failed");
        }
        LARGE_INTEGER Delay;
        Delay.QuadPart = CVUSB_RETRY_DELAY;
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    }
}

// ---- Bulk transfers out -----------------------------------------------------------------------------

BOOLEAN CUsb::m_SendData(CTfBuffer* pBuffer, USBD_PIPE_HANDLE hPipe, BOOLEAN bForcePassive, PULONG pulTransferred)
{
    TfDebugLog(7, "CUsb::m_SendData - IN");
    *pulTransferred = 0;
    if (hPipe == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CUsb::m_SendData - OUT - Fail-> no pipe");
        return FALSE;
    }
    if (pBuffer == NULL || pBuffer->m_IsEmpty()) {
        TfDebugLog(7, "CUsb::m_SendData - OUT - Fail-> no data");
        return FALSE;
    }
    URB Urb;
    RtlZeroMemory(&Urb, sizeof(Urb));
    UsbBuildInterruptOrBulkTransferRequest(&Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), hPipe,
                                           pBuffer->m_GetData(), NULL, pBuffer->m_GetLength(),
                                           USBD_TRANSFER_DIRECTION_OUT, NULL);
    BOOLEAN bResult = m_SubmitUrb(&Urb, bForcePassive, FALSE);
    // The stack reports the bytes it took, also of a transfer that failed or was cancelled; a
    // request that was never sent leaves the URB's status untouched.
    if (bResult || USBD_ERROR(Urb.UrbHeader.Status)) {
        *pulTransferred = Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    if (!bResult) {
        TfDebugLog(7, "CUsb::m_SendData - OUT - Fail-> ulBytesTransferred=%d", *pulTransferred);
        return FALSE;
    }
    TfDebugLog(7, "CUsb::m_SendData - ulBytesTransferred=%d", *pulTransferred);
    TfDebugLog(7, "CUsb::m_SendData - OUT (Success)");
    return TRUE;
}

void CUsb::m_StopSendData(BOOLEAN bStop)
{
    m_WriteLock.m_Acquire();
    m_bSendStopped = bStop;
    if (bStop && m_pWriteIrp != NULL) {
        TfDebugLog(7, "CUsb::m_StopSendData - cancelling the transfer in flight");
        IoCancelIrp(m_pWriteIrp);
    }
    m_WriteLock.m_Release();
}

void CUsb::m_CancelSendData()
{
    m_WriteLock.m_Acquire();
    if (m_pWriteIrp != NULL) {
        TfDebugLog(7, "CUsb::m_CancelSendData - cancelling the transfer in flight");
        IoCancelIrp(m_pWriteIrp);
    }
    m_WriteLock.m_Release();
}
