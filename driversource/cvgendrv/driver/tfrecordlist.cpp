// Pointer list pre-filled with zeroed records.
#include "tfrecordlist.h"

#include "tfdebug.h"

CTfRecordList::CTfRecordList() : m_pReserved(NULL), m_ulRecordCount(TF_RECORD_LIST_COUNT), m_InUseGate(TF_GATE_NO_MAXIMUM)
{
    CTfRoutineLog Log("CTfRecordList::CTfRecordList");
    m_InUseGate.m_Init(TRUE);
    m_Fill();
    Log.m_Success();
}

CTfRecordList::~CTfRecordList()
{
    CTfRoutineLog Log("CTfRecordList::~CTfRecordList");
    m_DeleteAll();
    Log.m_Success();
}

BOOLEAN CTfRecordList::m_Fill()
{
    CTfRoutineLog Log("CTfRecordList::m_Fill");
    for (ULONG i = 0; i < m_ulRecordCount; i++) {
        if (m_AddNew(sizeof(TF_LIST_RECORD)) == NULL) {
            // A partial set of records is of no use to the user: none at all.
            m_Empty(TRUE);
            m_ulRecordCount = 0;
            Log.m_Fail("no memory for record %u", i);
            return FALSE;
        }
    }
    Log.m_Success();
    return TRUE;
}

void CTfRecordList::m_DeleteAll()
{
    CTfRoutineLog Log("CTfRecordList::m_DeleteAll");
    m_Empty(TRUE);
    m_ulRecordCount = 0;
    Log.m_Success();
}
