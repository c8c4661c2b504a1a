#include "io/file_request.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "io/file_objects.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

void Report(Violation kind, std::string detail) { Kernel::Current().GetVerifier().Report(kind, std::move(detail)); }

// The status goes last: a caller polling it may take its status block back once it leaves
// STATUS_PENDING.
void WriteStatusBlock(PIO_STATUS_BLOCK block, const IO_STATUS_BLOCK& result)
{
    block->Information = result.Information;
    std::atomic_ref<PVOID>(block->Pointer)
        .store(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(result.Status))), std::memory_order_release);
}

}  // namespace

std::shared_ptr<FileRequest> FileRequest::Create(FileObject& file, UCHAR major, KPROCESSOR_MODE mode)
{
    std::shared_ptr<FileRequest> request(new FileRequest(file));
    KeInitializeEvent(&request->m_done, NotificationEvent, FALSE);
    request->m_thread = KeGetCurrentThread();
    request->m_target = IoGetAttachedDeviceReference(file.object.DeviceObject);
    request->m_irp = IoAllocateIrp(request->m_target->StackSize, FALSE);
    if (!request->m_irp) return nullptr;  // the destructor drops the target

    PIRP irp = request->m_irp;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    irp->Tail.Overlay.Thread = request->m_thread;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file.object;
    return request;
}

FileRequest::~FileRequest()
{
    if (m_userEvent) ObDereferenceObject(m_userEvent);
    if (m_target) ObDereferenceObject(m_target);
}

bool FileRequest::AllocateSystemBuffer(ULONG length, const void* input, ULONG inputLength)
{
    if (length == 0) return true;
    m_systemBuffer.reset(new (std::nothrow) std::byte[length]());
    if (!m_systemBuffer) return false;
    m_systemBufferLength = length;
    if (inputLength != 0) std::memcpy(m_systemBuffer.get(), input, std::min(inputLength, length));
    m_irp->AssociatedIrp.SystemBuffer = m_systemBuffer.get();
    return true;
}

void FileRequest::CopyBackTo(PVOID output, ULONG outputLength)
{
    m_copyBack = true;
    m_callerOutput = output;
    m_callerOutputLength = outputLength;
}

void FileRequest::DescribeBuffer(PVOID buffer, ULONG length)
{
    m_mdl.Size = sizeof(MDL);
    m_mdl.StartVa = buffer;
    m_mdl.MappedSystemVa = buffer;
    m_mdl.ByteCount = length;
    m_irp->MdlAddress = &m_mdl;
}

void FileRequest::CompleteTo(PIO_STATUS_BLOCK ioStatusBlock, PKEVENT event, PIO_APC_ROUTINE apcRoutine,
                             PVOID apcContext)
{
    m_userIosb = ioStatusBlock;
    m_userEvent = event;
    m_irp->UserIosb = ioStatusBlock;
    m_irp->UserEvent = event;
    m_irp->Overlay.AsynchronousParameters.UserApcRoutine = reinterpret_cast<PVOID>(apcRoutine);
    m_irp->Overlay.AsynchronousParameters.UserApcContext = apcContext;
}

NTSTATUS FileRequest::Send(bool tracked, bool referencesFile)
{
    m_tracked = tracked;
    m_referencesFile = referencesFile;
    IoSetCompletionRoutine(m_irp, &OnComplete, this, TRUE, TRUE, TRUE);
    m_self = shared_from_this();
    if (referencesFile) ObReferenceObject(&m_file.object);
    if (tracked) {
        std::lock_guard lock(m_file.lock);
        m_file.pending.push_back(this);
    }
    return IoCallDriver(m_target, m_irp);
}

void FileRequest::Abandon()
{
    m_irp->MdlAddress = nullptr;
    IoFreeIrp(m_irp);
    m_irp = nullptr;
}

bool FileRequest::IsCompleted()
{
    std::lock_guard lock(m_file.lock);
    return m_completed;
}

