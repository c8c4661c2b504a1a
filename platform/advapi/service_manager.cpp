#include "service_manager.h"

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "kernel.h"
#include "machine_state.h"
#include "program.h"
#include "rtl/rtl_text.h"

namespace emu::advapi {

namespace {

win32::PerMachine<ServiceManager> g_manager;

constexpr DWORD kUserManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | READ_CONTROL;

bool IsAdministrator() { return process::CurrentProgram()->GetToken()->HasGroup(process::AdministratorsSid()); }

Registry& TheRegistry() { return Kernel::Current().GetRegistry(); }

}  // namespace

std::u16string ServiceKey(std::u16string_view name) { return DriverLoader::ServiceKeyPath(name); }

ServiceManager& ServiceManager::Current() { return g_manager.Get(); }

SC_HANDLE ServiceManager::OpenManager(DWORD access)
{
    if ((access & ~kUserManagerRights) && !IsAdministrator()) return nullptr;
    return Keep(Handle{true, {}, access});
}

SC_HANDLE ServiceManager::OpenService(SC_HANDLE manager, std::u16string_view name, DWORD access, DWORD& error)
{
    DWORD managerAccess = 0;
    if (!IsManager(manager, managerAccess)) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    std::optional<std::u16string> path = TheRegistry().CanonicalPath(ServiceKey(name));
    if (name.empty() || !path || !TheRegistry().GetValue(*path, u"Type")) {
        error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    if ((access & ~kUserServiceRights) && !IsAdministrator()) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return Keep(Handle{false, path->substr(path->find_last_of(u'\\') + 1), access});
}

SC_HANDLE ServiceManager::CreateService(SC_HANDLE manager, std::u16string_view name, DWORD access, DWORD& error)
{
    DWORD managerAccess = 0;
    if (!IsManager(manager, managerAccess)) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (!(managerAccess & SC_MANAGER_CREATE_SERVICE)) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    const std::u16string path = ServiceKey(name);
    if (TheRegistry().GetValue(path, u"Type")) {
        error = IsMarked(std::u16string(name)) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        return nullptr;
    }
    TheRegistry().CreateKey(path);
    return Keep(Handle{false, std::u16string(name), access});
}

SC_HANDLE ServiceManager::Keep(Handle handle)
{
    auto kept = std::make_unique<Handle>(std::move(handle));
    SC_HANDLE key = reinterpret_cast<SC_HANDLE>(kept.get());
    std::lock_guard lock(m_mutex);
    m_handles[key] = std::move(kept);
    return key;
}

bool ServiceManager::Close(SC_HANDLE handle)
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return false;
    const std::u16string service = it->second->service;
    const bool manager = it->second->manager;
    m_handles.erase(it);
    if (!manager) DeleteIfUnused(service);
    return true;
}

bool ServiceManager::ServiceOf(SC_HANDLE handle, std::u16string& name, DWORD& access) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second->manager) return false;
    name = it->second->service;
    access = it->second->access;
    return true;
}

bool ServiceManager::IsManager(SC_HANDLE handle, DWORD& access) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || !it->second->manager) return false;
    access = it->second->access;
    return true;
}

DWORD ServiceManager::MarkDeleted(const std::u16string& name)
{
    if (IsMarked(name)) return ERROR_SERVICE_MARKED_FOR_DELETE;
    TheRegistry().SetDword(ServiceKey(name), u"DeleteFlag", 1);
    return ERROR_SUCCESS;
}

bool ServiceManager::IsMarked(const std::u16string& name) const
{
    std::optional<ULONG> flag = TheRegistry().GetDword(ServiceKey(name), u"DeleteFlag");
    return flag && *flag != 0;
}

void ServiceManager::DeleteIfUnused(const std::u16string& name)
{
    if (!IsMarked(name) || Kernel::Current().GetDrivers().IsLoaded(name)) return;
    for (const auto& [key, handle] : m_handles)
        if (!handle->manager && EqualNoCase(handle->service, name)) return;
    TheRegistry().DeleteTree(ServiceKey(name));
}

}  // namespace emu::advapi
