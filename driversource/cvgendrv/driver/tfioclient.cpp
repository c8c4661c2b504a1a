// Framework I/O client: the record queue of the server (child device) and the reading thread of
// the client (functional device).
#include "tfioclient.h"

#include "tfdebug.h"
#include "tfinterlocked.h"
#include "tfmemorytracker.h"
#include "tfrequest.h"

// One queued record.
typedef struct _TF_READ_RECORD {
    ULONG ulValue;
    CTfBuffer* pBuffer;  // may be null: a record without data
} TF_READ_RECORD, *PTF_READ_RECORD;

static ULONG TfRecordDataLength(PTF_READ_RECORD pRecord)
{
    return pRecord->pBuffer != NULL ? pRecord->pBuffer->m_GetLength() : 0;
}

static void TfFreeRecord(PTF_READ_RECORD pRecord)
{
    if (pRecord->pBuffer != NULL) {
        pRecord->pBuffer->m_Delete();
    }
    FreeTrackedPool(pRecord);
}

// ----- server side -------------------------------------------------------------------------------

CTfReadClientRecord::CTfReadClientRecord(PKEVENT pEvent, PULONG pulLengthCell)
    : m_pEvent(pEvent), m_pulLengthCell(pulLengthCell)
{
    CTfRoutineLog Log("CTfReadClientRecord::CTfReadClientRecord");
    m_Records.m_Init(NonPagedPool);
    if (m_pEvent == NULL || m_pulLengthCell == NULL) {
        m_pEvent = NULL;
        m_pulLengthCell = NULL;
    }
    Log.m_Success();
}

CTfReadClientRecord::~CTfReadClientRecord()
{
    CTfRoutineLog Log("CTfReadClientRecord::~CTfReadClientRecord");
    PTF_READ_RECORD pRecord;
    while ((pRecord = (PTF_READ_RECORD)m_Records.m_RemoveHead()) != NULL) {
        TfFreeRecord(pRecord);
    }
    Log.m_Success();
}

void CTfReadClientRecord::m_SetLengthCellLocked(ULONG ulLength)
{
    // The client's thread reads the cell without our lock, through an interlocked read.
    InterlockedExchange((LONG volatile*)m_pulLengthCell, (LONG)ulLength);
}

