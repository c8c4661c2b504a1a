// SetupDiCallClassInstaller's chain for one request: the co-installers' pre-processing in order
// (the class's, then the device's), the class installer (or the default handler), and the
// post-processing of those that asked for it, last first, each given the result so far.
#include <libloaderapi.h>

#include "system_profile.h"

#include "cm/registry.h"
#include "install_engine.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "registry_text.h"

namespace emu::setup {
namespace {

constexpr char16_t kCoDeviceInstallersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CoDeviceInstallers";

struct CoInstaller {
    std::u16string name;  // "dll,entry" as registered
    HMODULE module = nullptr;
    COINSTALLER_PROC proc = nullptr;
    COINSTALLER_CONTEXT_DATA context{};
};

std::u16string Trimmed(std::u16string_view text)
{
    while (!text.empty() && text.front() == u' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
    return std::u16string(text);
}

// Loads "dll[,entry]" from the system directory; the entry defaults to CoDeviceInstall.
bool Load(CoInstaller& co)
{
    const size_t comma = co.name.find(u',');
    const std::u16string dll = Trimmed(co.name.substr(0, comma));
    std::u16string entry = comma == std::u16string::npos ? u"" : Trimmed(co.name.substr(comma + 1));
    if (entry.empty()) entry = u"CoDeviceInstall";
    co.module = LoadLibraryW((emu::process::SystemProfile::Current().SystemDirectory() + u"\\" + dll).c_str());
    if (!co.module) return false;
    co.proc = reinterpret_cast<COINSTALLER_PROC>(reinterpret_cast<void*>(GetProcAddress(co.module, Narrow(entry).c_str())));
    if (co.proc) return true;
    FreeLibrary(co.module);
    co.module = nullptr;
    return false;
}

}  // namespace

DWORD InstallEngine::CallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element)
{
    const std::u16string path = InstancePathOf(set, element);
    if (element && path.empty()) return GetLastError() ? GetLastError() : DWORD(ERROR_INVALID_PARAMETER);
    const std::u16string classGuid = path.empty() ? std::u16string() : ClassOf(path);
    Registry& registry = m_machine.GetRegistry();

    std::vector<CoInstaller> chain;
    for (const std::u16string& name : RegistryStrings(registry.GetValue(kCoDeviceInstallersKey, classGuid)))
        chain.push_back({name});
    const std::u16string driver = path.empty() ? std::u16string() : RegistryString(registry.GetValue(DeviceKeyOf(path), u"Driver"));
    if (!driver.empty())
        for (const std::u16string& name :
             RegistryStrings(registry.GetValue(std::u16string(kClassKeyPath) + u"\\" + driver, u"CoInstallers32")))
            chain.push_back({name});
    std::erase_if(chain, [&](CoInstaller& co) {
        if (Load(co)) return false;
        // A co-installer that cannot be loaded is left out of the chain.
        Record({function, path, DifPhase::PreProcessing, co.name, DWORD(ERROR_INVALID_COINSTALLER)});
        return true;
    });

    DWORD result = NO_ERROR;
    std::vector<CoInstaller*> post;
    bool stopped = false;
    for (CoInstaller& co : chain) {
        co.context = COINSTALLER_CONTEXT_DATA{FALSE, NO_ERROR, nullptr};
        const DWORD answer = co.proc(function, set, element, &co.context);
        Record({function, path, DifPhase::PreProcessing, co.name, answer});
        if (answer == ERROR_DI_POSTPROCESSING_REQUIRED) {
            post.push_back(&co);
        } else if (answer != NO_ERROR) {
            result = answer;
            stopped = true;
            break;
        }
    }
    if (!stopped) {
        CLASS_INSTALL_PROC installer = classGuid.empty() ? nullptr : ClassInstallerOf(classGuid);
        result = ERROR_DI_DO_DEFAULT;
        if (installer) {
            result = installer(function, set, element);
            Record({function, path, DifPhase::ClassInstaller, classGuid, result});
        }
        if (result == ERROR_DI_DO_DEFAULT) {
            result = DefaultHandler(function, set, element);
            Record({function, path, DifPhase::DefaultHandler, {}, result});
        }
    }
    for (auto it = post.rbegin(); it != post.rend(); ++it) {
        CoInstaller& co = **it;
        co.context.PostProcessing = TRUE;
        co.context.InstallResult = result;
        result = co.proc(function, set, element, &co.context);
        Record({function, path, DifPhase::PostProcessing, co.name, result, co.context.InstallResult});
    }
    for (CoInstaller& co : chain) FreeLibrary(co.module);
    return result;
}

}  // namespace emu::setup
