// Who holds a URB's IRP while its transfer waits: the pipe it is queued on, or the list of held-back
// completions. Queuing pends the IRP with a cancel routine; every way out (the bus finishing it,
// an abort, an unplug, the cancel routine) first takes the cancel routine back, and the one that
// gets it completes the IRP. Completion runs without the host's lock, at the caller's IRQL (the
// bus scheduler's DPC: DISPATCH_LEVEL).
#pragma once

#include <usb.h>

#include <functional>
#include <optional>
#include <vector>

#include "transfer.h"

namespace emu::usb {

class UsbHost;

class TransferBook {
public:
    explicit TransferBook(UsbHost& host) : m_host(host) {}
    ~TransferBook();
    TransferBook(const TransferBook&) = delete;
    TransferBook& operator=(const TransferBook&) = delete;

    // ---- Under the host's lock -------------------------------------------------------------------
    // Marks the IRP pending and queues the transfer on its pipe. False when the IRP was cancelled
    // before: the caller completes it (Cancel) once the lock is released.
    bool Queue(Transfer* transfer);
    // The bus is done with the transfer: its completion joins `ready`, or waits out a delay fault.
    void Finish(Transfer* transfer, USBD_STATUS status, MachineTime now, std::vector<Transfer*>& ready);
    // Takes out every transfer waiting on the pipe (queued, dropped or held back) with that status;
    // with a filter, those it accepts.
    void TakeAll(Pipe& pipe, USBD_STATUS status, std::vector<Transfer*>& ready,
                 const std::function<bool(const Transfer&)>& filter = nullptr);
    // Held-back completions due by `now`, and when the next one is due.
    void ReleaseDelayed(MachineTime now, std::vector<Transfer*>& ready);
    std::optional<MachineTime> NextDelayed() const;
    size_t Held(const UsbDevice& device) const;

    // ---- Without the lock ------------------------------------------------------------------------
    // Completes each IRP with its transfer's status and frees the transfers.
    static void Complete(std::vector<Transfer*>& ready);
    // Completes a URB's IRP at once (a request the host answers without the bus).
    static NTSTATUS CompleteNow(PIRP irp, PURB urb, USBD_STATUS status);
    // Completes a transfer whose IRP was cancelled before it could queue.
    static void CompleteCancelled(Transfer* transfer);

private:
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    void Cancel(Transfer* transfer);
    // Takes the cancel routine back: false when a cancellation owns the IRP already.
    static bool Claim(Transfer* transfer);
    void Unlink(Transfer* transfer);

    UsbHost& m_host;
    std::vector<Transfer*> m_delayed;
};

}  // namespace emu::usb
