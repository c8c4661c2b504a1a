// Device I/O of kernel32: ReadFile, WriteFile, DeviceIoControl, GetOverlappedResult, CancelIo and
// CancelIoEx, and the request path under them. Each request is an IRP from IoAllocateIrp sent to
// the top of the file's device stack, with a completion routine at its top location that does
// what the I/O manager does for user mode: copy a buffered answer back, fill the OVERLAPPED, set
// the caller's event.
#include "win32_subsystem.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

namespace emu::win32 {

namespace {

void Report(Violation kind, std::string detail)
{
    Kernel::Current().GetVerifier().Report(kind, std::move(detail));
}

NTSTATUS OnRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    Request* request = static_cast<Request*>(context);
    FileRecord& file = *request->file;
    IO_STATUS_BLOCK result{};
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;

    if (request->copyBack && !NT_ERROR(result.Status)) {
        if (result.Information > request->callerOutputLength) {
            Report(Violation::IrpBufferOverrun, "buffered answer of " + std::to_string(result.Information) +
                                                    " bytes for an output buffer of " +
                                                    std::to_string(request->callerOutputLength));
            result.Information = request->callerOutputLength;
        }
        const size_t bytes = std::min<size_t>(result.Information, request->systemBufferLength);
        if (bytes != 0 && request->callerOutput)
            std::memcpy(request->callerOutput, request->systemBuffer.get(), bytes);
    }
    if (LPOVERLAPPED overlapped = request->overlapped) {
        overlapped->InternalHigh = result.Information;
        // Last: a caller polling Internal may reuse the OVERLAPPED once it leaves STATUS_PENDING.
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG_PTR>(static_cast<ULONG>(result.Status)), std::memory_order_release);
    }

    std::shared_ptr<Request> keep;
    bool freeIrp;
    {
        std::lock_guard lock(file.lock);
        file.pending.erase(std::remove(file.pending.begin(), file.pending.end(), request), file.pending.end());
        request->result = result;
        request->completed = true;
        keep = std::move(request->self);
        freeIrp = --request->irpHolds == 0;
    }
    if (freeIrp) {
        irp->MdlAddress = nullptr;  // the request's own descriptor, not the pool's
        IoFreeIrp(irp);
    }

