// Test support for the USB host: a machine with a paused clock and a USB host, and URBs sent to a
// PDO the way a client driver sends them (an IRP of its own, a completion routine that keeps it).
#pragma once

#include <gtest/gtest.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "machine_test.h"
#include "scripted_usb_device.h"
#include "usb_host.h"

namespace emu::testing {

// One IRP carrying URBs (or port requests) to a PDO, reused from one request to the next.
class UrbRequest {
public:
    explicit UrbRequest(PDEVICE_OBJECT pdo);
    ~UrbRequest();
    UrbRequest(const UrbRequest&) = delete;
    UrbRequest& operator=(const UrbRequest&) = delete;

    // Sends the URB (IOCTL_INTERNAL_USB_SUBMIT_URB) and returns what IoCallDriver returned.
    NTSTATUS Send(URB& urb);
    // Sends an internal control code with Argument1.
    NTSTATUS SendControl(ULONG code, PVOID argument1 = nullptr);
    // Waits (a real-time bound guards against a broken host) for the completion.
    bool Wait(std::chrono::milliseconds bound = std::chrono::seconds(10));
    bool Done() const { return m_done.load(); }
    NTSTATUS Status() const { return m_irp->IoStatus.Status; }
    // The IRQL the completion routine ran at.
    KIRQL CompletionIrql() const { return m_completionIrql; }
    PIRP Irp() { return m_irp; }
    // IoCancelIrp.
    BOOLEAN Cancel() { return IoCancelIrp(m_irp); }
    // Runs inside the completion routine (at its IRQL), before the request counts as done.
    void OnCompletion(std::function<void()> action) { m_onCompletion = std::move(action); }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context);
    NTSTATUS Call(ULONG code, PVOID argument1);

    PDEVICE_OBJECT m_pdo;
    PIRP m_irp;
    std::atomic<bool> m_done{false};
    KIRQL m_completionIrql = PASSIVE_LEVEL;
    std::function<void()> m_onCompletion;
    bool m_sent = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

class UsbHostTest : public MachineTest {
protected:
    MachineOptions Options() const override;
    void SetUp() override;

    usb::UsbHost& Host() { return machine().GetUsb(); }
    usb::BusScheduler& Bus() { return Host().Scheduler(); }
    // Plugs a scripted device (unpaced bus by default, so requests need no time to pass).
    std::shared_ptr<ScriptedUsbDevice> PlugScripted(const ScriptedUsbDevice::Description& description,
                                                    usb::UsbDevice** device = nullptr, unsigned port = 0);
    // Advances the paused machine clock; the scheduler's slots due meanwhile run before it returns.
    void Advance(usb::MachineTime time);
    usb::MachineTime Now() const { return static_cast<usb::MachineTime>(KeQueryInterruptTime()); }
    // Lets the scheduler's queued run happen now (a barrier, so staged timing is exact).
    void Settle() { KeFlushQueuedDpcs(); }

    // Synchronous helpers through a PDO; each returns the URB's USBD status.
    USBD_STATUS GetDescriptor(PDEVICE_OBJECT pdo, UCHAR type, UCHAR index, std::vector<uint8_t>& bytes, ULONG length);
    std::vector<uint8_t> ConfigurationDescriptor(PDEVICE_OBJECT pdo);
    // Selects the first configuration with every interface the descriptor has (at the given
    // MaximumTransferSize for every pipe); the URB stays for the test to read.
    struct Selection {
        USBD_STATUS status = USBD_STATUS_PENDING;
        std::vector<uint8_t> configuration;  // the descriptor the URB points at
        PURB urb = nullptr;                  // from USBD_CreateConfigurationRequestEx
        std::vector<PUSBD_INTERFACE_INFORMATION> interfaces;
        ~Selection();
        USBD_PIPE_HANDLE Pipe(uint8_t address) const;
    };
    std::unique_ptr<Selection> SelectConfiguration(PDEVICE_OBJECT pdo, ULONG maximumTransferSize = 4096);
    USBD_STATUS Vendor(PDEVICE_OBJECT pdo, bool in, UCHAR request, USHORT value, USHORT index,
                       std::vector<uint8_t>& data, ULONG flags = 0, ULONG* transferred = nullptr,
                       USHORT function = URB_FUNCTION_VENDOR_INTERFACE);
    USBD_STATUS PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe);
    // A bulk transfer, waited for; `data` is the OUT data or the IN buffer (resized to what came).
    USBD_STATUS Bulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, std::vector<uint8_t>& data, ULONG flags = 0,
                     NTSTATUS* irpStatus = nullptr);

    // A bulk transfer of its own, sent and left to the test.
    struct PendingBulk {
        explicit PendingBulk(PDEVICE_OBJECT pdo) : request(pdo) {}
        UrbRequest request;
        URB urb{};
        std::vector<uint8_t> buffer;
        ULONG Transferred() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
        USBD_STATUS UrbStatus() const { return urb.UrbHeader.Status; }
    };
    std::unique_ptr<PendingBulk> StartBulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = 0,
                                           std::vector<uint8_t> out = {});
};

}  // namespace emu::testing
