// CreateFileW / CreateFileA on device paths: "\\.\COM5" and "\\?\<interface>\<ref>" become
// "\??\..." names that NtCreateFile opens, and so do the reserved device names "COM1" to "COM9"
// (with or without a colon); a handle without FILE_FLAG_OVERLAPPED is opened for synchronous I/O.
#include "win32_subsystem.h"

#include <optional>
#include <string>

namespace emu::win32 {

namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// "COM1" to "COM9", in any case, with or without a colon: the DOS device names Win32 reserves.
// "COM10" and above are plain file names; those ports open as "\\.\COM10".
bool IsReservedComName(std::u16string_view path)
{
    if (!path.empty() && path.back() == u':') path.remove_suffix(1);
    if (path.size() != 4 || path[3] < u'1' || path[3] > u'9') return false;
    for (size_t i = 0; i < 3; ++i)
        if ((path[i] | 0x20) != u"com"[i]) return false;
    return true;
}

// The NT name a Win32 path opens, or nothing for a path this machine has no file system for.
std::optional<std::u16string> NtPathOf(std::u16string_view path)
{
    if (IsReservedComName(path)) return u"\\??\\" + std::u16string(path.substr(0, 4));
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
    case CREATE_NEW: return FILE_CREATE;
    case CREATE_ALWAYS: return FILE_OVERWRITE_IF;
    case OPEN_EXISTING: return FILE_OPEN;
    case OPEN_ALWAYS: return FILE_OPEN_IF;
    case TRUNCATE_EXISTING: return FILE_OVERWRITE;
    default: return std::nullopt;
    }
}

HANDLE OpenDevice(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes)
{
    std::optional<ULONG> disposition = NtDisposition(creationDisposition);
    if (!fileName || !disposition) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::u16string> ntPath = NtPathOf(fileName);
    if (!ntPath) {
        // No file system: a plain name is a file that is not there, a longer path one whose
        // folder is not.
        const bool plainName = std::u16string_view(fileName).find_first_of(u"\\/") == std::u16string_view::npos;
        SetLastError(plainName ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING name;
    name.Buffer = ntPath->data();
    name.Length = name.MaximumLength = static_cast<USHORT>(ntPath->size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const ULONG options = FILE_NON_DIRECTORY_FILE | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK status{};
    NTSTATUS result = NtCreateFile(&handle, desiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status,
                                   nullptr, flagsAndAttributes & 0x7FFF, shareMode, *disposition, options, nullptr, 0);
    if (!NT_SUCCESS(result)) {
        SetLastNtError(result);
        return INVALID_HANDLE_VALUE;
    }
    if (overlapped) Win32Subsystem::Current().AddOverlappedHandle(handle);
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
    return CreateFileW(emu::win32::FromAnsi(lpFileName).c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}
