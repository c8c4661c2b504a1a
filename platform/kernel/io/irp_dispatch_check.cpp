// The I/O verifier's view of each dispatch call: the pending protocol in both directions (a routine
// that returns STATUS_PENDING has marked its stack location pending, and one that marked it returns
// STATUS_PENDING) and the IRQL a dispatch routine returns at.
//
// Whether a location was marked is known only once completion passes it: a driver that sends the
// IRP on with a completion routine returns STATUS_PENDING first and marks its location from the
// routine later. So each call is kept as a frame until both halves are known, in either order.
#include <wdm.h>

#include "io/io_manager.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <cstdio>
#include <string>
#include <vector>

namespace emu {

namespace {

std::string RoutineText(const void* routine, UCHAR major)
{
    char text[96];
    std::snprintf(text, sizeof text, "dispatch routine %p (major function %u)", routine, static_cast<unsigned>(major));
    return text;
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

uint64_t IoManager::BeginDispatch(PIRP irp, PDRIVER_DISPATCH routine)
{
    std::lock_guard lock(m_mutex);
    auto it = m_irps.find(irp);
    if (it == m_irps.end()) return 0;
    const uint64_t id = m_nextFrame++;
    m_frames.emplace(id, DispatchFrame{irp, it->second.generation, irp->CurrentLocation,
                                       IoGetCurrentIrpStackLocation(irp)->MajorFunction,
                                       reinterpret_cast<const void*>(routine), std::nullopt, std::nullopt});
    m_framesOfIrp.emplace(irp, id);
    return id;
}

void IoManager::EraseFrame(uint64_t id)
{
    auto it = m_frames.find(id);
    if (it == m_frames.end()) return;
    auto [first, last] = m_framesOfIrp.equal_range(it->second.irp);
    for (auto entry = first; entry != last; ++entry) {
        if (entry->second != id) continue;
        m_framesOfIrp.erase(entry);
        break;
    }
    m_frames.erase(it);
}

void IoManager::EndDispatch(uint64_t id, NTSTATUS returned)
{
    DispatchFrame frame{};
    {
        std::lock_guard lock(m_mutex);
        auto it = m_frames.find(id);
        if (it == m_frames.end()) return;
        it->second.returned = returned;
        // Still waiting for completion to pass its location, unless the IRP has gone without that.
        if (!it->second.marked && it->second.irp) return;
        frame = it->second;
        EraseFrame(id);
    }
    JudgeFrame(frame);
}

void IoManager::NoteLocationCompleted(PIRP irp, uint64_t generation, CHAR location, bool marked)
{
    std::vector<DispatchFrame> judged;
    {
        std::lock_guard lock(m_mutex);
        std::vector<uint64_t> done;
        auto [first, last] = m_framesOfIrp.equal_range(irp);
        for (auto entry = first; entry != last; ++entry) {
            DispatchFrame& frame = m_frames.at(entry->second);
            if (frame.generation != generation || frame.location != location || frame.marked) continue;
            frame.marked = marked;
            if (!frame.returned) continue;
            judged.push_back(frame);
            done.push_back(entry->second);
        }
        for (uint64_t id : done) EraseFrame(id);
    }
    for (const DispatchFrame& frame : judged) JudgeFrame(frame);
}

void IoManager::OrphanFrames(PIRP irp)
{
    auto [first, last] = m_framesOfIrp.equal_range(irp);
    for (auto entry = first; entry != last; ++entry) {
        auto it = m_frames.find(entry->second);
        if (it->second.returned)
            m_frames.erase(it);  // never completed past its location: nothing left to judge
        else
            it->second.irp = nullptr;  // judged when its dispatch returns, if its location was passed
    }
    m_framesOfIrp.erase(first, last);
}

void IoManager::JudgeFrame(const DispatchFrame& frame)
{
    if (!frame.returned || !frame.marked) return;
    const bool pending = *frame.returned == STATUS_PENDING;
    if (pending && !*frame.marked)
        m_kernel.GetVerifier().Report(Violation::IrpPendingMismatch,
                                       RoutineText(frame.routine, frame.major) +
                                           " returned STATUS_PENDING without marking the IRP pending (IoMarkIrpPending)");
    else if (!pending && *frame.marked)
        m_kernel.GetVerifier().Report(Violation::IrpPendingMismatch,
                                       RoutineText(frame.routine, frame.major) + " marked the IRP pending but returned " +
                                           StatusText(*frame.returned) + " instead of STATUS_PENDING");
}

void IoManager::CheckDispatchIrql(PDRIVER_DISPATCH routine, UCHAR major, KIRQL before)
{
    const KIRQL after = KeGetCurrentIrql();
    if (after == before) return;
    ReportViolation(Violation::DispatchIrqlChanged,
                    RoutineText(reinterpret_cast<const void*>(routine), major) + " returned at IRQL " +
                        std::to_string(static_cast<unsigned>(after)) + ", called at IRQL " +
                        std::to_string(static_cast<unsigned>(before)));
    SetCurrentIrql(before);  // the caller goes on where it was
}

}  // namespace emu
