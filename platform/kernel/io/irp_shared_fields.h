// The IRP fields that several threads touch at once: Cancel, which IoCancelIrp sets while the IRP's
// owner may be queueing or completing it, and CancelRoutine, which IoSetCancelRoutine exchanges.
// The I/O manager reads and writes them only through these, atomically; the other fields belong to
// whoever owns the IRP at the time.
#pragma once

#include <wdm.h>

namespace emu {

inline BOOLEAN IsIrpCancelled(PIRP irp) { return ReadBooleanAcquire(&irp->Cancel); }

// Published before IoCancelIrp takes the cancel routine out: an owner that sets a routine after
// that exchange sees the flag.
inline void MarkIrpCancelled(PIRP irp) { WriteBooleanRelease(&irp->Cancel, TRUE); }

inline bool HasCancelRoutine(PIRP irp)
{
    return ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&irp->CancelRoutine)) != nullptr;
}

}  // namespace emu
