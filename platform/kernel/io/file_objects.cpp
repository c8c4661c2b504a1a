#include "io/file_objects.h"

#include <optional>
#include <string>

#include "io/file_request.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "ob/object_namespace.h"

namespace emu {

namespace {

constexpr CSHORT kIoTypeFile = 5;
// A stack deeper than this is a loop in the AttachedDevice links.
constexpr int kMaxStackDepth = 64;

thread_local int t_inCompletion = 0;

// CREATE, CLEANUP and CLOSE are synchronous, whatever the file: the sender waits for them.
NTSTATUS SendAndWait(FileObject& file, UCHAR major, KPROCESSOR_MODE mode, bool referencesFile,
                     const std::function<void(PIO_STACK_LOCATION)>& fill)
{
    std::shared_ptr<FileRequest> request = FileRequest::Create(file, major, mode);
    if (!request) return STATUS_INSUFFICIENT_RESOURCES;
    if (fill) fill(request->Location());
    return request->Finish(request->Send(false, referencesFile), true);
}

LONG OpenCountOf(PDEVICE_OBJECT device) { return InterlockedCompareExchange(&device->ReferenceCount, 0, 0); }

}  // namespace

CompletionScope::CompletionScope() { ++t_inCompletion; }

CompletionScope::~CompletionScope() { --t_inCompletion; }

struct FileObjects::DeferredClose {
    FileObjects* owner;
    PIO_WORKITEM item;
    std::shared_ptr<FileObject> file;
};

FileObjects::FileObjects(Kernel& kernel) : m_kernel(kernel) {}

FileObjects::~FileObjects()
{
    for (auto& file : Snapshot()) FileRequest::LetGo(*file);
    for (auto& file : m_owedCloses) FileRequest::LetGo(*file);
}

// ---- Opening ------------------------------------------------------------------------------------

NTSTATUS FileObjects::Open(const OpenParameters& parameters, PFILE_OBJECT* opened)
{
    auto file = std::make_shared<FileObject>();
    NTSTATUS status = ReferenceDevice(parameters.name, *file);
    if (!NT_SUCCESS(status)) return status;
    Initialize(*file, parameters);
    Register(file);
    status = SendCreate(file, parameters);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(&file->object);  // no CLEANUP or CLOSE follows a failed create
        return status;
    }
    *opened = &file->object;
    return STATUS_SUCCESS;
}

NTSTATUS FileObjects::ReferenceDevice(std::u16string_view name, FileObject& file)
{
    ObjectNamespace& names = m_kernel.GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    std::optional<ResolvedName> resolved = names.Resolve(name);
    if (!resolved || resolved->entry.type != ObjectType::Device) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto device = static_cast<PDEVICE_OBJECT>(resolved->entry.object);
    // A device still being set up by its driver, or deleted, takes no opens.
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    std::optional<DeviceInfo> info = names.Describe(device);
    if (!info || info->deleted) return STATUS_NO_SUCH_DEVICE;
    // An exclusive device takes one open at a time.
    if ((device->Flags & DO_EXCLUSIVE) && OpenCountOf(device) != 0) return STATUS_ACCESS_DENIED;

    InterlockedIncrement(&device->ReferenceCount);
    ObReferenceObject(device);
    file.device = device;
    file.fileName = std::move(resolved->remainder);
    return STATUS_SUCCESS;
}

