// Kernel-mode interface of the emulated Windows: the ntoskrnl and HAL calls the drivers use.
#pragma once

#include <cstdarg>

#include <ntdef.h>
#include <ntstatus.h>

// ---------------------------------------------------------------------------------------------
// IRQL, spin locks, interlocked operations
// ---------------------------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

typedef ULONG_PTR KSPIN_LOCK;  // holds the owning thread's identity while acquired
typedef KSPIN_LOCK* PKSPIN_LOCK;

NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
NTKERNELAPI void KeLowerIrql(KIRQL newIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(void);

NTKERNELAPI void KeInitializeSpinLock(PKSPIN_LOCK spinLock);
NTKERNELAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock);
NTKERNELAPI void KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
NTKERNELAPI void KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock);
NTKERNELAPI void KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock);
inline void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) { *oldIrql = KfAcquireSpinLock(lock); }
inline void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) { KfReleaseSpinLock(lock, newIrql); }
inline void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) { KefAcquireSpinLockAtDpcLevel(lock); }
inline void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) { KefReleaseSpinLockFromDpcLevel(lock); }

NTKERNELAPI LONG InterlockedIncrement(LONG volatile* addend);
NTKERNELAPI LONG InterlockedDecrement(LONG volatile* addend);
NTKERNELAPI LONG InterlockedExchange(LONG volatile* target, LONG value);
NTKERNELAPI LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value);
NTKERNELAPI LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);
NTKERNELAPI LONG InterlockedOr(LONG volatile* destination, LONG value);
NTKERNELAPI LONG InterlockedAnd(LONG volatile* destination, LONG value);
NTKERNELAPI PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
NTKERNELAPI PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                                    PVOID comparand);

