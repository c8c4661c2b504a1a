#include "install_engine.h"

#include "cm/registry.h"
#include "device_info_set.h"
#include "driver_store.h"
#include "inf_actions.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "registry_text.h"
#include "setupapi_control.h"
#include "user_modules.h"

namespace emu::setup {
namespace {

std::mutex g_currentMutex;
InstallEngine* g_current = nullptr;

const std::vector<DI_FUNCTION>& NewDeviceScript(bool interactive)
{
    static const std::vector<DI_FUNCTION> kServer = {DIF_SELECTBESTCOMPATDRV,   DIF_ALLOW_INSTALL,
                                                     DIF_INSTALLDEVICEFILES,    DIF_REGISTER_COINSTALLERS,
                                                     DIF_INSTALLINTERFACES,     DIF_INSTALLDEVICE,
                                                     DIF_DESTROYPRIVATEDATA};
    static const std::vector<DI_FUNCTION> kClient = {DIF_SELECTBESTCOMPATDRV,   DIF_ALLOW_INSTALL,
                                                     DIF_INSTALLDEVICEFILES,    DIF_REGISTER_COINSTALLERS,
                                                     DIF_INSTALLINTERFACES,     DIF_INSTALLDEVICE,
                                                     DIF_NEWDEVICEWIZARD_FINISHINSTALL, DIF_DESTROYPRIVATEDATA};
    return interactive ? kClient : kServer;
}

// A set holding one device, destroyed when it goes.
class OneDeviceSet {
public:
    explicit OneDeviceSet(const std::u16string& instancePath)
    {
        auto* set = new setupapi::DeviceInfoSet;
        const size_t index = set->AddDevice(instancePath);
        m_handle = setupapi::DeviceInfoSet::Open(set);
        m_data.cbSize = sizeof m_data;
        setupapi::DeviceInfoSet::Describe(set->Devices()[index], index, &m_data);
    }
    ~OneDeviceSet() { SetupDiDestroyDeviceInfoList(m_handle); }
    OneDeviceSet(const OneDeviceSet&) = delete;
    OneDeviceSet& operator=(const OneDeviceSet&) = delete;

    HDEVINFO Handle() const { return m_handle; }
    PSP_DEVINFO_DATA Element() { return &m_data; }

private:
    HDEVINFO m_handle = nullptr;
    SP_DEVINFO_DATA m_data{};
};

}  // namespace

std::u16string DeviceKeyOf(const std::u16string& instancePath) { return std::u16string(kEnumKeyPath) + u"\\" + instancePath; }

std::u16string HardwareKeyOf(const std::u16string& instancePath) { return DeviceKeyOf(instancePath) + u"\\Device Parameters"; }

std::u16string InstancePathOf(HDEVINFO set, PSP_DEVINFO_DATA element)
{
    if (!element) return {};
    WCHAR id[512];
    DWORD needed = 0;
    const DWORD error = GetLastError();
    if (!SetupDiGetDeviceInstanceIdW(set, element, id, 512, &needed)) {
        SetLastError(error);
        return {};
    }
    return id;
}

InstallEngine::InstallEngine(Kernel& machine, InstallEngineOptions options) : m_machine(machine), m_options(options)
{
    if (m_options.portsClassInstaller) SetClassInstaller(kPortsClassGuid, PortsClassInstaller);
    {
        std::lock_guard lock(g_currentMutex);
        g_current = this;
    }
    setupapi::SetClassInstallerChain([this](DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element) {
        return CallClassInstaller(function, set, element);
    });
    // newdev's driver update: the device gets the best driver this engine's store holds for it (the
    // INF named in the call is expected to be one of the store's).
    setupapi::DriverStore::Current().SetInstaller(
        [this](const std::u16string& instancePath, const std::u16string&) { return UpdateDriver(instancePath); });
    setupapi::DriverStore::Current().SetCopyObserver(
        [this](const setupapi::StoredInf& inf) { AddCopiedInf(inf.name, inf.source, inf.bytes); });
    setupapi::DriverStore::Current().SetRemovalObserver([this](const std::u16string& name) { RemoveCopiedInf(name); });
    if (m_options.automatic) m_thread = std::thread([this] { AutomaticLoop(); });
}

InstallEngine::~InstallEngine()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending.clear();
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
    for (const auto& [id, driver] : m_store.Models()) m_machine.GetPnp().UnbindService(id);
    // SetupAPI and the module table are the machine's: a newer engine keeps them.
    std::lock_guard lock(g_currentMutex);
    if (g_current != this) return;
    g_current = nullptr;
    setupapi::SetClassInstallerChain(nullptr);
    setupapi::DriverStore::Current().SetInstaller(nullptr);
    setupapi::DriverStore::Current().SetCopyObserver(nullptr);
    setupapi::DriverStore::Current().SetRemovalObserver(nullptr);
    UserModules::Instance().Reset();
}

