// FindFirstFileW and its siblings: a snapshot of the matching entries taken at the first call.
#include <fileapi_disk.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "file_system.h"
#include "machine_state.h"
#include "program_paths.h"

namespace emu::files {

namespace {

struct Search {
    std::vector<FileEntry> entries;
    size_t next = 0;
};

struct Searches {
    std::mutex mutex;  // guards what follows
    std::map<HANDLE, Search> open;
    ULONG_PTR nextHandle = 0x4F00;
};

win32::PerMachine<Searches> g_searches;

void Fill(const FileEntry& entry, LPWIN32_FIND_DATAW data)
{
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.directory ? FILE_ATTRIBUTE_DIRECTORY
                                             : (entry.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    data->nFileSizeLow = static_cast<DWORD>(entry.bytes.size());
    const size_t slash = entry.path.find_last_of(u'\\');
    const std::u16string name = entry.path.substr(slash + 1);
    std::memcpy(data->cFileName, name.c_str(), std::min<size_t>(name.size(), MAX_PATH - 1) * sizeof(WCHAR));
}

}  // namespace

}  // namespace emu::files

using namespace emu::files;

extern "C" HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string path = ProgramPath(lpFileName);
    const size_t slash = path.find_last_of(u'\\');
    const std::u16string folder = path.substr(0, std::max<size_t>(slash, 3)), pattern = path.substr(slash + 1);
    FileSystem& files = FileSystem::Current();
    if (!files.IsDirectory(folder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Search search;
    if (pattern.find_first_of(u"*?") == std::u16string::npos) {
        if (std::optional<FileEntry> entry = files.Entry(path)) search.entries.push_back(*entry);
    } else {
        search.entries = files.List(folder, pattern);
    }
    if (search.entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Fill(search.entries[0], lpFindFileData);
    search.next = 1;
    Searches& searches = g_searches.Get();
    std::lock_guard lock(searches.mutex);
    HANDLE handle = reinterpret_cast<HANDLE>(searches.nextHandle += 4);
    searches.open[handle] = std::move(search);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    Searches& searches = g_searches.Get();
    std::lock_guard lock(searches.mutex);
    auto it = searches.open.find(hFindFile);
    if (it == searches.open.end() || !lpFindFileData) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (it->second.next >= it->second.entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    Fill(it->second.entries[it->second.next++], lpFindFileData);
    return TRUE;
}

extern "C" BOOL FindClose(HANDLE hFindFile)
{
    Searches& searches = g_searches.Get();
    std::lock_guard lock(searches.mutex);
    if (!searches.open.erase(hFindFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
