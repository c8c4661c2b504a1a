// Completing requests, passing them down the device stack, and sending the framework's own
// requests to the next lower device and waiting for them.
#pragma once

#include <wdm.h>

#include "tfobject.h"

// Completion. Each clears the cancel routine, completes with IO_NO_INCREMENT and returns the
// status it completed with.
NTSTATUS TfCompleteRequest(PIRP pIrp, NTSTATUS Status);
NTSTATUS TfCompleteRequestWithInformation(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation);
// Keeps the status already in the request.
NTSTATUS TfCompleteRequestAsIs(PIRP pIrp);

// Passing down: skip the current stack location and call the lower driver; the lower driver's
// result is returned.
// Sets the request's status to Status first.
NTSTATUS TfCallDriver(PIRP pIrp, PDEVICE_OBJECT pLowerDevice, NTSTATUS Status);
// Leaves the status alone.
NTSTATUS TfCallDriverAsIs(PIRP pIrp, PDEVICE_OBJECT pLowerDevice);
// Power requests (PoCallDriver).
NTSTATUS TfPoCallDriver(PIRP pIrp, PDEVICE_OBJECT pLowerDevice);

// Completion routine of the waiting senders: sets the KEVENT given as its context and keeps the
// request for the sender (STATUS_MORE_PROCESSING_REQUIRED).
NTSTATUS TfSynchronousCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

// Forwards a received request to the lower device and waits (without time-out) until it comes
// back. Returns the request's final status; the caller completes the request.
NTSTATUS TfSendSynchronousRequest(PIRP pIrp, PDEVICE_OBJECT pLowerDevice);

// Builds and sends a device-control request without output buffer, waiting without time-out.
// TRUE only for STATUS_SUCCESS; FALSE also when the request cannot be built.
BOOLEAN TfSendSynchronousDeviceControl(PDEVICE_OBJECT pLowerDevice, ULONG ulIoControlCode,
                                       PVOID pInputBuffer, ULONG ulInputLength,
                                       BOOLEAN bInternal, PFILE_OBJECT pFileObject);
// The same with an output buffer. *pulOutputLength: in, the buffer's size; out, on success, the
// request's information value.
BOOLEAN TfSendSynchronousDeviceControlWithOutput(PDEVICE_OBJECT pLowerDevice,
                                                 ULONG ulIoControlCode, PVOID pInputBuffer,
                                                 ULONG ulInputLength, PVOID pOutputBuffer,
                                                 PULONG pulOutputLength, BOOLEAN bInternal,
                                                 PFILE_OBJECT pFileObject);

// Create and close requests of the framework's own, waiting with the caller's default time-out;
// a request that times out is cancelled and waited for. TRUE for STATUS_SUCCESS.
BOOLEAN TfSendSynchronousCreate(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice);
BOOLEAN TfSendSynchronousClose(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice);

// Time-out modes of TfSendSynchronousRead.
// Retrying: waits 5 seconds at a time and sends the read again after each time-out, until it
// completes or the stop event is signalled.
#define TF_READ_RETRY 0
// Once: waits with the caller's default time-out; a read that times out ends with 0 bytes.
#define TF_READ_ONCE 1

// Wait of one period of the retrying read: 5 seconds, relative.
#define TF_READ_RETRY_TIMEOUT (-50000000LL)

// Buffered read of ulLength bytes from the lower device (which must do buffered I/O) into
// pBuffer. pStopEvent (may be null) ends a retrying read after the current period; it is only
// tested, never cleared. *pulBytesRead (may be null) receives the byte count. TRUE for
// STATUS_SUCCESS, and for STATUS_TIMEOUT reported by the lower driver when pulBytesRead is given;
// a stopped read returns FALSE with 0 bytes.
BOOLEAN TfSendSynchronousRead(CTfObject* pCaller, PDEVICE_OBJECT pLowerDevice, PVOID pBuffer,
                              ULONG ulLength, PKEVENT pStopEvent, ULONG ulTimeoutMode,
                              PULONG pulBytesRead);
