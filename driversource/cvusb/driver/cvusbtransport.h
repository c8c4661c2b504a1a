// The URB layer of one port: the request routines of CUsb, the continuous bulk IN transfer as a
// small state machine, and the spare IRP.
//
// Bulk IN: one IRP and one URB are kept for the port's whole life and reused for every transfer.
// A transfer that completes is handed to the registered callback and, unless the client disabled
// the restart meanwhile, started again on the executor with the current size. A client stop
// cancels the transfer in flight and waits until it is back; a restart that a completion queued
// before the stop does not submit afterwards. A transfer that fails is started again after a
// pause (the pipe reset first when it stalled): a short one a few times in a row, then a longer
// one, for as long as the client wants it running; never once the device is gone.
#pragma once

#include <wdm.h>
#include <usbdi.h>

#include "cvusbrequests.h"
#include "tfevent.h"
#include "tfspinlock.h"

// Bulk IN states.
#define CVUSB_BULK_IN_UNINITIALISED 0  // nothing registered
#define CVUSB_BULK_IN_REGISTERED 1     // completion callback stored
#define CVUSB_BULK_IN_INITIALISED 2    // IRP and URB allocated, no transfer pending
#define CVUSB_BULK_IN_STARTED 3        // a transfer is pending and is restarted after each completion
#define CVUSB_BULK_IN_DISABLED 4       // the pending transfer completes normally but is not restarted
#define CVUSB_BULK_IN_CANCELLED 5      // a stop is cancelling the pending transfer

// Failed transfers started again in a row after the short pause; later ones wait the long pause.
#define CVUSB_BULK_IN_ERROR_RESTARTS 3
// Pauses before such a restart, in 100 ns: 100 ms, and 1 s once the failures go on.
#define CVUSB_BULK_IN_ERROR_BACKOFF (-1000000LL)
#define CVUSB_BULK_IN_ERROR_LONG_BACKOFF (-10000000LL)

// Receives each completed transfer's data (pData is the transport's; copy what is kept). Called in
// the completion path, up to DISPATCH_LEVEL, with the transfer's spin lock held: it may disable
// the restart (m_DisableInterruptUrb) and set the next size, nothing else of the transfer.
typedef void (*PCVUSB_BULK_IN_CALLBACK)(PVOID pContext, PVOID pData, ULONG ulLength);

class CUsbTransport : public CUsb {
public:
    CUsbTransport();
    // Stops and deletes the bulk IN transfer, stops the executor and frees the spare IRP.
    virtual ~CUsbTransport();

    // ---- Bulk IN ---------------------------------------------------------------------------------
    // Uninitialised or Registered: stores the callback (a second one replaces the first).
    BOOLEAN m_RegisterInterruptUrbCallback(PCVUSB_BULK_IN_CALLBACK pCallback, PVOID pContext);
    // Registered -> Initialised: allocates the IRP and the URB.
    BOOLEAN m_CreateInterruptUrb();
    // Initialised -> Started with a new buffer of ulSize bytes; Started: TRUE. Size 0 fails.
    // PASSIVE_LEVEL.
    BOOLEAN m_StartInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulSize);
    // Started or Disabled: cancels the transfer, waits until it is back, -> Initialised.
    // Initialised: TRUE without cancelling anything. PASSIVE_LEVEL.
    BOOLEAN m_StopInterruptUrb();
    // Started -> Disabled; TRUE when it was Started. Any IRQL up to DISPATCH_LEVEL; takes no lock.
    BOOLEAN m_DisableInterruptUrb();
    // Started: TRUE. Disabled -> Started again (the transfer is restarted when it is back). PASSIVE_LEVEL.
    BOOLEAN m_EnableInterruptUrb();
    // Stops a running transfer first, then frees the URB and the IRP: -> Registered. PASSIVE_LEVEL.
    BOOLEAN m_DeleteInterruptUrb();
    // Size of the next restart (an interlocked store).
    void m_SetInterruptUrbSize(ULONG ulSize) { InterlockedExchange(&m_lNextSize, (LONG)ulSize); }
    ULONG m_GetInterruptUrbSize() { return (ULONG)InterlockedCompareExchange(&m_lNextSize, 0, 0); }

    ULONG m_GetState() { return (ULONG)InterlockedCompareExchange(&m_lState, 0, 0); }
    static const char* m_GetStateName(ULONG ulState);

    // ---- Spare IRP -------------------------------------------------------------------------------
    // An IRP sized for the device and a URB, kept from connect to disconnect; a previous one is
    // freed first.
    BOOLEAN m_AllocateBulkIrp();
    void m_FreeBulkIrp();
    BOOLEAN m_IsBulkIrpAllocated() const { return m_pSpareIrp != NULL; }

private:
    CUsbTransport(const CUsbTransport&) = delete;
    CUsbTransport& operator=(const CUsbTransport&) = delete;

    // Sends the transfer when the state is Initialised and the client wants it running.
    BOOLEAN m_Submit(USBD_PIPE_HANDLE hPipe, ULONG ulSize);
    static NTSTATUS sm_OnInterrupt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    // The completion with the spin lock held.
    void m_OnInterrupt(PIRP pIrp);
    // The completion of a failed transfer: whether (and how) it is started again.
    void m_OnInterruptError(NTSTATUS Status, USBD_STATUS UrbStatus, LONG lState);
    void m_QueueRestart(ULONG ulKind);
    static void sm_Restart(PVOID pContext, PVOID pArgument);
    void m_FreeTransferBuffer();
    BOOLEAN m_ResetPipe(USBD_PIPE_HANDLE hPipe);

    volatile LONG m_lState;
    volatile LONG m_lNextSize;
    PCVUSB_BULK_IN_CALLBACK m_pCallback;
    PVOID m_pCallbackContext;
    // Guarded by m_UrbLock.
    CTfSpinLock m_UrbLock;
    PIRP m_pInterruptIrp;
    PURB m_pInterruptUrb;
    PVOID m_pvInterruptPipeBuffer;
    USBD_PIPE_HANDLE m_hInterruptPipe;
    BOOLEAN m_bRun;      // the client wants the transfer running (cleared by a stop)
    BOOLEAN m_bPending;  // the IRP is with the lower driver
    ULONG m_ulErrorRestarts;
    CTfEvent m_FinishedEvent;  // set whenever no transfer is pending

    PIRP m_pSpareIrp;
    PURB m_pSpareUrb;
};
