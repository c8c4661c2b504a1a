// Private message channel from a framework child device (the server) up to a functional device
// stacked on it (the client). The child queues records {32-bit value, data}; the client's thread
// learns of each one through a shared event and a length cell, fetches it with a buffered read of
// exactly that length on the child and hands it to the client routine.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"

// Internal device-control codes of the child (type 0x8000, METHOD_BUFFERED, read and write access).
// Registers a read client: input TF_READ_CLIENT_REGISTRATION, no output. A registration with both
// pointers null only drops the current client and its records.
#define IOCTL_TF_REGISTER_READ_CLIENT 0x8000E000
// The child's I/O server value: no input, 4 bytes of output.
#define IOCTL_TF_QUERY_IO_SERVER 0x8000E004

// A record read from the child starts with its value, 4 bytes little-endian; the data follows.
#define TF_READ_RECORD_HEADER_SIZE 4

typedef struct _TF_READ_CLIENT_REGISTRATION {
    PKEVENT pEvent;        // non-paged notification event, set while records are queued
    PULONG pulLengthCell;  // length of the head record's read (data + 4), 0 when none
} TF_READ_CLIENT_REGISTRATION, *PTF_READ_CLIENT_REGISTRATION;

// Server side, owned by the child device: the records queued for one client.
class CTfReadClientRecord : public CTfObject {
public:
    // Bound to the client's event and length cell (both may be null: a record without client).
    CTfReadClientRecord(PKEVENT pEvent, PULONG pulLengthCell);
    // Frees every queued record.
    virtual ~CTfReadClientRecord();

    // Queues a record and signals the client. On TRUE the record owns pBuffer (may be null for a
    // record without data); on FALSE (no client, or no memory) the caller keeps it. Up to
    // DISPATCH_LEVEL.
    BOOLEAN m_Put(ULONG ulValue, CTfBuffer* pBuffer);
    // Takes the head record into pOutput when ulLength is exactly its data length + 4: the value,
    // then the data. FALSE leaves the record queued. Up to DISPATCH_LEVEL.
    BOOLEAN m_Get(PVOID pOutput, ULONG ulLength);
    // Forgets the client's event and cell: from now on nothing touches them and m_Put refuses.
    void m_DetachClient();

    ULONG m_GetCount();
    BOOLEAN m_HasClient();

private:
    CTfReadClientRecord(const CTfReadClientRecord&) = delete;
    CTfReadClientRecord& operator=(const CTfReadClientRecord&) = delete;

    // With the lock held: the cell and the event follow the head record.
    void m_UpdateClientLocked();
    void m_SetLengthCellLocked(ULONG ulLength);

    CTfSpinLock m_Lock;
    PKEVENT m_pEvent;
    PULONG m_pulLengthCell;
    CTfPointerList m_Records;
};

// Client routine: (context, value, buffer object). The routine takes the buffer object over.
typedef void (*PTF_IO_CLIENT_ROUTINE)(PVOID pContext, ULONG ulValue, CTfBuffer* pBuffer);

// Client side, owned by the functional device: a system thread reading the child's records.
class CTfIoClient : public CTfObject {
public:
    // pPhysicalDeviceObject: the child device below, the target of every request.
    explicit CTfIoClient(PDEVICE_OBJECT pPhysicalDeviceObject);
    // Stops the thread, deregisters at the child, then frees the event. PASSIVE_LEVEL.
    virtual ~CTfIoClient();

    // Registers at the child and starts the thread; FALSE leaves nothing registered or running.
    // PASSIVE_LEVEL. Once per object.
    BOOLEAN m_Start(PTF_IO_CLIENT_ROUTINE pRoutine, PVOID pContext);

    BOOLEAN m_IsRunning() const { return m_hThread != NULL; }

private:
    CTfIoClient(const CTfIoClient&) = delete;
    CTfIoClient& operator=(const CTfIoClient&) = delete;

    static void sm_ThreadRoutine(PVOID pContext);
    void m_ClientLoop();
    // Sends the registration with the given event and cell (null for none).
    BOOLEAN m_Register(PKEVENT pEvent, PULONG pulLengthCell);

    KEVENT m_CompletionEvent;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PTF_IO_CLIENT_ROUTINE m_pRoutine;
    PVOID m_pContext;
    PKEVENT m_pSharedEvent;  // non-paged, "TfKO"; lives as long as this object
    volatile ULONG m_ulLengthCell;
    HANDLE m_hThread;
    PVOID m_pThreadObject;  // referenced, waited for at destruction
    KEVENT m_StopEvent;
    KEVENT m_StoppedEvent;
    BOOLEAN m_bRegistered;
};
