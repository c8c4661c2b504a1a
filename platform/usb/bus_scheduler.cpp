#include "bus_scheduler.h"

#include <algorithm>

#include "ke/clock.h"
#include "transfer_runner.h"
#include "usb_device.h"
#include "usb_host.h"

namespace emu::usb {

namespace {

// Unpaced runs give the DPC queue back after this many rounds of completions.
constexpr size_t kUnpacedRounds = 64;
constexpr size_t kUnpacedPacketsPerRound = 4096;

int64_t FrameOf(MachineTime time) { return time / kFrameLength; }

}  // namespace

// Full-speed interrupt endpoints are polled every 2^n frames, n from bInterval.
int64_t Pipe::Period() const
{
    if (type != USB_ENDPOINT_TYPE_INTERRUPT) return 1;
    int64_t period = 1;
    while (period * 2 <= interval && period < 32) period *= 2;
    return period;
}

BusScheduler::BusScheduler(UsbHost& host) : m_host(host)
{
    KeInitializeTimerEx(&m_timer, NotificationTimer);
    KeInitializeDpc(&m_dpc, &BusScheduler::DpcRoutine, this);
}

BusScheduler::~BusScheduler()
{
    // Stopped, nothing arms the timer or queues the DPC again; a run that has begun (or whose DPC
    // was taken off the queue) is waited for, as a driver flushes its DPCs before it goes.
    m_stopped = true;
    KeCancelTimer(&m_timer);
    KeRemoveQueueDpc(&m_dpc);
    if (m_used) KeFlushQueuedDpcs();
}

void BusScheduler::SetPaced(bool paced)
{
    m_paced = paced;
    Kick();
}

MachineTime BusScheduler::SlotTime(int64_t frame, unsigned slot)
{
    return frame * kFrameLength + static_cast<MachineTime>(slot) * kFrameLength / kSlotsPerFrame;
}

unsigned BusScheduler::PacketsInFrame(int64_t frame) const
{
    std::lock_guard lock(m_host.Mutex());
    const auto& entry = m_frameCounts[static_cast<size_t>(frame) % m_frameCounts.size()];
    return entry.first == frame ? entry.second : 0;
}

BusStatistics BusScheduler::Statistics() const
{
    std::lock_guard lock(m_host.Mutex());
    return m_statistics;
}

void BusScheduler::Kick()
{
    if (m_stopped) return;
    m_used = true;
    // From inside a run (a completion routine sending its next request): the run goes round again.
    if (m_runner.load() == std::this_thread::get_id()) {
        m_again = true;
        return;
    }
    KeInsertQueueDpc(&m_dpc, nullptr, nullptr);
}

void BusScheduler::Activate(Pipe& pipe)
{
    if (pipe.active) return;
    pipe.active = true;
    m_pipes.insert(m_pipes.begin(), &pipe);  // never served: its turn comes first
}

void BusScheduler::Forget(const UsbDevice& device)
{
    std::erase_if(m_pipes, [&](Pipe* pipe) { return pipe->device == &device; });
}

MachineTime BusScheduler::EligibleFrom(MachineTime now) const
{
    if (m_paced && m_running && m_runner.load() == std::this_thread::get_id()) return m_runTime + 1;
    return now;
}

void BusScheduler::DpcRoutine(PKDPC, PVOID context, PVOID, PVOID) { static_cast<BusScheduler*>(context)->Run(); }

void BusScheduler::Run()
{
    std::unique_lock lock(m_host.Mutex());
    if (m_running) {
        m_again = true;  // the run in progress goes round once more
        return;
    }
    m_running = true;
    m_runner = std::this_thread::get_id();
    ++m_statistics.runs;
    std::vector<Transfer*> ready;
    bool yield = false;
    for (size_t round = 0;; ++round) {
        m_again = false;
        const MachineTime now = m_host.Now();
        TakeNotifications();
        const bool more = m_paced ? RunPaced(now, ready) : RunUnpaced(now, ready);
        lock.unlock();
        // The tree hears of an unplug before any driver hears of its failed transfers.
        m_host.ReportDepartures();
        TransferBook::Complete(ready);
        lock.lock();
        if (!more && !m_again) break;
        if (!m_paced && round + 1 >= kUnpacedRounds) {
            yield = true;
            break;
        }
    }
    DropIdlePipes();
    m_running = false;
    m_runner = std::thread::id{};
    if (yield)
        Kick();
    else
        ArmTimer();
}

void BusScheduler::TakeNotifications()
{
    std::vector<UsbDevice*> notified;
    for (Pipe* pipe : m_pipes)
        if (pipe->device->TakeNotification()) notified.push_back(pipe->device);
    for (Pipe* pipe : m_pipes)
        if (std::find(notified.begin(), notified.end(), pipe->device) != notified.end()) pipe->retryAt = 0;
}

bool BusScheduler::RunPaced(MachineTime now, std::vector<Transfer*>& ready)
{
    for (;;) {
        const MachineTime at = SlotTime(m_frame, m_slot);
        if (at > now) return false;
        m_runTime = at;
        // Held-back completions come in time order with the slots.
        m_host.Transfers().ReleaseDelayed(at, ready);
        if (!ready.empty()) return true;
        // The slot goes to the pipe served longest ago that moves a packet in it.
        bool used = false;
        for (size_t index = 0; index < m_pipes.size() && !used; ++index) {
            Pipe* pipe = m_pipes[index];
            if (Ready(*pipe, at) && Step(*pipe, at, ready)) {
                used = true;
                ServedLast(pipe);
            }
        }
        if (used) {
            CountPacket(at);
            AdvanceSlot();
            if (!ready.empty()) return true;  // deliver them before the next slot
            continue;
        }
        // Nothing could go in this slot: on to the first slot something can use.
        const std::optional<MachineTime> next = NextWork();
        if (!next || *next > now) {
            MoveCursorTo(now + 1);
            return false;
        }
        MoveCursorTo(std::max(*next, at + 1));
    }
}

bool BusScheduler::RunUnpaced(MachineTime now, std::vector<Transfer*>& ready)
{
    m_runTime = now;
    m_host.Transfers().ReleaseDelayed(now, ready);
    size_t budget = kUnpacedPacketsPerRound;
    for (Pipe* pipe : std::vector<Pipe*>(m_pipes)) {
        bool moved = false;
        while (budget && Ready(*pipe, now) && Step(*pipe, now, ready)) {
            --budget;
            moved = true;
        }
        if (moved) ServedLast(pipe);
    }
    MoveCursorTo(now + 1);
    return !ready.empty() || budget == 0;
}

void BusScheduler::ServedLast(Pipe* pipe)
{
    auto it = std::find(m_pipes.begin(), m_pipes.end(), pipe);
    if (it != m_pipes.end()) std::rotate(it, it + 1, m_pipes.end());
}

bool BusScheduler::Step(Pipe& pipe, MachineTime at, std::vector<Transfer*>& ready)
{
    Transfer* transfer = pipe.queue.front();
    UsbDevice& device = *pipe.device;
    if (transfer->fault && transfer->fault->action == Fault::Action::Unplug) {
        transfer->fault.reset();
        m_host.UnplugLocked(device, ready);
        return true;
    }
    if (transfer->fault && transfer->fault->action == Fault::Action::Fail) {
        const USBD_STATUS status = transfer->fault->status;
        transfer->fault.reset();
        Finished(pipe, transfer, status, at, ready);
        return true;
    }
    const PacketResult result = RunPacket(*transfer, at);
    if (pipe.type == USB_ENDPOINT_TYPE_INTERRUPT) pipe.lastFrame = FrameOf(at);
    if (result.refused) {
        ++m_statistics.refusals;
        pipe.retryAt = RetryTime(device, at);
        return false;
    }
    ++m_statistics.packets;
    if (result.finished) Finished(pipe, transfer, result.status, at, ready);
    return true;
}

void BusScheduler::Finished(Pipe& pipe, Transfer* transfer, USBD_STATUS status, MachineTime at,
                            std::vector<Transfer*>& ready)
{
    // An error on a bulk or interrupt endpoint halts it until the driver resets the pipe.
    if (!pipe.IsControl() && USBD_HALTED(status)) pipe.halted = true;
    m_host.Transfers().Finish(transfer, status, at, ready);
}

MachineTime BusScheduler::RetryTime(UsbDevice& device, MachineTime at) const
{
    const std::optional<MachineTime> event = device.Model().NextEvent(at);
    if (event) return std::max(*event, at + 1);
    return (FrameOf(at) + 1) * kFrameLength;
}

std::optional<MachineTime> BusScheduler::ReadyTime(const Pipe& pipe) const
{
    if (pipe.queue.empty()) return std::nullopt;
    const Transfer* head = pipe.queue.front();
    // A dropped transfer holds up the pipe behind it, as a transfer that never ends does.
    if (head->state != TransferState::Queued || head->cancelling) return std::nullopt;
    if (pipe.halted && !pipe.IsControl()) return std::nullopt;
    MachineTime time = std::max(head->eligibleFrom, pipe.retryAt);
    if (pipe.type == USB_ENDPOINT_TYPE_INTERRUPT && pipe.lastFrame >= 0) time = std::max(time, (pipe.lastFrame + pipe.Period()) * kFrameLength);
    return time;
}

bool BusScheduler::Ready(const Pipe& pipe, MachineTime at) const
{
    const std::optional<MachineTime> time = ReadyTime(pipe);
    return time && *time <= at;
}

std::optional<MachineTime> BusScheduler::NextWork() const
{
    std::optional<MachineTime> next = m_host.Transfers().NextDelayed();
    for (const Pipe* pipe : m_pipes)
        if (std::optional<MachineTime> time = ReadyTime(*pipe); time && (!next || *time < *next)) next = time;
    return next;
}

void BusScheduler::ArmTimer()
{
    if (m_stopped) return;
    std::optional<MachineTime> next = NextWork();
    if (!next) {
        KeCancelTimer(&m_timer);
        return;
    }
    MachineTime due = *next;
    if (m_paced) {
        const int64_t savedFrame = m_frame;
        const unsigned savedSlot = m_slot;
        MoveCursorTo(due);
        due = SlotTime(m_frame, m_slot);
        m_frame = savedFrame;
        m_slot = savedSlot;
    }
    m_used = true;
    LARGE_INTEGER when;
    when.QuadPart = Clock::kBootSystemTime + due;  // absolute: the system time of that interrupt time
    KeSetTimer(&m_timer, when, &m_dpc);
}

void BusScheduler::DropIdlePipes()
{
    for (Pipe* pipe : m_pipes)
        if (pipe->queue.empty()) pipe->active = false;
    std::erase_if(m_pipes, [](Pipe* pipe) { return !pipe->active; });
}

void BusScheduler::AdvanceSlot()
{
    if (++m_slot == kSlotsPerFrame) {
        m_slot = 0;
        ++m_frame;
    }
}

void BusScheduler::MoveCursorTo(MachineTime time)
{
    if (SlotTime(m_frame, m_slot) >= time) return;
    int64_t frame = FrameOf(time);
    const MachineTime offset = time - frame * kFrameLength;
    unsigned slot = static_cast<unsigned>((offset * kSlotsPerFrame) / kFrameLength);
    while (slot < kSlotsPerFrame && SlotTime(frame, slot) < time) ++slot;
    if (slot == kSlotsPerFrame) {
        slot = 0;
        ++frame;
    }
    m_frame = frame;
    m_slot = slot;
}

void BusScheduler::CountPacket(MachineTime at)
{
    const int64_t frame = FrameOf(at);
    auto& entry = m_frameCounts[static_cast<size_t>(frame) % m_frameCounts.size()];
    if (entry.first != frame) entry = {frame, 0};
    ++entry.second;
}

}  // namespace emu::usb