void CTfReadClientRecord::m_UpdateClientLocked()
{
    if (m_pEvent == NULL) {
        return;
    }
    PTF_READ_RECORD pHead = (PTF_READ_RECORD)m_Records.m_GetHead();
    if (pHead != NULL) {
        m_SetLengthCellLocked(TfRecordDataLength(pHead) + TF_READ_RECORD_HEADER_SIZE);
        KeSetEvent(m_pEvent, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(m_pEvent);
        m_SetLengthCellLocked(0);
    }
}

BOOLEAN CTfReadClientRecord::m_Put(ULONG ulValue, CTfBuffer* pBuffer)
{
    CTfRoutineLog Log("CTfReadClientRecord::m_Put");
    // The client reads the record with one request whose length is a ULONG.
    if (pBuffer != NULL && pBuffer->m_GetLength() > MAXULONG - TF_READ_RECORD_HEADER_SIZE) {
        Log.m_Fail("record too long");
        return FALSE;
    }
    PTF_READ_RECORD pRecord = (PTF_READ_RECORD)AllocateTrackedPool(NonPagedPool, sizeof(TF_READ_RECORD));
    if (pRecord == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    pRecord->ulValue = ulValue;
    pRecord->pBuffer = pBuffer;

    m_Lock.m_Acquire();
    if (m_pEvent == NULL) {
        m_Lock.m_Release();
        FreeTrackedPool(pRecord);
        Log.m_Fail("no client");
        return FALSE;
    }
    if (!m_Records.m_AddTail(pRecord)) {
        m_Lock.m_Release();
        FreeTrackedPool(pRecord);
        Log.m_Fail("no list node");
        return FALSE;
    }
    m_UpdateClientLocked();
    m_Lock.m_Release();
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfReadClientRecord::m_Get(PVOID pOutput, ULONG ulLength)
{
    CTfRoutineLog Log("CTfReadClientRecord::m_Get");
    if (pOutput == NULL || ulLength < TF_READ_RECORD_HEADER_SIZE) {
        Log.m_Fail("no room for a record");
        return FALSE;
    }
    m_Lock.m_Acquire();
    PTF_READ_RECORD pHead = (PTF_READ_RECORD)m_Records.m_GetHead();
    if (pHead == NULL || TfRecordDataLength(pHead) != ulLength - TF_READ_RECORD_HEADER_SIZE) {
        m_Lock.m_Release();
        Log.m_Fail("no record of that length");
        return FALSE;
    }
    PUCHAR pucOutput = (PUCHAR)pOutput;
    pucOutput[0] = (UCHAR)(pHead->ulValue & 0xFF);
    pucOutput[1] = (UCHAR)((pHead->ulValue >> 8) & 0xFF);
    pucOutput[2] = (UCHAR)((pHead->ulValue >> 16) & 0xFF);
    pucOutput[3] = (UCHAR)((pHead->ulValue >> 24) & 0xFF);
    if (TfRecordDataLength(pHead) != 0) {
        RtlCopyMemory(pucOutput + TF_READ_RECORD_HEADER_SIZE, pHead->pBuffer->m_GetData(), TfRecordDataLength(pHead));
    }
    m_Records.m_RemoveHead();
    m_UpdateClientLocked();
    m_Lock.m_Release();

    TfFreeRecord(pHead);
    Log.m_Success();
    return TRUE;
}

void CTfReadClientRecord::m_DetachClient()
{
    CTfRoutineLog Log("CTfReadClientRecord::m_DetachClient");
    m_Lock.m_Acquire();
    // The client stops seeing records: its event falls and its cell empties.
    if (m_pEvent != NULL) {
        KeClearEvent(m_pEvent);
        m_SetLengthCellLocked(0);
    }
    m_pEvent = NULL;
    m_pulLengthCell = NULL;
    m_Lock.m_Release();
    Log.m_Success();
}

ULONG CTfReadClientRecord::m_GetCount()
{
    m_Lock.m_Acquire();
    ULONG ulCount = m_Records.m_GetCount();
    m_Lock.m_Release();
    return ulCount;
}

BOOLEAN CTfReadClientRecord::m_HasClient()
{
    m_Lock.m_Acquire();
    BOOLEAN bHasClient = m_pEvent != NULL;
    m_Lock.m_Release();
    return bHasClient;
}

// ----- client side -------------------------------------------------------------------------------

CTfIoClient::CTfIoClient(PDEVICE_OBJECT pPhysicalDeviceObject)
    : m_pPhysicalDeviceObject(pPhysicalDeviceObject),
      m_pRoutine(NULL),
      m_pContext(NULL),
      m_pSharedEvent(NULL),
      m_ulLengthCell(0),
      m_hThread(NULL),
      m_pThreadObject(NULL),
      m_bRegistered(FALSE)
{
    CTfRoutineLog Log("CTfIoClient::CTfIoClient");
    KeInitializeEvent(&m_CompletionEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_StoppedEvent, NotificationEvent, FALSE);
    Log.m_Success();
}

CTfIoClient::~CTfIoClient()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfIoClient::~CTfIoClient");
    if (m_hThread != NULL) {
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(m_pSharedEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_StoppedEvent, Executive, KernelMode, FALSE, NULL);
        // The thread touches nothing of ours after the stopped event, but it must be gone before
        // the image that holds its code can go.
        KeWaitForSingleObject(m_pThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(m_pThreadObject);
        ZwClose(m_hThread);
        m_pThreadObject = NULL;
        m_hThread = NULL;
    }
    // The server keeps pointers to the event and the cell until it is told to forget them.
    if (m_bRegistered && m_Register(NULL, NULL)) {
        m_bRegistered = FALSE;
    }
    if (m_pSharedEvent != NULL) {
        if (m_bRegistered) {
            // Still known to the server: leaving the event allocated is the only safe choice.
            TfDebugLog(TF_LOG_BASIC, "CTfIoClient::~CTfIoClient - deregistration failed, event kept");
        } else {
            ExFreePoolWithTag(m_pSharedEvent, TF_TAG_TRACKER);
        }
        m_pSharedEvent = NULL;
    }
    Log.m_Success();
}

BOOLEAN CTfIoClient::m_Register(PKEVENT pEvent, PULONG pulLengthCell)
{
    TF_READ_CLIENT_REGISTRATION Registration;
    Registration.pEvent = pEvent;
    Registration.pulLengthCell = pulLengthCell;
    return TfSendSynchronousDeviceControl(m_pPhysicalDeviceObject, IOCTL_TF_REGISTER_READ_CLIENT, &Registration,
                                          sizeof(Registration), TRUE, NULL);
}

BOOLEAN CTfIoClient::m_Start(PTF_IO_CLIENT_ROUTINE pRoutine, PVOID pContext)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfIoClient::m_Start");
    if (m_pSharedEvent != NULL || m_hThread != NULL || pRoutine == NULL || m_pPhysicalDeviceObject == NULL) {
        Log.m_Fail("started already or nothing to call");
        return FALSE;
    }
    m_pRoutine = pRoutine;
    m_pContext = pContext;

    m_pSharedEvent = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), TF_TAG_TRACKER);
    if (m_pSharedEvent == NULL) {
        Log.m_Fail("no event");
        return FALSE;
    }
    KeInitializeEvent(m_pSharedEvent, NotificationEvent, FALSE);
    m_ulLengthCell = 0;

    if (!m_Register(m_pSharedEvent, (PULONG)&m_ulLengthCell)) {
        ExFreePoolWithTag(m_pSharedEvent, TF_TAG_TRACKER);
        m_pSharedEvent = NULL;
        Log.m_Fail("registration refused");
        return FALSE;
    }
    m_bRegistered = TRUE;

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hThread = NULL;
    NTSTATUS Status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &ObjectAttributes, NULL, NULL,
                                           &CTfIoClient::sm_ThreadRoutine, this);
    if (NT_SUCCESS(Status)) {
        PVOID pThreadObject = NULL;
        Status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThreadObject,
                                           NULL);
        if (NT_SUCCESS(Status)) {
            m_hThread = hThread;
            m_pThreadObject = pThreadObject;
            Log.m_Success();
            return TRUE;
        }
        // Without the thread object the thread cannot be waited for: stop it through its handle's
        // events and let it go.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(m_pSharedEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_StoppedEvent, Executive, KernelMode, FALSE, NULL);
        ZwClose(hThread);
    }
    if (m_Register(NULL, NULL)) {
        m_bRegistered = FALSE;
        ExFreePoolWithTag(m_pSharedEvent, TF_TAG_TRACKER);
        m_pSharedEvent = NULL;
    }
    Log.m_Fail("no thread 0x%X", (ULONG)Status);
    return FALSE;
}

