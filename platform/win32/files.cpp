// CreateFileW / CreateFileA on device paths: "\\.\COM5" and "\\?\<interface>\<ref>" become
// "\??\..." names that the object namespace resolves to a device and the rest of the path, which
// the FILE_OBJECT carries as its FileName. IRP_MJ_CREATE goes to the top of the device's stack.
#include "win32_subsystem.h"

#include <windows.h>

#include <optional>
#include <string>

#include "ob/object_namespace.h"
#include "kernel.h"
#include "ob/object_manager.h"

namespace emu::win32 {

namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kFoSynchronousIo = 0x00000002;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// The NT name a Win32 path opens, or nothing for a path this machine has no file system for.
std::optional<std::u16string> NtPathOf(std::u16string_view path)
{
    if (StartsWith(path, u"\\\\.\\")) {
        // The local device namespace; forward slashes count as separators there.
        std::u16string rest(path.substr(4));
        for (WCHAR& c : rest)
            if (c == u'/') c = u'\\';
        return u"\\??\\" + rest;
    }
    if (StartsWith(path, u"\\\\?\\")) return u"\\??\\" + std::u16string(path.substr(4));
    if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\??\\" + std::u16string(path);
    return std::nullopt;
}

// CreateFile's disposition as NtCreateFile takes it.
std::optional<ULONG> NtDisposition(DWORD creationDisposition)
{
    switch (creationDisposition) {
    case CREATE_NEW: return 2;         // FILE_CREATE
    case CREATE_ALWAYS: return 5;      // FILE_OVERWRITE_IF
    case OPEN_EXISTING: return 1;      // FILE_OPEN
    case OPEN_ALWAYS: return 3;        // FILE_OPEN_IF
    case TRUNCATE_EXISTING: return 4;  // FILE_OVERWRITE
    default: return std::nullopt;
    }
}

ACCESS_MASK GrantedAccess(DWORD desiredAccess)
{
    ACCESS_MASK granted = desiredAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desiredAccess & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
    if (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | SYNCHRONIZE;
    return granted;
}

// Finds the device the name opens and takes a reference on it; the stack it is in goes to `stack`.
NTSTATUS FindDevice(const std::u16string& ntPath, PDEVICE_OBJECT* device, std::u16string* remainder,
                    std::vector<PDEVICE_OBJECT>* stack)
{
    ObjectNamespace& names = Kernel::Current().GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    std::optional<ResolvedName> resolved = names.Resolve(ntPath);
    if (!resolved || resolved->entry.type != ObjectType::Device) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT found = static_cast<PDEVICE_OBJECT>(resolved->entry.object);
    // A device still being set up by its driver takes no opens.
    if (found->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    std::optional<DeviceInfo> info = names.Describe(found);
    if (!info || info->deleted) return STATUS_NO_SUCH_DEVICE;

    PDEVICE_OBJECT bottom = found;
    while (PDEVICE_OBJECT lower = names.AttachedTo(bottom)) bottom = lower;
    for (PDEVICE_OBJECT member = bottom; member; member = member->AttachedDevice) stack->push_back(member);

    ObReferenceObject(found);
    *device = found;
    *remainder = std::move(resolved->remainder);
    return STATUS_SUCCESS;
}

HANDLE OpenDevice(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes)
{
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<ULONG> disposition = NtDisposition(creationDisposition);
    if (!disposition) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::u16string> ntPath = NtPathOf(fileName);
    if (!ntPath) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    auto file = std::make_shared<FileRecord>();
    NTSTATUS status = FindDevice(*ntPath, &file->device, &file->fileName, &file->stack);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    file->access = GrantedAccess(desiredAccess);
    file->core = CurrentCore();

    FILE_OBJECT& object = file->object;
    object.Type = kIoTypeFile;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = file->device;
    object.Flags = file->overlapped ? 0 : kFoSynchronousIo;
    object.ReadAccess = (file->access & FILE_READ_DATA) ? TRUE : FALSE;
    object.WriteAccess = (file->access & FILE_WRITE_DATA) ? TRUE : FALSE;
    object.SharedRead = (shareMode & FILE_SHARE_READ) ? TRUE : FALSE;
    object.SharedWrite = (shareMode & FILE_SHARE_WRITE) ? TRUE : FALSE;
    object.SharedDelete = (shareMode & FILE_SHARE_DELETE) ? TRUE : FALSE;
    object.FileName.Buffer = file->fileName.empty() ? nullptr : file->fileName.data();
    object.FileName.Length = static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    KeInitializeEvent(&object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object.Event, NotificationEvent, FALSE);

    ObjectManager& objects = Kernel::Current().GetObjectManager();
    objects.Register(&object, ObjectType::File, [file](void*) { FileObjectGone(file); });

    const ULONG options = (*disposition << 24) | kFileNonDirectoryFile |
                          (file->overlapped ? 0 : kFileSynchronousIoNonalert);
    status = SendAndWait(file, IRP_MJ_CREATE, UserMode, true, [&](PIRP, PIO_STACK_LOCATION stack) {
        stack->Parameters.Create.Options = options;
        stack->Parameters.Create.FileAttributes = static_cast<USHORT>(flagsAndAttributes & 0x7FFF);
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(shareMode);
    });
    if (!NT_SUCCESS(status)) {
        objects.Dereference(&object);  // no CLEANUP or CLOSE follows a failed create
        SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }

    {
        std::lock_guard lock(file->lock);
        file->opened = true;
        file->handles = 1;
    }
    {
        const std::shared_ptr<Core>& core = CurrentCore();
        std::lock_guard lock(core->lock);
        core->files[&object] = file;
    }
    HANDLE handle = objects.CreateHandle(&object, file->access, UserMode);
    AddUserHandle(handle, file);
    objects.Dereference(&object);  // the handle holds the file now
    SetLastError(ERROR_SUCCESS);
    return handle;
}

}  // namespace

}  // namespace emu::win32

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;  // devices take no template
    return emu::win32::OpenDevice(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                  dwFlagsAndAttributes);
}

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // The machine's ANSI code page is single-byte: each byte is one character.
    std::u16string wide;
    for (const char* p = lpFileName; *p; ++p) wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
    return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}