// Single reads and writes of a variable that another thread changes at the same time (with an
// interlocked call, or with one of the writes below). A plain read of such a variable is a data
// race; these are atomic, so the value read is one that was written, never a torn or stale mix.
//   ...Acquire  the reads and writes that follow in program order stay after it: read a flag or a
//               pointer with it before using what the writer published behind that flag or pointer;
//   ...Release  the reads and writes that precede it stay before it: publish with it;
//   ...NoFence  atomic only, with no ordering: counters, statistics, a hint that is checked again
//               under a lock.
// Interlocked calls are full barriers; a value they change may be read with any of these.
inline LONG ReadAcquire(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline LONG ReadNoFence(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline PVOID ReadPointerAcquire(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerNoFence(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline BOOLEAN ReadBooleanAcquire(BOOLEAN const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline BOOLEAN ReadBooleanNoFence(BOOLEAN const volatile* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline void WriteRelease(LONG volatile* destination, LONG value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline void WriteNoFence(LONG volatile* destination, LONG value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
inline void WritePointerRelease(PVOID volatile* destination, PVOID value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline void WritePointerNoFence(PVOID volatile* destination, PVOID value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
inline void WriteBooleanRelease(BOOLEAN volatile* destination, BOOLEAN value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline void WriteBooleanNoFence(BOOLEAN volatile* destination, BOOLEAN value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------------------------
// Dispatcher objects and waits
// ---------------------------------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution,
                             Suspended, UserRequest } KWAIT_REASON;

// Dispatcher object type codes kept in DISPATCHER_HEADER::Type.
#define DISPATCHER_NOTIFICATION_EVENT 0
#define DISPATCHER_SYNCHRONIZATION_EVENT 1
#define DISPATCHER_MUTANT 2
#define DISPATCHER_PROCESS 3
#define DISPATCHER_QUEUE 4
#define DISPATCHER_SEMAPHORE 5
#define DISPATCHER_THREAD 6
#define DISPATCHER_NOTIFICATION_TIMER 8
#define DISPATCHER_SYNCHRONIZATION_TIMER 9

// Every waitable object begins with this header. All of them are guarded by the machine's one
// dispatcher lock, so a waiter may free its object as soon as its wait is satisfied.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;  // KWAIT_BLOCKs of the threads waiting on the object
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KTHREAD;
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;
struct _EPROCESS;
typedef struct _EPROCESS* PEPROCESS;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, KMUTEX, *PKMUTANT, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                               PVOID systemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;  // machine interrupt time at which the timer fires
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period;  // milliseconds, 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

NTKERNELAPI void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
NTKERNELAPI LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
NTKERNELAPI void KeClearEvent(PRKEVENT event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT event);
NTKERNELAPI LONG KePulseEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);

NTKERNELAPI void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit);
NTKERNELAPI LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment,
                                    BOOLEAN wait);
NTKERNELAPI LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore);

NTKERNELAPI void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
NTKERNELAPI LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
NTKERNELAPI LONG KeReadStateMutex(PRKMUTEX mutex);

// A null time-out waits forever, zero polls, negative is relative and positive absolute
// (both in 100-nanosecond units, on the machine clock).
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
                                           KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                           PLARGE_INTEGER timeout);
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType,
                                              KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                              BOOLEAN alertable, PLARGE_INTEGER timeout,
                                              PKWAIT_BLOCK waitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                            PLARGE_INTEGER interval);

// ---------------------------------------------------------------------------------------------
// Memory manager: the size class of the system
// ---------------------------------------------------------------------------------------------
typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;
NTKERNELAPI MM_SYSTEMSIZE MmQuerySystemSize(void);

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------
NTKERNELAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
NTKERNELAPI void KeQuerySystemTime(PLARGE_INTEGER currentTime);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(void);
NTKERNELAPI void KeQueryTickCount(PLARGE_INTEGER tickCount);
NTKERNELAPI ULONG KeQueryTimeIncrement(void);
// Asks for (set) or gives back (clear) a finer system timer resolution; the requests are counted
// system-wide. Returns the resolution in effect, in 100 ns units.
NTKERNELAPI ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);

// ---------------------------------------------------------------------------------------------
// Threads and objects
// ---------------------------------------------------------------------------------------------
typedef void KSTART_ROUTINE(PVOID startContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern "C" POBJECT_TYPE* PsThreadType;
extern "C" POBJECT_TYPE* ExEventObjectType;
extern "C" POBJECT_TYPE* IoFileObjectType;

#define THREAD_ALL_ACCESS 0x1F03FF
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                                          POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                                          PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                          PVOID startContext);
NTKERNELAPI [[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
NTKERNELAPI PKTHREAD KeGetCurrentThread(void);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
NTKERNELAPI KPRIORITY KeQueryPriorityThread(PKTHREAD thread);
NTKERNELAPI HANDLE PsGetCurrentThreadId(void);

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                               POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                               PVOID* object, PVOID handleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTKERNELAPI NTSTATUS ZwClose(HANDLE handle);
NTKERNELAPI NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

// ---------------------------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
NTKERNELAPI void ExFreePool(PVOID p);
NTKERNELAPI void ExFreePoolWithTag(PVOID p, ULONG tag);

// ---------------------------------------------------------------------------------------------
// Run-time library: memory, strings, numbers, GUIDs
// ---------------------------------------------------------------------------------------------
NTSYSAPI SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length);
NTSYSAPI void RtlCopyMemory(void* destination, const void* source, SIZE_T length);
NTSYSAPI void RtlMoveMemory(void* destination, const void* source, SIZE_T length);
NTSYSAPI void RtlZeroMemory(void* destination, SIZE_T length);
NTSYSAPI void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill);
#define RtlEqualMemory(a, b, n) (RtlCompareMemory((a), (b), (n)) == (SIZE_T)(n))

NTSYSAPI void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSYSAPI void RtlInitAnsiString(PANSI_STRING destination, PCSZ source);
NTSYSAPI void RtlInitString(PSTRING destination, PCSZ source);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                               BOOLEAN allocateDestination);
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                               BOOLEAN allocateDestination);
NTSYSAPI ULONG RtlAnsiStringToUnicodeSize(PCANSI_STRING ansiString);
NTSYSAPI ULONG RtlUnicodeStringToAnsiSize(PCUNICODE_STRING unicodeString);
NTSYSAPI void RtlFreeUnicodeString(PUNICODE_STRING unicodeString);
NTSYSAPI void RtlFreeAnsiString(PANSI_STRING ansiString);
NTSYSAPI void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                       BOOLEAN caseInSensitive);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                      BOOLEAN caseInSensitive);
NTSYSAPI BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                        BOOLEAN caseInSensitive);
NTSYSAPI NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source,
                                         BOOLEAN allocateDestination);
NTSYSAPI WCHAR RtlUpcaseUnicodeChar(WCHAR sourceCharacter);
NTSYSAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);
NTSYSAPI NTSTATUS RtlCharToInteger(PCSZ string, ULONG base, PULONG value);
NTSYSAPI NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING guidString);
NTSYSAPI NTSTATUS RtlGUIDFromString(PCUNICODE_STRING guidString, GUID* guid);
// Safe-string validation: even lengths, Length <= MaximumLength, a buffer when Length > 0,
// at most 32,767 characters.
NTSYSAPI NTSTATUS RtlUnicodeStringValidate(PCUNICODE_STRING sourceString);

