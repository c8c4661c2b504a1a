// kernel32's calls on disk files, and the C runtime's wide file calls, on the machine's file
// system with the calling thread's WOW64 view.
#include <fileapi_disk.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "file_system.h"
#include "program_paths.h"

using namespace emu::files;

namespace {

BOOL Result(DWORD error)
{
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

int CrtResult(DWORD error)
{
    if (error == ERROR_SUCCESS) return 0;
    errno = error == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return -1;
}

}  // namespace

extern "C" DWORD GetFileAttributesW(LPCWSTR lpFileName)
{
    if (!lpFileName) return INVALID_FILE_ATTRIBUTES;
    std::optional<FileEntry> entry = FileSystem::Current().Entry(ProgramPath(lpFileName));
    if (!entry) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (entry->directory) return FILE_ATTRIBUTE_DIRECTORY;
    return entry->readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE;
}

extern "C" BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes)
{
    if (!lpFileName) return Result(ERROR_INVALID_PARAMETER);
    const std::u16string path = ProgramPath(lpFileName);
    FileSystem& files = FileSystem::Current();
    if (!files.Exists(path)) return Result(ERROR_FILE_NOT_FOUND);
    if (files.AttributeChangeRefused(path)) return Result(ERROR_ACCESS_DENIED);
    files.SetReadOnly(path, (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0);
    return Result(ERROR_SUCCESS);
}

extern "C" BOOL DeleteFileW(LPCWSTR lpFileName)
{
    if (!lpFileName) return Result(ERROR_INVALID_PARAMETER);
    return Result(FileSystem::Current().Delete(ProgramPath(lpFileName)));
}

extern "C" BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists)
{
    if (!lpExistingFileName || !lpNewFileName) return Result(ERROR_INVALID_PARAMETER);
    return Result(FileSystem::Current().Copy(ProgramPath(lpExistingFileName), ProgramPath(lpNewFileName), bFailIfExists));
}

extern "C" BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags)
{
    if (!lpExistingFileName) return Result(ERROR_INVALID_PARAMETER);
    FileSystem& files = FileSystem::Current();
    const std::u16string from = ProgramPath(lpExistingFileName);
    if (!files.Exists(from)) return Result(ERROR_FILE_NOT_FOUND);
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        if (lpNewFileName) return Result(ERROR_INVALID_PARAMETER);
        files.ScheduleDeletion(from);
        return Result(ERROR_SUCCESS);
    }
    if (!lpNewFileName) return Result(FileSystem::Current().Delete(from));
    DWORD error = files.Copy(from, ProgramPath(lpNewFileName), !(dwFlags & MOVEFILE_REPLACE_EXISTING));
    if (error == ERROR_SUCCESS) error = files.Delete(from);
    return Result(error);
}

extern "C" BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    if (!lpPathName) return Result(ERROR_INVALID_PARAMETER);
    const std::u16string path = ProgramPath(lpPathName);
    FileSystem& files = FileSystem::Current();
    if (files.Exists(path)) return Result(ERROR_ALREADY_EXISTS);
    return Result(files.CreateDirectory(path) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
}

extern "C" DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart)
{
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string full = FullPath(lpFileName);
    if (!lpBuffer || nBufferLength <= full.size()) return static_cast<DWORD>(full.size() + 1);
    std::memcpy(lpBuffer, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
    if (lpFilePart) *lpFilePart = lpBuffer + full.find_last_of(u'\\') + 1;
    return static_cast<DWORD>(full.size());
}

// Mode 0 asks whether the file exists, 2 for writing, 4 for reading, 6 for both; a read-only file
// fails the write test with EACCES.
extern "C" int _waccess(const WCHAR* path, int mode)
{
    if (!path) return CrtResult(ERROR_FILE_NOT_FOUND);
    std::optional<FileEntry> entry = FileSystem::Current().Entry(ProgramPath(path));
    if (!entry) return CrtResult(ERROR_FILE_NOT_FOUND);
    return CrtResult((mode & 2) && entry->readOnly ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
}

extern "C" int _wchmod(const WCHAR* path, int mode)
{
    if (!path) return CrtResult(ERROR_FILE_NOT_FOUND);
    const std::u16string full = ProgramPath(path);
    FileSystem& files = FileSystem::Current();
    if (!files.Exists(full)) return CrtResult(ERROR_FILE_NOT_FOUND);
    if (files.AttributeChangeRefused(full)) return CrtResult(ERROR_ACCESS_DENIED);
    files.SetReadOnly(full, !(mode & _S_IWRITE));
    return 0;
}

extern "C" int _wremove(const WCHAR* path)
{
    if (!path) return CrtResult(ERROR_FILE_NOT_FOUND);
    return CrtResult(FileSystem::Current().Delete(ProgramPath(path)));
}

extern "C" int _wunlink(const WCHAR* path) { return _wremove(path); }
