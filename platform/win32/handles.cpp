// The subsystem's handles and file-object lifetime: CloseHandle (IRP_MJ_CLEANUP when a file's
// last handle goes) and IRP_MJ_CLOSE once the file object's last reference is gone.
#include "win32_subsystem.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "kernel.h"
#include "io/io_manager.h"
#include "ob/object_manager.h"

namespace emu {

namespace {

std::atomic<uint64_t> g_nextSerial{1};
std::atomic<Win32Subsystem*> g_current{nullptr};

// Requests left with their drivers when a subsystem shut down. They stay reachable until the next
// machine starts, when the IRPs that could complete them are long gone.
std::mutex g_parkedLock;
std::vector<std::shared_ptr<win32::Request>> g_parked;

void ReleaseParkedRequests()
{
    std::vector<std::shared_ptr<win32::Request>> parked;
    {
        std::lock_guard lock(g_parkedLock);
        parked.swap(g_parked);
    }
    for (auto& request : parked) request->self.reset();
}

// Whether the calling thread is inside a request's completion (set by device_io.cpp's routine).
thread_local bool t_inCompletion = false;

struct DeferredClose {
    PIO_WORKITEM item;
    std::shared_ptr<win32::FileRecord> file;
};

void CloseFile(const std::shared_ptr<win32::Core>& core, const std::shared_ptr<win32::FileRecord>& file)
{
    // Close requests cannot fail; whatever the driver answers, the file is closed.
    win32::SendAndWait(file, IRP_MJ_CLOSE, KernelMode, false, nullptr);
    std::vector<std::function<void(PDEVICE_OBJECT)>> listeners;
    {
        std::lock_guard lock(file->lock);
        file->opened = false;
    }
    if (core) {
        std::lock_guard lock(core->lock);
        core->files.erase(&file->object);
        for (auto& [id, listener] : core->closeListeners) listeners.push_back(listener);
    }
    for (auto& listener : listeners) listener(file->device);
    ObDereferenceObject(file->device);
}

void DeferredCloseRoutine(PDEVICE_OBJECT, PVOID context)
{
    auto* deferred = static_cast<DeferredClose*>(context);
    IoFreeWorkItem(deferred->item);
    CloseFile(deferred->file->core.lock(), deferred->file);
    delete deferred;
}

// A close owed where IRPs must not be sent (a completion routine, raised IRQL) goes to a worker
// thread, as Windows finishes it outside the completing driver.
void DeferClose(const std::shared_ptr<win32::Core>& core, const std::shared_ptr<win32::FileRecord>& file)
{
    {
        std::lock_guard lock(core->lock);
        if (core->shuttingDown) {
            core->deferredCloses.push_back(file);
            return;
        }
    }
    PIO_WORKITEM item = IoAllocateWorkItem(file->device);
    if (!item) {
        std::lock_guard lock(core->lock);
        core->deferredCloses.push_back(file);
        return;
    }
    IoQueueWorkItem(item, &DeferredCloseRoutine, DelayedWorkQueue, new DeferredClose{item, file});
}

// Closes one handle the subsystem made; false when it is not one of them.
bool CloseUserHandle(const std::shared_ptr<win32::Core>& core, HANDLE handle)
{
    std::shared_ptr<win32::FileRecord> file;
    bool other = false;
    {
        std::lock_guard lock(core->lock);
        auto it = core->fileHandles.find(handle);
        if (it != core->fileHandles.end()) {
            file = std::move(it->second);
            core->fileHandles.erase(it);
        } else {
            auto at = std::find(core->otherHandles.begin(), core->otherHandles.end(), handle);
            if (at != core->otherHandles.end()) {
                core->otherHandles.erase(at);
                other = true;
            }
        }
    }
    if (!file && !other) return false;
    if (file) {
        bool cleanup;
        {
            std::lock_guard lock(file->lock);
            cleanup = --file->handles == 0 && file->opened;
        }
        // The last handle: the driver is told before the handle's reference goes.
        if (cleanup) win32::SendAndWait(file, IRP_MJ_CLEANUP, KernelMode, true, nullptr);
    }
    Kernel::Current().GetObjectManager().CloseHandle(handle);
    return true;
}

}  // namespace

namespace win32 {

const std::shared_ptr<Core>& CurrentCore() { return Win32Subsystem::Current().GetCore(); }

uint64_t CurrentSerial()
{
    Win32Subsystem* subsystem = Win32Subsystem::TryCurrent();
    return subsystem ? subsystem->GetCore()->serial : 0;
}

std::shared_ptr<FileRecord> FileFromHandle(HANDLE handle)
{
    const std::shared_ptr<Core>& core = CurrentCore();
    std::lock_guard lock(core->lock);
    auto it = core->fileHandles.find(handle);
    return it == core->fileHandles.end() ? nullptr : it->second;
}

void AddUserHandle(HANDLE handle, const std::shared_ptr<FileRecord>& file)
{
    const std::shared_ptr<Core>& core = CurrentCore();
    std::lock_guard lock(core->lock);
    if (file)
        core->fileHandles[handle] = file;
    else
        core->otherHandles.push_back(handle);
}

void FileObjectGone(const std::shared_ptr<FileRecord>& file)
{
    std::shared_ptr<Core> core = file->core.lock();
    if (!core) return;  // the subsystem has shut down: nothing is sent any more
    bool opened;
    {
        std::lock_guard lock(file->lock);
        opened = file->opened;
    }
    if (!opened) {
        // A failed create owes the driver nothing.
        ObDereferenceObject(file->device);
        return;
    }
    if (t_inCompletion || KeGetCurrentIrql() > PASSIVE_LEVEL) {
        DeferClose(core, file);
        return;
    }
    CloseFile(core, file);
}

void SetInCompletion(bool inCompletion) { t_inCompletion = inCompletion; }

}  // namespace win32

Win32Subsystem::Win32Subsystem(Kernel& machine) : m_machine(machine), m_core(std::make_shared<win32::Core>())
{
    ReleaseParkedRequests();
    m_core->serial = g_nextSerial.fetch_add(1);
    machine.GetIo().SetFileTracker(this);
    g_current.store(this);
}

Win32Subsystem& Win32Subsystem::Current()
{
    Win32Subsystem* subsystem = g_current.load();
    if (!subsystem) {
        std::fprintf(stderr, "emu::Win32Subsystem: a user-mode function was called with no machine running\n");
        std::abort();
    }
    return *subsystem;
}

Win32Subsystem* Win32Subsystem::TryCurrent() { return g_current.load(); }

Win32Subsystem::~Win32Subsystem()
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard lock(m_core->lock);
        m_core->shuttingDown = true;
        for (auto& [handle, file] : m_core->fileHandles) handles.push_back(handle);
        handles.insert(handles.end(), m_core->otherHandles.begin(), m_core->otherHandles.end());
    }
    for (HANDLE handle : handles) CloseUserHandle(m_core, handle);

    std::vector<std::shared_ptr<win32::FileRecord>> files;
    {
        std::lock_guard lock(m_core->lock);
        for (auto& [object, file] : m_core->files) files.push_back(file);
    }
    for (auto& file : files) win32::CancelRequests(*file, [](const win32::Request&) { return true; });

    // Closes owed by requests that completed meanwhile.
    for (;;) {
        std::vector<std::shared_ptr<win32::FileRecord>> owed;
        {
            std::lock_guard lock(m_core->lock);
            owed.swap(m_core->deferredCloses);
        }
        if (owed.empty()) break;
        for (auto& file : owed) CloseFile(m_core, file);
    }
    m_machine.GetIo().SetFileTracker(nullptr);
    g_current.store(nullptr);

    // What drivers still hold is left to them.
    std::lock_guard parkedLock(g_parkedLock);
    for (auto& file : files) {
        std::lock_guard lock(file->lock);
        for (win32::Request* request : file->pending)
            if (request->self) g_parked.push_back(request->self);
    }
}

