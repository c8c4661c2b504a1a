// GetModuleHandleW, LoadLibraryW, GetProcAddress and FreeLibrary over the installed modules and the
// system DLLs' export tables.
#include "exports.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "program.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::process {

namespace {

struct Export {
    std::string name;
    FARPROC function;
    ExportPresent present;
};

struct Module {
    std::u16string name;  // "KERNEL32.DLL"
    std::vector<Export> exports;
};

struct ExportTable {
    std::mutex mutex;
    std::vector<Module> modules;  // never shrinks: a module's handle is its position + 1
};

ExportTable& Table()
{
    static ExportTable table;
    return table;
}

const std::u16string_view kSystemModules[] = {u"kernel32.dll", u"advapi32.dll", u"user32.dll", u"setupapi.dll",
                                              u"newdev.dll",   u"shlwapi.dll",  u"comctl32.dll", u"msports.dll"};

std::u16string Normalised(std::u16string_view name)
{
    const size_t slash = name.find_last_of(u"\\/");
    if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
    std::u16string text(name);
    if (text.find(u'.') == std::u16string::npos) text += u".dll";
    for (WCHAR& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - u'a' + u'A');
    return text;
}

// With the table's lock held.
size_t ModuleIndex(ExportTable& table, std::u16string_view name, bool add)
{
    const std::u16string wanted = Normalised(name);
    for (size_t index = 0; index < table.modules.size(); ++index)
        if (table.modules[index].name == wanted) return index;
    if (!add) return SIZE_MAX;
    table.modules.push_back({wanted, {}});
    return table.modules.size() - 1;
}

HMODULE HandleOf(size_t index) { return reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7FF00000 + 0x10000 * (index + 1))); }

constexpr size_t kMaxSystemModules = 0x1000;

// SIZE_MAX for a handle outside the system DLLs' range (an installed module's).
size_t IndexOf(HMODULE module)
{
    const auto value = reinterpret_cast<ULONG_PTR>(module);
    if (value < 0x7FF10000 || (value & 0xFFFF)) return SIZE_MAX;
    const size_t index = (value - 0x7FF00000) / 0x10000 - 1;
    return index < kMaxSystemModules ? index : SIZE_MAX;
}

std::atomic<InstalledModules*> g_installed{nullptr};

HMODULE SystemModule(LPCWSTR name)
{
    ExportTable& table = Table();
    std::lock_guard lock(table.mutex);
    for (std::u16string_view known : kSystemModules) ModuleIndex(table, known, true);
    const size_t index = ModuleIndex(table, name, false);
    if (index == SIZE_MAX) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return HandleOf(index);
}

}  // namespace

void RegisterExport(std::u16string_view module, std::string_view name, FARPROC function, ExportPresent present)
{
    ExportTable& table = Table();
    std::lock_guard lock(table.mutex);
    table.modules[ModuleIndex(table, module, true)].exports.push_back({std::string(name), function, std::move(present)});
}

void SetInstalledModules(InstalledModules* modules) { g_installed.store(modules); }

bool Always() { return true; }
bool On64BitSystem() { return SystemProfile::Current().Is64Bit(); }
bool OnVistaOr64Bit()
{
    SystemProfile& profile = SystemProfile::Current();
    return profile.Is64Bit() || (profile.IsNtFamily() && profile.Version().major >= 6);
}

}  // namespace emu::process

using namespace emu::process;

extern "C" HMODULE GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (!lpModuleName) return CurrentProgram()->Instance();
    if (InstalledModules* installed = g_installed.load(); installed && installed->Holds(lpModuleName)) {
        HMODULE module = installed->Handle(lpModuleName);
        if (!module) SetLastError(ERROR_MOD_NOT_FOUND);
        return module;
    }
    return SystemModule(lpModuleName);
}

extern "C" HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (InstalledModules* installed = g_installed.load(); installed && installed->Holds(lpLibFileName))
        return installed->Load(lpLibFileName);
    return SystemModule(lpLibFileName);
}

extern "C" BOOL FreeLibrary(HMODULE hLibModule)
{
    if (IndexOf(hLibModule) != SIZE_MAX) return TRUE;
    InstalledModules* installed = g_installed.load();
    if (installed) return installed->Free(hLibModule) ? TRUE : FALSE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    ExportTable& table = Table();
    const size_t index = IndexOf(hModule);
    InstalledModules* installed = g_installed.load();
    if (index == SIZE_MAX && installed) {
        if (!lpProcName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (reinterpret_cast<ULONG_PTR>(lpProcName) <= 0xFFFF) {  // an ordinal: installed modules export by name
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(installed->Export(hModule, lpProcName));
    }
    std::vector<Export> exports;
    {
        std::lock_guard lock(table.mutex);
        if (index < table.modules.size()) exports = table.modules[index].exports;
    }
    if (lpProcName && reinterpret_cast<ULONG_PTR>(lpProcName) > 0xFFFF)
        for (const Export& entry : exports)
            if (entry.name == lpProcName && entry.present()) return entry.function;
    SetLastError(index == SIZE_MAX ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    if (hModule || !lpFilename || !nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string path = CurrentProgram()->ImagePath();
    const DWORD count = static_cast<DWORD>(std::min<size_t>(path.size(), nSize - 1));
    std::copy(path.begin(), path.begin() + count, lpFilename);
    lpFilename[count] = 0;
    if (count < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return count;
}
