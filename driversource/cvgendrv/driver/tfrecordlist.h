// Pointer list pre-filled with a fixed number of zeroed records, with a spin lock and an in-use
// gate for the list's user. The framework only creates, clears and frees the records; what they
// hold belongs to the user (the physical child device).
#pragma once

#include <wdm.h>

#include "tfpointerlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"

// Records created at construction.
#define TF_RECORD_LIST_COUNT 10

// One pair of pointer-sized values and whether it is held.
typedef struct _TF_RECORD_PAIR {
    ULONG_PTR Value1;
    ULONG_PTR Value2;
    ULONG bHeld;
} TF_RECORD_PAIR, *PTF_RECORD_PAIR;

// A record: an identifier and two pairs.
typedef struct _TF_LIST_RECORD {
    ULONG ulId;
    TF_RECORD_PAIR Pair[2];
} TF_LIST_RECORD, *PTF_LIST_RECORD;

class CTfRecordList : public CTfPointerList {
public:
    // TF_RECORD_LIST_COUNT records of sizeof(TF_LIST_RECORD), or none (count 0) when memory ran out.
    CTfRecordList();
    // Frees the records and the nodes.
    virtual ~CTfRecordList();

    // Allocates "count" zeroed records and appends them. When one cannot be had, every record and
    // node is freed and the count becomes 0. TRUE when all were allocated.
    BOOLEAN m_Fill();
    // Frees every record and node; the count becomes 0.
    virtual void m_DeleteAll();

    ULONG m_GetRecordCount() const { return m_ulRecordCount; }
    SIZE_T m_GetRecordSize() const { return sizeof(TF_LIST_RECORD); }
    // Guards the records' fields; the list itself is changed only at construction and destruction.
    CTfSpinLock* m_GetLock() { return &m_Lock; }
    CTfReferenceGate* m_GetGate() { return &m_InUseGate; }

private:
    CTfRecordList(const CTfRecordList&) = delete;
    CTfRecordList& operator=(const CTfRecordList&) = delete;

    PVOID m_pReserved;  // cleared, unused
    ULONG m_ulRecordCount;
    CTfReferenceGate m_InUseGate;
    CTfSpinLock m_Lock;
};
