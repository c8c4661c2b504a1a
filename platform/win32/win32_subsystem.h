// User-mode Win32 subsystem of the emulated machine: the kernel32 side of files on devices.
//
// CreateFile makes a FILE_OBJECT (an object-manager object of type File) and sends IRP_MJ_CREATE to
// the top of the named device's stack; ReadFile, WriteFile and DeviceIoControl send IRPs the way
// the Windows I/O manager builds them, synchronous or overlapped. A file object lives while a
// handle or a request holds it: the last handle's close sends IRP_MJ_CLEANUP, and IRP_MJ_CLOSE
// follows once the last request on the file has completed. The calls run in the calling thread at
// PASSIVE_LEVEL, as an application's would.
#pragma once

#include <wdm.h>
#include <windows.h>

#include "io/file_tracker.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

class Kernel;

namespace win32 {

struct Core;

// One outstanding request (IRP) of a file. Kept alive by itself while its IRP is out, and by
// whoever waits for it or cancels it.
struct Request {
    std::shared_ptr<Request> self;  // released when the IRP completes
    std::shared_ptr<struct FileRecord> file;
    PIRP irp = nullptr;
    PDEVICE_OBJECT target = nullptr;  // referenced top of the stack the IRP went to
    UCHAR major = 0;
    bool tracked = true;  // counted as pending on its file (not so create, cleanup, close)
    std::thread::id issuer;

    // Buffered transfer: the system buffer, and the caller's buffer that receives its answer.
    std::unique_ptr<std::byte[]> systemBuffer;
    ULONG systemBufferLength = 0;
    bool copyBack = false;
    PVOID callerOutput = nullptr;
    ULONG callerOutputLength = 0;
    MDL mdl{};  // direct transfer

    bool referencesFile = true;      // holds a file-object reference while out (not so IRP_MJ_CLOSE)
    LPOVERLAPPED overlapped = nullptr;  // the caller's, written when the request completes
    PKEVENT userEvent = nullptr;     // referenced; set when the request completes
    KEVENT done{};                   // set when the request completes (synchronous callers wait here)
    IO_STATUS_BLOCK result{};
    bool completed = false;          // under the file's lock
    int irpHolds = 1;                // the completion and any canceller; the IRP is freed at 0
};

// A file object and what the subsystem keeps for it.
struct FileRecord {
    FILE_OBJECT object{};
    std::u16string fileName;          // FileName's buffer: the path's rest after the device ("\REF")
    PDEVICE_OBJECT device = nullptr;  // the device the path named, referenced while the file lives
    std::vector<PDEVICE_OBJECT> stack;  // the devices of its stack when it was opened
    bool overlapped = false;
    ACCESS_MASK access = 0;
    std::weak_ptr<Core> core;

    std::mutex serial;  // a synchronous file carries one request at a time, as on Windows
    std::mutex lock;    // guards what follows
    bool opened = false;  // IRP_MJ_CREATE succeeded: CLEANUP and CLOSE are owed
    size_t handles = 0;
    std::vector<Request*> pending;
};

struct Core {
    uint64_t serial = 0;  // tells this machine's last-error values from an earlier machine's
    std::mutex lock;      // guards what follows
    bool shuttingDown = false;
    std::map<HANDLE, std::shared_ptr<FileRecord>> fileHandles;  // user-mode handles of files
    std::vector<HANDLE> otherHandles;                            // user-mode handles of events
    std::map<const FILE_OBJECT*, std::shared_ptr<FileRecord>> files;  // opened, not yet closed
    std::vector<std::shared_ptr<FileRecord>> deferredCloses;  // closes owed at shutdown
    uint64_t nextListener = 1;
    std::map<uint64_t, std::function<void(PDEVICE_OBJECT)>> closeListeners;
};

// ---- Shared by the kernel32 calls (files.cpp, device_io.cpp, handles.cpp) ----------------------
// The running machine's subsystem state.
const std::shared_ptr<Core>& CurrentCore();
// The file of a user-mode handle, or null.
std::shared_ptr<FileRecord> FileFromHandle(HANDLE handle);
// Sends a request on the file through the top of its stack and waits for it to complete, in the
// calling thread; `fill` completes the IRP's stack location. Returns the final status.
NTSTATUS SendAndWait(const std::shared_ptr<FileRecord>& file, UCHAR major, KPROCESSOR_MODE mode,
                     bool referencesFile, const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill);
// Cancels the file's pending requests that `match` picks (IoCancelIrp); whether there were any.
bool CancelRequests(FileRecord& file, const std::function<bool(const Request&)>& match);
// The object manager let go of a file object: IRP_MJ_CLOSE is owed if it was opened.
void FileObjectGone(const std::shared_ptr<FileRecord>& file);
// Marks the calling thread as running a request's completion (a close it causes is deferred).
void SetInCompletion(bool inCompletion);
// Records a handle the subsystem made for user mode (file null for an event).
void AddUserHandle(HANDLE handle, const std::shared_ptr<FileRecord>& file);
// SetLastError with the Win32 error of an NTSTATUS.
void SetLastNtError(NTSTATUS status);
// Machine identity stored beside each thread's last error.
uint64_t CurrentSerial();

}  // namespace win32

class Win32Subsystem final : public FileTracker {
public:
    explicit Win32Subsystem(Kernel& machine);
    // Closes the handles user mode left open (CLEANUP, then CLOSE once their requests are done)
    // and cancels the requests still pending.
    ~Win32Subsystem();
    Win32Subsystem(const Win32Subsystem&) = delete;
    Win32Subsystem& operator=(const Win32Subsystem&) = delete;

    // The subsystem of the running machine, for the kernel32 calls.
    static Win32Subsystem& Current();
    static Win32Subsystem* TryCurrent();

    // ---- For the Plug and Play manager -------------------------------------------------------
    // Files opened on the stack that `stackMember` belongs to (any device of it) that have not
    // been closed yet (IRP_MJ_CLOSE not sent). Surprise removal waits for this to reach zero.
    size_t OpenFileCount(PDEVICE_OBJECT stackMember) const override;
    size_t OpenFileCount() const;
    // Told, after a file's IRP_MJ_CLOSE, the device its path named; at PASSIVE_LEVEL, no lock held.
    ListenerId AddFileClosedListener(std::function<void(PDEVICE_OBJECT device)> listener) override;
    void RemoveFileClosedListener(ListenerId id) override;

    // ---- Census for tests --------------------------------------------------------------------
    // Requests sent on user-mode files that have not completed.
    size_t PendingRequestCount() const;

    // ---- For the kernel32 calls --------------------------------------------------------------
    const std::shared_ptr<win32::Core>& GetCore() const { return m_core; }

private:
    Kernel& m_machine;
    std::shared_ptr<win32::Core> m_core;
};

}  // namespace emu
