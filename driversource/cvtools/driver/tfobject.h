// Root classes of the framework's class tree.
//
// Every framework object lives in pool memory recorded by the image's memory tracker. The
// allocation operators are class-scope, so "new (NonPagedPool) CTfSomething(...)" goes to the
// tracker and a plain "new CTfSomething" does not compile.
#pragma once

#include <wdm.h>

class CTfObjectBase {
public:
    CTfObjectBase() {}
    virtual ~CTfObjectBase() {}

    // Tracked allocation ("TfKi"); null when the pool is exhausted or the library is not referenced.
    static void* operator new(size_t cbSize, POOL_TYPE PoolType) noexcept;
    static void* operator new[](size_t cbSize, POOL_TYPE PoolType) noexcept;
    // Construction in storage the caller owns.
    static void* operator new(size_t cbSize, void* pStorage) noexcept { return pStorage; }
    // Frees through the image's tracker; null does nothing.
    static void operator delete(void* p);
    static void operator delete[](void* p);
    // Matching forms for a constructor that does not return (never in kernel code).
    static void operator delete(void* p, POOL_TYPE PoolType);
    static void operator delete[](void* p, POOL_TYPE PoolType);
    static void operator delete(void* p, void* pStorage) {}

    CTfObjectBase(const CTfObjectBase&) = default;
    CTfObjectBase& operator=(const CTfObjectBase&) = default;
};

// Default wait of framework objects: 0.5 seconds, relative, in 100-nanosecond units.
#define TF_DEFAULT_WAIT_TIMEOUT (-5000000LL)
// Identifier of an object that has none.
#define TF_NO_IDENTIFIER (-1)

class CTfObject : public CTfObjectBase {
public:
    CTfObject() : m_lIdentifier(TF_NO_IDENTIFIER) { m_DefaultTimeout.QuadPart = TF_DEFAULT_WAIT_TIMEOUT; }
    virtual ~CTfObject() {}

    PLARGE_INTEGER m_GetDefaultTimeout() { return &m_DefaultTimeout; }
    void m_SetDefaultTimeout(LONGLONG llTimeout) { m_DefaultTimeout.QuadPart = llTimeout; }
    LONG m_GetIdentifier() const { return m_lIdentifier; }
    void m_SetIdentifier(LONG lIdentifier) { m_lIdentifier = lIdentifier; }

protected:
    LARGE_INTEGER m_DefaultTimeout;  // for the waits of derived classes
    LONG m_lIdentifier;
};
