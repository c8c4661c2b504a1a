#include "file_system.h"

#include "io/driver_loader.h"
#include "kernel.h"
#include "machine_state.h"
#include "program.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::files {

namespace {

win32::PerMachine<FileSystem> g_fileSystem;

std::u16string Key(std::u16string_view path)
{
    std::u16string key(path);
    while (key.size() > 3 && key.back() == u'\\') key.pop_back();
    for (WCHAR& c : key) c = Upcase(c);
    return key;
}

std::u16string_view Parent(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string_view::npos || slash < 3 ? path.substr(0, std::min<size_t>(path.size(), 3))
                                                           : path.substr(0, slash);
}

std::u16string_view NameOf(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

FileEntry Folder(std::u16string_view path)
{
    FileEntry entry;
    entry.path = std::u16string(path);
    entry.directory = true;
    return entry;
}

}  // namespace

bool MatchesPattern(std::u16string_view name, std::u16string_view pattern)
{
    if (pattern.empty()) return name.empty();
    if (pattern[0] == u'*') {
        for (size_t skip = 0; skip <= name.size(); ++skip)
            if (MatchesPattern(name.substr(skip), pattern.substr(1))) return true;
        return false;
    }
    if (name.empty()) return false;
    if (pattern[0] != u'?' && Upcase(pattern[0]) != Upcase(name[0])) return false;
    return MatchesPattern(name.substr(1), pattern.substr(1));
}

std::u16string FullPath(std::u16string_view path)
{
    std::u16string absolute(path);
    for (WCHAR& c : absolute)
        if (c == u'/') c = u'\\';
    if (absolute.size() < 2 || absolute[1] != u':') {
        std::u16string base = process::CurrentProgram()->CurrentDirectory();
        if (!absolute.empty() && absolute[0] == u'\\') absolute = base.substr(0, 2) + absolute;
        else absolute = base + (base.empty() || base.back() == u'\\' ? u"" : u"\\") + absolute;
    }
    std::vector<std::u16string> parts;
    size_t at = 3;
    while (at <= absolute.size()) {
        size_t next = absolute.find(u'\\', at);
        if (next == std::u16string::npos) next = absolute.size();
        std::u16string part = absolute.substr(at, next - at);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::u16string result = absolute.substr(0, 2) + u"\\";
    for (size_t index = 0; index < parts.size(); ++index) result += (index ? u"\\" : u"") + parts[index];
    return result;
}

FileSystem::FileSystem()
{
    process::SystemProfile& profile = process::SystemProfile::Current();
    const std::u16string windows = profile.WindowsDirectory();
    for (std::u16string folder : {windows, windows + u"\\Inf", windows + u"\\Help", profile.SystemDirectory(),
                                  profile.SystemDirectory() + u"\\drivers"})
        CreateDirectory(folder);
    if (!profile.IsNtFamily()) CreateDirectory(windows + u"\\Inf\\Other");
    if (profile.Is64Bit()) {
        CreateDirectory(profile.Wow64Directory());
        CreateDirectory(profile.Wow64Directory() + u"\\drivers");
    }
}

FileSystem& FileSystem::Current() { return g_fileSystem.Get(); }

void FileSystem::CreateParents(std::u16string_view path)
{
    for (std::u16string_view parent = Parent(path); parent.size() > 3; parent = Parent(parent)) {
        auto [it, added] = m_entries.try_emplace(Key(parent));
        if (added) it->second = Folder(parent);
        if (!added) break;
    }
}

bool FileSystem::WriteFile(std::u16string_view path, std::vector<uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    FileEntry& entry = m_entries[Key(path)];
    if (entry.directory || entry.readOnly || entry.inUse) return false;
    entry.path = std::u16string(path);
    entry.bytes = std::move(bytes);
    CreateParents(path);
    return true;
}

bool FileSystem::WriteText(std::u16string_view path, std::u16string_view text)
{
    std::vector<uint8_t> bytes{0xFF, 0xFE};
    for (WCHAR c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return WriteFile(path, std::move(bytes));
}

bool FileSystem::CreateDirectory(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    auto [it, added] = m_entries.try_emplace(Key(path));
    if (!added) return it->second.directory;
    it->second = Folder(path);
    CreateParents(path);
    return true;
}

std::optional<FileEntry> FileSystem::Entry(std::u16string_view path) const
{
    // The volume's root folder.
    if ((path.size() == 2 || path.size() == 3) && path[1] == u':' && Upcase(path[0]) == u'C') {
        FileEntry root = Folder(u"C:\\");
        return root;
    }
    {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(Key(path));
        if (it != m_entries.end()) return it->second;
    }
    std::optional<std::u16string> image = DriverImageName(path);
    if (!image || !Kernel::Current().GetDrivers().ImageFile(*image)) return std::nullopt;
    FileEntry entry;
    entry.path = std::u16string(path);
    entry.inUse = DriverImageInUse(*image) ? 1 : 0;
    return entry;
}

std::optional<std::vector<uint8_t>> FileSystem::ReadFile(std::u16string_view path) const
{
    std::optional<FileEntry> entry = Entry(path);
    if (!entry || entry->directory) return std::nullopt;
    return entry->bytes;
}

bool FileSystem::Exists(std::u16string_view path) const { return Entry(path).has_value(); }

bool FileSystem::IsDirectory(std::u16string_view path) const
{
    std::optional<FileEntry> entry = Entry(path);
    return entry && entry->directory;
}

DWORD FileSystem::Delete(std::u16string_view path)
{
    std::optional<std::u16string> image = DriverImageName(path);
    if (image && DriverImageInUse(*image)) return ERROR_ACCESS_DENIED;
    const bool wasImage = image && Kernel::Current().GetDrivers().RemoveImage(*image);
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(Key(path));
    if (it == m_entries.end()) return wasImage ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    if (it->second.directory) return ERROR_ACCESS_DENIED;
    if (it->second.readOnly || it->second.inUse) return ERROR_ACCESS_DENIED;
    m_entries.erase(it);
    return ERROR_SUCCESS;
}

DWORD FileSystem::Copy(std::u16string_view from, std::u16string_view to, bool failIfExists)
{
    std::optional<std::vector<uint8_t>> bytes = ReadFile(from);
    if (!bytes) return ERROR_FILE_NOT_FOUND;
    if (failIfExists && Exists(to)) return ERROR_FILE_EXISTS;
    return WriteFile(to, std::move(*bytes)) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

bool FileSystem::SetReadOnly(std::u16string_view path, bool readOnly)
{
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(Key(path));
    if (it == m_entries.end()) return false;
    it->second.readOnly = readOnly;
    return true;
}

bool FileSystem::MarkInUse(std::u16string_view path, bool inUse)
{
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(Key(path));
    if (it == m_entries.end()) return false;
    it->second.inUse += inUse ? 1 : -1;
    return true;
}

bool FileSystem::IsInUse(std::u16string_view path) const
{
    std::optional<FileEntry> entry = Entry(path);
    return entry && entry->inUse > 0;
}

void FileSystem::RefuseAttributeChange(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    m_refused.push_back(Key(path));
}

bool FileSystem::AttributeChangeRefused(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    const std::u16string key = Key(path);
    for (const std::u16string& refused : m_refused)
        if (refused == key) return true;
    return false;
}

std::vector<FileEntry> FileSystem::List(std::u16string_view directory, std::u16string_view pattern) const
{
    std::map<std::u16string, FileEntry> found;
    const std::u16string folder = Key(directory);
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, entry] : m_entries)
            if (Key(Parent(key)) == folder && key != folder && MatchesPattern(NameOf(entry.path), pattern))
                found[key] = entry;
    }
    std::vector<FileEntry> result;
    for (auto& [key, entry] : found) result.push_back(std::move(entry));
    return result;
}

void FileSystem::ScheduleDeletion(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    m_pending.emplace_back(path);
}

std::vector<std::u16string> FileSystem::PendingDeletions() const
{
    std::lock_guard lock(m_mutex);
    return m_pending;
}

std::u16string FileSystem::DriversFolder() const { return process::SystemProfile::Current().SystemDirectory() + u"\\drivers"; }

std::optional<std::u16string> FileSystem::DriverImageName(std::u16string_view path) const
{
    if (Key(Parent(path)) != Key(DriversFolder())) return std::nullopt;
    return std::u16string(NameOf(path));
}

bool FileSystem::DriverImageInUse(std::u16string_view imageName) const
{
    for (const LoadedImageInfo& info : Kernel::Current().GetDrivers().Loaded())
        if (EqualNoCase(info.imageName, imageName)) return true;
    return false;
}

}  // namespace emu::files
