// The USB request routines of one port: URBs submitted to the USB device's PDO and waited for, the
// port reset, vendor requests to the interface with their retries, and bulk transfers out.
//
// A request is waited for, so it is made at PASSIVE_LEVEL or APC_LEVEL; above that it is refused
// rather than sent unwaited (its URB and buffer belong to the caller, who would go on using them).
#pragma once

#include <wdm.h>
#include <usbdi.h>

#include "tfbuffer.h"
#include "tfobject.h"
#include "tfpassivelevelexecutor.h"
#include "tfspinlock.h"

// Wait for a request that has to answer in time (vendor and descriptor requests), in 100 ns: 1 s.
#define CVUSB_REQUEST_TIMEOUT (-10000000LL)
// Pause before a vendor request is sent again after a transaction error, in 100 ns: 1 s.
#define CVUSB_RETRY_DELAY (-10000000LL)
// Attempts of a vendor request that keeps failing with a transaction error or a time-out.
#define CVUSB_VENDOR_ATTEMPTS 10

class CUsb : public CTfObject {
public:
    CUsb();
    // Runs m_DeInit.
    virtual ~CUsb();

    // The PDO the requests go to (its StackSize sizes the IRPs).
    void m_SetDevice(PDEVICE_OBJECT pPhysicalDeviceObject) { m_pPhysicalDeviceObject = pPhysicalDeviceObject; }
    PDEVICE_OBJECT m_GetDevice() const { return m_pPhysicalDeviceObject; }

    // Starts the executor that makes submissions at PASSIVE_LEVEL. PASSIVE_LEVEL.
    BOOLEAN m_Init();
    // Stops it. PASSIVE_LEVEL; nothing may be submitted afterwards.
    void m_DeInit();

    // Submits a URB with IOCTL_INTERNAL_USB_SUBMIT_URB and waits for it. Above PASSIVE_LEVEL, when
    // bForcePassive is set or the system predates WDM 1.10, the submission is made on the executor
    // while the caller waits. bWait bounds the wait to 1 s, after which the request is cancelled.
    // TRUE only for STATUS_SUCCESS.
    BOOLEAN m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassive, BOOLEAN bWait);
    // The submission itself, in the caller's context (PASSIVE_LEVEL or APC_LEVEL).
    BOOLEAN m_SubmitUsbRequestDispatchLevel(ULONG ulIoControlCode, PURB pUrb, BOOLEAN bWait);
    // A synchronous internal request without a URB (IOCTL_INTERNAL_USB_RESET_PORT). PASSIVE_LEVEL.
    BOOLEAN m_SubmitUsbRequest(ULONG ulIoControlCode, PVOID pArgument1, PVOID pArgument2);

    // A vendor or class request (usFunction: URB_FUNCTION_VENDOR_INTERFACE, ...). bIn reads
    // pBuffer's length of bytes into it; an OUT request sends pBuffer when given. A transaction
    // error or a request cancelled after its time-out is tried again after a port reset and a
    // 1 s pause, up to CVUSB_VENDOR_ATTEMPTS attempts in all. PASSIVE_LEVEL.
    BOOLEAN m_VendorRequest(USHORT usFunction, UCHAR ucRequest, USHORT usValue, USHORT usIndex, BOOLEAN bIn,
                            CTfBuffer* pBuffer);

    // Bulk transfer out of pBuffer on a pipe, waited for without a time-out; *pulTransferred gets
    // the bytes the device took (also when it failed). m_CancelSendData ends a transfer that does
    // not finish. PASSIVE_LEVEL.
    BOOLEAN m_SendData(CTfBuffer* pBuffer, USBD_PIPE_HANDLE hPipe, BOOLEAN bForcePassive, PULONG pulTransferred);
    // Cancels the bulk transfer out that is in flight, if any. Up to DISPATCH_LEVEL.
    void m_CancelSendData();
    // While stopped, a bulk transfer out is refused before it is sent (none taken) and the one in
    // flight is cancelled: a writer about to send cannot slip past a close. Up to DISPATCH_LEVEL.
    void m_StopSendData(BOOLEAN bStop);

    // Port resets made by vendor-request retries since construction (the device's settings may
    // have been lost with each).
    ULONG m_GetPortResetCount() { return (ULONG)InterlockedCompareExchange(&m_lPortResets, 0, 0); }

    // Completion routine of the submissions: sets the waiting sender's event (when the request
    // is no longer pending) and keeps the IRP for it.
    static NTSTATUS sm_OnComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

protected:
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    // Passive-level executor of the transport (thread mode: calls in order).
    CTfPassiveLevelExecutor* m_pExecutor;

private:
    CUsb(const CUsb&) = delete;
    CUsb& operator=(const CUsb&) = delete;

    BOOLEAN m_SubmitUrbAtPassiveLevel(PURB pUrb, BOOLEAN bWait);
    static void sm_SubmitOnExecutor(PVOID pContext, PVOID pArgument);
    // Sends pIrp and waits for it as m_SubmitUsbRequestDispatchLevel describes.
    NTSTATUS m_CallAndWait(PIRP pIrp, PKEVENT pEvent, BOOLEAN bWait);
    BOOLEAN m_ResetPort();

    CTfSpinLock m_WriteLock;  // guards m_pWriteIrp
    PIRP m_pWriteIrp;         // the bulk transfer out in flight
    BOOLEAN m_bSendStopped;   // guarded by m_WriteLock
    volatile LONG m_lPortResets;
};
