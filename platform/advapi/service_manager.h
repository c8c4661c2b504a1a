// The service control manager: handles of the manager and of services, over the machine's
// services as the kernel keeps them (the Services\<name> keys, and the driver loader for a
// service's running state). A kernel driver runs while its image is loaded; stopping one that has
// devices is refused. A deleted service is marked (DeleteFlag) and its key goes when the last
// handle to it closes and the driver is not loaded.
#pragma once

#include <winsvc.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace emu::advapi {

class ServiceManager {
public:
    static ServiceManager& Current();

    SC_HANDLE OpenManager(DWORD access);
    SC_HANDLE OpenService(SC_HANDLE manager, std::u16string_view name, DWORD access, DWORD& error);
    SC_HANDLE CreateService(SC_HANDLE manager, std::u16string_view name, DWORD access, DWORD& error);
    bool Close(SC_HANDLE handle);
    // The service a handle names, with the access it was opened with; false for another handle.
    bool ServiceOf(SC_HANDLE handle, std::u16string& name, DWORD& access) const;
    bool IsManager(SC_HANDLE handle, DWORD& access) const;
    // Marks the service deleted; ERROR_SERVICE_MARKED_FOR_DELETE when it already is.
    DWORD MarkDeleted(const std::u16string& name);
    bool IsMarked(const std::u16string& name) const;

private:
    struct Handle {
        bool manager = false;
        std::u16string service;  // the key's own spelling
        DWORD access = 0;
    };
    void DeleteIfUnused(const std::u16string& name);  // with the lock held
    SC_HANDLE Keep(Handle handle);

    mutable std::mutex m_mutex;  // guards what follows
    std::map<SC_HANDLE, std::unique_ptr<Handle>> m_handles;
};

// The key path of a service ("\Registry\Machine\System\CurrentControlSet\Services\<name>").
std::u16string ServiceKey(std::u16string_view name);

}  // namespace emu::advapi
