// Wait-on-mask queue of a serial port: the wait mask, the communication events received, and the one
// waiting IOCTL_SERIAL_WAIT_ON_MASK request.
//
// Event bits are the SERIAL_EV_* bits. EV_PERR (0x0200) is recorded but never reported.
#pragma once

#include <wdm.h>

#include "tfcsqhelpers.h"
#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"

// Events a wait can report: SERIAL_EV_RXCHAR .. SERIAL_EV_EVENT2 without SERIAL_EV_PERR.
#define TF_REPORTED_EVENTS 0x1DFF

class CTfControlQueue : public CTfObject {
public:
    CTfControlQueue();
    // Cancels a waiting request and frees the list.
    virtual ~CTfControlQueue();

    // Takes an IOCTL_SERIAL_WAIT_ON_MASK request (buffered, output >= 4 bytes). Completes it at once
    // when a masked event is already recorded (STATUS_SUCCESS), or when it is refused: no event word
    // room (STATUS_BUFFER_TOO_SMALL, Information 0), mask 0 or another wait held
    // (STATUS_INVALID_PARAMETER, event word 0, Information 4), no memory
    // (STATUS_INSUFFICIENT_RESOURCES, event word 0, Information 4). Otherwise it waits and
    // STATUS_PENDING is returned (the request is marked pending). The result is what the dispatch
    // routine returns. At or below DISPATCH_LEVEL.
    NTSTATUS m_QueueIrp(PIRP pIrp);

    // Completes the given request (not queued, owned by the caller), or else the waiting one, with the
    // masked events recorded; those events are then forgotten. TRUE when a request was completed.
    BOOLEAN m_ResolveCurrentEventMask(PIRP pIrp);

    // New wait mask (IOCTL_SERIAL_SET_WAIT_MASK; the caller checks the bits): forgets the events
    // received and completes the waiting request with events 0 (STATUS_SUCCESS, Information 4).
    void m_SetWaitMask(ULONG ulMask);
    // ORs events into the events received; call m_ResolveCurrentEventMask(NULL) to report them.
    void m_SetCommEventsReceived(ULONG ulEvents);
    // Forgets the given events.
    void m_ClearCommEvents(ULONG ulEvents);
    // TRUE when every given bit is in the current mask.
    BOOLEAN m_IsInWaitMask(ULONG ulEvents);
    ULONG m_GetWaitMask();
    ULONG m_GetEventsReceived();
    // Completes the waiting request with STATUS_CANCELLED, Information 0 (purge, cleanup, removal).
    void m_CancelMaskIrps();

private:
    CTfControlQueue(const CTfControlQueue&) = delete;
    CTfControlQueue& operator=(const CTfControlQueue&) = delete;

    static IO_CSQ_INSERT_IRP_EX sm_CsqInsertIrp;
    static IO_CSQ_REMOVE_IRP sm_CsqRemoveIrp;
    static IO_CSQ_PEEK_NEXT_IRP sm_CsqPeekNextIrp;
    static IO_CSQ_ACQUIRE_LOCK sm_CsqAcquireLock;
    static IO_CSQ_RELEASE_LOCK sm_CsqReleaseLock;
    static IO_CSQ_COMPLETE_CANCELED_IRP sm_CsqCompleteCanceledIrp;

    // Writes the event word (when the request has room for it) and completes the request.
    static void sm_CompleteWithEvents(PIRP pIrp, NTSTATUS Status, ULONG ulEvents, ULONG_PTR ulInformation);

    ULONG m_ulWaitMask;         // m_Lock
    ULONG m_ulEventsReceived;   // m_Lock
    CTfSpinLock m_Lock;         // guards both words and the list; the cancel-safe queue's lock
    CTfPointerList m_IrpList;   // m_Lock; the waiting request (at most one)
    TF_CSQ m_Csq;               // set once, in the constructor
};
