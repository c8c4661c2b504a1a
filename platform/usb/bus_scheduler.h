// The bus-time model of the host controller: full-speed frames of 1 ms on the machine clock.
//
// Paced (the default): each frame has 19 packet slots, one about every 1/19 ms, shared by every
// device on the host. At each slot the scheduler takes the next pipe in turn that has a transfer
// ready and moves one packet of it (a control transfer goes whole in one slot): an OUT packet the
// device refuses (NAK) or an IN slot it leaves empty is offered again later - at the time the
// model says its answer may change, else in the next frame, or at once when the model notifies
// the host. Packets thus move through a frame as bus time passes, never in one burst; a 4096-byte
// transfer takes at least 64 slots (over 3 ms).
//
// Unpaced (benchmarks, fast tests): no frame budget; a run moves every packet the devices take.
//
// The scheduler runs in a DPC (DISPATCH_LEVEL), queued when work arrives and armed on a kernel
// timer for the next slot or event, so it follows the machine clock whether it runs, is scaled,
// paused or jumped: a jump runs the slots it skipped, in order, before the clock change returns.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "device_model.h"
#include "transfer.h"

namespace emu::usb {

class UsbHost;
class UsbDevice;

inline constexpr MachineTime kFrameLength = kMillisecond;
inline constexpr unsigned kSlotsPerFrame = 19;

struct BusStatistics {
    uint64_t packets = 0;        // data packets (and control transfers) that moved
    uint64_t refusals = 0;       // NAKs and empty IN slots
    uint64_t runs = 0;           // scheduler runs
};

class BusScheduler {
public:
    explicit BusScheduler(UsbHost& host);
    // Stops the timer and waits for a run in progress.
    ~BusScheduler();
    BusScheduler(const BusScheduler&) = delete;
    BusScheduler& operator=(const BusScheduler&) = delete;

    void SetPaced(bool paced);
    bool Paced() const { return m_paced.load(); }
    // The frame number the host reports (GET_CURRENT_FRAME_NUMBER): machine time in ms.
    static ULONG FrameAt(MachineTime time) { return static_cast<ULONG>(time / kFrameLength); }
    // Machine time of slot `slot` of frame `frame`.
    static MachineTime SlotTime(int64_t frame, unsigned slot);
    // Packets that moved in that frame (the last 256 frames are kept).
    unsigned PacketsInFrame(int64_t frame) const;
    BusStatistics Statistics() const;

    // Asks for a run soon (any IRQL, lock held or not).
    void Kick();

    // ---- Under the host's lock -------------------------------------------------------------------
    // The pipe has transfers: it takes its turn from now on.
    void Activate(Pipe& pipe);
    // The device is going: none of its pipes takes a turn any more.
    void Forget(const UsbDevice& device);
    // The earliest machine time a transfer queued now may move its first packet: after the slot
    // being run when queued from inside a run (a completion routine sending the next request).
    MachineTime EligibleFrom(MachineTime now) const;

private:
    static void DpcRoutine(PKDPC dpc, PVOID context, PVOID, PVOID);
    void Run();
    // The slots due by now, in order. True when it stopped after a slot that finished transfers,
    // so they are delivered before the next slot runs.
    bool RunPaced(MachineTime now, std::vector<Transfer*>& ready);
    // Every packet the devices take now; true when there is more to do after delivering.
    bool RunUnpaced(MachineTime now, std::vector<Transfer*>& ready);
    // One transaction for the transfer at the head of the pipe; true when it used the bus.
    bool Step(Pipe& pipe, MachineTime at, std::vector<Transfer*>& ready);
    void Finished(Pipe& pipe, Transfer* transfer, USBD_STATUS status, MachineTime at, std::vector<Transfer*>& ready);
    MachineTime RetryTime(UsbDevice& device, MachineTime at) const;
    std::optional<MachineTime> ReadyTime(const Pipe& pipe) const;
    bool Ready(const Pipe& pipe, MachineTime at) const;
    std::optional<MachineTime> NextWork() const;
    void TakeNotifications();
    // The pipe just moved a packet: it goes to the back of the turn order.
    void ServedLast(Pipe* pipe);
    void ArmTimer();
    void DropIdlePipes();
    void AdvanceSlot();
    // The cursor goes to the first slot at or after `time` (never back).
    void MoveCursorTo(MachineTime time);
    void CountPacket(MachineTime at);

    UsbHost& m_host;
    std::atomic<bool> m_paced{true};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_used{false};  // its DPC was ever queued or its timer armed
    KTIMER m_timer;
    KDPC m_dpc;

    // Under the host's lock.
    std::vector<Pipe*> m_pipes;  // pipes with transfers, the one served longest ago first
    int64_t m_frame = 0;         // the slot the next packet goes in
    unsigned m_slot = 0;
    bool m_running = false;      // a run is in progress (on m_runner)
    std::atomic<bool> m_again{false};           // asked to run again while running
    std::atomic<std::thread::id> m_runner{};    // read without the lock by Kick
    MachineTime m_runTime = 0;   // the slot being run
    std::array<std::pair<int64_t, unsigned>, 256> m_frameCounts{};
    BusStatistics m_statistics;
};

}  // namespace emu::usb
