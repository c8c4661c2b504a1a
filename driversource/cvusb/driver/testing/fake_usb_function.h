// A USB function for the bus driver's unit tests: the internal device-control dispatch of a USB PDO
// that answers URBs the way the USB stack does for one- and two-interface serial adapters, with
// scripted outcomes, and records what it was asked.
//
// Device and configuration descriptors, selection (fresh handles every time), vendor requests to
// the interface (answered at once or as the script says: a transaction error, a STALL, a request
// that hangs until cancelled, device gone), port resets, bulk OUT (taken at once, in part, or held
// until cancelled) and bulk IN (held until the test completes or fails it). Pending requests are
// cancellable; a cancelled one completes with STATUS_CANCELLED and the URB status
// USBD_STATUS_CANCELED. Completions the test makes run at DISPATCH_LEVEL, as a DPC of the host
// controller would run them.
#pragma once

#include <wdm.h>
#include <usbdi.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace cvusbtest {

// Outcome of one scripted vendor request.
enum class VendorOutcome { Succeed, XactError, Stall, Hang, DeviceGone };

struct VendorRecord {
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    bool in = false;
    ULONG length = 0;
};

struct SelectedPipe {
    UCHAR interfaceNumber = 0;
    UCHAR endpointAddress = 0;
    ULONG maximumTransferSize = 0;
    USBD_PIPE_HANDLE handle = nullptr;
};

class FakeUsbFunction {
public:
    // Interfaces 0 .. interfaces - 1, each with bulk IN 0x81 + 2i and bulk OUT 0x02 + 2i of 64 bytes.
    explicit FakeUsbFunction(int interfaces = 1, USHORT vendorId = 0x0403, USHORT productId = 0x6001);
    // Completes every request still pending (cancelled).
    ~FakeUsbFunction();
    FakeUsbFunction(const FakeUsbFunction&) = delete;
    FakeUsbFunction& operator=(const FakeUsbFunction&) = delete;

    // IRP_MJ_INTERNAL_DEVICE_CONTROL of the PDO.
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

    // ---- Identity -------------------------------------------------------------------------------
    void SetDeviceClass(UCHAR deviceClass, UCHAR subClass, UCHAR protocol);

    // ---- Scripting ------------------------------------------------------------------------------
    // Outcomes of the next vendor requests, in order; afterwards every request succeeds.
    void ScriptVendor(std::vector<VendorOutcome> outcomes);
    // Data an IN request with this number answers with (as much as fits).
    void SetVendorInData(UCHAR request, std::vector<uint8_t> data);
    // Bulk OUT: take only the first `bytes` of every transfer (nothing: all of it), or hold every
    // transfer until it is cancelled.
    void SetBulkOutAccept(std::optional<ULONG> bytes);
    void SetBulkOutHang(bool hang);
    // The selection fails.
    void FailSelection(bool fail);

    // ---- Bulk IN --------------------------------------------------------------------------------
    size_t PendingBulkIn() const;
    bool WaitForPendingBulkIn(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    // Completes the oldest pending bulk IN with the data (cut to its length); false when none is.
    bool CompleteBulkIn(const std::vector<uint8_t>& data);
    // Completes it with an error.
    bool FailBulkIn(USBD_STATUS urbStatus, NTSTATUS status = STATUS_UNSUCCESSFUL);
    // Lengths of the bulk IN transfers asked for, in order.
    std::vector<ULONG> BulkInLengths() const;

    // ---- What happened --------------------------------------------------------------------------
    std::vector<USHORT> UrbFunctions() const;          // every URB, in order
    std::vector<VendorRecord> VendorRequests() const;  // every vendor request, in order
    std::vector<SelectedPipe> SelectedPipes() const;   // the pipes of the last selection
    std::vector<std::vector<uint8_t>> BulkOut() const; // what each bulk OUT carried (all of it)
    std::vector<USBD_PIPE_HANDLE> PipeResets() const;
    size_t PortResets() const;
    size_t Selections() const;
    // Wait (bounded in real time) until that many vendor requests, port resets or pending requests
    // of any kind were seen.
    bool WaitForVendorRequests(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    bool WaitForPending(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    size_t PendingCount() const;

    // The descriptors it answers with.
    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigurationDescriptor() const;

private:
    enum class PendKind { BulkIn, BulkOut, Vendor };
    struct Pending {
        PIRP irp;
        PURB urb;
        PendKind kind;
    };

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS Vendor(PIRP irp, PURB urb);
    NTSTATUS Bulk(PIRP irp, PURB urb);
    NTSTATUS PipeReset(PIRP irp, PURB urb);
    NTSTATUS Complete(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus);
    NTSTATUS Pend(PIRP irp, PURB urb, PendKind kind);
    // Takes the oldest pending request of a kind out (its cancel routine cleared); null when none.
    std::optional<Pending> Take(PendKind kind);
    void CompleteAtDispatch(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus);
    bool IsInPipe(USBD_PIPE_HANDLE handle) const;
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    const int m_interfaces;
    const USHORT m_vendorId;
    const USHORT m_productId;
    UCHAR m_class = 0, m_subClass = 0, m_protocol = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<VendorOutcome> m_script;
    std::vector<std::pair<UCHAR, std::vector<uint8_t>>> m_inData;
    std::optional<ULONG> m_outAccept;
    bool m_outHang = false;
    bool m_failSelection = false;
    std::vector<Pending> m_pending;
    size_t m_completing = 0;
    uintptr_t m_nextHandle = 0x1000;
    std::vector<SelectedPipe> m_pipes;
    std::vector<USHORT> m_functions;
    std::vector<VendorRecord> m_vendors;
    std::vector<std::vector<uint8_t>> m_out;
    std::vector<ULONG> m_inLengths;
    std::vector<USBD_PIPE_HANDLE> m_pipeResets;
    size_t m_portResets = 0;
    size_t m_selections = 0;
};

}  // namespace cvusbtest
