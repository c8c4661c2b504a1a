// Interlocked operations: sequentially consistent atomics on the caller's own variables.
#include <wdm.h>

#include <atomic>

namespace {

std::atomic_ref<LONG> Atomic(LONG volatile* target) { return std::atomic_ref<LONG>(*const_cast<LONG*>(target)); }

std::atomic_ref<PVOID> AtomicPointer(PVOID volatile* target)
{
    return std::atomic_ref<PVOID>(*const_cast<PVOID*>(target));
}

// The new value computed as the atomic did: wrapping, as LONG arithmetic does on Windows.
LONG Wrapped(LONG old, ULONG delta) { return static_cast<LONG>(static_cast<ULONG>(old) + delta); }

}  // namespace

extern "C" LONG InterlockedIncrement(LONG volatile* addend) { return Wrapped(Atomic(addend).fetch_add(1), 1u); }

extern "C" LONG InterlockedDecrement(LONG volatile* addend) { return Wrapped(Atomic(addend).fetch_sub(1), ~0u); }

extern "C" LONG InterlockedExchange(LONG volatile* target, LONG value) { return Atomic(target).exchange(value); }

extern "C" LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) { return Atomic(addend).fetch_add(value); }

extern "C" LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand)
{
    Atomic(destination).compare_exchange_strong(comparand, exchange);
    return comparand;  // the value found, whether or not it was replaced
}

extern "C" LONG InterlockedOr(LONG volatile* destination, LONG value) { return Atomic(destination).fetch_or(value); }

extern "C" LONG InterlockedAnd(LONG volatile* destination, LONG value) { return Atomic(destination).fetch_and(value); }

extern "C" PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return AtomicPointer(target).exchange(value);
}

extern "C" PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand)
{
    AtomicPointer(destination).compare_exchange_strong(comparand, exchange);
    return comparand;
}