InstallEngine* InstallEngine::Current()
{
    std::lock_guard lock(g_currentMutex);
    return g_current;
}

void InstallEngine::AddInf(InfFile inf, PackageFiles files)
{
    const std::u16string name = inf.Name();
    m_store.Add(std::move(inf), std::move(files));
    for (const auto& [id, driver] : m_store.Models())
        if (EqualNoCase(driver.inf->Name(), name)) BindModel(id, driver);
}

void InstallEngine::BindModel(const std::u16string& hardwareId, const DriverInstallInfo& driver)
{
    m_machine.GetPnp().BindDeferredInstallation(hardwareId, driver.service, driver.classGuid,
                                                [this](const std::u16string& instancePath) {
                                                    QueueInstall(instancePath);
                                                    return false;
                                                });
}

void InstallEngine::SetClassInstaller(std::u16string_view classGuid, CLASS_INSTALL_PROC installer)
{
    std::lock_guard lock(m_mutex);
    m_classInstallers[UpperAscii(classGuid)] = installer;
}

void InstallEngine::AddClassCoInstaller(std::u16string_view classGuid, std::u16string_view entry)
{
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CoDeviceInstallers";
    m_machine.GetRegistry().CreateKey(key);
    InfLine line;
    line.fields = {u"HKLM", key.substr(std::u16string_view(u"\\Registry\\Machine\\").size()), std::u16string(classGuid),
                   u"0x00010008", std::u16string(entry)};
    AddRegEntry(m_machine, line, {});
}

CLASS_INSTALL_PROC InstallEngine::ClassInstallerOf(const std::u16string& classGuid) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_classInstallers.find(UpperAscii(classGuid));
    return it == m_classInstallers.end() ? nullptr : it->second;
}

// ---- The queue -----------------------------------------------------------------------------------

void InstallEngine::QueueInstall(const std::u16string& instancePath)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        for (const std::u16string& queued : m_pending)
            if (EqualNoCase(queued, instancePath)) return;
        m_pending.push_back(instancePath);
    }
    m_changed.notify_all();
}

size_t InstallEngine::PendingInstalls() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::optional<std::u16string> InstallEngine::TakePending()
{
    std::lock_guard lock(m_mutex);
    if (m_pending.empty() || m_stopping) return std::nullopt;
    std::u16string next = std::move(m_pending.front());
    m_pending.pop_front();
    ++m_running;
    return next;
}

size_t InstallEngine::RunPendingInstalls()
{
    size_t count = 0;
    // As user mode hears of a new device only once the kernel has finished its arrival: the PnP
    // manager looks at the device's keys again before the arrival is over.
    for (;;) {
        m_machine.GetPnp().WaitIdle();
        std::optional<std::u16string> next = TakePending();
        if (!next) break;
        const DWORD error = InstallDevice(*next);
        {
            std::lock_guard lock(m_mutex);
            if (error != NO_ERROR) m_failures.emplace_back(*next, error);
            --m_running;
        }
        m_changed.notify_all();
        ++count;
    }
    return count;
}

