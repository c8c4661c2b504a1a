// Completing requests, passing them down, and the framework's own synchronous requests.
#include "tfrequest.h"

#include "tfdebug.h"

// A racing cancel routine must find no routine once the request is being completed.
static void TfClearCancelRoutine(PIRP pIrp)
{
    IoSetCancelRoutine(pIrp, NULL);
}

NTSTATUS TfCompleteRequest(PIRP pIrp, NTSTATUS Status)
{
    CTfRoutineLog Log("TfCompleteRequest");
    TfClearCancelRoutine(pIrp);
    pIrp->IoStatus.Status = Status;
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    Log.m_Success();
    return Status;
}

NTSTATUS TfCompleteRequestWithInformation(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation)
{
    CTfRoutineLog Log("TfCompleteRequestWithInformation");
    TfClearCancelRoutine(pIrp);
    pIrp->IoStatus.Status = Status;
    pIrp->IoStatus.Information = ulInformation;
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    Log.m_Success();
    return Status;
}

NTSTATUS TfCompleteRequestAsIs(PIRP pIrp)
{
    CTfRoutineLog Log("TfCompleteRequestAsIs");
    TfClearCancelRoutine(pIrp);
    // The request may be gone once it is completed.
    NTSTATUS Status = pIrp->IoStatus.Status;
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    Log.m_Success();
    return Status;
}

NTSTATUS TfCallDriver(PIRP pIrp, PDEVICE_OBJECT pLowerDevice, NTSTATUS Status)
{
    CTfRoutineLog Log("TfCallDriver");
    IoSkipCurrentIrpStackLocation(pIrp);
    pIrp->IoStatus.Status = Status;
    NTSTATUS Result = IofCallDriver(pLowerDevice, pIrp);
    Log.m_Success();
    return Result;
}

NTSTATUS TfCallDriverAsIs(PIRP pIrp, PDEVICE_OBJECT pLowerDevice)
{
    CTfRoutineLog Log("TfCallDriverAsIs");
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS Result = IofCallDriver(pLowerDevice, pIrp);
    Log.m_Success();
    return Result;
}

NTSTATUS TfPoCallDriver(PIRP pIrp, PDEVICE_OBJECT pLowerDevice)
{
    CTfRoutineLog Log("TfPoCallDriver");
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS Result = PoCallDriver(pLowerDevice, pIrp);
    Log.m_Success();
    return Result;
}

NTSTATUS TfSynchronousCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    CTfRoutineLog Log("TfSynchronousCompletionRoutine");
    if (pContext != NULL) {
        KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    }
    // The sender owns the request again from here on (it may already be freed).
    Log.m_Success();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TfSendSynchronousRequest(PIRP pIrp, PDEVICE_OBJECT pLowerDevice)
{
    CTfRoutineLog Log("TfSendSynchronousRequest");
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoSetCompletionRoutine(pIrp, TfSynchronousCompletionRoutine, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = IofCallDriver(pLowerDevice, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = pIrp->IoStatus.Status;
    }
    Log.m_Success();
    return Status;
}

// Sends a built device-control request and waits without time-out. Returns the final status and
// the information value.
static NTSTATUS TfSendDeviceControl(PDEVICE_OBJECT pLowerDevice, ULONG ulIoControlCode, PVOID pInputBuffer,
                                    ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                    BOOLEAN bInternal, PFILE_OBJECT pFileObject, PULONG_PTR pulInformation)
{
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;
    *pulInformation = 0;

    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoControlCode, pLowerDevice, pInputBuffer, ulInputLength,
                                              pOutputBuffer, ulOutputLength, bInternal, &Event, &IoStatus);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pFileObject != NULL) {
        IoGetNextIrpStackLocation(pIrp)->FileObject = pFileObject;
    }
    NTSTATUS Status = IofCallDriver(pLowerDevice, pIrp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    *pulInformation = IoStatus.Information;
    return Status;
}

