// Reads of values that other threads change with interlocked calls. A plain read of such a value
// may see it torn or stale and is not ordered with the interlocked writes, so it is read through an
// interlocked call as well: a compare-exchange that only ever writes back the value it found.
#pragma once

#include <wdm.h>

inline LONG TfInterlockedRead(LONG volatile* plValue)
{
    return InterlockedCompareExchange(plValue, 0, 0);
}

inline ULONG TfInterlockedReadUlong(ULONG volatile* pulValue)
{
    return (ULONG)InterlockedCompareExchange((LONG volatile*)pulValue, 0, 0);
}

inline PVOID TfInterlockedReadPointer(PVOID volatile* ppValue)
{
    return InterlockedCompareExchangePointer(ppValue, NULL, NULL);
}

// Whether the request still carries a cancel routine: IoSetCancelRoutine and IoCancelIrp exchange it
// on other threads.
inline BOOLEAN TfIrpHasCancelRoutine(PIRP pIrp)
{
    return TfInterlockedReadPointer((PVOID volatile*)&pIrp->CancelRoutine) != NULL;
}
