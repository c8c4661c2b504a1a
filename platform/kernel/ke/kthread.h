// Per-thread kernel state: the thread object (struct _KTHREAD) and the thread's IRQL.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <string>
#include <type_traits>

#include "vf/verifier.h"

// The thread object. It begins with its dispatcher header, so it can be waited on: it is
// signalled when the thread has ended. Everything after the header belongs to the platform.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // Type DISPATCHER_THREAD
    ULONG_PTR Id = 0;          // PsGetCurrentThreadId: a multiple of 4, never 0
    KPRIORITY Priority = 8;    // recorded only; the host scheduler is not told
    BOOLEAN SystemThread = FALSE;
    NTSTATUS ExitStatus = STATUS_PENDING;

    // Wait state, guarded by the dispatcher lock.
    NTSTATUS WaitStatus = STATUS_SUCCESS;  // STATUS_PENDING while a wait is outstanding
    PKWAIT_BLOCK WaitBlockList = nullptr;
    ULONG WaitCount = 0;
    LONGLONG WaitDeadline = 0;  // interrupt time at which a timed wait expires
    KWAIT_BLOCK WaitBlock[THREAD_WAIT_OBJECTS] = {};
    std::condition_variable WaitCv;  // the waiting thread sleeps here, under the dispatcher lock
};

static_assert(std::is_standard_layout_v<_KTHREAD>, "the dispatcher header must stay at offset 0");

namespace emu {

// Reports a broken kernel rule to the running machine's verifier (or to stderr with no machine).
void ReportViolation(Violation kind, std::string detail);

// Reports Violation::IrqlTooHigh when the caller runs above `highest`; returns whether it is within.
bool CheckIrqlAtMost(KIRQL highest, const char* caller);

// Sets the calling thread's IRQL without the raise/lower rules (thread start, machine start).
void SetCurrentIrql(KIRQL irql);

// Identity of the calling thread as stored in an acquired KSPIN_LOCK: unique in the process,
// never reused, never 0.
ULONG_PTR SpinLockOwnerIdentity();

// Spin locks the calling thread holds, in acquisition order (a DPC or work item that returns
// holding one is a fault the platform reports).
size_t HeldSpinLockCount();
PKSPIN_LOCK HeldSpinLock(size_t index);

}  // namespace emu