NTSTATUS FileRequest::Finish(NTSTATUS sent, bool wait)
{
    if (sent == STATUS_PENDING) {
        if (!wait) return STATUS_PENDING;
        KeWaitForSingleObject(&m_done, Executive, KernelMode, FALSE, nullptr);
        std::lock_guard lock(m_file.lock);
        return m_result.Status;
    }
    if (!IsCompleted()) {
        // The driver kept the IRP but said it had finished with it: whenever it completes, the
        // caller has long gone.
        Report(Violation::Bugcheck, "dispatch routine returned status " + std::to_string(sent) +
                                        " without completing the IRP (STATUS_PENDING expected)");
        std::lock_guard lock(m_file.lock);
        m_orphaned = true;
    }
    return sent;
}

// Under the file's lock: the answer goes to the caller unless it failed at once.
void FileRequest::Deliver(const IO_STATUS_BLOCK& result, bool pendingReturned)
{
    if (m_orphaned || (NT_ERROR(result.Status) && !pendingReturned)) return;
    IO_STATUS_BLOCK answer = result;
    if (m_copyBack && !NT_ERROR(answer.Status)) {
        if (answer.Information > m_callerOutputLength) {
            Report(Violation::IrpBufferOverrun, "buffered answer of " + std::to_string(answer.Information) +
                                                    " bytes for an output buffer of " +
                                                    std::to_string(m_callerOutputLength));
            answer.Information = m_callerOutputLength;
        }
        const size_t bytes = std::min<size_t>(answer.Information, m_systemBufferLength);
        if (bytes != 0 && m_callerOutput) std::memcpy(m_callerOutput, m_systemBuffer.get(), bytes);
    }
    if (m_userIosb) WriteStatusBlock(m_userIosb, answer);
    if (m_userEvent)
        KeSetEvent(m_userEvent, IO_NO_INCREMENT, FALSE);
    else if (m_tracked)
        KeSetEvent(&m_file.object.Event, IO_NO_INCREMENT, FALSE);
}

void FileRequest::ReleaseIrpHold()
{
    bool free;
    {
        std::lock_guard lock(m_file.lock);
        free = --m_irpHolds == 0;
    }
    if (!free) return;
    m_irp->MdlAddress = nullptr;  // the request's own descriptor, not the pool's
    IoFreeIrp(m_irp);
}

NTSTATUS FileRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    FileRequest* request = static_cast<FileRequest*>(context);
    FileObject& file = request->m_file;
    const IO_STATUS_BLOCK result = irp->IoStatus;
    const bool pendingReturned = irp->PendingReturned != FALSE;

    std::shared_ptr<FileRequest> keep;
    {
        std::lock_guard lock(file.lock);
        request->Deliver(result, pendingReturned);
        file.pending.erase(std::remove(file.pending.begin(), file.pending.end(), request), file.pending.end());
        request->m_result = result;
        request->m_completed = true;
        keep = std::move(request->m_self);
    }
    request->ReleaseIrpHold();
    KeSetEvent(&request->m_done, IO_NO_INCREMENT, FALSE);
    if (request->m_referencesFile) {
        CompletionScope inCompletion;
        ObDereferenceObject(&file.object);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool FileRequest::Cancel(FileObject& file, const std::function<bool(const FileRequest&)>& match)
{
    std::vector<std::shared_ptr<FileRequest>> held;
    {
        std::lock_guard lock(file.lock);
        for (FileRequest* request : file.pending) {
            if (!match(*request)) continue;
            ++request->m_irpHolds;  // the IRP stays allocated while it is being cancelled
            held.push_back(request->m_self);
        }
    }
    for (auto& request : held) {
        IoCancelIrp(request->m_irp);
        request->ReleaseIrpHold();
    }
    return !held.empty();
}

void FileRequest::Orphan(FileObject& file)
{
    std::lock_guard lock(file.lock);
    for (FileRequest* request : file.pending) request->m_orphaned = true;
}

void FileRequest::LetGo(FileObject& file)
{
    std::vector<std::shared_ptr<FileRequest>> held;
    {
        std::lock_guard lock(file.lock);
        for (FileRequest* request : file.pending) held.push_back(std::move(request->m_self));
        file.pending.clear();
    }
}

}  // namespace emu
