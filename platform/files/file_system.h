// The machine's file system: one volume, C:, with the Windows folder, its system folder (System32,
// with SysWOW64 beside it on a 64-bit system), Inf and Help. Paths compare without regard to case
// and keep the case they were created with. A file is its exact bytes, a read-only attribute and
// an in-use mark (a running program's image, a loaded driver): an in-use file cannot be deleted.
//
// The native drivers folder (System32\Drivers) is the kernel driver loader's directory: an image
// installed there by name is a file of the folder, in use while its driver is loaded, and
// deleting it removes it from the loader.
//
// The calls take paths as the program names them; the WOW64 redirection of the calling thread is
// applied by the Win32 calls, not here.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::files {

struct FileEntry {
    std::u16string path;  // as created
    bool directory = false;
    std::vector<uint8_t> bytes;
    bool readOnly = false;
    int inUse = 0;
};

class FileSystem {
public:
    FileSystem();

    // The file system of the running machine.
    static FileSystem& Current();

    // Creates or replaces a file (and the folders above it).
    bool WriteFile(std::u16string_view path, std::vector<uint8_t> bytes);
    bool WriteText(std::u16string_view path, std::u16string_view text);  // UTF-16LE with its byte-order mark
    bool CreateDirectory(std::u16string_view path);
    std::optional<std::vector<uint8_t>> ReadFile(std::u16string_view path) const;
    bool Exists(std::u16string_view path) const;
    bool IsDirectory(std::u16string_view path) const;
    std::optional<FileEntry> Entry(std::u16string_view path) const;

    // A Win32 error: ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED (read-only or in use), or success.
    DWORD Delete(std::u16string_view path);
    DWORD Copy(std::u16string_view from, std::u16string_view to, bool failIfExists);
    bool SetReadOnly(std::u16string_view path, bool readOnly);
    // Marks a file in use (a running image) for as long as the count is above zero.
    bool MarkInUse(std::u16string_view path, bool inUse);
    bool IsInUse(std::u16string_view path) const;
    // The test's switch: clearing the read-only attribute of this file is refused.
    void RefuseAttributeChange(std::u16string_view path);
    bool AttributeChangeRefused(std::u16string_view path) const;

    // The entries of a folder whose names match a pattern of * and ?, in name order. The driver
    // loader's images are found by name only, not by a pattern.
    std::vector<FileEntry> List(std::u16string_view directory, std::u16string_view pattern) const;

    // Files scheduled for deletion at the next restart (MOVEFILE_DELAY_UNTIL_REBOOT).
    void ScheduleDeletion(std::u16string_view path);
    std::vector<std::u16string> PendingDeletions() const;

private:
    std::u16string DriversFolder() const;
    std::optional<std::u16string> DriverImageName(std::u16string_view path) const;
    bool DriverImageInUse(std::u16string_view imageName) const;
    void CreateParents(std::u16string_view path);  // with the lock held

    mutable std::mutex m_mutex;  // guards what follows
    std::map<std::u16string, FileEntry> m_entries;  // upper-cased path -> entry
    std::vector<std::u16string> m_refused;
    std::vector<std::u16string> m_pending;
};

// A pattern of * and ? against a name, without regard to case.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern);
// "C:\A\.\B\..\C" -> "C:\A\C"; relative paths against the program's current directory.
std::u16string FullPath(std::u16string_view path);

}  // namespace emu::files