void InstallEngine::AutomaticLoop()
{
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stopping || !m_pending.empty(); });
            if (m_stopping) return;
        }
        RunPendingInstalls();
    }
}

void InstallEngine::WaitIdle()
{
    // The PnP manager may still be bringing devices whose arrival queues them.
    for (;;) {
        m_machine.GetPnp().WaitIdle();
        std::unique_lock lock(m_mutex);
        if (!m_options.automatic) return;
        m_changed.wait(lock, [&] { return m_stopping || (m_pending.empty() && m_running == 0); });
        lock.unlock();
        m_machine.GetPnp().WaitIdle();
        std::lock_guard again(m_mutex);
        if (m_stopping || (m_pending.empty() && m_running == 0)) return;
    }
}

// ---- Operations ----------------------------------------------------------------------------------

DWORD InstallEngine::RunScript(const std::u16string& instancePath, const std::vector<DI_FUNCTION>& script)
{
    OneDeviceSet set(instancePath);
    DWORD result = NO_ERROR;
    for (DI_FUNCTION function : script) {
        const DWORD error = SetupDiCallClassInstaller(function, set.Handle(), set.Element()) ? DWORD(NO_ERROR) : GetLastError();
        // Requests without a default handler that nobody handled are done.
        if (error == NO_ERROR || error == ERROR_DI_DO_DEFAULT) continue;
        result = error;
        if (function != DIF_DESTROYPRIVATEDATA) {
            SetupDiCallClassInstaller(DIF_DESTROYPRIVATEDATA, set.Handle(), set.Element());
            break;
        }
    }
    return result;
}

DWORD InstallEngine::InstallDevice(const std::u16string& instancePath)
{
    return RunScript(instancePath, NewDeviceScript(m_options.interactive));
}

DWORD InstallEngine::UpdateDriver(const std::u16string& instancePath)
{
    const DWORD refusal = CallOnDevice(DIF_UPDATEDRIVER_UI, instancePath);
    if (refusal != NO_ERROR && refusal != ERROR_DI_DO_DEFAULT) return refusal;
    return InstallDevice(instancePath);
}

DWORD InstallEngine::RemoveDevice(const std::u16string& instancePath) { return CallOnDevice(DIF_REMOVE, instancePath); }

DWORD InstallEngine::CallOnDevice(DI_FUNCTION function, const std::u16string& instancePath)
{
    OneDeviceSet set(instancePath);
    return SetupDiCallClassInstaller(function, set.Handle(), set.Element()) ? DWORD(NO_ERROR) : GetLastError();
}

// ---- Records -------------------------------------------------------------------------------------

void InstallEngine::Record(DifRecord record)
{
    std::lock_guard lock(m_mutex);
    m_trace.push_back(std::move(record));
}

std::vector<DifRecord> InstallEngine::Trace() const
{
    std::lock_guard lock(m_mutex);
    return m_trace;
}

void InstallEngine::ClearTrace()
{
    std::lock_guard lock(m_mutex);
    m_trace.clear();
}

std::vector<std::pair<std::u16string, DWORD>> InstallEngine::Failures() const
{
    std::lock_guard lock(m_mutex);
    return m_failures;
}

std::optional<DriverInstallInfo> InstallEngine::SelectedDriver(const std::u16string& instancePath) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_selected.find(UpperAscii(instancePath));
    if (it == m_selected.end()) return std::nullopt;
    return it->second;
}

std::u16string InstallEngine::ClassOf(const std::u16string& instancePath) const
{
    if (std::optional<DriverInstallInfo> driver = SelectedDriver(instancePath)) return driver->classGuid;
    return RegistryString(m_machine.GetRegistry().GetValue(DeviceKeyOf(instancePath), u"ClassGUID"));
}

}  // namespace emu::setup