// Code page in use: single-byte (NLS_MB_CODE_PAGE_TAG is FALSE on this machine).
extern "C" BOOLEAN NlsMbCodePageTag;
#define NLS_MB_CODE_PAGE_TAG NlsMbCodePageTag

// ---------------------------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------------------------
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];  // data begins at offset 12
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

NTKERNELAPI NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                               POBJECT_ATTRIBUTES objectAttributes);
NTKERNELAPI NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                                 POBJECT_ATTRIBUTES objectAttributes, ULONG titleIndex,
                                 PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition);
NTKERNELAPI NTSTATUS ZwDeleteKey(HANDLE keyHandle);
NTKERNELAPI NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                     KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                     PVOID keyValueInformation, ULONG length, PULONG resultLength);
NTKERNELAPI NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex,
                                   ULONG type, PVOID data, ULONG dataSize);
NTKERNELAPI NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName);
NTKERNELAPI NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index,
                                    KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                                    ULONG length, PULONG resultLength);
NTKERNELAPI NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index,
                                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                         PVOID keyValueInformation, ULONG length,
                                         PULONG resultLength);
NTKERNELAPI NTSTATUS ZwFlushKey(HANDLE keyHandle);
NTSYSAPI NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName,
                                        ULONG valueType, PVOID valueData, ULONG valueLength);
NTSYSAPI NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName);
NTSYSAPI NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path);
NTSYSAPI NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path);

// ---------------------------------------------------------------------------------------------
// I/O manager: objects and requests
// ---------------------------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0A
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0B
#define IRP_MJ_DIRECTORY_CONTROL 0x0C
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0D
#define IRP_MJ_DEVICE_CONTROL 0x0E
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0F
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1A
#define IRP_MJ_PNP 0x1B
#define IRP_MJ_MAXIMUM_FUNCTION 0x1B

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

// Stack-location control flags.
#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// Device object flags.
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

// Control codes.
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)((ctrlCode) & 0xffff0000)) >> 16)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _MDL;
typedef struct _IRP IRP, *PIRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _MDL MDL, *PMDL;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef void DRIVER_STARTIO(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef void DRIVER_CANCEL(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

typedef ULONG DEVICE_TYPE;

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;  // files open through this device object's name (the I/O manager's count)
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    KEVENT DeviceLock;
    USHORT SectorSize;
    PVOID DeviceObjectExtension;  // the platform's own record of the device
    PVOID Reserved;
};

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    volatile ULONG Waiters;
    volatile ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
};

// PnP and power types carried in stack locations.
typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations,
    PowerRelations,
    RemovalRelations,
    TargetDeviceRelation,
    SingleBusRelations,
    TransportRelations,
} DEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _BUS_QUERY_ID_TYPE {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3,
    BusQueryDeviceSerialNumber = 4,
    BusQueryContainerID = 5,
} BUS_QUERY_ID_TYPE;

typedef enum _DEVICE_TEXT_TYPE {
    DeviceTextDescription = 0,
    DeviceTextLocationInformation = 1,
} DEVICE_TEXT_TYPE;

typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
    DeviceUsageTypeUndefined = 0,
    DeviceUsageTypePaging,
    DeviceUsageTypeHibernation,
    DeviceUsageTypeDumpFile,
} DEVICE_USAGE_NOTIFICATION_TYPE;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7,
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum,
} DEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

typedef enum {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
} POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    void (*InterfaceReference)(PVOID context);
    void (*InterfaceDereference)(PVOID context);
} INTERFACE, *PINTERFACE;

typedef struct _PNP_BUS_INFORMATION {
    GUID BusTypeGuid;
    ULONG LegacyBusType;
    ULONG BusNumber;
} PNP_BUS_INFORMATION, *PPNP_BUS_INFORMATION;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    Vmcs,
    MaximumInterfaceType,
} INTERFACE_TYPE;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            union {
                struct {
                    USHORT Reserved;
                    USHORT MessageCount;
                    ULONG Vector;
                    KAFFINITY Affinity;
                } Raw;
                struct {
                    ULONG Level;
                    ULONG Vector;
                    KAFFINITY Affinity;
                } Translated;
            };
        } MessageInterrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Channel;
            ULONG Port;
            ULONG Reserved1;
        } Dma;
        struct {
            ULONG DataSize;
            ULONG Reserved1;
            ULONG Reserved2;
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
};
typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

