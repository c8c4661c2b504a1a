// The user-mode modules of the running machine: the files of the system directory that are
// libraries (host shared modules, opened with dlopen when first loaded and closed when the last
// reference goes), and built-in modules whose exports are functions of this process (tests'
// stand-ins). LoadLibraryW, GetProcAddress, FreeLibrary and GetModuleHandleW (the process layer's)
// ask this table first; a name without a directory, or under the system profile's system directory,
// names a file of the table.
#pragma once

#include <libloaderapi.h>

#include "exports.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace emu::setup {

class UserModules final : public emu::process::InstalledModules {
public:
    static UserModules& Instance();

    // A file copied into the system directory (a shared module when it is a library).
    void InstallFile(std::u16string_view name, std::filesystem::path hostPath);
    // A module whose exports are this process's functions.
    void InstallBuiltIn(std::u16string_view name, std::map<std::string, void*> exports);
    bool HasFile(std::u16string_view name) const;
    std::vector<std::u16string> Files() const;
    // References held on the module (0 when not loaded).
    size_t LoadCount(std::u16string_view name) const;
    // The next load of that module fails with ERROR_MOD_NOT_FOUND.
    void FailNextLoad(std::u16string_view name);
    // Forgets every file and closes what is still loaded (a new machine's system directory).
    void Reset();

    bool Holds(std::u16string_view path) const override;
    HMODULE Load(std::u16string_view path) override;
    void* Export(HMODULE module, const char* name) override;
    bool Free(HMODULE module) override;
    HMODULE Handle(std::u16string_view path) const override;

private:
    UserModules();

    struct Module {
        std::u16string name;
        std::filesystem::path hostPath;          // empty for a built-in module
        std::map<std::string, void*> exports;    // built-in modules
        void* library = nullptr;                 // dlopen handle while loaded
        size_t references = 0;
        bool failNextLoad = false;
    };
    Module* Resolve(std::u16string_view path);
    const Module* Resolve(std::u16string_view path) const;
    Module* OfHandle(HMODULE module);

    mutable std::mutex m_mutex;
    std::map<std::u16string, Module> m_modules;  // upper-cased file name
};

}  // namespace emu::setup
