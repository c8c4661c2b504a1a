#include "transfer_book.h"

#include <algorithm>

#include "usb_device.h"
#include "usb_host.h"
#include "usbd_status.h"

namespace emu::usb {

namespace {

// Where a queued transfer is found from its IRP (the cancel routine's only lead).
Transfer*& TransferOf(PIRP irp) { return reinterpret_cast<Transfer*&>(irp->Tail.Overlay.DriverContext[0]); }

}  // namespace

TransferBook::~TransferBook()
{
    // The host fails every transfer before it goes; what is left here has no IRP to answer.
    for (Transfer* transfer : m_delayed) delete transfer;
}

bool TransferBook::Claim(Transfer* transfer) { return IoSetCancelRoutine(transfer->irp, nullptr) != nullptr; }

bool TransferBook::Queue(Transfer* transfer)
{
    PIRP irp = transfer->irp;
    IoMarkIrpPending(irp);
    TransferOf(irp) = transfer;
    IoSetCancelRoutine(irp, &TransferBook::CancelRoutine);
    // Cancelled before the routine was in place: whoever takes the routine back completes it.
    if (irp->Cancel && Claim(transfer)) return false;
    transfer->pipe->queue.push_back(transfer);
    m_host.Scheduler().Activate(*transfer->pipe);
    return true;
}

void TransferBook::Unlink(Transfer* transfer)
{
    if (transfer->state == TransferState::Delayed) {
        std::erase(m_delayed, transfer);
        return;
    }
    std::erase(transfer->pipe->queue, transfer);
}

void TransferBook::Finish(Transfer* transfer, USBD_STATUS status, MachineTime now, std::vector<Transfer*>& ready)
{
    transfer->result = status;
    if (transfer->fault && transfer->fault->action == Fault::Action::Delay) {
        // Done on the bus; the driver hears of it later, and may still cancel it meanwhile.
        Unlink(transfer);
        transfer->completeAt = now + std::max<MachineTime>(0, transfer->fault->delay);
        transfer->fault.reset();
        transfer->state = TransferState::Delayed;
        m_delayed.push_back(transfer);
        return;
    }
    if (!Claim(transfer)) {
        transfer->cancelling = true;  // stays where it is: the cancel routine finds and completes it
        return;
    }
    Unlink(transfer);
    ready.push_back(transfer);
}

void TransferBook::TakeAll(Pipe& pipe, USBD_STATUS status, std::vector<Transfer*>& ready,
                           const std::function<bool(const Transfer&)>& filter)
{
    std::vector<Transfer*> candidates(pipe.queue.begin(), pipe.queue.end());
    for (Transfer* transfer : m_delayed)
        if (transfer->pipe == &pipe) candidates.push_back(transfer);
    for (Transfer* transfer : candidates) {
        if (transfer->cancelling || (filter && !filter(*transfer))) continue;
        if (!Claim(transfer)) {
            transfer->cancelling = true;
            continue;
        }
        Unlink(transfer);
        transfer->result = status;
        ready.push_back(transfer);
    }
}

void TransferBook::ReleaseDelayed(MachineTime now, std::vector<Transfer*>& ready)
{
    std::vector<Transfer*> due;
    for (Transfer* transfer : m_delayed)
        if (transfer->completeAt <= now && !transfer->cancelling) due.push_back(transfer);
    for (Transfer* transfer : due) {
        if (!Claim(transfer)) {
            transfer->cancelling = true;
            continue;
        }
        Unlink(transfer);
        ready.push_back(transfer);
    }
}

std::optional<MachineTime> TransferBook::NextDelayed() const
{
    std::optional<MachineTime> next;
    for (const Transfer* transfer : m_delayed)
        if (!transfer->cancelling && (!next || transfer->completeAt < *next)) next = transfer->completeAt;
    return next;
}

size_t TransferBook::Held(const UsbDevice& device) const
{
    return static_cast<size_t>(
        std::count_if(m_delayed.begin(), m_delayed.end(), [&](const Transfer* t) { return t->device == &device; }));
}

void TransferBook::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    // The routine was taken out of the IRP by IoCancelIrp: nobody else completes it, so the
    // transfer stays alive until this completes it.
    Transfer* transfer = TransferOf(irp);
    transfer->device->Host().Transfers().Cancel(transfer);
}

void TransferBook::Cancel(Transfer* transfer)
{
    {
        std::lock_guard lock(m_host.Mutex());
        Unlink(transfer);
    }
    transfer->result = USBD_STATUS_CANCELED;
    std::vector<Transfer*> ready{transfer};
    Complete(ready);
}

void TransferBook::CompleteCancelled(Transfer* transfer)
{
    transfer->result = USBD_STATUS_CANCELED;
    std::vector<Transfer*> ready{transfer};
    Complete(ready);
}

void TransferBook::Complete(std::vector<Transfer*>& ready)
{
    for (Transfer* transfer : ready) {
        PURB urb = transfer->urb;
        PIRP irp = transfer->irp;
        urb->UrbHeader.Status = transfer->result;
        if (transfer->lengthField) *transfer->lengthField = transfer->done;
        TransferOf(irp) = nullptr;
        irp->IoStatus.Status = NtStatusOf(transfer->result);
        irp->IoStatus.Information = 0;
        delete transfer;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    ready.clear();
}

NTSTATUS TransferBook::CompleteNow(PIRP irp, PURB urb, USBD_STATUS status)
{
    if (urb) urb->UrbHeader.Status = status;
    const NTSTATUS result = NtStatusOf(status);
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

}  // namespace emu::usb
