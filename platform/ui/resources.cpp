// Resource tables belong to modules, not machines: they are attached for the process.
#include "resources.h"

#include <map>
#include <mutex>
#include <string>

namespace emu::ui {

namespace {

std::mutex g_mutex;
std::map<HINSTANCE, const MODULE_RESOURCES*> g_modules;
std::map<HINSTANCE, std::pair<const RESOURCE_BITMAP*, UINT>> g_bitmaps;

const MODULE_RESOURCES* ModuleOf(HINSTANCE instance)
{
    std::lock_guard lock(g_mutex);
    auto it = g_modules.find(instance);
    return it == g_modules.end() ? nullptr : it->second;
}

}  // namespace

const RESOURCE_DIALOG* FindDialog(HINSTANCE instance, LPCWSTR templateName)
{
    const MODULE_RESOURCES* module = ModuleOf(instance);
    if (!module || !IS_INTRESOURCE(templateName)) return nullptr;
    const WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(templateName));
    for (UINT index = 0; index < module->dialogCount; ++index)
        if (module->dialogs[index].id == id) return &module->dialogs[index];
    return nullptr;
}

LPCWSTR FindString(HINSTANCE instance, UINT id)
{
    const MODULE_RESOURCES* module = ModuleOf(instance);
    if (!module) return nullptr;
    for (UINT index = 0; index < module->stringCount; ++index)
        if (module->strings[index].id == id) return module->strings[index].text;
    return nullptr;
}

const RESOURCE_BITMAP* FindBitmap(HINSTANCE instance, LPCWSTR name)
{
    std::lock_guard lock(g_mutex);
    auto it = g_bitmaps.find(instance);
    if (it == g_bitmaps.end() || !IS_INTRESOURCE(name)) return nullptr;
    const WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    for (UINT index = 0; index < it->second.second; ++index)
        if (it->second.first[index].id == id) return &it->second.first[index];
    return nullptr;
}

}  // namespace emu::ui

extern "C" void RegisterModuleBitmaps(HINSTANCE hInstance, const RESOURCE_BITMAP* bitmaps, UINT count)
{
    std::lock_guard lock(emu::ui::g_mutex);
    if (bitmaps) emu::ui::g_bitmaps[hInstance] = {bitmaps, count};
    else emu::ui::g_bitmaps.erase(hInstance);
}

extern "C" void RegisterModuleResources(HINSTANCE hInstance, const MODULE_RESOURCES* resources)
{
    std::lock_guard lock(emu::ui::g_mutex);
    if (resources) emu::ui::g_modules[hInstance] = resources;
    else emu::ui::g_modules.erase(hInstance);
}

extern "C" int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    LPCWSTR text = emu::ui::FindString(hInstance, uID);
    if (!text) {
        SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
        if (lpBuffer && cchBufferMax > 0) lpBuffer[0] = 0;
        return 0;
    }
    const int length = static_cast<int>(std::u16string_view(text).size());
    if (!lpBuffer) return 0;
    if (cchBufferMax == 0) {
        // The caller gets a pointer to the resource's own text.
        *reinterpret_cast<LPCWSTR*>(lpBuffer) = text;
        return length;
    }
    const int count = std::min(length, cchBufferMax - 1);
    std::copy(text, text + count, lpBuffer);
    lpBuffer[count] = 0;
    return count;
}
