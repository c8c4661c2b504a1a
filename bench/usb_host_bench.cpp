// Throughput of the USB host alone: bulk IN URBs through IOCTL_INTERNAL_USB_SUBMIT_URB to a device
// that always has a full packet ready, with the bus unpaced. Eight URBs stay outstanding on the
// pipe; each one's completion routine (run from the host's DPC, as a driver's would be) sends it
// again at once, until the batch is done.
//
// Reported: URBs per second (items_per_second), bytes per second, and the CPU time of the whole
// process (every thread) per URB, so the cost of the DPC thread that does the host's work counts.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "machine.h"
#include "usb_host.h"

namespace {

using emu::usb::MachineTime;

constexpr uint8_t kInEndpoint = 0x81;
constexpr size_t kOutstanding = 8;

// A full-speed device with one bulk IN endpoint that always has a full packet to send.
class StreamingDevice final : public emu::usb::DeviceModel {
public:
    std::vector<uint8_t> DeviceDescriptor() const override
    {
        return {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0, 0, 0, 1};
    }
    std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) const override
    {
        if (index != 0) return {};
        return {9, 2, 25, 0, 1, 1, 0, 0x80, 50,           // configuration
                9, 4, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0,       // interface 0
                7, 5, kInEndpoint, 2, 64, 0, 0};          // bulk IN, 64 bytes
    }
    emu::usb::ControlReply Control(const emu::usb::SetupPacket&, std::span<const uint8_t>, MachineTime) override
    {
        return emu::usb::ControlReply::Ack();
    }
    emu::usb::Handshake BulkOut(uint8_t, std::span<const uint8_t>, MachineTime) override { return emu::usb::Handshake::Ack; }
    emu::usb::InReply BulkIn(uint8_t, std::span<uint8_t> slot, MachineTime) override
    {
        slot[0] = m_sequence++;
        return emu::usb::InReply::Data(slot.size());
    }

private:
    uint8_t m_sequence = 0;
};

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The machine, the plugged device and its configured IN pipe.
class Bench {
public:
    Bench() : m_machine(Options())
    {
        m_machine.GetUsb().Scheduler().SetPaced(false);
        emu::usb::UsbDevice* device = m_machine.GetUsb().Plug(std::make_shared<StreamingDevice>());
        m_pdo = device ? device->Pdo() : nullptr;
        if (m_pdo) Configure();
    }
    bool Ok() const { return m_pipe != nullptr; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    USBD_PIPE_HANDLE Pipe() const { return m_pipe; }

private:
    static emu::MachineOptions Options()
    {
        emu::MachineOptions options;
        options.clockScale = 0;  // the bus is unpaced: no timer is needed
        return options;
    }
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        static_cast<std::atomic<bool>*>(context)->store(true);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // One synchronous URB (the host answers selections at once).
    void Submit(URB& urb)
    {
        PIRP irp = IoAllocateIrp(m_pdo->StackSize, FALSE);
        std::atomic<bool> done{false};
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, &Bench::Done, &done, TRUE, TRUE, TRUE);
        IoCallDriver(m_pdo, irp);
        while (!done.load()) std::this_thread::yield();
        IoFreeIrp(irp);
    }
    void Configure()
    {
        std::vector<uint8_t> configuration = StreamingDevice().ConfigurationDescriptor(0);
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, -1, -1, -1, -1), nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        list[0].Interface->Pipes[0].MaximumTransferSize = 4096;
        Submit(*urb);
        if (USBD_SUCCESS(urb->UrbHeader.Status)) m_pipe = list[0].Interface->Pipes[0].PipeHandle;
        ExFreePool(urb);
    }

    emu::Machine m_machine;
    PDEVICE_OBJECT m_pdo = nullptr;
    USBD_PIPE_HANDLE m_pipe = nullptr;
};

// Keeps eight bulk IN URBs outstanding until `total` have completed.
class Pump {
public:
    Pump(const Bench& bench, ULONG length) : m_pdo(bench.Pdo()), m_pipe(bench.Pipe())
    {
        for (size_t i = 0; i < kOutstanding; ++i) {
            auto slot = std::make_unique<Slot>();
            slot->pump = this;
            slot->buffer.resize(length);
            slot->irp = IoAllocateIrp(m_pdo->StackSize, FALSE);
            m_slots.push_back(std::move(slot));
        }
    }
    ~Pump()
    {
        for (auto& slot : m_slots) IoFreeIrp(slot->irp);
    }
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    // Runs until `total` URBs completed; returns how many completed with an error.
    uint64_t Run(uint64_t total)
    {
        m_started = 0;
        m_completed = 0;
        m_failed = 0;
        m_total = total;
        for (auto& slot : m_slots)
            if (m_started < m_total) Send(*slot);
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [&] { return m_completed.load() == m_started.load() && m_started.load() == m_total; });
        return m_failed;
    }

private:
    struct Slot {
        Pump* pump = nullptr;
        PIRP irp = nullptr;
        URB urb{};
        std::vector<uint8_t> buffer;
    };

    void Send(Slot& slot)
    {
        ++m_started;
        IoReuseIrp(slot.irp, STATUS_SUCCESS);
        UsbBuildInterruptOrBulkTransferRequest(&slot.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), m_pipe,
                                               slot.buffer.data(), nullptr, static_cast<ULONG>(slot.buffer.size()),
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(slot.irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &slot.urb;
        IoSetCompletionRoutine(slot.irp, &Pump::Completed, &slot, TRUE, TRUE, TRUE);
        IoCallDriver(m_pdo, slot.irp);
    }

    // Runs at DISPATCH_LEVEL in the host's DPC: counts the URB and sends it again.
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto& slot = *static_cast<Slot*>(context);
        Pump& pump = *slot.pump;
        if (!NT_SUCCESS(irp->IoStatus.Status)) ++pump.m_failed;
        if (pump.m_started.load() < pump.m_total) {
            ++pump.m_completed;
            pump.Send(slot);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        {
            std::lock_guard lock(pump.m_mutex);
            ++pump.m_completed;
        }
        pump.m_finished.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT m_pdo;
    USBD_PIPE_HANDLE m_pipe;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::atomic<uint64_t> m_started{0};
    std::atomic<uint64_t> m_completed{0};
    std::atomic<uint64_t> m_failed{0};
    uint64_t m_total = 0;
    std::mutex m_mutex;
    std::condition_variable m_finished;
};

void BM_BulkInUrbs(benchmark::State& state)
{
    const auto length = static_cast<ULONG>(state.range(0));
    const uint64_t batch = length <= 64 ? 200000 : 20000;
    Bench bench;
    if (!bench.Ok()) {
        state.SkipWithError("the device did not configure");
        return;
    }
    Pump pump(bench, length);
    uint64_t urbs = 0;
    uint64_t failed = 0;
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        failed += pump.Run(batch);
        urbs += batch;
    }
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    if (failed) state.SkipWithError("URBs failed");
    state.SetItemsProcessed(static_cast<int64_t>(urbs));
    state.SetBytesProcessed(static_cast<int64_t>(urbs * length));
    state.counters["cpu_us_per_urb"] = benchmark::Counter(cpu * 1e6 / static_cast<double>(urbs));
    state.counters["cpu_cores"] = benchmark::Counter(cpu, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_BulkInUrbs)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