BOOLEAN TfSendSynchronousDeviceControl(PDEVICE_OBJECT pLowerDevice, ULONG ulIoControlCode, PVOID pInputBuffer,
                                       ULONG ulInputLength, BOOLEAN bInternal, PFILE_OBJECT pFileObject)
{
    CTfRoutineLog Log("TfSendSynchronousDeviceControl");
    ULONG_PTR ulInformation = 0;
    NTSTATUS Status = TfSendDeviceControl(pLowerDevice, ulIoControlCode, pInputBuffer, ulInputLength, NULL, 0,
                                          bInternal, pFileObject, &ulInformation);
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("status 0x%X", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfSendSynchronousDeviceControlWithOutput(PDEVICE_OBJECT pLowerDevice, ULONG ulIoControlCode,
                                                 PVOID pInputBuffer, ULONG ulInputLength, PVOID pOutputBuffer,
                                                 PULONG pulOutputLength, BOOLEAN bInternal,
                                                 PFILE_OBJECT pFileObject)
{
    CTfRoutineLog Log("TfSendSynchronousDeviceControlWithOutput");
    if (pulOutputLength == NULL) {
        Log.m_Fail("no output length");
        return FALSE;
    }
    ULONG_PTR ulInformation = 0;
    NTSTATUS Status = TfSendDeviceControl(pLowerDevice, ulIoControlCode, pInputBuffer, ulInputLength,
                                          pOutputBuffer, *pulOutputLength, bInternal, pFileObject, &ulInformation);
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("status 0x%X", (ULONG)Status);
        return FALSE;
    }
    // Never report more than the caller's buffer holds.
    if (ulInformation > *pulOutputLength) {
        ulInformation = *pulOutputLength;
    }
    *pulOutputLength = (ULONG)ulInformation;
    Log.m_Success();
    return TRUE;
}

// A request of our own for the lower device: one more stack location than its stack, the major
// function in the location the lower device will own, and the completion routine on pEvent.
static PIRP TfAllocateOwnRequest(PDEVICE_OBJECT pLowerDevice, UCHAR ucMajorFunction, PKEVENT pEvent)
{
    PIRP pIrp = IoAllocateIrp((CCHAR)(pLowerDevice->StackSize + 1), FALSE);
    if (pIrp == NULL) {
        return NULL;
    }
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = ucMajorFunction;
    IoSetCompletionRoutine(pIrp, TfSynchronousCompletionRoutine, pEvent, TRUE, TRUE, TRUE);
    return pIrp;
}

// Waits for a request of our own that is pending. After a time-out the request is cancelled and
// waited for. The request's own status decides: one that completed in the race with the time-out
// keeps its status and data. *pbCancelled tells that it really ended by the cancel.
static void TfWaitForOwnRequest(PIRP pIrp, PKEVENT pEvent, PLARGE_INTEGER pTimeout, BOOLEAN* pbCancelled)
{
    *pbCancelled = FALSE;
    NTSTATUS WaitStatus = KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, pTimeout);
    if (WaitStatus != STATUS_TIMEOUT) {
        return;
    }
    IoCancelIrp(pIrp);
    // It must come back before it can be freed.
    KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
    if (pIrp->IoStatus.Status == STATUS_CANCELLED && pIrp->IoStatus.Information == 0) {
        *pbCancelled = TRUE;
    }
}

static PLARGE_INTEGER TfCallerTimeout(CTfObject* pCaller, PLARGE_INTEGER pDefault)
{
    if (pCaller != NULL) {
        return pCaller->m_GetDefaultTimeout();
    }
    pDefault->QuadPart = TF_DEFAULT_WAIT_TIMEOUT;
    return pDefault;
}

static BOOLEAN TfSendOwnRequest(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice, UCHAR ucMajorFunction)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    PIRP pIrp = TfAllocateOwnRequest(pLowerDevice, ucMajorFunction, &Event);
    if (pIrp == NULL) {
        return FALSE;
    }
    NTSTATUS Status = IofCallDriver(pLowerDevice, pIrp);
    if (Status == STATUS_PENDING) {
        LARGE_INTEGER Default;
        BOOLEAN bCancelled;
        TfWaitForOwnRequest(pIrp, &Event, TfCallerTimeout(pCaller, &Default), &bCancelled);
        Status = pIrp->IoStatus.Status;
    }
    IoFreeIrp(pIrp);
    return Status == STATUS_SUCCESS;
}