void FileObjects::Initialize(FileObject& file, const OpenParameters& parameters)
{
    FILE_OBJECT& object = file.object;
    object.Type = kIoTypeFile;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = file.device;
    if (parameters.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        object.Flags |= FO_SYNCHRONOUS_IO;
    if (parameters.options & FILE_SYNCHRONOUS_IO_ALERT) object.Flags |= FO_ALERTABLE_IO;
    object.ReadAccess = (parameters.access & (FILE_READ_DATA | FILE_EXECUTE)) ? TRUE : FALSE;
    object.WriteAccess = (parameters.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
    object.DeleteAccess = (parameters.access & DELETE) ? TRUE : FALSE;
    object.SharedRead = (parameters.shareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
    object.SharedWrite = (parameters.shareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
    object.SharedDelete = (parameters.shareAccess & FILE_SHARE_DELETE) ? TRUE : FALSE;
    object.FileName.Buffer = file.fileName.empty() ? nullptr : file.fileName.data();
    object.FileName.Length = static_cast<USHORT>(file.fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    KeInitializeEvent(&object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object.Event, NotificationEvent, FALSE);
}

void FileObjects::Register(const std::shared_ptr<FileObject>& file)
{
    ObjectManager& objects = m_kernel.GetObjectManager();
    std::weak_ptr<FileObjects*> owner = m_self;
    objects.Register(&file->object, ObjectType::File, [owner, file](void*) {
        if (std::shared_ptr<FileObjects*> files = owner.lock()) (*files)->OnDeleted(file);
    });
    objects.SetCloseProcedure(&file->object, [owner, file](void*) {
        if (std::shared_ptr<FileObjects*> files = owner.lock()) (*files)->OnLastHandleClosed(file);
    });
    std::lock_guard lock(m_mutex);
    m_files[&file->object] = file;
}

NTSTATUS FileObjects::SendCreate(const std::shared_ptr<FileObject>& file, const OpenParameters& parameters)
{
    const ULONG options = (parameters.disposition << 24) | (parameters.options & FILE_VALID_OPTION_FLAGS);
    NTSTATUS status = SendAndWait(*file, IRP_MJ_CREATE, UserMode, true, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Create.Options = options;
        stack->Parameters.Create.FileAttributes = static_cast<USHORT>(parameters.fileAttributes);
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(parameters.shareAccess);
    });
    if (NT_SUCCESS(status)) {
        std::lock_guard lock(file->lock);
        file->opened = true;
    }
    return status;
}

std::shared_ptr<FileObject> FileObjects::Find(const FILE_OBJECT* file) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_files.find(file);
    return it == m_files.end() ? nullptr : it->second;
}

// ---- Cleanup and close ----------------------------------------------------------------------------

void FileObjects::OnLastHandleClosed(const std::shared_ptr<FileObject>& file)
{
    bool opened;
    {
        std::lock_guard lock(file->lock);
        opened = file->opened;
    }
    // The driver is told before the handle's reference goes.
    if (opened) SendAndWait(*file, IRP_MJ_CLEANUP, KernelMode, true, nullptr);
}

void FileObjects::OnDeleted(const std::shared_ptr<FileObject>& file)
{
    bool opened;
    {
        std::lock_guard lock(file->lock);
        opened = file->opened;
    }
    Phase phase;
    {
        std::lock_guard lock(m_mutex);
        phase = m_phase;
    }
    if (!opened || phase == Phase::Gone) {
        Release(file);
    } else if (t_inCompletion != 0 || KeGetCurrentIrql() > PASSIVE_LEVEL) {
        DeferClose(file);
    } else {
        Close(file);
    }
}

// A close owed where IRPs must not be sent (a completion routine, raised IRQL) goes to a worker
// thread, as Windows finishes it outside the completing driver; while user mode ends, its end
// sends it.
void FileObjects::DeferClose(const std::shared_ptr<FileObject>& file)
{
    {
        std::lock_guard lock(m_mutex);
        m_owedCloses.push_back(file);
        if (m_phase != Phase::Running) return;
    }
    PIO_WORKITEM item = IoAllocateWorkItem(file->device);
    if (!item) return;  // stays owed until user mode ends
    IoQueueWorkItem(item, &DeferredCloseRoutine, DelayedWorkQueue, new DeferredClose{this, item, file});
}

void FileObjects::DeferredCloseRoutine(PDEVICE_OBJECT, PVOID context)
{
    std::unique_ptr<DeferredClose> deferred(static_cast<DeferredClose*>(context));
    IoFreeWorkItem(deferred->item);
    if (deferred->owner->TakeOwedClose(deferred->file)) deferred->owner->Close(deferred->file);
}

bool FileObjects::TakeOwedClose(const std::shared_ptr<FileObject>& file)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_owedCloses.begin(); it != m_owedCloses.end(); ++it) {
        if (*it != file) continue;
        m_owedCloses.erase(it);
        return true;
    }
    return false;  // user mode's end sent it
}

void FileObjects::Close(const std::shared_ptr<FileObject>& file)
{
    // Close requests cannot fail; whatever the driver answers, the file is closed.
    SendAndWait(*file, IRP_MJ_CLOSE, KernelMode, false, nullptr);
    {
        std::lock_guard lock(file->lock);
        file->opened = false;
    }
    Release(file);
}

// The file is gone: its device object counts it no more, and the listeners are told so (while
// user mode lives; after it, a file goes in whatever completion routine lets it go).
void FileObjects::Release(const std::shared_ptr<FileObject>& file)
{
    {
        std::lock_guard lock(m_kernel.GetNamespace().DatabaseLock());
        InterlockedDecrement(&file->device->ReferenceCount);
    }
    std::vector<std::function<void(PDEVICE_OBJECT)>> listeners;
    {
        std::lock_guard lock(m_mutex);
        m_files.erase(&file->object);
        if (m_phase != Phase::Gone)
            for (auto& [id, listener] : m_listeners) listeners.push_back(listener);
    }
    for (auto& listener : listeners) listener(file->device);
    ObDereferenceObject(file->device);
}

// ---- Counts ---------------------------------------------------------------------------------------

size_t FileObjects::OpenFileCount(PDEVICE_OBJECT stackMember) const
{
    ObjectNamespace& names = m_kernel.GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    PDEVICE_OBJECT bottom = stackMember;
    for (int depth = 0; depth < kMaxStackDepth; ++depth) {
        PDEVICE_OBJECT lower = names.AttachedTo(bottom);
        if (!lower) break;
        bottom = lower;
    }
    size_t count = 0;
    PDEVICE_OBJECT member = bottom;
    for (int depth = 0; member && depth < kMaxStackDepth; ++depth, member = member->AttachedDevice)
        count += static_cast<size_t>(OpenCountOf(member));
    return count;
}

size_t FileObjects::OpenFileCount() const
{
    size_t count = 0;
    for (auto& file : Snapshot()) {
        std::lock_guard lock(file->lock);
        count += file->opened ? 1 : 0;
    }
    return count;
}

size_t FileObjects::PendingRequestCount() const
{
    size_t count = 0;
    for (auto& file : Snapshot()) {
        std::lock_guard lock(file->lock);
        count += file->pending.size();
    }
    return count;
}

FileObjects::ListenerId FileObjects::AddFileClosedListener(std::function<void(PDEVICE_OBJECT)> listener)
{
    std::lock_guard lock(m_mutex);
    ListenerId id = m_nextListener++;
    m_listeners.emplace(id, std::move(listener));
    return id;
}

void FileObjects::RemoveFileClosedListener(ListenerId id)
{
    std::lock_guard lock(m_mutex);
    m_listeners.erase(id);
}

std::vector<std::shared_ptr<FileObject>> FileObjects::Snapshot() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<FileObject>> files;
    for (auto& [object, file] : m_files) files.push_back(file);
    return files;
}

// ---- The end of user mode -------------------------------------------------------------------------

void FileObjects::RunDownUserMode()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_phase != Phase::Running) return;
        m_phase = Phase::RunningDown;
    }
    m_kernel.GetObjectManager().CloseHandles(UserMode);
    for (auto& file : Snapshot()) FileRequest::Cancel(*file, [](const FileRequest&) { return true; });
    // The closes owed by requests that completed meanwhile; none is deferred once user mode is gone.
    for (;;) {
        std::vector<std::shared_ptr<FileObject>> owed;
        {
            std::lock_guard lock(m_mutex);
            owed.swap(m_owedCloses);
            if (owed.empty()) {
                m_phase = Phase::Gone;
                break;
            }
        }
        for (auto& file : owed) Close(file);
    }
    // What drivers still hold is left to them.
    for (auto& file : Snapshot()) FileRequest::Orphan(*file);
}

}  // namespace emu
