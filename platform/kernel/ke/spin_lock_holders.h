// The spin locks each thread holds, kept where other threads can see them: memory that holds a
// spin lock is freed only once no other thread holds it and after the last release of it, the way a
// freed object must come after every thread's last touch of it.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace emu {

// Bookkeeping of the calling thread's own locks: after it takes the lock word, and after it clears
// it (the releasing thread's last touch of the lock). HeldSpinLockCount and HeldSpinLock (kthread.h)
// read the same list.
void NoteSpinLockTaken(PKSPIN_LOCK lock);
void NoteSpinLockGiven(PKSPIN_LOCK lock);

// Called before `bytes` of memory at `memory` are freed: waits until no other thread holds a spin
// lock inside them, and orders the caller after every thread's release of one. A lock that another
// thread keeps for over 5 s is reported (as held inside `what`) and no longer waited for.
void SynchroniseWithSpinLocksIn(const void* memory, size_t bytes, const char* what);

// How many threads wait in SynchroniseWithSpinLocksIn now (for tests that stage such a wait).
size_t FreesWaitingForSpinLocks();

}  // namespace emu
