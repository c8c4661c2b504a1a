// The native system services: what user mode asks of the kernel (through ntdll on Windows) for
// files on devices, events, waits and handles. Our own declarations, with Windows' documented
// signatures. The kernel implements them (io/, ob/, ex/); kernel32 builds its calls on them.
//
// The services act for a user-mode caller: handles they make are user-mode handles, and each
// handle they take is checked against the access it was granted.
#pragma once

#include <ntddk.h>

#define NTSYSCALLAPI extern "C"

// ---- Access rights of files (the single rights are in ntdef.h) ---------------------------------
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

// ---- NtCreateFile ---------------------------------------------------------------------------
// CreateDisposition.
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005

// CreateOptions (the low 24 bits of Parameters.Create.Options; the disposition is the high byte).
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_VALID_OPTION_FLAGS 0x00FFFFFF

// IoStatusBlock->Information of a successful create.
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002

// FILE_OBJECT::Flags.
#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_ALERTABLE_IO 0x00000004

// ---- The services -----------------------------------------------------------------------------
// A routine queued to the caller when an asynchronous request completes (not delivered on this
// machine, which runs no user-mode APCs; the context travels with the request).
typedef void (*PIO_APC_ROUTINE)(PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG reserved);

// Files. A file opened with FILE_SYNCHRONOUS_IO_* carries one request at a time and each service
// waits for its request; on any other file a service returns STATUS_PENDING for a request the
// driver keeps, and the I/O manager writes *ioStatusBlock and sets the event (or the file) when it
// completes. A request the driver finishes at once returns the status its dispatch routine
// returned; one that fails at once leaves the status block and the event untouched.
NTSYSCALLAPI NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                   PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                   ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                                   ULONG eaLength);
NTSYSCALLAPI NTSTATUS NtReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                 PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                                 PLARGE_INTEGER byteOffset, PULONG key);
NTSYSCALLAPI NTSTATUS NtWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                  PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER byteOffset, PULONG key);
NTSYSCALLAPI NTSTATUS NtDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                                            PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG ioControlCode,
                                            PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                            ULONG outputBufferLength);
NTSYSCALLAPI NTSTATUS NtFlushBuffersFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock);
// Cancels the calling thread's requests on the file.
NTSYSCALLAPI NTSTATUS NtCancelIoFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock);
// Cancels the file's requests of any thread whose status block is ioRequestToCancel (all of them
// when it is null); STATUS_NOT_FOUND when there is none.
NTSYSCALLAPI NTSTATUS NtCancelIoFileEx(HANDLE fileHandle, PIO_STATUS_BLOCK ioRequestToCancel,
                                       PIO_STATUS_BLOCK ioStatusBlock);

// Handles and waits. A file handle waits on its file object's event.
NTSYSCALLAPI NTSTATUS NtClose(HANDLE handle);
NTSYSCALLAPI NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSYSCALLAPI NTSTATUS NtWaitForMultipleObjects(ULONG count, HANDLE handles[], WAIT_TYPE waitType, BOOLEAN alertable,
                                               PLARGE_INTEGER timeout);

// Events. A name opens the event of that name when OBJ_OPENIF is given (STATUS_OBJECT_NAME_EXISTS).
NTSYSCALLAPI NTSTATUS NtCreateEvent(PHANDLE eventHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                    EVENT_TYPE eventType, BOOLEAN initialState);
NTSYSCALLAPI NTSTATUS NtSetEvent(HANDLE eventHandle, PLONG previousState);
NTSYSCALLAPI NTSTATUS NtResetEvent(HANDLE eventHandle, PLONG previousState);
