// The I/O manager's file objects: opening a device object by name (IRP_MJ_CREATE), the last
// handle's IRP_MJ_CLEANUP, IRP_MJ_CLOSE once the file's last reference is gone, the count of open
// files on each device object, and the end of user mode (its handles closed, its requests
// cancelled).
//
// A device object's ReferenceCount counts the files opened through its name and not yet closed,
// as on Windows; it is changed under the object namespace's database lock. A device created
// exclusive (DO_EXCLUSIVE) takes no second open while it has one. The count belongs to the object
// the name resolves to, not to its stack: a COM port's name opens the port's functional device, a
// device-interface path the physical device object below it.
#pragma once

#include <ntifs.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io/file_object.h"

namespace emu {

class Kernel;

// What NtCreateFile asks of the I/O manager, its arguments checked.
struct OpenParameters {
    std::u16string_view name;  // "\??\COM5", "\??\<interface>\<reference>"
    ACCESS_MASK access = 0;    // granted, generic rights mapped
    ULONG shareAccess = 0;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;  // FILE_SYNCHRONOUS_IO_*, FILE_NON_DIRECTORY_FILE, ...
    ULONG fileAttributes = 0;
};

// Marks the calling thread as running a request's completion while it lives: a file whose last
// reference goes meanwhile gets its IRP_MJ_CLOSE from a worker thread, outside the completing driver.
class CompletionScope {
public:
    CompletionScope();
    ~CompletionScope();
    CompletionScope(const CompletionScope&) = delete;
    CompletionScope& operator=(const CompletionScope&) = delete;
};

class FileObjects {
public:
    using ListenerId = uint64_t;

    explicit FileObjects(Kernel& kernel);
    // Requests still held by drivers when the kernel goes are let go with it.
    ~FileObjects();
    FileObjects(const FileObjects&) = delete;
    FileObjects& operator=(const FileObjects&) = delete;

    // ---- For the system services ------------------------------------------------------------
    // Opens the device object the name resolves to and sends IRP_MJ_CREATE to the top of its stack.
    // On success *file has one reference, the caller's.
    NTSTATUS Open(const OpenParameters& parameters, PFILE_OBJECT* file);
    // The record of a file object the I/O manager made, or null.
    std::shared_ptr<FileObject> Find(const FILE_OBJECT* file) const;

    // ---- For the Plug and Play manager ------------------------------------------------------
    // Files open on the stack that `stackMember` belongs to: the ReferenceCount of its devices.
    size_t OpenFileCount(PDEVICE_OBJECT stackMember) const;
    // Told, once a file has gone (after its IRP_MJ_CLOSE, or at once for a failed open) while
    // user mode lives, the device object its name resolved to; at PASSIVE_LEVEL, no lock held.
    ListenerId AddFileClosedListener(std::function<void(PDEVICE_OBJECT device)> listener);
    void RemoveFileClosedListener(ListenerId id);

    // ---- Census for tests -------------------------------------------------------------------
    // Files opened and not yet closed.
    size_t OpenFileCount() const;
    // Requests sent on files for the system services that have not completed.
    size_t PendingRequestCount() const;

    // ---- The end of user mode ---------------------------------------------------------------
    // Closes every user-mode handle (CLEANUP for each file), cancels the requests still pending
    // and sends the closes owed meanwhile. After it, a file's last reference going sends nothing,
    // and requests that drivers still hold write nothing to user mode when they complete.
    void RunDownUserMode();

private:
    enum class Phase { Running, RunningDown, Gone };
    struct DeferredClose;

    NTSTATUS ReferenceDevice(std::u16string_view name, FileObject& file);
    void Initialize(FileObject& file, const OpenParameters& parameters);
    void Register(const std::shared_ptr<FileObject>& file);
    NTSTATUS SendCreate(const std::shared_ptr<FileObject>& file, const OpenParameters& parameters);
    void OnLastHandleClosed(const std::shared_ptr<FileObject>& file);
    void OnDeleted(const std::shared_ptr<FileObject>& file);
    void DeferClose(const std::shared_ptr<FileObject>& file);
    static void DeferredCloseRoutine(PDEVICE_OBJECT, PVOID context);
    bool TakeOwedClose(const std::shared_ptr<FileObject>& file);
    void Close(const std::shared_ptr<FileObject>& file);
    void Release(const std::shared_ptr<FileObject>& file);
    std::vector<std::shared_ptr<FileObject>> Snapshot() const;

    Kernel& m_kernel;
    // What the object manager's callbacks hold, so one running after this has gone does nothing.
    std::shared_ptr<FileObjects*> m_self = std::make_shared<FileObjects*>(this);

    mutable std::mutex m_mutex;  // guards what follows
    Phase m_phase = Phase::Running;
    std::unordered_map<const FILE_OBJECT*, std::shared_ptr<FileObject>> m_files;
    std::vector<std::shared_ptr<FileObject>> m_owedCloses;  // closes deferred to a worker thread
    std::map<ListenerId, std::function<void(PDEVICE_OBJECT)>> m_listeners;
    ListenerId m_nextListener = 1;
};

}  // namespace emu
