#include "user_modules.h"

#include <dlfcn.h>

#include <utility>

#include "inf_file.h"
#include "system_profile.h"

namespace emu::setup {
namespace {

// The file name a path names in the system directory, or empty for another directory.
std::u16string SystemFileName(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u"\\/");
    if (slash == std::u16string_view::npos) return UpperAscii(path);
    if (!EqualNoCase(path.substr(0, slash), emu::process::SystemProfile::Current().SystemDirectory())) return {};
    return UpperAscii(path.substr(slash + 1));
}

}  // namespace

UserModules::UserModules() { emu::process::SetInstalledModules(this); }

UserModules& UserModules::Instance()
{
    static UserModules modules;
    return modules;
}

bool UserModules::Holds(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    return Resolve(path) != nullptr;
}

void UserModules::InstallFile(std::u16string_view name, std::filesystem::path hostPath)
{
    std::lock_guard lock(m_mutex);
    Module& module = m_modules[UpperAscii(name)];
    module.name = std::u16string(name);
    if (!module.library) module.hostPath = std::move(hostPath);
}

void UserModules::InstallBuiltIn(std::u16string_view name, std::map<std::string, void*> exports)
{
    std::lock_guard lock(m_mutex);
    Module& module = m_modules[UpperAscii(name)];
    module.name = std::u16string(name);
    module.hostPath.clear();
    module.exports = std::move(exports);
}

bool UserModules::HasFile(std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    return m_modules.count(UpperAscii(name)) != 0;
}

std::vector<std::u16string> UserModules::Files() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::u16string> names;
    for (const auto& [key, module] : m_modules) names.push_back(module.name);
    return names;
}

size_t UserModules::LoadCount(std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    const Module* module = Resolve(name);
    return module ? module->references : 0;
}

void UserModules::FailNextLoad(std::u16string_view name)
{
    std::lock_guard lock(m_mutex);
    if (Module* module = Resolve(name)) module->failNextLoad = true;
}

void UserModules::Reset()
{
    std::lock_guard lock(m_mutex);
    for (auto& [key, module] : m_modules)
        if (module.library) dlclose(module.library);
    m_modules.clear();
}

UserModules::Module* UserModules::Resolve(std::u16string_view path)
{
    auto it = m_modules.find(SystemFileName(path));
    return it == m_modules.end() ? nullptr : &it->second;
}

const UserModules::Module* UserModules::Resolve(std::u16string_view path) const
{
    auto it = m_modules.find(SystemFileName(path));
    return it == m_modules.end() ? nullptr : &it->second;
}

UserModules::Module* UserModules::OfHandle(HMODULE handle)
{
    for (auto& [key, module] : m_modules)
        if (module.references && reinterpret_cast<HMODULE>(&module) == handle) return &module;
    return nullptr;
}

HMODULE UserModules::Load(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    Module* module = Resolve(path);
    if (!module || std::exchange(module->failNextLoad, false)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (module->references == 0 && !module->hostPath.empty()) {
        module->library = dlopen(module->hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module->library) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
    }
    ++module->references;
    return reinterpret_cast<HMODULE>(module);
}

void* UserModules::Export(HMODULE handle, const char* name)
{
    std::lock_guard lock(m_mutex);
    Module* module = OfHandle(handle);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* address = nullptr;
    if (module->library) {
        address = dlsym(module->library, name);
    } else if (auto it = module->exports.find(name); it != module->exports.end()) {
        address = it->second;
    }
    if (!address) SetLastError(ERROR_PROC_NOT_FOUND);
    return address;
}

bool UserModules::Free(HMODULE handle)
{
    std::lock_guard lock(m_mutex);
    Module* module = OfHandle(handle);
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (--module->references == 0 && module->library) {
        dlclose(module->library);
        module->library = nullptr;
    }
    return true;
}

HMODULE UserModules::Handle(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    const Module* module = Resolve(path);
    return module && module->references ? reinterpret_cast<HMODULE>(const_cast<Module*>(module)) : nullptr;
}

}  // namespace emu::setup