typedef ULONG PNP_DEVICE_STATE, *PPNP_DEVICE_STATE;
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020

#define FILE_DIRECTORY_FILE 0x00000001
typedef struct _IO_RESOURCE_REQUIREMENTS_LIST IO_RESOURCE_REQUIREMENTS_LIST,
    *PIO_RESOURCE_REQUIREMENTS_LIST;

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed = 0,
    IrpNotCompleted,
    IrpNotWmi,
    IrpForward,
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            DEVICE_TEXT_TYPE DeviceTextType;
            ULONG LocaleId;
        } QueryDeviceText;
        struct {
            BOOLEAN InPath;
            BOOLEAN Reserved[3];
            DEVICE_USAGE_NOTIFICATION_TYPE Type;
        } UsageNotification;
        struct {
            SYSTEM_POWER_STATE PowerState;
        } WaitWake;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            PIO_RESOURCE_REQUIREMENTS_LIST IoResourceRequirementList;
        } FilterResourceRequirements;
        struct {
            ULONG_PTR ProviderId;
            PVOID DataPath;
            ULONG BufferSize;
            PVOID Buffer;
        } WMI;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;  // set by IoCancelIrp at any time: ReadBooleanAcquire it, or read it under the cancel spin lock
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;  // changed only through IoSetCancelRoutine
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            struct _IO_STACK_LOCATION* CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    // The stack locations follow the IRP in the same allocation.
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSkipCurrentIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoSetNextIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine)
{
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine, (PVOID)routine);
}

NTKERNELAPI NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
NTKERNELAPI void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))
NTKERNELAPI PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
NTKERNELAPI void IoFreeIrp(PIRP irp);
NTKERNELAPI void IoReuseIrp(PIRP irp, NTSTATUS status);
NTKERNELAPI BOOLEAN IoCancelIrp(PIRP irp);
NTKERNELAPI void IoAcquireCancelSpinLock(PKIRQL irql);
NTKERNELAPI void IoReleaseCancelSpinLock(KIRQL irql);
NTKERNELAPI PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                               PVOID inputBuffer, ULONG inputBufferLength,
                                               PVOID outputBuffer, ULONG outputBufferLength,
                                               BOOLEAN internalDeviceIoControl, PKEVENT event,
                                               PIO_STATUS_BLOCK ioStatusBlock);
NTKERNELAPI PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject,
                                              PVOID buffer, ULONG length,
                                              PLARGE_INTEGER startingOffset, PKEVENT event,
                                              PIO_STATUS_BLOCK ioStatusBlock);
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
NTKERNELAPI void PoStartNextPowerIrp(PIRP irp);

NTKERNELAPI BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion);

typedef enum {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyBootConfiguration = 3,
    DevicePropertyBootConfigurationTranslated = 4,
    DevicePropertyClassName = 5,
    DevicePropertyClassGuid = 6,
    DevicePropertyDriverKeyName = 7,
    DevicePropertyManufacturer = 8,
    DevicePropertyFriendlyName = 9,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
    DevicePropertyBusTypeGuid = 12,
    DevicePropertyLegacyBusType = 13,
    DevicePropertyBusNumber = 14,
    DevicePropertyEnumeratorName = 15,
    DevicePropertyAddress = 16,
    DevicePropertyUINumber = 17,
    DevicePropertyInstallState = 18,
    DevicePropertyRemovalPolicy = 19,
} DEVICE_REGISTRY_PROPERTY;

NTKERNELAPI NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject,
                                         DEVICE_REGISTRY_PROPERTY deviceProperty,
                                         ULONG bufferLength, PVOID propertyBuffer,
                                         PULONG resultLength);

// ---------------------------------------------------------------------------------------------
// Debugger output and software tracing
// ---------------------------------------------------------------------------------------------
NTSYSAPI ULONG DbgPrint(PCSTR format, ...);
NTSYSAPI void DbgBreakPoint(void);
NTKERNELAPI [[noreturn]] void KeBugCheckEx(ULONG bugCheckCode, ULONG_PTR p1, ULONG_PTR p2,
                                           ULONG_PTR p3, ULONG_PTR p4);

// WmiTraceMessage arguments: (pointer, length) pairs closed by a null pointer.
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_SYSTEMINFO 32
NTKERNELAPI NTSTATUS WmiTraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags,
                                     LPCGUID messageGuid, USHORT messageNumber, ...);