    PKEVENT userEvent = request->userEvent;
    if (userEvent)
        KeSetEvent(userEvent, IO_NO_INCREMENT, FALSE);
    else if (request->tracked)
        KeSetEvent(&file.object.Event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    if (userEvent) ObDereferenceObject(userEvent);
    ObDereferenceObject(request->target);
    if (request->referencesFile) {
        SetInCompletion(true);
        ObDereferenceObject(&file.object);
        SetInCompletion(false);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Allocates the IRP for the top of the file's stack with its location set for `major`.
NTSTATUS Prepare(Request& request, UCHAR major, KPROCESSOR_MODE mode)
{
    FileRecord& file = *request.file;
    request.major = major;
    request.issuer = std::this_thread::get_id();
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    request.target = IoGetAttachedDeviceReference(file.object.DeviceObject);
    request.irp = IoAllocateIrp(request.target->StackSize, FALSE);
    if (!request.irp) {
        ObDereferenceObject(request.target);
        request.target = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIRP irp = request.irp;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file.object;
    return STATUS_SUCCESS;
}

// Undoes Prepare for a request that is not sent after all.
void Abandon(Request& request)
{
    IoFreeIrp(request.irp);
    request.irp = nullptr;
    ObDereferenceObject(request.target);
    request.target = nullptr;
}

NTSTATUS Send(const std::shared_ptr<Request>& request)
{
    FileRecord& file = *request->file;
    IoSetCompletionRoutine(request->irp, &OnRequestComplete, request.get(), TRUE, TRUE, TRUE);
    request->self = request;
    if (request->referencesFile) ObReferenceObject(&file.object);
    if (request->tracked) {
        std::lock_guard lock(file.lock);
        file.pending.push_back(request.get());
    }
    return IoCallDriver(request->target, request->irp);
}

bool IsCompleted(Request& request)
{
    std::lock_guard lock(request.file->lock);
    return request.completed;
}

// The final status of a sent request, waiting for it when it is pending.
IO_STATUS_BLOCK Finish(Request& request, NTSTATUS sent, bool wait)
{
    if (sent != STATUS_PENDING && !IsCompleted(request)) {
        // The driver kept the IRP but said it had finished with it.
        Report(Violation::Bugcheck, "dispatch routine returned status " + std::to_string(sent) +
                                        " without completing the IRP (STATUS_PENDING expected)");
        IO_STATUS_BLOCK answer{};
        answer.Status = sent;
        return answer;
    }
    if (wait) KeWaitForSingleObject(&request.done, UserRequest, UserMode, FALSE, nullptr);
    std::lock_guard lock(request.file->lock);
    return request.result;
}

ACCESS_MASK RequiredAccess(DWORD ioControlCode)
{
    const DWORD access = (ioControlCode >> 14) & 3;
    ACCESS_MASK required = 0;
    if (access & FILE_READ_ACCESS) required |= FILE_READ_DATA;
    if (access & FILE_WRITE_ACCESS) required |= FILE_WRITE_DATA;
    return required;
}

void DescribeBuffer(Request& request, PVOID buffer, ULONG length)
{
    request.mdl.Size = sizeof(MDL);
    request.mdl.StartVa = buffer;
    request.mdl.MappedSystemVa = buffer;
    request.mdl.ByteCount = length;
    request.irp->MdlAddress = &request.mdl;
}

bool AllocateSystemBuffer(Request& request, ULONG length)
{
    if (length == 0) return true;
    request.systemBuffer.reset(new (std::nothrow) std::byte[length]());
    if (!request.systemBuffer) return false;
    request.systemBufferLength = length;
    request.irp->AssociatedIrp.SystemBuffer = request.systemBuffer.get();
    return true;
}

// The shape every user-mode transfer shares: checks, the request, synchronous or overlapped
// completion, the caller's count and the last error.
BOOL Transfer(HANDLE handle, UCHAR major, ACCESS_MASK required, LPDWORD bytes, LPOVERLAPPED overlapped,
              const std::function<bool(Request&, PIO_STACK_LOCATION)>& build)
{
    std::shared_ptr<FileRecord> file = FileFromHandle(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // An overlapped file needs an OVERLAPPED; a synchronous call needs somewhere to put the count.
    if ((file->overlapped && !overlapped) || (!overlapped && !bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((required & ~file->access) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (bytes) *bytes = 0;

    auto request = std::make_shared<Request>();
    request->file = file;
    request->overlapped = overlapped;
    if (overlapped && overlapped->hEvent) {
        // The low bit only asks for no completion-port packet.
        HANDLE eventHandle = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
        const ObjectType eventType = ObjectType::Event;
        void* body = nullptr;
        if (!NT_SUCCESS(Kernel::Current().GetObjectManager().ReferenceByHandle(eventHandle, &eventType, &body))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        request->userEvent = static_cast<PKEVENT>(body);
    }

    std::unique_lock serial(file->serial, std::defer_lock);
    if (!file->overlapped) serial.lock();

    NTSTATUS status = Prepare(*request, major, UserMode);
    if (NT_SUCCESS(status) && !build(*request, IoGetNextIrpStackLocation(request->irp))) {
        Abandon(*request);
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        if (request->userEvent) ObDereferenceObject(request->userEvent);
        SetLastNtError(status);
        return FALSE;
    }

    if (request->userEvent) KeClearEvent(request->userEvent);
    KeClearEvent(&file->object.Event);
    if (overlapped) {
        overlapped->InternalHigh = 0;
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)), std::memory_order_release);
    }

    const NTSTATUS sent = Send(request);
    if (file->overlapped && sent == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    const IO_STATUS_BLOCK result = Finish(*request, sent, !file->overlapped);
    if (bytes && !NT_ERROR(result.Status)) *bytes = static_cast<DWORD>(result.Information);
    if (NT_SUCCESS(result.Status)) return TRUE;
    SetLastNtError(result.Status);
    return FALSE;
}

}  // namespace

// Cancels the requests of a file that `match` picks; tells whether there were any.
bool CancelRequests(FileRecord& file, const std::function<bool(const Request&)>& match)
{
    std::vector<std::shared_ptr<Request>> held;
    {
        std::lock_guard lock(file.lock);
        for (Request* request : file.pending) {
            if (!match(*request)) continue;
            ++request->irpHolds;  // the IRP stays allocated while it is being cancelled
            held.push_back(request->self);
        }
    }
    for (auto& request : held) {
        IoCancelIrp(request->irp);
        bool freeIrp;
        {
            std::lock_guard lock(file.lock);
            freeIrp = --request->irpHolds == 0;
        }
        if (freeIrp) {
            request->irp->MdlAddress = nullptr;
            IoFreeIrp(request->irp);
        }
    }
    return !held.empty();
}

NTSTATUS SendAndWait(const std::shared_ptr<FileRecord>& file, UCHAR major, KPROCESSOR_MODE mode, bool referencesFile,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill)
{
    auto request = std::make_shared<Request>();
    request->file = file;
    request->tracked = false;
    request->referencesFile = referencesFile;
    NTSTATUS status = Prepare(*request, major, mode);
    if (!NT_SUCCESS(status)) return status;
    if (fill) fill(request->irp, IoGetNextIrpStackLocation(request->irp));
    const NTSTATUS sent = Send(request);
    return Finish(*request, sent, true).Status;
}

}  // namespace emu::win32

using emu::win32::FileFromHandle;
using emu::win32::Request;
using emu::win32::Transfer;

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped)
{
    if (!lpBuffer && nNumberOfBytesToRead != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return Transfer(hFile, IRP_MJ_READ, FILE_READ_DATA, lpNumberOfBytesRead, lpOverlapped,
                    [&](Request& request, PIO_STACK_LOCATION stack) {
                        PIRP irp = request.irp;
                        stack->Parameters.Read.Length = nNumberOfBytesToRead;
                        if (lpOverlapped)
                            stack->Parameters.Read.ByteOffset.QuadPart =
                                (LONGLONG{lpOverlapped->OffsetHigh} << 32) | lpOverlapped->Offset;
                        irp->UserBuffer = lpBuffer;
                        const ULONG flags = request.target->Flags;
                        if (flags & DO_BUFFERED_IO) {
                            request.copyBack = true;
                            request.callerOutput = lpBuffer;
                            request.callerOutputLength = nNumberOfBytesToRead;
                            return emu::win32::AllocateSystemBuffer(request, nNumberOfBytesToRead);
                        }
                        if ((flags & DO_DIRECT_IO) && nNumberOfBytesToRead != 0)
                            emu::win32::DescribeBuffer(request, lpBuffer, nNumberOfBytesToRead);
                        return true;
                    });
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (!lpBuffer && nNumberOfBytesToWrite != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    PVOID buffer = const_cast<PVOID>(lpBuffer);
    return Transfer(hFile, IRP_MJ_WRITE, FILE_WRITE_DATA, lpNumberOfBytesWritten, lpOverlapped,
                    [&](Request& request, PIO_STACK_LOCATION stack) {
                        PIRP irp = request.irp;
                        stack->Parameters.Write.Length = nNumberOfBytesToWrite;
                        if (lpOverlapped)
                            stack->Parameters.Write.ByteOffset.QuadPart =
                                (LONGLONG{lpOverlapped->OffsetHigh} << 32) | lpOverlapped->Offset;
                        irp->UserBuffer = buffer;
                        const ULONG flags = request.target->Flags;
                        if (flags & DO_BUFFERED_IO) {
                            if (!emu::win32::AllocateSystemBuffer(request, nNumberOfBytesToWrite)) return false;
                            if (nNumberOfBytesToWrite != 0)
                                std::memcpy(request.systemBuffer.get(), lpBuffer, nNumberOfBytesToWrite);
                            return true;
                        }
                        if ((flags & DO_DIRECT_IO) && nNumberOfBytesToWrite != 0)
                            emu::win32::DescribeBuffer(request, buffer, nNumberOfBytesToWrite);
                        return true;
                    });
}

extern "C" BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                LPOVERLAPPED lpOverlapped)
{
    const ULONG method = METHOD_FROM_CTL_CODE(dwIoControlCode);
    if (method != METHOD_NEITHER &&
        ((!lpInBuffer && nInBufferSize != 0) || (!lpOutBuffer && nOutBufferSize != 0))) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return Transfer(
        hDevice, IRP_MJ_DEVICE_CONTROL, emu::win32::RequiredAccess(dwIoControlCode), lpBytesReturned, lpOverlapped,
        [&](Request& request, PIO_STACK_LOCATION stack) {
            PIRP irp = request.irp;
            stack->Parameters.DeviceIoControl.IoControlCode = dwIoControlCode;
            stack->Parameters.DeviceIoControl.InputBufferLength = nInBufferSize;
            stack->Parameters.DeviceIoControl.OutputBufferLength = nOutBufferSize;
            irp->UserBuffer = lpOutBuffer;
            switch (method) {
            case METHOD_BUFFERED:
                // One system buffer carries the input in and the answer out.
                if (!emu::win32::AllocateSystemBuffer(request, std::max(nInBufferSize, nOutBufferSize))) return false;
                if (nInBufferSize != 0) std::memcpy(request.systemBuffer.get(), lpInBuffer, nInBufferSize);
                request.copyBack = true;
                request.callerOutput = lpOutBuffer;
                request.callerOutputLength = nOutBufferSize;
                return true;
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT:
                // The input is buffered; the output buffer is handed over as the MDL describes it.
                if (!emu::win32::AllocateSystemBuffer(request, nInBufferSize)) return false;
                if (nInBufferSize != 0) std::memcpy(request.systemBuffer.get(), lpInBuffer, nInBufferSize);
                if (nOutBufferSize != 0) emu::win32::DescribeBuffer(request, lpOutBuffer, nOutBufferSize);
                return true;
            default:
                stack->Parameters.DeviceIoControl.Type3InputBuffer = lpInBuffer;
                return true;
            }
        });
}

extern "C" BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                    BOOL bWait)
{
    if (!lpOverlapped || !lpNumberOfBytesTransferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto internal = [&] {
        return static_cast<NTSTATUS>(static_cast<ULONG>(
            std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).load(std::memory_order_acquire)));
    };
    if (internal() == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The caller's event, or the file's own when the request had none.
        HANDLE waitOn = lpOverlapped->hEvent
                            ? reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR{1})
                            : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) != WAIT_OBJECT_0) return FALSE;
    }
    const NTSTATUS status = internal();
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (NT_SUCCESS(status)) return TRUE;
    emu::win32::SetLastNtError(status);
    return FALSE;
}

extern "C" BOOL CancelIo(HANDLE hFile)
{
    std::shared_ptr<emu::win32::FileRecord> file = FileFromHandle(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The calling thread's requests on this file, as on Windows.
    const std::thread::id me = std::this_thread::get_id();
    emu::win32::CancelRequests(*file, [me](const Request& request) { return request.issuer == me; });
    return TRUE;
}

extern "C" BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<emu::win32::FileRecord> file = FileFromHandle(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool found = emu::win32::CancelRequests(*file, [lpOverlapped](const Request& request) {
        return !lpOverlapped || request.overlapped == lpOverlapped;
    });
    if (!found) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