void CTfIoClient::sm_ThreadRoutine(PVOID pContext)
{
    ((CTfIoClient*)pContext)->m_ClientLoop();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CTfIoClient::m_ClientLoop()
{
    CTfRoutineLog Log("CTfIoClient::m_ClientLoop");
    for (;;) {
        KeWaitForSingleObject(m_pSharedEvent, Executive, KernelMode, FALSE, NULL);
        if (KeResetEvent(&m_StopEvent) != 0) {
            TfDebugLog(TF_LOG_FLOW, "CTfIoClient::m_ClientLoop - stop");
            break;
        }
        // The server writes the cell under its own lock with an interlocked exchange.
        ULONG ulLength = TfInterlockedReadUlong(&m_ulLengthCell);
        if (ulLength < TF_READ_RECORD_HEADER_SIZE) {
            TfDebugLog(TF_LOG_FLOW, "CTfIoClient::m_ClientLoop - no record length");
            break;
        }
        PUCHAR pucData = (PUCHAR)AllocateTrackedPool(NonPagedPool, ulLength);
        if (pucData == NULL) {
            TfDebugLog(TF_LOG_FLOW, "CTfIoClient::m_ClientLoop - no memory");
            break;
        }
        ULONG ulRead = 0;
        if (!TfSendSynchronousRead(this, m_pPhysicalDeviceObject, pucData, ulLength, &m_StopEvent, TF_READ_RETRY,
                                   &ulRead) ||
            ulRead < TF_READ_RECORD_HEADER_SIZE || ulRead > ulLength) {
            FreeTrackedPool(pucData);
            TfDebugLog(TF_LOG_FLOW, "CTfIoClient::m_ClientLoop - read failed");
            break;
        }
        ULONG ulValue = (ULONG)pucData[0] | ((ULONG)pucData[1] << 8) | ((ULONG)pucData[2] << 16) |
                        ((ULONG)pucData[3] << 24);
        CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
        if (pBuffer == NULL || (ulRead > TF_READ_RECORD_HEADER_SIZE &&
                                !pBuffer->m_Assign(pucData + TF_READ_RECORD_HEADER_SIZE,
                                                   ulRead - TF_READ_RECORD_HEADER_SIZE))) {
            if (pBuffer != NULL) {
                pBuffer->m_Delete();
            }
            FreeTrackedPool(pucData);
            TfDebugLog(TF_LOG_FLOW, "CTfIoClient::m_ClientLoop - no buffer");
            break;
        }
        FreeTrackedPool(pucData);
        m_pRoutine(m_pContext, ulValue, pBuffer);
    }
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    // The event stays: the server may still signal it until the destructor deregisters.
    KeSetEvent(&m_StoppedEvent, IO_NO_INCREMENT, FALSE);
    Log.m_Success();
}