BOOLEAN TfSendSynchronousCreate(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice)
{
    CTfRoutineLog Log("TfSendSynchronousCreate");
    if (!TfSendOwnRequest(pCaller, pLowerDevice, IRP_MJ_CREATE)) {
        Log.m_Fail("create not completed with success");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfSendSynchronousClose(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice)
{
    CTfRoutineLog Log("TfSendSynchronousClose");
    if (!TfSendOwnRequest(pCaller, pLowerDevice, IRP_MJ_CLOSE)) {
        Log.m_Fail("close not completed with success");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

static PIRP TfAllocateReadRequest(PDEVICE_OBJECT pLowerDevice, PVOID pBuffer, ULONG ulLength, PKEVENT pEvent)
{
    PIRP pIrp = TfAllocateOwnRequest(pLowerDevice, IRP_MJ_READ, pEvent);
    if (pIrp == NULL) {
        return NULL;
    }
    pIrp->AssociatedIrp.SystemBuffer = pBuffer;
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->Parameters.Read.Length = ulLength;
    pNext->Parameters.Read.Key = 0;
    pNext->Parameters.Read.ByteOffset.QuadPart = 0;
    return pIrp;
}

BOOLEAN TfSendSynchronousRead(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice, PVOID pBuffer, ULONG ulLength,
                              PKEVENT pStopEvent, ULONG ulTimeoutMode, PULONG pulBytesRead)
{
    CTfRoutineLog Log("TfSendSynchronousRead");
    if (pulBytesRead != NULL) {
        *pulBytesRead = 0;
    }
    if (!(pLowerDevice->Flags & DO_BUFFERED_IO)) {
        Log.m_Fail("lower device does not do buffered I/O");
        return FALSE;
    }

    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    PIRP pIrp = TfAllocateReadRequest(pLowerDevice, pBuffer, ulLength, &Event);
    if (pIrp == NULL) {
        Log.m_Fail("no request");
        return FALSE;
    }

    LARGE_INTEGER Default;
    LARGE_INTEGER RetryTimeout;
    RetryTimeout.QuadPart = TF_READ_RETRY_TIMEOUT;
    PLARGE_INTEGER pTimeout = (ulTimeoutMode == TF_READ_ONCE) ? TfCallerTimeout(pCaller, &Default) : &RetryTimeout;

    NTSTATUS Status;
    ULONG_PTR ulInformation = 0;
    for (;;) {
        Status = IofCallDriver(pLowerDevice, pIrp);
        if (Status != STATUS_PENDING) {
            ulInformation = pIrp->IoStatus.Information;
            break;
        }
        BOOLEAN bCancelled;
        TfWaitForOwnRequest(pIrp, &Event, pTimeout, &bCancelled);
        if (!bCancelled) {
            Status = pIrp->IoStatus.Status;
            ulInformation = pIrp->IoStatus.Information;
            break;
        }

        // Timed out and cancelled: nothing was read.
        IoFreeIrp(pIrp);
        pIrp = NULL;
        ulInformation = 0;
        if (ulTimeoutMode == TF_READ_ONCE) {
            Status = STATUS_SUCCESS;
            break;
        }
        // The stop event belongs to the caller: test it, do not consume it.
        if (pStopEvent != NULL && KeReadStateEvent(pStopEvent) != 0) {
            Status = STATUS_CANCELLED;
            break;
        }
        KeClearEvent(&Event);
        pIrp = TfAllocateReadRequest(pLowerDevice, pBuffer, ulLength, &Event);
        if (pIrp == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }

    if (pulBytesRead != NULL) {
        *pulBytesRead = (ULONG)ulInformation;
    }
    if (pIrp != NULL) {
        IoFreeIrp(pIrp);
    }
    if (Status == STATUS_SUCCESS || (Status == STATUS_TIMEOUT && pulBytesRead != NULL)) {
        Log.m_Success();
        return TRUE;
    }
    Log.m_Fail("status 0x%X", (ULONG)Status);
    return FALSE;
}