// ---------------------------------------------------------------------------------------------
// Timers and DPCs
// ---------------------------------------------------------------------------------------------
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;

NTKERNELAPI void KeInitializeTimer(PKTIMER timer);
NTKERNELAPI void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
// Due time: negative relative, positive absolute (100 ns units); period in milliseconds.
// Returns TRUE when the timer was already in the timer queue (and is re-armed).
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
// TRUE only when the timer was still in the timer queue; an expired timer's DPC still runs.
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER timer);

NTKERNELAPI void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// Returns when every DPC queued before the call has run.
NTKERNELAPI void KeFlushQueuedDpcs(void);

// ---------------------------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------------------------
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef void IO_WORKITEM_ROUTINE(PDEVICE_OBJECT deviceObject, PVOID context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;

NTKERNELAPI PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject);
NTKERNELAPI void IoFreeWorkItem(PIO_WORKITEM ioWorkItem);
// The device object stays referenced until the routine has returned.
NTKERNELAPI void IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine,
                                 WORK_QUEUE_TYPE queueType, PVOID context);

// ---------------------------------------------------------------------------------------------
// Device objects, names and symbolic links
// ---------------------------------------------------------------------------------------------
// The extension (zero-filled) follows the device object; DO_DEVICE_INITIALIZING is set.
NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                    PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                    ULONG deviceCharacteristics, BOOLEAN exclusive,
                                    PDEVICE_OBJECT* deviceObject);
NTKERNELAPI void IoDeleteDevice(PDEVICE_OBJECT deviceObject);
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                                       PDEVICE_OBJECT targetDevice);
NTKERNELAPI void IoDetachDevice(PDEVICE_OBJECT targetDevice);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject);
// "\??\X" and "\DosDevices\X" name the same link.
NTKERNELAPI NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTKERNELAPI NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);

// ---------------------------------------------------------------------------------------------
// Cancel-safe IRP queues
// ---------------------------------------------------------------------------------------------
typedef struct _IO_CSQ IO_CSQ, *PIO_CSQ;

#define IO_TYPE_CSQ_IRP_CONTEXT 1
#define IO_TYPE_CSQ 2
#define IO_TYPE_CSQ_EX 3

typedef struct _IO_CSQ_IRP_CONTEXT {
    ULONG Type;
    PIRP Irp;
    PIO_CSQ Csq;
} IO_CSQ_IRP_CONTEXT, *PIO_CSQ_IRP_CONTEXT;

typedef void IO_CSQ_INSERT_IRP(PIO_CSQ csq, PIRP irp);
typedef NTSTATUS IO_CSQ_INSERT_IRP_EX(PIO_CSQ csq, PIRP irp, PVOID insertContext);
typedef void IO_CSQ_REMOVE_IRP(PIO_CSQ csq, PIRP irp);
typedef PIRP IO_CSQ_PEEK_NEXT_IRP(PIO_CSQ csq, PIRP irp, PVOID peekContext);
typedef void IO_CSQ_ACQUIRE_LOCK(PIO_CSQ csq, PKIRQL irql);
typedef void IO_CSQ_RELEASE_LOCK(PIO_CSQ csq, KIRQL irql);
typedef void IO_CSQ_COMPLETE_CANCELED_IRP(PIO_CSQ csq, PIRP irp);
typedef IO_CSQ_INSERT_IRP* PIO_CSQ_INSERT_IRP;
typedef IO_CSQ_INSERT_IRP_EX* PIO_CSQ_INSERT_IRP_EX;
typedef IO_CSQ_REMOVE_IRP* PIO_CSQ_REMOVE_IRP;
typedef IO_CSQ_PEEK_NEXT_IRP* PIO_CSQ_PEEK_NEXT_IRP;
typedef IO_CSQ_ACQUIRE_LOCK* PIO_CSQ_ACQUIRE_LOCK;
typedef IO_CSQ_RELEASE_LOCK* PIO_CSQ_RELEASE_LOCK;
typedef IO_CSQ_COMPLETE_CANCELED_IRP* PIO_CSQ_COMPLETE_CANCELED_IRP;

struct _IO_CSQ {
    ULONG Type;
    PIO_CSQ_INSERT_IRP CsqInsertIrp;  // the insert-with-status form when Type is IO_TYPE_CSQ_EX
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
};

