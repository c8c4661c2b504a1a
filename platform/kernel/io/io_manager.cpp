// IRP memory and ownership of the I/O manager. Every IRP lives in one allocation owned by the
// IoManager's table, so a second free, a second completion or a free while a driver still owns the
// IRP is recognised without touching freed memory.
#include "io/io_manager.h"
#include "io/irp_shared_fields.h"

#include "io/file_objects.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <cstring>
#include <new>

namespace emu {

namespace {

constexpr CSHORT kIoTypeIrp = 6;
// CurrentLocation is a CHAR that runs up to StackCount + 2 once completion has reached the top.
constexpr int kMaxStackSize = 125;
constexpr size_t kFreedHistory = 256;

static_assert(sizeof(IRP) % alignof(IO_STACK_LOCATION) == 0, "stack locations follow the IRP");

// Layout: the IRP, one guard location, the StackSize locations, one spare location. The guard takes
// what a driver writes through IoGetNextIrpStackLocation when no location is left, so that mistake
// is reported by IofCallDriver instead of overwriting the IRP; the spare keeps the stack pointer
// inside the allocation once completion has passed the top.
size_t IrpAllocationSize(CCHAR stackSize)
{
    return sizeof(IRP) + (static_cast<size_t>(stackSize) + 2) * sizeof(IO_STACK_LOCATION);
}

PIO_STACK_LOCATION FirstStackLocation(PIRP irp)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<std::byte*>(irp) + sizeof(IRP)) + 1;
}

}  // namespace

IoManager::IoManager(Kernel& machine) : m_kernel(machine), m_fileObjects(std::make_unique<FileObjects>(machine))
{
    KeInitializeSpinLock(&m_cancelLock);
}

// IRPs still alive when the machine goes away are freed with it; device teardown reports the ones
// still pending on a device before this point.
IoManager::~IoManager() = default;

void IoManager::InitializeIrp(PIRP irp, CCHAR stackSize, size_t totalSize)
{
    std::memset(static_cast<void*>(irp), 0, totalSize);
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(totalSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = FirstStackLocation(irp) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
}

bool IoManager::TakeInjectedFailure()
{
    if (m_failAllocations == 0) return false;
    --m_failAllocations;
    return true;
}

void IoManager::FailNextAllocate(size_t count)
{
    std::lock_guard lock(m_mutex);
    m_failAllocations = count;
}

PIRP IoManager::NewIrp(CCHAR stackSize, IrpRecord record)
{
    if (stackSize < 0 || stackSize > kMaxStackSize) return nullptr;
    const size_t size = IrpAllocationSize(stackSize);
    std::lock_guard lock(m_mutex);
    if (TakeInjectedFailure()) return nullptr;
    record.memory.reset(new (std::nothrow) std::byte[size]);
    if (!record.memory) return nullptr;
    PIRP irp = reinterpret_cast<PIRP>(record.memory.get());
    InitializeIrp(irp, stackSize, size);
    record.stackSize = stackSize;
    if (record.systemBuffer) irp->AssociatedIrp.SystemBuffer = record.systemBuffer.get();
    irp->UserIosb = record.finish.iosb;
    irp->UserEvent = record.finish.event;
    m_irps.emplace(irp, std::move(record));
    return irp;
}

PIRP IoManager::AllocateIrp(CCHAR stackSize) { return NewIrp(stackSize, IrpRecord{}); }

PIRP IoManager::AllocateBuiltIrp(CCHAR stackSize, ULONG systemBufferLength, RequestFinish finish)
{
    IrpRecord record;
    record.built = true;
    record.finish = std::move(finish);
    if (systemBufferLength != 0) {
        record.systemBuffer.reset(new (std::nothrow) std::byte[systemBufferLength]());
        if (!record.systemBuffer) return nullptr;
        record.systemBufferLength = systemBufferLength;
    }
    return NewIrp(stackSize, std::move(record));
}

void IoManager::RememberFreed(PIRP irp)
{
    m_freedHistory.push_back(irp);
    if (m_freedHistory.size() > kFreedHistory) m_freedHistory.pop_front();
}

bool IoManager::WasFreed(PIRP irp) const
{
    for (PIRP freed : m_freedHistory)
        if (freed == irp) return true;
    return false;
}

void IoManager::FreeIrp(PIRP irp)
{
    IrpRecord released;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_irps.find(irp);
        if (it == m_irps.end()) {
            m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                           WasFreed(irp) ? "IoFreeIrp of an IRP that is already freed"
                                                         : "IoFreeIrp of a pointer that is no IRP");
            return;
        }
        if (it->second.state == IrpState::InFlight) {
            // Freeing it would pull the IRP from under the driver that holds it: keep it alive.
            m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                           "IoFreeIrp of an IRP that a lower driver still owns");
            return;
        }
        if (it->second.built)
            m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                           "IoFreeIrp of an IRP built by IoBuild...Request: the I/O manager frees it");
        if (HasCancelRoutine(irp))
            m_kernel.GetVerifier().Report(Violation::IrpCancelRoutineSet,
                                           "IoFreeIrp of an IRP whose cancel routine is still set");
        released = std::move(it->second);
        m_irps.erase(it);
        RememberFreed(irp);
        OrphanFrames(irp);
    }
}

void IoManager::ReuseIrp(PIRP irp, NTSTATUS status)
{
    std::lock_guard lock(m_mutex);
    auto it = m_irps.find(irp);
    if (it == m_irps.end()) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoReuseIrp of a pointer that is no live IRP");
        return;
    }
    IrpRecord& record = it->second;
    if (record.state == IrpState::InFlight) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoReuseIrp of an IRP that a lower driver still owns");
        return;
    }
    if (record.built) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoReuseIrp of an IRP built by IoBuild...Request");
        return;
    }
    if (HasCancelRoutine(irp))
        m_kernel.GetVerifier().Report(Violation::IrpCancelRoutineSet,
                                       "IoReuseIrp of an IRP whose cancel routine is still set");
    OrphanFrames(irp);
    InitializeIrp(irp, record.stackSize, IrpAllocationSize(record.stackSize));
    irp->IoStatus.Status = status;
    record.state = IrpState::Idle;
    ++record.generation;
}

bool IoManager::IsLiveIrp(PIRP irp) const
{
    std::lock_guard lock(m_mutex);
    return m_irps.count(irp) != 0;
}

size_t IoManager::LiveIrpCount() const
{
    std::lock_guard lock(m_mutex);
    return m_irps.size();
}

size_t IoManager::InFlightIrpCount() const
{
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const auto& [irp, record] : m_irps)
        if (record.state == IrpState::InFlight) ++count;
    return count;
}

size_t IoManager::InFlightIrpCount(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const auto& [irp, record] : m_irps) {
        if (record.state != IrpState::InFlight) continue;
        // The locations from the current one up to the sender's are held by the stack's drivers.
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        for (CHAR location = irp->CurrentLocation; location < record.senderLocation; ++location, ++stack) {
            if (location >= 1 && location <= irp->StackCount && stack->DeviceObject == deviceObject) {
                ++count;
                break;
            }
        }
    }
    return count;
}

}  // namespace emu
