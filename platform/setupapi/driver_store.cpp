#include "driver_store.h"

#include <algorithm>

#include "file_system.h"
#include "machine_state.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::setupapi {

namespace {

win32::PerMachine<DriverStore> g_store;

}  // namespace

DriverStore& DriverStore::Current() { return g_store.Get(); }

std::u16string DriverStore::InfFolder() const { return process::SystemProfile::Current().WindowsDirectory() + u"\\Inf"; }

DWORD DriverStore::Add(const std::u16string& source, std::u16string& name, bool& existed)
{
    existed = false;
    files::FileSystem& files = files::FileSystem::Current();
    std::optional<std::vector<uint8_t>> bytes = files.ReadFile(source);
    if (!bytes) return ERROR_FILE_NOT_FOUND;
    StoredInf copied;
    InfCopyObserver observer;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [broken, error] : m_broken)
            if (broken == UpcaseText(source)) return error;
        for (const StoredInf& inf : m_infs) {
            if (inf.bytes != *bytes) continue;
            name = inf.name;
            existed = true;
            return ERROR_SUCCESS;
        }
        for (unsigned number = 0;; ++number) {
            name = u"oem" + WideText(std::to_string(number)) + u".inf";
            if (!files.Exists(InfFolder() + u"\\" + name)) break;
        }
        const std::u16string path = InfFolder() + u"\\" + name;
        if (!files.WriteFile(path, *bytes)) return ERROR_ACCESS_DENIED;
        files.WriteFile(path.substr(0, path.size() - 4) + u".pnf", {'P', 'N', 'F'});
        m_infs.push_back({name, source, std::move(*bytes)});
        copied = m_infs.back();
        observer = m_copyObserver;
    }
    if (observer) observer(copied);
    return ERROR_SUCCESS;
}

DWORD DriverStore::Remove(const std::u16string& name)
{
    std::u16string removed;
    InfRemovalObserver observer;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_infs.begin(), m_infs.end(), [&](const StoredInf& inf) { return EqualNoCase(inf.name, name); });
        if (it == m_infs.end()) return ERROR_FILE_NOT_FOUND;
        files::FileSystem& files = files::FileSystem::Current();
        const std::u16string path = InfFolder() + u"\\" + it->name;
        files.Delete(path);
        files.Delete(path.substr(0, path.size() - 4) + u".pnf");
        removed = it->name;
        m_infs.erase(it);
        observer = m_removalObserver;
    }
    if (observer) observer(removed);
    return ERROR_SUCCESS;
}

std::vector<StoredInf> DriverStore::Infs() const
{
    std::lock_guard lock(m_mutex);
    return m_infs;
}

void DriverStore::MarkBroken(const std::u16string& source, DWORD error)
{
    std::lock_guard lock(m_mutex);
    m_broken.emplace_back(UpcaseText(source), error);
}

void DriverStore::SetCopyObserver(InfCopyObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_copyObserver = std::move(observer);
}

void DriverStore::SetRemovalObserver(InfRemovalObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_removalObserver = std::move(observer);
}

void DriverStore::SetInstaller(DeviceDriverInstaller installer)
{
    std::lock_guard lock(m_mutex);
    m_installer = std::move(installer);
}

DeviceDriverInstaller DriverStore::Installer() const
{
    std::lock_guard lock(m_mutex);
    return m_installer;
}

void DriverStore::Record(DriverUpdateRecord record)
{
    std::lock_guard lock(m_mutex);
    m_updates.push_back(std::move(record));
}

std::vector<DriverUpdateRecord> DriverStore::Updates() const
{
    std::lock_guard lock(m_mutex);
    return m_updates;
}

}  // namespace emu::setupapi
