// Driver Verifier of the emulated machine: records every broken kernel rule so the test that broke
// it fails. A check never stops the machine; after reporting, the platform takes the safest way on.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

namespace emu {

enum class Violation {
    DbgBreakPoint,          // a driver broke into the debugger
    AssertReport,           // an "ASSERT at" line reached the kernel debugger
    Bugcheck,               // a rule whose breach would crash Windows
    DoubleFree,             // pool block freed twice
    BadFree,                // freeing a pointer that is no pool block
    IrqlTooHigh,            // a call made above the IRQL it allows
    SpinLockRecursive,      // a spin lock acquired again by its owner
    SpinLockNotOwner,       // a spin lock released by a thread that does not hold it
    WaitAtDispatch,         // a wait with a non-zero time-out at DISPATCH_LEVEL or above
    TooManyWaitObjects,     // KeWaitForMultipleObjects beyond MAXIMUM_WAIT_OBJECTS
    IrpCompletedTwice,
    IrpCancelRoutineSet,    // completion with a cancel routine still set
    IrpBufferOverrun,       // buffered answer longer than the caller's output buffer
    IrpStackOverrun,        // IofCallDriver past the last stack location
    IrpLeaked,              // an IRP from IoAllocateIrp reached the top without being kept
    IrpPendingAtDelete,     // a device deleted with an IRP still pending on it
    IrpPendingMismatch,     // STATUS_PENDING returned without IoMarkIrpPending, or marked and another status returned
    DispatchIrqlChanged,    // a dispatch routine returned at another IRQL than it was called at
    TimerOrDpcInFreedMemory,  // memory freed or unloaded with an armed timer or a queued DPC in it
    PoolZeroBytes,          // a pool allocation of zero bytes
    PoolLeak,               // pool blocks of an image live when it unloads
    HandleInvalid,          // a handle that is not open
    PowerIrpNotStarted,     // before Vista: a power IRP passed on or completed without PoStartNextPowerIrp
};

const char* ViolationName(Violation v);

struct ViolationRecord {
    Violation kind;
    std::string detail;
};

class Verifier {
public:
    // Records a violation. The handler (the test fixture's) is told of each one as it happens.
    void Report(Violation kind, std::string detail);

    // Number of recorded violations of one kind, and taking them out (a test that expects them).
    size_t Count(Violation kind) const;
    std::vector<ViolationRecord> Take(Violation kind);
    std::vector<ViolationRecord> TakeAll();

    void SetHandler(std::function<void(const ViolationRecord&)> handler);

private:
    mutable std::mutex m_mutex;
    std::vector<ViolationRecord> m_records;
    std::function<void(const ViolationRecord&)> m_handler;
};

}  // namespace emu
