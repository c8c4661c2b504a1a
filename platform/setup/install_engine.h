// The machine's device installation engine: what SetupAPI and the user-mode Plug and Play service
// do between a device's arrival and its driver's start.
//
// INF files go into the engine's store; every hardware ID their model sections list is bound in
// the PnP manager to the INF's service, with an installation that is queued rather than run: a
// new device waits without a driver (as Windows leaves found new hardware to user mode) until the
// queue is run, on the caller's thread (RunPendingInstalls) or, for an automatic engine, on the
// engine's own thread. Installing a device sends the requests Windows sends, in its order:
// DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL, DIF_INSTALLDEVICEFILES, DIF_REGISTER_COINSTALLERS,
// DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE, DIF_NEWDEVICEWIZARD_FINISHINSTALL (interactive
// installs only) and DIF_DESTROYPRIVATEDATA, each through SetupDiCallClassInstaller: the class's
// co-installers and the device's (those registered in its driver key's CoInstallers32, loaded with
// LoadLibraryW/GetProcAddress and freed when the request is done) before the class installer, the
// default handler when the class installer asks for it (or there is none), and the co-installers
// that asked for post-processing after it, last first. DIF_INSTALLDEVICE's default writes the
// device's keys from the INF (AddReg to the driver key, .HW AddReg to the hardware key,
// .Services AddService) and starts the device; the devices its start brings (a bus's children)
// are queued in turn, never installed inside their parent's request.
#pragma once

#include <setupapi.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dif_trace.h"
#include "inf_store.h"

namespace emu {
class Kernel;
}

namespace emu::setup {

inline constexpr char16_t kPortsClassGuid[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

struct InstallEngineOptions {
    // Installs queued devices on the engine's own thread as they arrive.
    bool automatic = false;
    // Client-side installs with a user: DIF_NEWDEVICEWIZARD_FINISHINSTALL is sent too.
    bool interactive = false;
    // The Ports class installer (the COM name of a new port); off to run ports on the defaults.
    bool portsClassInstaller = true;
};

class InstallEngine {
public:
    explicit InstallEngine(Kernel& machine, InstallEngineOptions options = {});
    // Stops the automatic thread; pending installs are dropped.
    ~InstallEngine();
    InstallEngine(const InstallEngine&) = delete;
    InstallEngine& operator=(const InstallEngine&) = delete;

    static InstallEngine* Current();
    Kernel& Machine() { return m_machine; }

    // ---- The INF store ----------------------------------------------------------------------------
    // Adds an INF with the files its package ships, and binds the hardware IDs it lists.
    void AddInf(InfFile inf, PackageFiles files = {});
    const InfStore& Store() const { return m_store; }
    // An INF SetupCopyOEMInfW copied into the driver store: added under its store name, with the
    // package files of the disk image it was copied from (see package_media.h).
    void AddCopiedInf(const std::u16string& storeName, const std::u16string& source, const std::vector<uint8_t>& bytes);
    // An INF removed from the driver store (SetupUninstallOEMInfW): its hardware IDs no longer find
    // a driver in it.
    void RemoveCopiedInf(const std::u16string& storeName);

    // ---- Class installers and class co-installers --------------------------------------------------
    void SetClassInstaller(std::u16string_view classGuid, CLASS_INSTALL_PROC installer);
    // Appends "dll,entry" to the class's co-installers (Control\CoDeviceInstallers).
    void AddClassCoInstaller(std::u16string_view classGuid, std::u16string_view entry);

    // ---- Installing --------------------------------------------------------------------------------
    // Queues a device for installation (a new device's arrival does this).
    void QueueInstall(const std::u16string& instancePath);
    size_t PendingInstalls() const;
    // Installs what is queued, and what those installs queue, on this thread; the count installed.
    size_t RunPendingInstalls();
    // Automatic engine: waits until the queue is empty and no install runs.
    void WaitIdle();

    // A device's installation from its best driver in the store; a Win32 error (0 done).
    DWORD InstallDevice(const std::u16string& instancePath);
    // Device Manager's driver update: DIF_UPDATEDRIVER_UI, then the installation unless refused.
    DWORD UpdateDriver(const std::u16string& instancePath);
    // Device Manager's uninstall: DIF_REMOVE.
    DWORD RemoveDevice(const std::u16string& instancePath);
    // One request on one device, through the whole chain.
    DWORD CallOnDevice(DI_FUNCTION function, const std::u16string& instancePath);

    // ---- Records ----------------------------------------------------------------------------------
    std::vector<DifRecord> Trace() const;
    void ClearTrace();
    // Installs that failed: instance path and error.
    std::vector<std::pair<std::u16string, DWORD>> Failures() const;

    // ---- For SetupAPI -----------------------------------------------------------------------------
    DWORD CallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element);
    DWORD DefaultHandler(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element);
    std::optional<DriverInstallInfo> SelectedDriver(const std::u16string& instancePath) const;
    void Record(DifRecord record);
    // SetupDiInstallDevice: the selected driver's keys and service, then the device (re)started.
    DWORD InstallSelectedDriver(const std::u16string& instancePath);

private:
    // Binds a model's hardware ID in the PnP manager to an installation queued here.
    void BindModel(const std::u16string& hardwareId, const DriverInstallInfo& driver);
    DWORD RunScript(const std::u16string& instancePath, const std::vector<DI_FUNCTION>& script);
    std::optional<std::u16string> TakePending();
    void AutomaticLoop();
    // The element's class: the selected driver's, else the one its device key names.
    std::u16string ClassOf(const std::u16string& instancePath) const;
    CLASS_INSTALL_PROC ClassInstallerOf(const std::u16string& classGuid) const;

    // Default handlers (default_handlers.cpp).
    DWORD SelectBestDriver(const std::u16string& instancePath);
    DWORD InstallFiles(const std::u16string& instancePath);
    DWORD RegisterCoInstallers(const std::u16string& instancePath);
    DWORD RemoveDeviceKeys(HDEVINFO set, PSP_DEVINFO_DATA element, const std::u16string& instancePath);
    void ForgetSelection(const std::u16string& instancePath);


    Kernel& m_machine;
    const InstallEngineOptions m_options;
    InfStore m_store;

    mutable std::mutex m_mutex;  // guards what follows
    std::map<std::u16string, CLASS_INSTALL_PROC> m_classInstallers;  // upper-cased class GUID
    std::map<std::u16string, DriverInstallInfo> m_selected;          // upper-cased instance path
    std::deque<std::u16string> m_pending;
    size_t m_running = 0;
    bool m_stopping = false;
    std::condition_variable m_changed;
    std::vector<DifRecord> m_trace;
    std::vector<std::pair<std::u16string, DWORD>> m_failures;
    std::thread m_thread;
};

// The Ports class installer: a new port gets the next free COM number (PortName, claimed in the
// COM-name database) before its default installation, and its friendly name "<description>
// (COMn)" after it; a removed port gives its number back.
DWORD CALLBACK PortsClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element);

// The instance path of an element (empty when the set or element is not valid).
std::u16string InstancePathOf(HDEVINFO set, PSP_DEVINFO_DATA element);
// The device's key below Enum, and its hardware key (Device Parameters).
std::u16string DeviceKeyOf(const std::u16string& instancePath);
std::u16string HardwareKeyOf(const std::u16string& instancePath);

}  // namespace emu::setup