size_t Win32Subsystem::OpenFileCount(PDEVICE_OBJECT stackMember) const
{
    std::lock_guard lock(m_core->lock);
    size_t count = 0;
    for (const auto& [object, file] : m_core->files)
        if (std::find(file->stack.begin(), file->stack.end(), stackMember) != file->stack.end()) ++count;
    return count;
}

size_t Win32Subsystem::OpenFileCount() const
{
    std::lock_guard lock(m_core->lock);
    return m_core->files.size();
}

Win32Subsystem::ListenerId Win32Subsystem::AddFileClosedListener(std::function<void(PDEVICE_OBJECT)> listener)
{
    std::lock_guard lock(m_core->lock);
    ListenerId id = m_core->nextListener++;
    m_core->closeListeners.emplace(id, std::move(listener));
    return id;
}

void Win32Subsystem::RemoveFileClosedListener(ListenerId id)
{
    std::lock_guard lock(m_core->lock);
    m_core->closeListeners.erase(id);
}

size_t Win32Subsystem::PendingRequestCount() const
{
    std::vector<std::shared_ptr<win32::FileRecord>> files;
    {
        std::lock_guard lock(m_core->lock);
        for (auto& [object, file] : m_core->files) files.push_back(file);
    }
    size_t count = 0;
    for (auto& file : files) {
        std::lock_guard lock(file->lock);
        count += file->pending.size();
    }
    return count;
}

}  // namespace emu

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    if (!hObject || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::shared_ptr<emu::win32::Core>& core = emu::win32::CurrentCore();
    if (emu::CloseUserHandle(core, hObject)) return TRUE;
    // A handle another part of the platform made (a thread, a process).
    if (!NT_SUCCESS(emu::Kernel::Current().GetObjectManager().CloseHandle(hObject))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
