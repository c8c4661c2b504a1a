// One request (IRP) the I/O manager sends on a file for a system service, and its completion to
// the caller: the buffered answer copied back, the caller's status block written and its event
// (or the file's) set, the IRP freed. A request that fails at once, without being pended, leaves
// the status block and the events alone: the service's own status is the answer.
//
// The IRP comes from IoAllocateIrp and goes to the top of the file's device stack with a
// completion routine at the top that does this work and keeps the IRP from the completion walk.
// A request lives while its IRP is out, and while a waiter or a canceller holds it.
#pragma once

#include <ntifs.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "io/file_object.h"

namespace emu {

class FileRequest : public std::enable_shared_from_this<FileRequest> {
public:
    // The request with its IRP allocated for the top of the file's stack and the next location set
    // for `major` on the file; null when no IRP could be had.
    static std::shared_ptr<FileRequest> Create(FileObject& file, UCHAR major, KPROCESSOR_MODE mode);
    ~FileRequest();
    FileRequest(const FileRequest&) = delete;
    FileRequest& operator=(const FileRequest&) = delete;

    PIRP Irp() const { return m_irp; }
    PIO_STACK_LOCATION Location() const { return IoGetNextIrpStackLocation(m_irp); }
    // The I/O flags of the device the request goes to (DO_BUFFERED_IO, DO_DIRECT_IO).
    ULONG TargetFlags() const { return m_target->Flags; }

    // ---- Buffers, as the target device takes them ------------------------------------------------
    // A zeroed system buffer of `length` bytes, with `inputLength` bytes of `input` copied in.
    bool AllocateSystemBuffer(ULONG length, const void* input = nullptr, ULONG inputLength = 0);
    // The answer in the system buffer is copied back to the caller's `output` on completion.
    void CopyBackTo(PVOID output, ULONG outputLength);
    // The caller's buffer handed over as an MDL describes it.
    void DescribeBuffer(PVOID buffer, ULONG length);

    // ---- Completion to the caller ------------------------------------------------------------------
    // The caller's status block, and its event (referenced; the request releases it).
    void CompleteTo(PIO_STATUS_BLOCK ioStatusBlock, PKEVENT event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext);

    // Sends the IRP. A tracked request is counted as pending on its file and can be cancelled;
    // one that references the file holds a file-object reference while it is out (IRP_MJ_CLOSE,
    // sent when the last reference has gone, does not).
    NTSTATUS Send(bool tracked, bool referencesFile);
    // What the service answers: for a request the driver did not pend, the status its dispatch
    // routine returned; for a pended one, the final status once it completes when `wait`, else
    // STATUS_PENDING.
    NTSTATUS Finish(NTSTATUS sent, bool wait);
    // Undoes Create for a request that is not sent after all.
    void Abandon();

    // Cancels the file's pending requests that `match` picks (IoCancelIrp); whether there were any.
    static bool Cancel(FileObject& file, const std::function<bool(const FileRequest&)>& match);
    // From now on the file's requests write nothing to the caller when they complete (its
    // process has gone).
    static void Orphan(FileObject& file);
    // The kernel is going: the file's requests that drivers never completed go with it.
    static void LetGo(FileObject& file);

    PKTHREAD Thread() const { return m_thread; }
    PIO_STATUS_BLOCK StatusBlock() const { return m_userIosb; }

private:
    explicit FileRequest(FileObject& file) : m_file(file) {}
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);
    void Deliver(const IO_STATUS_BLOCK& result, bool pendingReturned);
    void ReleaseIrpHold();
    bool IsCompleted();

    FileObject& m_file;
    std::shared_ptr<FileRequest> m_self;  // while the IRP is out
    PIRP m_irp = nullptr;
    PDEVICE_OBJECT m_target = nullptr;  // referenced top of the stack the IRP goes to
    PKTHREAD m_thread = nullptr;
    bool m_tracked = false;
    bool m_referencesFile = false;

    std::unique_ptr<std::byte[]> m_systemBuffer;
    ULONG m_systemBufferLength = 0;
    PVOID m_callerOutput = nullptr;  // buffered answers are copied back here
    ULONG m_callerOutputLength = 0;
    bool m_copyBack = false;
    MDL m_mdl{};

    PIO_STATUS_BLOCK m_userIosb = nullptr;
    PKEVENT m_userEvent = nullptr;  // referenced
    KEVENT m_done{};                // set when the request completes (the service waits here)

    // Under the file's lock.
    IO_STATUS_BLOCK m_result{};
    bool m_completed = false;
    bool m_orphaned = false;
    int m_irpHolds = 1;  // the completion and any canceller; the IRP is freed at 0
};

}  // namespace emu
