// Pointer list pre-filled with zeroed records.
#include "tfrecordlist.h"

#include "tfdebug.h"

CTfRecordList::CTfRecordList() : m_pReserved(NULL), m_ulRecordCount(TF_RECORD_LIST_COUNT), m_InUseGate(TF_GATE_NO_MAXIMUM)
{
    TfDebugLog(7, "CTfRecordList::CTfRecordList - IN");
    m_InUseGate.m_Init(TRUE);
    m_Fill();
    TfDebugLog(7, "CTfRecordList::CTfRecordList - OUT (Success)");
}

CTfRecordList::~CTfRecordList()
{
    TfDebugLog(7, "CTfRecordList::~CTfRecordList - IN");
    m_DeleteAll();
    TfDebugLog(7, "CTfRecordList::~CTfRecordList - OUT (Success)");
}

BOOLEAN CTfRecordList::m_Fill()
{
    TfDebugLog(7, "CTfRecordList::m_Fill - IN");
    for (ULONG i = 0; i < m_ulRecordCount; i++) {
        if (m_AddNew(sizeof(TF_LIST_RECORD)) == NULL) {
            // A partial set of records is of no use to the user: none at all.
            m_Empty(TRUE);
            m_ulRecordCount = 0;
            TfDebugLog(7, "CTfRecordList::m_Fill - OUT - Fail-> no memory for record %u", i);
            return FALSE;
        }
    }
    TfDebugLog(7, "CTfRecordList::m_Fill - OUT (Success)");
    return TRUE;
}

void CTfRecordList::m_DeleteAll()
{
    TfDebugLog(7, "CTfRecordList::m_DeleteAll - IN");
    m_Empty(TRUE);
    m_ulRecordCount = 0;
    TfDebugLog(7, "CTfRecordList::m_DeleteAll - OUT (Success)");
}
