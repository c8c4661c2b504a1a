// The I/O manager's file services: NtCreateFile, NtReadFile, NtWriteFile, NtDeviceIoControlFile,
// NtFlushBuffersFile, NtCancelIoFile and NtCancelIoFileEx. Each checks the caller's handle
// against the access the request needs, builds the IRP the way the target device takes its
// buffers (DO_BUFFERED_IO, DO_DIRECT_IO, the control code's method) and sends it to the top of
// the file's stack, at PASSIVE_LEVEL in the calling thread.
#include <ntifs.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "io/file_objects.h"
#include "io/file_request.h"
#include "io/io_manager.h"
#include "kernel.h"
#include "ob/object_manager.h"

namespace emu {

namespace {

FileObjects& Files() { return Kernel::Current().GetIo().Files(); }

ACCESS_MASK MapFileAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// The access a control code asks of the handle.
ACCESS_MASK RequiredAccess(ULONG ioControlCode)
{
    const ULONG access = (ioControlCode >> 14) & 3;
    ACCESS_MASK required = 0;
    if (access & FILE_READ_ACCESS) required |= FILE_READ_DATA;
    if (access & FILE_WRITE_ACCESS) required |= FILE_WRITE_DATA;
    return required;
}

// A caller's file handle, referenced for the length of one service.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle()
    {
        if (m_object) ObDereferenceObject(m_object);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    NTSTATUS Reference(HANDLE handle)
    {
        const ObjectType fileType = ObjectType::File;
        void* body = nullptr;
        NTSTATUS status =
            Kernel::Current().GetObjectManager().ReferenceByHandle(handle, &fileType, &body, &m_granted);
        if (!NT_SUCCESS(status)) return status;
        m_object = static_cast<PFILE_OBJECT>(body);
        m_file = Files().Find(m_object);
        return m_file ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Whether the handle grants every right of `all`, and one of `any` when that is not zero.
    bool Grants(ACCESS_MASK all, ACCESS_MASK any = 0) const
    {
        return (all & ~m_granted) == 0 && (any == 0 || (any & m_granted) != 0);
    }
    FileObject& File() const { return *m_file; }

private:
    PFILE_OBJECT m_object = nullptr;
    std::shared_ptr<FileObject> m_file;
    ACCESS_MASK m_granted = 0;
};

// Where a request's answer goes.
struct Completion {
    HANDLE event = nullptr;
    PIO_APC_ROUTINE apcRoutine = nullptr;
    PVOID apcContext = nullptr;
    PIO_STATUS_BLOCK ioStatusBlock = nullptr;
    // The service waits for the request even on a file opened for asynchronous I/O: a service
    // that takes no event, so its caller has nothing of its own to wait on.
    bool waitOnAnyFile = false;
};

struct Access {
    ACCESS_MASK all = 0;
    ACCESS_MASK any = 0;
};

// The shape every request on a file shares: the handle and event checks, one request at a time on
// a synchronous file, the IRP that `build` completes, and the service's answer.
NTSTATUS Transfer(HANDLE fileHandle, const Completion& completion, UCHAR major, Access access,
                  const std::function<bool(FileRequest&)>& build)
{
    if (!completion.ioStatusBlock) return STATUS_ACCESS_VIOLATION;
    FileHandle handle;
    NTSTATUS status = handle.Reference(fileHandle);
    if (!NT_SUCCESS(status)) return status;
    if (!handle.Grants(access.all, access.any)) return STATUS_ACCESS_DENIED;
    PKEVENT event = nullptr;
    if (completion.event) {
        status = ObReferenceObjectByHandle(completion.event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                           reinterpret_cast<PVOID*>(&event), nullptr);
        if (!NT_SUCCESS(status)) return status;
    }

    FileObject& file = handle.File();
    std::unique_lock serial(file.serial, std::defer_lock);
    if (file.Synchronous()) serial.lock();
    std::shared_ptr<FileRequest> request = FileRequest::Create(file, major, UserMode);
    if (!request) {
        if (event) ObDereferenceObject(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->CompleteTo(completion.ioStatusBlock, event, completion.apcRoutine, completion.apcContext);
    if (!build(*request)) {
        request->Abandon();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (event) KeClearEvent(event);
    KeClearEvent(&file.object.Event);
    return request->Finish(request->Send(true, true), file.Synchronous() || completion.waitOnAnyFile);
}

// Read and write share one stack layout; the buffer goes as the target device takes it.
bool BuildTransfer(FileRequest& request, bool read, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    PIO_STACK_LOCATION stack = request.Location();
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = key ? *key : 0;
    stack->Parameters.Read.ByteOffset.QuadPart = byteOffset ? byteOffset->QuadPart : 0;
    request.Irp()->UserBuffer = buffer;
    const ULONG flags = request.TargetFlags();
    if (flags & DO_BUFFERED_IO) {
        if (!read) return request.AllocateSystemBuffer(length, buffer, length);
        request.CopyBackTo(buffer, length);
        return request.AllocateSystemBuffer(length);
    }
    if ((flags & DO_DIRECT_IO) && length != 0) request.DescribeBuffer(buffer, length);
    return true;
}

bool BuildControl(FileRequest& request, ULONG ioControlCode, PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer,
                  ULONG outputLength)
{
    PIO_STACK_LOCATION stack = request.Location();
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request.Irp()->UserBuffer = outputBuffer;
    switch (METHOD_FROM_CTL_CODE(ioControlCode)) {
    case METHOD_BUFFERED:
        // One system buffer carries the input in and the answer out.
        request.CopyBackTo(outputBuffer, outputLength);
        return request.AllocateSystemBuffer(std::max(inputLength, outputLength), inputBuffer, inputLength);
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // The input is buffered; the output buffer is handed over as the MDL describes it.
        if (outputLength != 0) request.DescribeBuffer(outputBuffer, outputLength);
        return request.AllocateSystemBuffer(inputLength, inputBuffer, inputLength);
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        return true;
    }
}

NTSTATUS ReadOrWrite(UCHAR major, HANDLE fileHandle, const Completion& completion, PVOID buffer, ULONG length,
                     PLARGE_INTEGER byteOffset, PULONG key)
{
    if (!buffer && length != 0) return STATUS_ACCESS_VIOLATION;
    const bool read = major == IRP_MJ_READ;
    return Transfer(fileHandle, completion, major, {read ? ACCESS_MASK{FILE_READ_DATA} : ACCESS_MASK{FILE_WRITE_DATA}},
                    [&](FileRequest& request) { return BuildTransfer(request, read, buffer, length, byteOffset, key); });
}

// Cancels the requests of the handle's file that `match` picks; whether there were any.
NTSTATUS CancelOnFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, bool* found,
                      const std::function<bool(const FileRequest&)>& match)
{
    if (!ioStatusBlock) return STATUS_ACCESS_VIOLATION;
    FileHandle handle;
    NTSTATUS status = handle.Reference(fileHandle);
    if (!NT_SUCCESS(status)) return status;
    *found = FileRequest::Cancel(handle.File(), match);
    ioStatusBlock->Status = STATUS_SUCCESS;
    ioStatusBlock->Information = 0;
    return STATUS_SUCCESS;
}

NTSTATUS OpenNamed(const OpenParameters& parameters, PHANDLE fileHandle)
{
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = Files().Open(parameters, &file);
    if (!NT_SUCCESS(status)) return status;
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    *fileHandle = objects.CreateHandle(file, parameters.access, UserMode);
    objects.Dereference(file);  // the handle holds the file now
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace emu

extern "C" NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                 PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                 ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                                 ULONG eaLength)
{
    (void)allocationSize;  // devices have no allocation
    (void)eaBuffer;
    (void)eaLength;
    if (!fileHandle || !ioStatusBlock || !objectAttributes) return STATUS_ACCESS_VIOLATION;
    PCUNICODE_STRING name = objectAttributes->ObjectName;
    if (!name || name->Length == 0 || !name->Buffer) return STATUS_OBJECT_NAME_INVALID;
    // Opens relative to a directory handle are not made on this machine.
    if (objectAttributes->RootDirectory) return STATUS_INVALID_PARAMETER;
    const ULONG synchronous = createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    const ACCESS_MASK access = emu::MapFileAccess(desiredAccess);
    if (createDisposition > FILE_MAXIMUM_DISPOSITION || (createOptions & ~FILE_VALID_OPTION_FLAGS) != 0 ||
        synchronous == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT) ||
        (synchronous && !(access & SYNCHRONIZE)))
        return STATUS_INVALID_PARAMETER;

    *fileHandle = nullptr;
    emu::OpenParameters parameters;
    parameters.name = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
    parameters.access = access;
    parameters.shareAccess = shareAccess;
    parameters.disposition = createDisposition;
    parameters.options = createOptions;
    parameters.fileAttributes = fileAttributes;
    NTSTATUS status = emu::OpenNamed(parameters, fileHandle);
    if (!NT_SUCCESS(status)) return status;
    ioStatusBlock->Status = STATUS_SUCCESS;
    ioStatusBlock->Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                               PULONG key)
{
    return emu::ReadOrWrite(IRP_MJ_READ, fileHandle, {event, apcRoutine, apcContext, ioStatusBlock}, buffer, length,
                            byteOffset, key);
}

extern "C" NTSTATUS NtWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                                PULONG key)
{
    return emu::ReadOrWrite(IRP_MJ_WRITE, fileHandle, {event, apcRoutine, apcContext, ioStatusBlock}, buffer, length,
                            byteOffset, key);
}

extern "C" NTSTATUS NtDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                                          PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG ioControlCode,
                                          PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                          ULONG outputBufferLength)
{
    // METHOD_NEITHER hands the caller's pointers over unchecked; the others copy or map them.
    if (METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_NEITHER &&
        ((!inputBuffer && inputBufferLength != 0) || (!outputBuffer && outputBufferLength != 0)))
        return STATUS_ACCESS_VIOLATION;
    return emu::Transfer(fileHandle, {event, apcRoutine, apcContext, ioStatusBlock}, IRP_MJ_DEVICE_CONTROL,
                         {emu::RequiredAccess(ioControlCode)}, [&](emu::FileRequest& request) {
                             return emu::BuildControl(request, ioControlCode, inputBuffer, inputBufferLength,
                                                      outputBuffer, outputBufferLength);
                         });
}

extern "C" NTSTATUS NtFlushBuffersFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock)
{
    return emu::Transfer(fileHandle, {nullptr, nullptr, nullptr, ioStatusBlock, true}, IRP_MJ_FLUSH_BUFFERS,
                         {0, FILE_WRITE_DATA | FILE_APPEND_DATA}, [](emu::FileRequest&) { return true; });
}

extern "C" NTSTATUS NtCancelIoFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock)
{
    PKTHREAD caller = KeGetCurrentThread();
    bool found = false;
    return emu::CancelOnFile(fileHandle, ioStatusBlock, &found,
                             [caller](const emu::FileRequest& request) { return request.Thread() == caller; });
}

extern "C" NTSTATUS NtCancelIoFileEx(HANDLE fileHandle, PIO_STATUS_BLOCK ioRequestToCancel,
                                     PIO_STATUS_BLOCK ioStatusBlock)
{
    bool found = false;
    NTSTATUS status = emu::CancelOnFile(fileHandle, ioStatusBlock, &found, [ioRequestToCancel](const emu::FileRequest& request) {
        return !ioRequestToCancel || request.StatusBlock() == ioRequestToCancel;
    });
    if (NT_SUCCESS(status) && !found) return STATUS_NOT_FOUND;
    return status;
}