NTKERNELAPI NTSTATUS IoCsqInitialize(PIO_CSQ csq, PIO_CSQ_INSERT_IRP insertIrp,
                                     PIO_CSQ_REMOVE_IRP removeIrp, PIO_CSQ_PEEK_NEXT_IRP peekNextIrp,
                                     PIO_CSQ_ACQUIRE_LOCK acquireLock, PIO_CSQ_RELEASE_LOCK releaseLock,
                                     PIO_CSQ_COMPLETE_CANCELED_IRP completeCanceledIrp);
NTKERNELAPI NTSTATUS IoCsqInitializeEx(PIO_CSQ csq, PIO_CSQ_INSERT_IRP_EX insertIrp,
                                       PIO_CSQ_REMOVE_IRP removeIrp, PIO_CSQ_PEEK_NEXT_IRP peekNextIrp,
                                       PIO_CSQ_ACQUIRE_LOCK acquireLock, PIO_CSQ_RELEASE_LOCK releaseLock,
                                       PIO_CSQ_COMPLETE_CANCELED_IRP completeCanceledIrp);
NTKERNELAPI void IoCsqInsertIrp(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context);
NTKERNELAPI NTSTATUS IoCsqInsertIrpEx(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context,
                                      PVOID insertContext);
NTKERNELAPI PIRP IoCsqRemoveIrp(PIO_CSQ csq, PIO_CSQ_IRP_CONTEXT context);
NTKERNELAPI PIRP IoCsqRemoveNextIrp(PIO_CSQ csq, PVOID peekContext);

// ---------------------------------------------------------------------------------------------
// Callback objects
// ---------------------------------------------------------------------------------------------
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef void CALLBACK_FUNCTION(PVOID callbackContext, PVOID argument1, PVOID argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

// Opens the named object, or creates it when create is TRUE; the object comes back referenced.
NTKERNELAPI NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                                      BOOLEAN create, BOOLEAN allowMultipleCallbacks);
NTKERNELAPI PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                                     PVOID callbackContext);
// Does not return while the registration's function runs on another thread.
NTKERNELAPI void ExUnregisterCallback(PVOID callbackRegistration);
NTKERNELAPI void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);

// ---------------------------------------------------------------------------------------------
// Event log
// ---------------------------------------------------------------------------------------------
typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

#define ERROR_LOG_MAXIMUM_SIZE 240

NTKERNELAPI PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
NTKERNELAPI void IoWriteErrorLogEntry(PVOID elEntry);
NTKERNELAPI void IoFreeErrorLogEntry(PVOID elEntry);

// ---------------------------------------------------------------------------------------------
// Plug and Play: device registry keys, device interfaces, memory mapping
// ---------------------------------------------------------------------------------------------
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// PLUGPLAY_REGKEY_DEVICE opens the instance's "Device Parameters" key; PLUGPLAY_REGKEY_DRIVER the driver key.
NTKERNELAPI NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType,
                                             ACCESS_MASK desiredAccess, PHANDLE devInstRegKey);
// The link name is allocated by the system; the caller frees it with RtlFreeUnicodeString.
NTKERNELAPI NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                               const GUID* interfaceClassGuid,
                                               PUNICODE_STRING referenceString,
                                               PUNICODE_STRING symbolicLinkName);
NTKERNELAPI NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
NTKERNELAPI void IoInvalidateDeviceRelations(PDEVICE_OBJECT deviceObject, DEVICE_RELATION_TYPE type);
NTKERNELAPI void IoInvalidateDeviceState(PDEVICE_OBJECT physicalDeviceObject);

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;
NTKERNELAPI PVOID MmMapIoSpace(PHYSICAL_ADDRESS physicalAddress, SIZE_T numberOfBytes,
                               MEMORY_CACHING_TYPE cacheType);
NTKERNELAPI void MmUnmapIoSpace(PVOID baseAddress, SIZE_T numberOfBytes);

// ---------------------------------------------------------------------------------------------
// Power manager
// ---------------------------------------------------------------------------------------------
typedef void REQUEST_POWER_COMPLETE(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                    POWER_STATE powerState, PVOID context, PIO_STATUS_BLOCK ioStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

// Sends an IRP_MJ_POWER to the top of the physical device object's stack; STATUS_PENDING when issued.
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                       POWER_STATE powerState, PREQUEST_POWER_COMPLETE completionFunction,
                                       PVOID context, PIRP* irp);
NTKERNELAPI POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);

// ---------------------------------------------------------------------------------------------
// WMI registration
// ---------------------------------------------------------------------------------------------
#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4

#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

NTKERNELAPI NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action);
